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
    // The client reads zstd-compressed responses. Sent as "accept": ["zstd"]; a server
    // that does not know the key ignores it, and a client that does not send it always
    // gets plain responses.
    bool acceptsZstd = false;
};

// Error codes carried by a failed response.
enum class ErrorCode : int {
    BadRequest = 400, // malformed message, wrong argument count or type
    Unauthorized = 401,
    UnknownModule = 404,
    UnknownMethod = 405,
    Conflict = 409, // the row changed since it was loaded, or a duplicate key
    TooLarge = 413,
    Invalid = 422, // a value refused by the data rules (too long, missing key)
    Internal = 500,
    Unavailable = 503,
};

struct Response
{
    qint64 id = 0;
    bool ok = false;
    QCborValue result; // a packet (byte string), an array of packets, or null
    int errorCode = 0;
    QString errorMessage;
    // Whether the peer reads compressed responses (taken from its request); a response
    // larger than CompressFromBytes is then sent compressed.
    bool acceptsZstd = false;

    static Response success(qint64 id, QCborValue result);
    static Response failure(qint64 id, ErrorCode code, const QString &message);
};

// Responses at least this large are compressed for a client that accepts it: below it
// the saving on any link is smaller than the cost.
constexpr qsizetype CompressFromBytes = 8 * 1024;

QByteArray encodeRequest(const Request &request);
// Throws kmp::PacketError on a body that is not a well-formed request.
Request decodeRequest(const QByteArray &body);

// zstd with the content size in the header and a checksum at the end. compressZstd gives an
// empty array if compression fails; decompressZstd throws kmp::PacketError on damaged
// input or content larger than maxBytes (checked before anything is allocated).
QByteArray compressZstd(const QByteArray &plain);
QByteArray decompressZstd(const QByteArray &packed, qsizetype maxBytes);

// A compressed response is the CBOR map {"enc": "zstd", "body": <compressed response>}.
QByteArray encodeResponse(const Response &response);
// Throws kmp::PacketError on a body that is not a well-formed response, and on a
// compressed one that is corrupt or would expand beyond maxBytes.
Response decodeResponse(const QByteArray &body, qsizetype maxBytes = 64 * 1024 * 1024);

} // namespace kmp::wire
