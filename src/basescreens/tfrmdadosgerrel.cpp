#include "tfrmdadosgerrel.h"

#include "appicons.h"
#include "consiste.h"
#include "dialogs.h"
#include "exceptions.h"
#include "fielddef.h"
#include "methods.h"
#include "packet.h"
#include "reportdialog.h"
#include "tfrmpadraogrid.h"
#include "tnetconnection.h"

#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

TfrmDadosGerRel::TfrmDadosGerRel(QObject *owner)
    : QDialog(kmp::HostServices::instance() ? kmp::HostServices::instance()->mainForm() : nullptr)
{
    if (owner)
        connect(owner, &QObject::destroyed, this, &QObject::deleteLater);
    setObjectName(QStringLiteral("frmDadosGerRel"));
    setWindowIcon(kmp::screenIcon());
    setModal(true);
    resize(520, 360);

    auto *layout = new QVBoxLayout(this);
    panMenu = new QWidget(this);
    panMenu->setObjectName(QStringLiteral("panMenu"));
    auto *bar = new QHBoxLayout(panMenu);
    bar->setContentsMargins(4, 2, 4, 2);
    auto button = [this, bar](const char *name, const QString &text) {
        auto *b = new QToolButton(panMenu);
        b->setObjectName(QLatin1String(name));
        b->setText(text);
        b->setAccessibleName(text);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        bar->addWidget(b);
        return b;
    };
    sbtVisualizar = button("sbtVisualizar", QStringLiteral("Visualizar"));
    sbtVisualizar->setToolTip(QStringLiteral("Visualizar o relatório escolhido (Enter)"));
    sbtPdf = button("sbtPdf", QStringLiteral("Salvar PDF"));
    sbtPdf->setToolTip(QStringLiteral("Salvar o relatório escolhido em PDF"));
    sbtSair = button("sbtSair", QStringLiteral("Sair"));
    sbtSair->setToolTip(QStringLiteral("Fechar (Esc)"));
    bar->addStretch();
    lblCodRel = new QLabel(panMenu);
    lblCodRel->setObjectName(QStringLiteral("lblCodRel"));
    lblCodRel->setAccessibleName(QStringLiteral("Código do relatório"));
    lblCodTela = new QLabel(panMenu);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    lblCodTela->setAccessibleName(QStringLiteral("Código da tela"));
    bar->addWidget(lblCodRel);
    bar->addSpacing(12);
    bar->addWidget(lblCodTela);
    layout->addWidget(panMenu);

    auto *caption = new QLabel(QStringLiteral("Relatórios disponíveis:"), this);
    layout->addWidget(caption);
    lstRelatorios = new QListWidget(this);
    lstRelatorios->setObjectName(QStringLiteral("lstRelatorios"));
    lstRelatorios->setAccessibleName(QStringLiteral("Relatórios disponíveis"));
    caption->setBuddy(lstRelatorios);
    layout->addWidget(lstRelatorios);

    rpddPadrao = new kmp::ReportDialog(this);
    rpddPadrao->setObjectName(QStringLiteral("rpddPadrao"));
    rpddPadrao->OnBeforeGetQueryParams = [this](kmp::ReportParams &params, bool &ok) {
        rpddPadraoBeforeGetQueryParams(params, ok);
    };

    netRelatorio = new kmp::TNetConnection(this);
    netRelatorio->setObjectName(QStringLiteral("netRelatorio"));
    netRelatorio->ThrowException = false;
    netRelatorio->OnBeforeConnect = [](kmp::TNetConnection &net) {
        net.setHost(kmp::Norvik::WebURL());
        net.setPort(kmp::Norvik::WebPort());
    };

    kmp::onEvent(sbtVisualizar, &QToolButton::clicked, this, [this] { preview(); });
    // Enter is the dialog's (keyPressEvent); the list's own activation would run it twice.
    kmp::onEvent(lstRelatorios, &QListWidget::itemDoubleClicked, this, [this] { preview(); });
    kmp::onEvent(sbtPdf, &QToolButton::clicked, this, [this] {
        QFileDialog dlg(this, QStringLiteral("Salvar relatório em PDF"), QString(), QStringLiteral("PDF (*.pdf)"));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setDefaultSuffix(QStringLiteral("pdf"));
        if (kmp::Dialogs::exec(kmp::DialogKind::Custom, &dlg, dlg.windowTitle()) != QDialog::Accepted
            || dlg.selectedFiles().isEmpty())
            return;
        exportPdf(dlg.selectedFiles().first());
    });
    connect(sbtSair, &QToolButton::clicked, this, &QDialog::reject);
}

TfrmDadosGerRel::~TfrmDadosGerRel() = default;

