// The clinical sections as a clinician uses them: keys through the window, dead keys and
// input methods, the clipboard, the editor's context menu, drag and drop, the format bar
// clicked with the mouse, against a real server. Each scenario checks what the server
// holds afterwards, since text on screen that never reaches the server is lost.
#include "actionlist.h"
#include "context.h"
#include "dbgrid.h"
#include "dbnavigator.h"
#include "dbtext.h"
#include "dialogs.h"
#include "recordset.h"
#include "rtfreader.h"
#include "scripteddialogs.h"
#include "serverfixture.h"
#include "tbtnpesquisa.h"
#include "tformatpanel.h"
#include "tfrmdiagpaci.h"
#include "tpagecontrol.h"
#include "userpath.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QClipboard>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTabBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QTextList>
#include <QTextTable>
#include <QToolButton>
#include <QtTest>

using kmp::DataSetState;

namespace {

const double kDate = 46370;

// History sections by their place in GetHistGer's answer.
int historyPart(int section)
{
    switch (section) {
    case TfrmDiagPaci::HistDoen: return 0;
    case TfrmDiagPaci::HistClinProg: return 1;
    case TfrmDiagPaci::HistFam: return 2;
    case TfrmDiagPaci::ExamFisi: return 3;
    default: return -1;
    }
}

// A dead key and the letter after it, as an input method delivers them: the accent shown
// while composing, then the composed letter committed.
void compose(QWidget *editor, const QString &accent, const QString &letter)
{
    QInputMethodEvent preedit(accent, {});
    QApplication::sendEvent(editor, &preedit);
    QInputMethodEvent commit;
    commit.setCommitString(letter);
    QApplication::sendEvent(editor, &commit);
    QApplication::processEvents();
}

void clickButton(kmp::TFormatPanel *bar, kmp::TFormatBtn button)
{
    QToolButton *b = bar->button(button);
    QTest::mouseClick(b, Qt::LeftButton);
    QApplication::processEvents();
}

void runContextAction(QTextEdit *editor, const char *name)
{
    std::unique_ptr<QMenu> menu(editor->createStandardContextMenu());
    QAction *action = menu->findChild<QAction *>(QLatin1String(name));
    QVERIFY2(action, name);
    QVERIFY2(action->isEnabled(), name);
    action->trigger();
    QApplication::processEvents();
}

void drop(QTextEdit *editor, const QString &text)
{
    QMimeData mime;
    mime.setText(text);
    const QPoint at(1, 5); // before the first letter
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(editor->viewport(), &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(editor->viewport(), &move);
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(editor->viewport(), &dropped);
    QApplication::processEvents();
}

bool lastMessageContains(const QString &text)
{
    const QList<kmp::ShownMessage> log = kmp::Dialogs::log();
    return !log.isEmpty() && log.last().text.contains(text);
}

int messagesContaining(const QString &text)
{
    const QList<kmp::ShownMessage> log = kmp::Dialogs::log();
    return int(std::count_if(log.cbegin(), log.cend(), [&](const kmp::ShownMessage &m) { return m.text.contains(text); }));
}

} // namespace

class TestNotesUserPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void newReportTypeNeverTouchesAnotherTypesReport();
    void deadKeysAreKept_data();
    void deadKeysAreKept();
    void clipboardMenuAndDropAreKept_data();
    void clipboardMenuAndDropAreKept();
    void picturePastedOnItsOwnIsStored_data();
    void picturePastedOnItsOwnIsStored();
    void pastedTableKeepsItsColumns();
    void formatIsAnEdit_data();
    void formatIsAnEdit();
    void failedSaveOfNewSectionKeepsTheNote();
    void editConflictKeepsTheClinicianText_data();
    void editConflictKeepsTheClinicianText();
    void refreshWhileEditingKeepsTheToolbarInEdit();
    void refreshKeepsTheCaretAndTheView_data();
    void refreshKeepsTheCaretAndTheView();
    void toolbarShowsTheEditUntilTheSaveIsDone();
    void newTextIsReadableAndStoredSizesStay_data();
    void newTextIsReadableAndStoredSizesStay();
    void listControlsFollowThePageInFront();
    void reportEntryRunsAfterAMessage_data();
    void reportEntryRunsAfterAMessage();
    void commandsAnswerAfterATabClick_data();
    void commandsAnswerAfterATabClick();
    void editingKeysEditInTheEditors_data();
    void editingKeysEditInTheEditors();
    void pageCommandsDoNotLeaveAnEdit_data();
    void pageCommandsDoNotLeaveAnEdit();
    void everySectionComesBackAsTyped();

private:
    TfrmDiagPaci *openHistory(const QString &patient);
    void clickTab(kmp::TPageControl *pc, kmp::TabPage *page);
    void clickInto(QTextEdit *editor);
    QByteArray storedSection(const QString &patient, int section, const QString &type = QStringLiteral("003"));
    QString storedPlain(const QString &patient, int section, const QString &type = QStringLiteral("003"));
    void enterReport(TfrmDiagPaci *f, const QString &type);
    std::unique_ptr<ScreenHarness> h;
    std::unique_ptr<UserPath> u;
};

void TestNotesUserPath::initTestCase()
{
    h = std::make_unique<ScreenHarness>();
    QString why;
    QVERIFY2(h->start(&why), qPrintable(why));
}

