#include "rdmdiagpaci.h"

#include "cataloguecache.h"
#include "consiste.h"
#include "error.h"
#include "methods.h"
#include "modulelog.h"
#include "tnetconnection.h"

#include <QCborArray>

namespace kmp {

namespace p = protocol;

const QString RdmDiagPaci::ServerName = p::moduleName();
const QString RdmDiagPaci::ServerGUID = p::moduleGuid();

const QString RdmDiagPaci::UnreachableMessage =
    QStringLiteral("Não foi possível comunicar com o servidor de aplicação. Verifique a conexão de rede e tente "
                   "novamente; se o problema continuar, chame o suporte técnico.");

namespace {

// The transport's own text (address, socket error) is for whoever looks after the server.
[[noreturn]] void unreachable(const QString &method, const wire::ConnectionError &e)
{
    qCWarning(moduleLog, "KMP12800: %s: %s", qPrintable(method), e.what());
    throw Error(RdmDiagPaci::UnreachableMessage);
}

// A consultation's two diagnosis lists, as calls that can travel together with others.
QList<TNetConnection::Call> listCalls(const QString &filial, const QString &paciente, double dtConsulta)
{
    return {{p::methodName<p::GetDiagPaci>(),
             p::encodeArgs<p::GetDiagPaci>(p::Branch{filial}, p::Patient{paciente}, p::ConsultationDate{dtConsulta})},
            {p::methodName<p::GetDiagAsso>(),
             p::encodeArgs<p::GetDiagAsso>(p::Branch{filial}, p::Patient{paciente}, p::ConsultationDate{dtConsulta})}};
}

} // namespace

void RdmDiagPaci::connect()
{
    try {
        m_net.setConnected(true);
    } catch (const wire::ConnectionError &e) {
        unreachable(QStringLiteral("connect"), e);
    }
}

QCborValue RdmDiagPaci::call(const QString &method, const QCborArray &args)
{
    try {
        return Consiste::CheckResultServ(m_net.call(method, args), true, 0);
    } catch (const wire::ConnectionError &e) {
        unreachable(method, e);
    }
}

QByteArray RdmDiagPaci::packet(const QString &method, const QCborArray &args)
{
    try {
        return packetOf(method, m_net.call(method, args));
    } catch (const wire::ConnectionError &e) {
        unreachable(method, e);
    }
}

QByteArray RdmDiagPaci::packetOf(const QString &method, const wire::Response &answer)
{
    const QCborValue payload = Consiste::CheckResultServ(answer, true, 0);
    if (!payload.isByteArray())
        throw Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(method));
    return payload.toByteArray();
}

// The station's copy of the catalogue, one per server.
CatalogueCache RdmDiagPaci::catalogueCache() const
{
    return CatalogueCache(m_net.endpoint(), p::methodName<p::GetDiagnost>());
}

QByteArray RdmDiagPaci::GetDiagnost()
{
    // The catalogue seldom changes: the station keeps a copy, and the server sends the
    // catalogue again only when its version moved on.
    try {
        return catalogueCache().fetch(m_net);
    } catch (const wire::ConnectionError &e) {
        unreachable(p::methodName<p::GetDiagnost>(), e);
    }
}

RdmDiagPaci::Opening RdmDiagPaci::GetOpening(const QString &filial, const QString &paciente, double dtConsulta)
{
    return finishOpening(startOpening(filial, paciente, dtConsulta));
}

PendingOpening RdmDiagPaci::startOpening(const QString &filial, const QString &paciente, double dtConsulta)
{
    // Connected first: the copy to use depends on which server this is.
    connect();
    PendingOpening pending;
    pending.catalogue = catalogueCache().prepare();
    try {
        pending.batch =
            m_net.sendAll(QList<TNetConnection::Call>{pending.catalogue.call} + listCalls(filial, paciente, dtConsulta));
    } catch (const wire::ConnectionError &e) {
        unreachable(QStringLiteral("GetOpening"), e);
    }
    return pending;
}

RdmDiagPaci::Opening RdmDiagPaci::finishOpening(PendingOpening pending)
{
    const CatalogueCache cache = catalogueCache();
    // Unpacking the copy takes a few milliseconds, spent while the answers travel.
    cache.readCopy(pending.catalogue);
    try {
        const QList<wire::Response> answers = m_net.receiveAll(pending.batch);
        Opening o;
        o.catalogue = cache.finish(std::move(pending.catalogue), answers.at(0), m_net);
        o.rows = packetOf(p::methodName<p::GetDiagPaci>(), answers.at(1));
        o.admissions = packetOf(p::methodName<p::GetDiagAsso>(), answers.at(2));
        return o;
    } catch (const wire::ConnectionError &e) {
        unreachable(QStringLiteral("GetOpening"), e);
    }
}