void TfrmDadosGerRel::setServer(const QString &moduleName, const QString &moduleGuid)
{
    netRelatorio->setServerName(moduleName);
    netRelatorio->setServerGUID(moduleGuid);
}

void TfrmDadosGerRel::setReportCode(const QString &code)
{
    m_reportCode = code;
    lblCodRel->setText(code);
}

void TfrmDadosGerRel::initialize()
{
    if (m_initialized)
        return;
    m_initialized = true;
    FormCreate();
}

int TfrmDadosGerRel::showModal()
{
    return kmp::Dialogs::exec(kmp::DialogKind::Custom, this, windowTitle());
}

QByteArray TfrmDadosGerRel::call(const QString &method, const QCborArray &args)
{
    const QCborValue payload = kmp::Consiste::CheckResultServ(netRelatorio->call(method, args), true, 0);
    if (!payload.isByteArray())
        throw kmp::Error(QStringLiteral("Resposta inesperada do servidor em %1.").arg(method));
    return payload.toByteArray();
}

void TfrmDadosGerRel::FormCreate()
{
    netRelatorio->setConnected(true);
    const kmp::Packet p =
        kmp::decodePacket(call(kmp::protocol::methodName<kmp::protocol::GetRelatorios>(),
                               kmp::protocol::encodeArgs<kmp::protocol::GetRelatorios>(kmp::protocol::ReportCode{m_reportCode})));
    m_reports.clear();
    lstRelatorios->clear();
    for (const kmp::RowValues &row : p.rows) {
        Report r;
        r.id = row.at(0).toString();
        r.title = row.at(1).toString();
        r.params = row.at(2).toString().split(QLatin1Char(';'), Qt::SkipEmptyParts);
        r.layout = QJsonDocument::fromJson(row.at(3).toByteArray()).object();
        m_reports.append(r);
        lstRelatorios->addItem(QStringLiteral("%1 - %2").arg(r.id, r.title));
    }
    if (!m_reports.isEmpty())
        lstRelatorios->setCurrentRow(0);
    // The list is where the keyboard starts: arrows pick a report, Enter runs it.
    lstRelatorios->setFocus();
}

void TfrmDadosGerRel::FormActivate() {}

void TfrmDadosGerRel::rpddPadraoBeforeGetQueryParams(kmp::ReportParams &, bool &) {}

int TfrmDadosGerRel::selectedReport() const
{
    return lstRelatorios->currentRow();
}

QTextDocument *TfrmDadosGerRel::runSelected()
{
    const int index = selectedReport();
    if (index < 0 || index >= m_reports.size())
        throw kmp::Error(QStringLiteral("Escolha um relatório da lista."));
    const Report &report = m_reports.at(index);
    // Only the parameters the report defines exist; the handler fills the ones it knows.
    kmp::ReportParams params;
    for (const QString &name : report.params)
        params.add(name, QString());
    bool ok = true;
    if (rpddPadrao->OnBeforeGetQueryParams)
        rpddPadrao->OnBeforeGetQueryParams(params, ok);
    if (!ok)
        return nullptr;
    QJsonObject values;
    for (int i = 0; i < params.count(); ++i)
        values.insert(params.name(i), params.valueAt(i).toString());
    namespace p = kmp::protocol;
    const QByteArray rows =
        call(p::methodName<p::ExecRelatorio>(),
             p::encodeArgs<p::ExecRelatorio>(
                 p::ReportCode{m_reportCode}, p::ReportId{report.id},
                 p::ReportParameters{QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact))}));
    buildDocument(report, params, rows);
    return m_document.get();
}

namespace {

QString cellText(const QVariant &v, const QString &kind)
{
    if (!v.isValid() || v.isNull())
        return QString();
    if (kind == QLatin1String("date"))
        return kmp::dateTimeFromDays(v.toDouble()).date().toString(QStringLiteral("dd/MM/yyyy"));
    if (kind == QLatin1String("integer"))
        return QString::number(qint64(std::llround(v.toDouble())));
    return v.toString();
}

} // namespace

