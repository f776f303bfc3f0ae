#include "datasource.h"
#include "error.h"
#include "recordset.h"

#include <QtTest>

using namespace kmp;

namespace {

// A diagnosis-shaped set with three rows numbered 1..3.
std::unique_ptr<RecordSet> makeSet(int rows = 3)
{
    auto s = std::make_unique<RecordSet>(QStringLiteral("cdsTeste"));
    s->addField(QStringLiteral("CDDIAGNOST"), FieldKind::String, 10);
    s->addField(QStringLiteral("NMDIAGNOST"), FieldKind::String, 250);
    s->addField(QStringLiteral("NRSEQUENCIA"), FieldKind::Float);
    s->addField(QStringLiteral("DTCONSPACI"), FieldKind::DateTime);
    s->addField(QStringLiteral("DSTEXTO"), FieldKind::Blob);
    std::vector<RowValues> data;
    const char *codes[] = {"A00", "B01", "C02", "D03", "E04"};
    for (int i = 0; i < rows; ++i)
        data.push_back({QString::fromLatin1(codes[i]), QStringLiteral("Nome %1").arg(i + 1), double(i + 1), 46363.0,
                        QByteArray("{\\rtf1 x}")});
    s->loadRows(s->fieldDefs(), std::move(data));
    return s;
}

QStringList codes(RecordSet &s)
{
    QStringList out;
    for (int r = 0; r < s.recordCount(); ++r)
        out << s.value(r, 0).toString();
    return out;
}

} // namespace

class TestRecordSet : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void eventsRunInOrder();
    void beforePostExceptionKeepsTypedValues();
    void afterPostExceptionReachesCaller();
    void cancelUpdatesRestoresEverything();
    void mergeEmptiesChangeLog();
    void deltaCarriesOriginalAndNewValues();
    void deltaKeepsChangeOrder();
    void insertGoesBeforeCurrentRow();
    void movingWhileEditingPosts();
    void movingFromUntouchedInsertCancels();
    void editOnClosedSetRaises_data();
    void editOnClosedSetRaises();
    void editWhileEditingDoesNothing();
    void tooLongStringRefused();
    void locate_data();
    void locate();
    void loadReplacesContentAndLog();
    void loadWithMissingFieldLeavesSetUntouched();
    void floatReadsAsInteger();
    void dataSourceSeesEveryStateChange();
    void cancelAskedAgainByAViewRemovesOneRow();
    void valuesKeepKindAndNull_data();
    void valuesKeepKindAndNull();
    void locateIndexFollowsEdits_data();
    void locateIndexFollowsEdits();
    void locateOtherKinds_data();
    void locateOtherKinds();
};

