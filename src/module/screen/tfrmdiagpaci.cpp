#include "tfrmdiagpaci.h"

#include "actionlist.h"
#include "columnfields.h"
#include "consiste.h"
#include "contract.h"
#include "datasource.h"
#include "dbgrid.h"
#include "dbnavigator.h"
#include "dbtext.h"
#include "diagnosislist.h"
#include "dialogs.h"
#include "exceptions.h"
#include "hostservices.h"
#include "packet.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "showavi.h"
#include "tbtnpesquisa.h"
#include "tbuttonflat.h"
#include "tdateeditplus.h"
#include "tformatpanel.h"
#include "tfrmlistdiagpaci.h"
#include "tmessages.h"
#include "tnetconnection.h"
#include "tpagecontrol.h"
#include "trichedit.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QSplitter>
#include <QTextEdit>
#include <QToolTip>
#include <QVBoxLayout>

using kmp::DataSource;
using kmp::FieldKind;
using kmp::RecordSet;

bool TfrmDiagPaci::startOnHistoryPage = false;

namespace {

QFont screenFont(bool bold = false)
{
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(11);
    f.setBold(bold);
    return f;
}

QLabel *boldLabel(const QString &text, QWidget *parent)
{
    auto *l = new QLabel(text, parent);
    l->setFont(screenFont(true));
    return l;
}

// Gives a control the accessible name a screen reader announces: its caption or label.
template <typename W>
W *named(W *w, const QString &objectName, const QString &accessibleName)
{
    w->setObjectName(objectName);
    w->setAccessibleName(accessibleName);
    return w;
}

// Shows a name column's whole text over its cell: the catalogue's longest names (over 260
// characters) never fit the column.
class WholeNameTip : public QObject
{
public:
    WholeNameTip(kmp::DBGrid *grid, const QString &fieldName) : QObject(grid), m_grid(grid), m_field(fieldName)
    {
        grid->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip)
            return false;
        const auto *help = static_cast<QHelpEvent *>(event);
        const QModelIndex index = m_grid->indexAt(help->pos());
        if (!index.isValid() || m_grid->columnFieldName(index.column()).compare(m_field, Qt::CaseInsensitive) != 0) {
            QToolTip::hideText();
            return true;
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, m_grid->viewport(), m_grid->visualRect(index));
        return true;
    }

private:
    kmp::DBGrid *m_grid;
    QString m_field;
};

} // namespace

TfrmDiagPaci *TfrmDiagPaci::create(QObject *owner, const kmp::Consultation &consultation)
{
    auto *form = new TfrmDiagPaci(owner, &consultation);
    try {
        form->initialize();
    } catch (...) {
        delete form;
        throw;
    }
    return form;
}

TfrmDiagPaci::TfrmDiagPaci(QObject *owner, const kmp::Consultation *opening) : TfrmPadraoGrid(owner)
{
    setObjectName(QStringLiteral("frmDiagPaci"));
    setCaption(QStringLiteral("Diagnóstico do Paciente"));
    setHelpContext(11112800);
    lblCodTela->setText(QStringLiteral("KMP12800"));
    setFont(screenFont());
    setFormGeometry(332, 201, 656, 555);

    const std::pair<const char *, const char *> texts[] = {
        {"Excl", "Confirma Exclusão?"},
        {"Diag", "Diagnóstico"},
        {"Informe", "Código deve ser  informado."},
        {"Existent", "Diagnóstico já cadastrado."},
        {"DiagnostN", "Diagnóstico não cadastrado."},
        {"Diagnost", "Diagnóstico já cadastrado."},
        {"Diag_NCad", "Não há diagnóstico cadastrado."},
        {"TpLaudo_Inf", "Laudo deve ser informado."},
        {"TpLaudo_NCad", "Laudo não cadastrado"},
        {"Inc_not", "Inclusão não pode ser efetuada, já existem dados cadastrados."},
        {"Exc_not", "Não há dados a serem excluidos."},
        {"Laudo_NCarr", "Informe o tipo de laudo e clique no texto do laudo para abri-lo antes de incluir, "
                        "alterar ou excluir."},
        {"Hist_NCarr", "O texto desta página ainda não foi carregado do servidor. Tecle F5 para atualizar e "
                       "tente de novo."},
    };
    for (const auto &[key, text] : texts)
        msgPadrao->add(QLatin1String(key), QString::fromUtf8(text));

    netDiagPaci = new kmp::TNetConnection(this);
    netDiagPaci->setObjectName(QStringLiteral("netDiagPaci"));
    netDiagPaci->setServerName(kmp::RdmDiagPaci::ServerName);
    netDiagPaci->setServerGUID(kmp::RdmDiagPaci::ServerGUID);
    netDiagPaci->ThrowException = false;
    netDiagPaci->OnBeforeConnect = [](kmp::TNetConnection &net) {
        net.setHost(kmp::Norvik::WebURL());
        net.setPort(kmp::Norvik::WebPort());
    };
    server = std::make_unique<kmp::RdmDiagPaci>(*netDiagPaci);
    if (opening) {
        m_opening = *opening;
        // Over a slow link the loads' round trip is the longest part of opening the
        // screen: with a connection at hand they leave now and travel while the rest of
        // the screen is built. Without one (or if sending fails) FormCreate connects and
        // loads as usual, with its indicator and its messages.
        if (netDiagPaci->connectIfIdle()) {
            try {
                m_pendingOpening = std::make_unique<kmp::PendingOpening>(
                    server->startOpening(m_opening.branch, m_opening.patient, m_opening.date));
            } catch (const kmp::Error &) {
                m_pendingOpening.reset();
            }
        }
    }
    m_diagnoses = new kmp::DiagnosisList(*server, this);
    m_diagnoses->OnNotice = [this](const QString &text) { kmp::Dialogs::message(this, kmp::MessageType::Information, text); };

    buildRecordSets();
    notes = new kmp::ClinicalNotes(*this);
    buildLayout();
    buildSections();
    buildMenus();
    buildActions();
    wireHandlers();
}

