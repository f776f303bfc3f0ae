// The screen as a person uses it: keys and clicks on the real widgets, the window losing
// and regaining activation, the server going away, a second station saving at the same
// time. Each case names what the clinician did and checks what the server ended up holding.
#include "context.h"
#include "datasource.h"
#include "dbgrid.h"
#include "dbnavigator.h"
#include "dbtext.h"
#include "diagnosislist.h"
#include "dialogs.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "serverfixture.h"
#include "tbuttonflat.h"
#include "tdateeditplus.h"
#include "tfrmdiagpaci.h"
#include "tpagecontrol.h"
#include "userpath.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QTabBar>
#include <QToolTip>
#include <QtTest>
#include <csignal>
#include <thread>

using kmp::DataSetState;

namespace {

const double kDate = 46363; // 07/12/2026
const QString kBranch = QStringLiteral("0001");

QString codeAt(TfrmDiagPaci *f, int row)
{
    return f->cdsDiagPaci->value(row, f->cdsDiagPaci->fieldByName(QStringLiteral("CDDIAGNOST"))->index()).toString();
}

QStringList codesOnScreen(TfrmDiagPaci *f)
{
    QStringList out;
    for (int r = 0; r < f->cdsDiagPaci->recordCount(); ++r)
        out << codeAt(f, r);
    return out;
}

QString current(TfrmDiagPaci *f, const char *field)
{
    return f->cdsDiagPaci->fieldByName(QLatin1String(field))->asString();
}

// "I10:1 E119:2" for what the server holds, in its order.
QString stored(ScreenHarness &h, const QString &patient)
{
    QStringList out;
    for (const auto &r : h.storedDiagnoses(kBranch, patient, kDate))
        out << QStringLiteral("%1:%2").arg(r.first).arg(r.second);
    return out.join(QLatin1Char(' '));
}

bool distinctNumbers(ScreenHarness &h, const QString &patient)
{
    QSet<int> seen;
    for (const auto &r : h.storedDiagnoses(kBranch, patient, kDate))
        if (seen.contains(r.second))
            return false;
        else
            seen.insert(r.second);
    return true;
}

int screensAlive()
{
    int n = 0;
    for (QWidget *w : QApplication::allWidgets())
        if (qobject_cast<TfrmDiagPaci *>(w))
            ++n;
    return n;
}

} // namespace

class TestUserPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void failedSwitchKeepsTheWholeScreen_data();
    void failedSwitchKeepsTheWholeScreen();
    void twoStationsNeverShareANumber_data();
    void twoStationsNeverShareANumber();
    void moveIsOneChange_data();
    void moveIsOneChange();
    void arrowsStayOffWhileTyping_data();
    void arrowsStayOffWhileTyping();
    void oneClickDoesWhatTheButtonSays_data();
    void oneClickDoesWhatTheButtonSays();
    void refusedExitKeepsTheOneScreen_data();
    void refusedExitKeepsTheOneScreen();
    void admissionListCannotBeEdited_data();
    void admissionListCannotBeEdited();
    void refreshAsksBeforeDroppingTyping_data();
    void refreshAsksBeforeDroppingTyping();
    void currentNameIsReadable_data();
    void currentNameIsReadable();
    void newRowsShowInStoredOrder_data();
    void newRowsShowInStoredOrder();
    void messagesSpeakToClinicians_data();
    void messagesSpeakToClinicians();
    void headerAndTabsAreReadable();
    void toolbarAfterSwitchFollowsThePage_data();
    void toolbarAfterSwitchFollowsThePage();
    void moveKeysFollowTheArrows_data();
    void moveKeysFollowTheArrows();

private:
    // Enters the consultation (rows stored first) and puts the focus in the diagnosis grid.
    TfrmDiagPaci *openWith(const QString &patient, const QList<QPair<QString, int>> &rows = {});
    void typeDiagnosis(const QString &code); // F2, the code, Tab: the row stays being inserted
    std::unique_ptr<ScreenHarness> h;
    std::unique_ptr<UserPath> u;
};

