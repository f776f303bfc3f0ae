// Feeds arbitrary bytes to what a connection runs for each request, without a network:
// the frame reader, the request decoder and the dispatcher with its store over an
// in-memory SQLite database holding the demo data. Nothing may crash, hang, or let an
// exception escape; every frame must get a response that encodes, and every packet a
// load returns must decode.

#include "auth.h"
#include "dbconnection.h"
#include "demodata.h"
#include "dispatcher.h"
#include "error.h"
#include "frame.h"
#include "message.h"
#include "packet.h"
#include "schema.h"
#include "store.h"

#include <QCborArray>
#include <QCoreApplication>
#include <cstdint>
#include <memory>

namespace {

struct Fixture
{
    Fixture()
        : db(kmp::server::DatabaseConfig::parse(QStringLiteral("sqlite::memory:"))), store(db),
          dispatcher([this]() -> kmp::server::Store & { return store; })
    {
        kmp::server::loadDemo(db);
    }
    kmp::server::DbConnection db;
    kmp::server::Store store;
    kmp::server::Dispatcher dispatcher;
};

Fixture &fixture()
{
    static int argc = 1;
    static char name[] = "fuzz_server";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Fixture f;
    return f;
}

void answer(const QByteArray &body)
{
    const kmp::wire::Response r = fixture().dispatcher.handleBody(body);
    // Every response must encode and read back with the same id and outcome.
    const kmp::wire::Response back = kmp::wire::decodeResponse(kmp::wire::encodeResponse(r));
    if (back.id != r.id || back.ok != r.ok)
        __builtin_trap();
    // A successful load returns packets the client can read; decodePacket throws (and the
    // fuzzer reports it) on anything else.
    if (r.ok && r.result.isByteArray())
        (void)kmp::decodePacket(r.result.toByteArray());
    if (r.ok && r.result.isArray())
        for (const QCborValue &v : r.result.toArray())
            (void)kmp::decodePacket(v.toByteArray());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fixture();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // As framed stream, split in two reads at a point the input chooses, as TCP may split it.
    kmp::wire::FrameReader reader(1u << 20);
    const qsizetype cut = size ? qsizetype(data[0]) % (bytes.size() + 1) : 0;
    reader.append(bytes.left(cut));
    while (auto body = reader.next())
        answer(*body);
    reader.append(bytes.mid(cut));
    while (auto body = reader.next())
        answer(*body);
    // And as one bare request body, so the decoder sees every input directly too.
    answer(bytes);
    // What a server with a key file reads first: the answer to its challenge. Whatever it
    // is, it must decode or be refused, never crash.
    if (const auto a = kmp::wire::auth::decodeAnswer(bytes))
        (void)kmp::wire::auth::isValidKeyName(a->keyName);
    (void)kmp::wire::auth::decodeChallenge(bytes);
    return 0;
}
