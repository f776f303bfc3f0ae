#include "printdialog.h"

#include "dialogs.h"

#include <QDialog>
#include <QPrintDialog>
#include <QPrinter>

namespace kmp {

PrintDialog::PrintDialog(QObject *parent) : QObject(parent) {}
PrintDialog::~PrintDialog() = default;

QPrinter *PrintDialog::printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>();
    return m_printer.get();
}

bool PrintDialog::Execute(QWidget *parent)
{
    QPrintDialog dialog(printer(), parent);
    return Dialogs::exec(DialogKind::Print, &dialog) == QDialog::Accepted;
}

} // namespace kmp
