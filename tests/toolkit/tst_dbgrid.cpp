#include "datasource.h"
#include "dbgrid.h"
#include "dialogs.h"
#include "exceptions.h"
#include "field.h"
#include "recordset.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

using namespace kmp;

class TestDBGrid : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> m_form;
    RecordSet *m_set = nullptr;
    DataSource *m_dts = nullptr;
    DBGrid *m_grid = nullptr;
    QLineEdit *m_other = nullptr;

private Q_SLOTS:
    void init()
    {
        Dialogs::clearLog();
        m_form = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_form.get());
        m_set = new RecordSet(QStringLiteral("cdsDiagPaci"), m_form.get());
        m_set->loadRows({{QStringLiteral("CDDIAGNOST"), FieldKind::String, 6},
                         {QStringLiteral("NMDIAGNOST"), FieldKind::String, 100},
                         {QStringLiteral("NRSEQUENCIA"), FieldKind::Float, 0}},
                        {{QStringLiteral("I10"), QStringLiteral("Hipertensão essencial"), 1.0},
                         {QStringLiteral("J45"), QStringLiteral("Asma"), 2.0},
                         {QStringLiteral("R51"), QStringLiteral("Cefaléia"), 3.0}});
        m_dts = new DataSource(QStringLiteral("dtsPadrao"), m_form.get());
        m_dts->setDataSet(m_set);
        m_grid = new DBGrid(m_form.get());
        m_grid->addColumn(QStringLiteral("CDDIAGNOST"), QStringLiteral("Código"), 63);
        m_grid->addColumn(QStringLiteral("NMDIAGNOST"), QStringLiteral("Diagnóstico"), 300, true);
        m_grid->setDataSource(m_dts);
        layout->addWidget(m_grid);
        m_other = new QLineEdit(m_form.get());
        layout->addWidget(m_other);
        m_form->resize(500, 300);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        m_grid->setFocus();
    }
    void cleanup() { m_form.reset(); }

    void columnsBoundToFields()
    {
        QCOMPARE(m_grid->gridColumnCount(), 2);
        QCOMPARE(m_grid->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Código"));
        QCOMPARE(m_grid->columnWidth(0), 63);
        QCOMPARE(m_grid->columnOf(QStringLiteral("nmdiagnost")), 1);
        QCOMPARE(m_grid->columnOf(QStringLiteral("NRSEQUENCIA")), -1);
        QVERIFY(!(m_grid->model()->flags(m_grid->model()->index(0, 1)) & Qt::ItemIsEditable));
        QVERIFY(m_grid->model()->flags(m_grid->model()->index(0, 0)) & Qt::ItemIsEditable);
    }

    void currentRowFollowsTheCursorBothWays()
    {
        m_set->moveTo(2);
        QCOMPARE(m_grid->currentIndex().row(), 2);
        QTest::keyClick(m_grid, Qt::Key_Up);
        QCOMPARE(m_set->currentRow(), 1);
    }

    void keyPressHookFiltersTypedCharacters_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("passes") << "x12" << "X12";
        QTest::newRow("digits discarded") << "a1b2" << "AB";
    }
    void keyPressHookFiltersTypedCharacters()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        QString seen;
        m_grid->OnKeyPress = [&](QChar &k) {
            seen += k;
            if (k.isDigit() && typed == QLatin1String("a1b2"))
                k = QChar();
            else
                k = k.toUpper();
        };
        m_set->append();
        m_grid->setSelectedIndex(0);
        for (QChar c : typed)
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
        QCOMPARE(seen, typed);
        // A command posting now (Ctrl+Enter, a toolbar button) takes the open cell's text.
        QVERIFY(kmp::commitPendingEdit());
        QCOMPARE(m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), stored);
        QVERIFY(m_grid->hasFocus());
    }

    void colExitSeesTheColumnLeftAndCanRefuse_data()
    {
        QTest::addColumn<bool>("refuse");
        QTest::newRow("accepted") << false;
        QTest::newRow("refused by MensErro") << true;
    }
    void colExitSeesTheColumnLeftAndCanRefuse()
    {
        QFETCH(bool, refuse);
        QStringList exits;
        m_grid->OnColExit = [&] {
            exits << m_grid->selectedField()->fieldName();
            if (refuse)
                throw EValidation(QStringLiteral("Diagnóstico não cadastrado."));
        };
        m_grid->setSelectedIndex(0);
        QTest::keyClick(m_grid, Qt::Key_Tab);
        QCOMPARE(exits, QStringList{QStringLiteral("CDDIAGNOST")});
        QCOMPARE(m_grid->selectedIndex(), refuse ? 0 : 1);
        QVERIFY(Dialogs::log().isEmpty()); // EValidation: MensErro has already told
    }

    void leavingCancelsAnUntouchedNewRow_data()
    {
        QTest::addColumn<bool>("touch");
        QTest::addColumn<int>("rows");
        QTest::addColumn<DataSetState>("state");
        QTest::newRow("untouched: cancelled") << false << 3 << DataSetState::Browse;
        QTest::newRow("typed: kept for the user") << true << 4 << DataSetState::Insert;
    }
    void leavingCancelsAnUntouchedNewRow()
    {
        QFETCH(bool, touch);
        QFETCH(int, rows);
        QFETCH(DataSetState, state);
        m_grid->setCancelOnExit(true);
        int exits = 0;
        m_grid->OnColExit = [&] { ++exits; };
        int cancels = 0;
        m_set->OnBeforeCancel = [&](RecordSet &) { ++cancels; };
        m_set->append();
        if (touch)
            m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("Z00"));
        m_other->setFocus();
        QCOMPARE(m_set->recordCount(), rows);
        QCOMPARE(m_set->state(), state);
        QCOMPARE(exits, touch ? 1 : 0); // an edited row's column is left too
        QCOMPARE(cancels, touch ? 0 : 1);
    }

    void detachShowsNothingAndReattachRestores()
    {
        m_set->moveTo(1);
        m_grid->setDataSource(nullptr);
        QCOMPARE(m_grid->model()->rowCount(), 0);
        m_set->moveTo(2); // not followed, nothing breaks
        m_grid->setDataSource(m_dts);
        QCOMPARE(m_grid->model()->rowCount(), 3);
        QCOMPARE(m_grid->currentIndex().row(), 2);
        QCOMPARE(m_grid->gridColumnCount(), 2);
    }

    void fieldFocusMovesTheColumn()
    {
        m_other->setFocus();
        m_grid->setSelectedIndex(1);
        m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->focusControl();
        QCOMPARE(m_grid->selectedIndex(), 0);
        QVERIFY(m_grid->hasFocus());
    }

    void ellipsisButtonOnItsColumnOnly()
    {
        int clicks = 0;
        m_grid->OnEditButtonClick = [&] { ++clicks; };
        m_grid->setColumnButton(0, true);
        m_grid->setSelectedIndex(0);
        QVERIFY(m_grid->editButton()->isVisible());
        QTest::mouseClick(m_grid->editButton(), Qt::LeftButton);
        QCOMPARE(clicks, 1);
        m_grid->setSelectedIndex(1);
        QVERIFY(!m_grid->editButton()->isVisible());
        m_grid->setColumnButton(0, false);
        m_grid->setSelectedIndex(0);
        QVERIFY(!m_grid->editButton()->isVisible());
    }

    void drawHandlerFailureIsReportedOnceAfterPaint()
    {
        int calls = 0;
        m_grid->OnDrawColumnCell = [&](QPainter *, const QRect &, int, Field *, const QStyleOptionViewItem &) {
            ++calls;
            throw kmp::Error(QStringLiteral("falha ao desenhar"));
        };
        ScopedResponder r(answers::ok());
        m_grid->viewport()->repaint();
        QVERIFY(calls > 0);
        QVERIFY(Dialogs::log().isEmpty()); // never from inside paint
        QTRY_COMPARE(Dialogs::log().size(), 1);
        m_grid->viewport()->repaint();
        QTest::qWait(20);
        QCOMPARE(Dialogs::log().size(), 1); // the same failure is not repeated on every paint
    }

    void modelErrorsGoToTheGuardedDispatch()
    {
        m_set->OnBeforePost = [](RecordSet &) { throw kmp::Error(QStringLiteral("Recusado pelo servidor.")); };
        ScopedResponder r(answers::ok());
        m_set->moveTo(0);
        m_set->edit();
        m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("I11"));
        QTest::keyClick(m_grid, Qt::Key_Down); // moving posts; the post fails
        QCOMPARE(Dialogs::log().size(), 1);
        QCOMPARE(Dialogs::log().at(0).text, QStringLiteral("Recusado pelo servidor."));
        QCOMPARE(m_set->currentRow(), 0);
        QCOMPARE(m_grid->currentIndex().row(), 0);
        QCOMPARE(m_set->state(), DataSetState::Edit);
    }
};

QTEST_MAIN(TestDBGrid)
#include "tst_dbgrid.moc"