void TestUserPath::initTestCase()
{
    h = std::make_unique<ScreenHarness>();
    QString why;
    QVERIFY2(h->start(&why), qPrintable(why));
}

void TestUserPath::init()
{
    kmp::Dialogs::clearLog();
    kmp::Dialogs::setResponder(kmp::answers::ok());
    u = std::make_unique<UserPath>(*h);
}

void TestUserPath::cleanup()
{
    u.reset();
    h->closeScreen();
}

TfrmDiagPaci *TestUserPath::openWith(const QString &patient, const QList<QPair<QString, int>> &rows)
{
    if (!rows.isEmpty())
        h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate, rows));
    if (!u->enter(patient, kDate, QStringLiteral("Paciente ") + patient))
        return nullptr;
    TfrmDiagPaci *f = u->screen();
    u->focus(f->dbgPadrao);
    return f;
}

void TestUserPath::typeDiagnosis(const QString &code)
{
    u->key(Qt::Key_F2);
    u->type(code);
    u->key(Qt::Key_Tab);
}

// ---------------------------------------------------------------------------------------

void TestUserPath::failedSwitchKeepsTheWholeScreen_data()
{
    QTest::addColumn<bool>("onHistoryPage");
    QTest::newRow("diagnosis page in front") << false;
    QTest::newRow("history page in front") << true;
}

