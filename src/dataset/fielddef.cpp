#include "fielddef.h"

#include "error.h"

#include <QDateTime>
#include <cmath>

namespace kmp {

QString fieldKindName(FieldKind kind)
{
    switch (kind) {
    case FieldKind::String: return QStringLiteral("string");
    case FieldKind::DateTime: return QStringLiteral("datetime");
    case FieldKind::Float: return QStringLiteral("float");
    case FieldKind::Blob: return QStringLiteral("blob");
    }
    return QStringLiteral("unknown");
}

bool isValidFieldKind(int kind)
{
    return kind >= int(FieldKind::String) && kind <= int(FieldKind::Blob);
}

namespace {

double toDouble(const FieldDef &def, const QVariant &value)
{
    bool ok = false;
    double d = 0;
    switch (value.typeId()) {
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return 0;
        d = text.toDouble(&ok);
        if (!ok)
            d = QLocale(QLocale::Portuguese, QLocale::Brazil).toDouble(text, &ok);
        break;
    }
    case QMetaType::QDateTime:
    case QMetaType::QDate: {
        // Dates arriving as Qt values are turned into the day count used everywhere else.
        const QDateTime dt = value.typeId() == QMetaType::QDate ? value.toDate().startOfDay() : value.toDateTime();
        d = daysFromDateTime(dt);
        ok = dt.isValid();
        break;
    }
    default: d = value.toDouble(&ok);
    }
    if (!ok || !std::isfinite(d))
        throw DataSetError(QStringLiteral("O valor \"%1\" não é válido para o campo %2.").arg(value.toString(), def.name));
    return d;
}

} // namespace

QVariant coerceValue(const FieldDef &def, const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return {};
    switch (def.kind) {
    case FieldKind::String: {
        QString text = value.typeId() == QMetaType::QByteArray ? QString::fromUtf8(value.toByteArray()) : value.toString();
        if (def.size > 0 && text.size() > def.size)
            throw DataSetError(QStringLiteral("O valor do campo %1 tem %2 caracteres; o máximo é %3.")
                                   .arg(def.name)
                                   .arg(text.size())
                                   .arg(def.size));
        return text;
    }
    case FieldKind::DateTime:
    case FieldKind::Float: return toDouble(def, value);
    case FieldKind::Blob:
        if (value.typeId() == QMetaType::QByteArray)
            return value;
        // Text written into a blob is kept as UTF-8 bytes; rich text is 7-bit anyway.
        return value.toString().toUtf8();
    }
    return {};
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    const bool an = !a.isValid() || a.isNull();
    const bool bn = !b.isValid() || b.isNull();
    if (an || bn)
        return an && bn;
    if (a.typeId() != b.typeId())
        return false;
    return a == b;
}

} // namespace kmp