void TestNotesUserPath::init()
{
    u = std::make_unique<UserPath>(*h);
    kmp::Dialogs::clearLog();
    h->host().clearCacheLog();
}

void TestNotesUserPath::cleanup()
{
    u.reset();
    h->closeScreenAfterNotesTest();
}

TfrmDiagPaci *TestNotesUserPath::openHistory(const QString &patient)
{
    TfrmDiagPaci::startOnHistoryPage = true;
    if (!u->enter(patient, kDate))
        return nullptr;
    TfrmDiagPaci *f = u->screen();
    clickTab(f->pgcHistorico, f->tshHistDoenAtu);
    return f;
}

void TestNotesUserPath::clickTab(kmp::TPageControl *pc, kmp::TabPage *page)
{
    u->click(pc->tabBar(), pc->tabBar()->tabRect(pc->indexOf(page)).center());
}

void TestNotesUserPath::clickInto(QTextEdit *editor)
{
    u->click(editor->viewport(), QPoint(20, 10));
}

QByteArray TestNotesUserPath::storedSection(const QString &patient, int section, const QString &type)
{
    if (section == TfrmDiagPaci::SinaSint) {
        const kmp::Packet p = h->packet(QStringLiteral("GetMemLaudo"), {QStringLiteral("0001"), patient, type, kDate});
        return p.rows.empty() ? QByteArray() : p.rows[0][2].toByteArray();
    }
    const kmp::wire::Response r = h->call(QStringLiteral("GetHistGer"), {patient, QStringLiteral("0001"), kDate});
    if (!r.ok)
        return QByteArray();
    const kmp::Packet p = kmp::decodePacket(r.result.toArray().at(historyPart(section)).toByteArray());
    return p.rows.empty() ? QByteArray() : p.rows[0][2].toByteArray();
}

QString TestNotesUserPath::storedPlain(const QString &patient, int section, const QString &type)
{
    return kmp::rtf::plainText(storedSection(patient, section, type)).trimmed();
}

void TestNotesUserPath::enterReport(TfrmDiagPaci *f, const QString &type)
{
    clickTab(f->pgcHistorico, f->tshSinaSint);
    f->medTpLaudo->setFocus();
    f->medTpLaudo->selectAll();
    QTest::keyClicks(f->medTpLaudo, type);
    clickInto(f->rceLaudo);
}

