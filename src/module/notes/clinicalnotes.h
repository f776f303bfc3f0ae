#pragma once

#include <QObject>
#include <QString>
#include <array>

class QAction;
class QTextEdit;
class QWidget;
class TfrmDiagPaci;

namespace kmp {

class DataSource;
class RecordSet;
class TFormatPanel;
class TabPage;
enum class TFormatBtn;

// One clinical section: its page, editor and format bar, the record set that holds its
// text for the consultation, and how it is saved.
struct NoteSection
{
    QString name; // record-set name without "cds"
    TabPage *page = nullptr;
    QWidget *panel = nullptr;
    TFormatPanel *bar = nullptr;
    QTextEdit *editor = nullptr;
    RecordSet *set = nullptr;
    DataSource *source = nullptr;
    QAction *menu = nullptr;
    QString textField;
    QString saveMethod;
    QString cacheKey;
    bool *firstClick = nullptr; // null for the report
    bool isReport = false;

    // While the screen itself writes the editor (loading a record, a template), the
    // document's changes are no clinician's edit.
    int writing = 0;
    // While an edit starts from what is already in the editor, the new record must not
    // empty the editor: the clinician's change is its first content.
    int adopting = 0;
};

// The five clinical sections of the consultation and the report type of "Sinais e
// Sintomas": what the editors show, how an edit starts, what is stamped and saved, and how
// the report of a type (or its template) is fetched.
//
// An edit starts from what happened to the editor's document (typed keys, dead keys and
// input methods, paste, cut, drag and drop, undo, the format bar), never from which key was
// pressed, so that whatever the clinician sees in the editor is what gets saved.
class ClinicalNotes : public QObject
{
    Q_OBJECT
public:
    static constexpr int Count = 5;

    explicit ClinicalNotes(TfrmDiagPaci &screen);

    NoteSection &section(int i) { return m_sections[size_t(i)]; }
    std::array<NoteSection, Count> &sections() { return m_sections; }

    // Connects the record sets, data sources, editors and bars once the layout is built.
    void wire();

    // Record-set notifications of a section.
    void loadEditor(NoteSection &s);  // after open, after scroll
    void emptyEditor(NoteSection &s); // before or after close
    void beforePost(NoteSection &s);
    void saveAfterPost(NoteSection &s);
    void saveAfterDelete(NoteSection &s);
    void stateChange(NoteSection &s);
    void formatClick(NoteSection &s, TFormatBtn button);

    // The editor's document changed (text or format) while no one but the clinician wrote it.
    void documentEdited(NoteSection &s);
    // Replaces the editor's whole content without that counting as an edit.
    void writeEditor(NoteSection &s, const QByteArray &stored);
    // F5 while a section is edited: the stored version is fetched again, and the
    // clinician's text stays in the editor, still in edit, to be confirmed or cancelled.
    void refreshWhileEditing(NoteSection &s);
    // The stored text shown again (F5 in browse), the caret and the view where they were.
    void reloadKeepingPlace(NoteSection &s);

    // Report type and template.
    void Vd_Laudo(bool boObrigatorio);
    void panDescLaudoEnter();
    void medTpLaudoChange();
    void BtpTipoLaudoBeforePesq(bool &cancel);
    void BtpTipoLaudoAfterPesq();
    // Whether the report on screen is the one of the type in the bar.
    bool reportMatchesType() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void startEdit(NoteSection &s);
    void refuseChange(NoteSection &s, const QString &key);
    void saveSection(NoteSection &s, bool posted);
    void reloadStored(NoteSection &s);
    QByteArray storedText(NoteSection &s) const; // the current record's text as loaded
    NoteSection *editingSection();

    TfrmDiagPaci &m_screen;
    std::array<NoteSection, Count> m_sections;
    QString m_reportType; // the type the report set was fetched for
    bool m_postedInsert[Count] = {};
};

} // namespace kmp