void TestRecordSet::eventsRunInOrder()
{
    auto s = makeSet();
    QStringList log;
    auto rec = [&log](const char *name) { return [&log, name](RecordSet &) { log << QLatin1String(name); }; };
    s->OnBeforeInsert = rec("BeforeInsert");
    s->OnAfterInsert = rec("AfterInsert");
    s->OnBeforePost = rec("BeforePost");
    s->OnAfterPost = rec("AfterPost");
    s->OnBeforeDelete = rec("BeforeDelete");
    s->OnAfterDelete = rec("AfterDelete");
    s->OnBeforeScroll = rec("BeforeScroll");
    s->OnAfterScroll = rec("AfterScroll");
    s->OnBeforeCancel = rec("BeforeCancel");
    s->OnAfterCancel = rec("AfterCancel");
    s->OnBeforeClose = rec("BeforeClose");
    s->OnAfterClose = rec("AfterClose");
    s->OnBeforeOpen = rec("BeforeOpen");
    s->OnAfterOpen = rec("AfterOpen");

    s->insert();
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("Z99"));
    s->post();
    QCOMPARE(log, QStringList({"BeforeInsert", "BeforeScroll", "AfterInsert", "AfterScroll", "BeforePost", "AfterPost"}));
    log.clear();
    s->remove();
    QCOMPARE(log, QStringList({"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
    log.clear();
    s->edit();
    s->cancel();
    QCOMPARE(log, QStringList({"BeforeCancel", "AfterCancel"}));
    log.clear();
    s->loadRows(s->fieldDefs(), {});
    QCOMPARE(log, QStringList({"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen", "AfterScroll"}));
}

void TestRecordSet::beforePostExceptionKeepsTypedValues()
{
    auto s = makeSet();
    s->OnBeforePost = [](RecordSet &) { throw Error(QStringLiteral("Código deve ser  informado.")); };
    bool afterPost = false;
    s->OnAfterPost = [&](RecordSet &) { afterPost = true; };
    s->insert();
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("X1"));
    QVERIFY_THROWS_EXCEPTION(Error, s->post());
    QCOMPARE(s->state(), DataSetState::Insert);
    QCOMPARE(s->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("X1"));
    QCOMPARE(s->recordCount(), 4);
    QCOMPARE(s->changeCount(), 0);
    QVERIFY(!afterPost);
}

void TestRecordSet::afterPostExceptionReachesCaller()
{
    auto s = makeSet();
    s->OnAfterPost = [](RecordSet &set) {
        set.cancelUpdates();
        throw Error(QStringLiteral("servidor recusou"));
    };
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Outro"));
    QVERIFY_THROWS_EXCEPTION(Error, s->post());
    QCOMPARE(s->state(), DataSetState::Browse);
    QCOMPARE(s->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(), QStringLiteral("Nome 1"));
    QCOMPARE(s->changeCount(), 0);
}

void TestRecordSet::cancelUpdatesRestoresEverything()
{
    auto s = makeSet();
    // edit the first, delete the second, insert a new one
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Editado"));
    s->post();
    s->next();
    s->remove();
    s->insert();
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("N00"));
    s->post();
    QCOMPARE(s->changeCount(), 3);
    QCOMPARE(codes(*s), QStringList({"A00", "N00", "C02"}));

    s->cancelUpdates();
    QCOMPARE(codes(*s), QStringList({"A00", "B01", "C02"}));
    QCOMPARE(s->value(0, 1).toString(), QStringLiteral("Nome 1"));
    QCOMPARE(s->changeCount(), 0);
    QCOMPARE(s->state(), DataSetState::Browse);
}

void TestRecordSet::mergeEmptiesChangeLog()
{
    auto s = makeSet();
    s->remove();
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Mudou"));
    s->post();
    QCOMPARE(s->changeCount(), 2);
    s->mergeChangeLog();
    QCOMPARE(s->changeCount(), 0);
    QVERIFY(s->deltaData().changes.empty());
    // after a merge, cancelling updates goes back to the merged content, not the load
    s->cancelUpdates();
    QCOMPARE(codes(*s), QStringList({"B01", "C02"}));
    QCOMPARE(s->value(0, 1).toString(), QStringLiteral("Mudou"));
}

void TestRecordSet::deltaCarriesOriginalAndNewValues()
{
    auto s = makeSet();
    s->edit();
    s->fieldByName(QStringLiteral("NRSEQUENCIA"))->setAsInteger(9);
    s->post();
    // editing the same row again keeps the values as loaded as the originals
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Novo nome"));
    s->post();
    s->last();
    s->remove();

    const Delta d = decodeDelta(s->delta());
    QCOMPARE(int(d.changes.size()), 2);
    QCOMPARE(d.changes[0].kind, ChangeKind::Modify);
    QCOMPARE(d.changes[0].oldValues[2].toDouble(), 1.0);
    QCOMPARE(d.changes[0].oldValues[1].toString(), QStringLiteral("Nome 1"));
    QCOMPARE(d.changes[0].newValues[2].toDouble(), 9.0);
    QCOMPARE(d.changes[0].newValues[1].toString(), QStringLiteral("Novo nome"));
    QCOMPARE(d.changes[1].kind, ChangeKind::Delete);
    QCOMPARE(d.changes[1].oldValues[0].toString(), QStringLiteral("C02"));
    QVERIFY(d.changes[1].newValues.empty());
    QCOMPARE(d.changes[0].newValues[4].toByteArray(), QByteArray("{\\rtf1 x}"));
}

