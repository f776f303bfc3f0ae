#pragma once

#include "clinicalnotes.h"
#include "consultation.h"
#include "tfrmpadraogrid.h"

#include <QPointer>
#include <array>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QSplitter;
class QTextEdit;
namespace kmp {
class Action;
class ActionList;
class TBtnPesquisa;
class TButtonFlat;
class TDateEditPlus;
class TFormatPanel;
class TNetConnection;
class TPageControl;
class TabPage;
class RdmDiagPaci;
struct PendingOpening;
class DiagnosisList;
class DataSource;
class RecordSet;
enum class TFormatBtn;
} // namespace kmp

// "Diagnóstico do Paciente": the consultation's ordered diagnoses, the patient's admission
// diagnoses, five rich-text clinical sections and the diagnosis listing.
//
// The handlers keep the names the screen's designers gave them; those of the diagnosis
// list live in diagnosis/, those of the clinical sections and the report type in notes/.
class TfrmListDiagPaci;

class TfrmDiagPaci : public TfrmPadraoGrid
{
    Q_OBJECT
    friend class kmp::ClinicalNotes; // the notes part shows its messages through the screen's
public:
    // Builds the screen for a consultation, owned by the host's application object, and
    // runs its creation sequence; a failure leaves nothing behind and reaches the caller.
    static TfrmDiagPaci *create(QObject *owner, const kmp::Consultation &consultation);

    // Which page of pgcPadrao is in front when the screen is created.
    static bool startOnHistoryPage;

    // With a consultation (as create() builds it), the consultation's first loads are
    // sent while the screen is built, when a connection to the server is at hand.
    explicit TfrmDiagPaci(QObject *owner = nullptr, const kmp::Consultation *opening = nullptr);
    ~TfrmDiagPaci() override;

    bool hasPendingEdit() const; // any record set of the screen being edited or inserted
    // Moves the whole screen to another consultation: everything it needs is read first,
    // then header, lists and where saves go change together. On any failure the screen
    // stays entirely on the consultation it had, and the failure reaches the caller.
    void switchTo(const kmp::Consultation &consultation);
    const kmp::Consultation &consultation() const;
    void showPatientText(const QString &text); // the same consultation, shown under another text
    void showScreen();                         // normal state, shown and in front
    kmp::DiagnosisList *diagnoses() const { return m_diagnoses; }
    // Where the first click on each history bar is recorded (the screen's own flags until
    // the caller hands others, such as the module's exported ones).
    void useFirstClickFlags(bool *histDoen, bool *histClinProg, bool *histFam, bool *examFisi);
    // Runs with each listing screen the print command opens, before it is shown.
    std::function<void(TfrmListDiagPaci *)> OnListingOpened;

    // --- the clinical sections, kept by the notes part -----------------------------------
    using Section = kmp::NoteSection;
    enum SectionIndex { HistDoen = 0, HistClinProg, HistFam, SinaSint, ExamFisi, SectionCount };
    Section &section(int i) { return notes->section(i); }
    kmp::ClinicalNotes *notes;
    Section *activeSection(); // the section in front on the history page, or null

    // --- record sets and the connection -----------------------------------------------
    kmp::TNetConnection *netDiagPaci;
    std::unique_ptr<kmp::RdmDiagPaci> server;
    kmp::RecordSet *cdsDiagPaci, *cdsDiagPaciAux, *cdsDiagAsso, *cdsDiagnost, *cdsTipoLaudo, *cdsMemLaudo;
    kmp::RecordSet *cdsHistDoen, *cdsHistClinProg, *cdsHistFam, *cdsExamFisi;
    kmp::DataSource *dtsDiagAsso, *dtsDiagnost, *dtsTipo, *dtsMemLaudo;
    kmp::DataSource *dtsHistDoen, *dtsHistClinProg, *dtsHistFam, *dtsExamFisi;

    // --- layout --------------------------------------------------------------------------
    QWidget *Panel1;
    QLabel *lblPaciente;
    QLineEdit *edtPaciente;
    QLabel *lblDataCon;
    kmp::TDateEditPlus *DEPDTConsulta;

    kmp::TabPage *tshHistorico;
    kmp::TPageControl *pgcHistorico;
    kmp::TabPage *tshHistDoenAtu, *tshHistclinProg, *tshHistFam, *tshSinaSint, *tshExamFisi;
    QWidget *panHistDoencDesc, *panHistClinProg, *panHisiFamDesc, *panExamFisiDesc;
    kmp::TFormatPanel *frpHistDoen, *frphistClin, *frpHistFam, *frpLaudo, *frpExamFisi;
    QTextEdit *rceHistDoen, *rceHistclinProg, *rceHistFam, *rceLaudo, *rceExamFisi;
    QWidget *Panel5;
    QLabel *lblTipLaud;
    QLineEdit *medTpLaudo;
    kmp::TBtnPesquisa *BtpTipoLaudo;
    QLineEdit *edtTpLaudo;
    QWidget *panDescLaudo;