void TestUserPath::failedSwitchKeepsTheWholeScreen()
{
    QFETCH(bool, onHistoryPage);
    const QString first = onHistoryPage ? QStringLiteral("UP1-H1") : QStringLiteral("UP1-D1");
    const QString second = onHistoryPage ? QStringLiteral("UP1-H2") : QStringLiteral("UP1-D2");
    TfrmDiagPaci *f = openWith(first, {{QStringLiteral("A09"), 1}});
    QVERIFY(f);
    if (onHistoryPage)
        u->key(Qt::Key_A, Qt::ControlModifier);

    u->stopServer();
    QVERIFY(!u->enter(second, kDate, QStringLiteral("Paciente ") + second));
    QVERIFY(!kmp::Dialogs::log().isEmpty()); // the clinician was told
    QCOMPARE(u->screen(), f);
    QCOMPARE(f->edtPaciente->text(), QStringLiteral("Paciente ") + first);
    QCOMPARE(stCdPaciente, first);
    QCOMPARE(f->consultation().patient, first);
    QCOMPARE(codesOnScreen(f), QStringList{QStringLiteral("A09")});

    // Back on line, the next diagnosis typed goes to the patient on screen.
    QVERIFY(u->restartServer());
    if (onHistoryPage)
        u->key(Qt::Key_D, Qt::ControlModifier);
    u->focus(f->dbgPadrao);
    typeDiagnosis(QStringLiteral("I10"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(stored(*h, first), QStringLiteral("A09:1 I10:2"));
    QCOMPARE(stored(*h, second), QString());
}

// ---------------------------------------------------------------------------------------

void TestUserPath::twoStationsNeverShareANumber_data()
{
    QTest::addColumn<QString>("mine");
    QTest::addColumn<QString>("theirs");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("keptTyping"); // the row is still there to confirm or cancel
    QTest::newRow("different codes") << QStringLiteral("I10") << QStringLiteral("E119") << QStringLiteral("A09:1 E119:2 I10:3")
                                     << false;
    QTest::newRow("the same code") << QStringLiteral("I10") << QStringLiteral("I10") << QStringLiteral("A09:1 I10:2") << true;
}

void TestUserPath::twoStationsNeverShareANumber()
{
    QFETCH(QString, mine);
    QFETCH(QString, theirs);
    QFETCH(QString, expected);
    QFETCH(bool, keptTyping);
    static int run = 0;
    const QString patient = QStringLiteral("UP2-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient, {{QStringLiteral("A09"), 1}});
    QVERIFY(f);
    TfrmDiagPaci *other = u->openStation(patient, kDate);
    QVERIFY(other != f);

    // Both stations start typing on the same list, each with its own next number.
    u->activate(f);
    u->focus(f->dbgPadrao);
    typeDiagnosis(mine);
    u->activate(other);
    u->focus(other->dbgPadrao);
    typeDiagnosis(theirs);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(other->cdsDiagPaci->state(), DataSetState::Browse);

    u->activate(f);
    u->focus(f->dbgPadrao);
    kmp::Dialogs::clearLog();
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QVERIFY2(distinctNumbers(*h, patient), qPrintable(stored(*h, patient)));
    QCOMPARE(stored(*h, patient), expected);
    QVERIFY(!kmp::Dialogs::log().isEmpty()); // told what happened
    if (keptTyping) {
        QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
        QCOMPARE(current(f, "CDDIAGNOST"), mine);
        QCOMPARE(kmp::Dialogs::log().last().text, QStringLiteral("Diagnóstico já cadastrado."));
        return;
    }
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Browse);
    QStringList codes = expected.split(QLatin1Char(' '));
    codes.replaceInStrings(QRegularExpression(QStringLiteral(":\\d+")), QString());
    QCOMPARE(codesOnScreen(f), codes);
    QCOMPARE(current(f, "CDDIAGNOST"), mine);
}

// ---------------------------------------------------------------------------------------

void TestUserPath::moveIsOneChange_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("changedElsewhere");
    // The row that moves, or the one it changes places with, was changed by another station.
    QTest::newRow("moving row changed, up") << 1 << true << QStringLiteral("B349");
    QTest::newRow("neighbour changed, up") << 1 << true << QStringLiteral("A09");
    QTest::newRow("moving row changed, down") << 1 << false << QStringLiteral("B349");
    QTest::newRow("neighbour changed, down") << 1 << false << QStringLiteral("D649");
}

void TestUserPath::moveIsOneChange()
{
    QFETCH(int, row);
    QFETCH(bool, up);
    QFETCH(QString, changedElsewhere);
    static int run = 0;
    const QString patient = QStringLiteral("UP3-%1").arg(++run);
    const QList<QPair<QString, int>> rows{{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}, {QStringLiteral("D649"), 3}};
    TfrmDiagPaci *f = openWith(patient, rows);
    QVERIFY(f);
    int at = 0;
    for (int i = 0; i < rows.size(); ++i)
        if (rows[i].first == changedElsewhere)
            at = i;
    kmp::Delta d = diagnosisDelta(patient, kDate, {rows[at]});
    d.changes[0].kind = kmp::ChangeKind::Modify;
    d.changes[0].oldValues = h->packet(QStringLiteral("GetDiagPaci"), {kBranch, patient, kDate}).rows.at(size_t(at));
    d.changes[0].newValues = d.changes[0].oldValues;
    d.changes[0].newValues[6] = QStringLiteral("CID10-X"); // the name is the catalogue's and stays
    h->save(QStringLiteral("SetDiagPaci"), d);

    u->clickCell(f->dbgPadrao, row, 0);
    QCOMPARE(f->cdsDiagPaci->currentRow(), row);
    u->click(up ? f->sbtItemUp : f->sbtItemDown);
    QCOMPARE(stored(*h, patient), QStringLiteral("A09:1 B349:2 D649:3")); // nothing half-done
    QVERIFY(!kmp::Dialogs::log().isEmpty());
    QCOMPARE(codesOnScreen(f), (QStringList{"A09", "B349", "D649"}));
    QCOMPARE(f->cdsDiagPaci->changeCount(), 0);

    // A move on the list as it now is works.
    u->clickCell(f->dbgPadrao, row, 0);
    u->click(up ? f->sbtItemUp : f->sbtItemDown);
    QCOMPARE(stored(*h, patient), up ? QStringLiteral("B349:1 A09:2 D649:3") : QStringLiteral("A09:1 D649:2 B349:3"));
}

// ---------------------------------------------------------------------------------------

void TestUserPath::arrowsStayOffWhileTyping_data()
{
    QTest::addColumn<QString>("away");
    QTest::newRow("another screen in the host and back") << QStringLiteral("screen");
    QTest::newRow("another application's window and back") << QStringLiteral("application");
    QTest::newRow("the host window activated again") << QStringLiteral("host");
}

void TestUserPath::arrowsStayOffWhileTyping()
{
    QFETCH(QString, away);
    static int run = 0;
    const QString patient = QStringLiteral("UP4-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient, {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}});
    QVERIFY(f);
    TfrmDiagPaci *other = away == QLatin1String("screen") ? u->openStation(patient + QStringLiteral("x"), kDate) : nullptr;
    u->activate(f);
    u->focus(f->dbgPadrao);
    typeDiagnosis(QStringLiteral("I10"));
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
    if (other)
        u->activate(other);
    else if (away == QLatin1String("application"))
        u->deactivate();
    else
        u->activate(&h->mainWindow());
    u->activate(f);
    QVERIFY(!f->sbtItemUp->isEnabled());
    QVERIFY(!f->sbtItemDown->isEnabled());
    u->click(f->sbtItemUp);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
    QCOMPARE(current(f, "CDDIAGNOST"), QStringLiteral("I10"));
    u->focus(f->dbgPadrao);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(stored(*h, patient), QStringLiteral("A09:1 B349:2 I10:3"));
    QVERIFY(f->sbtItemUp->isEnabled());
}

// ---------------------------------------------------------------------------------------

// A code typed into the cell and not left (no Tab): one click on the toolbar validates the
// cell and then does what the button says.
void TestUserPath::oneClickDoesWhatTheButtonSays_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("questions"); // the "Canc" question on leaving with a row typed
    QTest::addColumn<bool>("closed");
    QTest::newRow("Confirmar stores the row") << "sbtConfirmar"
                                              << "I10"
                                              << "I10:1" << 0 << false;
    QTest::newRow("Confirmar on an unknown code says why") << "sbtConfirmar"
                                                           << "Z9Z"
                                                           << "" << 0 << false;
    QTest::newRow("Sair asks, then leaves") << "sbtSair"
                                            << "I10"
                                            << "" << 1 << true;
}

void TestUserPath::oneClickDoesWhatTheButtonSays()
{
    QFETCH(QString, button);
    QFETCH(QString, code);
    QFETCH(QString, stored);
    QFETCH(int, questions);
    QFETCH(bool, closed);
    static int run = 0;
    const QString patient = QStringLiteral("UP12-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient);
    QVERIFY(f);
    u->key(Qt::Key_F2);
    u->type(code);
    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(kmp::MessageResult::Yes);
    // The server answers as a busy one does, slower than a hand lets go of the button.
    const qint64 server = h->serverProcessId();
    ::kill(pid_t(server), SIGSTOP);
    std::thread resume([server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ::kill(pid_t(server), SIGCONT);
    });
    u->click(f->findChild<QToolButton *>(button));
    resume.join();
    u->settle();
    QCOMPARE(::stored(*h, patient), stored);
    int asked = 0, errors = 0;
    for (const auto &m : kmp::Dialogs::log()) {
        asked += m.type == kmp::MessageType::Confirmation;
        errors += m.type == kmp::MessageType::Error;
    }
    QCOMPARE(asked, questions);
    QCOMPARE(errors, stored.isEmpty() && !closed ? 1 : 0); // the unknown code is told, once
    QCOMPARE(!BostCriado, closed);
}

void TestUserPath::refusedExitKeepsTheOneScreen_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Sair button") << true;
    QTest::newRow("window closed") << false;
}

void TestUserPath::refusedExitKeepsTheOneScreen()
{
    QFETCH(bool, byButton);
    static int run = 0;
    const QString patient = QStringLiteral("UP5-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient);
    QVERIFY(f);
    typeDiagnosis(QStringLiteral("I10"));
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.thenAnswer(kmp::MessageResult::No);
        if (byButton)
            u->click(f->sbtSair);
        else
            f->frame()->close();
        u->settle();
        QCOMPARE(dialogs.seen().size(), 1);
    }
    QVERIFY(BostCriado);
    QCOMPARE(u->screen(), f);
    QVERIFY(u->enter(patient, kDate));
    QCOMPARE(u->screen(), f);
    QCOMPARE(screensAlive(), 1);
    QCOMPARE(current(f, "CDDIAGNOST"), QStringLiteral("I10"));

    // Agreed the second time: the screen goes and the next entry builds a new one.
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.thenAnswer(kmp::MessageResult::Yes);
        u->click(f->sbtSair);
    }
    u->settle();
    QVERIFY(!BostCriado);
    QVERIFY(u->enter(patient, kDate));
    QVERIFY(u->screen());
    QCOMPARE(screensAlive(), 1);
}

