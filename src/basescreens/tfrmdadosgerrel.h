#pragma once

#include "hostservices.h"

#include <QDialog>
#include <QJsonObject>
#include <memory>

class QLabel;
class QListWidget;
class QPrinter;
class QTextDocument;
class QToolButton;

namespace kmp {
class ReportDialog;
class TMessages;
class TNetConnection;
} // namespace kmp

// The base report screen: lists the report definitions of its report code, kept on the
// application server, lets the user pick one and run it there with the parameter values,
// and shows the result in a print preview from which it is printed or saved as PDF.
//
// The client never sends SQL: it names the report; the server holds its query and layout.
// A derived screen sets the codes, the remote module that serves the reports, and fills
// the parameters in rpddPadraoBeforeGetQueryParams.
class TfrmDadosGerRel : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmDadosGerRel(QObject *owner = nullptr);
    ~TfrmDadosGerRel() override;

    void initialize(); // runs FormCreate once; failures reach the caller
    int showModal();   // through the dialog service, so tests can answer it

    void setServer(const QString &moduleName, const QString &moduleGuid);
    void setReportCode(const QString &code);
    QString reportCode() const { return m_reportCode; }
    void setHelpContext(int context) { m_helpContext = context; }
    int helpContext() const { return m_helpContext; }

    // The reports offered, as the server listed them.
    struct Report
    {
        QString id;
        QString title;
        QStringList params;
        QJsonObject layout;
    };
    const QList<Report> &reports() const { return m_reports; }
    int selectedReport() const;

    // Runs the selected report and returns the printable document (owned by the screen).
    QTextDocument *runSelected();
    bool exportPdf(const QString &path); // runs, then writes the PDF; false when stopped
    void preview();                      // runs, then opens the print preview
    // Prints the document run last, with the report's footer on every page.
    void printDocument(QPrinter *printer) const;
    static void printPages(const QTextDocument &document, QPrinter *printer, const QString &footer);

    // --- handlers a derived screen may take over -------------------------------------------
    virtual void FormCreate();
    virtual void FormActivate();
    virtual void rpddPadraoBeforeGetQueryParams(kmp::ReportParams &params, bool &ok);

    QWidget *panMenu;
    QLabel *lblCodTela;
    QLabel *lblCodRel;
    QListWidget *lstRelatorios;
    QToolButton *sbtVisualizar;
    QToolButton *sbtPdf;
    QToolButton *sbtSair;
    kmp::ReportDialog *rpddPadrao;
    kmp::TNetConnection *netRelatorio;

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QByteArray call(const QString &method, const QCborArray &args);
    void buildDocument(const Report &report, const kmp::ReportParams &params, const QByteArray &packet);

    QString m_reportCode;
    int m_helpContext = 0;
    bool m_initialized = false;
    QList<Report> m_reports;
    std::unique_ptr<QTextDocument> m_document;
    QString m_footer; // report code and the time it was run
};