void TestRecordSet::deltaKeepsChangeOrder()
{
    // A delete followed by an insert of the same key must reach the server in that order.
    auto s = makeSet();
    s->remove();
    s->insert();
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("A00"));
    s->post();
    const Delta d = s->deltaData();
    QCOMPARE(int(d.changes.size()), 2);
    QCOMPARE(d.changes[0].kind, ChangeKind::Delete);
    QCOMPARE(d.changes[1].kind, ChangeKind::Insert);
    // an insert that is deleted again leaves nothing for the server
    s->remove();
    QCOMPARE(int(s->deltaData().changes.size()), 1);
}

void TestRecordSet::insertGoesBeforeCurrentRow()
{
    auto s = makeSet();
    s->next();
    s->insert();
    QCOMPARE(s->currentRow(), 1);
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("NEW"));
    s->post();
    QCOMPARE(codes(*s), QStringList({"A00", "NEW", "B01", "C02"}));
    s->append();
    QCOMPARE(s->currentRow(), 4);
    s->cancel();
    QCOMPARE(s->recordCount(), 4);
}

void TestRecordSet::movingWhileEditingPosts()
{
    auto s = makeSet();
    int posts = 0;
    s->OnAfterPost = [&](RecordSet &) { ++posts; };
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Trocado"));
    s->next();
    QCOMPARE(posts, 1);
    QCOMPARE(s->state(), DataSetState::Browse);
    QCOMPARE(s->value(0, 1).toString(), QStringLiteral("Trocado"));
    QCOMPARE(s->currentRow(), 1);
}

void TestRecordSet::movingFromUntouchedInsertCancels()
{
    auto s = makeSet();
    int cancels = 0;
    s->OnAfterCancel = [&](RecordSet &) { ++cancels; };
    s->insert();
    s->last();
    QCOMPARE(cancels, 1);
    QCOMPARE(s->recordCount(), 3);
    QCOMPARE(s->changeCount(), 0);
}

void TestRecordSet::editOnClosedSetRaises_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("edit") << 0;
    QTest::newRow("insert") << 1;
    QTest::newRow("post") << 2;
    QTest::newRow("field read") << 3;
    QTest::newRow("delete") << 4;
}

void TestRecordSet::editOnClosedSetRaises()
{
    QFETCH(int, operation);
    auto s = makeSet();
    s->close();
    auto op = [&] {
        switch (operation) {
        case 0: s->edit(); break;
        case 1: s->insert(); break;
        case 2: s->post(); break;
        case 3: (void)s->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(); break;
        case 4: s->remove(); break;
        }
    };
    QVERIFY_THROWS_EXCEPTION(DataSetError, op());
    QCOMPARE(s->state(), DataSetState::Inactive);
}

void TestRecordSet::editWhileEditingDoesNothing()
{
    auto s = makeSet();
    int beforeEdit = 0;
    s->OnBeforeEdit = [&](RecordSet &) { ++beforeEdit; };
    s->edit();
    s->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Digitado"));
    s->edit();
    QCOMPARE(beforeEdit, 1);
    QCOMPARE(s->fieldByName(QStringLiteral("NMDIAGNOST"))->asString(), QStringLiteral("Digitado"));
    s->cancel();
    s->insert();
    s->edit(); // still inserting
    QCOMPARE(s->state(), DataSetState::Insert);
}

void TestRecordSet::tooLongStringRefused()
{
    auto s = makeSet();
    s->edit();
    QVERIFY_THROWS_EXCEPTION(DataSetError,
                             s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("12345678901")));
    QCOMPARE(s->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), QStringLiteral("A00"));
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("1234567890"));
    s->post();
    QCOMPARE(s->value(0, 0).toString(), QStringLiteral("1234567890"));
}

void TestRecordSet::locate_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("options");
    QTest::addColumn<int>("expectedRow");
    QTest::newRow("exact") << "B01" << 0 << 1;
    QTest::newRow("case differs, exact") << "b01" << 0 << -1;
    QTest::newRow("case differs, insensitive") << "b01" << int(LocateOption::CaseInsensitive) << 1;
    QTest::newRow("prefix without partial") << "C" << 0 << -1;
    QTest::newRow("prefix with partial") << "C" << int(LocateOption::PartialKey) << 2;
    QTest::newRow("absent") << "Z00" << int(LocateOption::CaseInsensitive) << -1;
}