// ---------------------------------------------------------------------------------------

void TestUserPath::admissionListCannotBeEdited_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::newRow("double-click, Delete, Enter") << QStringLiteral("delete");
    QTest::newRow("double-click, typing, Enter") << QStringLiteral("type");
    QTest::newRow("paste") << QStringLiteral("paste");
    QTest::newRow("F2 on the list") << QStringLiteral("insert");
}

void TestUserPath::admissionListCannotBeEdited()
{
    QFETCH(QString, gesture);
    // The demo consultation has admission diagnoses.
    QVERIFY(u->enter(QStringLiteral("000000000001"), kDate, QStringLiteral("Maria da Silva")));
    TfrmDiagPaci *f = u->screen();
    QVERIFY(f->cdsDiagAsso->recordCount() > 0);
    const int nameColumn = f->dbgDiagAsso->columnOf(QStringLiteral("NMDIAGNOST"));
    const QString before =
        f->cdsDiagAsso->value(0, f->cdsDiagAsso->fieldByName(QStringLiteral("NMDIAGNOST"))->index()).toString();
    const int rows = f->cdsDiagAsso->recordCount();
    QVERIFY(!before.isEmpty());

    u->clickCell(f->dbgDiagAsso, 0, nameColumn, gesture != QLatin1String("paste"));
    if (gesture == QLatin1String("delete"))
        u->key(Qt::Key_Delete);
    else if (gesture == QLatin1String("type"))
        u->type(QStringLiteral("xyz"));
    else if (gesture == QLatin1String("paste"))
        u->paste(QStringLiteral("colado"));
    else
        u->key(Qt::Key_F2);
    u->key(Qt::Key_Return);
    u->settle();
    QCOMPARE(f->cdsDiagAsso->state(), DataSetState::Browse);
    QCOMPARE(f->cdsDiagAsso->recordCount(), rows);
    QCOMPARE(f->cdsDiagAsso->value(0, f->cdsDiagAsso->fieldByName(QStringLiteral("NMDIAGNOST"))->index()).toString(), before);
    QVERIFY(!f->dbgDiagAsso->indexWidget(f->dbgDiagAsso->model()->index(0, nameColumn)));
    for (const auto &m : kmp::Dialogs::log())
        QVERIFY2(!m.text.contains(QLatin1String("cdsDiagAsso")), qPrintable(m.text));
}

