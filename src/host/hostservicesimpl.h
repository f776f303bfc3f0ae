#pragma once

#include "hostoptions.h"
#include "hostservices.h"

#include <QPointer>

namespace kmp {

// The host's services to the modules: the options it runs with, its main window, its
// application object, its local cache (each key with its last refresh time) and what the
// station remembers between runs. Cache times and remembered values go to the state file;
// the administrator's settings file is only ever read.
class HostServicesImpl : public MemoryHostServices
{
public:
    // Throws kmp::Error when the client key's secret cannot be read.
    explicit HostServicesImpl(const HostOptions &options);

    void refreshLocalCache(const QStringList &keys) override;
    QWidget *mainForm() override { return m_mainWindow; }
    QMdiArea *mdiArea() override { return m_mdi; }
    QVariant savedState(const QString &key) override;
    void saveState(const QString &key, const QVariant &value) override;

    void setMainWindow(QWidget *window, QMdiArea *mdi);
    QString clientKey() const { return m_clientKey; }
    QString stateFile() const { return m_stateFile; }

private:
    QString m_stateFile;
    QString m_clientKey;
    QPointer<QWidget> m_mainWindow;
    QPointer<QMdiArea> m_mdi;
};

} // namespace kmp
