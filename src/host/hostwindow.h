#pragma once

#include "hostoptions.h"
#include "moduleloader.h"

#include <QDate>
#include <QMainWindow>

class QLabel;
class QMdiArea;

namespace kmp {

class HostServicesImpl;

// The host's main window: an MDI area where the modules' screens live, the menu to open a
// consultation and to look at the local cache, and the object that owns the screens.
class HostWindow : public QMainWindow
{
    Q_OBJECT
public:
    HostWindow(const HostOptions &options, HostServicesImpl *services, QWidget *parent = nullptr);
    ~HostWindow() override;

    QMdiArea *mdiArea() const { return m_mdi; }
    QObject *applicationObject() const { return m_appObject; }
    ModuleLoader &loader() { return m_loader; }

    // Loads the module and enters it with the consultation. Failures are told to the user in
    // plain words (through the dialog service) and with the technical detail in the host's log; returns false then.
    bool openModule(const QString &module, const QString &branch, const QString &patient, const QString &patientText,
                    const QDate &date);
    QString lastError() const { return m_lastError; }
    // With quiet set, failures go to the log only (runs where no one sees the screen).
    void setQuiet(bool quiet) { m_quiet = quiet; }

    void showOpenForm(); // the small form to type a consultation
    void showCacheDialog();

    // Asks every open screen to close, as its own close rule says (a screen with typing in
    // progress asks "Canc"). False when one of them stays open: the host must stay too.
    bool closeScreens();

    // The permanent status-bar fields: server, branch and the connection's state.
    QLabel *serverLabel() const { return m_serverLabel; }
    QLabel *branchLabel() const { return m_branchLabel; }
    QLabel *connectionLabel() const { return m_connectionLabel; }

    static QString windowTitleText(); // "KMP - Clínica"

    // Whether a window frame lies whole on one of the screens now attached.
    bool fitsOnAScreen(const QRect &frame) const;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void fail(const QString &userText, const QString &detail);
    void buildStatusBar();
    void showBranch(const QString &branch);
    void restorePlacement();
    void fitToScreen(); // the designed size, within the screen's available area, centred
    void savePlacement();

    HostOptions m_options;
    HostServicesImpl *m_services;
    QMdiArea *m_mdi;
    QObject *m_appObject;
    ModuleLoader m_loader;
    QString m_lastError;
    bool m_quiet = false;
    QLabel *m_serverLabel = nullptr;
    QLabel *m_branchLabel = nullptr;
    QLabel *m_connectionLabel = nullptr;
    bool m_checkedFit = false;
};

} // namespace kmp
