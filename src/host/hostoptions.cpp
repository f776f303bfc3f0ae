#include "hostoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace kmp {

QString HostOptions::defaultSettingsFile()
{
    return QDir::homePath() + QStringLiteral("/.config/kmp/kmp-host.ini");
}

bool parseServer(const QString &text, QString &host, quint16 &port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535)
        return false;
    host = text.left(colon);
    port = quint16(p);
    return true;
}

bool parseHostOptions(const QStringList &arguments, HostOptions &o, QString &error, QString &helpText)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Clinic desktop host: main window that loads screen modules and enters them through IniProc."));
    p.addHelpOption();
    const QCommandLineOption settings(QStringLiteral("settings"), QStringLiteral("Settings file (INI). Default: %1.")
                                          .arg(HostOptions::defaultSettingsFile()), QStringLiteral("FILE"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Application server as HOST:PORT."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption hostBranch(QStringLiteral("host-branch"), QStringLiteral("Branch the host works in."), QStringLiteral("CODE"));
    const QCommandLineOption active(QStringLiteral("active-module"), QStringLiteral("Letter of the active host module (P selects the compact layouts)."), QStringLiteral("LETTER"));
    const QCommandLineOption clientKey(QStringLiteral("client-key"), QStringLiteral("Name of this station's client key."), QStringLiteral("NAME"));
    const QCommandLineOption keyFile(QStringLiteral("key-file"), QStringLiteral("File holding the client key's secret."), QStringLiteral("FILE"));
    const QCommandLineOption tls(QStringLiteral("tls"), QStringLiteral("Encrypt the connection and verify the server's certificate."));
    const QCommandLineOption ca(QStringLiteral("ca"), QStringLiteral("Certificate authority (PEM) trusted for the server."), QStringLiteral("FILE"));
    const QCommandLineOption modulePath(QStringLiteral("module-path"), QStringLiteral("Extra folder to search for modules (repeatable)."), QStringLiteral("DIR"));
    const QCommandLineOption module(QStringLiteral("module"), QStringLiteral("Module to open at start, e.g. PKG_KMP12800 (a name or a file path)."), QStringLiteral("NAME"));
    const QCommandLineOption branch(QStringLiteral("branch"), QStringLiteral("Branch of the consultation (empty: the host's branch)."), QStringLiteral("CODE"));
    const QCommandLineOption patient(QStringLiteral("patient"), QStringLiteral("Patient code."), QStringLiteral("CODE"));
    const QCommandLineOption patientText(QStringLiteral("patient-text"), QStringLiteral("Patient text shown in the screen header."), QStringLiteral("TEXT"));
    const QCommandLineOption date(QStringLiteral("date"), QStringLiteral("Consultation date, YYYY-MM-DD."), QStringLiteral("DATE"));
    const QCommandLineOption shot(QStringLiteral("screenshot"), QStringLiteral("Once the module's screen is shown, save the main window to FILE and quit."), QStringLiteral("FILE"));
    p.addOptions({settings, server, hostBranch, active, clientKey, keyFile, tls, ca, modulePath, module, branch, patient,
                  patientText, date, shot});

    if (!p.parse(arguments)) {
        error = p.errorText();
        return false;
    }
    if (p.isSet(QStringLiteral("help"))) {
        helpText = p.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("kmp-host")); // parsed before the application exists
        return false;
    }
    if (!p.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
        return false;
    }

    o.settingsFile = p.isSet(settings) ? p.value(settings) : HostOptions::defaultSettingsFile();
    if (p.isSet(settings) && !QFileInfo::exists(o.settingsFile)) {
        error = QStringLiteral("settings file not found: %1").arg(o.settingsFile);
        return false;
    }
    QSettings ini(o.settingsFile, QSettings::IniFormat);
    o.serverHost = ini.value(QStringLiteral("server/host"), o.serverHost).toString();
    const uint iniPort = ini.value(QStringLiteral("server/port"), 0).toUInt();
    if (iniPort > 65535) {
        error = QStringLiteral("bad server/port in %1").arg(o.settingsFile);
        return false;
    }
    o.serverPort = quint16(iniPort);
    o.branch = ini.value(QStringLiteral("host/branch")).toString();
    o.activeModule = ini.value(QStringLiteral("host/activeModule")).toString();
    o.clientKey = ini.value(QStringLiteral("security/keyName"), ini.value(QStringLiteral("host/clientKey"))).toString();
    o.keyFile = ini.value(QStringLiteral("security/keyFile")).toString();
    o.tls = ini.value(QStringLiteral("security/tls"), false).toBool();
    o.caFile = ini.value(QStringLiteral("security/caFile")).toString();
    o.modulePaths = ini.value(QStringLiteral("modules/path")).toStringList();

    if (p.isSet(server) && !parseServer(p.value(server), o.serverHost, o.serverPort)) {
        error = QStringLiteral("bad --server '%1': expected HOST:PORT with a port from 1 to 65535").arg(p.value(server));
        return false;
    }
    if (p.isSet(hostBranch))
        o.branch = p.value(hostBranch);
    if (p.isSet(active))
        o.activeModule = p.value(active);
    if (p.isSet(clientKey))
        o.clientKey = p.value(clientKey);
    if (p.isSet(keyFile))
        o.keyFile = p.value(keyFile);
    if (p.isSet(tls))
        o.tls = true;
    if (p.isSet(ca))
        o.caFile = p.value(ca);
    if (!o.clientKey.isEmpty() && o.keyFile.isEmpty()) {
        error = QStringLiteral("client key '%1' given without --key-file (or security/keyFile)").arg(o.clientKey);
        return false;
    }
    if (o.tls && o.caFile.isEmpty()) {
        error = QStringLiteral("--tls needs --ca FILE (or security/caFile): the server's certificate must be checked");
        return false;
    }
    o.modulePaths << p.values(modulePath);

    o.module = p.value(module);
    o.entryBranch = p.value(branch);
    o.patient = p.value(patient);
    o.patientText = p.value(patientText);
    o.screenshot = p.value(shot);
    if (p.isSet(date)) {
        o.date = QDate::fromString(p.value(date), Qt::ISODate);
        if (!o.date.isValid()) {
            error = QStringLiteral("bad --date '%1': expected YYYY-MM-DD").arg(p.value(date));
            return false;
        }
    }
    if (!o.module.isEmpty()) {
        if (o.patient.isEmpty()) {
            error = QStringLiteral("--module needs --patient");
            return false;
        }
        if (!o.date.isValid())
            o.date = QDate::currentDate();
    }
    return true;
}

} // namespace kmp