void TestRecordSet::locate()
{
    QFETCH(QString, key);
    QFETCH(int, options);
    QFETCH(int, expectedRow);
    auto s = makeSet();
    const bool found = s->locate(QStringLiteral("CDDIAGNOST"), key, LocateOptions(options));
    QCOMPARE(found, expectedRow >= 0);
    QCOMPARE(s->currentRow(), found ? expectedRow : 0);
}

void TestRecordSet::loadReplacesContentAndLog()
{
    auto s = makeSet();
    s->remove();
    QCOMPARE(s->changeCount(), 1);
    auto other = makeSet(5);
    s->loadFromPacket(other->toPacket());
    QCOMPARE(s->recordCount(), 5);
    QCOMPARE(s->changeCount(), 0);
    QCOMPARE(s->currentRow(), 0);
}

void TestRecordSet::loadWithMissingFieldLeavesSetUntouched()
{
    auto s = makeSet();
    Packet p;
    p.fields = {{QStringLiteral("CDDIAGNOST"), FieldKind::String, 10}};
    p.rows = {{QStringLiteral("Q1")}};
    QVERIFY_THROWS_EXCEPTION(DataSetError, s->loadFromPacket(encodePacket(p)));
    QCOMPARE(codes(*s), QStringList({"A00", "B01", "C02"}));
    QVERIFY_THROWS_EXCEPTION(PacketError, s->loadFromPacket(QByteArray("\xa2garbage", 8)));
    QCOMPARE(s->recordCount(), 3);
    QCOMPARE(s->state(), DataSetState::Browse);
}

void TestRecordSet::floatReadsAsInteger()
{
    auto s = makeSet();
    s->insert();
    QCOMPARE(s->fieldByName(QStringLiteral("NRSEQUENCIA"))->asInteger(), 0);
    s->fieldByName(QStringLiteral("NRSEQUENCIA"))->setAsString(QStringLiteral("7"));
    QCOMPARE(s->fieldByName(QStringLiteral("NRSEQUENCIA"))->asInteger(), 7);
    QCOMPARE(s->fieldByName(QStringLiteral("NRSEQUENCIA"))->asString(), QStringLiteral("7"));
}

void TestRecordSet::dataSourceSeesEveryStateChange()
{
    auto s = makeSet();
    DataSource ds;
    ds.setDataSet(s.get());
    QList<DataSetState> seen;
    ds.OnStateChange = [&](DataSource &src) { seen << src.state(); };
    s->edit();
    s->post();
    s->insert();
    s->cancel();
    s->close();
    QCOMPARE(seen, QList<DataSetState>({DataSetState::Edit, DataSetState::Browse, DataSetState::Insert, DataSetState::Browse,
                                        DataSetState::Inactive}));
}

void TestRecordSet::cancelAskedAgainByAViewRemovesOneRow()
{
    auto s = makeSet();
    int cancels = 0;
    s->OnAfterCancel = [&](RecordSet &) { ++cancels; };
    connect(s.get(), &RecordSet::rowAboutToBeRemoved, this, [&s] { s->cancel(); });
    s->insert();
    s->cancel();
    QCOMPARE(s->recordCount(), 3);
    QCOMPARE(codes(*s), QStringList({"A00", "B01", "C02"}));
    QCOMPARE(cancels, 1);
}

QTEST_GUILESS_MAIN(TestRecordSet)
#include "tst_recordset.moc"

void TestRecordSet::valuesKeepKindAndNull_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("text with accents") << 1 << QVariant(QStringLiteral("Cólera devida a Vibrio cholerae 01 — ação"))
                                       << QVariant(QStringLiteral("Cólera devida a Vibrio cholerae 01 — ação"));
    QTest::newRow("text outside the basic plane")
        << 1 << QVariant(QStringLiteral("nota \U0001F600")) << QVariant(QStringLiteral("nota \U0001F600"));
    QTest::newRow("empty text stays empty, not null") << 1 << QVariant(QStringLiteral("")) << QVariant(QStringLiteral(""));
    QTest::newRow("null text") << 1 << QVariant() << QVariant();
    QTest::newRow("float") << 2 << QVariant(-12.625) << QVariant(-12.625);
    QTest::newRow("float zero") << 2 << QVariant(0.0) << QVariant(0.0);
    QTest::newRow("null float") << 2 << QVariant() << QVariant();
    QTest::newRow("date with time") << 3 << QVariant(46363.75) << QVariant(46363.75);
    QTest::newRow("blob with zero bytes") << 4 << QVariant(QByteArray("a\0b\xff", 4)) << QVariant(QByteArray("a\0b\xff", 4));
    QTest::newRow("empty blob") << 4 << QVariant(QByteArray("")) << QVariant(QByteArray(""));
    QTest::newRow("null blob") << 4 << QVariant() << QVariant();
}

