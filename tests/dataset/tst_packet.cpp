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
    void loadedTextMatchesDecodedText_data();
    void loadedTextMatchesDecodedText();
    void loadMapsOtherFieldLayouts_data();
    void loadMapsOtherFieldLayouts();
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
    d.changes = {
        {ChangeKind::Insert, {}, p.rows[0]}, {ChangeKind::Modify, p.rows[1], p.rows[2]}, {ChangeKind::Delete, p.rows[2], {}}};
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
    QTest::newRow("forged row count") << QByteArray::fromHex("a2666669656c647380647277777373"
                                                             "9bffffffffffffff00");
    QTest::newRow("forged string length") << cbor([&](QCborStreamWriter &w) {
                                                 header(w, 1);
                                                 w.startArray(1);
                                                 w.startArray(1);
                                             }) + QByteArray::fromHex("7b7fffffffffffffff41");
    QTest::newRow("row too short") << cbor([&](QCborStreamWriter &w) {
        header(w, 2);
        w.startArray(1);
        w.startArray(1);
        w.append(QStringLiteral("a"));
        w.endArray();
        w.endArray();
        w.endMap();
    });
    QTest::newRow("string over field size") << cbor([&](QCborStreamWriter &w) {
        header(w, 1);
        w.startArray(1);
        w.startArray(1);
        w.append(QStringLiteral("abcde"));
        w.endArray();
        w.endArray();
        w.endMap();
    });
    QTest::newRow("number in text field") << cbor([&](QCborStreamWriter &w) {
        header(w, 1);
        w.startArray(1);
        w.startArray(1);
        w.append(3.5);
        w.endArray();
        w.endArray();
        w.endMap();
    });
    QTest::newRow("unknown field kind") << cbor([](QCborStreamWriter &w) {
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(1);
        w.startArray(3);
        w.append(QStringLiteral("X"));
        w.append(99);
        w.append(0);
        w.endArray();
        w.endArray();
        w.append(QStringLiteral("rows"));
        w.startArray(0);
        w.endArray();
        w.endMap();
    });
    QTest::newRow("duplicate field") << cbor([](QCborStreamWriter &w) {
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(2);
        for (int i = 0; i < 2; ++i) {
            w.startArray(3);
            w.append(QStringLiteral("X"));
            w.append(1);
            w.append(1);
            w.endArray();
        }
        w.endArray();
        w.append(QStringLiteral("rows"));
        w.startArray(0);
        w.endArray();
        w.endMap();
    });
    QTest::newRow("indefinite rows") << cbor([&](QCborStreamWriter &w) {
        header(w, 0);
        w.startArray();
        w.endArray();
        w.endMap();
    });
    QTest::newRow("trailing bytes") << encodePacket(samplePacket()) + QByteArray(1, '\0');
    QTest::newRow("nan date") << cbor([](QCborStreamWriter &w) {
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(1);
        w.startArray(3);
        w.append(QStringLiteral("D"));
        w.append(2);
        w.append(0);
        w.endArray();
        w.endArray();
        w.append(QStringLiteral("rows"));
        w.startArray(1);
        w.startArray(1);
        w.append(qQNaN());
        w.endArray();
        w.endArray();
        w.endMap();
    });
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
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(0);
        w.endArray();
        w.append(QStringLiteral("changes"));
        w.startArray(1);
        w.startArray(3);
        w.append(7);
        w.appendNull();
        w.appendNull();
        w.endArray();
        w.endArray();
        w.endMap();
    });
    QTest::newRow("insert with old values") << cbor([](QCborStreamWriter &w) {
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(1);
        w.startArray(3);
        w.append(QStringLiteral("A"));
        w.append(1);
        w.append(3);
        w.endArray();
        w.endArray();
        w.append(QStringLiteral("changes"));
        w.startArray(1);
        w.startArray(3);
        w.append(1);
        w.startArray(1);
        w.append(QStringLiteral("x"));
        w.endArray();
        w.startArray(1);
        w.append(QStringLiteral("y"));
        w.endArray();
        w.endArray();
        w.endArray();
        w.endMap();
    });
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
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(1);
        w.startArray(3);
        w.append(QStringLiteral("A"));
        w.append(1);
        w.append(10);
        w.endArray();
        w.endArray();
        w.append(QStringLiteral("changes"));
        w.startArray(1);
        w.startArray(3);
        w.append(1);
        w.appendNull();
        w.startArray(1);
        w.append(QString::fromLatin1(placeholder));
        w.endArray();
        w.endArray();
        w.endArray();
        w.endMap();
    });
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
#include "tst_packet.moc"

