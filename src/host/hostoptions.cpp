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

QString HostOptions::defaultStateFile()
{
    QString folder = qEnvironmentVariable("XDG_STATE_HOME");
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.local/state");
    return folder + QStringLiteral("/kmp/kmp-host.state");
}

namespace {

// The settings file's values are checked before anything runs: a typing mistake by the
// administrator must stop the host with the place to fix, not make it talk to port 0.
class SettingsReader
{
public:
    SettingsReader(const QString &file, QString &error) : m_ini(file, QSettings::IniFormat), m_file(file), m_error(error)
    {
        if (m_ini.status() == QSettings::FormatError)
            fail(QString(), QStringLiteral("the file is not in INI format"));
    }

    bool ok() const { return m_error.isEmpty(); }

    QString text(const QString &key, const QString &fallback = QString())
    {
        return m_ini.value(key, fallback).toString();
    }

    quint16 port(const QString &key, quint16 fallback)
    {
        if (!m_ini.contains(key))
            return fallback;
        const QString raw = m_ini.value(key).toString().trimmed();
        bool isNumber = false;
        const uint value = raw.toUInt(&isNumber);
        if (!isNumber || value == 0 || value > 65535) {
            fail(key, QStringLiteral("'%1' is not a port number (1 to 65535)").arg(raw));
            return fallback;
        }
        return quint16(value);
    }

    bool flag(const QString &key, bool fallback)
    {
        if (!m_ini.contains(key))
            return fallback;
        const QString raw = m_ini.value(key).toString().trimmed().toLower();
        if (raw == QLatin1String("true") || raw == QLatin1String("1") || raw == QLatin1String("yes"))
            return true;
        if (raw == QLatin1String("false") || raw == QLatin1String("0") || raw == QLatin1String("no"))
            return false;
        fail(key, QStringLiteral("'%1' is not true or false").arg(raw));
        return fallback;
    }

    QStringList list(const QString &key) { return m_ini.value(key).toStringList(); }

private:
    void fail(const QString &key, const QString &reason)
    {
        if (!m_error.isEmpty())
            return; // the first mistake is the one reported
        m_error = key.isEmpty() ? QStringLiteral("settings file %1: %2").arg(m_file, reason)
                                : QStringLiteral("settings file %1, key %2: %3").arg(m_file, key, reason);
    }

    QSettings m_ini;
    QString m_file;
    QString &m_error;
};

} // namespace

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
    const QCommandLineOption settings(QStringLiteral("settings"), QStringLiteral("Settings file (INI), only read. Default: %1.")
                                          .arg(HostOptions::defaultSettingsFile()), QStringLiteral("FILE"));
    const QCommandLineOption stateOption(QStringLiteral("state"), QStringLiteral("File where the host remembers its window, dialog sizes and cache times. Default: %1.")
                                          .arg(HostOptions::defaultStateFile()), QStringLiteral("FILE"));
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
    p.addOptions({settings, stateOption, server, hostBranch, active, clientKey, keyFile, tls, ca, modulePath, module, branch, patient,
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
    o.stateFile = p.isSet(stateOption) ? p.value(stateOption) : HostOptions::defaultStateFile();
    {
        SettingsReader ini(o.settingsFile, error);
        o.serverHost = ini.text(QStringLiteral("server/host"), o.serverHost);
        o.serverPort = ini.port(QStringLiteral("server/port"), 0);
        o.branch = ini.text(QStringLiteral("host/branch"));
        o.activeModule = ini.text(QStringLiteral("host/activeModule"));
        o.clientKey = ini.text(QStringLiteral("security/keyName"), ini.text(QStringLiteral("host/clientKey")));
        o.keyFile = ini.text(QStringLiteral("security/keyFile"));
        o.tls = ini.flag(QStringLiteral("security/tls"), false);
        o.caFile = ini.text(QStringLiteral("security/caFile"));
        o.modulePaths = ini.list(QStringLiteral("modules/path"));
        if (!ini.ok())
            return false;
    }

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
