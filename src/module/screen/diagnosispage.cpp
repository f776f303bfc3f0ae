// The diagnosis page: entry and catalogue lookup in the grid, validation messages, the
// move arrows and the page's controls. What the list holds, its numbering and its saves
// are the diagnosis list's (DiagnosisList); the handlers here forward to it.
#include "tfrmdiagpaci.h"

#include "consiste.h"
#include "datasource.h"
#include "dbgrid.h"
#include "diagnosislist.h"
#include "exceptions.h"
#include "pesquisa.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "tbuttonflat.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QScopeGuard>
#include <QTextEdit>
#include <QToolButton>

using kmp::DataSetState;

namespace {

const QString kCode = QStringLiteral("CDDIAGNOST");
const QString kName = QStringLiteral("NMDIAGNOST");
const QString kTable = QStringLiteral("CDTABECDI");

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
    if (!kmp::Pesquisa::Pesquisar(dtsDiagnost, text, false, true))
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
        if (kmp::Consiste::EmptyString(value)) {
            if (boObrigatorio)
                fail(QStringLiteral("Informe"));
            return;
        }
        // The catalogue first: a code it does not know never reaches the server.
        if (!cdsDiagnost->locate(kCode, value))
            fail(QStringLiteral("DiagnostN"));
        if (m_diagnoses->isStored(value))
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
    m_diagnoses->stampNewRow();
}

void TfrmDiagPaci::cdsDiagPaciAfterCancel()
{
    sbtVerificarClick(sbtVerificar);
}

void TfrmDiagPaci::sbtVerificarClick(QObject *)
{
    m_diagnoses->reload();
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
    notes->reloadKeepingPlace(*s);
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
    m_diagnoses->rowsLoaded();
    cdsDiagPaci->first();
}

void TfrmDiagPaci::cdsDiagPaciAfterPost()
{
    m_diagnoses->saveChanges();
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
    // The grid is unbound while the two rows change places, so it never paints the pair
    // half-swapped; the scope guard binds it again whatever the move ends with.
    dbgPadrao->setDataSource(nullptr);
    const auto rebind = qScopeGuard([this] {
        dbgPadrao->setDataSource(dtsPadrao);
        dtsPadraoStateChange();
    });
    m_diagnoses->move(up);
}

void TfrmDiagPaci::dtsPadraoStateChange()
{
    const DataSetState state = dtsPadrao->state();
    if (!m_diagnoses->boReordenando()) {
        TfrmPadraoGrid::dtsPadraoStateChange();
        updateMoveButtons();
        // Only a row being typed locks the history page. The list closes for a moment while
        // F5 reloads it: locking then would take the focus from the note being written.
        tshHistorico->setPageEnabled(state != DataSetState::Edit && state != DataSetState::Insert);
        const int col = kmp::Consiste::IndiceCol(dbgPadrao, kCode);
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
