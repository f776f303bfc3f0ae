// The five clinical sections: the editor shows the stored rich text of its record set's
// current record, any change to the editor's document starts an edit, the screen is locked
// while a section is edited, and every post or delete is saved at once.
#include "clinicalnotes.h"

#include "actionlist.h"
#include "consiste.h"
#include "datasource.h"
#include "exceptions.h"
#include "hostservices.h"
#include "message.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "rtfreader.h"
#include "rtfwriter.h"
#include "showavi.h"
#include "tformatpanel.h"
#include "tfrmdiagpaci.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextList>
#include <QToolButton>

namespace kmp {

namespace {

// Counts a nesting level for as long as it lives.
class Nesting
{
public:
    explicit Nesting(int &level) : m_level(level) { ++m_level; }
    ~Nesting() { --m_level; }
    Nesting(const Nesting &) = delete;
    Nesting &operator=(const Nesting &) = delete;

private:
    int &m_level;
};

// Where the clinician is in an editor: the caret, the selection and the scrolled view, to
// be put back after the editor's content was written again (within the new text's length).
class EditorPlace
{
public:
    explicit EditorPlace(QTextEdit *editor)
        : m_editor(editor), m_anchor(editor->textCursor().anchor()), m_position(editor->textCursor().position()),
          m_left(editor->horizontalScrollBar()->value()), m_top(editor->verticalScrollBar()->value())
    {
    }

