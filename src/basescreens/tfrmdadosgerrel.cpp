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

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextTable>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
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
    const QJsonArray columns = layout.value(QLatin1String("columns")).toArray();
    const QJsonObject group = layout.value(QLatin1String("group")).toObject();
    const int groupCol = column(group.value(QLatin1String("field")).toString());
    QList<int> columnFields;
    for (const QJsonValue &cv : columns)
        columnFields << column(cv.toObject().value(QLatin1String("field")).toString());
    // A query may answer a row that only carries the header's names (a patient with no
    // diagnoses still has a name): such a row has nothing in any column.
    std::vector<const kmp::RowValues *> rows;
    for (const kmp::RowValues &row : p.rows) {
        const bool detail = std::any_of(columnFields.cbegin(), columnFields.cend(), [&row](int col) {
            return col >= 0 && row[size_t(col)].isValid() && !row[size_t(col)].isNull();
        });
        if (detail)
            rows.push_back(&row);
    }

    m_document = std::make_unique<QTextDocument>();
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(10);
    m_document->setDefaultFont(font);
    QTextCursor cursor(m_document.get());
    const int width = int(std::max<qsizetype>(1, columns.size()));

    // One table for the whole listing. Its first rows (title, header lines, column titles)
    // are the table's header rows, which the layout repeats at the top of every page, so a
    // page on its own still says whose diagnoses it lists.
    const QJsonArray header = layout.value(QLatin1String("header")).toArray();
    QTextTableFormat tableFormat;
    tableFormat.setBorder(0);
    tableFormat.setBorderCollapse(true);
    tableFormat.setCellPadding(3);
    tableFormat.setCellSpacing(0);
    tableFormat.setWidth(QTextLength(QTextLength::PercentageLength, 100));
    tableFormat.setHeaderRowCount(int(header.size()) + 2);
    QList<QTextLength> widths;
    for (const QJsonValue &cv : columns)
        widths << QTextLength(QTextLength::PercentageLength, cv.toObject().value(QLatin1String("width")).toInt(20));
    tableFormat.setColumnWidthConstraints(widths);
    QTextTable *table = cursor.insertTable(1, width, tableFormat);

    QTextCharFormat plain;
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    QTextCharFormat title = bold;
    title.setFontPointSize(13);
    int nextRow = 0;
    auto wholeRow = [&](const QString &text, const QTextCharFormat &format, bool rule) {
        if (nextRow > 0)
            table->appendRows(1);
        const int row = nextRow++;
        table->mergeCells(row, 0, 1, width);
        QTextTableCell cell = table->cellAt(row, 0);
        if (rule) {
            QTextTableCellFormat f = cell.format().toTableCellFormat();
            f.setBottomBorder(1);
            f.setBottomBorderStyle(QTextFrameFormat::BorderStyle_Solid);
            f.setBottomBorderBrush(Qt::black);
            cell.setFormat(f);
        }
        cell.firstCursorPosition().insertText(text, format);
    };

    wholeRow(report.title, title, false);
    for (const QJsonValue &hv : header) {
        const QJsonObject h = hv.toObject();
        QString value = params.value(h.value(QLatin1String("param")).toString()).toString();
        const int nameCol = column(h.value(QLatin1String("name")).toString());
        const QString name = nameCol >= 0 && !p.rows.empty() ? p.rows[0][size_t(nameCol)].toString() : QString();
        if (!name.isEmpty())
            value += QStringLiteral(" - ") + name;
        if (nextRow > 0)
            table->appendRows(1);
        const int row = nextRow++;
        table->mergeCells(row, 0, 1, width);
        QTextCursor c = table->cellAt(row, 0).firstCursorPosition();
        c.insertText(h.value(QLatin1String("label")).toString() + QLatin1Char(':'), bold);
        c.insertText(QLatin1Char(' ') + value, plain);
    }
    table->appendRows(1);
    const int titleRow = nextRow++;
    for (int i = 0; i < width && i < columns.size(); ++i) {
        QTextTableCell cell = table->cellAt(titleRow, i);
        QTextTableCellFormat f = cell.format().toTableCellFormat();
        f.setBottomBorder(1.5);
        f.setBottomBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        f.setBottomBorderBrush(Qt::black);
        f.setBackground(QColor(230, 230, 230));
        cell.setFormat(f);
        cell.firstCursorPosition().insertText(columns.at(i).toObject().value(QLatin1String("title")).toString(), bold);
    }

    if (rows.empty())
        wholeRow(layout.value(QLatin1String("empty")).toString(), QTextCharFormat(), false);
    QString currentGroup;
    for (size_t r = 0; r < rows.size(); ++r) {
        const kmp::RowValues &row = *rows[r];
        const QString g =
            groupCol >= 0 ? cellText(row[size_t(groupCol)], group.value(QLatin1String("kind")).toString()) : QString();
        if (groupCol >= 0 && (r == 0 || g != currentGroup))
            wholeRow(group.value(QLatin1String("label")).toString() + QLatin1Char(' ') + g, bold, true);
        currentGroup = g;
        table->appendRows(1);
        const int at = nextRow++;
        for (int i = 0; i < columns.size(); ++i) {
            const int col = columnFields.at(i);
            const QString text =
                col >= 0 ? cellText(row[size_t(col)], columns.at(i).toObject().value(QLatin1String("kind")).toString())
                         : QString();
            table->cellAt(at, i).firstCursorPosition().insertText(text, plain);
        }
    }
    m_footer =
        QStringLiteral("%1    %2").arg(report.id, QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
}

