#pragma once

#include "hostservices.h"

#include <QDialog>
#include <QList>
#include <functional>

class QLabel;
class QListWidget;
class QToolButton;
class TMessages;

// One report a report screen offers: its code, title, the query parameters it defines (in
// order, values empty until asked for) and the generator that runs its query with those
// values and returns the report as HTML.
struct ReportDefinition
{
    QString code;
    QString title;
    ReportParams params;
    std::function<QString(const ReportParams &params)> generate;
};

// The report designer dialog of a report screen: before a report's query runs it raises
// OnBeforeGetQueryParams with the report's parameter list (values set there are the ones the
// query uses), then generates the report and shows it in a preview, from which it can be
// printed. Preview and print go through the dialog service.
class TReportDesignerDialog : public QObject
{
    Q_OBJECT
public:
    explicit TReportDesignerDialog(QObject *parent = nullptr);

    // params: the report's parameters; the flag, true on entry, may be cleared to skip the run.
    std::function<void(ReportParams &params, bool &proceed)> OnBeforeGetQueryParams;

    // Runs a report: the event, the query, the preview. Returns the generated HTML (empty
    // when skipped). Exceptions from the event or the query reach the caller.
    QString run(const ReportDefinition &report, QWidget *parent = nullptr);
    ReportParams lastParams() const { return m_last; }

private:
    ReportParams m_last;
};

// The base report-data screen: a modal window listing the reports of a report code, with
// the toolbar panMenu (screen code lblCodTela, report code lblCodRel, print and exit).
// Show it with ShowModal() (through the dialog service, so tests can answer it). FormActivate
// runs when the window becomes active; a derived screen calls the base first.
class TfrmDadosGerRel : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmDadosGerRel(QObject *owner = nullptr, QWidget *parent = nullptr);
    ~TfrmDadosGerRel() override;

    void addReport(const ReportDefinition &report);
    QList<ReportDefinition> reports() const { return m_reports; }
    int currentReport() const;
    void setCurrentReport(int index);

    // Runs the current report (print button). Guarded: failures are shown, the screen stays.
    bool runCurrent();
    int ShowModal();
    void setHelpContext(int context) { m_helpContext = context; }
    int helpContext() const { return m_helpContext; }

    virtual void FormActivate();

    QWidget *panMenu;
    QLabel *lblCodTela;
    QLabel *lblCodRel;
    QToolButton *sbtImprimir;
    QToolButton *sbtSair;
    QListWidget *lstRelatorios;
    TReportDesignerDialog *rpddPadrao;
    TMessages *msgPadrao;

protected:
    bool event(QEvent *event) override;

private:
    QList<ReportDefinition> m_reports;
    int m_helpContext = 0;
};
