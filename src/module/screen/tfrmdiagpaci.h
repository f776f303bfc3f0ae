#pragma once

#include "clinicalnotes.h"
#include "tfrmpadraogrid.h"

#include <QPointer>
#include <array>
#include <memory>

class QLabel;
class QLineEdit;
class QSplitter;
class QTextEdit;
class TAction;
class TActionList;
class TBtnPesquisa;
class TButtonFlat;
class TDateEditPlus;
class TFormatPanel;
class TNetConnection;
class TPageControl;
class TTabSheet;
class RdmDiagPaci;
enum class TFormatBtn;

namespace kmp {
class DataSource;
class RecordSet;
} // namespace kmp

// "Diagnóstico do Paciente": the consultation's ordered diagnoses, the patient's admission
// diagnoses, five rich-text clinical sections and the diagnosis listing.
//
// The handlers keep the names the screen's designers gave them; those of the diagnosis
// list live in diagnosis/, those of the clinical sections and the report type in notes/.
class TfrmDiagPaci : public TfrmPadraoGrid
{
    Q_OBJECT
    friend class ClinicalNotes; // the notes part runs under the screen's busy indicator and messages
public:
    // Builds the screen owned by the host's application object and runs its creation
    // sequence; a failure leaves nothing behind and reaches the caller.
    static TfrmDiagPaci *create(QObject *owner);

    // Which page of pgcPadrao is in front when the screen is created.
    static bool startOnHistoryPage;

    explicit TfrmDiagPaci(QObject *owner = nullptr);
    ~TfrmDiagPaci() override;

    bool hasPendingEdit() const;   // any record set of the screen being edited or inserted
    void reloadForContext();       // brings every loaded record set to the current consultation
    void showScreen();             // normal state, shown and in front

    // --- the clinical sections, kept by the notes part -----------------------------------
    using Section = NoteSection;
    enum SectionIndex { HistDoen = 0, HistClinProg, HistFam, SinaSint, ExamFisi, SectionCount };
    Section &section(int i) { return notes->section(i); }
    ClinicalNotes *notes;
    Section *activeSection();      // the section in front on the history page, or null

    // --- record sets and the connection -----------------------------------------------
    TNetConnection *netDiagPaci;
    std::unique_ptr<RdmDiagPaci> server;
    kmp::RecordSet *cdsDiagPaci, *cdsDiagPaciAux, *cdsDiagAsso, *cdsDiagnost, *cdsTipoLaudo, *cdsMemLaudo;
    kmp::RecordSet *cdsHistDoen, *cdsHistClinProg, *cdsHistFam, *cdsExamFisi;
    kmp::DataSource *dtsDiagAsso, *dtsDiagnost, *dtsTipo, *dtsMemLaudo;
    kmp::DataSource *dtsHistDoen, *dtsHistClinProg, *dtsHistFam, *dtsExamFisi;

    // --- layout --------------------------------------------------------------------------
    QWidget *Panel1;
    QLabel *lblPaciente;
    QLineEdit *edtPaciente;
    QLabel *lblDataCon;
    TDateEditPlus *DEPDTConsulta;

    TTabSheet *tshHistorico;
    TPageControl *pgcHistorico;
    TTabSheet *tshHistDoenAtu, *tshHistclinProg, *tshHistFam, *tshSinaSint, *tshExamFisi;
    QWidget *panHistDoencDesc, *panHistClinProg, *panHisiFamDesc, *panExamFisiDesc;
    TFormatPanel *frpHistDoen, *frphistClin, *frpHistFam, *frpLaudo, *frpExamFisi;
    QTextEdit *rceHistDoen, *rceHistclinProg, *rceHistFam, *rceLaudo, *rceExamFisi;
    QWidget *Panel5;
    QLabel *lblTipLaud;
    QLineEdit *medTpLaudo;
    TBtnPesquisa *BtpTipoLaudo;
    QLineEdit *edtTpLaudo;
    QWidget *panDescLaudo;

    QWidget *panAssociado;
    QLabel *lblDiagAssoc;
    QWidget *Panel2;
    TButtonFlat *sbtItemUp, *sbtItemDown;
    QSplitter *Splitter1;
    QWidget *Panel3, *Panel4;
    QLabel *lblDiagInt;
    DBGrid *dbgDiagAsso;

    QAction *mnuDiagnostico, *mnuHistorico;
    QAction *mnuHistDoen, *mnuHistClinProg, *mnuHistFam, *mnuSinaSint, *mnuExamFisi;

    TActionList *aclBotoes, *aclDiagBotoes;
    TAction *Confirmar, *Cancelar, *Incluir, *Alterar, *Excluir, *Atualizar;
    TAction *confirmarD, *cancelarD;

    // --- life cycle ------------------------------------------------------------------------
    void FormCreate() override;
    void FormActivate() override;
    void FormClose(CloseAction &action) override;
    void mnuSairClick() override;
    void sbtImprimirClick(QObject *sender) override;

    // --- pages and menu ----------------------------------------------------------------------
    void pgcPadraoChange();
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
    void loadHistory();      // the tab change's load: Search off, then the four sections
    void loadHistorySets();  // the four sections from the server, under the busy indicator

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
    void Vd_Laudo(bool boObrigatorio) { notes->Vd_Laudo(boObrigatorio); }
    void panDescLaudoEnter() { notes->panDescLaudoEnter(); }
    void medTpLaudoChange() { notes->medTpLaudoChange(); }
    void BtpTipoLaudoBeforePesq(bool &cancel) { notes->BtpTipoLaudoBeforePesq(cancel); }
    void BtpTipoLaudoAfterPesq() { notes->BtpTipoLaudoAfterPesq(); }

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
    void reloadDiagnoses();
    void setHistoryMarks(QAction *checked);
    void goToHistoryPage(TTabSheet *page, QAction *item);
    void busyOn(int animation);
    void busyOff();
    bool confirm(const QString &key);
    void fail(const QString &key);

    bool m_closing = false;
    QPointer<QWidget> m_lastFocus; // the last control of this screen that had the focus
    int m_busy = 0;
};
