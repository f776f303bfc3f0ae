#pragma once

#include <QCborArray>
#include <QCborValue>
#include <QString>

namespace kmp::wire {

// A call of a remote method. Arguments are CBOR values: text, numbers (dates as the
// day-count double) and byte strings (deltas).
struct Request
{
    qint64 id = 0;
    QString module;
    QString guid;
    QString method;
    QCborArray args;
};

// Error codes carried by a failed response.
enum class ErrorCode : int {
    BadRequest = 400,     // malformed message, wrong argument count or type
    Unauthorized = 401,
    UnknownModule = 404,
    UnknownMethod = 405,
    Conflict = 409,       // the row changed since it was loaded, or a duplicate key
    TooLarge = 413,
    Invalid = 422,        // a value refused by the data rules (too long, missing key)
    Internal = 500,
    Unavailable = 503,
};

struct Response
{
    qint64 id = 0;
    bool ok = false;
    QCborValue result;   // a packet (byte string), an array of packets, or null
    int errorCode = 0;
    QString errorMessage;

    static Response success(qint64 id, QCborValue result);
    static Response failure(qint64 id, ErrorCode code, const QString &message);
};

QByteArray encodeRequest(const Request &request);
// Throws kmp::PacketError on a body that is not a well-formed request.
Request decodeRequest(const QByteArray &body);

QByteArray encodeResponse(const Response &response);
// Throws kmp::PacketError on a body that is not a well-formed response.
Response decodeResponse(const QByteArray &body);

} // namespace kmp::wire
