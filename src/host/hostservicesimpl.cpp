#include "hostservicesimpl.h"

#include "error.h"
#include "hostlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMdiArea>
#include <QSettings>

namespace kmp {

namespace {

void warnIfUnwritten(QSettings &state)
{
    state.sync();
    if (state.status() != QSettings::NoError)
        qCWarning(hostLog, "não foi possível gravar o arquivo de estado %s", qPrintable(state.fileName()));
}

} // namespace

HostServicesImpl::HostServicesImpl(const HostOptions &options) : m_stateFile(options.stateFile), m_clientKey(options.clientKey)
{
    setWebURL(options.serverHost);
    setWebPort(options.serverPort);
    setBranch(options.branch);
    setActiveModule(options.activeModule);
    ConnectionSecurity security;
    security.tls = options.tls;
    security.caFile = options.caFile;
    if (!options.clientKey.isEmpty()) {
        QFile secret(options.keyFile);
        if (!secret.open(QIODevice::ReadOnly))
            throw kmp::Error(
                QStringLiteral("Não foi possível ler a chave do cliente em %1: %2").arg(options.keyFile, secret.errorString()));
        security.keyName = options.clientKey;
        security.keySecret = secret.readAll().trimmed();
    }
    setSecurity(security);
    // Cache times written by earlier versions into the settings file are still read, so a
    // refresh made before the upgrade is not forgotten; they are never written back there.
    if (!options.settingsFile.isEmpty() && QFileInfo::exists(options.settingsFile)) {
        QSettings ini(options.settingsFile, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("cache"));
        for (const QString &key : ini.childKeys())
            m_lastRefresh.insert(key, ini.value(key).toDateTime());
    }
    if (!m_stateFile.isEmpty()) {
        QSettings state(m_stateFile, QSettings::IniFormat);
        state.beginGroup(QStringLiteral("cache"));
        for (const QString &key : state.childKeys())
            m_lastRefresh.insert(key, state.value(key).toDateTime());
    }
}

void HostServicesImpl::refreshLocalCache(const QStringList &keys)
{
    MemoryHostServices::refreshLocalCache(keys);
    if (m_stateFile.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_stateFile).absolutePath());
    QSettings state(m_stateFile, QSettings::IniFormat);
    state.beginGroup(QStringLiteral("cache"));
    for (const QString &key : keys)
        state.setValue(key, m_lastRefresh.value(key));
    state.endGroup();
    warnIfUnwritten(state);
}

QVariant HostServicesImpl::savedState(const QString &key)
{
    const QVariant inMemory = MemoryHostServices::savedState(key);
    if (inMemory.isValid() || m_stateFile.isEmpty())
        return inMemory;
    QSettings state(m_stateFile, QSettings::IniFormat);
    return state.value(QStringLiteral("state/") + key);
}

void HostServicesImpl::saveState(const QString &key, const QVariant &value)
{
    MemoryHostServices::saveState(key, value);
    if (m_stateFile.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_stateFile).absolutePath());
    QSettings state(m_stateFile, QSettings::IniFormat);
    state.setValue(QStringLiteral("state/") + key, value);
    warnIfUnwritten(state);
}

void HostServicesImpl::setMainWindow(QWidget *window, QMdiArea *mdi)
{
    m_mainWindow = window;
    m_mdi = mdi;
    setMainForm(window);
}

} // namespace kmp
