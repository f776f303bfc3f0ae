#pragma once

#include <QString>
#include <QTextFormat>
#include <QtGlobal>

#include <utility>

namespace kmp::rtf {

// The number a numbered list starts at. Qt shows it from 6.6 on; older Qt
// keeps the same property without showing it, so a note's numbering that does
// not start at 1 still goes back into the note as it came.
inline constexpr int kListStartProperty = 0x3004; // QTextFormat::ListStart from Qt 6.6

inline int listStart(const QTextListFormat &format)
{
    return format.hasProperty(kListStartProperty) ? format.intProperty(kListStartProperty) : 1;
}

inline void setListStart(QTextListFormat &format, int start)
{
    if (start == 1)
        format.clearProperty(kListStartProperty);
    else
        format.setProperty(kListStartProperty, start);
}

// What a numbered list shows for its item numbered `number`, as Qt shows it:
// the number in the list's style between the list's prefix and suffix (an
// unset suffix shows "."). Letters and Roman numerals show numbers below 1 as
// digits; Roman numerals stop at 4999. Right-to-left text reads the other way.
inline QString listItemLabel(const QTextListFormat &format, int number, Qt::LayoutDirection direction = Qt::LeftToRight)
{
    const QTextListFormat::Style style = format.style();
    QString text;
    if (number < 1 || style == QTextListFormat::ListDecimal) {
        text = QString::number(number);
    } else if (style == QTextListFormat::ListLowerAlpha || style == QTextListFormat::ListUpperAlpha) {
        // 1 = a, 26 = z, 27 = aa: base 26 without a zero digit.
        const char16_t first = style == QTextListFormat::ListUpperAlpha ? u'A' : u'a';
        for (int n = number; n > 0; n /= 26)
            text.prepend(QChar(char16_t(first + --n % 26)));
    } else if (style == QTextListFormat::ListLowerRoman || style == QTextListFormat::ListUpperRoman) {
        static const std::pair<int, const char *> parts[] = {{1000, "M"}, {900, "CM"}, {500, "D"}, {400, "CD"}, {100, "C"},
                                                             {90, "XC"},  {50, "L"},   {40, "XL"}, {10, "X"},   {9, "IX"},
                                                             {5, "V"},    {4, "IV"},   {1, "I"}};
        int n = number < 5000 ? number : 0;
        for (const auto &[value, letters] : parts)
            for (; n >= value; n -= value)
                text += QLatin1String(letters);
        if (number >= 5000)
            text = QStringLiteral("?");
        else if (style == QTextListFormat::ListLowerRoman)
            text = text.toLower();
    }
    const QString prefix = format.numberPrefix();
    const QString suffix = format.hasProperty(QTextFormat::ListNumberSuffix) ? format.numberSuffix() : QStringLiteral(".");
    return direction == Qt::RightToLeft ? suffix + text + prefix : prefix + text + suffix;
}

} // namespace kmp::rtf