TfrmDiagPaci::~TfrmDiagPaci()
{
    // The child widgets are deleted after this destructor, and deleting the focused one
    // announces a focus change: this screen is no longer there to answer it.
    disconnect(qApp, nullptr, this, nullptr);
    // Record sets die with the screen; their handlers must not reach half-destroyed widgets.
    for (RecordSet *s : {cdsDiagPaci, cdsDiagPaciAux, cdsDiagAsso, cdsDiagnost, cdsTipoLaudo, cdsMemLaudo, cdsHistDoen,
                         cdsHistClinProg, cdsHistFam, cdsExamFisi}) {
        s->clearEvents();
    }
}

// ---------------------------------------------------------------------------------------
// record sets

void TfrmDiagPaci::buildRecordSets()
{
    auto set = [this](const char *name) {
        auto *s = new RecordSet(QLatin1String(name), this);
        return s;
    };
    namespace c = kmp::protocol::columns;
    const QString codeLabel = QStringLiteral("Código");
    const QString nameLabel = QStringLiteral("Nome");

    // The diagnosis list's sets belong to its part; the screen binds them to its controls.
    cdsDiagPaci = m_diagnoses->rows();
    cdsDiagPaciAux = m_diagnoses->checkSet();
    cdsDiagAsso = m_diagnoses->admissions();

    cdsDiagnost = set("cdsDiagnost");
    kmp::addColumnField(cdsDiagnost, c::CDDIAGNOST, true, codeLabel);
    kmp::addColumnField(cdsDiagnost, c::NMDIAGNOST, true, nameLabel);
    kmp::addColumnField(cdsDiagnost, c::CDTABECDI, false);
    kmp::addColumnField(cdsDiagnost, c::DSABREDIAG, true, QStringLiteral("Descrição"));

    cdsTipoLaudo = set("cdsTipoLaudo");
    kmp::addColumnField(cdsTipoLaudo, c::CDTIPOLAUDO, true, codeLabel);
    kmp::addColumnField(cdsTipoLaudo, c::NMTIPOLAUDO, true, nameLabel);
    kmp::addColumnField(cdsTipoLaudo, c::DSPADRLAUDO, false);

    cdsMemLaudo = set("cdsMemLaudo");
    kmp::addColumnField(cdsMemLaudo, c::CDPACIENTE);
    kmp::addColumnField(cdsMemLaudo, c::DTCONSPACI);
    kmp::addColumnField(cdsMemLaudo, c::DSLAUDPACI);
    kmp::addColumnField(cdsMemLaudo, c::CDTIPOLAUDO)->setDisplayWidth(3);
    kmp::addColumnField(cdsMemLaudo, c::CDFILIAL);

    auto history = [&](const char *name, const kmp::protocol::Column &textField) {
        RecordSet *s = set(name);
        kmp::addColumnField(s, c::CDPACIENTE);
        kmp::addColumnField(s, c::DTCONSPACI);
        kmp::addColumnField(s, textField);
        kmp::addColumnField(s, c::CDFILIAL);
        return s;
    };
    cdsHistDoen = history("cdsHistDoen", c::DSHISTDOEATU);
    cdsHistClinProg = history("cdsHistClinProg", c::DSHISTCLIPRE);
    cdsHistFam = history("cdsHistFam", c::DSHISTFAMIL);
    cdsExamFisi = history("cdsExamFisi", c::DSHISTEXAFIS);

    dtsPadrao->setDataSet(cdsDiagPaci);
    auto source = [this](const char *name, RecordSet *s) {
        auto *d = new DataSource(QLatin1String(name), this);
        d->setDataSet(s);
        return d;
    };
    dtsDiagAsso = source("dtsDiagAsso", cdsDiagAsso);
    dtsDiagnost = source("dtsDiagnost", cdsDiagnost);
    dtsTipo = source("dtsTipo", cdsTipoLaudo);
    dtsMemLaudo = source("dtsMemLaudo", cdsMemLaudo);
    dtsHistDoen = source("dtsHistDoen", cdsHistDoen);
    dtsHistClinProg = source("dtsHistClinProg", cdsHistClinProg);
    dtsHistFam = source("dtsHistFam", cdsHistFam);
    dtsExamFisi = source("dtsExamFisi", cdsExamFisi);
}

// ---------------------------------------------------------------------------------------
// layout

