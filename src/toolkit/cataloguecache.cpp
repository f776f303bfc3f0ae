#include "cataloguecache.h"

#include "consiste.h"
#include "error.h"
#include "message.h"
#include "tnetconnection.h"
#include "toolkitlog.h"

#include <QCborMap>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>

namespace kmp {

namespace {

const QByteArray kMagic = QByteArrayLiteral("KMPCAT1\n");
constexpr qsizetype kMaxPacket = 256 * 1024 * 1024;
// Copies kept in the folder, across servers; the least recently written go first.
constexpr int kKeepFiles = 8;

// Server addresses and versions become parts of file names: anything but letters,
// digits, '.', '-' and '_' is replaced.
QString safeName(const QString &s)
{
    QString out;
    for (const QChar c : s)
        out +=
            (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_')
                ? c
                : QLatin1Char('_');
    return out.left(80);
}

} // namespace

CatalogueCache::CatalogueCache(const QString &server, const QString &method, const QString &folder)
    : m_server(server), m_method(method), m_folder(folder)
{
    if (m_folder.isEmpty())
        m_folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/catalogue");
}

QString CatalogueCache::filePrefix() const
{
    return safeName(m_method) + QLatin1Char('@') + safeName(m_server) + QLatin1Char('@');
}

bool CatalogueCache::newestCopy(QString *file, QString *version) const
{
    const QDir dir(m_folder);
    const QStringList files = dir.entryList({filePrefix() + QStringLiteral("*.cache")}, QDir::Files, QDir::Time);
    if (files.isEmpty())
        return false;
    *file = dir.filePath(files.first());
    QFile f(*file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // Magic, then the version line; the version must be the one the file is named after.
    const QByteArray head = f.read(kMagic.size() + 256);
    const qsizetype eol = head.indexOf('\n', kMagic.size());
    if (head.startsWith(kMagic) && eol > kMagic.size()) {
        *version = QString::fromUtf8(head.mid(kMagic.size(), eol - kMagic.size()));
        if (files.first() == filePrefix() + safeName(*version) + QStringLiteral(".cache"))
            return true;
    }
    f.close();
    QFile::remove(*file);
    return false;
}

QByteArray CatalogueCache::unpack(const QString &file, const QString &held) const
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    f.close();
    // The packet follows the version line, compressed with its checksum.
    const qsizetype eol = all.indexOf('\n', kMagic.size());
    QByteArray plain;
    bool good =
        all.startsWith(kMagic) && eol > kMagic.size() && QString::fromUtf8(all.mid(kMagic.size(), eol - kMagic.size())) == held;
    if (good) {
        try {
            plain = kmp::wire::decompressZstd(all.mid(eol + 1), kMaxPacket);
        } catch (const kmp::Error &e) {
            qCWarning(kmp::toolkitLog, "catálogo local %s descartado: %s", qPrintable(file), qPrintable(e.userMessage()));
            good = false;
        }
    }
    if (!good || plain.isEmpty()) {
        QFile::remove(file);
        return {};
    }
    return plain;
}

bool CatalogueCache::read(QString *version, QByteArray *packet) const
{
    QString file, held;
    if (!newestCopy(&file, &held))
        return false;
    QByteArray plain = unpack(file, held);
    if (plain.isEmpty())
        return false;
    *version = held;
    *packet = plain;
    return true;
}

bool CatalogueCache::write(const QString &version, const QByteArray &packet) const
{
    if (version.isEmpty() || packet.isEmpty())
        return false;
    if (!QDir().mkpath(m_folder)) {
        qCWarning(kmp::toolkitLog, "catálogo local não guardado: não foi possível criar %s", qPrintable(m_folder));
        return false;
    }
    const QString name = filePrefix() + safeName(version) + QStringLiteral(".cache");
    const QByteArray packed = kmp::wire::compressZstd(packet);
    QSaveFile f(QDir(m_folder).filePath(name));
    if (packed.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(kMagic) != kMagic.size()
        || f.write(version.toUtf8() + '\n') < 0 || f.write(packed) != packed.size() || !f.commit()) {
        qCWarning(kmp::toolkitLog, "catálogo local não guardado em %s: %s", qPrintable(f.fileName()),
                  qPrintable(f.errorString()));
        return false;
    }
    // Older versions of this server's copy, and the oldest copies beyond the few kept.
    const QDir dir(m_folder);
    for (const QString &other : dir.entryList({filePrefix() + QStringLiteral("*.cache")}, QDir::Files))
        if (other != name)
            QFile::remove(dir.filePath(other));
    const QStringList all = dir.entryList({QStringLiteral("*.cache")}, QDir::Files, QDir::Time);
    for (qsizetype i = kKeepFiles; i < all.size(); ++i)
        if (all[i] != name)
            QFile::remove(dir.filePath(all[i]));
    return true;
}

void CatalogueCache::remove() const
{
    const QDir dir(m_folder);
    for (const QString &f : dir.entryList({filePrefix() + QStringLiteral("*.cache")}, QDir::Files))
        QFile::remove(dir.filePath(f));
}

CatalogueCache::Load CatalogueCache::prepare() const
{
    Load load;
    if (!newestCopy(&load.file, &load.held)) {
        load.file.clear();
        load.held.clear();
    }
    load.call = {m_method, {load.held}};
    return load;
}

void CatalogueCache::readCopy(Load &load) const
{
    if (load.read)
        return;
    load.read = true;
    if (!load.held.isEmpty())
        load.copy = unpack(load.file, load.held);
}

QByteArray CatalogueCache::fetch(TNetConnection &net) const
{
    Load load = prepare();
    // Asked before the load is handed over: the order in which arguments are evaluated is
    // the compiler's.
    const kmp::wire::Response answer = net.call(load.call.method, load.call.args);
    return finish(std::move(load), answer, net);
}

QByteArray CatalogueCache::fetchWhole(TNetConnection &net) const
{
    return finish(Load(), net.call(m_method, {QString()}), net);
}

QByteArray CatalogueCache::finish(Load load, const kmp::wire::Response &r, TNetConnection &net) const
{
    // A server from before catalogue versions refuses the argument: ask the plain way.
    if (!r.ok && r.errorCode == int(kmp::wire::ErrorCode::BadRequest)) {
        const QCborValue payload = Consiste::CheckResultServ(net.call(m_method), true, 0);
        if (!payload.isByteArray())
            throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(m_method));
        return payload.toByteArray();
    }
    const QCborValue payload = Consiste::CheckResultServ(r, true, 0);
    if (payload.isByteArray())
        return payload.toByteArray();
    const QCborMap answer = payload.toMap();
    const QCborValue version = answer.value(QLatin1String("version"));
    const QCborValue packet = answer.value(QLatin1String("packet"));
    if (!payload.isMap() || !version.isString() || !(packet.isByteArray() || packet.isUndefined()))
        throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(m_method));
    if (packet.isByteArray()) {
        write(version.toString(), packet.toByteArray());
        return packet.toByteArray();
    }
    if (load.held.isEmpty() || version.toString() != load.held)
        throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(m_method));
    readCopy(load);
    if (load.copy.isEmpty()) {
        // The copy was current but could not be read back (damaged, removed meanwhile):
        // the server's catalogue in full instead.
        return fetchWhole(net);
    }
    return load.copy;
}

} // namespace kmp
