// Compressed responses: who gets them, what they decode to, and what a damaged or
// oversized one does to the reader.

#include "error.h"
#include "message.h"

#include <QCborArray>
#include <QCborMap>
#include <QRandomGenerator>
#include <QTest>

using namespace kmp;
using namespace kmp::wire;

namespace {

// Text that compresses as a catalogue does (repeated words), of about n bytes.
QByteArray catalogueLike(qsizetype n)
{
    static const char *words[] = {"Infecção ",  "intestinal ", "devida ",       "a ",      "outras ",
                                  "bactérias ", "não ",        "especificada ", "Cólera ", "A000;"};
    QByteArray out;
    QRandomGenerator rng(12800);
    while (out.size() < n)
        out += words[rng.bounded(10)];
    return out.left(n);
}

bool isEnvelope(const QByteArray &body)
{
    return QCborValue::fromCbor(body).toMap().contains(QLatin1String("enc"));
}

QByteArray envelope(const QCborValue &enc, const QCborValue &packed)
{
    QCborMap m;
    m.insert(QLatin1String("enc"), enc);
    m.insert(QLatin1String("body"), packed);
    return m.toCborValue().toCbor();
}

} // namespace

class TestWireCompression : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void responseRoundTrip_data();
    void responseRoundTrip();
    void acceptAnnouncement_data();
    void acceptAnnouncement();
    void badCompressedResponse_data();
    void badCompressedResponse();
};

void TestWireCompression::responseRoundTrip_data()
{
    QTest::addColumn<bool>("accepts");
    QTest::addColumn<qsizetype>("payloadBytes");
    QTest::addColumn<bool>("compressed");
    QTest::newRow("old client, large packet") << false << qsizetype(1 << 20) << false;
    QTest::newRow("new client, small packet") << true << qsizetype(500) << false;
    QTest::newRow("new client, just under the threshold") << true << CompressFromBytes - 64 << false;
    QTest::newRow("new client, large packet") << true << qsizetype(1 << 20) << true;
    QTest::newRow("new client, empty result") << true << qsizetype(0) << false;
}

// Whatever form it travels in, a response decodes to the same thing.
void TestWireCompression::responseRoundTrip()
{
    QFETCH(bool, accepts);
    QFETCH(qsizetype, payloadBytes);
    QFETCH(bool, compressed);
    const QByteArray payload = catalogueLike(payloadBytes);
    Response r = Response::success(42, QCborArray{QCborValue(payload), QStringLiteral("ação")});
    r.acceptsZstd = accepts;
    const QByteArray body = encodeResponse(r);
    QCOMPARE(isEnvelope(body), compressed);
    if (compressed)
        QVERIFY2(body.size() * 3 < payload.size(), qPrintable(QString::number(body.size())));
    const Response back = decodeResponse(body);
    QCOMPARE(back.id, 42);
    QVERIFY(back.ok);
    QCOMPARE(back.result.toArray().at(0).toByteArray(), payload);
    QCOMPARE(back.result.toArray().at(1).toString(), QStringLiteral("ação"));

    // Errors are small and never compressed, but decode the same either way.
    Response e = Response::failure(7, ErrorCode::Conflict, QStringLiteral("Diagnóstico já cadastrado."));
    e.acceptsZstd = accepts;
    const Response eb = decodeResponse(encodeResponse(e));
    QVERIFY(!eb.ok);
    QCOMPARE(eb.errorCode, int(ErrorCode::Conflict));
    QCOMPARE(eb.errorMessage, QStringLiteral("Diagnóstico já cadastrado."));
}

void TestWireCompression::acceptAnnouncement_data()
{
    QTest::addColumn<QCborValue>("accept");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("absent") << QCborValue() << false;
    QTest::newRow("zstd") << QCborValue(QCborArray{QStringLiteral("zstd")}) << true;
    QTest::newRow("zstd among others") << QCborValue(QCborArray{QStringLiteral("br"), QStringLiteral("zstd")}) << true;
    QTest::newRow("only unknown ones") << QCborValue(QCborArray{QStringLiteral("gzip")}) << false;
    QTest::newRow("text instead of a list") << QCborValue(QStringLiteral("zstd")) << false;
    QTest::newRow("empty list") << QCborValue(QCborArray{}) << false;
}