void TfrmDiagPaci::buildLayout()
{
    // Header: who and when, shown but not editable.
    Panel1 = named(new QWidget(this), QStringLiteral("Panel1"), QStringLiteral("Paciente e data da consulta"));
    Panel1->setFixedHeight(39);
    auto *head = new QHBoxLayout(Panel1);
    head->setContentsMargins(6, 8, 6, 8);
    lblPaciente = named(boldLabel(QStringLiteral("Paciente"), Panel1), QStringLiteral("lblPaciente"), QStringLiteral("Paciente"));
    lblPaciente->setFixedWidth(56);
    edtPaciente = named(new QLineEdit(Panel1), QStringLiteral("edtPaciente"), QStringLiteral("Paciente"));
    edtPaciente->setReadOnly(true);
    edtPaciente->setFixedSize(222, 21);
    edtPaciente->setStyleSheet(QStringLiteral("background: palette(button);"));
    lblDataCon =
        named(boldLabel(QStringLiteral("Data Consulta"), Panel1), QStringLiteral("lblDataCon"), QStringLiteral("Data Consulta"));
    lblDataCon->setFixedWidth(87);
    DEPDTConsulta = named(new kmp::TDateEditPlus(Panel1), QStringLiteral("DEPDTConsulta"), QStringLiteral("Data Consulta"));
    DEPDTConsulta->setReadOnly(true);
    DEPDTConsulta->setFixedSize(121, 21);
    DEPDTConsulta->setSaveTime(false);
    DEPDTConsulta->setValidColor(Qt::blue);
    DEPDTConsulta->setWeekDays({QStringLiteral("Domingo"), QStringLiteral("Segunda"), QStringLiteral("Terça"),
                                QStringLiteral("Quarta"), QStringLiteral("Quinta"), QStringLiteral("Sexta"),
                                QStringLiteral("Sábado")});
    DEPDTConsulta->setStyleSheet(QStringLiteral("background: palette(window);"));
    lblPaciente->setBuddy(edtPaciente);
    lblDataCon->setBuddy(DEPDTConsulta);
    head->addWidget(lblPaciente);
    head->addWidget(edtPaciente);
    head->addSpacing(10);
    head->addWidget(lblDataCon);
    head->addWidget(DEPDTConsulta);
    head->addStretch();
    // Read-only, not disabled: the patient's identity must be read at normal contrast.
    addTopBand(Panel1);

    // The history page comes first in the tab order.
    tshHistorico =
        named(new kmp::TabPage(QStringLiteral("Histórico")), QStringLiteral("tshHistorico"), QStringLiteral("Histórico"));
    tshHistorico->setImageIndex(1);
    pgcPadrao->insertPage(0, tshHistorico);
    pgcPadrao->setObjectName(QStringLiteral("pgcPadrao"));
    tshPadrao->setCaption(QStringLiteral("Diagnóstico"));
    tshPadrao->setAccessibleName(QStringLiteral("Diagnóstico"));
    pgcPadrao->tabBar()->setFont(screenFont(true));
    auto *histLayout = new QVBoxLayout(tshHistorico);
    histLayout->setContentsMargins(2, 2, 2, 2);
    pgcHistorico = named(new kmp::TPageControl(tshHistorico), QStringLiteral("pgcHistorico"), QStringLiteral("Histórico"));
    histLayout->addWidget(pgcHistorico);
    // Five captions share the screen's width: tabs no wider than their text, so the last
    // one ("Exames Fisicos") is never pushed out of sight.
    pgcHistorico->tabBar()->setExpanding(false);
    pgcHistorico->tabBar()->setElideMode(Qt::ElideNone);
    pgcHistorico->tabBar()->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 5px; }"));

    // Diagnosis page: the admission caption on top, then the grid area of the base screen.
    panAssociado = named(new QWidget(tshPadrao), QStringLiteral("panAssociado"), QStringLiteral("Diagnósticos Associados"));
    panAssociado->setFixedHeight(17);
    auto *assoc = new QHBoxLayout(panAssociado);
    assoc->setContentsMargins(0, 0, 0, 0);
    lblDiagAssoc = named(boldLabel(QStringLiteral("Diagnósticos Associados"), panAssociado), QStringLiteral("lblDiagAssoc"),
                         QStringLiteral("Diagnósticos Associados"));
    assoc->addWidget(lblDiagAssoc);
    if (auto *pageLayout = qobject_cast<QBoxLayout *>(tshPadrao->layout()))
        pageLayout->insertWidget(0, panAssociado);

    dataSheetLayout()->removeWidget(dbgPadrao);
    auto *upper = new QWidget;
    auto *upperLayout = new QHBoxLayout(upper);
    upperLayout->setContentsMargins(0, 0, 0, 0);
    upperLayout->setSpacing(0);
    upperLayout->addWidget(dbgPadrao);
    dbgPadrao->setMinimumWidth(300);
    dbgPadrao->setFont(screenFont(true));
    dbgPadrao->setAccessibleName(QStringLiteral("Diagnósticos da consulta"));
    Panel2 = named(new QWidget(upper), QStringLiteral("Panel2"), QStringLiteral("Ordem"));
    Panel2->setFixedWidth(30);
    sbtItemUp = named(new kmp::TButtonFlat(Panel2), QStringLiteral("sbtItemUp"), QStringLiteral("Mover para cima"));
    sbtItemDown = named(new kmp::TButtonFlat(Panel2), QStringLiteral("sbtItemDown"), QStringLiteral("Mover para baixo"));
    sbtItemUp->setToolTip(QStringLiteral("Mover para cima (Ctrl+Shift+Seta para cima)"));
    sbtItemDown->setToolTip(QStringLiteral("Mover para baixo (Ctrl+Shift+Seta para baixo)"));
    for (kmp::TButtonFlat *b : {sbtItemUp, sbtItemDown})
        b->setFixedSize(21, 21);
    sbtItemUp->setArrowType(Qt::UpArrow);
    sbtItemDown->setArrowType(Qt::DownArrow);
    sbtItemUp->move(4, 24);
    sbtItemDown->move(4, 49);
    upperLayout->addWidget(Panel2);

    Panel3 = named(new QWidget, QStringLiteral("Panel3"), QStringLiteral("Diagnósticos de Internação"));
    auto *lower = new QVBoxLayout(Panel3);
    lower->setContentsMargins(0, 0, 0, 0);
    lower->setSpacing(0);
    Panel4 = named(new QWidget(Panel3), QStringLiteral("Panel4"), QStringLiteral("Diagnósticos de Internação"));
    Panel4->setFixedHeight(22);
    auto *cap = new QHBoxLayout(Panel4);
    cap->setContentsMargins(8, 3, 0, 0);
    lblDiagInt = named(boldLabel(QStringLiteral("Diagnósticos de Internação"), Panel4), QStringLiteral("lblDiagInt"),
                       QStringLiteral("Diagnósticos de Internação"));
    cap->addWidget(lblDiagInt);
    dbgDiagAsso = named(new kmp::DBGrid(Panel3), QStringLiteral("dbgDiagAsso"), QStringLiteral("Diagnósticos de Internação"));
    dbgDiagAsso->setFrameShape(QFrame::NoFrame);
    dbgDiagAsso->setStyleSheet(QStringLiteral("QTableView { background: #ffffe1; } "
                                              "QHeaderView::section { background: #000080; color: white; "
                                              "font-weight: bold; border: 0px; padding: 2px; }"));
    dbgDiagAsso->setDataSource(dtsDiagAsso);
    dbgDiagAsso->addColumn(QStringLiteral("CDDIAGNOST"), QString(), 71, true);
    dbgDiagAsso->addColumn(QStringLiteral("NMDIAGNOST"), QString(), 421, true);
    new WholeNameTip(dbgDiagAsso, QStringLiteral("NMDIAGNOST"));
    // The names take whatever width the window gives the grid.
    dbgDiagAsso->horizontalHeader()->setStretchLastSection(true);
    lower->addWidget(Panel4);
    lower->addWidget(dbgDiagAsso);

    Splitter1 = named(new QSplitter(Qt::Vertical), QStringLiteral("Splitter1"), QStringLiteral("Divisor"));
    Splitter1->setHandleWidth(6);
    Splitter1->addWidget(upper);
    Splitter1->addWidget(Panel3);
    Splitter1->setSizes({270, 97});
    Splitter1->setChildrenCollapsible(false);
    dataSheetLayout()->addWidget(Splitter1);

    dbgPadrao->setDataSource(dtsPadrao);
    QList<kmp::DBGridColumn> cols;
    kmp::DBGridColumn code;
    code.fieldName = QStringLiteral("CDDIAGNOST");
    code.width = 63;
    code.hasFont = true;
    code.font = screenFont();
    kmp::DBGridColumn name;
    name.fieldName = QStringLiteral("NMDIAGNOST");
    name.width = 398;
    name.readOnly = true;
    name.hasFont = true;
    name.font = screenFont();
    dbgPadrao->setColumns({code, name});
    dbgPadrao->setCancelOnExit(true);
    dbgPadrao->viewport()->installEventFilter(this);
    new WholeNameTip(dbgPadrao, QStringLiteral("NMDIAGNOST"));
    dbgPadrao->horizontalHeader()->setStretchLastSection(true);
    // The navigator's text shows the current diagnosis's whole name.
    dbtNome->setDataField(QStringLiteral("NMDIAGNOST"));
}

