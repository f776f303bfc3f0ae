#include "tfrmpadraogrid.h"

#include "accessiblenames.h"
#include "appicons.h"

#include "actionlist.h"
#include "datasource.h"
#include "dbgrid.h"
#include "dbnavigator.h"
#include "dbtext.h"
#include "dialogs.h"
#include "exceptions.h"
#include "focusring.h"
#include "hostservices.h"
#include "pesquisa.h"
#include "printdialog.h"
#include "printersetupdialog.h"
#include "tmessages.h"
#include "tpagecontrol.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QShortcut>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

TfrmPadraoGrid::TfrmPadraoGrid(QObject *owner) : QWidget(nullptr)
{
    setObjectName(QStringLiteral("frmPadraoGrid"));
    setWindowIcon(kmp::screenIcon());
    buildControls();
    new kmp::FocusRing(this);
    if (owner) {
        // The application object owns its screens: they go when it goes.
        connect(owner, &QObject::destroyed, this, [this] {
            if (m_subWindow)
                delete m_subWindow.data();
            else
                delete this;
        });
    }
    if (QMdiArea *area = kmp::HostServices::instance()->mdiArea()) {
        m_subWindow = area->addSubWindow(this);
        // Disposal is decided by FormClose, not by the sub-window.
        m_subWindow->setAttribute(Qt::WA_DeleteOnClose, false);
        // A click on a part of the screen that takes no focus (the toolbar, a label) must
        // leave the focus where it is: the frame taking it would pull it out of a cell
        // being typed, validate that cell, and swallow the click meant for the button.
        m_subWindow->setFocusPolicy(Qt::NoFocus);
        m_subWindow->setWindowIcon(kmp::screenIcon()); // not the toolkit's default logo
        m_subWindow->hide();
        connect(area, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow *w) {
            if (w && w == m_subWindow)
                activated();
        });
    }
}

TfrmPadraoGrid::~TfrmPadraoGrid() = default;

QWidget *TfrmPadraoGrid::frame() const
{
    return m_subWindow ? static_cast<QWidget *>(m_subWindow.data()) : const_cast<TfrmPadraoGrid *>(this);
}

QToolButton *TfrmPadraoGrid::toolButton(const QString &name, const QString &text, const QString &tip,
                                        void (TfrmPadraoGrid::*handler)(QObject *))
{
    auto *b = new QToolButton(panMenu);
    b->setObjectName(name);
    b->setText(text);
    b->setToolTip(tip);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus); // the toolbar never takes the focus from the data
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    // Runs the virtual by name, so a derived screen's handler is the one that runs.
    kmp::onEvent(b, &QToolButton::clicked, this, [this, b, handler] {
        kmp::commitPendingEdit(); // a typed cell belongs to the row the command acts on
        (this->*handler)(b);
    });
    panMenu->layout()->addWidget(b);
    return b;
}

