// kmp-call's reading of command-line arguments and JSON deltas, and its JSON output.

#include "jsonvalues.h"

#include "error.h"

#include <QCborArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace kmp;

class TestCallJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void arguments_data();
    void arguments();
    void deltaFromJson();
    void badDelta_data();
    void badDelta();
    void resultToJson();
};

void TestCallJson::arguments_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QCborValue>("expected");
    QTest::newRow("quoted text keeps leading zeros") << "\"0001\"" << QCborValue(QStringLiteral("0001"));
    QTest::newRow("bare word is text") << "I10" << QCborValue(QStringLiteral("I10"));
    QTest::newRow("bare digits with zeros") << "000000000001" << QCborValue(QStringLiteral("000000000001"));
    QTest::newRow("day count") << "46363" << QCborValue(46363.0);
    QTest::newRow("day count with time") << "46363.5" << QCborValue(46363.5);
    QTest::newRow("empty text") << "\"\"" << QCborValue(QString());
    QTest::newRow("accents") << "\"Hipertensão\"" << QCborValue(QStringLiteral("Hipertensão"));
}

void TestCallJson::arguments()
{
    QFETCH(QString, text);
    QFETCH(QCborValue, expected);
    const QCborValue v = call::argumentFromText(text);
    // Numbers may come back as integer or double; the server takes either for a date.
    if (expected.isDouble())
        QCOMPARE(v.isInteger() ? double(v.toInteger()) : v.toDouble(), expected.toDouble());
    else
        QCOMPARE(v, expected);
}

void TestCallJson::deltaFromJson()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("d.json"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(R"({"fields":[["CDPACIENTE","string",12],["DTCONSPACI",2,0],["DSHISTDOEATU","blob",0],["CDFILIAL","string",4]],
               "changes":[{"kind":"insert","new":["000000000001",46363,"{\\rtf1 a}","0001"]},
                          {"kind":"modify","old":["000000000001",46363,"{\\rtf1 a}","0001"],
                                           "new":["000000000001",46363,{"base64":"AP8="},"0001"]},
                          {"kind":"delete","old":["000000000001",46363,null,"0001"]}]})");
    f.close();
    const QCborValue arg = call::argumentFromText(QLatin1Char('@') + path);
    QVERIFY(arg.isByteArray());
    const Delta d = decodeDelta(arg.toByteArray());
    QCOMPARE(d.fields.size(), size_t(4));
    QCOMPARE(d.fields[1].kind, FieldKind::DateTime);
    QCOMPARE(d.changes.size(), size_t(3));
    QCOMPARE(d.changes[0].kind, ChangeKind::Insert);
    QCOMPARE(d.changes[0].newValues[2].toByteArray(), QByteArray("{\\rtf1 a}"));
    QCOMPARE(d.changes[1].newValues[2].toByteArray(), QByteArray("\x00\xff", 2));
    QCOMPARE(d.changes[2].kind, ChangeKind::Delete);
    QVERIFY(d.changes[2].oldValues[2].isNull());
}

void TestCallJson::badDelta_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("no fields") << QByteArray(R"({"changes":[]})");
    QTest::newRow("unknown kind of field") << QByteArray(R"({"fields":[["A","text",1]],"changes":[]})");
    QTest::newRow("unknown kind of change") << QByteArray(
        R"({"fields":[["A","string",1]],"changes":[{"kind":"upsert","new":["x"]}]})");
    QTest::newRow("row of the wrong length")
        << QByteArray(R"({"fields":[["A","string",1]],"changes":[{"kind":"insert","new":["x","y"]}]})");
    QTest::newRow("text too long for its field")
        << QByteArray(R"({"fields":[["A","string",1]],"changes":[{"kind":"insert","new":["xy"]}]})");
    QTest::newRow("text where a number goes")
        << QByteArray(R"({"fields":[["A","float",0]],"changes":[{"kind":"insert","new":["1"]}]})");
    QTest::newRow("bad base64") << QByteArray(
        R"({"fields":[["A","blob",0]],"changes":[{"kind":"insert","new":[{"base64":"!!"}]}]})");
    QTest::newRow("not JSON") << QByteArray("{fields");
}

void TestCallJson::badDelta()
{
    QFETCH(QByteArray, json);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("d.json"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(json);
    f.close();
    QVERIFY_THROWS_EXCEPTION(kmp::Error, call::argumentFromText(QLatin1Char('@') + path));
}

void TestCallJson::resultToJson()
{
    Packet p;
    p.fields = {{QStringLiteral("CDTIPOLAUDO"), FieldKind::String, 3}, {QStringLiteral("DSPADRLAUDO"), FieldKind::Blob, 0}};
    p.rows = {{QStringLiteral("001"), QByteArray("{\\rtf1}")},
              {QStringLiteral("002"), QByteArray("\xff\xfe", 2)},
              {QStringLiteral("003"), QVariant()}};
    const QJsonValue one = call::resultToJson(QCborValue(encodePacket(p)));
    QCOMPARE(one.toObject().value("fields").toArray().at(0).toArray(), (QJsonArray{"CDTIPOLAUDO", "string", 3}));
    const QJsonArray rows = one.toObject().value("rows").toArray();
    QCOMPARE(rows.at(0).toArray().at(1).toString(), QStringLiteral("{\\rtf1}"));
    QCOMPARE(rows.at(1).toArray().at(1).toObject().value("base64").toString(), QStringLiteral("//4="));
    QVERIFY(rows.at(2).toArray().at(1).isNull());
    const QJsonValue many = call::resultToJson(QCborArray{QCborValue(encodePacket(p)), QCborValue(encodePacket(p))});
    QCOMPARE(many.toArray().size(), 2);
    QVERIFY(call::resultToJson(QCborValue(nullptr)).isNull());
}

QTEST_GUILESS_MAIN(TestCallJson)
#include "tst_calljson.moc"