void TfrmDiagPaci::buildSections()
{
    struct SectionLayout
    {
        const char *tabName, *caption, *panelName, *barName, *editorName;
        RecordSet *set;
        DataSource *source;
        const char *textField, *saveMethod, *cacheKey;
        bool *flag;
    };
    const SectionLayout layouts[SectionCount] = {
        {"tshHistDoenAtu", "História da Doença Atual", "panHistDoencDesc", "frpHistDoen", "rceHistDoen", cdsHistDoen, dtsHistDoen,
         "DSHISTDOEATU", "SetHistDoen", "HISTDOEATUAL", &m_firstClicks[HistDoen]},
        {"tshHistclinProg", "História Clinica Progressiva", "panHistClinProg", "frphistClin", "rceHistclinProg", cdsHistClinProg,
         dtsHistClinProg, "DSHISTCLIPRE", "SetHistClinProg", "HISTCLIPREG", &m_firstClicks[HistClinProg]},
        {"tshHistFam", "História Familiar", "panHisiFamDesc", "frpHistFam", "rceHistFam", cdsHistFam, dtsHistFam, "DSHISTFAMIL",
         "SetHistFam", "HISTFAMIL", &m_firstClicks[HistFam]},
        {"tshSinaSint", "Sinais e Sintomas", "panDescLaudo", "frpLaudo", "rceLaudo", cdsMemLaudo, dtsMemLaudo, "DSLAUDPACI",
         "SetMemLaudo", "LAUDO", nullptr},
        {"tshExamFisi", "Exames Físicos", "panExamFisiDesc", "frpExamFisi", "rceExamFisi", cdsExamFisi, dtsExamFisi,
         "DSHISTEXAFIS", "SetExamFisi", "HISTEXAMFIS", &m_firstClicks[ExamFisi]},
    };
    for (int i = 0; i < SectionCount; ++i) {
        const SectionLayout &sp = layouts[i];
        Section &s = notes->section(i);
        s.name = sp.set->objectName().mid(3);
        s.set = sp.set;
        s.source = sp.source;
        s.textField = QLatin1String(sp.textField);
        s.saveMethod = QLatin1String(sp.saveMethod);
        s.cacheKey = QLatin1String(sp.cacheKey);
        s.firstClick = sp.flag;
        s.isReport = sp.flag == nullptr;
        const QString caption = QString::fromUtf8(sp.caption);
        s.page = named(new kmp::TabPage(caption), QLatin1String(sp.tabName), caption);
        s.page->setImageIndex(i);
        pgcHistorico->addPage(s.page);
        auto *pageLayout = new QVBoxLayout(s.page);
        pageLayout->setContentsMargins(0, 0, 0, 0);
        pageLayout->setSpacing(0);
        if (s.isReport) {
            // The report-type bar sits above the report's own editor panel.
            Panel5 = named(new QWidget(s.page), QStringLiteral("Panel5"), QStringLiteral("Tipo de Laudo"));
            Panel5->setFixedHeight(33);
            auto *bar = new QHBoxLayout(Panel5);
            bar->setContentsMargins(8, 5, 8, 3);
            lblTipLaud = named(boldLabel(QStringLiteral("Tipo de Laudo:"), Panel5), QStringLiteral("lblTipLaud"),
                               QStringLiteral("Tipo de Laudo:"));
            medTpLaudo = named(new QLineEdit(Panel5), QStringLiteral("medTpLaudo"), QStringLiteral("Tipo de Laudo"));
            medTpLaudo->setMaxLength(3);
            medTpLaudo->setFixedSize(33, 21);
            medTpLaudo->setStyleSheet(QStringLiteral("background: #ffffe1;"));
            lblTipLaud->setBuddy(medTpLaudo);
            BtpTipoLaudo = named(new kmp::TBtnPesquisa(Panel5), QStringLiteral("BtpTipoLaudo"), QStringLiteral("Pesquisar"));
            BtpTipoLaudo->setToolTip(QStringLiteral("Pesquisar"));
            BtpTipoLaudo->setFixedSize(25, 25);
            BtpTipoLaudo->setAssociate(medTpLaudo);
            BtpTipoLaudo->setTitle(QStringLiteral("Tipo de Laudo"));
            BtpTipoLaudo->setDataSource(dtsTipo);
            BtpTipoLaudo->setEmptyError(QStringLiteral("Não há tipo de Laudo Cadastrado"));
            edtTpLaudo = named(new QLineEdit(Panel5), QStringLiteral("edtTpLaudo"), QStringLiteral("Nome do tipo de laudo"));
            edtTpLaudo->setFixedSize(219, 21);
            edtTpLaudo->setEnabled(false);
            bar->addWidget(lblTipLaud);
            bar->addWidget(medTpLaudo);
            bar->addWidget(BtpTipoLaudo);
            bar->addWidget(edtTpLaudo);
            bar->addStretch();
            pageLayout->addWidget(Panel5);
        }
        s.panel = named(new QWidget(s.page), QLatin1String(sp.panelName), caption);
        pageLayout->addWidget(s.panel);
        auto *panelLayout = new QVBoxLayout(s.panel);
        panelLayout->setContentsMargins(0, 0, 0, 0);
        panelLayout->setSpacing(0);
        s.bar = named(new kmp::TFormatPanel(s.panel), QLatin1String(sp.barName), QStringLiteral("Formatação - ") + caption);
        s.bar->setFixedHeight(30);
        s.editor = named(new kmp::TRichEdit(s.panel), QLatin1String(sp.editorName), caption);
        s.editor->setAcceptRichText(true);
        s.editor->setReadOnly(true); // until its record set is loaded (the state handling opens it)
        s.editor->setTabChangesFocus(false);
        // New text at 10 points: the screen's 8 is hard to read over a whole note. Stored
        // notes keep the sizes they were written with.
        QFont text = s.editor->font();
        text.setPointSize(10);
        s.editor->setFont(text);
        s.bar->setRichEdit(s.editor);
        panelLayout->addWidget(s.bar);
        panelLayout->addWidget(s.editor);
        // The editor comes before its bar in the tab order.
        QWidget::setTabOrder(s.editor, s.bar);
    }
    tshHistDoenAtu = notes->section(HistDoen).page;
    tshHistclinProg = notes->section(HistClinProg).page;
    tshHistFam = notes->section(HistFam).page;
    tshSinaSint = notes->section(SinaSint).page;
    tshExamFisi = notes->section(ExamFisi).page;
    panHistDoencDesc = notes->section(HistDoen).panel;
    panHistClinProg = notes->section(HistClinProg).panel;
    panHisiFamDesc = notes->section(HistFam).panel;
    panDescLaudo = notes->section(SinaSint).panel;
    panExamFisiDesc = notes->section(ExamFisi).panel;
    frpHistDoen = notes->section(HistDoen).bar;
    frphistClin = notes->section(HistClinProg).bar;
    frpHistFam = notes->section(HistFam).bar;
    frpLaudo = notes->section(SinaSint).bar;
    frpExamFisi = notes->section(ExamFisi).bar;
    rceHistDoen = notes->section(HistDoen).editor;
    rceHistclinProg = notes->section(HistClinProg).editor;
    rceHistFam = notes->section(HistFam).editor;
    rceLaudo = notes->section(SinaSint).editor;
    rceExamFisi = notes->section(ExamFisi).editor;
    QWidget::setTabOrder(edtTpLaudo, medTpLaudo);
    pgcHistorico->SetActivePage(tshHistDoenAtu);
}