void TestNotesUserPath::newReportTypeNeverTouchesAnotherTypesReport()
{
    TfrmDiagPaci *f = openHistory(QStringLiteral("U1"));
    enterReport(f, QStringLiteral("003"));
    QVERIFY(f->cdsMemLaudo->isActive());
    u->type(QStringLiteral("Relato antigo"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(storedPlain(QStringLiteral("U1"), TfrmDiagPaci::SinaSint, QStringLiteral("003")), QStringLiteral("Relato antigo"));

    // With the cursor still in the report, another type is picked with the lookup button.
    f->rceLaudo->setFocus();
    {
        kmp::ScriptedDialogs dialogs;
        dialogs.then(kmp::answers::pick(0, QStringLiteral("cardio")));
        QTest::mouseClick(f->BtpTipoLaudo, Qt::LeftButton);
        QCOMPARE(dialogs.unexpected(), 0);
    }
    QCOMPARE(f->medTpLaudo->text(), QStringLiteral("002"));
    // The new type's own report (its template) is what the editor shows before any typing.
    QVERIFY(f->rceLaudo->toPlainText().contains(QStringLiteral("Pressão arterial")));
    f->rceLaudo->setFocus();
    f->rceLaudo->moveCursor(QTextCursor::End);
    u->type(QStringLiteral(" normal"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsMemLaudo->state(), DataSetState::Browse);

    QCOMPARE(storedPlain(QStringLiteral("U1"), TfrmDiagPaci::SinaSint, QStringLiteral("003")), QStringLiteral("Relato antigo"));
    const QString cardio = storedPlain(QStringLiteral("U1"), TfrmDiagPaci::SinaSint, QStringLiteral("002"));
    QVERIFY2(cardio.contains(QStringLiteral("Pressão arterial")) && cardio.endsWith(QStringLiteral("normal")),
             qPrintable(cardio));
}

void TestNotesUserPath::deadKeysAreKept_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<QString>("stored"); // what the section holds before, empty for none
    QTest::addColumn<int>("selectFrom"); // the letter the composition replaces, -1 for none
    QTest::addColumn<QString>("accent");
    QTest::addColumn<QString>("letter");
    QTest::addColumn<QString>("expected");
    QTest::newRow("acute E opens an empty section") << int(TfrmDiagPaci::HistDoen) << QString() << -1 << QStringLiteral("´")
                                                    << QStringLiteral("É") << QStringLiteral("Édema");
    QTest::newRow("tilde a fixes a stored word") << int(TfrmDiagPaci::HistFam) << QStringLiteral("Sao Paulo") << 1
                                                 << QStringLiteral("~") << QStringLiteral("ã") << QStringLiteral("São Paulo");
    QTest::newRow("cedilla in the physical exam") << int(TfrmDiagPaci::ExamFisi) << QString() << -1 << QStringLiteral("´")
                                                  << QStringLiteral("Ç") << QStringLiteral("Çdema");
}

void TestNotesUserPath::deadKeysAreKept()
{
    QFETCH(int, section);
    QFETCH(QString, stored);
    QFETCH(int, selectFrom);
    QFETCH(QString, accent);
    QFETCH(QString, letter);
    QFETCH(QString, expected);
    static int run = 0;
    const QString patient = QStringLiteral("U2-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    TfrmDiagPaci::Section &s = f->section(section);
    clickTab(f->pgcHistorico, s.page);
    if (!stored.isEmpty()) {
        clickInto(s.editor);
        u->type(stored);
        u->key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(storedPlain(patient, section), stored);
    }
    clickInto(s.editor);
    QTextCursor c(s.editor->document());
    if (selectFrom >= 0) {
        c.setPosition(selectFrom);
        c.setPosition(selectFrom + 1, QTextCursor::KeepAnchor);
    }
    s.editor->setTextCursor(c);
    compose(s.editor, accent, letter);
    QVERIFY(s.set->isEditing());
    if (stored.isEmpty())
        u->type(QStringLiteral("dema"));
    QCOMPARE(s.editor->toPlainText(), expected);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(s.set->state(), DataSetState::Browse);
    QCOMPARE(storedPlain(patient, section), expected);
}

void TestNotesUserPath::clipboardMenuAndDropAreKept_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("paste from the menu into an empty section")
        << QStringLiteral("paste") << QString() << QStringLiteral("colado");
    QTest::newRow("cut from the menu") << QStringLiteral("cut") << QStringLiteral("Apagar tudo") << QString();
    QTest::newRow("delete from the menu") << QStringLiteral("delete") << QStringLiteral("Apagar tudo") << QString();
    QTest::newRow("drop into an empty section") << QStringLiteral("drop") << QString() << QStringLiteral("arrastado");
    QTest::newRow("drop into a stored section")
        << QStringLiteral("drop") << QStringLiteral("base") << QStringLiteral("arrastadobase");
}

void TestNotesUserPath::clipboardMenuAndDropAreKept()
{
    QFETCH(QString, how);
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    static int run = 0;
    const QString patient = QStringLiteral("U3-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    const int section = TfrmDiagPaci::HistClinProg;
    TfrmDiagPaci::Section &s = f->section(section);
    clickTab(f->pgcHistorico, s.page);
    clickInto(s.editor);
    if (!stored.isEmpty()) {
        u->type(stored);
        u->key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(storedPlain(patient, section), stored);
    }
    if (how == QLatin1String("paste")) {
        QApplication::clipboard()->setText(QStringLiteral("colado"));
        runContextAction(s.editor, "edit-paste");
    } else if (how == QLatin1String("drop")) {
        drop(s.editor, QStringLiteral("arrastado"));
    } else {
        s.editor->selectAll();
        runContextAction(s.editor, how == QLatin1String("cut") ? "edit-cut" : "edit-delete");
    }
    QVERIFY(s.set->isEditing());
    QCOMPARE(s.editor->toPlainText(), expected);
    // The other pages are locked, so the change cannot be left behind by a page change.
    QVERIFY(!f->tshHistDoenAtu->pageEnabled());
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(s.set->state(), DataSetState::Browse);
    QCOMPARE(storedPlain(patient, section), expected);
}

void TestNotesUserPath::picturePastedOnItsOwnIsStored_data()
{
    QTest::addColumn<QString>("html");       // beside the image on the clipboard; empty: none
    QTest::addColumn<bool>("pictureStored"); // else the text beside it is what is pasted
    QTest::newRow("a screenshot") << QString() << true;
    QTest::newRow("a picture copied from a browser") << QStringLiteral("<img src=\"https://exemplo.invalid/lesao.png\">") << true;
    QTest::newRow("a picture with a caption") << QStringLiteral("<p>Legenda</p><img src=\"lesao.png\">") << false;
}

void TestNotesUserPath::picturePastedOnItsOwnIsStored()
{
    QFETCH(QString, html);
    QFETCH(bool, pictureStored);
    static int run = 0;
    const QString patient = QStringLiteral("U9-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    clickInto(f->rceHistDoen);
    u->type(QStringLiteral("Lesao: "));
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 40));
    auto *mime = new QMimeData;
    mime->setImageData(picture);
    if (!html.isEmpty())
        mime->setHtml(html);
    QApplication::clipboard()->setMimeData(mime);
    u->key(Qt::Key_V, Qt::ControlModifier);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);

    // What the server holds, read back as the screen reads a section.
    const QByteArray stored = storedSection(patient, TfrmDiagPaci::HistDoen);
    QTextDocument back;
    kmp::rtf::read(stored, &back);
    QList<QImage> images;
    for (QTextBlock b = back.begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat())
                images << back.resource(QTextDocument::ImageResource, QUrl(it.fragment().charFormat().toImageFormat().name()))
                              .value<QImage>();
    if (pictureStored) {
        QCOMPARE(images.size(), 1);
        QCOMPARE(images.first().size(), picture.size());
        QCOMPARE(images.first().pixelColor(20, 15), QColor(200, 40, 40));
        QCOMPARE(back.toPlainText().remove(QChar::ObjectReplacementCharacter).trimmed(), QStringLiteral("Lesao:"));
    } else {
        QVERIFY(kmp::rtf::plainText(stored).contains(QStringLiteral("Legenda")));
    }
}

namespace {

// How wide the columns' contents are shown in the first table of an editor's document.
QList<qreal> shownColumns(QTextEdit *editor)
{
    QTextDocument *doc = editor->document();
    for (QTextFrame *frame : doc->rootFrame()->childFrames())
        if (auto *table = qobject_cast<QTextTable *>(frame)) {
            QList<qreal> widths;
            for (int c = 0; c < table->columns(); ++c)
                widths << doc->documentLayout()->blockBoundingRect(table->cellAt(0, c).firstCursorPosition().block()).width();
            return widths;
        }
    return {};
}

} // namespace

void TestNotesUserPath::pastedTableKeepsItsColumns()
{
    // Lab results copied from a web page: columns as wide as their text, no widths given.
    TfrmDiagPaci *f = openHistory(QStringLiteral("U10"));
    clickInto(f->rceHistDoen);
    auto *mime = new QMimeData;
    mime->setHtml(QStringLiteral("<table border=\"1\"><tr><td>Pressão</td><td>120/80</td></tr>"
                                 "<tr><td>Pulso</td><td>72</td></tr></table>"));
    mime->setText(QStringLiteral("Pressão\t120/80\nPulso\t72"));
    QApplication::clipboard()->setMimeData(mime);
    u->key(Qt::Key_V, Qt::ControlModifier);
    const QList<qreal> pasted = shownColumns(f->rceHistDoen);
    QCOMPARE(pasted.size(), 2);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);

    // Read back from the server: the columns are as they were shown, not spread over the page.
    u->key(Qt::Key_F5);
    const QList<qreal> reloaded = shownColumns(f->rceHistDoen);
    QCOMPARE(reloaded.size(), 2);
    for (int c = 0; c < 2; ++c)
        QVERIFY2(qAbs(reloaded[c] - pasted[c]) <= 2,
                 qPrintable(QStringLiteral("column %1: %2 px pasted, %3 px read back").arg(c).arg(pasted[c]).arg(reloaded[c])));
}

