#include "tfrmlistdiagpaci.h"

#include "context.h"
#include "rdmdiagpaci.h"

#include <QLabel>

TfrmListDiagPaci::TfrmListDiagPaci(QObject *owner) : TfrmDadosGerRel(owner)
{
    setObjectName(QStringLiteral("frmListDiagPaci"));
    setWindowTitle(QStringLiteral("Diagnóstico do Paciente"));
    move(260, 182);
    setHelpContext(11112801);
    lblCodTela->setText(QStringLiteral("KMP12801"));
    setReportCode(QStringLiteral("KMP128"));
    setServer(kmp::RdmDiagPaci::ServerName, kmp::RdmDiagPaci::ServerGUID);
}

void TfrmListDiagPaci::FormActivate()
{
    TfrmDadosGerRel::FormActivate();
    update();
}

void TfrmListDiagPaci::rpddPadraoBeforeGetQueryParams(kmp::ReportParams &params, bool &)
{
    // Values are read now, so a report always runs for the consultation in force.
    if (kmp::Qrddlgs::ExistParam(params, QStringLiteral("P_CDFILIAL")))
        params.setValue(QStringLiteral("P_CDFILIAL"), stCdFilial);
    if (kmp::Qrddlgs::ExistParam(params, QStringLiteral("P_CDPACIENTE")))
        params.setValue(QStringLiteral("P_CDPACIENTE"), stCdPaciente);
}
