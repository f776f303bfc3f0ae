#include "cid10import.h"

#include "dbconnection.h"
#include "error.h"
#include "schema.h"

#include <QDir>
#include <QFile>
#include <map>

namespace kmp::server {

std::vector<Cid10Entry> parseCid10(const QByteArray &contents, const QString &fileName)
{
    const QString textAll = QString::fromLatin1(contents);
    const QStringList lines = textAll.split(QLatin1Char('\n'));
    if (lines.isEmpty() || lines.first().trimmed().isEmpty())
        throw kmp::Error(QStringLiteral("%1: arquivo vazio.").arg(fileName));
    const QStringList header = lines.first().trimmed().split(QLatin1Char(';'));
    int codeCol = header.indexOf(QStringLiteral("SUBCAT"));
    if (codeCol < 0)
        codeCol = header.indexOf(QStringLiteral("CAT"));
    const int nameCol = header.indexOf(QStringLiteral("DESCRICAO"));
    const int abbrevCol = header.indexOf(QStringLiteral("DESCRABREV"));
    if (codeCol < 0 || nameCol < 0 || abbrevCol < 0)
        throw kmp::Error(QStringLiteral("%1: não é um arquivo de categorias ou subcategorias da CID-10 "
                                        "(faltam as colunas SUBCAT/CAT, DESCRICAO e DESCRABREV).")
                             .arg(fileName));
    const int needed = std::max({codeCol, nameCol, abbrevCol}) + 1;
    std::vector<Cid10Entry> out;
    out.reserve(size_t(lines.size()));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        const QStringList cols = line.split(QLatin1Char(';'));
        if (cols.size() < needed)
            throw kmp::Error(QStringLiteral("%1, linha %2: esperava ao menos %3 colunas, encontrou %4.")
                                 .arg(fileName)
                                 .arg(i + 1)
                                 .arg(needed)
                                 .arg(cols.size()));
        Cid10Entry e{cols.at(codeCol).trimmed(), cols.at(nameCol).trimmed(), cols.at(abbrevCol).trimmed()};
        if (e.code.isEmpty())
            throw kmp::Error(QStringLiteral("%1, linha %2: código vazio.").arg(fileName).arg(i + 1));
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<Cid10Entry> readCid10File(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw kmp::Error(QStringLiteral("Não foi possível ler %1: %2").arg(path, f.errorString()));
    return parseCid10(f.readAll(), QFileInfo(path).fileName());
}

std::vector<Cid10Entry> readCid10Folder(const QString &dirPath)
{
    const QDir dir(dirPath);
    if (!dir.exists())
        throw kmp::Error(QStringLiteral("A pasta %1 não existe.").arg(dirPath));
    // The official names; matched without regard to case since copies are often renamed.
    const auto find = [&](const QString &name) {
        const QStringList hits = dir.entryList({name}, QDir::Files, QDir::Name | QDir::IgnoreCase);
        for (const QString &h : hits)
            if (h.compare(name, Qt::CaseInsensitive) == 0)
                return dir.filePath(h);
        return QString();
    };
    const QString categories = find(QStringLiteral("CID-10-CATEGORIAS.CSV"));
    const QString subcategories = find(QStringLiteral("CID-10-SUBCATEGORIAS.CSV"));
    if (categories.isEmpty() && subcategories.isEmpty())
        throw kmp::Error(QStringLiteral("A pasta %1 não tem CID-10-CATEGORIAS.CSV nem CID-10-SUBCATEGORIAS.CSV.").arg(dirPath));
    std::map<QString, Cid10Entry> byCode;
    for (const QString &file : {categories, subcategories}) {
        if (file.isEmpty())
            continue;
        for (Cid10Entry &e : readCid10File(file))
            byCode[e.code] = std::move(e);
    }
    std::vector<Cid10Entry> out;
    out.reserve(byCode.size());
    for (auto &[code, e] : byCode)
        out.push_back(std::move(e));
    return out;
}

Cid10ImportResult importCid10(DbConnection &db, const std::vector<Cid10Entry> &entries,
                              const std::function<void(int, int)> &progress)
{
    const TableDef &t = tables::diagnost();
    const int codeMax = t.column(QStringLiteral("CDDIAGNOST"))->size;
    const int nameMax = t.column(QStringLiteral("NMDIAGNOST"))->size;
    const int abbrevMax = t.column(QStringLiteral("DSABREDIAG"))->size;
    const QString tag = QStringLiteral("CID10");

    Cid10ImportResult result;
    Transaction tx(db);
    // The same statement works in SQLite and PostgreSQL; updating only when something
    // differs keeps a second run from rewriting every row.
    QSqlQuery q =
        db.prepare(QStringLiteral("INSERT INTO DIAGNOST (CDDIAGNOST, NMDIAGNOST, CDTABECDI, DSABREDIAG) VALUES (?, ?, ?, ?) "
                                  "ON CONFLICT (CDDIAGNOST) DO UPDATE SET NMDIAGNOST = excluded.NMDIAGNOST, "
                                  "CDTABECDI = excluded.CDTABECDI, DSABREDIAG = excluded.DSABREDIAG "
                                  "WHERE DIAGNOST.NMDIAGNOST IS DISTINCT FROM excluded.NMDIAGNOST "
                                  "OR DIAGNOST.CDTABECDI IS DISTINCT FROM excluded.CDTABECDI "
                                  "OR DIAGNOST.DSABREDIAG IS DISTINCT FROM excluded.DSABREDIAG"));
    const int total = int(entries.size());
    int done = 0;
    try {
        for (const Cid10Entry &e : entries) {
            ++done;
            QString tooLong;
            if (e.code.size() > codeMax)
                tooLong = QStringLiteral("código com %1 caracteres (máximo %2)").arg(e.code.size()).arg(codeMax);
            else if (e.name.size() > nameMax)
                tooLong = QStringLiteral("descrição com %1 caracteres (máximo %2)").arg(e.name.size()).arg(nameMax);
            else if (e.abbreviation.size() > abbrevMax)
                tooLong =
                    QStringLiteral("descrição abreviada com %1 caracteres (máximo %2)").arg(e.abbreviation.size()).arg(abbrevMax);
            if (!tooLong.isEmpty()) {
                result.refused << QStringLiteral("%1: %2; não importado").arg(e.code.left(20), tooLong);
            } else {
                q.addBindValue(e.code);
                q.addBindValue(e.name);
                q.addBindValue(tag);
                q.addBindValue(e.abbreviation);
                db.exec(q);
                ++result.imported;
            }
            if (progress && (done % 1000 == 0 || done == total))
                progress(done, total);
        }
        q = QSqlQuery();
        // Every import gives the catalogue a new version, so that stations holding it
        // fetch it again even when only a name changed.
        bumpCatalogueVersion(db);
        tx.commit();
    } catch (...) {
        tx.rollback();
        q = QSqlQuery();
        throw;
    }
    return result;
}

QString catalogueVersion(DbConnection &db)
{
    QSqlQuery q = db.prepare(QStringLiteral("SELECT VERSION FROM KMP_CATALOGUE_VERSION WHERE NAME = 'DIAGNOST'"));
    db.exec(q);
    return q.next() ? q.value(0).toString() : QString();
}

void bumpCatalogueVersion(DbConnection &db)
{
    const QString next = newCatalogueVersion(catalogueVersion(db));
    QSqlQuery q = db.prepare(QStringLiteral("INSERT INTO KMP_CATALOGUE_VERSION (NAME, VERSION) VALUES ('DIAGNOST', ?) "
                                            "ON CONFLICT (NAME) DO UPDATE SET VERSION = excluded.VERSION"));
    q.addBindValue(next);
    db.exec(q);
}

} // namespace kmp::server
