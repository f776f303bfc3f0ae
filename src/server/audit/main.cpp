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
    const QCommandLineOption branch(QStringLiteral("branch"), QStringLiteral("Branch code (CDFILIAL), e.g. 0001."),
                                    QStringLiteral("B"));
    const QCommandLineOption patient(QStringLiteral("patient"), QStringLiteral("Patient code (CDPACIENTE)."),
                                     QStringLiteral("P"));
    const QCommandLineOption date(QStringLiteral("date"), QStringLiteral("Only the consultation of this day."),
                                  QStringLiteral("YYYY-MM-DD"));
    parser.addOptions({db, branch, patient, date});
    parseOrExit(parser, args,
                QStringLiteral("Prints the audit trail of a patient's consultations in the order the changes were "
                               "applied: when (UTC), which client key, from which address, the method, the table, "
                               "the row and the values; rich-text sections as their plain text, old against new, "
                               "line by line. The output holds patient data: keep it where the records are kept."));
    if (!parser.isSet(branch) || !parser.isSet(patient))
        throw kmp::Error(QStringLiteral("Informe --branch e --patient."));
    std::optional<double> consulta;
    if (parser.isSet(date)) {
        const QDate d = QDate::fromString(parser.value(date), Qt::ISODate);
        if (!d.isValid())
            throw kmp::Error(QStringLiteral("--date precisa ser AAAA-MM-DD."));
        consulta = kmp::daysFromDate(d);
    }
    DbConnection conn(DatabaseConfig::parse(parser.value(db)));
    if (schemaVersion(conn) < 2) {
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
    try {
        return auditCommand(QCoreApplication::arguments());
    } catch (const kmp::Error &e) {
        err(QStringLiteral("kmp-appserver: %1").arg(e.userMessage()));
    } catch (const std::exception &e) {
        err(QStringLiteral("kmp-appserver: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    return 1;
}
