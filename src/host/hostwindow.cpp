#include "hostwindow.h"

#include "appicons.h"
#include "client.h"
#include "connectionstatus.h"
#include "dialogs.h"
#include "hostlog.h"
#include "hostservicesimpl.h"

#include <QCloseEvent>
#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace kmp {

HostWindow::HostWindow(const HostOptions &options, HostServicesImpl *services, QWidget *parent)
    : QMainWindow(parent), m_options(options), m_services(services)
{
    setObjectName(QStringLiteral("frmPrincipal"));
    setWindowTitle(windowTitleText());
    setWindowIcon(hostIcon());
    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_mdi);
    m_appObject = new QObject(this);
    m_appObject->setObjectName(QStringLiteral("Application"));
    for (const QString &p : options.modulePaths)
        m_loader.addSearchPath(p);
    if (m_services) {
        m_services->setMainWindow(this, m_mdi);
        m_services->setApplication(m_appObject);
    }

    QMenu *file = menuBar()->addMenu(QStringLiteral("&Arquivo"));
    file->addAction(QStringLiteral("Abrir &consulta..."), this, &HostWindow::showOpenForm);
    file->addAction(QStringLiteral("Cache &local..."), this, &HostWindow::showCacheDialog);
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("&Sair"), this, &QWidget::close);
    quit->setObjectName(QStringLiteral("actSair"));
    quit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    QMenu *windows = menuBar()->addMenu(QStringLiteral("&Janelas"));
    windows->addAction(QStringLiteral("Em &cascata"), m_mdi, &QMdiArea::cascadeSubWindows);
    windows->addAction(QStringLiteral("&Lado a lado"), m_mdi, &QMdiArea::tileSubWindows);

    buildStatusBar();
    restorePlacement();
}

HostWindow::~HostWindow() = default;

QString HostWindow::windowTitleText()
{
    return QStringLiteral("KMP - Clínica");
}

// Permanent widgets, not a status message: a menu's status tips replace the message while
// the menu is open and leave the bar empty after, but never touch these.
void HostWindow::buildStatusBar()
{
    auto makeLabel = [this](const QString &name) {
        auto *label = new QLabel(this);
        label->setObjectName(name);
        label->setContentsMargins(6, 0, 6, 0);
        statusBar()->addPermanentWidget(label);
        return label;
    };
    m_serverLabel = makeLabel(QStringLiteral("lblServidor"));
    m_branchLabel = makeLabel(QStringLiteral("lblFilial"));
    m_connectionLabel = makeLabel(QStringLiteral("lblConexao"));
    // A screen reader reads a field's name and its value together, as it is seen.
    const auto show = [](QLabel *label, const QString &name, const QString &text) {
        label->setText(text);
        label->setAccessibleName(text.startsWith(name) ? text : name + QStringLiteral(": ") + text);
    };
    show(m_serverLabel, QStringLiteral("Servidor"),
         QStringLiteral("Servidor %1:%2").arg(m_options.serverHost).arg(m_options.serverPort));
    showBranch(m_options.branch);
    auto showConnection = [this, show](ConnectionStatus::State state, const QString &endpoint) {
        const QString conexao = QStringLiteral("Conexão");
        switch (state) {
        case ConnectionStatus::Idle: show(m_connectionLabel, conexao, QStringLiteral("Sem conexão aberta")); break;
        case ConnectionStatus::Connected: show(m_connectionLabel, conexao, QStringLiteral("Conectado")); break;
        case ConnectionStatus::Failed: show(m_connectionLabel, conexao, QStringLiteral("Falha na conexão")); break;
        }
        if (!endpoint.isEmpty())
            show(m_serverLabel, QStringLiteral("Servidor"), QStringLiteral("Servidor %1").arg(endpoint));
    };
    showConnection(ConnectionStatus::instance().state(), QString());
    connect(&ConnectionStatus::instance(), &ConnectionStatus::changed, this, showConnection);
}

