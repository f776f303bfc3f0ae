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
            fail(QString(), QStringLiteral("o arquivo não está no formato INI"));
    }

    bool ok() const { return m_error.isEmpty(); }

    QString text(const QString &key, const QString &fallback = QString()) { return m_ini.value(key, fallback).toString(); }

    quint16 port(const QString &key, quint16 fallback)
    {
        if (!m_ini.contains(key))
            return fallback;
        const QString raw = m_ini.value(key).toString().trimmed();
        bool isNumber = false;
        const uint value = raw.toUInt(&isNumber);
        if (!isNumber || value == 0 || value > 65535) {
            fail(key, QStringLiteral("'%1' não é um número de porta (1 a 65535)").arg(raw));
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
        fail(key, QStringLiteral("'%1' não é true nem false").arg(raw));
        return fallback;
    }

    QStringList list(const QString &key) { return m_ini.value(key).toStringList(); }

    // Keys nobody reads: a misspelt "prot" would otherwise leave the port at its default
    // with nothing said.
    QStringList unknownKeys(const QStringList &known) const
    {
        QStringList out;
        for (const QString &key : m_ini.allKeys())
            if (!known.contains(key, Qt::CaseSensitive))
                out << QStringLiteral("arquivo de configuração %1: chave desconhecida %2 (ignorada)").arg(m_file, key);
        return out;
    }

private:
    void fail(const QString &key, const QString &reason)
    {
        if (!m_error.isEmpty())
            return; // the first mistake is the one reported
        m_error = key.isEmpty() ? QStringLiteral("arquivo de configuração %1: %2").arg(m_file, reason)
                                : QStringLiteral("arquivo de configuração %1, chave %2: %3").arg(m_file, key, reason);
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
    p.setApplicationDescription(
        QStringLiteral("Hospedeiro da clínica: janela principal que carrega módulos de tela e entra neles por IniProc."));
    // The help option and headings are written here in Portuguese: the options are read
    // before the application exists, so Qt's translations cannot be loaded yet.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Mostra esta ajuda."));
    p.addOption(helpOption);
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Arquivo de configuração (INI), só lido. Padrão: %1.").arg(HostOptions::defaultSettingsFile()),
        QStringLiteral("ARQUIVO"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral(
            "Arquivo em que o hospedeiro guarda sua janela, os tamanhos dos diálogos e os horários do cache. Padrão: %1.")
            .arg(HostOptions::defaultStateFile()),
        QStringLiteral("ARQUIVO"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Servidor de aplicação como HOST:PORTA."),
                                    QStringLiteral("HOST:PORTA"));
    const QCommandLineOption hostBranch(QStringLiteral("host-branch"), QStringLiteral("Filial em que o hospedeiro trabalha."),
                                        QStringLiteral("CÓDIGO"));
    const QCommandLineOption active(QStringLiteral("active-module"),
                                    QStringLiteral("Letra do módulo ativo do hospedeiro (P escolhe os leiautes compactos)."),
                                    QStringLiteral("LETRA"));
    const QCommandLineOption clientKey(QStringLiteral("client-key"), QStringLiteral("Nome da chave de cliente desta estação."),
                                       QStringLiteral("NOME"));
    const QCommandLineOption keyFile(QStringLiteral("key-file"), QStringLiteral("Arquivo com o segredo da chave de cliente."),
                                     QStringLiteral("ARQUIVO"));
    const QCommandLineOption tls(QStringLiteral("tls"), QStringLiteral("Cifra a conexão e verifica o certificado do servidor."));
    const QCommandLineOption ca(QStringLiteral("ca"), QStringLiteral("Autoridade certificadora (PEM) aceita para o servidor."),
                                QStringLiteral("ARQUIVO"));
    const QCommandLineOption modulePath(QStringLiteral("module-path"),
                                        QStringLiteral("Pasta a mais onde procurar módulos (pode repetir)."),
                                        QStringLiteral("PASTA"));
    const QCommandLineOption module(
        QStringLiteral("module"),
        QStringLiteral("Módulo a abrir no início, por exemplo PKG_KMP12800 (um nome ou o caminho de um arquivo)."),
        QStringLiteral("NOME"));
    const QCommandLineOption branch(QStringLiteral("branch"),
                                    QStringLiteral("Filial da consulta (vazio: a filial do hospedeiro)."),
                                    QStringLiteral("CÓDIGO"));
    const QCommandLineOption patient(QStringLiteral("patient"), QStringLiteral("Código do paciente."), QStringLiteral("CÓDIGO"));
    const QCommandLineOption patientText(QStringLiteral("patient-text"),
                                         QStringLiteral("Texto do paciente mostrado no cabeçalho da tela."),
                                         QStringLiteral("TEXTO"));
    const QCommandLineOption date(QStringLiteral("date"), QStringLiteral("Data da consulta, AAAA-MM-DD."),
                                  QStringLiteral("DATA"));
    const QCommandLineOption shot(
        QStringLiteral("screenshot"),
        QStringLiteral("Quando a tela do módulo aparecer, grava a janela principal em ARQUIVO e termina."),
        QStringLiteral("ARQUIVO"));
    p.addOptions({settings, stateOption, server, hostBranch, active, clientKey, keyFile, tls, ca, modulePath, module, branch,
                  patient, patientText, date, shot});

    if (!p.parse(arguments)) {
        const QStringList unknown = p.unknownOptionNames();
        error =
            unknown.isEmpty() ? p.errorText() : QStringLiteral("opção desconhecida: %1").arg(unknown.join(QStringLiteral(", ")));
        return false;
    }
    if (p.isSet(helpOption)) {
        // Qt's help text, with its English headings in Portuguese.
        helpText = p.helpText()
                       .replace(QStringLiteral("Usage: <executable_name> [options]"), QStringLiteral("Uso: kmp-host [opções]"))
                       .replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\nOpções:\n"));
        return false;
    }
    if (!p.positionalArguments().isEmpty()) {
        error = QStringLiteral("argumento inesperado: %1").arg(p.positionalArguments().first());
        return false;
    }

    o.settingsFile = p.isSet(settings) ? p.value(settings) : HostOptions::defaultSettingsFile();
    if (p.isSet(settings) && !QFileInfo::exists(o.settingsFile)) {
        error = QStringLiteral("arquivo de configuração não encontrado: %1").arg(o.settingsFile);
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
        o.warnings =
            ini.unknownKeys({QStringLiteral("server/host"), QStringLiteral("server/port"), QStringLiteral("host/branch"),
                             QStringLiteral("host/activeModule"), QStringLiteral("host/clientKey"),
                             QStringLiteral("security/keyName"), QStringLiteral("security/keyFile"),
                             QStringLiteral("security/tls"), QStringLiteral("security/caFile"), QStringLiteral("modules/path")});
    }

    if (p.isSet(server) && !parseServer(p.value(server), o.serverHost, o.serverPort)) {
        error = QStringLiteral("--server '%1' inválido: use HOST:PORTA, com a porta de 1 a 65535").arg(p.value(server));
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
        error = QStringLiteral("chave de cliente '%1' informada sem --key-file (ou security/keyFile)").arg(o.clientKey);
        return false;
    }
    if (o.tls && o.caFile.isEmpty()) {
        error = QStringLiteral("--tls exige --ca ARQUIVO (ou security/caFile): o certificado do servidor precisa ser verificado");
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
            error = QStringLiteral("--date '%1' inválida: use AAAA-MM-DD").arg(p.value(date));
            return false;
        }
    }
    if (!o.module.isEmpty()) {
        if (o.patient.isEmpty()) {
            error = QStringLiteral("--module exige --patient");
            return false;
        }
        if (!o.date.isValid())
            o.date = QDate::currentDate();
    }
    return true;
}

} // namespace kmp
