#include "printersetupdialog.h"

#include "dialogs.h"

#include <QDialog>
#include <QPageSetupDialog>
#include <QPrinter>

namespace kmp {

PrinterSetupDialog::PrinterSetupDialog(QObject *parent) : QObject(parent) {}
PrinterSetupDialog::~PrinterSetupDialog() = default;

QPrinter *PrinterSetupDialog::printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>();
    return m_printer.get();
}

bool PrinterSetupDialog::Execute(QWidget *parent)
{
    QPageSetupDialog dialog(printer(), parent);
    return Dialogs::exec(DialogKind::PrinterSetup, &dialog) == QDialog::Accepted;
}

} // namespace kmp
