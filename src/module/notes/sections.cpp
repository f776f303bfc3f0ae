// The five clinical sections: the editor shows the stored rich text of its record set's
// current record, typing or formatting starts an edit, the screen is locked while a
// section is edited, and every post or delete is saved at once.
#include "tfrmdiagpaci.h"

#include "consiste.h"
#include "showavi.h"
#include "datasource.h"
#include "dbgrid.h"
#include "exceptions.h"
#include "hostservices.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "rtfreader.h"
#include "rtfwriter.h"
#include "tactionlist.h"
#include "tformatpanel.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QKeyEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextList>
#include <QToolButton>

using kmp::DataSetState;

void TfrmDiagPaci::loadEditorFrom(QTextEdit *editor, const QByteArray &stored)
{
    editor->clear();
    if (!stored.isEmpty())
        kmp::rtf::read(stored, editor->document());
    editor->document()->setModified(false);
    editor->moveCursor(QTextCursor::Start);
}

void TfrmDiagPaci::sectionLoadEditor(Section &s)
{
    QByteArray stored;
    if (s.set->isActive() && !s.set->isEmpty() && s.set->state() != DataSetState::Insert)
        stored = s.set->fieldByName(s.textField)->asBytes();
    loadEditorFrom(s.editor, stored);
}

void TfrmDiagPaci::sectionEmptyEditor(Section &s)
{
    loadEditorFrom(s.editor, QByteArray());
    // Text typed next into the empty editor starts without a bullet.
    QTextCursor cursor = s.editor->textCursor();
    if (QTextList *list = cursor.currentList())
        list->remove(cursor.block());
    QTextBlockFormat plain = cursor.blockFormat();
    plain.setIndent(0);
    plain.setTextIndent(0);
    cursor.setBlockFormat(plain);
    s.editor->setTextCursor(cursor);
}

void TfrmDiagPaci::sectionBeforePost(Section &s)
{
    kmp::RecordSet *set = s.set;
    const QByteArray text = kmp::rtf::write(s.editor->document());
    if (!s.isReport) {
        set->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(consultation().branch);
        set->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(consultation().date);
        set->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(consultation().patient);
        set->fieldByName(s.textField)->setAsBytes(text);
        return;
    }
    set->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(consultation().patient);
    set->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(consultation().date);
    set->fieldByName(s.textField)->setAsBytes(text);
    set->fieldByName(QStringLiteral("CDTIPOLAUDO"))->setAsString(cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString());
    set->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(consultation().branch);
}

void TfrmDiagPaci::sectionSave(Section &s)
{
    if (s.set->changeCount() <= 0)
        return;
    try {
        {
            kmp::BusyIndicator busy(HostServices::instance()->mainForm(), 1);
            server->save(s.saveMethod, s.set->delta());
        }
        s.set->mergeChangeLog();
        Norvik::AtualizaLocalCache({s.cacheKey});
    } catch (...) {
        // Back to what the server holds; the editor keeps the text so nothing typed is lost.
        s.set->cancelUpdates();
        throw;
    }
}

void TfrmDiagPaci::sectionStateChange(Section &s)
{
    const DataSetState state = s.set->state();
    // A section not loaded from the server cannot take typing it could never save.
    s.editor->setReadOnly(state == DataSetState::Inactive);
    if (state == DataSetState::Inactive)
        return;
    const bool editing = state != DataSetState::Browse;
    sbtIncluir->setEnabled(!editing);
    sbtAlterar->setEnabled(!editing);
    sbtExcluir->setEnabled(!editing);
    sbtVerificar->setEnabled(false);
    sbtConfirmar->setEnabled(editing);
    sbtCancelar->setEnabled(editing);
    for (Section &other : m_sections)
        if (&other != &s)
            other.page->setPageEnabled(!editing);
    tshPadrao->setPageEnabled(!editing);
    mnuForaEdicao1->setEnabled(!editing);
    mnuForaEdicao2->setEnabled(!editing);
    if (!editing)
        mnuAlterar->setEnabled(true);
    Confirmar->setEnabled(editing);
    Cancelar->setEnabled(editing);
    // Changing the report type while its report is edited would empty the editor under
    // the clinician: the type bar is locked like the other pages.
    if (s.isReport)
        Panel5->setEnabled(!editing);
}

void TfrmDiagPaci::sectionKeyPress(Section &s)
{
    if (s.set->state() != DataSetState::Browse)
        return;
    if (s.set->isEmpty())
        s.set->insert();
    else
        s.set->edit();
}

void TfrmDiagPaci::sectionFormatClick(Section &s, TFormatBtn)
{
    if (!s.isReport) {
        if (!*s.firstClick) {
            *s.firstClick = true;
            return;
        }
        if (s.set->state() == DataSetState::Browse && s.set->isEmpty())
            s.set->insert();
        else
            s.set->edit();
        return;
    }
    if (s.set->state() != DataSetState::Browse)
        return;
    if (s.set->isEmpty())
        s.set->insert();
    s.set->edit();
}

namespace {

// Keys that change an editor's text: printable characters and the editing keys. Moving
// around, copying or selecting changes nothing and starts no edit.
bool changesText(const QKeyEvent *e)
{
    if (e->matches(QKeySequence::Paste) || e->matches(QKeySequence::Cut) || e->matches(QKeySequence::Undo)
        || e->matches(QKeySequence::Redo))
        return true;
    switch (e->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab:
        return !(e->modifiers() & Qt::ControlModifier);
    default:
        break;
    }
    const QString text = e->text();
    return !text.isEmpty() && text.at(0).isPrint() && !(e->modifiers() & Qt::ControlModifier);
}

} // namespace

bool TfrmDiagPaci::eventFilter(QObject *watched, QEvent *event)
{
    // An empty list paints no cell, yet its grid area is painted: that paint is where the
    // empty-list rule has to act (the rule only disables, so running it here is harmless).
    if (event->type() == QEvent::Paint && watched == dbgPadrao->viewport() && cdsDiagPaci->isActive()
        && cdsDiagPaci->isEmpty()) {
        kmp::guarded(this, [this] { dbgPadraoDrawColumnCell(); });
        return false;
    }
    if (event->type() == QEvent::KeyPress) {
        for (Section &s : m_sections) {
            if (watched != s.editor)
                continue;
            if (!changesText(static_cast<QKeyEvent *>(event)))
                break;
            // The key reaches the editor only once the record is in edit or insert state,
            // so that what is typed always belongs to a record that can be saved.
            const bool ok = kmp::guarded(this, [&] { sectionKeyPress(s); });
            return !ok || s.editor->isReadOnly();
        }
    }
    return TfrmPadraoGrid::eventFilter(watched, event);
}
