#include "dispatcher.h"

#include "cid10import.h"
#include "controlchars.h"
#include "deltavalidation.h"
#include "error.h"
#include "methods.h"
#include "packet.h"
#include "reports.h"
#include "serviceerror.h"
#include "store.h"

#include <QCborArray>
#include <QCborMap>
#include <map>

namespace kmp::server {

using wire::ErrorCode;
using wire::Request;
using wire::Response;

namespace {

namespace p = kmp::protocol;

// A method as the dispatcher runs it: its description in the contract (for the argument
// checks) and the code that decodes the checked arguments and runs it on the store.
struct Method
{
    const p::MethodInfo *info = nullptr;
    std::function<QCborValue(Store &, const QCborArray &, const AuditContext &)> run;
};

// Binds a method of the contract to the code that runs it, given the decoded arguments.
template <typename M, typename F>
std::pair<const QString, Method> bind(F run)
{
    const QString name = p::methodName<M>();
    return {name, Method{p::findMethod(name), [run](Store &s, const QCborArray &a, const AuditContext &who) {
                             return run(s, p::decodeArgs<M>(a), who);
                         }}};
}

QCborValue packetValue(const QByteArray &encoded)
{
    return QCborValue(encoded);
}

// The delta's bytes are the save's own (moved out of the decoded arguments) and go as soon
// as the delta is decoded: a section may be tens of megabytes, and the save then holds
// the request's copy and the decoded one, not a third.
QCborValue save(Store &store, const TableDef &table, QByteArray delta, const QString &duplicate, const AuditContext &who)
{
    Delta d;
    try {
        d = decodeDelta(delta);
    } catch (const kmp::Error &e) {
        throw ServiceError(ErrorCode::BadRequest, QStringLiteral("Alterações ilegíveis: %1").arg(e.userMessage()));
    }
    delta = QByteArray();
    store.applyDelta(table, d, duplicate, who);
    return QCborValue(nullptr);
}

const QString kDuplicateRow = QStringLiteral("O registro já existe para esta consulta. Atualize a tela e tente de novo.");

const std::map<QString, Method> &methods()
{
    using p::arg;
    static const std::map<QString, Method> m{
        // Called with no argument, the catalogue's packet. Called with the version a station
        // holds ("" for none), a map with the current "version" and, only when that differs,
        // the "packet". The version is read first: a catalogue imported in between is then
        // sent under the older version and simply fetched again next time.
        {p::methodName<p::GetDiagnost>(), Method{p::findMethod(p::methodName<p::GetDiagnost>()),
                                                 [](Store &s, const QCborArray &a, const AuditContext &) {
                                                     if (a.isEmpty())
                                                         return packetValue(s.diagnost());
                                                     const auto args = p::decodeArgs<p::GetDiagnost>(a);
                                                     const QString version = catalogueVersion(s.db());
                                                     QCborMap out;
                                                     out.insert(QLatin1String("version"), version);
                                                     if (version.isEmpty() || version != arg<p::CatalogueVersion>(args))
                                                         out.insert(QLatin1String("packet"), packetValue(s.diagnost()));
                                                     return QCborValue(out);
                                                 }}},
        bind<p::GetDiagPaci>([](Store &s, const p::GetDiagPaci::Args &a, const AuditContext &) {
            return packetValue(s.diagPaci(arg<p::Branch>(a), arg<p::Patient>(a), arg<p::ConsultationDate>(a)));
        }),
        bind<p::GetDiagAsso>([](Store &s, const p::GetDiagAsso::Args &a, const AuditContext &) {
            return packetValue(s.diagAsso(arg<p::Branch>(a), arg<p::Patient>(a), arg<p::ConsultationDate>(a)));
        }),
        bind<p::GetHistGer>([](Store &s, const p::GetHistGer::Args &a, const AuditContext &) {
            const auto packets = s.histGer(arg<p::Patient>(a), arg<p::Branch>(a), arg<p::ConsultationDate>(a));
            static_assert(std::tuple_size_v<std::decay_t<decltype(packets)>> == p::HistorySectionCount);
            QCborArray out;
            for (const QByteArray &packet : packets)
                out.append(packetValue(packet));
            return QCborValue(out);
        }),
        bind<p::GetVD_Diag>([](Store &s, const p::GetVD_Diag::Args &a, const AuditContext &) {
            return packetValue(
                s.vdDiag(arg<p::Branch>(a), arg<p::Patient>(a), arg<p::DiagnosisCode>(a), arg<p::ConsultationDate>(a)));
        }),
        bind<p::GetTipoLaudo>([](Store &s, const p::GetTipoLaudo::Args &a, const AuditContext &) {
            return packetValue(s.tipoLaudo(arg<p::ReportType>(a), arg<p::ReportTypeSelector>(a)));
        }),
        bind<p::GetMemLaudo>([](Store &s, const p::GetMemLaudo::Args &a, const AuditContext &) {
            return packetValue(
                s.memLaudo(arg<p::Branch>(a), arg<p::Patient>(a), arg<p::ReportType>(a), arg<p::ConsultationDate>(a)));
        }),
        bind<p::SetDiagPaci>([](Store &s, p::SetDiagPaci::Args &&a, const AuditContext &who) {
            return save(s, tables::diagPaci(), std::move(std::get<p::Changes>(a).value),
                        QStringLiteral("Diagnóstico já cadastrado."), who);
        }),
        bind<p::SetMemLaudo>([](Store &s, p::SetMemLaudo::Args &&a, const AuditContext &who) {
            return save(s, tables::memLaudo(), std::move(std::get<p::Changes>(a).value), kDuplicateRow, who);
        }),
        bind<p::SetHistDoen>([](Store &s, p::SetHistDoen::Args &&a, const AuditContext &who) {
            return save(s, tables::histDoen(), std::move(std::get<p::Changes>(a).value), kDuplicateRow, who);
        }),
        bind<p::SetHistClinProg>([](Store &s, p::SetHistClinProg::Args &&a, const AuditContext &who) {
            return save(s, tables::histClinProg(), std::move(std::get<p::Changes>(a).value), kDuplicateRow, who);
        }),
        bind<p::SetHistFam>([](Store &s, p::SetHistFam::Args &&a, const AuditContext &who) {
            return save(s, tables::histFam(), std::move(std::get<p::Changes>(a).value), kDuplicateRow, who);
        }),
        bind<p::SetExamFisi>([](Store &s, p::SetExamFisi::Args &&a, const AuditContext &who) {
            return save(s, tables::examFisi(), std::move(std::get<p::Changes>(a).value), kDuplicateRow, who);
        }),
        // Reports of the report screens: listed by report code, run by name with parameter
        // values; the SQL never leaves the server.
        bind<p::GetRelatorios>([](Store &, const p::GetRelatorios::Args &a, const AuditContext &) {
            return packetValue(listReports(arg<p::ReportCode>(a)));
        }),
        bind<p::ExecRelatorio>([](Store &s, const p::ExecRelatorio::Args &a, const AuditContext &) {
            return packetValue(runReport(s.db(), arg<p::ReportCode>(a), arg<p::ReportId>(a), arg<p::ReportParameters>(a)));
        }),
    };
    return m;
}

} // namespace

ByteBudget::Reservation Dispatcher::admitSave(const Request &request) const
{
    if (!request.method.startsWith(QLatin1String("Set")) || request.args.isEmpty() || !request.args.at(0).isByteArray())
        return {};
    const QByteArray delta = request.args.at(0).toByteArray();
    const auto shape = peekDeltaShape(delta);
    if (!shape)
        return {};
    const qint64 most = request.method == p::methodName<p::SetDiagPaci>() ? MaxDiagnosisChanges : MaxSectionChanges;
    if (shape->changes > most)
        throw ServiceError(ErrorCode::TooLarge, QStringLiteral("Esta gravação traz %1 alterações de uma vez; %2 aceita no "
                                                               "máximo %3. Nada foi gravado.")
                                                    .arg(shape->changes)
                                                    .arg(request.method)
                                                    .arg(most));
    if (shape->fields > MaxDeltaFields)
        throw ServiceError(
            ErrorCode::TooLarge,
            QStringLiteral("Esta gravação traz %1 campos; nenhuma tabela tem tantos. Nada foi gravado.").arg(shape->fields));
    // The request's share of the budget covers twice its bytes once decoded; the values'
    // own bookkeeping comes on top.
    ByteBudget::Reservation decoded(m_budget, decodedOverheadBytes(*shape));
    if (!decoded.held())
        throw ServiceError(ErrorCode::Unavailable, ByteBudget::refusalMessage(delta.size()));
    return decoded;
}

QStringList Dispatcher::methodNames()
{
    QStringList out;
    for (const auto &[name, m] : methods())
        out << name;
    return out;
}

Response Dispatcher::handle(const Request &request)
{
    Response response;
    try {
        if (request.module != ModuleName)
            throw ServiceError(
                ErrorCode::UnknownModule,
                QStringLiteral("Módulo remoto desconhecido: \"%1\".").arg(escapeControlCharacters(request.module.left(80))));
        if (request.guid.compare(ModuleGuid, Qt::CaseInsensitive) != 0)
            throw ServiceError(ErrorCode::UnknownModule, QStringLiteral("Identificador do módulo remoto não confere: \"%1\".")
                                                             .arg(escapeControlCharacters(request.guid.left(80))));
        const auto &all = methods();
        const auto it = all.find(request.method);
        if (it == all.end())
            throw ServiceError(
                ErrorCode::UnknownMethod,
                QStringLiteral("Método desconhecido: \"%1\".").arg(escapeControlCharacters(request.method.left(80))));
        const Method &m = it->second;
        const std::vector<p::ArgInfo> &args = m.info->args;
        const qsizetype most = qsizetype(args.size());
        if (request.args.size() > most || request.args.size() < m.info->requiredArgs())
            throw ServiceError(ErrorCode::BadRequest, QStringLiteral("%1 espera %2 argumento(s), recebeu %3.")
                                                          .arg(request.method)
                                                          .arg(args.size())
                                                          .arg(request.args.size()));
        for (size_t i = 0; i < size_t(request.args.size()); ++i) {
            const QCborValue arg = request.args.at(qsizetype(i));
            if (!p::argMatches(args[i].kind, arg))
                throw ServiceError(ErrorCode::BadRequest, QStringLiteral("%1: o argumento %2 deveria ser %3.")
                                                              .arg(request.method)
                                                              .arg(i + 1)
                                                              .arg(p::argKindText(args[i].kind)));
            // No code or key holds a control character; a NUL would reach the database
            // driver, which refuses it with its own text.
            if (args[i].kind == p::ArgKind::Text && firstControlCharacter(arg.toString()) >= 0)
                throw ServiceError(
                    ErrorCode::BadRequest,
                    QStringLiteral("%1: o argumento %2 contém um caractere de controle.").arg(request.method).arg(i + 1));
        }
        const ByteBudget::Reservation decoded = admitSave(request);
        AuditContext who = m_caller;
        who.method = request.method;
        response = Response::success(request.id, m.run(m_store(), request.args, who));
    } catch (const ServiceError &e) {
        response = Response::failure(request.id, e.code(), e.userMessage());
    } catch (const kmp::Error &e) {
        response = Response::failure(request.id, ErrorCode::Invalid, e.userMessage());
    } catch (const std::exception &e) {
        response = Response::failure(request.id, ErrorCode::Internal,
                                     QStringLiteral("Erro interno do servidor: %1").arg(QString::fromUtf8(e.what())));
    }
    if (!response.ok && onRefused)
        onRefused(request, response);
    response.acceptsZstd = request.acceptsZstd;
    return response;
}

Response Dispatcher::handleBody(const QByteArray &body)
{
    Request request;
    try {
        request = wire::decodeRequest(body);
    } catch (const kmp::Error &e) {
        Response r = Response::failure(0, ErrorCode::BadRequest, QStringLiteral("Pedido malformado: %1").arg(e.userMessage()));
        if (onRefused)
            onRefused(request, r);
        return r;
    }
    return handle(request);
}

} // namespace kmp::server