void TfrmDiagPaci::buildMenus()
{
    auto item = [this](const char *name, const QString &caption, int key) {
        auto *a = new QAction(caption, this);
        a->setObjectName(QLatin1String(name));
        a->setCheckable(true);
        if (key) {
            // Shown in the menu; the key itself is dispatched by the screen's action lists,
            // so that it works wherever the focus is.
            a->setShortcut(QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(key))));
            a->setShortcutContext(Qt::WidgetShortcut);
        }
        return a;
    };
    mnuDiagnostico = item("mnuDiagnostico", QStringLiteral("Diagnóstico"), Qt::Key_D);
    mnuHistDoen = item("mnuHistDoen", QStringLiteral("História da Doença Atual"), Qt::Key_A);
    mnuHistClinProg = item("mnuHistClinProg", QStringLiteral("História Clinica Progressiva"), Qt::Key_C);
    mnuHistFam = item("mnuHistFam", QStringLiteral("Historia Familiar"), Qt::Key_H);
    mnuSinaSint = item("mnuSinaSint", QStringLiteral("Sinais e Sintomas"), Qt::Key_S);
    mnuExamFisi = item("mnuExamFisi", QStringLiteral("Exames Fisicos"), Qt::Key_E);
    auto *sub = new QMenu(QStringLiteral("Histórico"), this);
    sub->setObjectName(QStringLiteral("mnuHistorico"));
    sub->addActions({mnuHistDoen, mnuHistClinProg, mnuHistFam, mnuSinaSint, mnuExamFisi});
    mnuHistorico = sub->menuAction();
    mnuHistorico->setObjectName(QStringLiteral("mnuHistorico"));
    mnuOperacao->insertAction(mnuLinha2, mnuDiagnostico);
    mnuOperacao->insertAction(mnuLinha2, mnuHistorico);
    notes->section(HistDoen).menu = mnuHistDoen;
    notes->section(HistClinProg).menu = mnuHistClinProg;
    notes->section(HistFam).menu = mnuHistFam;
    notes->section(SinaSint).menu = mnuSinaSint;
    notes->section(ExamFisi).menu = mnuExamFisi;
}

