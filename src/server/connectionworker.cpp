#include "connectionworker.h"

#include "dbconnection.h"
#include "dispatcher.h"
#include "frame.h"
#include "serviceerror.h"
#include "store.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <memory>

namespace kmp::server {

namespace {

// Waits until everything written has left, bounded so that a client that stops reading
// cannot hold the thread for ever.
bool flush(QTcpSocket &socket)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesToWrite() > 0) {
        if (timer.elapsed() > 60000 || !socket.waitForBytesWritten(1000)) {
            if (socket.state() != QAbstractSocket::ConnectedState || timer.elapsed() > 60000)
                return false;
        }
    }
    return true;
}

} // namespace

void ConnectionWorker::run(qintptr socketDescriptor, const std::atomic<bool> &stop)
{
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(socketDescriptor)) {
        m_settings.log(QStringLiteral("conexão #%1 recusada: %2").arg(m_number).arg(socket.errorString()));
        return;
    }
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString peer = QStringLiteral("%1:%2").arg(socket.peerAddress().toString()).arg(socket.peerPort());
    m_settings.log(QStringLiteral("conexão #%1 aberta de %2").arg(m_number).arg(peer));

    std::unique_ptr<DbConnection> db;
    std::unique_ptr<Store> store;
    Dispatcher dispatcher([&]() -> Store & {
        if (db && db->isBroken()) {
            store.reset();
            db.reset();
        }
        if (!db) {
            db = std::make_unique<DbConnection>(m_settings.database);
            store = std::make_unique<Store>(*db);
        }
        return *store;
    });
    // Only the first line of a refusal goes to the log: database drivers may add detail
    // lines that quote the row, and patient data stays out of logs.
    dispatcher.onRefused = [&](const wire::Request &req, const wire::Response &resp) {
        m_settings.log(QStringLiteral("conexão #%1: pedido %2 (%3) recusado: %4 %5")
                           .arg(m_number)
                           .arg(req.id)
                           .arg(req.method.left(40).isEmpty() ? QStringLiteral("?") : req.method.left(40))
                           .arg(resp.errorCode)
                           .arg(resp.errorMessage.section(QLatin1Char('\n'), 0, 0)));
    };

    wire::FrameReader reader(m_settings.maxFrame);
    QString why = QStringLiteral("cliente desconectou");
    quint64 served = 0;
    while (!stop.load()) {
        if (!socket.waitForReadyRead(250)) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
            continue;
        }
        reader.append(socket.readAll());
        bool broken = false;
        while (auto body = reader.next()) {
            const wire::Response response = dispatcher.handleBody(*body);
            ++served;
            socket.write(wire::frame(wire::encodeResponse(response)));
            if (!flush(socket)) {
                broken = true;
                why = QStringLiteral("cliente parou de ler");
                break;
            }
        }
        if (reader.isBroken()) {
            // The stream cannot be resynchronised after an oversized length: answer once,
            // then close.
            const auto r = wire::Response::failure(
                0, wire::ErrorCode::TooLarge,
                QStringLiteral("Mensagem de %1 bytes excede o limite de %2 bytes.").arg(reader.brokenLength()).arg(m_settings.maxFrame));
            m_settings.log(QStringLiteral("conexão #%1: pedido recusado: %2 %3").arg(m_number).arg(r.errorCode).arg(r.errorMessage));
            socket.write(wire::frame(wire::encodeResponse(r)));
            flush(socket);
            why = QStringLiteral("mensagem grande demais");
            broken = true;
        }
        if (broken)
            break;
    }
    if (stop.load())
        why = QStringLiteral("servidor encerrando");
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    store.reset();
    db.reset();
    m_settings.log(QStringLiteral("conexão #%1 fechada (%2; %3 pedidos)").arg(m_number).arg(why).arg(served));
}

} // namespace kmp::server