// ---------------------------------------------------------------------------------------

void TestUserPath::refreshAsksBeforeDroppingTyping_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("after");
    QTest::newRow("No keeps the row") << int(kmp::MessageResult::No) << QStringLiteral("A09 I10");
    QTest::newRow("Yes drops it and reloads") << int(kmp::MessageResult::Yes) << QStringLiteral("A09 B349");
}

void TestUserPath::refreshAsksBeforeDroppingTyping()
{
    QFETCH(int, answer);
    QFETCH(QString, after);
    static int run = 0;
    const QString patient = QStringLiteral("UP7-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient, {{QStringLiteral("A09"), 1}});
    QVERIFY(f);
    typeDiagnosis(QStringLiteral("I10"));
    // Meanwhile another station adds a row: a reload would show it.
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate, {{QStringLiteral("B349"), 2}}));
    kmp::ScriptedDialogs dialogs;
    dialogs.thenAnswer(answer);
    u->key(Qt::Key_F5);
    QCOMPARE(dialogs.seen().size(), 1);
    QCOMPARE(dialogs.seen().first().type, kmp::MessageType::Confirmation);
    QCOMPARE(codesOnScreen(f).join(QLatin1Char(' ')), after);
    QCOMPARE(f->cdsDiagPaci->state(), answer == int(kmp::MessageResult::No) ? DataSetState::Insert : DataSetState::Browse);
}