QList<QByteArray> RdmDiagPaci::GetDiagPaciAsso(const QString &filial, const QString &paciente, double dtConsulta)
{
    QList<wire::Response> answers;
    try {
        answers = m_net.callAll(listCalls(filial, paciente, dtConsulta));
    } catch (const wire::ConnectionError &e) {
        unreachable(p::methodName<p::GetDiagPaci>(), e);
    }
    return {packetOf(p::methodName<p::GetDiagPaci>(), answers.at(0)), packetOf(p::methodName<p::GetDiagAsso>(), answers.at(1))};
}

QByteArray RdmDiagPaci::GetDiagPaci(const QString &filial, const QString &paciente, double dtConsulta)
{
    return packet(p::methodName<p::GetDiagPaci>(),
                  p::encodeArgs<p::GetDiagPaci>(p::Branch{filial}, p::Patient{paciente}, p::ConsultationDate{dtConsulta}));
}

QByteArray RdmDiagPaci::GetDiagAsso(const QString &filial, const QString &paciente, double dtConsulta)
{
    return packet(p::methodName<p::GetDiagAsso>(),
                  p::encodeArgs<p::GetDiagAsso>(p::Branch{filial}, p::Patient{paciente}, p::ConsultationDate{dtConsulta}));
}

QList<QByteArray> RdmDiagPaci::GetHistGer(const QString &paciente, const QString &filial, double dtConsulta)
{
    const QCborValue payload =
        call(p::methodName<p::GetHistGer>(),
             p::encodeArgs<p::GetHistGer>(p::Patient{paciente}, p::Branch{filial}, p::ConsultationDate{dtConsulta}));
    const QCborArray parts = payload.toArray();
    if (!payload.isArray() || parts.size() != p::HistorySectionCount)
        throw Error(QStringLiteral("Resposta inesperada do servidor em GetHistGer."));
    QList<QByteArray> out;
    for (const QCborValue &p : parts) {
        if (!p.isByteArray())
            throw Error(QStringLiteral("Resposta inesperada do servidor em GetHistGer."));
        out << p.toByteArray();
    }
    return out;
}

QByteArray RdmDiagPaci::GetVD_Diag(const QString &filial, const QString &paciente, const QString &cdDiagnost, double dtConsulta)
{
    return packet(p::methodName<p::GetVD_Diag>(),
                  p::encodeArgs<p::GetVD_Diag>(p::Branch{filial}, p::Patient{paciente}, p::DiagnosisCode{cdDiagnost},
                                               p::ConsultationDate{dtConsulta}));
}

QByteArray RdmDiagPaci::GetTipoLaudo(const QString &cdTipoLaudo, const QString &selector)
{
    return packet(p::methodName<p::GetTipoLaudo>(),
                  p::encodeArgs<p::GetTipoLaudo>(p::ReportType{cdTipoLaudo}, p::ReportTypeSelector{selector}));
}

QByteArray RdmDiagPaci::GetMemLaudo(const QString &filial, const QString &paciente, const QString &cdTipoLaudo, double dtConsulta)
{
    return packet(p::methodName<p::GetMemLaudo>(),
                  p::encodeArgs<p::GetMemLaudo>(p::Branch{filial}, p::Patient{paciente}, p::ReportType{cdTipoLaudo},
                                                p::ConsultationDate{dtConsulta}));
}

void RdmDiagPaci::save(const QString &method, const QByteArray &delta)
{
    // Every save takes the single delta argument; saveWith below holds each to it.
    call(method, p::encodeArgs<p::SetDiagPaci>(p::Changes{delta}));
}

namespace {

template <typename M>
void saveWith(RdmDiagPaci &proxy, const QByteArray &delta)
{
    static_assert(std::is_same_v<typename M::Args, p::SetDiagPaci::Args>, "a save takes the delta alone");
    proxy.save(p::methodName<M>(), delta);
}

} // namespace

void RdmDiagPaci::SetDiagPaci(const QByteArray &delta)
{
    saveWith<p::SetDiagPaci>(*this, delta);
}
void RdmDiagPaci::SetMemLaudo(const QByteArray &delta)
{
    saveWith<p::SetMemLaudo>(*this, delta);
}
void RdmDiagPaci::SetHistDoen(const QByteArray &delta)
{
    saveWith<p::SetHistDoen>(*this, delta);
}
void RdmDiagPaci::SetHistClinProg(const QByteArray &delta)
{
    saveWith<p::SetHistClinProg>(*this, delta);
}
void RdmDiagPaci::SetHistFam(const QByteArray &delta)
{
    saveWith<p::SetHistFam>(*this, delta);
}
void RdmDiagPaci::SetExamFisi(const QByteArray &delta)
{
    saveWith<p::SetExamFisi>(*this, delta);
}

} // namespace kmp
