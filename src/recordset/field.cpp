#include "field.h"

#include "recordset.h"

#include <QDateTime>
#include <cmath>

namespace kmp {

Field::Field(RecordSet *owner, int index, FieldDef def) : m_owner(owner), m_index(index), m_def(std::move(def)) {}

void Field::setVisible(bool visible)
{
    if (m_visible == visible)
        return;
    m_visible = visible;
    m_owner->notifyFieldLayout();
}

QVariant Field::value() const
{
    return m_owner->currentValue(m_index);
}

void Field::setValue(const QVariant &value)
{
    m_owner->setCurrentValue(m_index, value);
}

bool Field::isNull() const
{
    const QVariant v = value();
    return !v.isValid() || v.isNull();
}

QString Field::asString() const
{
    const QVariant v = value();
    if (!v.isValid() || v.isNull())
        return {};
    switch (m_def.kind) {
    case FieldKind::String: return v.toString();
    case FieldKind::Float: {
        const double d = v.toDouble();
        if (d == std::floor(d) && std::fabs(d) < 1e15)
            return QString::number(qint64(d));
        return QString::number(d, 'g', 15);
    }
    case FieldKind::DateTime: {
        const QDateTime dt = dateTimeFromDays(v.toDouble());
        return dt.time() == QTime(0, 0) ? dt.date().toString(QStringLiteral("dd/MM/yyyy"))
                                        : dt.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
    }
    case FieldKind::Blob:
        // Stored rich text is 7-bit; Latin-1 keeps any byte as it was.
        return QString::fromLatin1(v.toByteArray());
    }
    return {};
}

double Field::asFloat() const
{
    const QVariant v = value();
    if (!v.isValid() || v.isNull())
        return 0;
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok ? d : 0;
}

qint64 Field::asInteger() const
{
    return qint64(std::llround(asFloat()));
}

QByteArray Field::asBytes() const
{
    const QVariant v = value();
    if (!v.isValid() || v.isNull())
        return {};
    if (m_def.kind == FieldKind::Blob)
        return v.toByteArray();
    return asString().toUtf8();
}

void Field::focusControl()
{
    m_owner->requestFieldFocus(this);
}

} // namespace kmp
