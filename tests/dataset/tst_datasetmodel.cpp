#include "datasetmodel.h"
#include "error.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

using namespace kmp;

class TestDataSetModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void columnsAreVisibleFieldsWithLabels();
    void followsRowChangesUnderTester();
    void editingGoesThroughRecordSet();
    void refusedEditReachesErrorHook();
    void currentRowFollowsBothWays();
    void detachedSourceShowsNothing();

private:
    std::unique_ptr<RecordSet> m_set;
    std::unique_ptr<DataSource> m_source;
};

void TestDataSetModel::init()
{
    m_set = std::make_unique<RecordSet>(QStringLiteral("cdsDiag"));
    m_set->addField(QStringLiteral("CDFILIAL"), FieldKind::String, 4)->setVisible(false);
    Field *code = m_set->addField(QStringLiteral("CDDIAGNOST"), FieldKind::String, 10);
    code->setDisplayLabel(QStringLiteral("Código"));
    Field *name = m_set->addField(QStringLiteral("NMDIAGNOST"), FieldKind::String, 250);
    name->setDisplayLabel(QStringLiteral("Nome"));
    name->setReadOnly(true);
    m_set->loadRows(m_set->fieldDefs(), {{QStringLiteral("0001"), QStringLiteral("I10"), QStringLiteral("Hipertensão")},
                                         {QStringLiteral("0001"), QStringLiteral("E119"), QStringLiteral("Diabetes")}});
    m_source = std::make_unique<DataSource>(QStringLiteral("dtsDiag"));
    m_source->setDataSet(m_set.get());
}

void TestDataSetModel::columnsAreVisibleFieldsWithLabels()
{
    DataSetModel model(m_source.get());
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Código"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));
    QCOMPARE(model.data(model.index(1, 0)).toString(), QStringLiteral("E119"));
    QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
    QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsEditable));
}

void TestDataSetModel::followsRowChangesUnderTester()
{
    DataSetModel model(m_source.get());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_set->insert();
    QCOMPARE(model.rowCount(), 3);
    m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("J189"));
    QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("J189"));
    m_set->post();
    m_set->last();
    m_set->remove();
    QCOMPARE(model.rowCount(), 2);
    m_set->cancelUpdates();
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.data(model.index(1, 0)).toString(), QStringLiteral("E119"));
    m_set->insert();
    m_set->cancel();
    m_set->close();
    QCOMPARE(model.rowCount(), 0);
    m_set->open();
    m_set->fieldByName(QStringLiteral("NMDIAGNOST"))->setVisible(false);
    QCOMPARE(model.columnCount(), 1);
}

void TestDataSetModel::editingGoesThroughRecordSet()
{
    DataSetModel model(m_source.get());
    QVERIFY(model.setData(model.index(1, 0), QStringLiteral("E11")));
    QCOMPARE(m_set->state(), DataSetState::Edit);
    QCOMPARE(m_set->currentRow(), 1);
    m_set->post();
    QCOMPARE(m_set->value(1, 1).toString(), QStringLiteral("E11"));
    // typing the value already there starts no edit
    QVERIFY(model.setData(model.index(0, 0), QStringLiteral("I10")));
    QCOMPARE(m_set->state(), DataSetState::Browse);
}

void TestDataSetModel::refusedEditReachesErrorHook()
{
    DataSetModel model(m_source.get());
    QString error;
    model.OnError = [&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const Error &ex) {
            error = ex.userMessage();
        }
    };
    QVERIFY(!model.setData(model.index(0, 0), QStringLiteral("CODE-TOO-LONG")));
    QVERIFY(error.contains(QStringLiteral("CDDIAGNOST")));
    m_set->OnBeforePost = [](RecordSet &) { throw Error(QStringLiteral("recusado")); };
    QVERIFY(model.setData(model.index(0, 0), QStringLiteral("X1")));
    QVERIFY(!model.setCurrentRow(1)); // the move must post first, and the post is refused
    QCOMPARE(error, QStringLiteral("recusado"));
    QCOMPARE(m_set->currentRow(), 0);
    QCOMPARE(m_set->state(), DataSetState::Edit);
}

void TestDataSetModel::currentRowFollowsBothWays()
{
    DataSetModel model(m_source.get());
    QSignalSpy spy(&model, &DataSetModel::currentRowChanged);
    m_set->last();
    QCOMPARE(spy.last().at(0).toInt(), 1);
    QVERIFY(model.setCurrentRow(0));
    QCOMPARE(m_set->currentRow(), 0);
}

void TestDataSetModel::detachedSourceShowsNothing()
{
    DataSetModel model(m_source.get());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_source->setDataSet(nullptr);
    QCOMPARE(model.rowCount(), 0);
    m_set->insert(); // not followed while detached
    m_set->cancel();
    m_source->setDataSet(m_set.get());
    QCOMPARE(model.rowCount(), 2);
}

QTEST_GUILESS_MAIN(TestDataSetModel)
#include "tst_datasetmodel.moc"
