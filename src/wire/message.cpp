#include "message.h"

#include "error.h"

#include <QCborMap>
#include <zstd.h>

namespace kmp::wire {

namespace {

QCborMap parseMap(const QByteArray &body, const char *what)
{
    QCborParserError err;
    const QCborValue v = QCborValue::fromCbor(body, &err);
    if (err.error != QCborError::NoError)
        throw PacketError(QStringLiteral("%1 ilegível: %2").arg(QLatin1String(what), err.errorString()));
    if (err.offset != body.size())
        throw PacketError(QStringLiteral("%1 com bytes a mais").arg(QLatin1String(what)));
    if (!v.isMap())
        throw PacketError(QStringLiteral("%1 não é um mapa").arg(QLatin1String(what)));
    return v.toMap();
}

QString text(const QCborMap &m, const char *key, const char *what)
{
    const QCborValue v = m.value(QLatin1String(key));
    if (!v.isString())
        throw PacketError(QStringLiteral("%1 sem \"%2\"").arg(QLatin1String(what), QLatin1String(key)));
    return v.toString();
}

qint64 integer(const QCborMap &m, const char *key, const char *what)
{
    const QCborValue v = m.value(QLatin1String(key));
    if (!v.isInteger())
        throw PacketError(QStringLiteral("%1 sem \"%2\"").arg(QLatin1String(what), QLatin1String(key)));
    return v.toInteger();
}

const QString kZstd = QStringLiteral("zstd");

} // namespace

// Level 3: on the catalogue it takes a few milliseconds and cuts the bytes by about five;
// higher levels save little more for much more time on every call.
QByteArray compressZstd(const QByteArray &plain)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(plain.size()))), Qt::Uninitialized);
    ZSTD_CCtx *ctx = ZSTD_createCCtx();
    if (!ctx)
        return {};
    // The content size goes into the frame header (so the reader can check it before
    // allocating) and a checksum at the end (so damage is refused, not decoded).
    ZSTD_CCtx_setParameter(ctx, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(ctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(ctx, ZSTD_c_contentSizeFlag, 1);
    const size_t n = ZSTD_compress2(ctx, out.data(), size_t(out.size()), plain.constData(), size_t(plain.size()));
    ZSTD_freeCCtx(ctx);
    if (ZSTD_isError(n))
        return {};
    out.truncate(qsizetype(n));
    return out;
}

QByteArray decompressZstd(const QByteArray &packed, qsizetype maxBytes)
{
    const unsigned long long size = ZSTD_getFrameContentSize(packed.constData(), size_t(packed.size()));
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN)
        throw PacketError(QStringLiteral("dados comprimidos ilegíveis"));
    if (size > (unsigned long long)maxBytes)
        throw PacketError(QStringLiteral("dados comprimidos de %1 bytes excedem o limite de %2 bytes").arg(size).arg(maxBytes));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    const size_t n = ZSTD_decompress(out.data(), size_t(out.size()), packed.constData(), size_t(packed.size()));
    if (ZSTD_isError(n) || n != size)
        throw PacketError(QStringLiteral("dados comprimidos corrompidos (%1)")
                              .arg(QString::fromUtf8(ZSTD_isError(n) ? ZSTD_getErrorName(n) : "tamanho errado")));
    return out;
}

Response Response::success(qint64 id, QCborValue result)
{
    Response r;
    r.id = id;
    r.ok = true;
    r.result = std::move(result);
    return r;
}

Response Response::failure(qint64 id, ErrorCode code, const QString &message)
{
    Response r;
    r.id = id;
    r.ok = false;
    r.errorCode = int(code);
    r.errorMessage = message;
    return r;
}

QByteArray encodeRequest(const Request &request)
{
    QCborMap m;
    m.insert(QLatin1String("id"), request.id);
    m.insert(QLatin1String("module"), request.module);
    m.insert(QLatin1String("guid"), request.guid);
    m.insert(QLatin1String("method"), request.method);
    m.insert(QLatin1String("args"), request.args);
    if (request.acceptsZstd)
        m.insert(QLatin1String("accept"), QCborArray{kZstd});
    return m.toCborValue().toCbor();
}

Request decodeRequest(const QByteArray &body)
{
    const QCborMap m = parseMap(body, "pedido");
    Request r;
    r.id = integer(m, "id", "pedido");
    r.module = text(m, "module", "pedido");
    r.guid = text(m, "guid", "pedido");
    r.method = text(m, "method", "pedido");
    const QCborValue args = m.value(QLatin1String("args"));
    if (!args.isArray())
        throw PacketError(QStringLiteral("pedido sem \"args\""));
    r.args = args.toArray();
    // Optional: anything but a list naming "zstd" means plain responses.
    r.acceptsZstd = m.value(QLatin1String("accept")).toArray().contains(QCborValue(kZstd));
    return r;
}

QByteArray encodeResponse(const Response &response)
{
    QCborMap m;
    m.insert(QLatin1String("id"), response.id);
    m.insert(QLatin1String("ok"), response.ok);
    if (response.ok) {
        m.insert(QLatin1String("result"), response.result);
    } else {
        QCborMap e;
        e.insert(QLatin1String("code"), response.errorCode);
        e.insert(QLatin1String("message"), response.errorMessage);
        m.insert(QLatin1String("error"), e);
    }
    QByteArray plain = m.toCborValue().toCbor();
    if (!response.acceptsZstd || plain.size() < CompressFromBytes)
        return plain;
    QByteArray packed = compressZstd(plain);
    if (packed.isEmpty() || packed.size() >= plain.size())
        return plain;
    QCborMap envelope;
    envelope.insert(QLatin1String("enc"), kZstd);
    envelope.insert(QLatin1String("body"), packed);
    return envelope.toCborValue().toCbor();
}

Response decodeResponse(const QByteArray &body, qsizetype maxBytes)
{
    QCborMap m = parseMap(body, "resposta");
    const QCborValue enc = m.value(QLatin1String("enc"));
    if (!enc.isUndefined()) {
        const QCborValue packed = m.value(QLatin1String("body"));
        if (enc.toString() != kZstd || !packed.isByteArray())
            throw PacketError(QStringLiteral("resposta com codificação desconhecida"));
        m = parseMap(decompressZstd(packed.toByteArray(), maxBytes), "resposta");
        if (!m.value(QLatin1String("enc")).isUndefined())
            throw PacketError(QStringLiteral("resposta comprimida duas vezes"));
    }
    Response r;
    r.id = integer(m, "id", "resposta");
    const QCborValue ok = m.value(QLatin1String("ok"));
    if (!ok.isBool())
        throw PacketError(QStringLiteral("resposta sem \"ok\""));
    r.ok = ok.toBool();
    if (r.ok) {
        r.result = m.value(QLatin1String("result"));
    } else {
        const QCborValue e = m.value(QLatin1String("error"));
        if (!e.isMap())
            throw PacketError(QStringLiteral("resposta de erro sem \"error\""));
        r.errorCode = int(e.toMap().value(QLatin1String("code")).toInteger());
        r.errorMessage = e.toMap().value(QLatin1String("message")).toString();
        if (r.errorMessage.isEmpty())
            r.errorMessage = QStringLiteral("O servidor recusou o pedido (código %1).").arg(r.errorCode);
    }
    return r;
}

} // namespace kmp::wire
