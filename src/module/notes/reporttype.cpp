// "Sinais e Sintomas": the report type bar, the check of the typed code, the report fetched
// when the focus enters the report panel, and a new report started from the type's template.
#include "tfrmdiagpaci.h"

#include "consiste.h"
#include "showavi.h"
#include "exceptions.h"
#include "hostservices.h"
#include "rdmdiagpaci.h"
#include "recordset.h"

#include <QLineEdit>
#include <QTextEdit>

void TfrmDiagPaci::medTpLaudoChange()
{
    loadEditorFrom(rceLaudo, QByteArray());
    edtTpLaudo->clear();
}

void TfrmDiagPaci::Vd_Laudo(bool boObrigatorio)
{
    try {
        const QString typed = medTpLaudo->text();
        if (Consiste::EmptyString(typed)) {
            if (boObrigatorio)
                fail(QStringLiteral("TpLaudo_Inf"));
            return;
        }
        medTpLaudo->setText(Consiste::Ajusta(typed, 3));
        cdsTipoLaudo->loadFromPacket(server->GetTipoLaudo(medTpLaudo->text(), QString()));
        if (cdsTipoLaudo->isEmpty())
            fail(QStringLiteral("TpLaudo_NCad"));
        edtTpLaudo->setText(cdsTipoLaudo->fieldByName(QStringLiteral("NMTIPOLAUDO"))->asString());
    } catch (...) {
        medTpLaudo->setFocus();
        throw;
    }
}

void TfrmDiagPaci::panDescLaudoEnter()
{
    // Coming back to a report that is being edited keeps the edit: fetching it again
    // would throw away what was typed.
    if (cdsMemLaudo->isEditing()) {
        rceLaudo->setFocus();
        return;
    }
    Vd_Laudo(true);
    const QString type = cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString();
    {
        kmp::BusyIndicator busy(HostServices::instance()->mainForm(), 6);
        cdsMemLaudo->loadFromPacket(server->GetMemLaudo(consultation().branch, consultation().patient, type, consultation().date));
    }
    const QByteArray templ = cdsTipoLaudo->fieldByName(QStringLiteral("DSPADRLAUDO"))->asBytes();
    if (cdsMemLaudo->isEmpty() && !Consiste::EmptyString(QString::fromLatin1(templ))) {
        cdsMemLaudo->insert();
        cdsMemLaudo->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(consultation().patient);
        cdsMemLaudo->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(consultation().date);
        cdsMemLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->setAsString(medTpLaudo->text());
        loadEditorFrom(rceLaudo, templ);
        cdsMemLaudo->post();
    }
    rceLaudo->setFocus();
}

void TfrmDiagPaci::BtpTipoLaudoBeforePesq(bool &)
{
    cdsTipoLaudo->loadFromPacket(server->GetTipoLaudo(QString(), QStringLiteral("T")));
}

void TfrmDiagPaci::BtpTipoLaudoAfterPesq()
{
    medTpLaudo->setText(cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString());
    edtTpLaudo->setText(cdsTipoLaudo->fieldByName(QStringLiteral("NMTIPOLAUDO"))->asString());
}
