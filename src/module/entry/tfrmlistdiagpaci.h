#pragma once

#include "tfrmdadosgerrel.h"

// "Diagnóstico do Paciente" listing: the base report screen for report code "KMP128",
// handing the consultation's branch and patient to the report's parameters.
class TfrmListDiagPaci : public TfrmDadosGerRel
{
    Q_OBJECT
public:
    explicit TfrmListDiagPaci(QObject *owner = nullptr);

    void FormActivate() override;
    void rpddPadraoBeforeGetQueryParams(kmp::ReportParams &params, bool &ok) override;
};