// A value posted, merged, read back, carried in a delta and through a packet must come back
// as it went in: same kind, same bytes, null kept apart from empty.
void TestRecordSet::valuesKeepKindAndNull()
{
    QFETCH(int, field);
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    const auto check = [&](const QVariant &got) {
        QCOMPARE(got.isNull(), expected.isNull());
        if (!expected.isNull()) {
            QCOMPARE(got.typeId(), expected.typeId());
            QCOMPARE(got, expected);
        }
    };
    auto s = makeSet();
    s->moveTo(1);
    s->edit();
    s->field(field)->setValue(value);
    s->post();
    check(s->value(1, field));
    const Delta d = s->deltaData();
    QCOMPARE(d.changes.size(), size_t(1));
    check(d.changes[0].newValues[size_t(field)]);
    s->mergeChangeLog();
    check(s->value(1, field));
    RecordSet copy(QStringLiteral("cdsCopia"));
    copy.loadFromPacket(s->toPacket());
    check(copy.value(1, field));
    s->edit();
    QVERIFY(s->field(field)->isNull() == expected.isNull());
    s->cancel();
    check(s->value(1, field));
}

namespace {

// The row a locate must find, worked out by reading every row: what the index has to agree with.
int scanFor(RecordSet &s, int field, const QVariant &key, LocateOptions options)
{
    const bool caseless = options.testFlag(LocateOption::CaseInsensitive);
    for (int r = 0; r < s.recordCount(); ++r) {
        const QVariant v = s.value(r, field);
        if (v.isNull()) {
            if (!key.isValid())
                return r;
            continue;
        }
        if (v.toString().compare(key.toString(), caseless ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0)
            return r;
    }
    return -1;
}

} // namespace

void TestRecordSet::locateIndexFollowsEdits_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("options");
    // Steps: "row N" moves, "set CODE" edits the current row's code and posts, "insert CODE"
    // inserts before the current row, "append CODE", "delete", "edit CODE cancel",
    // "insert CODE cancel", "merge", "cancelUpdates", "null" clears the current code.
    QTest::newRow("code changed") << QStringList{"row 1", "set Z99"} << 0;
    QTest::newRow("code changed twice, then back") << QStringList{"row 0", "set Q10", "set R20", "set A00"} << 0;
    QTest::newRow("insert shifts the rows after it") << QStringList{"row 1", "insert C02"} << 0;
    QTest::newRow("duplicate code: first row wins") << QStringList{"row 2", "append A00", "row 0", "insert A00"} << 0;
    QTest::newRow("delete shifts back") << QStringList{"row 0", "delete", "row 2", "delete"} << 0;
    QTest::newRow("cancelled edit leaves the old code") << QStringList{"row 2", "edit Y01 cancel"} << 0;
    QTest::newRow("cancelled insert goes away") << QStringList{"row 1", "insert Y02 cancel", "append Y03 cancel"} << 0;
    QTest::newRow("cancel updates restores order")
        << QStringList{"row 0", "delete", "row 1", "set K11", "insert M12", "cancelUpdates"} << 0;
    QTest::newRow("merge then edit") << QStringList{"row 3", "set N13", "merge", "row 0", "set B01", "delete"} << 0;
    QTest::newRow("cleared code") << QStringList{"row 2", "null", "append D03"} << 0;
    QTest::newRow("case-insensitive, edited")
        << QStringList{"row 1", "set ção", "insert ÇÃO", "row 4", "set e04"} << int(LocateOption::CaseInsensitive);
}