void HostWindow::showBranch(const QString &branch)
{
    const QString text = QStringLiteral("Filial %1").arg(branch.isEmpty() ? QStringLiteral("-") : branch);
    m_branchLabel->setText(text);
    m_branchLabel->setAccessibleName(branch.isEmpty() ? QStringLiteral("Filial: nenhuma") : text);
}

void HostWindow::restorePlacement()
{
    const QByteArray geometry =
        m_services ? m_services->savedState(QStringLiteral("mainWindow/geometry")).toByteArray() : QByteArray();
    // A place remembered on a screen that is no longer there (or from a larger screen, or
    // before the scaling changed) would put the title bar or the status bar out of reach.
    if (!geometry.isEmpty() && restoreGeometry(geometry) && fitsOnAScreen(frameGeometry()))
        return;
    fitToScreen();
}

namespace {

// The window frame's share around the client area before the window manager has said what
// it is: a title bar and thin borders.
QMargins expectedFrame(const QWidget *w)
{
    const QMargins known(w->geometry().left() - w->frameGeometry().left(), w->geometry().top() - w->frameGeometry().top(),
                         w->frameGeometry().right() - w->geometry().right(),
                         w->frameGeometry().bottom() - w->geometry().bottom());
    if (!known.isNull())
        return known;
    const int title = w->fontMetrics().height() + 14;
    return QMargins(4, title, 4, 4);
}

} // namespace

bool HostWindow::fitsOnAScreen(const QRect &frame) const
{
    const auto screens = QGuiApplication::screens();
    return std::any_of(screens.cbegin(), screens.cend(),
                       [&frame](const QScreen *screen) { return screen->availableGeometry().contains(frame); });
}

void HostWindow::fitToScreen()
{
    QScreen *target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target)
        return;
    const QRect available = target->availableGeometry();
    const QMargins frame = expectedFrame(this);
    // As large as it was designed to open, never larger than the screen leaves for it.
    const QSize room = available.marginsRemoved(frame).size();
    const QSize size = QSize(1280, 960).boundedTo(room).expandedTo(minimumSizeHint().boundedTo(room));
    resize(size);
    const QSize outer = size.grownBy(frame);
    move(available.left() + qMax(0, (available.width() - outer.width()) / 2),
         available.top() + qMax(0, (available.height() - outer.height()) / 2));
}

void HostWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Only now does the window manager say how large its frame really is: a window that
    // does not fit with it is fitted again, once the frame is known.
    if (m_checkedFit)
        return;
    m_checkedFit = true;
    QTimer::singleShot(300, this, [this] {
        if (!isMaximized() && !isFullScreen() && !fitsOnAScreen(frameGeometry()))
            fitToScreen();
    });
}

void HostWindow::savePlacement()
{
    if (m_services)
        m_services->saveState(QStringLiteral("mainWindow/geometry"), saveGeometry());
}

bool HostWindow::closeScreens()
{
    // Each screen decides for itself; the first that stays open keeps the host open, and
    // the ones after it are not asked.
    const auto subs = m_mdi->subWindowList();
    for (QMdiSubWindow *sub : subs) {
        if (!sub->widget())
            continue;
        if (!sub->close())
            return false;
    }
    return true;
}

void HostWindow::closeEvent(QCloseEvent *event)
{
    if (!closeScreens()) {
        event->ignore();
        return;
    }
    savePlacement();
    event->accept();
}

void HostWindow::fail(const QString &userText, const QString &detail)
{
    m_lastError = userText;
    qCWarning(hostLog).noquote() << detail;
    if (!m_quiet)
        Dialogs::error(this, userText);
}

