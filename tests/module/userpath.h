#pragma once

// The scenario harness: a person's path through the screen, on a real X server.
//
// Adding a scenario:
//   - Put it in an existing scenario test (tst_userpath, tst_notesuserpath, tst_e2e,
//     tst_hostuserpath) as a data row of the case that already walks that path; add a
//     function only for a path no case walks yet, and a file only for a new area.
//   - A new scenario file is registered with kmp_add_scenario_test(NAME SOURCES ... LIBS
//     kmp_screen_testsupport) in its area's CMakeLists.txt: CTest then runs it under
//     tests/support/x-session, on an Xvfb display of its own with openbox as the window
//     manager and Qt on xcb. `ctest -L scenario` runs them all; to watch one, run
//     `tests/support/x-session build/tests/module/tst_userpath caseName` by hand.
//   - Drive the screen only through UserPath: its keys, clicks, activation, window close
//     and clipboard travel through the X server (kmp::test::XDesktop, tests/support), so
//     focus, activation, clipboard and close faults show up as they do for a person.
//     Dialogs are answered by kmp::ScriptedDialogs; the server is stopped, restarted or
//     frozen (serverProcessId() and SIGSTOP) underneath.
//   - Check what the server holds afterwards (ScreenHarness::storedDiagnoses, packet()),
//     not only what the screen shows.

#include "consultation.h"
#include "serverfixture.h"

#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

namespace kmp {
class DBGrid;
} // namespace kmp
class TfrmDiagPaci;

// Drives the screen only the way a person does: the module entered as the host enters it,
// the window activated and deactivated, the focus moved by clicking, keys and mouse clicks
// sent to the widget under the user's hand, the toolkit's dialogs answered by a script,
// the server stopped and restarted underneath, and a second station (another screen
// instance on its own connection) working on the same database.
//
// Nothing here calls a screen handler: whatever a test does goes through Qt's event
// delivery, so focus, activation and key routing faults show up as they would for a user.
class UserPath
{
public:
    explicit UserPath(ScreenHarness &harness);
    ~UserPath();
    UserPath(const UserPath &) = delete;
    UserPath &operator=(const UserPath &) = delete;

    ScreenHarness &harness() { return m_h; }

    // Opens a consultation through the module's entry, as the host's menu does. A failure
    // is reported as the host reports it (an error box through the dialog service) and
    // gives false.
    bool enter(const QString &patient, double date, const QString &patientText = QStringLiteral("Paciente de teste"),
               const QString &branch = QStringLiteral("0001"));
    TfrmDiagPaci *screen() const; // the module's screen, null when there is none

    // Another station: a screen instance of its own, with its own server connection,
    // owned by this object and closed with it.
    TfrmDiagPaci *openStation(const QString &patient, double date, const QString &branch = QStringLiteral("0001"));

    // Window activation as the window manager does it: the window the widget is in comes
    // to the front and active (with its sub-window in the host's area).
    void activate(QWidget *w);
    // Another application's window takes the activation away.
    void deactivate();

    // Mouse: a click (or double-click) on the widget's centre or at a point of it.
    void click(QWidget *w);
    void click(QWidget *w, QPoint at);
    void doubleClick(QWidget *w, QPoint at);
    // The focus moved to the widget by clicking it.
    void focus(QWidget *w);
    // A cell of a grid clicked (or double-clicked): the grid gets the focus and the cursor.
    void clickCell(kmp::DBGrid *grid, int row, int column, bool twice = false);

    // Keys go to whatever has the focus now, through the application's dispatch.
    void key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier);
    void type(const QString &text);
    // Another application copies (text; or these targets, none for an empty clipboard),
    // then Ctrl+V pastes into the focused widget.
    void paste(const QString &text);
    void paste(const QList<QPair<QByteArray, QByteArray>> &targets);
    // The window manager closes the widget's window (its title bar's close button).
    void closeWindow(QWidget *w);

    // The server behind every station goes away, or comes back on the same port (it is
    // brought back when this object goes, so a failed test leaves it running).
    void stopServer();
    bool restartServer();

    // Lets queued events (deferred deletes, posted reports) run.
    static void settle();

private:
    ScreenHarness &m_h;
    std::unique_ptr<QWidget> m_elsewhere; // stands for another application's window
    std::vector<QPointer<TfrmDiagPaci>> m_stations;
    bool m_serverDown = false;
};