void TestNotesUserPath::formatIsAnEdit_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<QString>("stored"); // text saved first, then selected and formatted
    QTest::addColumn<QString>("how");    // "bold", "bullets", "ctrl+b", "align right"
    QTest::newRow("bold before typing, empty section") << int(TfrmDiagPaci::HistDoen) << QString() << QStringLiteral("bold");
    QTest::newRow("bullet before typing, empty section") << int(TfrmDiagPaci::HistFam) << QString() << QStringLiteral("bullets");
    QTest::newRow("first click on a stored section")
        << int(TfrmDiagPaci::ExamFisi) << QStringLiteral("Abdome") << QStringLiteral("bold");
    QTest::newRow("ctrl+b on a stored section")
        << int(TfrmDiagPaci::HistClinProg) << QStringLiteral("Tosse") << QStringLiteral("ctrl+b");
    QTest::newRow("ctrl+b before typing") << int(TfrmDiagPaci::HistDoen) << QString() << QStringLiteral("ctrl+b");
    QTest::newRow("align right on a stored section")
        << int(TfrmDiagPaci::HistFam) << QStringLiteral("Pai") << QStringLiteral("align right");
}

void TestNotesUserPath::formatIsAnEdit()
{
    QFETCH(int, section);
    QFETCH(QString, stored);
    QFETCH(QString, how);
    static int run = 0;
    const QString patient = QStringLiteral("U4-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    TfrmDiagPaci::Section &s = f->section(section);
    clickTab(f->pgcHistorico, s.page);
    clickInto(s.editor);
    if (!stored.isEmpty()) {
        u->type(stored);
        u->key(Qt::Key_Return, Qt::ControlModifier);
        // A fresh screen: the bar's first click is the one that used to be lost.
        h->closeScreen();
        f = openHistory(patient);
        clickTab(f->pgcHistorico, f->section(section).page);
        clickInto(f->section(section).editor);
        f->section(section).editor->selectAll();
    }
    TfrmDiagPaci::Section &t = f->section(section);
    if (how == QLatin1String("bold"))
        clickButton(t.bar, kmp::TFormatBtn::Bold);
    else if (how == QLatin1String("bullets"))
        clickButton(t.bar, kmp::TFormatBtn::Bullets);
    else if (how == QLatin1String("align right"))
        clickButton(t.bar, kmp::TFormatBtn::AlignRight);
    else
        u->key(Qt::Key_B, Qt::ControlModifier);
    QVERIFY(t.set->isEditing());
    const QString text = stored.isEmpty() ? QStringLiteral("Novo") : stored;
    if (stored.isEmpty())
        u->type(text);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(t.set->state(), DataSetState::Browse);

    QTextDocument doc;
    kmp::rtf::read(storedSection(patient, section), &doc);
    QCOMPARE(doc.toPlainText().trimmed(), text);
    QTextCursor c(&doc);
    c.movePosition(QTextCursor::NextCharacter);
    if (how == QLatin1String("bullets"))
        QVERIFY(c.currentList());
    else if (how == QLatin1String("align right"))
        QVERIFY(c.blockFormat().alignment() & Qt::AlignRight);
    else
        QVERIFY(c.charFormat().font().bold());
}

void TestNotesUserPath::failedSaveOfNewSectionKeepsTheNote()
{
    TfrmDiagPaci *f = openHistory(QStringLiteral("U5"));
    clickInto(f->rceHistDoen);
    u->type(QStringLiteral("Cefaleia"));
    u->stopServer();
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(!kmp::Dialogs::log().isEmpty()); // the failure was reported
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Insert);
    QVERIFY(f->sbtConfirmar->isEnabled());
    QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("Cefaleia"));
    u->type(QStringLiteral(" forte")); // the retry's typing lands after the note
    QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("Cefaleia forte"));
    QVERIFY(u->restartServer());
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);
    QCOMPARE(storedPlain(QStringLiteral("U5"), TfrmDiagPaci::HistDoen), QStringLiteral("Cefaleia forte"));
}

