#include "hostwindow.h"

#include "client.h"
#include "dialogs.h"
#include "hostservicesimpl.h"

#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstdio>

namespace kmp {

HostWindow::HostWindow(const HostOptions &options, HostServicesImpl *services, QWidget *parent)
    : QMainWindow(parent), m_options(options), m_services(services)
{
    setObjectName(QStringLiteral("frmPrincipal"));
    setWindowTitle(QStringLiteral("KMP - Clínica"));
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
    file->addAction(QStringLiteral("&Sair"), this, &QWidget::close);
    QMenu *windows = menuBar()->addMenu(QStringLiteral("&Janelas"));
    windows->addAction(QStringLiteral("Em &cascata"), m_mdi, &QMdiArea::cascadeSubWindows);
    windows->addAction(QStringLiteral("&Lado a lado"), m_mdi, &QMdiArea::tileSubWindows);

    statusBar()->showMessage(QStringLiteral("Servidor %1:%2   Filial %3")
                                 .arg(options.serverHost)
                                 .arg(options.serverPort)
                                 .arg(options.branch.isEmpty() ? QStringLiteral("-") : options.branch));
    resize(1280, 960);
}

HostWindow::~HostWindow() = default;

void HostWindow::fail(const QString &userText, const QString &detail)
{
    m_lastError = userText;
    std::fprintf(stderr, "kmp-host: %s\n", qPrintable(detail));
    if (!m_quiet)
        Dialogs::error(this, userText);
}

bool HostWindow::openModule(const QString &module, const QString &branch, const QString &patient,
                            const QString &patientText, const QDate &date)
{
    m_lastError.clear();
    if (!date.isValid()) {
        fail(QStringLiteral("A data da consulta é inválida."), QStringLiteral("invalid consultation date"));
        return false;
    }
    try {
        m_loader.enter(module, ModuleLoader::entryArgs(branch, patient, patientText, date));
        return true;
    } catch (const ModuleError &e) {
        fail(e.userMessage(), e.detail());
    } catch (const wire::ConnectionError &e) {
        fail(QStringLiteral("Não foi possível conectar ao servidor de aplicação (%1:%2).\n%3")
                 .arg(Norvik::WebURL())
                 .arg(Norvik::WebPort())
                 .arg(e.userMessage()),
             QStringLiteral("cannot reach the application server at %1:%2: %3")
                 .arg(Norvik::WebURL())
                 .arg(Norvik::WebPort())
                 .arg(QString::fromUtf8(e.what())));
    } catch (const Error &e) {
        fail(e.userMessage(), QStringLiteral("module %1 failed to start: %2").arg(module, QString::fromUtf8(e.what())));
    } catch (const std::exception &e) {
        fail(QStringLiteral("O módulo %1 falhou ao iniciar.").arg(module),
             QStringLiteral("module %1 failed to start: %2").arg(module, QString::fromUtf8(e.what())));
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
            Dialogs::message(&form, mtWarning, QStringLiteral("Informe o paciente."));
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
        table->setItem(i, 1, new QTableWidgetItem(
                                 m_services->lastRefresh(keys.at(i)).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"))));
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