    QWidget *panAssociado;
    QLabel *lblDiagAssoc;
    QWidget *Panel2;
    kmp::TButtonFlat *sbtItemUp, *sbtItemDown;
    QSplitter *Splitter1;
    QWidget *Panel3, *Panel4;
    QLabel *lblDiagInt;
    kmp::DBGrid *dbgDiagAsso;

    QAction *mnuDiagnostico, *mnuHistorico;
    QAction *mnuHistDoen, *mnuHistClinProg, *mnuHistFam, *mnuSinaSint, *mnuExamFisi;

    kmp::ActionList *aclBotoes, *aclDiagBotoes;
    kmp::Action *Confirmar, *Cancelar, *Incluir, *Alterar, *Excluir, *Atualizar;
    kmp::Action *confirmarD, *cancelarD;

    // --- life cycle ------------------------------------------------------------------------
    void FormCreate() override;
    void FormActivate() override;
    void FormClose(kmp::CloseAction &action) override;
    void mnuSairClick() override;
    void sbtImprimirClick(QObject *sender) override;

    // --- pages and menu ----------------------------------------------------------------------
    void pgcPadraoChange();
    void pageCameToFront(); // any change of the page in front, by the user or by a command
    void pgcHistoricoChange();
    void tshPadraoEnter();
    void tshPadraoExit();
    void pgcHistoricoEnter();
    void pgcHistoricoExit();
    void mnuDiagnosticoClick();
    void mnuHistDoenClick();
    void mnuHistClinProgClick();
    void mnuHistFamClick();
    void mnuSinaSintClick();
    void mnuExamFisiClick();
    void sbtProcurarClick(QObject *sender) override;
    void loadHistory();     // the tab change's load: Search off, then the four sections
    void loadHistorySets(); // the four sections from the server, under the busy indicator
    void showHistoryParts(const QList<QByteArray> &parts);

    // --- toolbar commands ----------------------------------------------------------------------
    void sbtIncluirClick(QObject *sender) override;
    void IncluirExecute();
    void sbtAlterarClick(QObject *sender) override;
    void AlterarExecute();
    void sbtConfirmarClick(QObject *sender) override;
    void ConfirmarExecute();
    void sbtCancelarClick(QObject *sender) override;
    void CancelarExecute();
    void sbtExcluirClick(QObject *sender) override;
    void AtualizarExecute();

    // --- diagnosis list ----------------------------------------------------------------------
    void cdsDiagPaciBeforeInsert();
    void dbgPadraoKeyPress(QChar &key) override;
    void dbgPadraoEditButtonClick();
    void dbgPadraoColExit();
    void Vd_DiagPaci(bool boObrigatorio);
    void cdsDiagPaciBeforePost();
    void cdsDiagPaciAfterCancel();
    void sbtVerificarClick(QObject *sender) override;
    void confirmarDExecute();
    void cancelarDExecute();
    void cdsDiagAssoBeforeInsert();
    void dbgDiagAssoKeyPress(QChar &key);
    void cdsDiagPaciAfterOpen();
    void cdsDiagPaciAfterPost();
    void sbtItemUpClick();
    void sbtItemDownClick();
    void dtsPadraoStateChange() override;
    void dbgPadraoDrawColumnCell();

    // --- clinical sections and report type (in notes/) ---------------------------------------
    void sectionLoadEditor(Section &s) { notes->loadEditor(s); }
    void sectionStateChange(Section &s) { notes->stateChange(s); }
    void Vd_Laudo(bool boObrigatorio) { notes->Vd_Laudo(boObrigatorio); }
    void panDescLaudoEnter() { notes->panDescLaudoEnter(); }
    void medTpLaudoChange() { notes->medTpLaudoChange(); }
    void BtpTipoLaudoBeforePesq(bool &cancel) { notes->BtpTipoLaudoBeforePesq(cancel); }
    void BtpTipoLaudoAfterPesq() { notes->BtpTipoLaudoAfterPesq(); }

Q_SIGNALS:
    // The close was accepted: the screen is going away.
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildRecordSets();
    void buildLayout();
    void buildMenus();
    void buildActions();
    void buildSections();
    void wireHandlers();
    void focusMoved(QWidget *old, QWidget *now);
    void moveDiagnosis(bool up);
    void updateMoveButtons();
    void applyPageRules();
    void showHeader();
    void setHistoryMarks(QAction *checked);
    void goToHistoryPage(kmp::TabPage *page, QAction *item);
    bool confirm(const QString &key);
    void requireLoaded(Section &s);
    void fail(const QString &key);

    kmp::DiagnosisList *m_diagnoses;
    kmp::Consultation m_opening; // the consultation the creation sequence loads
    // Its loads, already on their way to the server (null: FormCreate sends them).
    std::unique_ptr<kmp::PendingOpening> m_pendingOpening;
    bool m_firstClicks[SectionCount] = {};
    bool m_closing = false;
    QPointer<QWidget> m_lastFocus; // the last control of this screen that had the focus
};