void TestNotesUserPath::editConflictKeepsTheClinicianText_data()
{
    QTest::addColumn<QString>("patient");
    QTest::addColumn<bool>("storedFirst"); // the section was stored here before the clash
    QTest::newRow("changed elsewhere") << QStringLiteral("U6") << true;
    QTest::newRow("stored elsewhere while typed here") << QStringLiteral("U6b") << false;
}

void TestNotesUserPath::editConflictKeepsTheClinicianText()
{
    QFETCH(QString, patient);
    QFETCH(bool, storedFirst);
    TfrmDiagPaci *f = openHistory(patient);
    clickInto(f->rceHistDoen);
    u->type(QStringLiteral("A"));
    if (storedFirst)
        u->key(Qt::Key_Return, Qt::ControlModifier);
    // Another station saves the section after it was loaded here.
    const kmp::Packet p = kmp::decodePacket(
        h->call(QStringLiteral("GetHistGer"), {patient, QStringLiteral("0001"), kDate}).result.toArray().at(0).toByteArray());
    kmp::Delta d;
    d.fields = p.fields;
    if (storedFirst) {
        kmp::RowValues changed = p.rows[0];
        changed[2] = QByteArray("{\\rtf1 outra estacao}");
        d.changes = {{kmp::ChangeKind::Modify, p.rows[0], changed}};
    } else {
        QVERIFY(p.rows.empty());
        d.changes = {
            {kmp::ChangeKind::Insert, {}, {patient, kDate, QByteArray("{\\rtf1 outra estacao}"), QStringLiteral("0001")}}};
    }
    h->save(QStringLiteral("SetHistDoen"), d);

    clickInto(f->rceHistDoen);
    f->rceHistDoen->moveCursor(QTextCursor::End);
    u->type(QStringLiteral("BC"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    // Refresh is off on the toolbar while the section is edited: the message names the key.
    QVERIFY(lastMessageContains(QStringLiteral("F5")));
    QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("ABC"));
    QVERIFY(f->cdsHistDoen->isEditing());
    QVERIFY(!f->sbtVerificar->isEnabled());
    kmp::Dialogs::clearLog();

    u->key(Qt::Key_F5);
    // The stored version was fetched again and the clinician's text is still there, in edit.
    QCOMPARE(f->rceHistDoen->toPlainText(), QStringLiteral("ABC"));
    QVERIFY(f->cdsHistDoen->isEditing());
    QCOMPARE(kmp::rtf::plainText(f->cdsHistDoen->fieldByName(QStringLiteral("DSHISTDOEATU"))->asBytes()).trimmed(),
             QStringLiteral("outra estacao"));
    QVERIFY(lastMessageContains(QStringLiteral("versão gravada")));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);
    QCOMPARE(storedPlain(patient, TfrmDiagPaci::HistDoen), QStringLiteral("ABC"));
}

void TestNotesUserPath::refreshWhileEditingKeepsTheToolbarInEdit()
{
    TfrmDiagPaci *f = openHistory(QStringLiteral("U7"));
    clickTab(f->pgcHistorico, f->tshExamFisi);
    clickInto(f->rceExamFisi);
    u->type(QStringLiteral("Dispneia"));
    u->key(Qt::Key_F5);
    QCOMPARE(f->rceExamFisi->toPlainText(), QStringLiteral("Dispneia"));
    QVERIFY(f->cdsExamFisi->isEditing());
    QVERIFY(f->sbtConfirmar->isEnabled());
    QVERIFY(f->sbtCancelar->isEnabled());
    QVERIFY(f->Confirmar->isEnabled());
    QVERIFY(!f->sbtExcluir->isEnabled());
    QVERIFY(!f->sbtVerificar->isEnabled());
    QVERIFY(!f->sbtProcurar->isEnabled());
    QVERIFY(!f->sbtIncluir->isEnabled());
    QVERIFY(!f->tshHistDoenAtu->pageEnabled());
    QVERIFY(!f->tshPadrao->pageEnabled());
    QVERIFY(kmp::Dialogs::log().isEmpty()); // nobody else saved: nothing to tell
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(storedPlain(QStringLiteral("U7"), TfrmDiagPaci::ExamFisi), QStringLiteral("Dispneia"));
    QVERIFY(f->tshHistDoenAtu->pageEnabled());
}

void TestNotesUserPath::refreshKeepsTheCaretAndTheView_data()
{
    QTest::addColumn<bool>("stored"); // the note stored before F5, or still being typed
    QTest::newRow("while editing") << false;
    QTest::newRow("stored, in browse") << true;
}