// ---------------------------------------------------------------------------------------

void TestUserPath::currentNameIsReadable_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("more"); // diagnoses after the two: their numbers must read whole
    QTest::newRow("short name") << QStringLiteral("I10") << QStringLiteral("Hipertensão essencial (primária)") << 0;
    QTest::newRow("twelve rows") << QStringLiteral("I10") << QStringLiteral("Hipertensão essencial (primária)") << 10;
    QTest::newRow("name longer than the column")
        << QStringLiteral("Z999")
        << QStringLiteral("Diagnóstico de nome muito longo para caber na coluna da grade, com texto que continua "
                          "além da borda visível e que o clínico precisa ler inteiro para ter certeza do que está gravado")
        << 0;
}

void TestUserPath::currentNameIsReadable()
{
    QFETCH(QString, code);
    QFETCH(QString, name);
    QFETCH(int, more);
    static int run = 0;
    const QString patient = QStringLiteral("UP8-%1").arg(++run);
    // The server stores the catalogue's name: a long one must be the catalogue's too.
    QString why;
    QVERIFY2(importCatalogue(QStringLiteral("sqlite:") + h->databaseFile(), {{code, name}}, &why), qPrintable(why));
    QList<QPair<QString, int>> rows{{QStringLiteral("A09"), 1}, {code, 2}};
    const QStringList others{"J189", "E119", "B349", "J00", "K30", "R51", "N390", "M545", "F329", "E669"};
    for (int i = 0; i < more; ++i)
        rows.append({others.at(i), 3 + i});
    h->save(QStringLiteral("SetDiagPaci"), diagnosisDelta(patient, kDate, rows));
    TfrmDiagPaci *f = openWith(patient);
    QVERIFY(f);
    QHeaderView *numbers = f->dbgPadrao->verticalHeader();
    QCOMPARE(numbers->model()->headerData(rows.size() - 1, Qt::Vertical).toString(), QString::number(rows.size()));
    QVERIFY2(numbers->width() >= numbers->sizeHint().width(), // the header's own measure of its widest number
             qPrintable(QStringLiteral("%1 < %2").arg(numbers->width()).arg(numbers->sizeHint().width())));
    const int nameColumn = f->dbgPadrao->columnOf(QStringLiteral("NMDIAGNOST"));
    u->clickCell(f->dbgPadrao, 1, nameColumn);
    QCOMPARE(f->dbtNome->text(), name);

    const QModelIndex cell = f->dbgPadrao->model()->index(1, nameColumn);
    const QPoint at = f->dbgPadrao->visualRect(cell).center();
    QHelpEvent help(QEvent::ToolTip, at, f->dbgPadrao->viewport()->mapToGlobal(at));
    QApplication::sendEvent(f->dbgPadrao->viewport(), &help);
    QCOMPARE(QToolTip::text(), name);
    QToolTip::hideText();

    u->clickCell(f->dbgPadrao, 0, nameColumn);
    QCOMPARE(f->dbtNome->text(),
             QStringLiteral("Diarréia e gastroenterite de origem infecciosa presumível")); // follows the cursor

    // A wider window gives the names its width: none is cut beside empty space.
    f->frame()->resize(f->frame()->width() + 300, f->frame()->height());
    QApplication::processEvents();
    for (kmp::DBGrid *grid : {f->dbgPadrao, f->dbgDiagAsso}) {
        const int last = grid->gridColumnCount() - 1;
        QCOMPARE(grid->columnViewportPosition(last) + grid->columnWidth(last), grid->viewport()->width());
    }
}