void TfrmDiagPaci::buildActions()
{
    aclBotoes = new kmp::ActionList(QStringLiteral("aclBotoes"), this);
    const auto ctrlEnter = QKeyCombination(Qt::ControlModifier, Qt::Key_Return);
    Confirmar =
        aclBotoes->addAction(QStringLiteral("Confirmar"), QStringLiteral("Confirmar"), ctrlEnter, [this] { ConfirmarExecute(); });
    Cancelar = aclBotoes->addAction(QStringLiteral("Cancelar"), QStringLiteral("Cancelar"), QKeyCombination(Qt::Key_Escape),
                                    [this] { CancelarExecute(); });
    Incluir = aclBotoes->addAction(QStringLiteral("Incluir"), QStringLiteral("Incluir"), QKeyCombination(Qt::Key_F2),
                                   [this] { IncluirExecute(); });
    Alterar = aclBotoes->addAction(QStringLiteral("Alterar"), QStringLiteral("Alterar"), QKeyCombination(Qt::Key_F3),
                                   [this] { AlterarExecute(); });
    Excluir = aclBotoes->addAction(QStringLiteral("Excluir"), QStringLiteral("Excluir"), QKeyCombination(Qt::Key_F4),
                                   [this] { sbtExcluirClick(sbtExcluir); });
    Atualizar = aclBotoes->addAction(QStringLiteral("Atualizar"), QStringLiteral("Atualizar"), QKeyCombination(Qt::Key_F5),
                                     [this] { AtualizarExecute(); });

    // Confirm and Cancel only have work while a section is being edited; enabled from the
    // start they would swallow Ctrl+Enter and Esc on the diagnosis page, where the list's
    // own keys must answer them.
    Confirmar->setEnabled(false);
    Cancelar->setEnabled(false);

    aclDiagBotoes = new kmp::ActionList(QStringLiteral("aclDiagBotoes"), this);
    confirmarD = aclDiagBotoes->addAction(QStringLiteral("confirmarD"), QStringLiteral("confirmarD"), ctrlEnter,
                                          [this] { confirmarDExecute(); });
    cancelarD = aclDiagBotoes->addAction(QStringLiteral("cancelarD"), QStringLiteral("cancelarD"),
                                         QKeyCombination(Qt::Key_Escape), [this] { cancelarDExecute(); });
    // The arrows' keys: they move only what the arrows could, on the diagnosis page.
    const auto moveKey = [this](bool up) {
        QToolButton *arrow = up ? sbtItemUp : sbtItemDown;
        if (pgcPadrao->activePage() == tshPadrao && arrow->isEnabled())
            moveDiagnosis(up);
    };
    aclDiagBotoes->addAction(QStringLiteral("moverAcima"), QStringLiteral("Mover para cima"),
                             QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Up), [moveKey] { moveKey(true); });
    aclDiagBotoes->addAction(QStringLiteral("moverAbaixo"), QStringLiteral("Mover para baixo"),
                             QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Down),
                             [moveKey] { moveKey(false); });

    // The page commands' keys, offered after the two lists above.
    auto *menuKeys = new kmp::ActionList(QStringLiteral("aclMenuAtalhos"), this);
    const struct
    {
        QAction *item;
        void (TfrmDiagPaci::*handler)();
    } keys[] = {
        {mnuDiagnostico, &TfrmDiagPaci::mnuDiagnosticoClick},   {mnuHistDoen, &TfrmDiagPaci::mnuHistDoenClick},
        {mnuHistClinProg, &TfrmDiagPaci::mnuHistClinProgClick}, {mnuHistFam, &TfrmDiagPaci::mnuHistFamClick},
        {mnuSinaSint, &TfrmDiagPaci::mnuSinaSintClick},         {mnuExamFisi, &TfrmDiagPaci::mnuExamFisiClick},
    };
    for (const auto &k : keys) {
        QAction *item = k.item;
        auto handler = k.handler;
        menuKeys->addAction(item->objectName(), item->text(), item->shortcut()[0], [this, item, handler] {
            if (item->isEnabled())
                (this->*handler)();
        });
        kmp::onEvent(item, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    }
}

