#pragma once

#include "fielddef.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace kmp {

class RecordSet;

// A field object of a record set: its definition, how grids show it, and typed access to
// the value of the record set's current record (the edit buffer while editing).
class Field
{
public:
    Field(RecordSet *owner, int index, FieldDef def);

    RecordSet *dataSet() const { return m_owner; }
    int index() const { return m_index; }
    const FieldDef &def() const { return m_def; }
    QString fieldName() const { return m_def.name; }
    FieldKind kind() const { return m_def.kind; }
    int size() const { return m_def.size; }

    // Object name as the screen knows it (cdsDiagPaciCDDIAGNOST); purely informative.
    QString objectName() const { return m_objectName; }
    void setObjectName(const QString &name) { m_objectName = name; }

    QString displayLabel() const { return m_label.isEmpty() ? m_def.name : m_label; }
    void setDisplayLabel(const QString &label) { m_label = label; }
    bool isVisible() const { return m_visible; }
    void setVisible(bool visible);
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    int displayWidth() const { return m_displayWidth; }
    void setDisplayWidth(int chars) { m_displayWidth = chars; }

    QVariant value() const;
    void setValue(const QVariant &value);
    bool isNull() const;
    void clear() { setValue(QVariant()); }

    QString asString() const;
    void setAsString(const QString &text) { setValue(text); }
    double asFloat() const;
    void setAsFloat(double v) { setValue(v); }
    // Floats read as whole numbers where the screen counts with them; empty reads as 0.
    qint64 asInteger() const;
    void setAsInteger(qint64 v) { setValue(double(v)); }
    double asDateTime() const { return asFloat(); }
    void setAsDateTime(double days) { setValue(days); }
    QByteArray asBytes() const;
    void setAsBytes(const QByteArray &bytes) { setValue(bytes); }

    // Asks whatever control shows this field (the grid column) to take the focus.
    void focusControl();

private:
    RecordSet *m_owner;
    int m_index;
    FieldDef m_def;
    QString m_objectName;
    QString m_label;
    bool m_visible = true;
    bool m_readOnly = false;
    int m_displayWidth = 0;
};

} // namespace kmp