    void restore() const
    {
        QTextCursor cursor(m_editor->document());
        const int end = qMax(0, m_editor->document()->characterCount() - 1);
        cursor.setPosition(qMin(m_anchor, end));
        cursor.setPosition(qMin(m_position, end), QTextCursor::KeepAnchor);
        m_editor->setTextCursor(cursor);
        // The whole text laid out first, so that the scroll bars reach as far as before.
        m_editor->document()->size();
        m_editor->horizontalScrollBar()->setValue(m_left);
        m_editor->verticalScrollBar()->setValue(m_top);
    }

private:
    QTextEdit *m_editor;
    int m_anchor, m_position, m_left, m_top;
};

} // namespace

ClinicalNotes::ClinicalNotes(TfrmDiagPaci &screen) : QObject(&screen), m_screen(screen)
{
    setObjectName(QStringLiteral("clinicalNotes"));
    const std::pair<const char *, const char *> texts[] = {
        {"Secao_Bloq", "Esta seção não pode ser alterada agora. Confirme ou cancele a alteração em andamento, "
                       "ou aguarde o carregamento da seção."},
        {"Secao_Recarregada", "A versão gravada desta seção foi carregada novamente. O seu texto continua na tela "
                              "em alteração: confira e confirme para gravá-lo, ou cancele para ficar com a versão "
                              "gravada."},
        {"Secao_Conflito", "Outra estação gravou esta seção enquanto você a editava, e nada foi gravado. O seu "
                           "texto continua na tela em alteração: tecle F5 para carregar a versão gravada e depois "
                           "confirme para gravar o seu texto sobre ela, ou cancele para ficar com a versão gravada."},
    };
    for (const auto &[key, text] : texts)
        m_screen.msgPadrao->add(QLatin1String(key), QString::fromUtf8(text));
}

void ClinicalNotes::wire()
{
    for (NoteSection &s : m_sections) {
        NoteSection *sec = &s;
        RecordSet *set = s.set;
        set->OnAfterOpen = [this, sec](RecordSet &) { loadEditor(*sec); };
        set->OnAfterScroll = [this, sec](RecordSet &) { loadEditor(*sec); };
        if (set == m_screen.cdsHistDoen)
            set->OnBeforeClose = [this, sec](RecordSet &) { emptyEditor(*sec); };
        else
            set->OnAfterClose = [this, sec](RecordSet &) { emptyEditor(*sec); };
        set->OnBeforePost = [this, sec](RecordSet &) { beforePost(*sec); };
        set->OnAfterPost = [this, sec](RecordSet &) { saveAfterPost(*sec); };
        set->OnAfterDelete = [this, sec](RecordSet &) { saveAfterDelete(*sec); };
        s.source->OnStateChange = [this, sec](DataSource &) { stateChange(*sec); };
        s.bar->OnClick = [this, sec](TFormatPanel &, TFormatBtn button) {
            guarded(&m_screen, [&] { formatClick(*sec, button); });
        };
        // A new undo step is every change that did not merge into the previous one; a
        // document that turns modified catches undo and redo past the stored state. Both
        // together see every change the clinician makes, whatever made it.
        QTextDocument *doc = s.editor->document();
        connect(doc, &QTextDocument::undoCommandAdded, this, [this, sec] { documentEdited(*sec); });
        connect(doc, &QTextDocument::modificationChanged, this, [this, sec](bool modified) {
            if (modified)
                documentEdited(*sec);
        });
        s.editor->installEventFilter(this);
        s.editor->viewport()->installEventFilter(this);
    }
    connect(m_screen.medTpLaudo, &QLineEdit::textChanged, this, [this] { guarded(&m_screen, [this] { medTpLaudoChange(); }); });
}

// ---------------------------------------------------------------------------------------
// the editor and its record set

void ClinicalNotes::writeEditor(NoteSection &s, const QByteArray &stored)
{
    Nesting writing(s.writing);
    QTextEdit *editor = s.editor;
    editor->clear();
    if (!stored.isEmpty())
        rtf::read(stored, editor->document());
    // Undoing past what was loaded would empty the section as an "edit".
    editor->document()->clearUndoRedoStacks();
    editor->document()->setModified(false);
    editor->moveCursor(QTextCursor::Start);
}

void ClinicalNotes::loadEditor(NoteSection &s)
{
    // The new record of an edit started by the clinician's change takes what the editor
    // holds; emptying it now would drop that change.
    if (s.adopting)
        return;
    writeEditor(s, storedText(s));
}

void ClinicalNotes::emptyEditor(NoteSection &s)
{
    writeEditor(s, QByteArray());
    Nesting writing(s.writing);
    // Text typed next into the empty editor starts without a bullet.
    QTextCursor cursor = s.editor->textCursor();
    if (QTextList *list = cursor.currentList())
        list->remove(cursor.block());
    QTextBlockFormat plain = cursor.blockFormat();
    plain.setIndent(0);
    plain.setTextIndent(0);
    cursor.setBlockFormat(plain);
    s.editor->setTextCursor(cursor);
    s.editor->document()->clearUndoRedoStacks();
    s.editor->document()->setModified(false);
}

void ClinicalNotes::beforePost(NoteSection &s)
{
    RecordSet *set = s.set;
    m_postedInsert[&s - m_sections.data()] = set->state() == DataSetState::Insert;
    const QByteArray text = rtf::write(s.editor->document());
    if (!s.isReport) {
        set->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(m_screen.consultation().branch);
        set->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(m_screen.consultation().date);
        set->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(m_screen.consultation().patient);
        set->fieldByName(s.textField)->setAsBytes(text);
        return;
    }
    set->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(m_screen.consultation().patient);
    set->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(m_screen.consultation().date);
    set->fieldByName(s.textField)->setAsBytes(text);
    set->fieldByName(QStringLiteral("CDTIPOLAUDO"))
        ->setAsString(m_screen.cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString());
    set->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(m_screen.consultation().branch);
}

void ClinicalNotes::saveAfterPost(NoteSection &s)
{
    saveSection(s, true);
}

void ClinicalNotes::saveAfterDelete(NoteSection &s)
{
    saveSection(s, false);
}

void ClinicalNotes::saveSection(NoteSection &s, bool posted)
{
    if (s.set->changeCount() <= 0)
        return;
    // Back to what the server holds; yet after a post the clinician's text is no pending
    // change to drop: it stays in the editor, in edit again, so that Confirm retries and
    // nothing typed is lost.
    const auto notSaved = [&]() {
        if (!posted) {
            s.set->cancelUpdates();
            return;
        }
        Nesting adopting(s.adopting);
        s.set->cancelUpdates();
        if (m_postedInsert[&s - m_sections.data()] || s.set->isEmpty())
            s.set->insert();
        else
            s.set->edit();
    };
    try {
        {
            BusyIndicator busy(HostServices::instance()->mainForm(), 1);
            m_screen.server->save(s.saveMethod, s.set->delta());
        }
        s.set->mergeChangeLog();
        stateChange(s);
        Norvik::AtualizaLocalCache({s.cacheKey});
    } catch (const ServerError &e) {
        notSaved();
        // The server's own answer to a clash asks for a refresh; in edit the Refresh button
        // is off, so the clinician is told the key that does it and what Confirm does next.
        if (posted && e.code() == int(wire::ErrorCode::Conflict))
            throw ServerError(e.code(), m_screen.msgPadrao->Msg(QStringLiteral("Secao_Conflito")));
        throw;
    } catch (...) {
        notSaved();
        throw;
    }
}

NoteSection *ClinicalNotes::editingSection()
{
    for (NoteSection &s : m_sections)
        if (s.set->isEditing())
            return &s;
    return nullptr;
}

void ClinicalNotes::stateChange(NoteSection &s)
{
    const DataSetState state = s.set->state();
    // A section not loaded from the server cannot take typing or formatting it could never save.
    const bool closed = state == DataSetState::Inactive;
    s.editor->setReadOnly(closed);
    s.bar->setEnabled(!closed);
    if (closed)
        return;
    // A posted section is stored only once its save has come back: while "Gravando..." is
    // shown the toolbar still offers what the edit offered, and browse follows the save.
    const bool editing = state != DataSetState::Browse || s.set->changeCount() > 0;
    // In browse the editor shows what is stored: the next change to it is a new edit.
    if (!editing)
        s.editor->document()->setModified(false);
    TfrmDiagPaci &f = m_screen;
    f.sbtIncluir->setEnabled(!editing);
    f.sbtAlterar->setEnabled(!editing);
    f.sbtExcluir->setEnabled(!editing);
    f.sbtVerificar->setEnabled(false);
    f.sbtConfirmar->setEnabled(editing);
    f.sbtCancelar->setEnabled(editing);
    for (NoteSection &other : m_sections) {
        if (&other == &s)
            continue;
        other.page->setPageEnabled(!editing);
        // The page commands follow their pages: a locked page cannot be reached by key
        // or menu either, so what is typed next stays in the section being edited.
        other.menu->setEnabled(!editing);
    }
    f.tshPadrao->setPageEnabled(!editing);
    f.mnuDiagnostico->setEnabled(!editing);
    f.mnuForaEdicao1->setEnabled(!editing);
    f.mnuForaEdicao2->setEnabled(!editing);
    if (!editing)
        f.mnuAlterar->setEnabled(true);
    f.Confirmar->setEnabled(editing);
    f.Cancelar->setEnabled(editing);
    // Changing the report type while its report is edited would empty the editor under
    // the clinician: the type bar is locked like the other pages.
    if (s.isReport)
        f.Panel5->setEnabled(!editing);
}

void ClinicalNotes::startEdit(NoteSection &s)
{
    if (s.set->state() != DataSetState::Browse)
        return;
    Nesting adopting(s.adopting);
    if (s.set->isEmpty())
        s.set->insert();
    else
        s.set->edit();
}

void ClinicalNotes::documentEdited(NoteSection &s)
{
    if (s.writing || s.set->isEditing())
        return;
    NoteSection *other = editingSection();
    if (!s.set->isActive() || (other && other != &s) || m_screen.cdsDiagPaci->isEditing()) {
        refuseChange(s, QStringLiteral("Secao_Bloq"));
        return;
    }
    if (!guarded(&m_screen, [&] { startEdit(s); }))
        refuseChange(s, QString());
}

void ClinicalNotes::refuseChange(NoteSection &s, const QString &key)
{
    // The document is in the middle of its change: put it back once the change is over,
    // so that what the editor shows is what the section holds.
    NoteSection *sec = &s;
    QMetaObject::invokeMethod(
        this,
        [this, sec, key] {
            if (sec->set->isEditing())
                return;
            loadEditor(*sec);
            if (!key.isEmpty())
                m_screen.msgPadrao->ShowMsg(key, MessageType::Warning, MessageButton::Ok, 0);
        },
        Qt::QueuedConnection);
}

void ClinicalNotes::formatClick(NoteSection &s, TFormatBtn)
{
    // The first click is remembered as before, but it is a format change like any other:
    // the bar has formatted the editor, and the edit that stores it starts now.
    if (s.firstClick)
        *s.firstClick = true;
    if (!s.set->isActive())
        return;
    NoteSection *other = editingSection();
    if ((other && other != &s) || m_screen.cdsDiagPaci->isEditing()) {
        refuseChange(s, QStringLiteral("Secao_Bloq"));
        return;
    }
    startEdit(s);
}

void ClinicalNotes::reloadStored(NoteSection &s)
{
    if (!s.isReport) {
        m_screen.loadHistorySets();
        return;
    }
    const Consultation &c = m_screen.consultation();
    BusyIndicator busy(HostServices::instance()->mainForm(), 6);
    m_screen.cdsMemLaudo->loadFromPacket(m_screen.server->GetMemLaudo(c.branch, c.patient, m_reportType, c.date));
}

QByteArray ClinicalNotes::storedText(NoteSection &s) const
{
    RecordSet *set = s.set;
    if (!set->isActive() || set->isEmpty() || set->state() == DataSetState::Insert)
        return QByteArray();
    return set->fieldByName(s.textField)->asBytes();
}

void ClinicalNotes::reloadKeepingPlace(NoteSection &s)
{
    const EditorPlace place(s.editor);
    loadEditor(s);
    place.restore();
}

void ClinicalNotes::refreshWhileEditing(NoteSection &s)
{
    // The clinician goes on typing where the caret was, not at the top of the note.
    const EditorPlace place(s.editor);
    const QByteArray mine = rtf::write(s.editor->document());
    const QByteArray before = s.set->state() == DataSetState::Edit ? s.set->fieldByName(s.textField)->asBytes() : QByteArray();
    try {
        reloadStored(s);
    } catch (...) {
        // Nothing was reloaded: the edit and the text on screen stay as they were.
        stateChange(s);
        throw;
    }
    const QByteArray after = storedText(s);
    if (rtf::write(s.editor->document()) != mine) {
        startEdit(s);
        writeEditor(s, mine);
        s.editor->document()->setModified(true);
        // Someone else saved the section meanwhile: the clinician is told that Confirm
        // now writes over that version and Cancel keeps it.
        if (after != before)
            m_screen.msgPadrao->ShowMsg(QStringLiteral("Secao_Recarregada"), MessageType::Information, MessageButton::Ok, 0);
    }
    place.restore();
    stateChange(s);
    // The refresh of the lists turned Search on; on the history page it stays off.
    m_screen.sbtProcurar->setEnabled(false);
    s.editor->setFocus();
}

// ---------------------------------------------------------------------------------------
// report type and template

void ClinicalNotes::medTpLaudoChange()
{
    NoteSection &s = m_sections[TfrmDiagPaci::SinaSint];
    writeEditor(s, QByteArray());
    m_screen.edtTpLaudo->clear();
    // The report on hand belongs to the previous type: with it still loaded, the next
    // keystroke would edit that report and Confirm would store it under the new type.
    if (m_screen.cdsMemLaudo->isActive() && !m_screen.cdsMemLaudo->isEditing())
        m_screen.cdsMemLaudo->close();
}

bool ClinicalNotes::reportMatchesType() const
{
    return m_screen.cdsMemLaudo->isActive() && m_reportType == Consiste::Ajusta(m_screen.medTpLaudo->text(), 3)
           && !Consiste::EmptyString(m_reportType);
}

void ClinicalNotes::Vd_Laudo(bool boObrigatorio)
{
    TfrmDiagPaci &f = m_screen;
    try {
        const QString typed = f.medTpLaudo->text();
        if (Consiste::EmptyString(typed)) {
            if (boObrigatorio)
                f.fail(QStringLiteral("TpLaudo_Inf"));
            return;
        }
        f.medTpLaudo->setText(Consiste::Ajusta(typed, 3));
        f.cdsTipoLaudo->loadFromPacket(f.server->GetTipoLaudo(f.medTpLaudo->text(), QString()));
        if (f.cdsTipoLaudo->isEmpty())
            f.fail(QStringLiteral("TpLaudo_NCad"));
        f.edtTpLaudo->setText(f.cdsTipoLaudo->fieldByName(QStringLiteral("NMTIPOLAUDO"))->asString());
    } catch (...) {
        f.medTpLaudo->setFocus();
        throw;
    }
}

void ClinicalNotes::panDescLaudoEnter()
{
    TfrmDiagPaci &f = m_screen;
    NoteSection &s = m_sections[TfrmDiagPaci::SinaSint];
    // Coming back to a report that is being edited keeps the edit: fetching it again
    // would throw away what was typed.
    if (f.cdsMemLaudo->isEditing()) {
        f.rceLaudo->setFocus();
        return;
    }
    Vd_Laudo(true);
    const Consultation &c = f.consultation();
    const QString type = f.cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString();
    {
        BusyIndicator busy(HostServices::instance()->mainForm(), 6);
        f.cdsMemLaudo->loadFromPacket(f.server->GetMemLaudo(c.branch, c.patient, type, c.date));
    }
    m_reportType = type;
    const QByteArray templ = f.cdsTipoLaudo->fieldByName(QStringLiteral("DSPADRLAUDO"))->asBytes();
    if (f.cdsMemLaudo->isEmpty() && !Consiste::EmptyString(QString::fromLatin1(templ))) {
        f.cdsMemLaudo->insert();
        f.cdsMemLaudo->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(c.patient);
        f.cdsMemLaudo->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(c.date);
        f.cdsMemLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->setAsString(f.medTpLaudo->text());
        writeEditor(s, templ);
        f.cdsMemLaudo->post();
    }
    f.rceLaudo->setFocus();
}

void ClinicalNotes::BtpTipoLaudoBeforePesq(bool &)
{
    m_screen.cdsTipoLaudo->loadFromPacket(m_screen.server->GetTipoLaudo(QString(), QStringLiteral("T")));
}

void ClinicalNotes::BtpTipoLaudoAfterPesq()
{
    TfrmDiagPaci &f = m_screen;
    f.medTpLaudo->setText(f.cdsTipoLaudo->fieldByName(QStringLiteral("CDTIPOLAUDO"))->asString());
    f.edtTpLaudo->setText(f.cdsTipoLaudo->fieldByName(QStringLiteral("NMTIPOLAUDO"))->asString());
    // The chosen type's own report (or its template) is on screen before anything can be
    // typed, so that no keystroke ever lands in another type's report.
    panDescLaudoEnter();
}

bool ClinicalNotes::eventFilter(QObject *watched, QEvent *event)
{
    // However the clinician reaches the report (a click after a message, typing into it,
    // a drop), the report of the type in the bar is fetched first: the read-only editor
    // of a report not yet fetched must not swallow what was meant for it.
    // Only what a person does can ask for the report. Everything else passes untouched,
    // before anything of the screen is read: the editors also send events while the screen
    // is being destroyed, when the type entry and the record sets may already be gone.
    const QEvent::Type type = event->type();
    bool entering = false;
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::DragEnter:
    case QEvent::InputMethod: entering = true; break;
    case QEvent::KeyPress: {
        const auto *key = static_cast<QKeyEvent *>(event);
        entering = !key->text().isEmpty() && key->text().at(0).isPrint();
        break;
    }
    default: break;
    }
    if (!entering)
        return QObject::eventFilter(watched, event);
    NoteSection &report = m_sections[TfrmDiagPaci::SinaSint];
    const bool inReport = watched == report.editor || watched == report.editor->viewport();
    if (!inReport || reportMatchesType() || m_screen.cdsMemLaudo->isEditing())
        return QObject::eventFilter(watched, event);
    // A click gives the editor the focus before the click itself arrives here, and that
    // entry has already asked for the report (and said why it could not be had). Asking
    // again would show the same message a second time, and the typing meant for the code
    // entry would land in that second box.
    if (type == QEvent::MouseButtonPress && !report.editor->hasFocus())
        return true;
    const bool ok = guarded(&m_screen, [this] { panDescLaudoEnter(); });
    // A failed entry left the focus on the code entry with its message: the event that
    // asked for the report has nowhere to go.
    return !ok;
}

} // namespace kmp