// The server reads the announcement leniently: anything it does not understand means
// plain responses, never a refused request.
void TestWireCompression::acceptAnnouncement()
{
    QFETCH(QCborValue, accept);
    QFETCH(bool, accepted);
    QCborMap m;
    m.insert(QLatin1String("id"), 3);
    m.insert(QLatin1String("module"), QStringLiteral("KMP12800.rdmDiagPaci"));
    m.insert(QLatin1String("guid"), QStringLiteral("{E745E5A3-3517-4D2D-89BC-017B5494498E}"));
    m.insert(QLatin1String("method"), QStringLiteral("GetDiagnost"));
    m.insert(QLatin1String("args"), QCborArray{});
    if (!accept.isUndefined())
        m.insert(QLatin1String("accept"), accept);
    const Request r = decodeRequest(m.toCborValue().toCbor());
    QCOMPARE(r.acceptsZstd, accepted);
    QCOMPARE(r.method, QStringLiteral("GetDiagnost"));

    // And what a client encodes comes back the same.
    Request out;
    out.method = QStringLiteral("GetDiagnost");
    out.acceptsZstd = accepted;
    QCOMPARE(decodeRequest(encodeRequest(out)).acceptsZstd, accepted);
}

void TestWireCompression::badCompressedResponse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qsizetype>("maxBytes");
    Response big = Response::success(1, QCborValue(catalogueLike(200000)));
    big.acceptsZstd = true;
    const QByteArray good = encodeResponse(big);
    const QByteArray packed = QCborValue::fromCbor(good).toMap().value(QLatin1String("body")).toByteArray();
    QByteArray flipped = packed;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x20);
    QByteArray badChecksum = packed;
    badChecksum[badChecksum.size() - 1] = char(badChecksum[badChecksum.size() - 1] ^ 0x01);
    const QByteArray nested = envelope(QStringLiteral("zstd"), compressZstd(good));
    const QByteArray notCbor = envelope(QStringLiteral("zstd"), compressZstd(QByteArray(20000, '\xff')));

    QTest::newRow("byte flipped inside") << envelope(QStringLiteral("zstd"), flipped) << qsizetype(1 << 26);
    QTest::newRow("checksum damaged") << envelope(QStringLiteral("zstd"), badChecksum) << qsizetype(1 << 26);
    QTest::newRow("cut short") << envelope(QStringLiteral("zstd"), packed.left(packed.size() - 100)) << qsizetype(1 << 26);
    QTest::newRow("not zstd at all") << envelope(QStringLiteral("zstd"), QByteArray(300, 'x')) << qsizetype(1 << 26);
    QTest::newRow("unknown encoding") << envelope(QStringLiteral("gzip"), packed) << qsizetype(1 << 26);
    QTest::newRow("body as text") << envelope(QStringLiteral("zstd"), QStringLiteral("abc")) << qsizetype(1 << 26);
    QTest::newRow("expands past the limit") << good << qsizetype(100000);
    QTest::newRow("compressed twice") << nested << qsizetype(1 << 26);
    QTest::newRow("expands to garbage") << notCbor << qsizetype(1 << 26);
}

// A damaged or hostile compressed response is refused as unreadable, never decoded into
// something else and never allowed to allocate beyond the limit.
void TestWireCompression::badCompressedResponse()
{
    QFETCH(QByteArray, body);
    QFETCH(qsizetype, maxBytes);
    QVERIFY_THROWS_EXCEPTION(PacketError, decodeResponse(body, maxBytes));
}

QTEST_GUILESS_MAIN(TestWireCompression)
#include "tst_wirecompression.moc"