// Locates first (so that the index exists), applies the edits, then checks every code
// that ever appeared, and a few that never did, against a scan of the rows.
void TestRecordSet::locateIndexFollowsEdits()
{
    QFETCH(QStringList, steps);
    QFETCH(int, options);
    const LocateOptions opts(options);
    auto s = makeSet(5);
    const QString field = QStringLiteral("CDDIAGNOST");
    QVERIFY(s->locate(field, QStringLiteral("C02"), opts));
    QVERIFY(s->locate(field, QStringLiteral("c02"), opts) == opts.testFlag(LocateOption::CaseInsensitive));
    QStringList keys{"A00", "B01", "C02", "D03", "E04", "a00", "ÇÃO", "zzz", ""};
    Field *code = s->fieldByName(field);
    for (const QString &step : steps) {
        const QStringList w = step.split(QLatin1Char(' '));
        if (w[0] == QLatin1String("row")) {
            s->moveTo(w[1].toInt());
        } else if (w[0] == QLatin1String("set")) {
            s->edit();
            code->setAsString(w[1]);
            s->post();
        } else if (w[0] == QLatin1String("insert") || w[0] == QLatin1String("append")) {
            w[0] == QLatin1String("insert") ? s->insert() : s->append();
            code->setAsString(w[1]);
            w.size() > 2 ? s->cancel() : s->post();
        } else if (w[0] == QLatin1String("edit")) {
            s->edit();
            code->setAsString(w[1]);
            s->cancel();
        } else if (w[0] == QLatin1String("delete")) {
            s->remove();
        } else if (w[0] == QLatin1String("merge")) {
            s->mergeChangeLog();
        } else if (w[0] == QLatin1String("cancelUpdates")) {
            s->cancelUpdates();
        } else if (w[0] == QLatin1String("null")) {
            s->edit();
            code->clear();
            s->post();
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step %1").arg(step)));
        }
        if (w.size() > 1)
            keys << w[1];
    }
    QList<QVariant> wanted;
    for (const QString &k : keys)
        wanted << QVariant(k);
    wanted << QVariant();
    for (const QVariant &k : wanted) {
        const int expected = scanFor(*s, 0, k, opts);
        s->moveTo(0);
        const bool found = s->locate(field, k, opts);
        QVERIFY2(found == (expected >= 0), qPrintable(QStringLiteral("key '%1'").arg(k.toString())));
        if (found)
            QVERIFY2(
                s->currentRow() == expected,
                qPrintable(QStringLiteral("key '%1': row %2, expected %3").arg(k.toString()).arg(s->currentRow()).arg(expected)));
    }
}

void TestRecordSet::locateOtherKinds_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("key");
    QTest::addColumn<int>("expectedRow");
    QTest::newRow("float, as a double") << "NRSEQUENCIA" << QVariant(3.0) << 2;
    QTest::newRow("float, as text") << "NRSEQUENCIA" << QVariant(QStringLiteral("2")) << 1;
    QTest::newRow("float, as an integer") << "NRSEQUENCIA" << QVariant(1) << 0;
    QTest::newRow("float, negative zero finds zero") << "NRSEQUENCIA" << QVariant(-0.0) << 3;
    QTest::newRow("float, absent") << "NRSEQUENCIA" << QVariant(7.5) << -1;
    QTest::newRow("float, not a number") << "NRSEQUENCIA" << QVariant(QStringLiteral("x")) << -1;
    QTest::newRow("date") << "DTCONSPACI" << QVariant(46363.0) << 0;
    QTest::newRow("null date") << "DTCONSPACI" << QVariant() << 3;
    QTest::newRow("blob") << "DSTEXTO" << QVariant(QByteArray("{\\rtf1 x}")) << 0;
}

void TestRecordSet::locateOtherKinds()
{
    QFETCH(QString, field);
    QFETCH(QVariant, key);
    QFETCH(int, expectedRow);
    auto s = makeSet(3);
    s->append(); // row 3: sequence 0, no date
    s->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(QStringLiteral("X00"));
    s->fieldByName(QStringLiteral("NRSEQUENCIA"))->setAsFloat(0);
    s->post();
    s->moveTo(1);
    const bool found = s->locate(field, key);
    QCOMPARE(found, expectedRow >= 0);
    QCOMPARE(s->currentRow(), found ? expectedRow : 1);
}
