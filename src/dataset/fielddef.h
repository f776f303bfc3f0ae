#pragma once

#include "daycount.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <vector>

namespace kmp {

// The kinds of value a record-set field can hold. The numbers travel on the wire.
enum class FieldKind : int {
    String = 1,   // text with a maximum length in characters
    DateTime = 2, // double: days since 30 December 1899, the fraction is the time of day
    Float = 3,    // double
    Blob = 4,     // bytes (rich text is stored here)
};

QString fieldKindName(FieldKind kind);

bool isValidFieldKind(int kind);

struct FieldDef
{
    QString name;
    FieldKind kind = FieldKind::String;
    int size = 0; // maximum length for strings, 0 otherwise

    bool operator==(const FieldDef &) const = default;
};

using FieldDefs = std::vector<FieldDef>;
using RowValues = std::vector<QVariant>;

// Normalises a value for a field of the given kind: strings become QString, dates and
// floats double, blobs QByteArray, empty stays null. Throws DataSetError when the value
// cannot be converted or a string is longer than the field allows (never cut silently).
QVariant coerceValue(const FieldDef &def, const QVariant &value);

// Exact equality of two normalised values, treating null only equal to null.
bool sameValue(const QVariant &a, const QVariant &b);

} // namespace kmp
