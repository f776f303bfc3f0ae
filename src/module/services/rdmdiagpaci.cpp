#include "rdmdiagpaci.h"

#include "cataloguecache.h"
#include "consiste.h"
#include "error.h"
#include "tnetconnection.h"

#include <QCborArray>

const QString RdmDiagPaci::ServerName = QStringLiteral("KMP12800.rdmDiagPaci");
const QString RdmDiagPaci::ServerGUID = QStringLiteral("{E745E5A3-3517-4D2D-89BC-017B5494498E}");

const QString RdmDiagPaci::UnreachableMessage =
    QStringLiteral("Não foi possível comunicar com o servidor de aplicação. Verifique a conexão de rede e tente "
                   "novamente; se o problema continuar, chame o suporte técnico.");

namespace {

// The transport's own text (address, socket error) is for whoever looks after the server.
[[noreturn]] void unreachable(const QString &method, const kmp::wire::ConnectionError &e)
{
    qWarning("KMP12800: %s: %s", qPrintable(method), e.what());
    throw kmp::Error(RdmDiagPaci::UnreachableMessage);
}

} // namespace

void RdmDiagPaci::connect()
{
    try {
        m_net.setConnected(true);
    } catch (const kmp::wire::ConnectionError &e) {
        unreachable(QStringLiteral("connect"), e);
    }
}

QCborValue RdmDiagPaci::call(const QString &method, const QCborArray &args)
{
    try {
        return kmp::Consiste::CheckResultServ(m_net.call(method, args), true, 0);
    } catch (const kmp::wire::ConnectionError &e) {
        unreachable(method, e);
    }
}

QByteArray RdmDiagPaci::packet(const QString &method, const QCborArray &args)
{
    const QCborValue payload = call(method, args);
    if (!payload.isByteArray())
        throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(method));
    return payload.toByteArray();
}

QByteArray RdmDiagPaci::GetDiagnost()
{
    // The catalogue seldom changes: the station keeps a copy, and the server sends the
    // catalogue again only when its version moved on.
    try {
        return kmp::CatalogueCache(QStringLiteral("%1:%2").arg(m_net.Host).arg(m_net.Port), QStringLiteral("GetDiagnost"))
            .fetch(m_net);
    } catch (const kmp::wire::ConnectionError &e) {
        unreachable(QStringLiteral("GetDiagnost"), e);
    }
}

QByteArray RdmDiagPaci::GetDiagPaci(const QString &filial, const QString &paciente, double dtConsulta)
{
    return packet(QStringLiteral("GetDiagPaci"), {filial, paciente, dtConsulta});
}

QByteArray RdmDiagPaci::GetDiagAsso(const QString &filial, const QString &paciente, double dtConsulta)
{
    return packet(QStringLiteral("GetDiagAsso"), {filial, paciente, dtConsulta});
}

QList<QByteArray> RdmDiagPaci::GetHistGer(const QString &paciente, const QString &filial, double dtConsulta)
{
    const QCborValue payload = call(QStringLiteral("GetHistGer"), {paciente, filial, dtConsulta});
    const QCborArray parts = payload.toArray();
    if (!payload.isArray() || parts.size() != 4)
        throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em GetHistGer."));
    QList<QByteArray> out;
    for (const QCborValue &p : parts) {
        if (!p.isByteArray())
            throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em GetHistGer."));
        out << p.toByteArray();
    }
    return out;
}

QByteArray RdmDiagPaci::GetVD_Diag(const QString &filial, const QString &paciente, const QString &cdDiagnost,
                                   double dtConsulta)
{
    return packet(QStringLiteral("GetVD_Diag"), {filial, paciente, cdDiagnost, dtConsulta});
}

QByteArray RdmDiagPaci::GetTipoLaudo(const QString &cdTipoLaudo, const QString &selector)
{
    return packet(QStringLiteral("GetTipoLaudo"), {cdTipoLaudo, selector});
}

QByteArray RdmDiagPaci::GetMemLaudo(const QString &filial, const QString &paciente, const QString &cdTipoLaudo,
                                    double dtConsulta)
{
    return packet(QStringLiteral("GetMemLaudo"), {filial, paciente, cdTipoLaudo, dtConsulta});
}

void RdmDiagPaci::save(const QString &method, const QByteArray &delta)
{
    call(method, {delta});
}

void RdmDiagPaci::SetDiagPaci(const QByteArray &delta) { save(QStringLiteral("SetDiagPaci"), delta); }
void RdmDiagPaci::SetMemLaudo(const QByteArray &delta) { save(QStringLiteral("SetMemLaudo"), delta); }
void RdmDiagPaci::SetHistDoen(const QByteArray &delta) { save(QStringLiteral("SetHistDoen"), delta); }
void RdmDiagPaci::SetHistClinProg(const QByteArray &delta) { save(QStringLiteral("SetHistClinProg"), delta); }
void RdmDiagPaci::SetHistFam(const QByteArray &delta) { save(QStringLiteral("SetHistFam"), delta); }
void RdmDiagPaci::SetExamFisi(const QByteArray &delta) { save(QStringLiteral("SetExamFisi"), delta); }