void TfrmDiagPaci::wireHandlers()
{
    // Diagnosis list
    cdsDiagPaci->OnAfterOpen = [this](RecordSet &) { cdsDiagPaciAfterOpen(); };
    cdsDiagPaci->OnBeforeInsert = [this](RecordSet &) { cdsDiagPaciBeforeInsert(); };
    cdsDiagPaci->OnBeforePost = [this](RecordSet &) { cdsDiagPaciBeforePost(); };
    cdsDiagPaci->OnAfterPost = [this](RecordSet &) { cdsDiagPaciAfterPost(); };
    cdsDiagPaci->OnAfterCancel = [this](RecordSet &) { cdsDiagPaciAfterCancel(); };
    cdsDiagPaci->OnAfterDelete = [this](RecordSet &) { cdsDiagPaciAfterPost(); };
    cdsDiagAsso->OnBeforeInsert = [this](RecordSet &) { cdsDiagAssoBeforeInsert(); };
    dtsPadrao->OnStateChange = [this](DataSource &) { dtsPadraoStateChange(); };

    dbgPadrao->OnKeyPress = [this](QChar &key) { dbgPadraoKeyPress(key); };
    dbgPadrao->OnColExit = [this] { dbgPadraoColExit(); };
    dbgPadrao->OnEditButtonClick = [this] { dbgPadraoEditButtonClick(); };
    dbgPadrao->OnDrawColumnCell = [this](QPainter *, const QRect &, int, kmp::Field *, const QStyleOptionViewItem &) {
        dbgPadraoDrawColumnCell();
    };
    dbgDiagAsso->OnKeyPress = [this](QChar &key) { dbgDiagAssoKeyPress(key); };
    kmp::onEvent(sbtItemUp, &QToolButton::clicked, this, [this] { sbtItemUpClick(); });
    kmp::onEvent(sbtItemDown, &QToolButton::clicked, this, [this] { sbtItemDownClick(); });

    // Sections and report type
    notes->wire();
    BtpTipoLaudo->OnBeforePesq = [this](kmp::TBtnPesquisa &, bool &cancel) { BtpTipoLaudoBeforePesq(cancel); };
    BtpTipoLaudo->OnAfterPesq = [this](kmp::TBtnPesquisa &) { BtpTipoLaudoAfterPesq(); };

    // Pages and focus
    pgcPadrao->OnChange = [this] { kmp::guarded(this, [this] { pgcPadraoChange(); }); };
    connect(pgcPadrao, &QTabWidget::currentChanged, this, [this] { kmp::guarded(this, [this] { pageCameToFront(); }); });
    pgcHistorico->OnChange = [this] { kmp::guarded(this, [this] { pgcHistoricoChange(); }); };
    pgcHistorico->OnEnter = [this] { kmp::guarded(this, [this] { pgcHistoricoEnter(); }); };
    pgcHistorico->OnExit = [this] { kmp::guarded(this, [this] { pgcHistoricoExit(); }); };
    connect(qApp, &QApplication::focusChanged, this, &TfrmDiagPaci::focusMoved);
}

