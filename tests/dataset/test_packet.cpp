#include "error.h"
#include "packet.h"
#include "recordset.h"

#include <QCborStreamWriter>
#include <QtTest>

using namespace kmp;

namespace {

Packet samplePacket()
{
    Packet p;
    p.fields = {{QStringLiteral("CDDIAGNOST"), FieldKind::String, 10},
                {QStringLiteral("DTCONSPACI"), FieldKind::DateTime, 0},
                {QStringLiteral("NRSEQUENCIA"), FieldKind::Float, 0},
                {QStringLiteral("DSTEXTO"), FieldKind::Blob, 0}};
    p.rows = {{QStringLiteral("I10"), 46363.5, 1.0, QByteArray("{\\rtf1\\ansi \\'e3}")},
              {QStringLiteral("Ção"), QVariant(), 2.0, QByteArray()},
              {QVariant(), 0.0, QVariant(), QVariant()}};
    return p;
}

QByteArray cbor(const std::function<void(QCborStreamWriter &)> &write)
{
    QByteArray out;
    QCborStreamWriter w(&out);
    write(w);
    return out;
}

} // namespace

class TestPacket : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void packetRoundTrip();
    void deltaRoundTrip();
    void malformedPacket_data();
    void malformedPacket();
    void malformedDelta_data();
    void malformedDelta();
    void everyTruncationFailsCleanly();
    void textMustBeUtf8_data();
    void textMustBeUtf8();
    void streamedPacketEqualsWholeEncoding_data();
    void streamedPacketEqualsWholeEncoding();
};

void TestPacket::packetRoundTrip()
{
    const Packet p = samplePacket();
    const Packet back = decodePacket(encodePacket(p));
    QCOMPARE(back.fields.size(), p.fields.size());
    for (size_t i = 0; i < p.fields.size(); ++i)
        QVERIFY(back.fields[i] == p.fields[i]);
    QCOMPARE(back.rows.size(), p.rows.size());
    for (size_t r = 0; r < p.rows.size(); ++r)
        for (size_t c = 0; c < p.fields.size(); ++c)
            QVERIFY2(sameValue(back.rows[r][c], p.rows[r][c]), qPrintable(QStringLiteral("row %1 col %2").arg(r).arg(c)));
}

void TestPacket::deltaRoundTrip()
{
    Delta d;
    d.fields = samplePacket().fields;
    const Packet p = samplePacket();
    d.changes = {{ChangeKind::Insert, {}, p.rows[0]},
                 {ChangeKind::Modify, p.rows[1], p.rows[2]},
                 {ChangeKind::Delete, p.rows[2], {}}};
    const Delta back = decodeDelta(encodeDelta(d));
    QCOMPARE(back.changes.size(), size_t(3));
    QCOMPARE(back.changes[0].kind, ChangeKind::Insert);
    QVERIFY(back.changes[0].oldValues.empty());
    QVERIFY(sameValue(back.changes[0].newValues[3], p.rows[0][3]));
    QCOMPARE(back.changes[1].kind, ChangeKind::Modify);
    QVERIFY(sameValue(back.changes[1].oldValues[0], p.rows[1][0]));
    QVERIFY(sameValue(back.changes[1].newValues[1], p.rows[2][1]));
    QCOMPARE(back.changes[2].kind, ChangeKind::Delete);
    QVERIFY(back.changes[2].newValues.empty());
}

