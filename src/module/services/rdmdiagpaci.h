#pragma once

#include "cataloguecache.h"
#include "tnetconnection.h"

#include <QByteArray>
#include <QCborArray>
#include <QCborValue>
#include <QList>
#include <QString>

namespace kmp {

// A screen's first loads sent to the server, their answers not read yet.
struct PendingOpening
{
    CatalogueCache::Load catalogue;
    TNetConnection::Batch batch;
};

// The remote module "KMP12800.rdmDiagPaci" as the screen sees it: one call per remote
// method, with the argument orders the server expects, each result passed through the
// result check, so a failure always arrives as an exception and never as data.
class RdmDiagPaci
{
public:
    static const QString ServerName;
    static const QString ServerGUID;

    explicit RdmDiagPaci(TNetConnection &connection) : m_net(connection) {}

    // Opens the connection now (the calls below open it when needed).
    void connect();
    // What a clinician reads when the server cannot be reached; the technical reason goes
    // to the log.
    static const QString UnreachableMessage;

    QByteArray GetDiagnost();

    // What the screen loads as it opens: the catalogue and the consultation's two lists,
    // asked for together so that a slow link's round trip is paid once. Each answer is
    // checked as its own call would be, in this order, so the first failure raises.
    struct Opening
    {
        QByteArray catalogue;  // GetDiagnost
        QByteArray rows;       // GetDiagPaci
        QByteArray admissions; // GetDiagAsso
    };
    Opening GetOpening(const QString &filial, const QString &paciente, double dtConsulta);
    // GetOpening in two halves: the requests leave with startOpening, and finishOpening
    // (which unpacks the station's catalogue copy before it waits) collects the answers,
    // so whatever the caller does in between happens while they travel. Failures as in
    // GetOpening, from whichever half meets them.
    PendingOpening startOpening(const QString &filial, const QString &paciente, double dtConsulta);
    Opening finishOpening(PendingOpening pending);
    // GetDiagPaci and GetDiagAsso together, in one exchange.
    QList<QByteArray> GetDiagPaciAsso(const QString &filial, const QString &paciente, double dtConsulta);
    QByteArray GetDiagPaci(const QString &filial, const QString &paciente, double dtConsulta);
    QByteArray GetDiagAsso(const QString &filial, const QString &paciente, double dtConsulta);
    // Note the order: patient first, then branch.
    QList<QByteArray> GetHistGer(const QString &paciente, const QString &filial, double dtConsulta);
    QByteArray GetVD_Diag(const QString &filial, const QString &paciente, const QString &cdDiagnost, double dtConsulta);
    QByteArray GetTipoLaudo(const QString &cdTipoLaudo, const QString &selector);
    QByteArray GetMemLaudo(const QString &filial, const QString &paciente, const QString &cdTipoLaudo, double dtConsulta);

    void SetDiagPaci(const QByteArray &delta);
    void SetMemLaudo(const QByteArray &delta);
    void SetHistDoen(const QByteArray &delta);
    void SetHistClinProg(const QByteArray &delta);
    void SetHistFam(const QByteArray &delta);
    void SetExamFisi(const QByteArray &delta);
    // The save of a section by its method name (one of the five Set… above).
    void save(const QString &method, const QByteArray &delta);

private:
    QByteArray packet(const QString &method, const QCborArray &args);
    QCborValue call(const QString &method, const QCborArray &args);
    // A packet out of a raw answer to method.
    static QByteArray packetOf(const QString &method, const wire::Response &answer);
    CatalogueCache catalogueCache() const;

    TNetConnection &m_net;
};

} // namespace kmp