bool TfrmDiagPaci::eventFilter(QObject *watched, QEvent *event)
{
    // An empty list paints no cell, yet its grid area is painted: that paint is where the
    // empty-list rule has to act (the rule only disables, so running it here is harmless).
    if (event->type() == QEvent::Paint && watched == dbgPadrao->viewport() && cdsDiagPaci->isActive() && cdsDiagPaci->isEmpty()) {
        kmp::guarded(this, [this] { dbgPadraoDrawColumnCell(); });
        return false;
    }
    return TfrmPadraoGrid::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// life cycle

void TfrmDiagPaci::FormCreate()
{
    for (Section &s : notes->sections())
        if (s.firstClick)
            *s.firstClick = false;
    if (kmp::Geral::ModuloAtiv() == QLatin1String("P")) {
        Panel4->hide();
        Panel3->hide();
        setClientHeight(405);
        dbgDiagAsso->hide();
    }
    TfrmPadraoGrid::FormCreate();
    pgcPadrao->SetActivePage(startOnHistoryPage ? tshHistorico : tshPadrao);

    QWidget *mainForm = kmp::HostServices::instance()->mainForm();
    {
        kmp::BusyIndicator busy(mainForm, 0);
        server->connect();
    }
    {
        kmp::BusyIndicator busy(mainForm, 6);
        // The catalogue and both lists come in one exchange with the server.
        std::unique_ptr<kmp::PendingOpening> pending = std::move(m_pendingOpening);
        const kmp::RdmDiagPaci::Opening loaded = pending
                                                     ? server->finishOpening(std::move(*pending))
                                                     : server->GetOpening(m_opening.branch, m_opening.patient, m_opening.date);
        cdsDiagnost->loadFromPacket(loaded.catalogue);
        m_diagnoses->apply(m_opening, {loaded.rows, loaded.admissions});
    }
    showHeader();
    if (pgcPadrao->activePage() == tshHistorico)
        loadHistory();
    applyPageRules();
}

void TfrmDiagPaci::FormActivate()
{
    update();
    // Whatever brings the window back, the arrows follow the list's state: enabled during
    // an insert they would drop the row being typed.
    updateMoveButtons();
}

void TfrmDiagPaci::updateMoveButtons()
{
    const bool canMove = cdsDiagPaci->isActive() && cdsDiagPaci->state() == kmp::DataSetState::Browse && !cdsDiagPaci->isEmpty()
                         && !m_diagnoses->boReordenando();
    sbtItemUp->setEnabled(canMove);
    sbtItemDown->setEnabled(canMove);
}

// The toolbar as the page in front has it: on the diagnosis page "Alterar" is never
// offered (a diagnosis is deleted and typed again, never changed), "Excluir" only with a
// row to delete; on the history page "Procurar" has nothing to search.
void TfrmDiagPaci::applyPageRules()
{
    if (pgcPadrao->activePage() == tshPadrao) {
        dtsPadraoStateChange();
        if (cdsDiagPaci->isEmpty()) {
            sbtExcluir->setEnabled(false);
            mnuExcluir->setEnabled(false);
        }
    } else {
        if (Section *sec = activeSection())
            sectionStateChange(*sec);
        sbtProcurar->setEnabled(false);
        mnuProcurar->setEnabled(false);
    }
    updateMoveButtons();
}

void TfrmDiagPaci::FormClose(kmp::CloseAction &action)
{
    // Closing with a record still being typed would throw the typing away: ask first, and
    // keep the screen as it is on any answer but Yes.
    if (hasPendingEdit() && !confirm(QStringLiteral("Canc")))
        kmp::silentAbort();
    m_closing = true;
    TfrmPadraoGrid::FormClose(action);
    netDiagPaci->setConnected(false);
    Q_EMIT closed();
}

void TfrmDiagPaci::mnuSairClick()
{
    // Whether the screen really goes is FormClose's answer; a refused close keeps it.
    TfrmPadraoGrid::mnuSairClick();
}

void TfrmDiagPaci::showScreen()
{
    bringToFront();
}

bool TfrmDiagPaci::hasPendingEdit() const
{
    for (const RecordSet *s : {cdsDiagPaci, cdsMemLaudo, cdsHistDoen, cdsHistClinProg, cdsHistFam, cdsExamFisi})
        if (s->isEditing())
            return true;
    return false;
}

const kmp::Consultation &TfrmDiagPaci::consultation() const
{
    return m_diagnoses->consultation();
}

void TfrmDiagPaci::useFirstClickFlags(bool *histDoen, bool *histClinProg, bool *histFam, bool *examFisi)
{
    notes->section(HistDoen).firstClick = histDoen;
    notes->section(HistClinProg).firstClick = histClinProg;
    notes->section(HistFam).firstClick = histFam;
    notes->section(ExamFisi).firstClick = examFisi;
}

void TfrmDiagPaci::showPatientText(const QString &text)
{
    m_diagnoses->setPatientText(text);
    showHeader();
}

void TfrmDiagPaci::showHeader()
{
    edtPaciente->setText(consultation().patientText);
    DEPDTConsulta->setValue(consultation().date);
}

void TfrmDiagPaci::switchTo(const kmp::Consultation &next)
{
    // Everything the new consultation shows is read before anything changes: a server
    // that fails half-way leaves the screen whole on the consultation it had.
    const bool withHistory = cdsHistDoen->isActive() || pgcPadrao->activePage() == tshHistorico;
    kmp::DiagnosisList::Snapshot lists;
    QList<QByteArray> history;
    {
        kmp::BusyIndicator busy(kmp::HostServices::instance()->mainForm(), 6);
        lists = m_diagnoses->fetch(next);
        if (withHistory) {
            history = server->GetHistGer(next.patient, next.branch, next.date);
            // Read through once here: a malformed section must stop the switch before the
            // lists and the consultation change, not half-way through showing them.
            for (const QByteArray &part : history)
                kmp::decodePacket(part);
        }
    }
    m_diagnoses->apply(next, lists);
    if (withHistory)
        showHistoryParts(history);
    // The report is fetched again when its panel is next entered.
    cdsMemLaudo->close();
    showHeader();
    applyPageRules();
}

void TfrmDiagPaci::sbtImprimirClick(QObject *)
{
    // A fresh report screen on every click; nothing of a previous one is reused.
    auto *form = new TfrmListDiagPaci(kmp::HostServices::instance()->application());
    if (OnListingOpened)
        OnListingOpened(form);
    try {
        form->initialize();
        form->showModal();
    } catch (...) {
        form->deleteLater();
        throw;
    }
    form->deleteLater();
}

bool TfrmDiagPaci::confirm(const QString &key)
{
    return msgConfirma->ShowMsg(key, kmp::MessageType::Confirmation, kmp::MessageButton::Yes | kmp::MessageButton::No, 0)
           == kmp::MessageResult::Yes;
}

void TfrmDiagPaci::fail(const QString &key)
{
    kmp::Consiste::MensErro(msgPadrao->Msg(key), true);
}