void TestPacket::malformedPacket_data()
{
    QTest::addColumn<QByteArray>("bytes");
    auto header = [](QCborStreamWriter &w, int nfields) {
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(nfields);
        for (int i = 0; i < nfields; ++i) {
            w.startArray(3);
            w.append(QStringLiteral("F%1").arg(i));
            w.append(1);
            w.append(4);
            w.endArray();
        }
        w.endArray();
        w.append(QStringLiteral("rows"));
    };
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not a map") << cbor([](QCborStreamWriter &w) { w.append(42); });
    QTest::newRow("json text") << QByteArray("{\"fields\": []}");
    QTest::newRow("forged row count") << QByteArray::fromHex("a2666669656c647380647277777373" "9bffffffffffffff00");
    QTest::newRow("forged string length") << cbor([&](QCborStreamWriter &w) { header(w, 1); w.startArray(1); w.startArray(1); })
                                                 + QByteArray::fromHex("7b7fffffffffffffff41");
    QTest::newRow("row too short") << cbor([&](QCborStreamWriter &w) {
        header(w, 2); w.startArray(1); w.startArray(1); w.append(QStringLiteral("a")); w.endArray(); w.endArray(); w.endMap(); });
    QTest::newRow("string over field size") << cbor([&](QCborStreamWriter &w) {
        header(w, 1); w.startArray(1); w.startArray(1); w.append(QStringLiteral("abcde")); w.endArray(); w.endArray(); w.endMap(); });
    QTest::newRow("number in text field") << cbor([&](QCborStreamWriter &w) {
        header(w, 1); w.startArray(1); w.startArray(1); w.append(3.5); w.endArray(); w.endArray(); w.endMap(); });
    QTest::newRow("unknown field kind") << cbor([](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(1); w.startArray(3);
        w.append(QStringLiteral("X")); w.append(99); w.append(0); w.endArray(); w.endArray();
        w.append(QStringLiteral("rows")); w.startArray(0); w.endArray(); w.endMap(); });
    QTest::newRow("duplicate field") << cbor([](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(2);
        for (int i = 0; i < 2; ++i) { w.startArray(3); w.append(QStringLiteral("X")); w.append(1); w.append(1); w.endArray(); }
        w.endArray(); w.append(QStringLiteral("rows")); w.startArray(0); w.endArray(); w.endMap(); });
    QTest::newRow("indefinite rows") << cbor([&](QCborStreamWriter &w) { header(w, 0); w.startArray(); w.endArray(); w.endMap(); });
    QTest::newRow("trailing bytes") << encodePacket(samplePacket()) + QByteArray(1, '\0');
    QTest::newRow("nan date") << cbor([](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(1); w.startArray(3);
        w.append(QStringLiteral("D")); w.append(2); w.append(0); w.endArray(); w.endArray();
        w.append(QStringLiteral("rows")); w.startArray(1); w.startArray(1); w.append(qQNaN()); w.endArray(); w.endArray(); w.endMap(); });
}

void TestPacket::malformedPacket()
{
    QFETCH(QByteArray, bytes);
    RecordSet set(QStringLiteral("cds"));
    set.addField(QStringLiteral("F0"), FieldKind::String, 4);
    set.open();
    set.insert();
    set.fieldByName(QStringLiteral("F0"))->setAsString(QStringLiteral("keep"));
    set.post();
    QVERIFY_THROWS_EXCEPTION(PacketError, set.loadFromPacket(bytes));
    QCOMPARE(set.recordCount(), 1);
    QCOMPARE(set.value(0, 0).toString(), QStringLiteral("keep"));
    QCOMPARE(set.changeCount(), 1);
}

void TestPacket::malformedDelta_data()
{
    QTest::addColumn<QByteArray>("bytes");
    Delta d;
    d.fields = {{QStringLiteral("A"), FieldKind::String, 3}};
    d.changes = {{ChangeKind::Modify, {QStringLiteral("x")}, {QStringLiteral("y")}}};
    const QByteArray good = encodeDelta(d);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("packet instead of delta") << encodePacket(samplePacket());
    QTest::newRow("truncated") << good.left(good.size() - 2);
    QTest::newRow("bad change kind") << cbor([](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(0); w.endArray();
        w.append(QStringLiteral("changes")); w.startArray(1); w.startArray(3); w.append(7); w.appendNull(); w.appendNull();
        w.endArray(); w.endArray(); w.endMap(); });
    QTest::newRow("insert with old values") << cbor([](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(1); w.startArray(3);
        w.append(QStringLiteral("A")); w.append(1); w.append(3); w.endArray(); w.endArray();
        w.append(QStringLiteral("changes")); w.startArray(1); w.startArray(3); w.append(1);
        w.startArray(1); w.append(QStringLiteral("x")); w.endArray(); w.startArray(1); w.append(QStringLiteral("y")); w.endArray();
        w.endArray(); w.endArray(); w.endMap(); });
}

