#pragma once

#include <QPointer>
#include <QWidget>

class QAction;
class QLabel;
#include <QMdiSubWindow>
class QMenu;
class QMenuBar;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace kmp {
class DBGrid;
class ActionList;
class DBNavigator;
class DBText;
class TMessages;
class TPageControl;
class TabPage;
class DataSource;
class PrinterSetupDialog;
class PrintDialog;

// What becomes of a window being closed; FormClose may change it.
enum class CloseAction { None, Hide, Free, Minimize };
} // namespace kmp

// The base grid screen: toolbar, page control with the grid page, navigator, operations
// menu and message tables that a derived screen takes over.
//
// Life cycle: construct, then initialize() runs FormCreate() once (virtual, so a derived
// override runs; it should call TfrmPadraoGrid::FormCreate()). Exceptions from FormCreate
// leave initialize() for the caller. bringToFront() restores, shows and activates the
// window. Closing runs FormClose(); the base sets CloseAction::Free and the window is disposed of
// (deleteLater).
//
// The handlers run by name: button sbt<Name> runs the virtual sbt<Name>Click(sender)
// through the guarded dispatch; a derived screen replaces it and may call the base first.
//
// Layout (top to bottom): mnuMenu, panMenu (toolbar with lblCodTela), the bands a derived
// screen adds with addTopBand(), pgcPadrao (its page tshPadrao holds panDbgPadrao, which
// holds the scroll box scbFolhaDados with dbgPadrao in dataSheetLayout()), panNavigator.
//
// ctlInativoHistorico is the navigator dbnPadrao and ctlOcultoHistorico the text dbtNome:
// the two controls of the grid area that only make sense while the grid is in use.
class TfrmPadraoGrid : public QWidget
{
    Q_OBJECT
public:
    // owner: the host's application object; the screen is deleted with it. When the host
    // has an MDI area the screen lives in a sub-window of it; otherwise it is a window.
    explicit TfrmPadraoGrid(QObject *owner = nullptr);
    ~TfrmPadraoGrid() override;

    void initialize();   // runs FormCreate once
    void bringToFront(); // normal state, shown, raised, activated
    QMdiSubWindow *subWindow() const { return m_subWindow; }
    QWidget *frame() const; // the sub-window or this window itself

    // Outer geometry of the window in pixels (the sub-window's frame in the MDI area).
    void setFormGeometry(int left, int top, int width, int height);
    void setClientHeight(int height); // height of this form's own area
    int helpContext() const { return m_helpContext; }
    void setHelpContext(int context) { m_helpContext = context; }
    void setCaption(const QString &caption);

    // Shows the help page of helpContext (help/<context>.html) through the dialog service.
    void showHelp();
    static QString helpFile(int context); // empty when not found
    // Shows the page of a help context over a window; says so when there is none.
    static void showHelpPage(QWidget *parent, int context, const QString &title);

    void addTopBand(QWidget *band); // below the toolbar, above pgcPadrao
    QVBoxLayout *dataSheetLayout() const { return m_sheetLayout; }

    // --- base handlers a derived screen takes over ---------------------------------------
    virtual void FormCreate();
    virtual void FormActivate();
    virtual void FormClose(kmp::CloseAction &action);
    virtual void dtsPadraoStateChange();
    virtual void dbgPadraoKeyPress(QChar &key);
    virtual void mnuSairClick();

    virtual void sbtIncluirClick(QObject *sender);
    virtual void sbtAlterarClick(QObject *sender);
    virtual void sbtExcluirClick(QObject *sender);
    virtual void sbtConfirmarClick(QObject *sender);
    virtual void sbtCancelarClick(QObject *sender);
    virtual void sbtVerificarClick(QObject *sender);
    virtual void sbtProcurarClick(QObject *sender);
    virtual void sbtImprimirClick(QObject *sender);
    virtual void sbtSairClick(QObject *sender);
    virtual void mnuForaEdicao1Click(QObject *sender); // printer set-up
    virtual void mnuForaEdicao2Click(QObject *sender); // refresh (runs sbtVerificarClick)

    // --- controls --------------------------------------------------------------------
    QMenuBar *mnuMenu;
    QMenu *mnuOperacao;
    QAction *mnuAlterar;
    QAction *mnuExcluir;
    QAction *mnuProcurar;
    QAction *mnuForaEdicao1;
    QAction *mnuForaEdicao2;
    QAction *mnuLinha2; // separator: a derived screen inserts its items before it
    QAction *mnuListagem;
    QAction *mnuSair;

    QWidget *panMenu;
    QToolButton *sbtIncluir;
    QToolButton *sbtAlterar;
    QToolButton *sbtExcluir;
    QToolButton *sbtConfirmar;
    QToolButton *sbtCancelar;
    QToolButton *sbtVerificar;
    QToolButton *sbtProcurar;
    QToolButton *sbtImprimir;
    QToolButton *sbtSair;
    QLabel *lblCodTela;

    kmp::TPageControl *pgcPadrao;
    kmp::TabPage *tshPadrao;
    QWidget *panDbgPadrao;
    QScrollArea *scbFolhaDados;
    kmp::DBGrid *dbgPadrao;
    kmp::DataSource *dtsPadrao;

    QWidget *panNavigator;
    kmp::DBNavigator *dbnPadrao;
    kmp::DBText *dbtNome;

    QWidget *ctlInativoHistorico;
    QWidget *ctlOcultoHistorico;

    kmp::TMessages *msgPadrao;   // the derived screen's own texts
    kmp::TMessages *msgConfirma; // "Canc" and "Excl"
    QMenu *pmnNavegar;           // grid pop-up: first, prior, next, last
    kmp::PrinterSetupDialog *psdConfigurar;
    kmp::PrintDialog *prdImprimir;
    kmp::ActionList *aclPadrao; // the base screen's keys (F1 help); offered before derived lists

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    void buildControls();
    QToolButton *toolButton(const QString &name, const QString &text, const QString &tip,
                            void (TfrmPadraoGrid::*handler)(QObject *));
    void activated();
    void applyClientHeight();

    QVBoxLayout *m_layout;
    QVBoxLayout *m_sheetLayout;
    QPointer<QMdiSubWindow> m_subWindow;
    kmp::TMessages *m_msgBase;
    int m_helpContext = 0;
    int m_bandCount = 0;
    bool m_initialized = false;
    bool m_closing = false;
    bool m_placed = false;
    int m_clientHeight = 0;
    QRect m_formGeometry;
};