void TfrmPadraoGrid::buildControls()
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);

    // --- menu ---
    mnuMenu = new QMenuBar(this);
    mnuMenu->setObjectName(QStringLiteral("mnuMenu"));
    mnuMenu->setNativeMenuBar(false);
    m_layout->setMenuBar(mnuMenu);
    mnuOperacao = mnuMenu->addMenu(QStringLiteral("&Operação"));
    mnuOperacao->setObjectName(QStringLiteral("mnuOperacao"));
    auto item = [this](const QString &name, const QString &text) {
        QAction *a = mnuOperacao->addAction(text);
        a->setObjectName(name);
        return a;
    };
    // The keys are shown after a tab, as menus show shortcuts, but are not registered as
    // shortcuts: the screen's action lists own them and decide by page and state.
    mnuAlterar = item(QStringLiteral("mnuAlterar"), QStringLiteral("Alterar\tF3"));
    mnuExcluir = item(QStringLiteral("mnuExcluir"), QStringLiteral("Excluir\tF4"));
    mnuProcurar = item(QStringLiteral("mnuProcurar"), QStringLiteral("Procurar"));
    mnuForaEdicao1 = item(QStringLiteral("mnuForaEdicao1"), QStringLiteral("Configurar Impressora..."));
    mnuForaEdicao2 = item(QStringLiteral("mnuForaEdicao2"), QStringLiteral("Atualizar\tF5"));
    mnuLinha2 = mnuOperacao->addSeparator();
    mnuLinha2->setObjectName(QStringLiteral("mnuLinha2"));
    mnuListagem = item(QStringLiteral("mnuListagem"), QStringLiteral("Listagem\tCtrl+P"));
    mnuOperacao->addSeparator();
    mnuSair = item(QStringLiteral("mnuSair"), QStringLiteral("Sair"));

    // --- toolbar ---
    panMenu = new QWidget(this);
    panMenu->setObjectName(QStringLiteral("panMenu"));
    panMenu->setFixedHeight(28);
    auto *bar = new QHBoxLayout(panMenu);
    bar->setContentsMargins(2, 1, 2, 1);
    bar->setSpacing(1);
    sbtIncluir = toolButton(QStringLiteral("sbtIncluir"), QStringLiteral("Incluir"), QStringLiteral("Incluir (F2)"),
                            &TfrmPadraoGrid::sbtIncluirClick);
    sbtAlterar = toolButton(QStringLiteral("sbtAlterar"), QStringLiteral("Alterar"), QStringLiteral("Alterar (F3)"),
                            &TfrmPadraoGrid::sbtAlterarClick);
    sbtExcluir = toolButton(QStringLiteral("sbtExcluir"), QStringLiteral("Excluir"), QStringLiteral("Excluir (F4)"),
                            &TfrmPadraoGrid::sbtExcluirClick);
    sbtConfirmar = toolButton(QStringLiteral("sbtConfirmar"), QStringLiteral("Confirmar"),
                              QStringLiteral("Confirmar (Ctrl+Enter)"), &TfrmPadraoGrid::sbtConfirmarClick);
    sbtCancelar = toolButton(QStringLiteral("sbtCancelar"), QStringLiteral("Cancelar"), QStringLiteral("Cancelar (Esc)"),
                             &TfrmPadraoGrid::sbtCancelarClick);
    sbtVerificar = toolButton(QStringLiteral("sbtVerificar"), QStringLiteral("Atualizar"), QStringLiteral("Atualizar (F5)"),
                              &TfrmPadraoGrid::sbtVerificarClick);
    sbtProcurar = toolButton(QStringLiteral("sbtProcurar"), QStringLiteral("Procurar"), QStringLiteral("Procurar"),
                             &TfrmPadraoGrid::sbtProcurarClick);
    sbtImprimir = toolButton(QStringLiteral("sbtImprimir"), QStringLiteral("Imprimir"), QStringLiteral("Imprimir (Ctrl+P)"),
                             &TfrmPadraoGrid::sbtImprimirClick);
    sbtSair =
        toolButton(QStringLiteral("sbtSair"), QStringLiteral("Sair"), QStringLiteral("Sair"), &TfrmPadraoGrid::sbtSairClick);
    bar->addStretch();
    lblCodTela = new QLabel(panMenu);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    QFont bold = lblCodTela->font();
    bold.setBold(true);
    lblCodTela->setFont(bold);
    bar->addWidget(lblCodTela);
    m_layout->addWidget(panMenu);

    kmp::onEvent(mnuAlterar, &QAction::triggered, this, [this] { sbtAlterarClick(mnuAlterar); });
    kmp::onEvent(mnuExcluir, &QAction::triggered, this, [this] { sbtExcluirClick(mnuExcluir); });
    kmp::onEvent(mnuProcurar, &QAction::triggered, this, [this] { sbtProcurarClick(mnuProcurar); });
    kmp::onEvent(mnuForaEdicao1, &QAction::triggered, this, [this] { mnuForaEdicao1Click(mnuForaEdicao1); });
    kmp::onEvent(mnuForaEdicao2, &QAction::triggered, this, [this] { mnuForaEdicao2Click(mnuForaEdicao2); });
    kmp::onEvent(mnuListagem, &QAction::triggered, this, [this] { sbtImprimirClick(mnuListagem); });
    // The listing by keyboard, as desktop programs print: the button's click, so that it
    // obeys the button's state and commits a typed cell first.
    auto *print = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_P), this);
    print->setObjectName(QStringLiteral("shcImprimir"));
    print->setContext(Qt::WidgetWithChildrenShortcut);
    connect(print, &QShortcut::activated, this, [this] {
        if (sbtImprimir->isEnabled() && sbtImprimir->isVisible())
            sbtImprimir->click();
    });
    kmp::onEvent(mnuSair, &QAction::triggered, this, [this] { mnuSairClick(); });

    // --- page control with the grid page ---
    pgcPadrao = new kmp::TPageControl(this);
    pgcPadrao->setObjectName(QStringLiteral("pgcPadrao"));
    tshPadrao = new kmp::TabPage(QStringLiteral("Dados"));
    tshPadrao->setObjectName(QStringLiteral("tshPadrao"));
    auto *pageLayout = new QVBoxLayout(tshPadrao);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    panDbgPadrao = new QWidget(tshPadrao);
    panDbgPadrao->setObjectName(QStringLiteral("panDbgPadrao"));
    pageLayout->addWidget(panDbgPadrao);
    auto *panLayout = new QVBoxLayout(panDbgPadrao);
    panLayout->setContentsMargins(0, 0, 0, 0);
    scbFolhaDados = new QScrollArea(panDbgPadrao);
    scbFolhaDados->setObjectName(QStringLiteral("scbFolhaDados"));
    scbFolhaDados->setWidgetResizable(true);
    scbFolhaDados->setFrameShape(QFrame::NoFrame);
    // The scroll box only frames the grid: the keyboard goes straight to what it holds,
    // instead of stopping on an empty frame that takes no keys.
    scbFolhaDados->setFocusPolicy(Qt::NoFocus);
    panLayout->addWidget(scbFolhaDados);
    auto *sheet = new QWidget;
    sheet->setObjectName(QStringLiteral("scbFolhaDadosArea"));
    m_sheetLayout = new QVBoxLayout(sheet);
    m_sheetLayout->setContentsMargins(0, 0, 0, 0);
    dbgPadrao = new kmp::DBGrid(sheet);
    dbgPadrao->setObjectName(QStringLiteral("dbgPadrao"));
    m_sheetLayout->addWidget(dbgPadrao);
    scbFolhaDados->setWidget(sheet);
    pgcPadrao->addPage(tshPadrao);
    m_layout->addWidget(pgcPadrao, 1);

    dtsPadrao = new kmp::DataSource(QStringLiteral("dtsPadrao"), this);
    dtsPadrao->setObjectName(QStringLiteral("dtsPadrao"));
    dbgPadrao->setDataSource(dtsPadrao);
    dbgPadrao->OnKeyPress = [this](QChar &key) { dbgPadraoKeyPress(key); };
    // Called synchronously from inside the record set's operation: its exceptions reach
    // whoever changed the state.
    dtsPadrao->OnStateChange = [this](kmp::DataSource &) { dtsPadraoStateChange(); };

    // --- navigator ---
    panNavigator = new QWidget(this);
    panNavigator->setObjectName(QStringLiteral("panNavigator"));
    panNavigator->setFixedHeight(28);
    auto *nav = new QHBoxLayout(panNavigator);
    nav->setContentsMargins(2, 1, 2, 1);
    dbnPadrao = new kmp::DBNavigator(panNavigator);
    dbnPadrao->setObjectName(QStringLiteral("dbnPadrao"));
    dbnPadrao->setDataSource(dtsPadrao);
    nav->addWidget(dbnPadrao);
    dbtNome = new kmp::DBText(panNavigator);
    dbtNome->setObjectName(QStringLiteral("dbtNome"));
    dbtNome->setDataSource(dtsPadrao);
    nav->addWidget(dbtNome, 1);
    nav->addStretch(); // keeps the navigator's buttons together when the name is hidden
    m_layout->addWidget(panNavigator);
    ctlInativoHistorico = dbnPadrao;
    ctlOcultoHistorico = dbtNome;

    pmnNavegar = new QMenu(this);
    pmnNavegar->setObjectName(QStringLiteral("pmnNavegar"));
    const struct
    {
        const char *text;
        kmp::DBNavigator::Button button;
    } moves[] = {{"Primeiro", kmp::DBNavigator::First},
                 {"Anterior", kmp::DBNavigator::Prior},
                 {"Próximo", kmp::DBNavigator::Next},
                 {"Último", kmp::DBNavigator::Last}};
    for (const auto &m : moves) {
        const kmp::DBNavigator::Button which = m.button;
        connect(pmnNavegar->addAction(QString::fromUtf8(m.text)), &QAction::triggered, this,
                [this, which] { dbnPadrao->click(which); });
    }
    dbgPadrao->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(dbgPadrao, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &p) { pmnNavegar->popup(dbgPadrao->viewport()->mapToGlobal(p)); });

    psdConfigurar = new kmp::PrinterSetupDialog(this);
    prdImprimir = new kmp::PrintDialog(this);

    // --- message tables ---
    msgPadrao = new kmp::TMessages(QStringLiteral("msgPadrao"), this);
    msgConfirma = new kmp::TMessages(QStringLiteral("msgConfirma"), this);
    msgConfirma->add(QStringLiteral("Canc"), QStringLiteral("Confirma o cancelamento das alterações?"));
    msgConfirma->add(QStringLiteral("Excl"), QStringLiteral("Confirma a exclusão do registro?"));
    m_msgBase = new kmp::TMessages(QStringLiteral("msgBase"), this);
    m_msgBase->add(QStringLiteral("Pesq_Vazio"), QStringLiteral("Não há registros para pesquisar."));
    m_msgBase->add(QStringLiteral("Ajuda_NCad"), QStringLiteral("Não há ajuda disponível para esta tela."));

    // --- keys ---
    aclPadrao = new kmp::ActionList(QStringLiteral("aclPadrao"), this);
    aclPadrao->addAction(QStringLiteral("Ajuda"), QStringLiteral("Ajuda"), QKeyCombination(Qt::Key_F1), [this] { showHelp(); });

    resize(656, 555);
}

