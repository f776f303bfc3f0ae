// The consultation's diagnoses: entry, catalogue lookup, validation against the catalogue
// and the server, numbering, immediate saving, moving up and down, and the page's controls.
#include "tfrmdiagpaci.h"

#include "consiste.h"
#include "context.h"
#include "datasource.h"
#include "dbgrid.h"
#include "exceptions.h"
#include "pesquisa.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "tbuttonflat.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QTextEdit>
#include <QToolButton>

using kmp::DataSetState;
using kmp::LocateOption;

namespace {

const QString kCode = QStringLiteral("CDDIAGNOST");
const QString kName = QStringLiteral("NMDIAGNOST");
const QString kTable = QStringLiteral("CDTABECDI");
const QString kSeq = QStringLiteral("NRSEQUENCIA");

} // namespace

void TfrmDiagPaci::cdsDiagPaciBeforeInsert()
{
    cdsDiagPaci->fieldByName(kCode)->focusControl();
}

void TfrmDiagPaci::dbgPadraoKeyPress(QChar &key)
{
    TfrmPadraoGrid::dbgPadraoKeyPress(key);
    if (cdsDiagPaci->isEmpty() || cdsDiagPaci->state() != DataSetState::Insert)
        key = QChar();
}

void TfrmDiagPaci::dbgDiagAssoKeyPress(QChar &key)
{
    key = QChar();
}

void TfrmDiagPaci::cdsDiagAssoBeforeInsert()
{
    kmp::silentAbort();
}

void TfrmDiagPaci::dbgPadraoEditButtonClick()
{
    if (!cdsDiagPaci->isEditing())
        return;
    const kmp::Field *selected = dbgPadrao->selectedField();
    if (!selected || selected->fieldName() != kCode)
        return;
    const QString text = msgPadrao->Msg(QStringLiteral("Diag")) + QLatin1Char('|') + msgPadrao->Msg(QStringLiteral("Diag_NCad"));
    if (!Pesquisa::Pesquisar(dtsDiagnost, text, false, true))
        return;
    for (const QString &name : {kCode, kName, kTable})
        cdsDiagPaci->fieldByName(name)->setAsString(cdsDiagnost->fieldByName(name)->asString());
}

void TfrmDiagPaci::dbgPadraoColExit()
{
    if (dtsPadrao->state() == DataSetState::Insert)
        Vd_DiagPaci(true);
}

void TfrmDiagPaci::Vd_DiagPaci(bool boObrigatorio)
{
    kmp::Field *code = cdsDiagPaci->fieldByName(kCode);
    try {
        const QString value = code->asString();
        if (Consiste::EmptyString(value)) {
            if (boObrigatorio)
                fail(QStringLiteral("Informe"));
            return;
        }
        // The catalogue first: a code it does not know never reaches the server.
        if (!cdsDiagnost->locate(kCode, value))
            fail(QStringLiteral("DiagnostN"));
        cdsDiagPaciAux->loadFromPacket(server->GetVD_Diag(stCdFilial, stCdPaciente, value, dtConsulta));
        if (!cdsDiagPaciAux->isEmpty())
            fail(QStringLiteral("Existent"));
        cdsDiagPaci->fieldByName(kName)->setAsString(cdsDiagnost->fieldByName(kName)->asString());
        cdsDiagPaci->fieldByName(kTable)->setAsString(cdsDiagnost->fieldByName(kTable)->asString());
    } catch (...) {
        code->focusControl();
        throw;
    }
}

void TfrmDiagPaci::cdsDiagPaciBeforePost()
{
    if (dtsPadrao->state() == DataSetState::Insert)
        Vd_DiagPaci(true);
    if (boReordenando)
        return;
    cdsDiagPaci->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(stCdFilial);
    cdsDiagPaci->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(stCdPaciente);
    cdsDiagPaci->fieldByName(kSeq)->setAsInteger(nrUltSequencia + 1);
    cdsDiagPaci->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(dtConsulta);
    ++nrUltSequencia;
}

void TfrmDiagPaci::cdsDiagPaciAfterCancel()
{
    sbtVerificarClick(sbtVerificar);
}

void TfrmDiagPaci::reloadDiagnoses()
{
    cdsDiagPaci->loadFromPacket(server->GetDiagPaci(stCdFilial, stCdPaciente, dtConsulta));
}

void TfrmDiagPaci::sbtVerificarClick(QObject *)
{
    reloadDiagnoses();
    cdsDiagAsso->loadFromPacket(server->GetDiagAsso(stCdFilial, stCdPaciente, dtConsulta));
    if (pgcPadrao->activePage() != tshHistorico)
        return;
    Section *s = activeSection();
    if (!s)
        return;
    // What is being typed stays: the stored version is fetched again under it, so that
    // Confirm saves the clinician's text over what the server holds now.
    if (s->set->isEditing()) {
        notes->refreshWhileEditing(*s);
        return;
    }
    // The report panel shows the stored report, never the type's template: with the
    // template in the editor the next post would overwrite the clinician's report.
    sectionLoadEditor(*s);
    sbtAlterar->setEnabled(true);
    sbtExcluir->setEnabled(true);
    sbtVerificar->setEnabled(true);
    sbtProcurar->setEnabled(false);
    ctlInativoHistorico->setEnabled(false);
    ctlOcultoHistorico->hide();
    if (s->isReport)
        rceLaudo->setFocus();
}

