// The six generic commands, by toolbar button and by key, dispatched by the page in front.
#include "tfrmdiagpaci.h"

#include "actionlist.h"
#include "consiste.h"
#include "exceptions.h"
#include "recordset.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QTextEdit>
#include <QToolButton>

// A section whose text has not come from the server yet cannot be written, changed or
// deleted: say what to do instead of letting the record set refuse in its own words.
void TfrmDiagPaci::requireLoaded(Section &s)
{
    if (s.set->isActive())
        return;
    fail(s.isReport ? QStringLiteral("Laudo_NCarr") : QStringLiteral("Hist_NCarr"));
}

void TfrmDiagPaci::sbtIncluirClick(QObject *)
{
    IncluirExecute();
}

void TfrmDiagPaci::IncluirExecute()
{
    if (pgcPadrao->activePage() == tshPadrao) {
        // At the end, where its number will put it: the list shows stored order at all times.
        cdsDiagPaci->append();
        return;
    }
    Section *s = activeSection();
    if (!s)
        return;
    requireLoaded(*s);
    if (!s->set->isEmpty())
        fail(QStringLiteral("Inc_not"));
    s->set->insert();
    if (!s->isReport)
        s->editor->setFocus();
}

void TfrmDiagPaci::sbtAlterarClick(QObject *)
{
    if (pgcPadrao->activePage() == tshPadrao) {
        cdsDiagPaci->edit();
        return;
    }
    AlterarExecute();
}

void TfrmDiagPaci::AlterarExecute()
{
    Section *s = activeSection();
    if (!s)
        return;
    requireLoaded(*s);
    s->set->edit();
    if (!s->isReport)
        s->editor->setFocus();
}

void TfrmDiagPaci::sbtConfirmarClick(QObject *)
{
    if (pgcPadrao->activePage() == tshPadrao) {
        cdsDiagPaci->post();
        return;
    }
    ConfirmarExecute();
}

void TfrmDiagPaci::ConfirmarExecute()
{
    if (Section *s = activeSection())
        s->set->post();
}

void TfrmDiagPaci::sbtCancelarClick(QObject *)
{
    CancelarExecute();
}

void TfrmDiagPaci::CancelarExecute()
{
    const bool diagnosisPage = pgcPadrao->activePage() == tshPadrao;
    Section *s = activeSection();
    if (!diagnosisPage && !s)
        return;
    if (!confirm(QStringLiteral("Canc")))
        kmp::silentAbort();
    if (diagnosisPage) {
        cdsDiagPaci->cancel();
        return;
    }
    s->set->cancel();
    sectionLoadEditor(*s);
}

void TfrmDiagPaci::sbtExcluirClick(QObject *)
{
    const bool diagnosisPage = pgcPadrao->activePage() == tshPadrao;
    if (diagnosisPage && !cdsDiagPaci->isEmpty()) {
        if (!confirm(QStringLiteral("Excl")))
            kmp::silentAbort();
        cdsDiagPaci->remove();
    } else if (Section *s = activeSection()) {
        requireLoaded(*s);
        sbtProcurar->setEnabled(false);
        if (s->set->isEmpty())
            fail(QStringLiteral("Exc_not"));
        if (!confirm(QStringLiteral("Excl")))
            kmp::silentAbort();
        sbtProcurar->setEnabled(false);
        s->set->remove();
        sbtVerificarClick(sbtVerificar);
    }
    // After the last diagnosis went, or on an empty list, bring the list back from the server.
    if (pgcPadrao->activePage() == tshPadrao && cdsDiagPaci->isEmpty())
        sbtVerificarClick(sbtVerificar);
}

void TfrmDiagPaci::AtualizarExecute()
{
    // Reloading replaces the list: a diagnosis being typed is dropped only when the
    // clinician agrees, as on closing or switching consultations.
    if (pgcPadrao->activePage() == tshPadrao && cdsDiagPaci->isEditing()) {
        if (!confirm(QStringLiteral("Canc")))
            kmp::silentAbort();
        cdsDiagPaci->cancel(); // its after-cancel handler reloads
        return;
    }
    sbtVerificarClick(sbtVerificar);
}