void TfrmPadraoGrid::initialize()
{
    if (m_initialized)
        return;
    m_initialized = true;
    FormCreate();
    // After creation, so that the derived screen's controls are named too.
    kmp::nameControlsFromToolTips(this);
}

void TfrmPadraoGrid::addTopBand(QWidget *band)
{
    // After the toolbar (index 0) and the bands added before this one.
    m_layout->insertWidget(1 + m_bandCount, band);
    ++m_bandCount;
}

void TfrmPadraoGrid::setCaption(const QString &caption)
{
    setWindowTitle(caption);
    if (m_subWindow)
        m_subWindow->setWindowTitle(caption);
}

void TfrmPadraoGrid::setFormGeometry(int left, int top, int width, int height)
{
    QWidget *f = frame();
    m_formGeometry = QRect(left, top, width, height);
    if (m_subWindow) {
        // The MDI area places a sub-window itself when it is first shown; bringToFront puts
        // it back where the screen asked.
        m_subWindow->setGeometry(m_formGeometry);
    } else {
        // Outer size: take the window frame off when the platform reports one.
        const QSize extra = f->frameGeometry().size() - f->geometry().size();
        f->move(left, top);
        f->resize(qMax(1, width - extra.width()), qMax(1, height - extra.height()));
    }
}