void TfrmDiagPaci::confirmarDExecute()
{
    if (pgcPadrao->activePage() == tshPadrao && cdsDiagPaci->isEditing())
        cdsDiagPaci->post();
}

void TfrmDiagPaci::cancelarDExecute()
{
    if (pgcPadrao->activePage() != tshPadrao || !cdsDiagPaci->isEditing())
        return;
    if (!confirm(QStringLiteral("Canc")))
        kmp::silentAbort();
    cdsDiagPaci->cancel();
}

void TfrmDiagPaci::cdsDiagPaciAfterOpen()
{
    cdsDiagPaci->last();
    nrUltSequencia = cdsDiagPaci->isEmpty() ? 0 : int(cdsDiagPaci->fieldByName(kSeq)->asInteger());
    cdsDiagPaci->first();
}

void TfrmDiagPaci::cdsDiagPaciAfterPost()
{
    if (cdsDiagPaci->changeCount() == 0)
        return;
    try {
        server->SetDiagPaci(cdsDiagPaci->delta());
        if (cdsDiagPaci->logChanges())
            cdsDiagPaci->mergeChangeLog();
    } catch (...) {
        cdsDiagPaci->cancelUpdates();
        throw;
    }
}

void TfrmDiagPaci::sbtItemUpClick()
{
    moveDiagnosis(true);
}

void TfrmDiagPaci::sbtItemDownClick()
{
    moveDiagnosis(false);
}

void TfrmDiagPaci::moveDiagnosis(bool up)
{
    boReordenando = true;
    const QString moving = cdsDiagPaci->fieldByName(kCode)->asString();
    dbgPadrao->setDataSource(nullptr);
    try {
        const qint64 a = cdsDiagPaci->fieldByName(kSeq)->asInteger();
        if (up)
            cdsDiagPaci->prior();
        else
            cdsDiagPaci->next();
        const qint64 b = cdsDiagPaci->fieldByName(kSeq)->asInteger();
        cdsDiagPaci->edit();
        cdsDiagPaci->fieldByName(kSeq)->setAsInteger(a);
        cdsDiagPaci->post();
        cdsDiagPaci->locate(kCode, moving, LocateOption::CaseInsensitive);
        cdsDiagPaci->edit();
        cdsDiagPaci->fieldByName(kSeq)->setAsInteger(b);
        cdsDiagPaci->post();
        const QString current = cdsDiagPaci->fieldByName(kCode)->asString();
        if (up)
            reloadDiagnoses();
        else
            sbtVerificarClick(sbtVerificar);
        cdsDiagPaci->locate(kCode, current, LocateOption::CaseInsensitive);
    } catch (...) {
        // A move that stopped half-way must not leave later posts unstamped or the grid
        // blind: restore both and show the order the server really holds.
        boReordenando = false;
        dbgPadrao->setDataSource(dtsPadrao);
        try {
            reloadDiagnoses();
            cdsDiagPaci->locate(kCode, moving, LocateOption::CaseInsensitive);
        } catch (...) {
            // the original failure is the one worth reporting
        }
        throw;
    }
    dbgPadrao->setDataSource(dtsPadrao);
    boReordenando = false;
}

void TfrmDiagPaci::dtsPadraoStateChange()
{
    const DataSetState state = dtsPadrao->state();
    if (!boReordenando) {
        TfrmPadraoGrid::dtsPadraoStateChange();
        const bool browsing = state == DataSetState::Browse;
        const bool canMove = browsing && !cdsDiagPaci->isEmpty();
        sbtItemUp->setEnabled(canMove);
        sbtItemDown->setEnabled(canMove);
        tshHistorico->setPageEnabled(browsing);
        const int col = Consiste::IndiceCol(dbgPadrao, kCode);
        if (col >= 0)
            dbgPadrao->setColumnButton(col, state == DataSetState::Insert);
    }
    sbtAlterar->setEnabled(false);
    mnuAlterar->setEnabled(false);
    cdsDiagPaci->fieldByName(kCode)->setReadOnly(state != DataSetState::Insert);
    const bool editing = state == DataSetState::Edit || state == DataSetState::Insert;
    mnuForaEdicao1->setEnabled(!editing);
    mnuForaEdicao2->setEnabled(!editing);
}

void TfrmDiagPaci::dbgPadraoDrawColumnCell()
{
    if (pgcPadrao->activePage() != tshPadrao || !cdsDiagPaci->isEmpty())
        return;
    sbtExcluir->setEnabled(false);
    sbtProcurar->setEnabled(false);
    mnuExcluir->setEnabled(sbtExcluir->isEnabled());
    mnuProcurar->setEnabled(sbtProcurar->isEnabled());
}