// ---------------------------------------------------------------------------------------

void TestUserPath::newRowsShowInStoredOrder_data()
{
    QTest::addColumn<int>("startRow");
    QTest::newRow("cursor on the first row") << 0;
    QTest::newRow("cursor on the last row") << 1;
}

void TestUserPath::newRowsShowInStoredOrder()
{
    QFETCH(int, startRow);
    static int run = 0;
    const QString patient = QStringLiteral("UP9-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient, {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}});
    QVERIFY(f);
    for (const char *code : {"I10", "E119", "J189"}) {
        u->clickCell(f->dbgPadrao, startRow, 0);
        typeDiagnosis(QLatin1String(code));
        u->key(Qt::Key_Return, Qt::ControlModifier);
    }
    QCOMPARE(stored(*h, patient), QStringLiteral("A09:1 B349:2 I10:3 E119:4 J189:5"));
    QCOMPARE(codesOnScreen(f), (QStringList{"A09", "B349", "I10", "E119", "J189"}));
    QCOMPARE(current(f, "CDDIAGNOST"), QStringLiteral("J189"));
}

// ---------------------------------------------------------------------------------------

void TestUserPath::messagesSpeakToClinicians_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("F2 on the report before its type is chosen") << QStringLiteral("report");
    QTest::newRow("F5 with the server gone") << QStringLiteral("refresh");
    QTest::newRow("saving a diagnosis with the server gone") << QStringLiteral("save");
}