void TfrmDadosGerRel::printDocument(QPrinter *printer) const
{
    if (!m_document)
        return;
    printPages(*m_document, printer, m_footer);
}

// Prints a document page by page with a footer on every page: the report's code and time
// on the left, "página N de M" on the right. (QTextDocument::print numbers pages itself and
// has no footer of its own.)
void TfrmDadosGerRel::printPages(const QTextDocument &source, QPrinter *printer, const QString &footer)
{
    QPainter painter(printer);
    if (!painter.isActive())
        throw kmp::Error(QStringLiteral("Não foi possível iniciar a impressão."));
    std::unique_ptr<QTextDocument> doc(source.clone());
    doc->documentLayout()->setPaintDevice(printer);
    // Lengths of the document are in screen pixels (96 per inch); the layout scales them to
    // the printer. The bottom margin leaves room for the footer.
    const qreal toDevice = printer->logicalDpiY() / 96.0;
    const qreal margin = 2 / 2.54 * 96;
    QTextFrameFormat frame = doc->rootFrame()->frameFormat();
    frame.setLeftMargin(margin);
    frame.setRightMargin(margin);
    frame.setTopMargin(margin);
    frame.setBottomMargin(margin);
    doc->rootFrame()->setFrameFormat(frame);
    const QRectF body(0, 0, printer->width(), printer->height());
    doc->setPageSize(body.size());
    const int pages = doc->pageCount();

    QFont footerFont(doc->defaultFont(), printer);
    footerFont.setPointSize(8);
    const QRectF footerRect(margin * toDevice, body.height() - margin * toDevice + 6 * toDevice,
                            body.width() - 2 * margin * toDevice, QFontMetricsF(footerFont).height() * 1.5);
    for (int page = 0; page < pages; ++page) {
        if (page > 0)
            printer->newPage();
        painter.save();
        const QRectF view(0, page * body.height(), body.width(), body.height());
        painter.translate(0, -view.top());
        painter.setClipRect(view);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = view;
        context.palette.setColor(QPalette::Text, Qt::black);
        doc->documentLayout()->draw(&painter, context);
        painter.restore();
        painter.setFont(footerFont);
        painter.setPen(Qt::black);
        painter.drawLine(footerRect.topLeft(), footerRect.topRight());
        painter.drawText(footerRect, Qt::AlignLeft | Qt::AlignVCenter, footer);
        painter.drawText(footerRect, Qt::AlignRight | Qt::AlignVCenter,
                         QStringLiteral("página %1 de %2").arg(page + 1).arg(pages));
    }
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
    printDocument(&printer);
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
    connect(&dlg, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter *p) { printDocument(p); });
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
