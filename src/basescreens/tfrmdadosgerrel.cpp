#include "tfrmdadosgerrel.h"

#include "dialogs.h"
#include "exceptions.h"
#include "tmessages.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

TReportDesignerDialog::TReportDesignerDialog(QObject *parent) : QObject(parent) {}

QString TReportDesignerDialog::run(const ReportDefinition &report, QWidget *parent)
{
    ReportParams params = report.params;
    bool proceed = true;
    if (OnBeforeGetQueryParams)
        OnBeforeGetQueryParams(params, proceed);
    m_last = params;
    if (!proceed)
        return QString();
    if (!report.generate)
        throw kmp::Error(QStringLiteral("O relatório %1 não tem consulta definida.").arg(report.code));
    const QString html = report.generate(params);

    QDialog preview(parent);
    preview.setWindowTitle(report.title);
    auto *layout = new QVBoxLayout(&preview);
    auto *browser = new QTextBrowser(&preview);
    browser->setObjectName(QStringLiteral("reportPreview"));
    browser->setHtml(html);
    layout->addWidget(browser);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &preview);
    QPushButton *print = buttons->addButton(QStringLiteral("Imprimir..."), QDialogButtonBox::ActionRole);
    QObject::connect(print, &QPushButton::clicked, &preview, [&preview, browser] {
        kmp::guarded(&preview, [&] {
            QPrinter printer;
            QPrintDialog dialog(&printer, &preview);
            if (kmp::Dialogs::exec(kmp::DialogKind::Print, &dialog) == QDialog::Accepted)
                browser->document()->print(&printer);
        });
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &preview, &QDialog::reject);
    layout->addWidget(buttons);
    preview.resize(720, 600);
    kmp::Dialogs::exec(kmp::DialogKind::Preview, &preview, report.title, html);
    return html;
}

TfrmDadosGerRel::TfrmDadosGerRel(QObject *owner, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmDadosGerRel"));
    if (owner)
        connect(owner, &QObject::destroyed, this, [this] { delete this; });
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    panMenu = new QWidget(this);
    panMenu->setObjectName(QStringLiteral("panMenu"));
    auto *bar = new QHBoxLayout(panMenu);
    bar->setContentsMargins(2, 1, 2, 1);
    sbtImprimir = new QToolButton(panMenu);
    sbtImprimir->setObjectName(QStringLiteral("sbtImprimir"));
    sbtImprimir->setText(QStringLiteral("Visualizar"));
    sbtImprimir->setAutoRaise(true);
    bar->addWidget(sbtImprimir);
    sbtSair = new QToolButton(panMenu);
    sbtSair->setObjectName(QStringLiteral("sbtSair"));
    sbtSair->setText(QStringLiteral("Sair"));
    sbtSair->setAutoRaise(true);
    bar->addWidget(sbtSair);
    bar->addStretch();
    lblCodRel = new QLabel(panMenu);
    lblCodRel->setObjectName(QStringLiteral("lblCodRel"));
    bar->addWidget(lblCodRel);
    lblCodTela = new QLabel(panMenu);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    QFont bold = lblCodTela->font();
    bold.setBold(true);
    lblCodTela->setFont(bold);
    lblCodRel->setFont(bold);
    bar->addWidget(lblCodTela);
    layout->addWidget(panMenu);
    lstRelatorios = new QListWidget(this);
    lstRelatorios->setObjectName(QStringLiteral("lstRelatorios"));
    layout->addWidget(lstRelatorios, 1);
    rpddPadrao = new TReportDesignerDialog(this);
    msgPadrao = new TMessages(QStringLiteral("msgPadrao"), this);
    connect(sbtImprimir, &QToolButton::clicked, this, [this] { runCurrent(); });
    connect(lstRelatorios, &QListWidget::itemActivated, this, [this] { runCurrent(); });
    connect(sbtSair, &QToolButton::clicked, this, &QDialog::reject);
    resize(480, 360);
}

TfrmDadosGerRel::~TfrmDadosGerRel() = default;

void TfrmDadosGerRel::addReport(const ReportDefinition &report)
{
    m_reports.append(report);
    lstRelatorios->addItem(QStringLiteral("%1 - %2").arg(report.code, report.title));
    if (lstRelatorios->currentRow() < 0)
        lstRelatorios->setCurrentRow(0);
}

int TfrmDadosGerRel::currentReport() const
{
    return lstRelatorios->currentRow();
}

void TfrmDadosGerRel::setCurrentReport(int index)
{
    lstRelatorios->setCurrentRow(index);
}

bool TfrmDadosGerRel::runCurrent()
{
    const int i = currentReport();
    if (i < 0 || i >= m_reports.size())
        return false;
    return kmp::guarded(this, [&] { rpddPadrao->run(m_reports.at(i), this); });
}

int TfrmDadosGerRel::ShowModal()
{
    return kmp::Dialogs::exec(kmp::DialogKind::Custom, this, windowTitle());
}

void TfrmDadosGerRel::FormActivate()
{
    if (currentReport() < 0 && !m_reports.isEmpty())
        setCurrentReport(0);
}

bool TfrmDadosGerRel::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        kmp::guarded(this, [this] { FormActivate(); });
    return QDialog::event(event);
}
