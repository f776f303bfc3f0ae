// kmp-appserver-audit: the audit report of kmp-appserver ("kmp-appserver audit" hands over
// to it). It reads rich-text sections as plain text, which needs Qt Gui; kept apart so that
// the server itself links neither Qt Gui nor Widgets.

#include "auditreport.h"
#include "commandline.h"
#include "databaseconfig.h"
#include "daycount.h"
#include "dbconnection.h"
#include "error.h"
#include "schema.h"

#include <QCommandLineParser>
#include <QDate>
#include <QGuiApplication>

using namespace kmp::server;
using namespace kmp::server::cli;

namespace {

int auditCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption branch(QStringLiteral("branch"), QStringLiteral("Código da filial (CDFILIAL), por exemplo 0001."),
                                    QStringLiteral("B"));
    const QCommandLineOption patient(QStringLiteral("patient"), QStringLiteral("Código do paciente (CDPACIENTE)."),
                                     QStringLiteral("P"));
    const QCommandLineOption date(QStringLiteral("date"), QStringLiteral("Só a consulta deste dia."),
                                  QStringLiteral("AAAA-MM-DD"));
    parser.addOptions({db, branch, patient, date});
    parseOrExit(parser, args,
                QStringLiteral("Mostra a trilha de auditoria das consultas de um paciente na ordem em que as alterações "
                               "foram aplicadas: quando (UTC), qual chave de cliente, de qual endereço, o método, a "
                               "tabela, a linha e os valores; as seções de texto formatado como texto simples, antigo "
                               "contra novo, linha a linha. A saída contém dados de pacientes: guarde-a onde ficam os "
                               "prontuários."));
    if (!parser.isSet(branch) || !parser.isSet(patient))
        throw kmp::Error(QStringLiteral("Informe --branch e --patient."));
    std::optional<double> consulta;
    if (parser.isSet(date)) {
        const QDate d = QDate::fromString(parser.value(date), Qt::ISODate);
        if (!d.isValid())
            throw kmp::Error(QStringLiteral("--date precisa ser AAAA-MM-DD."));
        consulta = kmp::daysFromDate(d);
    }
    // A report only reads: a mistyped path must not leave an empty database behind.
    DbConnection conn(DatabaseConfig::parse(parser.value(db)), DbConnection::Mode::ReadOnly);
    const int version = schemaVersion(conn);
    if (version == 0)
        throw kmp::Error(missingTablesMessage(conn));
    if (version < 2) {
        out(QStringLiteral("nenhuma alteração registrada (banco sem trilha de auditoria)"));
        return 0;
    }
    const auto entries = readAudit(conn, parser.value(branch), parser.value(patient), consulta);
    for (const AuditEntry &e : entries)
        out(formatAuditEntry(e));
    out(QStringLiteral("%1 alteração(ões)").arg(entries.size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Rich text is laid out without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kmp-appserver"));
    installQtTranslations(app);
    try {
        return auditCommand(QCoreApplication::arguments());
    } catch (const kmp::Error &e) {
        err(QStringLiteral("kmp-appserver: %1").arg(e.userMessage()));
    } catch (const std::exception &e) {
        err(QStringLiteral("kmp-appserver: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    return 1;
}
