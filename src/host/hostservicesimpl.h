#pragma once

#include "hostoptions.h"
#include "hostservices.h"

#include <QPointer>

namespace kmp {

// The host's services to the modules: the options it runs with, its main window, its
// application object and its local cache (each key with its last refresh time, kept in
// the settings file so that it survives a restart).
class HostServicesImpl : public MemoryHostServices
{
public:
    // Throws kmp::Error when the client key's secret cannot be read.
    explicit HostServicesImpl(const HostOptions &options);

    void atualizaLocalCache(const QStringList &keys) override;
    QWidget *mainForm() override { return m_mainWindow; }
    QMdiArea *mdiArea() override { return m_mdi; }

    void setMainWindow(QWidget *window, QMdiArea *mdi);
    QString clientKey() const { return m_clientKey; }

private:
    QString m_settingsFile;
    QString m_clientKey;
    QPointer<QWidget> m_mainWindow;
    QPointer<QMdiArea> m_mdi;
};

} // namespace kmp
