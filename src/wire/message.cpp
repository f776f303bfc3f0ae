#include "message.h"

#include "error.h"

#include <QCborMap>

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

} // namespace

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
    return m.toCborValue().toCbor();
}

Response decodeResponse(const QByteArray &body)
{
    const QCborMap m = parseMap(body, "resposta");
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
