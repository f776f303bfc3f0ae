#include "dispatcher.h"

#include "cid10import.h"
#include "controlchars.h"
#include "error.h"
#include "packet.h"
#include "reports.h"
#include "serviceerror.h"
#include "store.h"

#include <QCborArray>
#include <QCborMap>
#include <cmath>
#include <map>

namespace kmp::server {

using wire::ErrorCode;
using wire::Request;
using wire::Response;

namespace {

enum class Arg { Text, Date, Bytes };

struct Method
{
    std::vector<Arg> args;
    std::function<QCborValue(Store &, const QCborArray &, const AuditContext &)> run;
    int optionalArgs = 0; // how many of the last arguments a caller may leave out
};

QString text(const QCborArray &a, qsizetype i)
{
    return a.at(i).toString();
}

double date(const QCborArray &a, qsizetype i)
{
    const QCborValue v = a.at(i);
    return v.isInteger() ? double(v.toInteger()) : v.toDouble();
}

QCborValue packetValue(const QByteArray &encoded)
{
    return QCborValue(encoded);
}

QCborValue save(Store &store, const TableDef &table, const QCborArray &a, const QString &duplicate,
                const AuditContext &who)
{
    Delta d;
    try {
        d = decodeDelta(a.at(0).toByteArray());
    } catch (const kmp::Error &e) {
        throw ServiceError(ErrorCode::BadRequest, QStringLiteral("Alterações ilegíveis: %1").arg(e.userMessage()));
    }
    store.applyDelta(table, d, duplicate, who);
    return QCborValue(nullptr);
}

const QString kDuplicateRow = QStringLiteral("O registro já existe para esta consulta. Atualize a tela e tente de novo.");

const std::map<QString, Method> &methods()
{
    using A = Arg;
    static const std::map<QString, Method> m{
        // Called with no argument, the catalogue's packet. Called with the version a station
        // holds ("" for none), a map with the current "version" and, only when that differs,
        // the "packet". The version is read first: a catalogue imported in between is then
        // sent under the older version and simply fetched again next time.
        {QStringLiteral("GetDiagnost"),
         {{A::Text},
          [](Store &s, const QCborArray &a, const AuditContext &) {
              if (a.isEmpty())
                  return packetValue(s.diagnost());
              const QString version = catalogueVersion(s.db());
              QCborMap out;
              out.insert(QLatin1String("version"), version);
              if (version.isEmpty() || version != text(a, 0))
                  out.insert(QLatin1String("packet"), packetValue(s.diagnost()));
              return QCborValue(out);
          },
          1}},
        {QStringLiteral("GetDiagPaci"),
         {{A::Text, A::Text, A::Date},
          [](Store &s, const QCborArray &a, const AuditContext &who) { return packetValue(s.diagPaci(text(a, 0), text(a, 1), date(a, 2))); }}},
        {QStringLiteral("GetDiagAsso"),
         {{A::Text, A::Text, A::Date},
          [](Store &s, const QCborArray &a, const AuditContext &who) { return packetValue(s.diagAsso(text(a, 0), text(a, 1), date(a, 2))); }}},
        // Patient first, then branch: the order the screen has always called it with.
        {QStringLiteral("GetHistGer"),
         {{A::Text, A::Text, A::Date},
          [](Store &s, const QCborArray &a, const AuditContext &who) {
              const auto packets = s.histGer(text(a, 0), text(a, 1), date(a, 2));
              QCborArray out;
              for (const QByteArray &p : packets)
                  out.append(packetValue(p));
              return QCborValue(out);
          }}},
        {QStringLiteral("GetVD_Diag"),
         {{A::Text, A::Text, A::Text, A::Date},
          [](Store &s, const QCborArray &a, const AuditContext &who) {
              return packetValue(s.vdDiag(text(a, 0), text(a, 1), text(a, 2), date(a, 3)));
          }}},
        {QStringLiteral("GetTipoLaudo"),
         {{A::Text, A::Text}, [](Store &s, const QCborArray &a, const AuditContext &who) { return packetValue(s.tipoLaudo(text(a, 0), text(a, 1))); }}},
        {QStringLiteral("GetMemLaudo"),
         {{A::Text, A::Text, A::Text, A::Date},
          [](Store &s, const QCborArray &a, const AuditContext &who) {
              return packetValue(s.memLaudo(text(a, 0), text(a, 1), text(a, 2), date(a, 3)));
          }}},
        {QStringLiteral("SetDiagPaci"),
         {{A::Bytes},
          [](Store &s, const QCborArray &a, const AuditContext &who) {
              return save(s, tables::diagPaci(), a, QStringLiteral("Diagnóstico já cadastrado."), who);
          }}},
        {QStringLiteral("SetMemLaudo"),
         {{A::Bytes}, [](Store &s, const QCborArray &a, const AuditContext &who) { return save(s, tables::memLaudo(), a, kDuplicateRow, who); }}},
        {QStringLiteral("SetHistDoen"),
         {{A::Bytes}, [](Store &s, const QCborArray &a, const AuditContext &who) { return save(s, tables::histDoen(), a, kDuplicateRow, who); }}},
        {QStringLiteral("SetHistClinProg"),
         {{A::Bytes}, [](Store &s, const QCborArray &a, const AuditContext &who) { return save(s, tables::histClinProg(), a, kDuplicateRow, who); }}},
        {QStringLiteral("SetHistFam"),
         {{A::Bytes}, [](Store &s, const QCborArray &a, const AuditContext &who) { return save(s, tables::histFam(), a, kDuplicateRow, who); }}},
        {QStringLiteral("SetExamFisi"),
         {{A::Bytes}, [](Store &s, const QCborArray &a, const AuditContext &who) { return save(s, tables::examFisi(), a, kDuplicateRow, who); }}},
        // Reports of the report screens: listed by report code, run by name with parameter
        // values; the SQL never leaves the server.
        {QStringLiteral("GetRelatorios"),
         {{A::Text}, [](Store &, const QCborArray &a, const AuditContext &) { return packetValue(listReports(text(a, 0))); }}},
        {QStringLiteral("ExecRelatorio"),
         {{A::Text, A::Text, A::Text},
          [](Store &s, const QCborArray &a, const AuditContext &who) { return packetValue(runReport(s.db(), text(a, 0), text(a, 1), text(a, 2))); }}},
    };
    return m;
}

QString argKindName(Arg a)
{
    switch (a) {
    case Arg::Text: return QStringLiteral("texto");
    case Arg::Date: return QStringLiteral("data (número de dias)");
    case Arg::Bytes: return QStringLiteral("alterações (bytes)");
    }
    return {};
}

bool argMatches(Arg kind, const QCborValue &v)
{
    switch (kind) {
    case Arg::Text: return v.isString();
    case Arg::Date:
        if (v.isInteger())
            return true;
        return v.isDouble() && std::isfinite(v.toDouble());
    case Arg::Bytes: return v.isByteArray();
    }
    return false;
}

} // namespace

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
            throw ServiceError(ErrorCode::UnknownModule,
                               QStringLiteral("Módulo remoto desconhecido: \"%1\".").arg(escapeControlCharacters(request.module.left(80))));
        if (request.guid.compare(ModuleGuid, Qt::CaseInsensitive) != 0)
            throw ServiceError(ErrorCode::UnknownModule,
                               QStringLiteral("Identificador do módulo remoto não confere: \"%1\".").arg(escapeControlCharacters(request.guid.left(80))));
        const auto &all = methods();
        const auto it = all.find(request.method);
        if (it == all.end())
            throw ServiceError(ErrorCode::UnknownMethod,
                               QStringLiteral("Método desconhecido: \"%1\".").arg(escapeControlCharacters(request.method.left(80))));
        const Method &m = it->second;
        const qsizetype most = qsizetype(m.args.size());
        if (request.args.size() > most || request.args.size() < most - m.optionalArgs)
            throw ServiceError(ErrorCode::BadRequest, QStringLiteral("%1 espera %2 argumento(s), recebeu %3.")
                                                          .arg(request.method)
                                                          .arg(m.args.size())
                                                          .arg(request.args.size()));
        for (size_t i = 0; i < size_t(request.args.size()); ++i) {
            const QCborValue arg = request.args.at(qsizetype(i));
            if (!argMatches(m.args[i], arg))
                throw ServiceError(ErrorCode::BadRequest, QStringLiteral("%1: o argumento %2 deveria ser %3.")
                                                              .arg(request.method)
                                                              .arg(i + 1)
                                                              .arg(argKindName(m.args[i])));
            // No code or key holds a control character; a NUL would reach the database
            // driver, which refuses it with its own text.
            if (m.args[i] == Arg::Text && firstControlCharacter(arg.toString()) >= 0)
                throw ServiceError(ErrorCode::BadRequest,
                                   QStringLiteral("%1: o argumento %2 contém um caractere de controle.")
                                       .arg(request.method)
                                       .arg(i + 1));
        }
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