bool HostWindow::openModule(const QString &module, const QString &branch, const QString &patient, const QString &patientText,
                            const QDate &date)
{
    m_lastError.clear();
    if (!date.isValid()) {
        fail(QStringLiteral("A data da consulta é inválida."), QStringLiteral("data da consulta inválida"));
        return false;
    }
    try {
        m_loader.enter(module, ModuleLoader::entryArgs(branch, patient, patientText, date));
        // The branch the screen works in: the consultation's, else the host's own.
        showBranch(branch.isEmpty() ? m_options.branch : branch);
        return true;
    } catch (const ModuleError &e) {
        fail(e.userMessage(), e.detail());
    } catch (const wire::ConnectionError &e) {
        fail(QStringLiteral("Não foi possível conectar ao servidor de aplicação (%1:%2).\n%3")
                 .arg(Norvik::WebURL())
                 .arg(Norvik::WebPort())
                 .arg(e.userMessage()),
             QStringLiteral("módulo %1: servidor de aplicação %2:%3 inalcançável: %4")
                 .arg(module)
                 .arg(Norvik::WebURL())
                 .arg(Norvik::WebPort())
                 .arg(QString::fromUtf8(e.what())));
    } catch (const Error &e) {
        fail(e.userMessage(), QStringLiteral("o módulo %1 falhou ao iniciar: %2").arg(module, QString::fromUtf8(e.what())));
    } catch (const std::exception &e) {
        fail(QStringLiteral("O módulo %1 falhou ao iniciar.").arg(module),
             QStringLiteral("o módulo %1 falhou ao iniciar: %2").arg(module, QString::fromUtf8(e.what())));
    }
    return false;
}

void HostWindow::showOpenForm()
{
    QDialog form(this);
    form.setWindowTitle(QStringLiteral("Abrir consulta"));
    auto *layout = new QFormLayout(&form);
    auto *module = new QLineEdit(m_options.module.isEmpty() ? QStringLiteral("PKG_KMP12800") : m_options.module, &form);
    auto *branch = new QLineEdit(m_options.entryBranch, &form);
    auto *patient = new QLineEdit(m_options.patient, &form);
    auto *text = new QLineEdit(m_options.patientText, &form);
    auto *date = new QDateEdit(m_options.date.isValid() ? m_options.date : QDate::currentDate(), &form);
    date->setCalendarPopup(true);
    date->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    layout->addRow(QStringLiteral("Módulo"), module);
    layout->addRow(QStringLiteral("Filial"), branch);
    layout->addRow(QStringLiteral("Paciente"), patient);
    layout->addRow(QStringLiteral("Nome do paciente"), text);
    layout->addRow(QStringLiteral("Data da consulta"), date);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &form);
    connect(buttons, &QDialogButtonBox::accepted, &form, [&] {
        if (patient->text().trimmed().isEmpty()) {
            Dialogs::message(&form, MessageType::Warning, QStringLiteral("Informe o paciente."));
            return;
        }
        form.accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, &form, &QDialog::reject);
    layout->addRow(buttons);
    if (Dialogs::exec(DialogKind::Custom, &form, form.windowTitle()) != QDialog::Accepted)
        return;
    m_options.module = module->text().trimmed();
    m_options.entryBranch = branch->text().trimmed();
    m_options.patient = patient->text().trimmed();
    m_options.patientText = text->text();
    m_options.date = date->date();
    openModule(m_options.module, m_options.entryBranch, m_options.patient, m_options.patientText, m_options.date);
}

void HostWindow::showCacheDialog()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Cache local"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *table = new QTableWidget(&dialog);
    table->setObjectName(QStringLiteral("cacheTable"));
    table->setColumnCount(2);
    table->setHorizontalHeaderLabels({QStringLiteral("Chave"), QStringLiteral("Última atualização")});
    const QStringList keys = m_services ? m_services->cacheKeys() : QStringList();
    table->setRowCount(int(keys.size()));
    for (int i = 0; i < keys.size(); ++i) {
        table->setItem(i, 0, new QTableWidgetItem(keys.at(i)));
        table->setItem(i, 1,
                       new QTableWidgetItem(m_services->lastRefresh(keys.at(i)).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"))));
    }
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(table);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(420, 300);
    Dialogs::exec(DialogKind::Custom, &dialog, dialog.windowTitle());
}

} // namespace kmp
