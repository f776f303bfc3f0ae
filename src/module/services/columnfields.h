#pragma once

#include "contract.h"
#include "recordset.h"

#include <QString>

namespace kmp {

// A record set's field for a column the server defines: name, kind and width as the
// contract has them, named after its set (cdsDiagPaciCDDIAGNOST) so that the screen's
// controls and tests can find it, hidden or labelled for the grids.
inline Field *addColumnField(RecordSet *set, const protocol::Column &column, bool visible = true,
                             const QString &label = QString())
{
    const QLatin1String name(column.name.data(), qsizetype(column.name.size()));
    Field *f = set->addField(name, column.kind, column.size);
    f->setObjectName(set->objectName() + name);
    f->setVisible(visible);
    if (!label.isEmpty())
        f->setDisplayLabel(label);
    return f;
}

} // namespace kmp
