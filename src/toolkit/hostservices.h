#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

class QWidget;
class QObject;
class QMdiArea;

namespace kmp {

// What the host application offers to the screens it loads. The host sets its own
// implementation with setInstance(); modules reach it through the Norvik, Geral and
// Qrddlgs functions below.
// How this station proves itself to the application server and checks the server back.
// Empty: the plain loopback connection of a single machine.
struct ConnectionSecurity
{
    QString keyName;      // the client key's name, known to the server
    QByteArray keySecret; // its secret; never shown or logged
    bool tls = false;     // encrypt, and accept only a server certified by caFile
    QString caFile;
};

class HostServices
{
public:
    virtual ~HostServices();

    virtual QString webURL() = 0;  // application-server host
    virtual quint16 webPort() = 0; // application-server port
    virtual QString branch() = 0;  // branch the host is working in
    virtual void refreshLocalCache(const QStringList &keys) = 0;
    virtual QString activeModule() = 0;    // letter of the active host module
    virtual QWidget *mainForm() = 0;       // the main window (parent of busy indicator)
    virtual QObject *application() = 0;    // owner of the screens
    virtual QMdiArea *mdiArea() = 0;       // where child screens are shown; may be null
    virtual QString helpFolder();          // folder with help/<context>.html pages
    virtual ConnectionSecurity security(); // client key and TLS for the server connection
    // What the station remembers between runs (a dialog's size, a window's place), by key.
    // The default keeps nothing.
    virtual QVariant savedState(const QString &key);
    virtual void saveState(const QString &key, const QVariant &value);

    // The instance in use. Without one set, a MemoryHostServices with defaults (server
    // from KMP_SERVER_HOST / KMP_SERVER_PORT, no main window) answers.
    static HostServices *instance();
    static void setInstance(HostServices *services); // not owned; null restores the default
};

// A plain in-memory implementation: values are set directly and each cache key keeps the
// time of its last refresh. The host builds on it.
class MemoryHostServices : public HostServices
{
public:
    MemoryHostServices();

    QString webURL() override { return m_webURL; }
    quint16 webPort() override { return m_webPort; }
    QString branch() override { return m_branch; }
    void refreshLocalCache(const QStringList &keys) override;
    QString activeModule() override { return m_activeModule; }
    QWidget *mainForm() override { return m_mainForm; }
    QObject *application() override { return m_application; }
    QMdiArea *mdiArea() override { return m_mdiArea; }

    void setWebURL(const QString &host) { m_webURL = host; }
    void setWebPort(quint16 port) { m_webPort = port; }
    void setBranch(const QString &branch) { m_branch = branch; }
    void setActiveModule(const QString &letter) { m_activeModule = letter; }
    void setMainForm(QWidget *w) { m_mainForm = w; }
    void setApplication(QObject *app) { m_application = app; }
    void setMdiArea(QMdiArea *area) { m_mdiArea = area; }
    ConnectionSecurity security() override { return m_security; }
    void setSecurity(const ConnectionSecurity &security) { m_security = security; }
    QVariant savedState(const QString &key) override { return m_state.value(key); }
    void saveState(const QString &key, const QVariant &value) override { m_state.insert(key, value); }

    // Last refresh time per key.
    QDateTime lastRefresh(const QString &key) const { return m_lastRefresh.value(key); }
    QStringList cacheKeys() const { return m_lastRefresh.keys(); }

protected:
    QString m_webURL;
    quint16 m_webPort = 0;
    QString m_branch;
    QString m_activeModule;
    QWidget *m_mainForm = nullptr;
    QObject *m_application = nullptr;
    QMdiArea *m_mdiArea = nullptr;
    ConnectionSecurity m_security;
    QMap<QString, QDateTime> m_lastRefresh;
    QMap<QString, QVariant> m_state;
};

namespace Norvik {
QString WebURL();
quint16 WebPort();
QString FiliProc();
void AtualizaLocalCache(const QStringList &keys);
} // namespace Norvik

namespace Geral {
QString ModuloAtiv();
} // namespace Geral

// The parameters a report defines, in order, each with a value.
class ReportParams
{
public:
    void add(const QString &name, const QVariant &value = QVariant()); // replaces by name
    bool contains(const QString &name) const { return indexOf(name) >= 0; }
    int indexOf(const QString &name) const; // letter case ignored
    QVariant value(const QString &name) const;
    // Sets the value of a defined parameter; false when the report does not define it.
    bool setValue(const QString &name, const QVariant &value);
    int count() const { return int(m_items.size()); }
    QString name(int i) const { return m_items.at(i).first; }
    QVariant valueAt(int i) const { return m_items.at(i).second; }

private:
    QList<QPair<QString, QVariant>> m_items;
};

namespace Qrddlgs {
bool ExistParam(const ReportParams &params, const QString &name);
} // namespace Qrddlgs

} // namespace kmp