void TfrmDadosGerRel::buildDocument(const Report &report, const kmp::ReportParams &params, const QByteArray &packetBytes)
{
    const kmp::Packet p = kmp::decodePacket(packetBytes);
    auto column = [&p](const QString &name) {
        for (size_t i = 0; i < p.fields.size(); ++i)
            if (p.fields[i].name.compare(name, Qt::CaseInsensitive) == 0)
                return int(i);
        return -1;
    };
    const QJsonObject layout = report.layout;
    QString html;
    html += QStringLiteral("<html><body style=\"font-family: sans-serif; font-size: 10pt\">");
    html += QStringLiteral("<h2>%1</h2>").arg(report.title.toHtmlEscaped());
    for (const QJsonValue &hv : layout.value(QLatin1String("header")).toArray()) {
        const QJsonObject h = hv.toObject();
        QString value = params.value(h.value(QLatin1String("param")).toString()).toString();
        const int nameCol = column(h.value(QLatin1String("name")).toString());
        if (nameCol >= 0 && !p.rows.empty() && !p.rows[0][size_t(nameCol)].toString().isEmpty())
            value += QStringLiteral(" - ") + p.rows[0][size_t(nameCol)].toString();
        html += QStringLiteral("<p><b>%1:</b> %2</p>")
                    .arg(h.value(QLatin1String("label")).toString().toHtmlEscaped(), value.toHtmlEscaped());
    }
    const QJsonArray columns = layout.value(QLatin1String("columns")).toArray();
    const QJsonObject group = layout.value(QLatin1String("group")).toObject();
    const int groupCol = column(group.value(QLatin1String("field")).toString());
    QString tableHead = QStringLiteral("<tr>");
    for (const QJsonValue &cv : columns) {
        const QJsonObject c = cv.toObject();
        tableHead += QStringLiteral("<th align=\"left\" width=\"%1%\">%2</th>")
                         .arg(c.value(QLatin1String("width")).toInt(20))
                         .arg(c.value(QLatin1String("title")).toString().toHtmlEscaped());
    }
    tableHead += QStringLiteral("</tr>");

    if (p.rows.empty())
        html += QStringLiteral("<p><i>%1</i></p>").arg(layout.value(QLatin1String("empty")).toString().toHtmlEscaped());
    QString currentGroup;
    bool tableOpen = false;
    for (size_t r = 0; r < p.rows.size(); ++r) {
        const kmp::RowValues &row = p.rows[r];
        const QString g =
            groupCol >= 0 ? cellText(row[size_t(groupCol)], group.value(QLatin1String("kind")).toString()) : QString();
        if (r == 0 || g != currentGroup) {
            if (tableOpen)
                html += QStringLiteral("</table>");
            currentGroup = g;
            if (groupCol >= 0)
                html += QStringLiteral("<h3>%1 %2</h3>").arg(group.value(QLatin1String("label")).toString().toHtmlEscaped(), g);
            html += QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"3\" border=\"1\">") + tableHead;
            tableOpen = true;
        }
        html += QStringLiteral("<tr>");
        for (const QJsonValue &cv : columns) {
            const QJsonObject c = cv.toObject();
            const int col = column(c.value(QLatin1String("field")).toString());
            const QString text = col >= 0 ? cellText(row[size_t(col)], c.value(QLatin1String("kind")).toString()) : QString();
            html += QStringLiteral("<td>%1</td>").arg(text.toHtmlEscaped());
        }
        html += QStringLiteral("</tr>");
    }
    if (tableOpen)
        html += QStringLiteral("</table>");
    html +=
        QStringLiteral("<p style=\"font-size: 8pt\">%1 %2</p>")
            .arg(lblCodTela->text().toHtmlEscaped(), QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
    html += QStringLiteral("</body></html>");
    m_document = std::make_unique<QTextDocument>();
    m_document->setHtml(html);
}

bool TfrmDadosGerRel::exportPdf(const QString &path)
{
    QTextDocument *doc = runSelected();
    if (!doc)
        return false;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    printer.setPageSize(QPageSize(QPageSize::A4));
    doc->print(&printer);
    if (!QFileInfo(path).isFile())
        throw kmp::Error(QStringLiteral("Não foi possível gravar o PDF em %1.").arg(path));
    return true;
}

void TfrmDadosGerRel::preview()
{
    QTextDocument *doc = runSelected();
    if (!doc)
        return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(QPageSize(QPageSize::A4));
    QPrintPreviewDialog dlg(&printer, this);
    dlg.setWindowTitle(QStringLiteral("Visualizar impressão - %1").arg(windowTitle()));
    connect(&dlg, &QPrintPreviewDialog::paintRequested, this, [doc](QPrinter *p) { doc->print(p); });
    kmp::Dialogs::exec(kmp::DialogKind::Preview, &dlg, dlg.windowTitle());
}

bool TfrmDadosGerRel::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        kmp::guarded(this, [this] { FormActivate(); });
    return QDialog::event(e);
}

void TfrmDadosGerRel::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_F1 && m_helpContext) {
        kmp::guarded(this, [this] { TfrmPadraoGrid::showHelpPage(this, m_helpContext, windowTitle()); });
        return;
    }
    // Enter runs the chosen report wherever the focus is, except on the exit button, whose
    // Enter means what it says. (The dialog has no default button for Enter to press.)
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier
        && focusWidget() != sbtSair) {
        kmp::guarded(this, [this] { preview(); });
        return;
    }
    QDialog::keyPressEvent(e);
}