namespace {

// A one-field, one-row packet whose text value is the given bytes, as a peer might send
// them (not necessarily sound UTF-8).
QByteArray packetWithText(const QByteArray &utf8, int size)
{
    QByteArray out;
    {
        QCborStreamWriter w(&out);
        w.startMap(2);
        w.append(QStringLiteral("fields"));
        w.startArray(1);
        w.startArray(3);
        w.append(QStringLiteral("NMDIAGNOST"));
        w.append(1);
        w.append(size);
        w.endArray();
        w.endArray();
        w.append(QStringLiteral("rows"));
        w.startArray(1);
        w.startArray(1);
        w.appendTextString(utf8.constData(), utf8.size());
        w.endArray();
        w.endArray();
        w.endMap();
    }
    return out;
}

} // namespace

void TestPacket::loadedTextMatchesDecodedText_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fits"); // false: both refuse it
    QTest::newRow("ascii") << QByteArray("Colera") << 6 << true;
    QTest::newRow("accents at the limit") << QStringLiteral("Cólera ação").toUtf8() << 11 << true;
    QTest::newRow("accents one over") << QStringLiteral("Cólera ação!").toUtf8() << 11 << false;
    QTest::newRow("emoji counts two") << QStringLiteral("a\U0001F600").toUtf8() << 3 << true;
    QTest::newRow("emoji over the limit") << QStringLiteral("ab\U0001F600").toUtf8() << 3 << false;
    QTest::newRow("empty") << QByteArray("") << 5 << true;
    QTest::newRow("replacement character typed") << QStringLiteral("a\uFFFDb").toUtf8() << 5 << true;
    QTest::newRow("byte-order mark first") << QByteArray("\xef\xbb\xbfI10") << 5 << true;
    QTest::newRow("noncharacter") << QByteArray("\xef\xbf\xbfz") << 5 << true;
    QTest::newRow("cut sequence") << QByteArray("ab\xc3") << 5 << false;
    QTest::newRow("overlong slash") << QByteArray("a\xc0\xafz") << 5 << false;
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80x") << 5 << false;
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << 5 << false;
    QTest::newRow("stray continuation") << QByteArray("\x80\x80") << 5 << false;
    QTest::newRow("Latin-1, not UTF-8") << QByteArray("C\xf3lera") << 10 << false;
}

// A record set loads text straight from the packet's bytes; whatever the bytes, it must
// read back as the packet decoder reads it, refuse what the decoder refuses (too long, not
// UTF-8), and be found by locate under the text it shows.
void TestPacket::loadedTextMatchesDecodedText()
{
    QFETCH(QByteArray, utf8);
    QFETCH(int, size);
    QFETCH(bool, fits);
    const QByteArray bytes = packetWithText(utf8, size);
    RecordSet set(QStringLiteral("cdsDiagnost"));
    if (!fits) {
        QVERIFY_THROWS_EXCEPTION(PacketError, decodePacket(bytes));
        QVERIFY_THROWS_EXCEPTION(PacketError, set.loadFromPacket(bytes));
        return;
    }
    const QString decoded = decodePacket(bytes).rows.at(0).at(0).toString();
    set.loadFromPacket(bytes);
    QCOMPARE(set.value(0, 0).toString(), decoded);
    QCOMPARE(set.value(0, 0).isNull(), false);
    set.append();
    set.fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("x"));
    set.post();
    QVERIFY(set.locate(QStringLiteral("NMDIAGNOST"), decoded));
    QCOMPARE(set.currentRow(), 0);
    // The text goes out again as the decoder read it.
    QCOMPARE(decodePacket(set.toPacket()).rows.at(0).at(0).toString(), decoded);
}