void TestUserPath::messagesSpeakToClinicians()
{
    QFETCH(QString, action);
    static int run = 0;
    const QString patient = QStringLiteral("UP10-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient);
    QVERIFY(f);
    if (action == QLatin1String("report")) {
        u->key(Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(f->pgcHistorico->activePage(), f->tshSinaSint);
        u->key(Qt::Key_F2);
    } else if (action == QLatin1String("refresh")) {
        u->stopServer();
        u->key(Qt::Key_F5);
    } else {
        typeDiagnosis(QStringLiteral("I10"));
        u->stopServer();
        u->key(Qt::Key_Return, Qt::ControlModifier);
    }
    const auto log = kmp::Dialogs::log();
    QCOMPARE(log.size(), 1);
    const QString text = log.first().text;
    for (const char *technical : {"cds", "Connection", "refused", "conjunto de dados", "Socket", "timeout"})
        QVERIFY2(!text.contains(QLatin1String(technical), Qt::CaseInsensitive), qPrintable(text));
    QVERIFY2(text.size() > 20, qPrintable(text));
    if (action == QLatin1String("save")) // what was typed is still there to confirm again
        QCOMPARE(current(f, "CDDIAGNOST"), QStringLiteral("I10"));
}

// ---------------------------------------------------------------------------------------

void TestUserPath::headerAndTabsAreReadable()
{
    TfrmDiagPaci *f = openWith(QStringLiteral("UP11"));
    QVERIFY(f);
    // Read-only, yet drawn with the normal text colour, not the disabled one.
    for (QWidget *w : {static_cast<QWidget *>(f->edtPaciente), static_cast<QWidget *>(f->DEPDTConsulta)}) {
        QVERIFY(w->isEnabled());
        for (QWidget *p = w; p && p != f; p = p->parentWidget())
            QVERIFY2(p->isEnabled(), qPrintable(p->objectName()));
    }
    QVERIFY(f->edtPaciente->isReadOnly());
    QCOMPARE(f->edtPaciente->text(), QStringLiteral("Paciente UP11"));

    // All five history captions visible at the screen's own size.
    u->key(Qt::Key_A, Qt::ControlModifier);
    QTabBar *bar = f->pgcHistorico->tabBar();
    QCOMPARE(bar->count(), 5);
    for (int i = 0; i < bar->count(); ++i) {
        const QRect r = bar->tabRect(i);
        QVERIFY2(bar->rect().contains(r), qPrintable(bar->tabText(i)));
        QVERIFY2(r.width() >= bar->fontMetrics().horizontalAdvance(bar->tabText(i)), qPrintable(bar->tabText(i)));
    }
}

// ---------------------------------------------------------------------------------------

void TestUserPath::toolbarAfterSwitchFollowsThePage_data()
{
    QTest::addColumn<bool>("visitHistory");
    QTest::newRow("history visited before the switch") << true;
    QTest::newRow("diagnosis page only") << false;
}

void TestUserPath::toolbarAfterSwitchFollowsThePage()
{
    QFETCH(bool, visitHistory);
    static int run = 0;
    const QString patient = QStringLiteral("UP12-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient + QStringLiteral("a"), {{QStringLiteral("A09"), 1}});
    QVERIFY(f);
    if (visitHistory) {
        u->key(Qt::Key_A, Qt::ControlModifier);
        u->key(Qt::Key_D, Qt::ControlModifier);
    }
    QCOMPARE(f->pgcPadrao->activePage(), f->tshPadrao);
    QVERIFY(u->enter(patient + QStringLiteral("b"), kDate));
    QCOMPARE(u->screen(), f);
    QVERIFY(!f->sbtAlterar->isEnabled());
    QVERIFY(!f->mnuAlterar->isEnabled());
    QVERIFY(f->sbtVerificar->isEnabled());
    QVERIFY(f->sbtIncluir->isEnabled());
}

// ---------------------------------------------------------------------------------------

void TestUserPath::moveKeysFollowTheArrows_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Ctrl+Shift+Up") << int(Qt::Key_Up) << QStringLiteral("B349:1 A09:2 D649:3");
    QTest::newRow("Ctrl+Shift+Down") << int(Qt::Key_Down) << QStringLiteral("A09:1 D649:2 B349:3");
}

void TestUserPath::moveKeysFollowTheArrows()
{
    QFETCH(int, key);
    QFETCH(QString, expected);
    static int run = 0;
    const QString patient = QStringLiteral("UP13-%1").arg(++run);
    TfrmDiagPaci *f = openWith(patient, {{QStringLiteral("A09"), 1}, {QStringLiteral("B349"), 2}, {QStringLiteral("D649"), 3}});
    QVERIFY(f);
    QVERIFY(f->sbtItemUp->toolTip().contains(QLatin1String("Ctrl+Shift+")));
    QVERIFY(f->sbtItemDown->toolTip().contains(QLatin1String("Ctrl+Shift+")));
    u->clickCell(f->dbgPadrao, 1, 0);
    u->key(Qt::Key(key), Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(stored(*h, patient), expected);
    QCOMPARE(current(f, "CDDIAGNOST"), QStringLiteral("B349"));

    // While a row is typed the keys move nothing, like the arrows.
    typeDiagnosis(QStringLiteral("I10"));
    u->key(Qt::Key(key), Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f->cdsDiagPaci->state(), DataSetState::Insert);
    QCOMPARE(stored(*h, patient), expected);
}

QTEST_MAIN(TestUserPath)
#include "tst_userpath.moc"