void TfrmPadraoGrid::setClientHeight(int height)
{
    // Kept until the window is placed: the frame around the form is only known then.
    m_clientHeight = height;
    applyClientHeight();
}

void TfrmPadraoGrid::applyClientHeight()
{
    if (m_clientHeight <= 0)
        return;
    if (!m_subWindow) {
        resize(width(), m_clientHeight);
        return;
    }
    if (!m_placed)
        return;
    const int extra = m_subWindow->height() - this->height();
    m_subWindow->resize(m_subWindow->width(), m_clientHeight + qMax(0, extra));
}

void TfrmPadraoGrid::bringToFront()
{
    QWidget *f = frame();
    f->setWindowState((f->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized)) | Qt::WindowActive);
    if (m_subWindow)
        QWidget::show();
    f->show();
    if (m_subWindow && m_formGeometry.isValid() && !m_placed) {
        // Where the screen asked to be, moved and shrunk as far as needed to lie whole in
        // the host's area: on a small or scaled screen its title bar must stay in reach.
        QRect placed = m_formGeometry;
        if (QMdiArea *area = m_subWindow->mdiArea()) {
            const QRect room = area->viewport()->rect();
            if (room.width() > 100 && room.height() > 100) {
                placed.setSize(placed.size().boundedTo(room.size()));
                placed.moveRight(qMin(placed.right(), room.right()));
                placed.moveBottom(qMin(placed.bottom(), room.bottom()));
                placed.moveTopLeft(QPoint(qMax(0, placed.left()), qMax(0, placed.top())));
            }
        }
        m_subWindow->setGeometry(placed);
        m_placed = true;
        applyClientHeight();
    }
    f->raise();
    if (m_subWindow && m_subWindow->mdiArea())
        m_subWindow->mdiArea()->setActiveSubWindow(m_subWindow);
    else
        f->activateWindow();
}

