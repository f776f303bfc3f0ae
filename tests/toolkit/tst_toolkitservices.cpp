#include "consiste.h"
#include "datasource.h"
#include "dialogs.h"
#include "exceptions.h"
#include "hostservices.h"
#include "lookupdialog.h"
#include "recordinghostservices.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "showavi.h"
#include "tbtnpesquisa.h"
#include "tdateeditplus.h"
#include "tformatpanel.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QTabBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextList>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

using namespace kmp;

class TestToolkitServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { Dialogs::clearLog(); }

    void ajusta_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one digit") << "1" << 3 << "001";
        QTest::newRow("two digits") << "12" << 3 << "012";
        QTest::newRow("exact width") << "123" << 3 << "123";
        QTest::newRow("longer unchanged") << "1234" << 3 << "1234";
        QTest::newRow("blanks dropped") << " 7 " << 3 << "007";
        QTest::newRow("empty stays empty") << "" << 3 << "";
        QTest::newRow("letters padded too") << "A" << 3 << "00A";
    }
    void ajusta()
    {
        QFETCH(QString, code);
        QFETCH(int, width);
        QFETCH(QString, expected);
        QCOMPARE(Consiste::Ajusta(code, width), expected);
    }

    void emptyString_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("empty");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("blanks") << "   " << true;
        QTest::newRow("tab and newline") << "\t\n" << true;
        QTest::newRow("text") << " a " << false;
    }
    void emptyString()
    {
        QFETCH(QString, text);
        QFETCH(bool, empty);
        QCOMPARE(Consiste::EmptyString(text), empty);
    }

    void showMsgAnswersThroughTheService_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("yes") << int(MessageResult::Yes);
        QTest::newRow("no") << int(MessageResult::No);
        QTest::newRow("cancel") << int(MessageResult::Cancel);
    }
    void showMsgAnswersThroughTheService()
    {
        QFETCH(int, answer);
        TMessages msg(QStringLiteral("msgConfirma"), nullptr);
        msg.add(QStringLiteral("Excl"), QStringLiteral("Confirma a exclusão do registro?"));
        ScriptedDialogs script;
        script.thenAnswer(answer);
        QCOMPARE(int(msg.ShowMsg(QStringLiteral("Excl"), MessageType::Confirmation, MessageButton::Yes | MessageButton::No, 0)),
                 answer);
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(script.seen().at(0).type, MessageType::Confirmation);
        QCOMPARE(script.seen().at(0).text, QStringLiteral("Confirma a exclusão do registro?"));
        QCOMPARE(msg.Msg(QStringLiteral("Excl")), QStringLiteral("Confirma a exclusão do registro?"));
    }

    void mensErroShowsThenEnds()
    {
        ScopedResponder r(answers::ok());
        QVERIFY_THROWS_EXCEPTION(ValidationError, Consiste::MensErro(QStringLiteral("Laudo deve ser informado."), true));
        QCOMPARE(Dialogs::log().size(), 1);
        QCOMPARE(Dialogs::log().at(0).type, MessageType::Error);
        QCOMPARE(Dialogs::log().at(0).text, QStringLiteral("Laudo deve ser informado."));
    }

    void busyIndicatorNests()
    {
        QMainWindow main;
        main.resize(400, 300);
        main.show();
        QCOMPARE(Showavi::depth(), 0);
        Showavi::ActiveShowAvi(&main, 0);
        QVERIFY(Showavi::overlay() && Showavi::overlay()->isVisible());
        QCOMPARE(Showavi::currentText(), QStringLiteral("Conectando..."));
        QCOMPARE(Showavi::overlay()->geometry(), main.rect());
        {
            BusyIndicator inner(&main, 6);
            QCOMPARE(Showavi::depth(), 2);
            QCOMPARE(Showavi::currentText(), QStringLiteral("Carregando..."));
        }
        QCOMPARE(Showavi::depth(), 1);
        QVERIFY2(Showavi::overlay()->isVisible(), "only the outermost off hides it");
        QCOMPARE(Showavi::currentText(), QStringLiteral("Conectando...")); // the outer call's text again
        Showavi::DeactiveShowAvi();
        QCOMPARE(Showavi::depth(), 0);
        QVERIFY(!Showavi::overlay()->isVisible());
        Showavi::DeactiveShowAvi(); // unmatched: ignored
        QCOMPARE(Showavi::depth(), 0);
        // Off on the failure path too.
        try {
            BusyIndicator busy(&main, 1);
            QCOMPARE(Showavi::currentText(), QStringLiteral("Gravando..."));
            throw kmp::Error(QStringLiteral("falhou"));
        } catch (const kmp::Error &) {
        }
        QCOMPARE(Showavi::depth(), 0);
        QVERIFY(!Showavi::overlay()->isVisible());
    }

    void busyInputReachesOnlyADialogOpenedDuringTheCall_data()
    {
        QTest::addColumn<bool>("dialogDuringCall");
        QTest::addColumn<QString>("mainText");
        QTest::addColumn<QString>("dialogText");
        QTest::newRow("an error box raised inside the call can be answered") << true << ""
                                                                             << "sim";
        QTest::newRow("no dialog: the window's entry takes nothing") << false << ""
                                                                     << "";
    }
    void busyInputReachesOnlyADialogOpenedDuringTheCall()
    {
        QFETCH(bool, dialogDuringCall);
        QFETCH(QString, mainText);
        QFETCH(QString, dialogText);
        QMainWindow main;
        auto *mainEntry = new QLineEdit(&main);
        main.setCentralWidget(mainEntry);
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        BusyIndicator busy(&main, 6);
        QTest::keyClicks(mainEntry, QStringLiteral("x"));
        QDialog dialog(&main);
        auto *entry = new QLineEdit(&dialog);
        if (dialogDuringCall) {
            QTimer::singleShot(0, &dialog, [&] {
                QTest::keyClicks(entry, QStringLiteral("sim"));
                QTest::keyClicks(mainEntry, QStringLiteral("y")); // the window behind stays shut
                dialog.accept();
            });
            dialog.exec();
        }
        QCOMPARE(mainEntry->text(), mainText);
        QCOMPARE(entry->text(), dialogText);
    }

    void dialogServiceInputDuringCalls_data()
    {
        QTest::addColumn<bool>("callInsideTheDialog"); // the dialog was open before the call
        QTest::addColumn<QString>("typed");
        QTest::newRow("a dialog raised during the call takes its answer") << false << "sim";
        QTest::newRow("a dialog the call runs in stays shut while it waits") << true << "";
    }
    void dialogServiceInputDuringCalls()
    {
        QFETCH(bool, callInsideTheDialog);
        QFETCH(QString, typed);
        QMainWindow main;
        main.show();
        QDialog dialog(&main);
        auto *entry = new QLineEdit(&dialog);
        QString seen;
        ScopedResponder r([&](DialogRequest &req) {
            req.dialog->show();
            if (callInsideTheDialog) {
                BusyIndicator busy(&main, 6);
                QTest::keyClicks(entry, QStringLiteral("sim"));
            } else {
                QTest::keyClicks(entry, QStringLiteral("sim"));
            }
            seen = entry->text();
            return int(QDialog::Accepted);
        });
        if (callInsideTheDialog) {
            Dialogs::exec(DialogKind::Custom, &dialog);
        } else {
            BusyIndicator busy(&main, 6);
            Dialogs::exec(DialogKind::Custom, &dialog);
        }
        QCOMPARE(seen, typed);
    }

    void busyIndicatorIsNamedForScreenReaders()
    {
        QMainWindow main;
        main.show();
        BusyIndicator busy(&main, 1);
        QWidget *overlay = Showavi::overlay();
        QVERIFY(overlay);
        QCOMPARE(overlay->accessibleName(), QStringLiteral("Aguarde"));
        QCOMPARE(overlay->accessibleDescription(), QStringLiteral("Gravando..."));
    }

    void hostServicesForward()
    {
        RecordingHostServices host;
        host.setWebURL(QStringLiteral("srv"));
        host.setWebPort(4321);
        host.setBranch(QStringLiteral("01"));
        host.setActiveModule(QStringLiteral("P"));
        HostServices::setInstance(&host);
        QCOMPARE(Norvik::WebURL(), QStringLiteral("srv"));
        QCOMPARE(Norvik::WebPort(), quint16(4321));
        QCOMPARE(Norvik::FiliProc(), QStringLiteral("01"));
        QCOMPARE(Geral::ModuloAtiv(), QStringLiteral("P"));
        Norvik::AtualizaLocalCache({QStringLiteral("HISTDOEN")});
        Norvik::AtualizaLocalCache({QStringLiteral("EXAMFISI"), QStringLiteral("HISTDOEN")});
        QCOMPARE(host.cacheRefreshes().size(), 2);
        QCOMPARE(host.cacheRefreshes().at(1), (QStringList{"EXAMFISI", "HISTDOEN"}));
        QVERIFY(host.lastRefresh(QStringLiteral("EXAMFISI")).isValid());
        HostServices::setInstance(nullptr);
        QVERIFY(HostServices::instance() != &host);
    }

    void reportParams()
    {
        ReportParams p;
        p.add(QStringLiteral("P_CDFILIAL"));
        p.add(QStringLiteral("P_CDPACIENTE"));
        QVERIFY(Qrddlgs::ExistParam(p, QStringLiteral("P_CDFILIAL")));
        QVERIFY(Qrddlgs::ExistParam(p, QStringLiteral("p_cdpaciente")));
        QVERIFY(!Qrddlgs::ExistParam(p, QStringLiteral("P_DTCONSULTA")));
        QVERIFY(p.setValue(QStringLiteral("P_CDFILIAL"), QStringLiteral("01")));
        QVERIFY2(!p.setValue(QStringLiteral("P_OUTRO"), 1), "an undefined parameter is not created by setValue");
        QCOMPARE(p.count(), 2);
        QCOMPARE(p.value(QStringLiteral("P_CDFILIAL")).toString(), QStringLiteral("01"));
    }

    void pageControlChangeOnlyForTheUser()
    {
        TPageControl pgc;
        auto *a = new TabPage(QStringLiteral("Histórico"));
        auto *b = new TabPage(QStringLiteral("Diagnóstico"));
        auto *c = new TabPage(QStringLiteral("Outro"));
        pgc.addPage(a);
        pgc.addPage(b);
        pgc.addPage(c);
        int changes = 0;
        pgc.OnChange = [&] { ++changes; };
        pgc.resize(400, 300);
        pgc.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pgc));

        pgc.SetActivePage(b);
        QCOMPARE(pgc.activePage(), b);
        QCOMPARE(changes, 0); // by code: no OnChange

        QTest::mouseClick(pgc.tabBar(), Qt::LeftButton, {}, pgc.tabBar()->tabRect(0).center());
        QCOMPARE(pgc.activePage(), a);
        QCOMPARE(changes, 1); // by the user

        c->setPageEnabled(false);
        QTest::mouseClick(pgc.tabBar(), Qt::LeftButton, {}, pgc.tabBar()->tabRect(2).center());
        QCOMPARE(pgc.activePage(), a); // a disabled page cannot be chosen
        QCOMPARE(changes, 1);

        // Locking the page in front keeps it in front.
        a->setPageEnabled(false);
        QCOMPARE(pgc.activePage(), a);
        pgc.SetActivePage(c); // code still can
        QCOMPARE(pgc.activePage(), c);
        QCOMPARE(changes, 1);
    }

    void lookupButtonRunsItsHooksInOrder_data()
    {
        QTest::addColumn<bool>("go");
        QTest::addColumn<int>("pick"); // -1 cancels
        QTest::addColumn<QString>("log");
        QTest::newRow("picked") << true << 1 << "before,after:002";
        QTest::newRow("cancelled") << true << -1 << "before";
        QTest::newRow("before hook refuses") << false << 0 << "before";
    }
    void lookupButtonRunsItsHooksInOrder()
    {
        QFETCH(bool, go);
        QFETCH(int, pick);
        QFETCH(QString, log);
        RecordSet set;
        DataSource dts;
        dts.setDataSet(&set);
        TBtnPesquisa btn;
        btn.Title = QStringLiteral("Tipo de Laudo");
        btn.EmptyError = QStringLiteral("Não há tipo de Laudo Cadastrado");
        btn.DataSource = &dts;
        QStringList seen;
        btn.OnBeforePesq = [&](TBtnPesquisa &, bool &cont) {
            seen << QStringLiteral("before");
            // The list is loaded here, as a screen does before the lookup shows.
            set.loadRows(
                {{QStringLiteral("CDTIPOLAUDO"), FieldKind::String, 3}, {QStringLiteral("NMTIPOLAUDO"), FieldKind::String, 40}},
                {{QStringLiteral("001"), QStringLiteral("Clínico")}, {QStringLiteral("002"), QStringLiteral("Cirúrgico")}});
            cont = go;
        };
        btn.OnAfterPesq = [&](TBtnPesquisa &) {
            seen << QStringLiteral("after:") + set.fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString();
        };
        ScopedResponder r(pick >= 0 ? answers::pick(pick) : answers::cancel());
        btn.click();
        QCOMPARE(seen.join(QLatin1Char(',')), log);
    }

    void lookupButtonEmptyListShowsItsText()
    {
        RecordSet set;
        set.addField(QStringLiteral("CDTIPOLAUDO"), FieldKind::String, 3);
        set.open();
        DataSource dts;
        dts.setDataSet(&set);
        TBtnPesquisa btn;
        btn.Title = QStringLiteral("Tipo de Laudo");
        btn.EmptyError = QStringLiteral("Não há tipo de Laudo Cadastrado");
        btn.DataSource = &dts;
        bool after = false;
        btn.OnAfterPesq = [&](TBtnPesquisa &) { after = true; };
        ScopedResponder r(answers::ok());
        btn.click();
        QVERIFY(!after);
        QCOMPARE(Dialogs::log().size(), 1);
        QCOMPARE(Dialogs::log().at(0).text, QStringLiteral("Não há tipo de Laudo Cadastrado"));
    }

    void formatPanelAppliesAndNotifiesOnce_data()
    {
        QTest::addColumn<TFormatBtn>("button");
        QTest::newRow("bold") << TFormatBtn::Bold;
        QTest::newRow("italic") << TFormatBtn::Italic;
        QTest::newRow("underline") << TFormatBtn::Underline;
        QTest::newRow("centre") << TFormatBtn::AlignCenter;
        QTest::newRow("bullets") << TFormatBtn::Bullets;
        QTest::newRow("indent") << TFormatBtn::IndentIncrease;
    }
    void formatPanelAppliesAndNotifiesOnce()
    {
        QFETCH(TFormatBtn, button);
        QTextEdit editor;
        editor.setPlainText(QStringLiteral("Paciente refere dor"));
        QTextCursor c = editor.textCursor();
        c.movePosition(QTextCursor::Start);
        c.movePosition(QTextCursor::EndOfWord, QTextCursor::KeepAnchor);
        editor.setTextCursor(c);
        TFormatPanel panel;
        panel.setRichEdit(&editor);
        QList<TFormatBtn> clicks;
        panel.OnClick = [&](TFormatPanel &p, TFormatBtn b) {
            QCOMPARE(&p, &panel);
            clicks << b;
        };
        QTest::mouseClick(panel.button(button), Qt::LeftButton);
        QCOMPARE(clicks, QList<TFormatBtn>{button});
        QTextCursor first(editor.document());
        first.movePosition(QTextCursor::NextCharacter);
        const QTextCharFormat f = first.charFormat();
        switch (button) {
        case TFormatBtn::Bold: QCOMPARE(f.fontWeight(), int(QFont::Bold)); break;
        case TFormatBtn::Italic: QVERIFY(f.fontItalic()); break;
        case TFormatBtn::Underline: QVERIFY(f.fontUnderline()); break;
        case TFormatBtn::AlignCenter:
            QCOMPARE(editor.document()->firstBlock().blockFormat().alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
            break;
        case TFormatBtn::Bullets: QVERIFY(editor.document()->firstBlock().textList()); break;
        case TFormatBtn::IndentIncrease: QCOMPARE(editor.document()->firstBlock().blockFormat().indent(), 1); break;
        default: break;
        }
        // Only the selected word took a character format.
        if (button == TFormatBtn::Bold) {
            QTextCursor last(editor.document());
            last.movePosition(QTextCursor::End);
            QCOMPARE(last.charFormat().fontWeight(), int(QFont::Normal));
        }
    }

    void dateEditShowsWeekday_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("weekday");
        QTest::newRow("monday") << QDate(2026, 12, 7) << "Segunda";
        QTest::newRow("sunday") << QDate(2026, 12, 6) << "Domingo";
        QTest::newRow("saturday") << QDate(2026, 12, 12) << "Sábado";
    }
    void dateEditShowsWeekday()
    {
        QFETCH(QDate, date);
        QFETCH(QString, weekday);
        TDateEditPlus edit;
        edit.setValue(kmp::daysFromDateTime(QDateTime(date, QTime(15, 30))));
        QVERIFY(edit.text().startsWith(date.toString(QStringLiteral("dd/MM/yyyy"))));
        QVERIFY(edit.text().endsWith(weekday));
        QCOMPARE(edit.cursorPosition(), 0); // a narrow box shows the date, not the weekday's end
        QCOMPARE(edit.date(), date);
        QCOMPARE(edit.value(), double(qint64(edit.value()))); // SaveTime false: the whole day
        QVERIFY(edit.isReadOnly());
    }
};

QTEST_MAIN(TestToolkitServices)
#include "tst_toolkitservices.moc"
