#include "hostservices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kmp {

namespace {

HostServices *g_instance = nullptr;

MemoryHostServices &fallback()
{
    static MemoryHostServices services;
    return services;
}

} // namespace

HostServices::~HostServices() = default;

ConnectionSecurity HostServices::security()
{
    return {};
}

QVariant HostServices::savedState(const QString &)
{
    return QVariant();
}

void HostServices::saveState(const QString &, const QVariant &) {}

QString HostServices::helpFolder()
{
    const QString app = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         {app + QStringLiteral("/help"), app + QStringLiteral("/../help"), app + QStringLiteral("/../share/kmp/help")}) {
        if (QFileInfo(candidate).isDir())
            return QDir(candidate).canonicalPath();
    }
    return QString();
}

HostServices *HostServices::instance()
{
    return g_instance ? g_instance : &fallback();
}

void HostServices::setInstance(HostServices *services)
{
    g_instance = services;
}

MemoryHostServices::MemoryHostServices()
{
    m_webURL = qEnvironmentVariable("KMP_SERVER_HOST", QStringLiteral("127.0.0.1"));
    bool ok = false;
    const uint port = qEnvironmentVariable("KMP_SERVER_PORT").toUInt(&ok);
    m_webPort = ok && port <= 65535 ? quint16(port) : 0;
}

void MemoryHostServices::refreshLocalCache(const QStringList &keys)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &k : keys)
        m_lastRefresh.insert(k, now);
}

namespace Norvik {
QString WebURL()
{
    return HostServices::instance()->webURL();
}
quint16 WebPort()
{
    return HostServices::instance()->webPort();
}
QString FiliProc()
{
    return HostServices::instance()->branch();
}
void AtualizaLocalCache(const QStringList &keys)
{
    HostServices::instance()->refreshLocalCache(keys);
}
} // namespace Norvik

namespace Geral {
QString ModuloAtiv()
{
    return HostServices::instance()->activeModule();
}
} // namespace Geral

void ReportParams::add(const QString &name, const QVariant &value)
{
    const int i = indexOf(name);
    if (i >= 0)
        m_items[i].second = value;
    else
        m_items.append({name, value});
}

int ReportParams::indexOf(const QString &name) const
{
    for (int i = 0; i < m_items.size(); ++i)
        if (m_items.at(i).first.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QVariant ReportParams::value(const QString &name) const
{
    const int i = indexOf(name);
    return i >= 0 ? m_items.at(i).second : QVariant();
}

bool ReportParams::setValue(const QString &name, const QVariant &value)
{
    const int i = indexOf(name);
    if (i < 0)
        return false;
    m_items[i].second = value;
    return true;
}

namespace Qrddlgs {
bool ExistParam(const ReportParams &params, const QString &name)
{
    return params.contains(name);
}
} // namespace Qrddlgs

} // namespace kmp