// --- base handlers ------------------------------------------------------------------------

void TfrmPadraoGrid::FormCreate()
{
    pgcPadrao->SetActivePage(tshPadrao);
    dbgPadrao->setCancelOnExit(true);
    dtsPadraoStateChange();
}

void TfrmPadraoGrid::FormActivate() {}

void TfrmPadraoGrid::FormClose(kmp::CloseAction &action)
{
    action = kmp::CloseAction::Free;
}

void TfrmPadraoGrid::dtsPadraoStateChange()
{
    const kmp::DataSetState s = dtsPadrao->state();
    const bool editing = s == kmp::DataSetState::Edit || s == kmp::DataSetState::Insert;
    const bool browse = !editing;
    sbtIncluir->setEnabled(browse);
    sbtAlterar->setEnabled(browse);
    sbtExcluir->setEnabled(browse);
    sbtVerificar->setEnabled(browse);
    sbtProcurar->setEnabled(browse);
    sbtConfirmar->setEnabled(editing);
    sbtCancelar->setEnabled(editing);
    mnuAlterar->setEnabled(sbtAlterar->isEnabled());
    mnuExcluir->setEnabled(sbtExcluir->isEnabled());
    mnuProcurar->setEnabled(sbtProcurar->isEnabled());
    mnuForaEdicao1->setEnabled(browse);
    mnuForaEdicao2->setEnabled(browse);
}

void TfrmPadraoGrid::dbgPadraoKeyPress(QChar &key)
{
    // Nothing can be typed into a grid with no open record set behind it.
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (!set || !set->isActive())
        key = QChar();
}

void TfrmPadraoGrid::mnuSairClick()
{
    close();
}

void TfrmPadraoGrid::sbtIncluirClick(QObject *)
{
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (!set || !set->isActive())
        return;
    set->append();
    dbgPadrao->setFocus();
}

void TfrmPadraoGrid::sbtAlterarClick(QObject *)
{
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (!set || !set->isActive() || set->isEmpty())
        return;
    set->edit();
    dbgPadrao->setFocus();
}

void TfrmPadraoGrid::sbtExcluirClick(QObject *)
{
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (!set || !set->isActive() || set->isEmpty())
        return;
    if (msgConfirma->ShowMsg(QStringLiteral("Excl"), kmp::MessageType::Confirmation,
                             kmp::MessageButton::Yes | kmp::MessageButton::No, 0)
        != kmp::MessageResult::Yes)
        kmp::silentAbort();
    set->remove();
}

void TfrmPadraoGrid::sbtConfirmarClick(QObject *)
{
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (set && set->isEditing())
        set->post();
}

