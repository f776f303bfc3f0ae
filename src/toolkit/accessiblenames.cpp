#include "accessiblenames.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QWidget>

namespace kmp {

namespace {

bool isControl(const QWidget *w)
{
    return qobject_cast<const QAbstractButton *>(w) || qobject_cast<const QComboBox *>(w) || qobject_cast<const QLineEdit *>(w)
           || qobject_cast<const QAbstractSpinBox *>(w) || w->focusPolicy() != Qt::NoFocus;
}

QString nameFromToolTip(const QString &tip)
{
    static const QRegularExpression keys(QStringLiteral("\\s*\\([^)]*\\)\\s*$"));
    QString name = tip;
    name.remove(keys);
    return name.trimmed();
}

} // namespace

int nameControlsFromToolTips(QWidget *root)
{
    if (!root)
        return 0;
    int named = 0;
    // An editable combo box's entry is a control of its own to a screen reader: it takes
    // the box's name.
    for (QComboBox *box : root->findChildren<QComboBox *>()) {
        QLineEdit *entry = box->lineEdit();
        if (entry && entry->accessibleName().isEmpty() && !box->accessibleName().isEmpty()) {
            entry->setAccessibleName(box->accessibleName());
            ++named;
        }
    }
    const auto widgets = root->findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        if (!w->accessibleName().isEmpty() || w->toolTip().isEmpty() || !isControl(w))
            continue;
        const QString name = nameFromToolTip(w->toolTip());
        if (name.isEmpty())
            continue;
        w->setAccessibleName(name);
        ++named;
    }
    return named;
}

} // namespace kmp
