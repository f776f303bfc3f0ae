#include "demodata.h"

#include "cid10import.h"
#include "dbconnection.h"
#include "error.h"
#include "fielddef.h"
#include "schema.h"

#include <QFile>
#include <QSqlQuery>

namespace kmp::server {

namespace {

// Report templates as the rich-edit control writes them: code page 1252, \pn bullets,
// \'hh escapes for the accented letters.
const char *const kTemplateClinico =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
    "\\viewkind4\\uc1\\pard\\lang1046\\b\\f0\\fs20 Laudo cl\\'ednico\\b0\\par\r\n"
    "\\par\r\n"
    "\\b Queixas:\\b0\\par\r\n"
    "\\pard{\\pntext\\f1\\'b7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'b7}}\\fi-200\\li200 Queixa principal: \\par\r\n"
    "{\\pntext\\f1\\'b7\\tab}In\\'edcio dos sintomas: \\par\r\n"
    "{\\pntext\\f1\\'b7\\tab}Medica\\'e7\\'f5es em uso: \\par\r\n"
    "\\pard\\par\r\n"
    "\\b Conduta:\\b0  \\par\r\n"
    "}\r\n";

const char *const kTemplateCardio =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
    "\\viewkind4\\uc1\\pard\\lang1046\\b\\f0\\fs20 Avalia\\'e7\\'e3o cardiol\\'f3gica\\b0\\par\r\n"
    "\\par\r\n"
    "\\pard{\\pntext\\f1\\'b7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'b7}}\\fi-200\\li200 Press\\'e3o arterial: "
    "\\par\r\n"
    "{\\pntext\\f1\\'b7\\tab}Frequ\\'eancia card\\'edaca: \\par\r\n"
    "{\\pntext\\f1\\'b7\\tab}\\b Ausculta:\\b0  \\par\r\n"
    "\\pard\\par\r\n"
    "}\r\n";

void exec(DbConnection &db, const QString &sql, const QVariantList &values)
{
    QSqlQuery q = db.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    db.exec(q);
}

int catalogueSize(DbConnection &db)
{
    QSqlQuery q = db.prepare(QStringLiteral("SELECT COUNT(*) FROM DIAGNOST"));
    db.exec(q);
    return q.next() ? q.value(0).toInt() : 0;
}

} // namespace

double demoConsulta()
{
    return daysFromDateTime(QDateTime(QDate(2026, 12, 7), QTime(0, 0)));
}

QByteArray builtInCid10()
{
    QFile f(QStringLiteral(":/kmp/server/cid10-demo.csv"));
    if (!f.open(QIODevice::ReadOnly))
        throw kmp::Error(QStringLiteral("A lista de códigos de demonstração não está embutida neste programa."));
    return f.readAll();
}

DemoResult loadDemo(DbConnection &db, const std::function<void(const QString &)> &say)
{
    const auto tell = [&](const QString &s) {
        if (say)
            say(s);
    };
    ensureSchema(db);
    DemoResult result;
    const std::vector<Cid10Entry> builtIn = parseCid10(builtInCid10(), QStringLiteral("cid10-demo.csv"));
    if (catalogueSize(db) == 0) {
        const Cid10ImportResult r = importCid10(db, builtIn);
        result.catalogueLoaded = r.imported;
        tell(QStringLiteral("catálogo vazio: %1 códigos da CID-10 de demonstração carregados").arg(r.imported));
    }

    Transaction tx(db);
    exec(db, QStringLiteral("INSERT INTO FILIAL (CDFILIAL, NMFILIAL) VALUES (?, ?) ON CONFLICT DO NOTHING"),
         {DemoFilial, QStringLiteral("Filial de demonstração")});
    exec(db, QStringLiteral("INSERT INTO PACIENTE (CDPACIENTE, NMPACIENTE) VALUES (?, ?) ON CONFLICT DO NOTHING"),
         {DemoPaciente, QStringLiteral("Maria da Silva")});
    const double consulta = demoConsulta();
    exec(db,
         QStringLiteral("INSERT INTO CONSULTA (CDFILIAL, CDPACIENTE, DTCONSPACI) VALUES (?, ?, ?) "
                        "ON CONFLICT DO NOTHING"),
         {DemoFilial, DemoPaciente, consulta});

    // Admission diagnoses, named as the catalogue names them (or the built-in list when an
    // imported catalogue lacks the code).
    for (const char *code : {"I10", "E119", "J189"}) {
        const QString c = QLatin1String(code);
        QString name;
        {
            QSqlQuery q = db.prepare(QStringLiteral("SELECT NMDIAGNOST FROM DIAGNOST WHERE CDDIAGNOST = ?"));
            q.addBindValue(c);
            db.exec(q);
            if (q.next())
                name = q.value(0).toString();
        }
        if (name.isEmpty())
            for (const Cid10Entry &e : builtIn)
                if (e.code == c)
                    name = e.name;
        exec(db,
             QStringLiteral("INSERT INTO DIAGASSO (CDFILIAL, CDPACIENTE, DTCONSPACI, CDDIAGNOST, NMDIAGNOST) "
                            "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
             {DemoFilial, DemoPaciente, consulta, c, name});
    }

    const QString insertType = QStringLiteral("INSERT INTO TIPOLAUDO (CDTIPOLAUDO, NMTIPOLAUDO, DSPADRLAUDO) "
                                              "VALUES (?, ?, ?) ON CONFLICT DO NOTHING");
    exec(db, insertType, {QStringLiteral("001"), QStringLiteral("Laudo clínico"), QByteArray(kTemplateClinico)});
    exec(db, insertType, {QStringLiteral("002"), QStringLiteral("Avaliação cardiológica"), QByteArray(kTemplateCardio)});
    exec(db, insertType, {QStringLiteral("003"), QStringLiteral("Laudo livre"), QVariant(QMetaType::fromType<QByteArray>())});
    tx.commit();
    tell(QStringLiteral("demonstração pronta: filial %1, paciente %2 (Maria da Silva), consulta de 07/12/2026, "
                        "3 diagnósticos de internação, 3 tipos de laudo")
             .arg(DemoFilial, DemoPaciente));
    return result;
}

} // namespace kmp::server