void TfrmPadraoGrid::sbtCancelarClick(QObject *)
{
    kmp::RecordSet *set = dtsPadrao->dataSet();
    if (!set || !set->isEditing())
        return;
    if (msgConfirma->ShowMsg(QStringLiteral("Canc"), kmp::MessageType::Confirmation,
                             kmp::MessageButton::Yes | kmp::MessageButton::No, 0)
        != kmp::MessageResult::Yes)
        kmp::silentAbort();
    set->cancel();
}

void TfrmPadraoGrid::sbtVerificarClick(QObject *)
{
    // The base screen holds no data of its own to fetch again; it shows what it has anew.
    dbgPadrao->viewport()->update();
}

void TfrmPadraoGrid::sbtProcurarClick(QObject *)
{
    const QString title = windowTitle().isEmpty() ? QStringLiteral("Procurar") : windowTitle();
    if (kmp::Pesquisa::Pesquisar(dtsPadrao, title + QLatin1Char('|') + m_msgBase->Msg(QStringLiteral("Pesq_Vazio")), false, true))
        dbgPadrao->setFocus();
}

void TfrmPadraoGrid::sbtImprimirClick(QObject *)
{
    // The base screen has no listing of its own: a derived screen opens its report here.
}

void TfrmPadraoGrid::sbtSairClick(QObject *)
{
    mnuSairClick();
}

void TfrmPadraoGrid::mnuForaEdicao1Click(QObject *)
{
    psdConfigurar->Execute(this);
}

void TfrmPadraoGrid::mnuForaEdicao2Click(QObject *)
{
    sbtVerificarClick(sbtVerificar);
}

// --- help ---------------------------------------------------------------------------------

QString TfrmPadraoGrid::helpFile(int context)
{
    QStringList folders;
    const QString hostFolder = kmp::HostServices::instance()->helpFolder();
    if (!hostFolder.isEmpty())
        folders << hostFolder;
    folders << QStringLiteral(KMP_HELP_SOURCE_DIR);
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(QStringLiteral("%1.html").arg(context));
        if (QFileInfo::exists(path))
            return path;
    }
    return QString();
}

void TfrmPadraoGrid::showHelp()
{
    showHelpPage(this, m_helpContext, windowTitle());
}

void TfrmPadraoGrid::showHelpPage(QWidget *parent, int context, const QString &title)
{
    const QString path = helpFile(context);
    if (path.isEmpty()) {
        kmp::Dialogs::message(parent, kmp::MessageType::Information, QStringLiteral("Não há ajuda disponível para esta tela."));
        return;
    }
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Ajuda - %1").arg(title));
    auto *layout = new QVBoxLayout(&dialog);
    auto *browser = new QTextBrowser(&dialog);
    browser->setObjectName(QStringLiteral("helpBrowser"));
    browser->setSource(QUrl::fromLocalFile(path));
    layout->addWidget(browser);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(560, 480);
    kmp::Dialogs::exec(kmp::DialogKind::Help, &dialog, dialog.windowTitle(), path);
}

// --- window events --------------------------------------------------------------------------

void TfrmPadraoGrid::activated()
{
    kmp::guarded(this, [this] { FormActivate(); });
}

bool TfrmPadraoGrid::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && !m_subWindow)
        activated();
    return QWidget::event(event);
}

void TfrmPadraoGrid::closeEvent(QCloseEvent *event)
{
    if (m_closing) {
        event->accept();
        return;
    }
    kmp::CloseAction action = kmp::CloseAction::Free;
    if (!kmp::guarded(this, [&] { FormClose(action); }))
        action = kmp::CloseAction::None; // a failed close keeps the window, with its data
    switch (action) {
    case kmp::CloseAction::None: event->ignore(); return;
    case kmp::CloseAction::Minimize:
        event->ignore();
        frame()->showMinimized();
        return;
    case kmp::CloseAction::Hide:
        event->accept();
        if (m_subWindow)
            m_subWindow->hide();
        return;
    case kmp::CloseAction::Free:
        m_closing = true;
        event->accept();
        if (m_subWindow) {
            m_subWindow->hide();
            m_subWindow->deleteLater(); // takes this form with it
        } else {
            deleteLater();
        }
        return;
    }
}
