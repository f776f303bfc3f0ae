#include "hostservicesimpl.h"

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