void TestPacket::loadMapsOtherFieldLayouts_data()
{
    QTest::addColumn<QStringList>("declared"); // name:kind:size, kind s/d/f/b
    QTest::addColumn<bool>("loads");
    QTest::newRow("same layout") << QStringList{"CDDIAGNOST:s:10", "DTCONSPACI:d:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"} << true;
    QTest::newRow("other order") << QStringList{"DSTEXTO:b:0", "NRSEQUENCIA:f:0", "CDDIAGNOST:s:10", "DTCONSPACI:d:0"} << true;
    QTest::newRow("fewer fields") << QStringList{"NRSEQUENCIA:f:0", "CDDIAGNOST:s:10"} << true;
    QTest::newRow("wider text") << QStringList{"CDDIAGNOST:s:40", "DTCONSPACI:d:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"} << true;
    QTest::newRow("narrower text that still fits")
        << QStringList{"CDDIAGNOST:s:3", "DTCONSPACI:d:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"} << true;
    QTest::newRow("narrower text that does not")
        << QStringList{"CDDIAGNOST:s:2", "DTCONSPACI:d:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"} << false;
    QTest::newRow("date declared as float") << QStringList{"CDDIAGNOST:s:10", "DTCONSPACI:f:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"}
                                            << true;
    QTest::newRow("lower-case names") << QStringList{"cddiagnost:s:10", "dtconspaci:d:0", "nrsequencia:f:0", "dstexto:b:0"}
                                      << true;
    QTest::newRow("text declared as blob") << QStringList{"CDDIAGNOST:b:0", "DTCONSPACI:d:0", "NRSEQUENCIA:f:0", "DSTEXTO:b:0"}
                                           << false;
    QTest::newRow("missing field") << QStringList{"CDDIAGNOST:s:10", "NMDIAGNOST:s:100"} << false;
}

// Whatever the declared layout, each field holds the packet's value of the field of its
// name; a layout that cannot take the packet leaves the set as it was.
void TestPacket::loadMapsOtherFieldLayouts()
{
    QFETCH(QStringList, declared);
    QFETCH(bool, loads);
    const Packet p = samplePacket();
    RecordSet set(QStringLiteral("cds"));
    for (const QString &d : declared) {
        const QStringList parts = d.split(QLatin1Char(':'));
        const FieldKind kind = parts[1] == QLatin1String("s")   ? FieldKind::String
                               : parts[1] == QLatin1String("d") ? FieldKind::DateTime
                               : parts[1] == QLatin1String("f") ? FieldKind::Float
                                                                : FieldKind::Blob;
        set.addField(parts[0], kind, parts[2].toInt());
    }
    if (!loads) {
        QVERIFY_THROWS_EXCEPTION(Error, set.loadFromPacket(encodePacket(p)));
        QVERIFY(!set.isActive());
        return;
    }
    set.loadFromPacket(encodePacket(p));
    QCOMPARE(set.recordCount(), int(p.rows.size()));
    for (int f = 0; f < set.fieldCount(); ++f) {
        size_t source = 0;
        while (p.fields[source].name.compare(set.field(f)->fieldName(), Qt::CaseInsensitive) != 0)
            ++source;
        for (int r = 0; r < set.recordCount(); ++r)
            QVERIFY2(sameValue(set.value(r, f), p.rows[size_t(r)][source]),
                     qPrintable(QStringLiteral("row %1, field %2").arg(r).arg(set.field(f)->fieldName())));
    }
}
