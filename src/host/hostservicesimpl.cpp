#include "hostservicesimpl.h"

#include "error.h"

#include <QFile>
#include <QMdiArea>
#include <QSettings>

namespace kmp {

HostServicesImpl::HostServicesImpl(const HostOptions &options)
    : m_settingsFile(options.settingsFile), m_clientKey(options.clientKey)
{
    setWebURL(options.serverHost);
    setWebPort(options.serverPort);
    setFiliProc(options.branch);
    setModuloAtiv(options.activeModule);
    ConnectionSecurity security;
    security.tls = options.tls;
    security.caFile = options.caFile;
    if (!options.clientKey.isEmpty()) {
        QFile secret(options.keyFile);
        if (!secret.open(QIODevice::ReadOnly))
            throw kmp::Error(QStringLiteral("Não foi possível ler a chave do cliente em %1: %2")
                                 .arg(options.keyFile, secret.errorString()));
        security.keyName = options.clientKey;
        security.keySecret = secret.readAll().trimmed();
    }
    setSecurity(security);
    if (!m_settingsFile.isEmpty()) {
        QSettings ini(m_settingsFile, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("cache"));
        for (const QString &key : ini.childKeys())
            m_lastRefresh.insert(key, ini.value(key).toDateTime());
    }
}

void HostServicesImpl::atualizaLocalCache(const QStringList &keys)
{
    MemoryHostServices::atualizaLocalCache(keys);
    if (m_settingsFile.isEmpty())
        return;
    QSettings ini(m_settingsFile, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("cache"));
    for (const QString &key : keys)
        ini.setValue(key, m_lastRefresh.value(key));
}

void HostServicesImpl::setMainWindow(QWidget *window, QMdiArea *mdi)
{
    m_mainWindow = window;
    m_mdi = mdi;
    setMainForm(window);
}

} // namespace kmp