void TestPacket::malformedDelta()
{
    QFETCH(QByteArray, bytes);
    QVERIFY_THROWS_EXCEPTION(PacketError, decodeDelta(bytes));
}

void TestPacket::textMustBeUtf8_data()
{
    QTest::addColumn<QByteArray>("text"); // the bytes of a text value, as sent
    QTest::addColumn<QString>("decoded"); // what is read back; null: the delta is refused
    QTest::newRow("plain") << QByteArray("abc") << QStringLiteral("abc");
    QTest::newRow("accented") << QByteArray("\xc3\xa9") << QStringLiteral("é");
    QTest::newRow("a real replacement character") << QByteArray("\xef\xbf\xbd") << QStringLiteral("\uFFFD");
    QTest::newRow("stray continuation byte") << QByteArray("a\x80") << QString();
    QTest::newRow("Latin-1 byte") << QByteArray("\xe9") << QString();
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString();
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QString();
    QTest::newRow("cut sequence") << QByteArray("\xe2\x82") << QString();
}

void TestPacket::textMustBeUtf8()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, decoded);
    // A text value of a delta with exactly these bytes.
    const QByteArray placeholder(text.size(), '#');
    QByteArray bytes = cbor([&](QCborStreamWriter &w) {
        w.startMap(2); w.append(QStringLiteral("fields")); w.startArray(1); w.startArray(3);
        w.append(QStringLiteral("A")); w.append(1); w.append(10); w.endArray(); w.endArray();
        w.append(QStringLiteral("changes")); w.startArray(1); w.startArray(3); w.append(1); w.appendNull();
        w.startArray(1); w.append(QString::fromLatin1(placeholder)); w.endArray(); w.endArray(); w.endArray(); w.endMap(); });
    bytes.replace(bytes.indexOf(placeholder), placeholder.size(), text);
    if (decoded.isNull()) {
        QVERIFY_THROWS_EXCEPTION(PacketError, decodeDelta(bytes));
        return;
    }
    QCOMPARE(decodeDelta(bytes).changes.at(0).newValues.at(0).toString(), decoded);
}

void TestPacket::everyTruncationFailsCleanly()
{
    // Whatever prefix of a valid packet arrives, decoding refuses it with a PacketError.
    const QByteArray full = encodePacket(samplePacket());
    for (int n = 0; n < full.size(); ++n) {
        bool refused = false;
        try {
            decodePacket(full.left(n));
        } catch (const PacketError &) {
            refused = true;
        }
        QVERIFY2(refused, qPrintable(QStringLiteral("prefix of %1 bytes accepted").arg(n)));
    }
}

void TestPacket::streamedPacketEqualsWholeEncoding_data()
{
    QTest::addColumn<int>("rows");
    // Row counts on both sides of each CBOR length size.
    for (int n : {0, 1, 23, 24, 255, 256, 70000})
        QTest::addRow("%d rows", n) << n;
}

void TestPacket::streamedPacketEqualsWholeEncoding()
{
    QFETCH(int, rows);
    Packet p;
    p.fields = samplePacket().fields;
    const Packet sample = samplePacket();
    for (int i = 0; i < rows; ++i)
        p.rows.push_back(sample.rows[size_t(i) % sample.rows.size()]);
    PacketWriter w(p.fields);
    for (const RowValues &row : p.rows)
        w.addRow([&row](int i) { return row[size_t(i)]; });
    QCOMPARE(w.rowCount(), quint64(rows));
    const QByteArray streamed = w.finish();
    QCOMPARE(streamed, encodePacket(p));
    QCOMPARE(int(decodePacket(streamed).rows.size()), rows);
}

QTEST_GUILESS_MAIN(TestPacket)
#include "test_packet.moc"