void TestNotesUserPath::refreshKeepsTheCaretAndTheView()
{
    QFETCH(bool, stored);
    TfrmDiagPaci *f = openHistory(stored ? QStringLiteral("U9-b") : QStringLiteral("U9-a"));
    clickInto(f->rceHistDoen);
    for (int i = 1; i <= 80; ++i) {
        u->type(QStringLiteral("Linha %1").arg(i));
        u->key(Qt::Key_Return);
    }
    if (stored)
        u->key(Qt::Key_Return, Qt::ControlModifier);
    QTextCursor middle(f->rceHistDoen->document()->findBlockByNumber(40));
    middle.movePosition(QTextCursor::EndOfBlock);
    f->rceHistDoen->setTextCursor(middle);
    QScrollBar *bar = f->rceHistDoen->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const int caret = f->rceHistDoen->textCursor().position();
    const int view = bar->value();
    QVERIFY(view > 0);
    u->key(Qt::Key_F5);
    QCOMPARE(f->rceHistDoen->textCursor().position(), caret);
    QCOMPARE(bar->value(), view);
    u->type(QStringLiteral(" (revista)"));
    QCOMPARE(f->rceHistDoen->document()->findBlockByNumber(40).text(), QStringLiteral("Linha 41 (revista)"));
}

void TestNotesUserPath::newTextIsReadableAndStoredSizesStay_data()
{
    QTest::addColumn<QByteArray>("stored"); // empty: a new note
    QTest::addColumn<int>("points");
    QTest::newRow("new note") << QByteArray() << 10;
    QTest::newRow("stored at 8 points") << QByteArray("{\\rtf1\\ansi\\fs16 Antiga}") << 8;
}

void TestNotesUserPath::newTextIsReadableAndStoredSizesStay()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, points);
    const QString patient = QStringLiteral("U12-%1").arg(points);
    if (!stored.isEmpty()) {
        kmp::Delta d;
        d.fields = kmp::decodePacket(h->call(QStringLiteral("GetHistGer"), {patient, QStringLiteral("0001"), kDate})
                                         .result.toArray()
                                         .at(0)
                                         .toByteArray())
                       .fields;
        d.changes = {{kmp::ChangeKind::Insert, {}, {patient, kDate, stored, QStringLiteral("0001")}}};
        h->save(QStringLiteral("SetHistDoen"), d);
    }
    TfrmDiagPaci *f = openHistory(patient);
    clickInto(f->rceHistDoen);
    f->rceHistDoen->moveCursor(QTextCursor::End);
    u->type(QStringLiteral(" Nova"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QTextDocument back;
    kmp::rtf::read(storedSection(patient, TfrmDiagPaci::HistDoen), &back);
    QTextCursor c(&back);
    c.movePosition(QTextCursor::End);
    QCOMPARE(qRound(c.charFormat().fontPointSize()), points);
}

void TestNotesUserPath::toolbarShowsTheEditUntilTheSaveIsDone()
{
    TfrmDiagPaci *f = openHistory(QStringLiteral("U10"));
    clickTab(f->pgcHistorico, f->tshHistFam);
    clickInto(f->rceHistFam);
    u->type(QStringLiteral("Pai diabetico"));
    // What the toolbar offers while the save is on its way ("Gravando...").
    struct DuringSave : QObject
    {
        TfrmDiagPaci *f;
        QList<bool> confirm, include;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (watched->objectName() == QLatin1String("kmpBusyText") && event->type() == QEvent::Show) {
                confirm << f->sbtConfirmar->isEnabled();
                include << f->sbtIncluir->isEnabled();
            }
            return false;
        }
    } watch;
    watch.f = f;
    qApp->installEventFilter(&watch);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    qApp->removeEventFilter(&watch);
    QCOMPARE(storedPlain(QStringLiteral("U10"), TfrmDiagPaci::HistFam), QStringLiteral("Pai diabetico"));
    QVERIFY(!watch.confirm.isEmpty());
    QVERIFY(!watch.confirm.contains(false));
    QVERIFY(!watch.include.contains(true));
    QVERIFY(!f->sbtConfirmar->isEnabled());
    QVERIFY(f->sbtIncluir->isEnabled());
}

void TestNotesUserPath::listControlsFollowThePageInFront()
{
    TfrmDiagPaci::startOnHistoryPage = false;
    QVERIFY(u->enter(QStringLiteral("U11"), kDate));
    TfrmDiagPaci *f = u->screen();
    QVERIFY(f->sbtVerificar->isEnabled());
    for (int round = 0; round < 2; ++round) {
        // By command (a key) the first time, by the tab the second.
        if (round == 0)
            u->key(Qt::Key_H, Qt::ControlModifier);
        else
            clickTab(f->pgcPadrao, f->tshHistorico);
        QCOMPARE(f->pgcPadrao->activePage(), f->tshHistorico);
        QVERIFY(!f->dbnPadrao->isEnabled());
        QVERIFY(!f->dbtNome->isVisible());
        if (round == 0)
            u->key(Qt::Key_D, Qt::ControlModifier);
        else
            clickTab(f->pgcPadrao, f->tshPadrao);
        QCOMPARE(f->pgcPadrao->activePage(), f->tshPadrao);
        QVERIFY(f->dbnPadrao->isEnabled());
        QVERIFY(f->dbtNome->isVisible());
        QVERIFY(f->sbtVerificar->isEnabled()); // F5 works here: so does its button
    }
}

