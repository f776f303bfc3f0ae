#include "actionlist.h"
#include "consiste.h"
#include "dialogs.h"
#include "exceptions.h"
#include "recordset.h"
#include "scripteddialogs.h"

#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

using namespace kmp;

// The keyboard route of the screens: key press -> action lists of the form -> guarded
// handler, and the failures that travel along it.
class TestKeyDispatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { Dialogs::clearLog(); }

    void sharedKeyGoesToTheFirstEnabledAction_data()
    {
        QTest::addColumn<bool>("firstEnabled");
        QTest::addColumn<bool>("secondEnabled");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("ran");
        QTest::addColumn<QString>("typed"); // what reached the focused entry

        const int ctrl = int(Qt::ControlModifier);
        QTest::newRow("Ctrl+Return: enabled first list consumes") << true << true << int(Qt::Key_Return) << ctrl << "Confirmar"
                                                                  << "";
        QTest::newRow("Ctrl+Enter (keypad): same action")
            << true << true << int(Qt::Key_Enter) << (ctrl | int(Qt::KeypadModifier)) << "Confirmar"
            << "";
        QTest::newRow("disabled first passes to the next list") << false << true << int(Qt::Key_Return) << ctrl << "confirmarD"
                                                                << "";
        QTest::newRow("Esc: disabled first passes") << false << true << int(Qt::Key_Escape) << 0 << "cancelarD"
                                                    << "";
        QTest::newRow("Esc: enabled first consumes") << true << true << int(Qt::Key_Escape) << 0 << "Cancelar"
                                                     << "";
        QTest::newRow("both disabled: nothing runs") << false << false << int(Qt::Key_Escape) << 0 << ""
                                                     << "";
        QTest::newRow("key of no action reaches the entry") << true << true << int(Qt::Key_A) << 0 << ""
                                                            << "a";
        QTest::newRow("F2 taken by its action") << true << true << int(Qt::Key_F2) << 0 << "Incluir"
                                                << "";
    }

    void sharedKeyGoesToTheFirstEnabledAction()
    {
        QFETCH(bool, firstEnabled);
        QFETCH(bool, secondEnabled);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, ran);
        QFETCH(QString, typed);

        QWidget form;
        auto *layout = new QVBoxLayout(&form);
        auto *edit = new QLineEdit(&form);
        layout->addWidget(edit);
        QStringList log;
        auto *aclBotoes = new ActionList(QStringLiteral("aclBotoes"), &form);
        auto *confirmar = aclBotoes->addAction(QStringLiteral("Confirmar"), QStringLiteral("Confirmar"),
                                               QKeyCombination(Qt::ControlModifier, Qt::Key_Return), [&] { log << "Confirmar"; });
        auto *cancelar = aclBotoes->addAction(QStringLiteral("Cancelar"), QStringLiteral("Cancelar"),
                                              QKeyCombination(Qt::Key_Escape), [&] { log << "Cancelar"; });
        aclBotoes->addAction(QStringLiteral("Incluir"), QStringLiteral("Incluir"), QKeyCombination(Qt::Key_F2),
                             [&] { log << "Incluir"; });
        auto *aclDiagBotoes = new ActionList(QStringLiteral("aclDiagBotoes"), &form);
        auto *confirmarD =
            aclDiagBotoes->addAction(QStringLiteral("confirmarD"), QStringLiteral("confirmarD"),
                                     QKeyCombination(Qt::ControlModifier, Qt::Key_Return), [&] { log << "confirmarD"; });
        auto *cancelarD = aclDiagBotoes->addAction(QStringLiteral("cancelarD"), QStringLiteral("cancelarD"),
                                                   QKeyCombination(Qt::Key_Escape), [&] { log << "cancelarD"; });
        confirmar->setEnabled(firstEnabled);
        cancelar->setEnabled(firstEnabled);
        confirmarD->setEnabled(secondEnabled);
        cancelarD->setEnabled(secondEnabled);

        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(log.join(QLatin1Char(',')), ran);
        QCOMPARE(edit->text(), typed);
    }

    void packedShortcutCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QKeyCombination>("key");
        QTest::newRow("Ctrl+Enter") << 16397 << QKeyCombination(Qt::ControlModifier, Qt::Key_Return);
        QTest::newRow("Esc") << 27 << QKeyCombination(Qt::Key_Escape);
        QTest::newRow("F2") << 113 << QKeyCombination(Qt::Key_F2);
        QTest::newRow("F5") << 116 << QKeyCombination(Qt::Key_F5);
        QTest::newRow("Ctrl+D") << 16452 << QKeyCombination(Qt::ControlModifier, Qt::Key_D);
        QTest::newRow("Ctrl+S") << 16467 << QKeyCombination(Qt::ControlModifier, Qt::Key_S);
    }
    void packedShortcutCodes()
    {
        QFETCH(int, code);
        QFETCH(QKeyCombination, key);
        QCOMPARE(packShortcut(key), code);
        QCOMPARE(unpackShortcut(code), key);
    }

    // A text editor keeps its editing keys (Ctrl+A selects all there); elsewhere an enabled
    // menu command takes its key.
    void menuCommandsLeaveTheEditorsEditingKeys_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("inEditor");
        QTest::addColumn<int>("triggered");
        QTest::newRow("editor: Ctrl+A selects, enabled command or not") << true << true << 0;
        QTest::newRow("editor: Ctrl+A selects, disabled command") << false << true << 0;
        QTest::newRow("elsewhere: the enabled menu command takes Ctrl+A") << true << false << 1;
        QTest::newRow("elsewhere: a disabled one does nothing") << false << false << 0;
    }
    void menuCommandsLeaveTheEditorsEditingKeys()
    {
        QFETCH(bool, enabled);
        QFETCH(bool, inEditor);
        QFETCH(int, triggered);
        QWidget form;
        auto *layout = new QVBoxLayout(&form);
        auto *bar = new QMenuBar(&form);
        layout->setMenuBar(bar);
        QMenu *menu = bar->addMenu(QStringLiteral("Operação"));
        QAction *page = menu->addAction(QStringLiteral("História da Doença Atual"));
        page->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
        page->setEnabled(enabled);
        int count = 0;
        connect(page, &QAction::triggered, this, [&] { ++count; });
        new ActionList(QStringLiteral("acl"), &form); // the form takes part in the dispatch
        auto *edit = new QLineEdit(QStringLiteral("texto"), &form);
        layout->addWidget(edit);
        auto *other = new QPushButton(QStringLiteral("Outro"), &form);
        layout->addWidget(other);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QWidget *focused = inEditor ? static_cast<QWidget *>(edit) : other;
        focused->setFocus();
        edit->deselect();
        QTest::keyClick(focused, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(count, triggered);
        QCOMPARE(edit->hasSelectedText(), inEditor); // the editor's select-all, where it has the focus
    }

    void keysInADialogOverTheFormAreNotTaken()
    {
        // Esc in a dialog opened over the form closes the dialog, it does not cancel the form.
        QWidget form;
        QStringList log;
        auto *acl = new ActionList(QStringLiteral("acl"), &form);
        acl->addAction(QStringLiteral("Cancelar"), QString(), QKeyCombination(Qt::Key_Escape), [&] { log << "Cancelar"; });
        form.show();
        QDialog dialog(&form);
        auto *edit = new QLineEdit(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(log.isEmpty());
    }

    void silentAbortShowsNothingErrorShowsOnce_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("silent abort") << 0 << false << QStringList{};
        QTest::newRow("plain error") << 1 << false << QStringList{"Falhou a gravação."};
        QTest::newRow("server error") << 2 << false << QStringList{"Registro alterado por outro usuário."};
        QTest::newRow("MensErro: its own box only") << 3 << false << QStringList{"Código deve ser  informado."};
        QTest::newRow("no failure") << 4 << true << QStringList{};
    }

    void silentAbortShowsNothingErrorShowsOnce()
    {
        QFETCH(int, kind);
        QFETCH(bool, result);
        QFETCH(QStringList, shown);
        // Through a real key press, so the failure crosses the same edge as in the screens.
        QWidget form;
        auto *edit = new QLineEdit(&form);
        bool after = false;
        auto *acl = new ActionList(QStringLiteral("acl"), &form);
        auto *action = acl->addAction(QStringLiteral("Go"), QString(), QKeyCombination(Qt::Key_F5), [&] {
            switch (kind) {
            case 0: silentAbort();
            case 1: throw kmp::Error(QStringLiteral("Falhou a gravação."));
            case 2: throw ServerError(409, QStringLiteral("Registro alterado por outro usuário."));
            case 3: Consiste::MensErro(QStringLiteral("Código deve ser  informado."), true);
            default: break;
            }
            after = true;
        });
        ScopedResponder r(answers::ok());
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_F5);
        QStringList texts;
        for (const ShownMessage &m : Dialogs::log())
            texts << m.text;
        QCOMPARE(texts, shown);
        QCOMPARE(after, result);
        // The form still answers keys after a failure.
        Dialogs::clearLog();
        kind = 4;
        QTest::keyClick(edit, Qt::Key_F5);
        QVERIFY(after);
        QVERIFY(action->isEnabled());
    }

    void mensErroInBeforePostKeepsTheInsert()
    {
        RecordSet set(QStringLiteral("cdsDiagPaci"));
        set.addField(QStringLiteral("CDDIAGNOST"), FieldKind::String, 6);
        set.addField(QStringLiteral("NMDIAGNOST"), FieldKind::String, 200);
        set.open();
        set.OnBeforePost = [](RecordSet &s) {
            if (s.fieldByName(QStringLiteral("CDDIAGNOST"))->asString() != QStringLiteral("I10"))
                Consiste::MensErro(QStringLiteral("Diagnóstico não cadastrado."), true);
        };
        ScopedResponder r(answers::ok());
        set.append();
        set.fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("X99"));
        set.fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("digitado"));
        const bool posted = guarded(nullptr, [&] { set.post(); });
        QVERIFY(!posted);
        QCOMPARE(set.state(), DataSetState::Insert);
        QCOMPARE(set.fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("X99"));
        QCOMPARE(set.fieldByName(QStringLiteral("NMDIAGNOST"))->asString(), QStringLiteral("digitado"));
        QCOMPARE(Dialogs::log().size(), 1);
        QCOMPARE(Dialogs::log().at(0).type, MessageType::Error);
        // Corrected, the same row posts.
        set.fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("I10"));
        QVERIFY(guarded(nullptr, [&] { set.post(); }));
        QCOMPARE(set.state(), DataSetState::Browse);
        QCOMPARE(set.recordCount(), 1);
    }
};

QTEST_MAIN(TestKeyDispatch)
#include "tst_keydispatch.moc"
