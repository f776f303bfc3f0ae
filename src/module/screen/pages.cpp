// Page navigation: the history load on the user's tab change, the page commands of the
// operations menu with their check marks, and the focus handling of the two pages.
#include "tfrmdiagpaci.h"

#include "exceptions.h"
#include "hostservices.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "showavi.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QApplication>
#include <QToolButton>

void TfrmDiagPaci::loadHistory()
{
    sbtProcurar->setEnabled(false);
    loadHistorySets();
}

void TfrmDiagPaci::loadHistorySets()
{
    QList<QByteArray> parts;
    {
        kmp::BusyIndicator busy(kmp::HostServices::instance()->mainForm(), 6);
        parts = server->GetHistGer(consultation().patient, consultation().branch, consultation().date);
    }
    // Loaded only once the result passed its check, so a failure leaves them as they were.
    showHistoryParts(parts);
}

void TfrmDiagPaci::showHistoryParts(const QList<QByteArray> &parts)
{
    cdsHistDoen->loadFromPacket(parts[0]);
    cdsHistClinProg->loadFromPacket(parts[1]);
    cdsHistFam->loadFromPacket(parts[2]);
    cdsExamFisi->loadFromPacket(parts[3]);
}

void TfrmDiagPaci::pgcPadraoChange()
{
    if (pgcPadrao->activePage() == tshHistorico)
        loadHistory();
    if (pgcPadrao->activePage() == tshPadrao) {
        sbtAlterar->setEnabled(false);
        mnuAlterar->setEnabled(false);
        if (cdsDiagPaci->isEmpty())
            sbtExcluir->setEnabled(false);
    } else {
        sbtProcurar->setEnabled(false);
    }
}

// Whatever brought a page to the front (its tab, a menu command, a key), the toolbar and
// the grid's navigator show what that page offers: the history sections left "Atualizar"
// off, and the diagnosis list's navigator and name have nothing to do on the history page.
void TfrmDiagPaci::pageCameToFront()
{
    const bool diagnosisPage = pgcPadrao->activePage() == tshPadrao;
    ctlInativoHistorico->setEnabled(diagnosisPage);
    ctlOcultoHistorico->setVisible(diagnosisPage);
    if (diagnosisPage && cdsDiagPaci->isActive())
        applyPageRules();
}

void TfrmDiagPaci::pgcHistoricoChange()
{
    if (Section *s = activeSection())
        setHistoryMarks(s->menu);
}

void TfrmDiagPaci::setHistoryMarks(QAction *checked)
{
    for (QAction *item : {mnuHistDoen, mnuHistClinProg, mnuHistFam, mnuSinaSint, mnuExamFisi})
        item->setChecked(item == checked);
}

void TfrmDiagPaci::goToHistoryPage(kmp::TabPage *page, QAction *item)
{
    // A page locked by an edit in progress is not reached by command either.
    if (!tshHistorico->pageEnabled() || !page->pageEnabled())
        return;
    const bool cameToFront = pgcPadrao->activePage() != tshHistorico;
    pgcPadrao->SetActivePage(tshHistorico);
    // Reaching the history page by command must show the sections as stored, exactly as
    // reaching it by its tab does: an unloaded section would take typing it cannot save.
    if (cameToFront && pgcPadrao->activePage() == tshHistorico)
        pgcPadraoChange();
    pgcHistorico->SetActivePage(page);
    setHistoryMarks(item);
}

void TfrmDiagPaci::mnuHistDoenClick()
{
    goToHistoryPage(tshHistDoenAtu, mnuHistDoen);
}
void TfrmDiagPaci::mnuHistClinProgClick()
{
    goToHistoryPage(tshHistclinProg, mnuHistClinProg);
}
void TfrmDiagPaci::mnuHistFamClick()
{
    goToHistoryPage(tshHistFam, mnuHistFam);
}
void TfrmDiagPaci::mnuSinaSintClick()
{
    goToHistoryPage(tshSinaSint, mnuSinaSint);
}
void TfrmDiagPaci::mnuExamFisiClick()
{
    goToHistoryPage(tshExamFisi, mnuExamFisi);
}

void TfrmDiagPaci::mnuDiagnosticoClick()
{
    if (!tshPadrao->pageEnabled())
        return;
    pgcPadrao->SetActivePage(tshPadrao);
    setHistoryMarks(nullptr);
}

void TfrmDiagPaci::tshPadraoEnter()
{
    mnuDiagnostico->setChecked(true);
    sbtProcurar->setEnabled(true);
}

void TfrmDiagPaci::tshPadraoExit()
{
    mnuDiagnostico->setChecked(false);
}

void TfrmDiagPaci::pgcHistoricoEnter()
{
    sbtProcurar->setEnabled(false);
    ctlInativoHistorico->setEnabled(false);
    ctlOcultoHistorico->hide();
}

void TfrmDiagPaci::pgcHistoricoExit()
{
    // The focus may leave the sections for the header while the history page stays in
    // front: the list's controls come back only with the diagnosis page.
    if (pgcPadrao->activePage() != tshPadrao)
        return;
    ctlInativoHistorico->setEnabled(true);
    ctlOcultoHistorico->show();
}

void TfrmDiagPaci::sbtProcurarClick(QObject *sender)
{
    if (pgcPadrao->activePage() == tshHistorico)
        return;
    TfrmPadraoGrid::sbtProcurarClick(sender);
}

TfrmDiagPaci::Section *TfrmDiagPaci::activeSection()
{
    if (pgcPadrao->activePage() != tshHistorico)
        return nullptr;
    kmp::TabPage *page = pgcHistorico->activePage();
    for (Section &s : notes->sections())
        if (s.page == page)
            return &s;
    return nullptr;
}

// Focus entering and leaving a page or panel is judged against the last control of this
// screen that had the focus, so that switching to another window and back, or a message
// box in between, is not taken for the user moving around the screen.
void TfrmDiagPaci::focusMoved(QWidget *, QWidget *now)
{
    // Focus that moves because the screen is closing is no user entering anything.
    if (!now || !isAncestorOf(now) || !isVisible() || m_closing)
        return;
    QWidget *old = m_lastFocus;
    m_lastFocus = now;
    if (old == now)
        return;
    auto inside = [](QWidget *area, QWidget *w) { return w && (w == area || area->isAncestorOf(w)); };
    if (inside(tshPadrao, old) && !inside(tshPadrao, now))
        kmp::guarded(this, [this] { tshPadraoExit(); });
    if (!inside(tshPadrao, old) && inside(tshPadrao, now))
        kmp::guarded(this, [this] { tshPadraoEnter(); });
    if (!inside(panDescLaudo, old) && inside(panDescLaudo, now))
        kmp::guarded(this, [this] { panDescLaudoEnter(); });
}