void TestNotesUserPath::reportEntryRunsAfterAMessage_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("boxTakesFocus");
    QTest::newRow("no code") << QString() << QStringLiteral("Laudo deve ser informado.") << false;
    QTest::newRow("unknown code") << QStringLiteral("9") << QStringLiteral("Laudo não cadastrado") << false;
    QTest::newRow("no code, box takes the focus") << QString() << QStringLiteral("Laudo deve ser informado.") << true;
    QTest::newRow("unknown code, box takes the focus") << QStringLiteral("9") << QStringLiteral("Laudo não cadastrado") << true;
}

void TestNotesUserPath::reportEntryRunsAfterAMessage()
{
    QFETCH(QString, first);
    QFETCH(QString, message);
    QFETCH(bool, boxTakesFocus);
    static int run = 0;
    const QString patient = QStringLiteral("U8-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    // A real message box takes the activation while it is up; the window manager gives it
    // back to the screen's window only after the handler that showed the box is over.
    if (boxTakesFocus)
        kmp::Dialogs::setResponder([this](kmp::DialogRequest &) {
            u->deactivate();
            return int(kmp::MessageResult::Ok);
        });
    enterReport(f, first);
    if (boxTakesFocus)
        u->activate(f);
    QVERIFY(lastMessageContains(message));
    // Once for the one click: typing after its OK must not land in a second box.
    QCOMPARE(messagesContaining(message), 1);
    kmp::Dialogs::setResponder(kmp::answers::ok());
    // Now a valid code, and into the report: by a click when the focus is elsewhere, by
    // typing when it is already there.
    f->medTpLaudo->selectAll();
    QTest::keyClicks(f->medTpLaudo, QStringLiteral("3"));
    if (QApplication::focusWidget() != f->rceLaudo)
        clickInto(f->rceLaudo);
    QVERIFY(f->cdsMemLaudo->isActive());
    QCOMPARE(f->medTpLaudo->text(), QStringLiteral("003"));
    u->type(QStringLiteral("Febre"));
    QCOMPARE(f->rceLaudo->toPlainText(), QStringLiteral("Febre"));
    QCOMPARE(f->cdsMemLaudo->state(), DataSetState::Insert);
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(storedPlain(patient, TfrmDiagPaci::SinaSint, QStringLiteral("003")), QStringLiteral("Febre"));
}

void TestNotesUserPath::commandsAnswerAfterATabClick_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("state");       // the section's state after the key
    QTest::addColumn<QString>("message"); // a message the key brings up, if any
    QTest::newRow("F2 includes") << int(Qt::Key_F2) << false << int(DataSetState::Insert) << QString();
    QTest::newRow("F3 changes") << int(Qt::Key_F3) << true << int(DataSetState::Edit) << QString();
    QTest::newRow("F4 deletes") << int(Qt::Key_F4) << true << int(DataSetState::Browse)
                                << QStringLiteral("Confirma a exclusão do registro?");
}

void TestNotesUserPath::commandsAnswerAfterATabClick()
{
    QFETCH(int, key);
    QFETCH(bool, stored);
    QFETCH(int, state);
    QFETCH(QString, message);
    static int run = 0;
    const QString patient = QStringLiteral("U9-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    if (stored) {
        clickTab(f->pgcHistorico, f->tshHistFam);
        clickInto(f->rceHistFam);
        u->type(QStringLiteral("Mae hipertensa"));
        u->key(Qt::Key_Return, Qt::ControlModifier);
        clickTab(f->pgcHistorico, f->tshHistDoenAtu);
    }
    clickInto(f->rceHistDoen);
    clickTab(f->pgcHistorico, f->tshHistFam);
    // The control that had the focus went away with its page: no control has it now, and
    // the keys go to the window.
    if (QWidget *w = QApplication::focusWidget())
        w->clearFocus();
    kmp::ScriptedDialogs dialogs;
    if (!message.isEmpty())
        dialogs.thenAnswer(kmp::MessageResult::No);
    u->key(Qt::Key(key));
    QCOMPARE(int(f->cdsHistFam->state()), state);
    if (!message.isEmpty()) {
        QCOMPARE(dialogs.seen().size(), 1);
        QCOMPARE(dialogs.seen().first().text, message);
    }
    QCOMPARE(f->cdsHistDoen->state(), DataSetState::Browse);
}

// Where the focus is in a text editor its editing keys edit; elsewhere the page commands
// that share them (Ctrl+A, Ctrl+C) still bring their pages. Steps: "^X" is Ctrl+X, "<End>"
// the End key, anything else is typed.
void TestNotesUserPath::editingKeysEditInTheEditors_data()
{
    QTest::addColumn<QString>("where"); // "note": a section's editor; "type": the report type box; "grid"
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("text"); // what the editor holds afterwards
    QTest::addColumn<int>("page");     // the history page in front afterwards
    QTest::newRow("note: Ctrl+A selects, typing replaces") << "note"
                                                           << "abc ^A x"
                                                           << "x" << 0;
    QTest::newRow("note: Ctrl+C copies, Ctrl+V pastes") << "note"
                                                        << "abc ^A ^C <End> ^V"
                                                        << "abcabc" << 0;
    QTest::newRow("note: Ctrl+X cuts, Ctrl+Z undoes") << "note"
                                                      << "abc ^A ^X ^Z"
                                                      << "abc" << 0;
    QTest::newRow("type box: Ctrl+A selects, typing replaces") << "type"
                                                               << "00 ^A 3"
                                                               << "3" << 3;
    QTest::newRow("grid: Ctrl+C brings its page") << "grid"
                                                  << "^C"
                                                  << "" << 1;
}

