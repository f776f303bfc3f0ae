#include "datasource.h"
#include "dbgrid.h"
#include "dialogs.h"
#include "exceptions.h"
#include "field.h"
#include "recordset.h"
#include "scripteddialogs.h"

#include <QHeaderView>
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
        QTest::newRow("passes") << "x12"
                                << "X12";
        QTest::newRow("digits discarded") << "a1b2"
                                          << "AB";
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
                throw ValidationError(QStringLiteral("Diagnóstico não cadastrado."));
        };
        m_grid->setSelectedIndex(0);
        QTest::keyClick(m_grid, Qt::Key_Tab);
        QCOMPARE(exits, QStringList{QStringLiteral("CDDIAGNOST")});
        QCOMPARE(m_grid->selectedIndex(), refuse ? 0 : 1);
        QVERIFY(Dialogs::log().isEmpty()); // ValidationError: MensErro has already told
    }

    void tabLeavesTheGridAtItsEdges_data()
    {
        QTest::addColumn<int>("startColumn");
        QTest::addColumn<bool>("back");
        QTest::addColumn<bool>("editing");
        QTest::addColumn<bool>("leaves");
        QTest::addColumn<int>("column"); // where the grid's cursor ends
        QTest::newRow("Tab on the first column: next column") << 0 << false << false << false << 1;
        QTest::newRow("Tab on the last column: out") << 1 << false << false << true << 1;
        QTest::newRow("Shift+Tab on the first column: out, backwards") << 0 << true << false << true << 0;
        QTest::newRow("Shift+Tab on the last column: previous column") << 1 << true << false << false << 0;
        QTest::newRow("Tab in the open editor of the first column: next column") << 0 << false << true << false << 1;
    }
    void tabLeavesTheGridAtItsEdges()
    {
        QFETCH(int, startColumn);
        QFETCH(bool, back);
        QFETCH(bool, editing);
        QFETCH(bool, leaves);
        QFETCH(int, column);
        auto *before = new QLineEdit(m_form.get());
        m_form->layout()->removeWidget(m_grid);
        static_cast<QVBoxLayout *>(m_form->layout())->insertWidget(0, before);
        static_cast<QVBoxLayout *>(m_form->layout())->insertWidget(1, m_grid);
        QWidget::setTabOrder(before, m_grid);
        QWidget::setTabOrder(m_grid, m_other);
        before->show();   // added after the form was shown
        m_set->moveTo(2); // the last row: Tab must not wrap to the first
        m_grid->setSelectedIndex(startColumn);
        m_grid->setFocus();
        if (editing)
            QTest::keyClick(m_grid, Qt::Key_F2); // opens the cell editor
        QWidget *target = QApplication::focusWidget();
        QVERIFY(target);
        QTest::keyClick(target, back ? Qt::Key_Backtab : Qt::Key_Tab, back ? Qt::ShiftModifier : Qt::NoModifier);
        QWidget *now = QApplication::focusWidget();
        if (leaves)
            QCOMPARE(now, back ? before : m_other);
        else
            QVERIFY2(now == m_grid || m_grid->isAncestorOf(now), now ? now->metaObject()->className() : "none");
        QCOMPARE(m_grid->selectedIndex(), column);
        QCOMPARE(m_set->currentRow(), 2);
    }

    void lookupKeysRunTheColumnsLookup_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("editing");
        QTest::addColumn<int>("runs");
        QTest::newRow("F8 on the code") << int(Qt::Key_F8) << int(Qt::NoModifier) << 0 << false << 1;
        QTest::newRow("Alt+Down on the code") << int(Qt::Key_Down) << int(Qt::AltModifier) << 0 << false << 1;
        QTest::newRow("F8 while typing the code") << int(Qt::Key_F8) << int(Qt::NoModifier) << 0 << true << 1;
        QTest::newRow("Alt+Down while typing the code") << int(Qt::Key_Down) << int(Qt::AltModifier) << 0 << true << 1;
        QTest::newRow("F8 on a column without lookup") << int(Qt::Key_F8) << int(Qt::NoModifier) << 1 << false << 0;
        QTest::newRow("plain Down moves, no lookup") << int(Qt::Key_Down) << int(Qt::NoModifier) << 0 << false << 0;
    }
    void lookupKeysRunTheColumnsLookup()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, column);
        QFETCH(bool, editing);
        QFETCH(int, runs);
        m_grid->setColumnButton(0, true);
        QString typedWhenRun;
        int count = 0;
        m_grid->OnEditButtonClick = [&] {
            ++count;
            typedWhenRun = m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->asString();
        };
        m_set->moveTo(0);
        m_grid->setSelectedIndex(column);
        m_grid->setFocus();
        if (editing) {
            m_set->append();
            m_grid->setSelectedIndex(column);
            for (char c : {'K', '2', '9'})
                QTest::keyClick(QApplication::focusWidget(), c);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(count, runs);
        if (editing && runs)
            QCOMPARE(typedWhenRun, QStringLiteral("K29")); // what was typed reached the row first
    }

    void buttonStaysVisibleBesideTheEditor()
    {
        m_grid->setColumnButton(0, true);
        m_set->append();
        m_grid->setSelectedIndex(0);
        for (char c : {'A', '0'})
            QTest::keyClick(QApplication::focusWidget(), c);
        auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QVERIFY(editor);
        QVERIFY(m_grid->editButton()->isVisible());
        QVERIFY2(!editor->geometry().intersects(m_grid->editButton()->geometry()), "the editor covers the button");
    }

    void tooltipsShowTheWholeText_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("tip");
        QTest::newRow("long name") << 0 << 1 << "Hipertensão essencial";
        QTest::newRow("code") << 1 << 0 << "J45";
    }
    void tooltipsShowTheWholeText()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(QString, tip);
        QCOMPARE(m_grid->model()->index(row, column).data(Qt::ToolTipRole).toString(), tip);
    }

    // Where the rows' order is clinical content, each row's number reads whole.
    void rowNumbersReadWhole_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("one digit") << 3;
        QTest::newRow("two digits") << 12;
        QTest::newRow("seventy-six") << 76;
        QTest::newRow("three digits") << 120;
    }
    void rowNumbersReadWhole()
    {
        QFETCH(int, rows);
        std::vector<RowValues> values;
        for (int i = 1; i <= rows; ++i)
            values.push_back({QStringLiteral("A%1").arg(i), QStringLiteral("Nome %1").arg(i), double(i)});
        m_set->loadRows(m_set->fieldDefs(), values);
        m_grid->setFont(QFont(m_grid->font().family(), 14)); // a larger font needs more room
        QApplication::processEvents();
        QHeaderView *numbers = m_grid->verticalHeader();
        QCOMPARE(numbers->model()->headerData(rows - 1, Qt::Vertical).toString(), QString::number(rows));
        // The header's own measure of what its widest number needs.
        QVERIFY2(numbers->width() >= numbers->sizeHint().width(),
                 qPrintable(QStringLiteral("%1 < %2").arg(numbers->width()).arg(numbers->sizeHint().width())));
    }

    void userWidthSurvivesReloads_data()
    {
        QTest::addColumn<bool>("userResized");
        QTest::addColumn<int>("expected");
        QTest::newRow("widened by the user: kept") << true << 420;
        QTest::newRow("untouched: the configured width") << false << 300;
    }
    void userWidthSurvivesReloads()
    {
        QFETCH(bool, userResized);
        QFETCH(int, expected);
        if (userResized)
            m_grid->horizontalHeader()->resizeSection(1, 420);
        m_set->loadRows({{QStringLiteral("CDDIAGNOST"), FieldKind::String, 6},
                         {QStringLiteral("NMDIAGNOST"), FieldKind::String, 100},
                         {QStringLiteral("NRSEQUENCIA"), FieldKind::Float, 0}},
                        {{QStringLiteral("K29"), QStringLiteral("Gastrite e duodenite"), 1.0}});
        QApplication::processEvents();
        QCOMPARE(m_grid->columnWidth(1), expected);
        QCOMPARE(m_grid->columnWidth(0), 63);
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
