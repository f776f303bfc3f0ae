#include "pesquisa.h"

#include "datasource.h"
#include "dialogs.h"
#include "error.h"
#include "lookupdialog.h"

#include <QApplication>

namespace kmp {

namespace Pesquisa {

bool Pesquisar(kmp::DataSource *source, const QString &titleAndEmptyText, bool, bool showEmptyText)
{
    const int bar = titleAndEmptyText.indexOf(QLatin1Char('|'));
    const QString title = bar < 0 ? titleAndEmptyText : titleAndEmptyText.left(bar);
    const QString emptyText = bar < 0 ? QString() : titleAndEmptyText.mid(bar + 1);
    kmp::RecordSet *set = source ? source->dataSet() : nullptr;
    if (!set)
        throw kmp::Error(QStringLiteral("A pesquisa \"%1\" não tem dados associados.").arg(title));
    QWidget *parent = QApplication::activeWindow();
    if (!set->isActive() || set->isEmpty()) {
        if (showEmptyText && !emptyText.isEmpty())
            kmp::Dialogs::message(parent, kmp::MessageType::Information, emptyText, kmp::MessageButton::Ok, title);
        return false;
    }
    kmp::LookupDialog dialog(set, title, parent);
    const int result = kmp::Dialogs::exec(kmp::DialogKind::Lookup, &dialog, title);
    const int row = dialog.pickedSourceRow();
    if (result != QDialog::Accepted || row < 0 || row >= set->recordCount())
        return false;
    set->moveTo(row);
    return true;
}

} // namespace Pesquisa

} // namespace kmp