void TestNotesUserPath::editingKeysEditInTheEditors()
{
    QFETCH(QString, where);
    QFETCH(QString, steps);
    QFETCH(QString, text);
    QFETCH(int, page);
    static int run = 0;
    const QString patient = QStringLiteral("U13-%1").arg(++run);
    TfrmDiagPaci *f = nullptr;
    QWidget *editor = nullptr;
    if (where == QLatin1String("grid")) {
        TfrmDiagPaci::startOnHistoryPage = false;
        QVERIFY(u->enter(patient, kDate));
        f = u->screen();
        u->focus(f->dbgPadrao);
    } else {
        f = openHistory(patient);
        if (where == QLatin1String("type")) {
            clickTab(f->pgcHistorico, f->tshSinaSint);
            u->focus(f->medTpLaudo);
            editor = f->medTpLaudo;
        } else {
            clickInto(f->rceHistDoen);
            editor = f->rceHistDoen;
        }
    }
    for (const QString &step : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (step.startsWith(QLatin1Char('^')))
            u->key(Qt::Key(Qt::Key_A + (step.at(1).unicode() - 'A')), Qt::ControlModifier);
        else if (step == QLatin1String("<End>"))
            u->key(Qt::Key_End);
        else
            u->type(step);
    }
    QCOMPARE(f->pgcPadrao->activePage(), f->tshHistorico);
    QCOMPARE(f->pgcHistorico->currentIndex(), page);
    if (auto *line = qobject_cast<QLineEdit *>(editor))
        QCOMPARE(line->text(), text);
    else if (auto *note = qobject_cast<QTextEdit *>(editor))
        QCOMPARE(note->toPlainText(), text);
    if (editor != f->rceHistDoen) // nothing typed here lands in another section
        QVERIFY(f->rceHistDoen->toPlainText().isEmpty());
}

void TestNotesUserPath::pageCommandsDoNotLeaveAnEdit_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << false;
    QTest::newRow("Ctrl+D") << int(Qt::Key_D) << false;
    QTest::newRow("Ctrl+S") << int(Qt::Key_S) << false;
    QTest::newRow("Ctrl+E") << int(Qt::Key_E) << false;
    QTest::newRow("menu História Clinica Progressiva") << int(Qt::Key_C) << true;
    QTest::newRow("menu Diagnóstico") << int(Qt::Key_D) << true;
}

void TestNotesUserPath::pageCommandsDoNotLeaveAnEdit()
{
    QFETCH(int, key);
    QFETCH(bool, byMenu);
    static int run = 0;
    const QString patient = QStringLiteral("U10-%1").arg(++run);
    TfrmDiagPaci *f = openHistory(patient);
    clickInto(f->rceHistDoen);
    u->type(QStringLiteral("Dor"));
    if (byMenu)
        (key == Qt::Key_C ? f->mnuHistClinProg : f->mnuDiagnostico)->trigger();
    else
        u->key(Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(f->pgcPadrao->activePage(), f->tshHistorico);
    QCOMPARE(f->pgcHistorico->activePage(), f->tshHistDoenAtu);
    f->rceHistDoen->setFocus();
    u->type(QStringLiteral("x"));
    u->key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(storedPlain(patient, TfrmDiagPaci::HistDoen), QStringLiteral("Dorx"));
    for (int other : {int(TfrmDiagPaci::HistClinProg), int(TfrmDiagPaci::HistFam), int(TfrmDiagPaci::ExamFisi)})
        QVERIFY(storedSection(patient, other).isEmpty());
}

void TestNotesUserPath::everySectionComesBackAsTyped()
{
    const QString patient = QStringLiteral("U11");
    TfrmDiagPaci *f = openHistory(patient);
    QApplication::clipboard()->setText(QStringLiteral(" colado"));
    for (int i = 0; i < TfrmDiagPaci::SectionCount; ++i) {
        TfrmDiagPaci::Section &s = f->section(i);
        if (s.isReport) {
            enterReport(f, QStringLiteral("3"));
        } else {
            clickTab(f->pgcHistorico, s.page);
            clickInto(s.editor);
        }
        compose(s.editor, QStringLiteral("´"), QStringLiteral("É"));
        u->type(QStringLiteral("dema"));
        runContextAction(s.editor, "edit-paste");
        u->key(Qt::Key_B, Qt::ControlModifier);
        u->type(QStringLiteral(" forte"));
        u->key(Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(s.set->state(), DataSetState::Browse);
    }
    h->closeScreen();

    f = openHistory(patient);
    for (int i = 0; i < TfrmDiagPaci::SectionCount; ++i) {
        TfrmDiagPaci::Section &s = f->section(i);
        if (s.isReport)
            enterReport(f, QStringLiteral("3"));
        else
            clickTab(f->pgcHistorico, s.page);
        QCOMPARE(s.editor->toPlainText(), QStringLiteral("Édema colado forte"));
        QTextCursor c(s.editor->document());
        c.setPosition(2);
        QVERIFY2(!c.charFormat().font().bold(), qPrintable(s.name));
        c.setPosition(s.editor->document()->characterCount() - 1);
        QVERIFY2(c.charFormat().font().bold(), qPrintable(s.name));
        QVERIFY(!s.set->isEditing());
    }
}

QTEST_MAIN(TestNotesUserPath)
#include "tst_notesuserpath.moc"
