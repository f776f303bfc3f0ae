#include "rtfwriterlists.h"

#include "codepage.h"
#include "liststart.h"

#include <QTextBlock>
#include <QTextList>

#include <algorithm>

namespace kmp::rtf::detail {

namespace {

int levelOf(const QTextListFormat &format)
{
    return std::clamp(format.indent() - 1, 0, 8);
}

bool sameLook(QTextListFormat a, QTextListFormat b)
{
    setListStart(a, 1);
    setListStart(b, 1);
    return a == b;
}

bool isBullet(QTextListFormat::Style style)
{
    return style > QTextListFormat::ListDecimal || style == QTextListFormat::ListStyleUndefined;
}

// \levelnfc of a style: the number format other programs show.
int numberFormat(QTextListFormat::Style style)
{
    switch (style) {
    case QTextListFormat::ListUpperRoman: return 1;
    case QTextListFormat::ListLowerRoman: return 2;
    case QTextListFormat::ListUpperAlpha: return 3;
    case QTextListFormat::ListLowerAlpha: return 4;
    case QTextListFormat::ListDecimal: return 0;
    default: return 23;
    }
}

QByteArray hexByte(int v)
{
    return "\\'" + QByteArray::number(v, 16).rightJustified(2, '0');
}

// One \listlevel: its number format and start, and \leveltext with the
// number's prefix and suffix around the placeholder of this level.
QByteArray levelDefinition(int level, const QTextListFormat *format, int start)
{
    const QTextListFormat::Style style = format ? format->style() : QTextListFormat::ListDecimal;
    const int nfc = numberFormat(style);
    QByteArray text;
    QByteArray numbers;
    if (nfc == 23) {
        const char16_t marker = style == QTextListFormat::ListCircle   ? u'\x25E6'
                                : style == QTextListFormat::ListSquare ? u'\x25AA'
                                                                       : u'\x2022';
        text = hexByte(1);
        appendRtfText(QStringView(&marker, 1), text);
    } else {
        // Prefix and suffix as Qt shows them; an unset suffix shows as ".".
        const QString prefix = format ? format->numberPrefix().left(100) : QString();
        const QString suffix =
            format && format->hasProperty(QTextFormat::ListNumberSuffix) ? format->numberSuffix().left(100) : QStringLiteral(".");
        text = hexByte(int(prefix.size() + 1 + suffix.size()));
        appendRtfText(prefix, text);
        text += hexByte(level);
        appendRtfText(suffix, text);
        numbers = hexByte(int(prefix.size() + 1));
    }
    const QByteArray n = QByteArray::number(nfc);
    return "{\\listlevel\\levelnfc" + n + "\\levelnfcn" + n + "\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat"
           + QByteArray::number(start) + "{\\leveltext" + text + ";}{\\levelnumbers" + numbers + ";}\\fi-360\\li"
           + QByteArray::number(720 * (level + 1)) + "}";
}

} // namespace

int WriterLists::listFor(const QTextBlock &block, const QTextList *list, int *levelOut)
{
    const QTextListFormat format = list->format();
    const int level = levelOf(format);
    const int start = listStart(format);
    auto found = m_groupOf.constFind(list);
    int g = found == m_groupOf.constEnd() ? -1 : *found;
    if (g < 0 && m_last >= 0) {
        const Group &last = m_groups[static_cast<size_t>(m_last)];
        const Level &def = last.levels[static_cast<size_t>(level)];
        if (!def.used)
            g = m_last; // a sublist of the list before it
        else if (sameLook(def.format, format)
                 && (start == last.next[static_cast<size_t>(level)]
                     || (start == def.start && last.restarted[static_cast<size_t>(level)])))
            g = m_last; // numbering on, or a sublist again under the next item
    }
    if (g < 0) {
        g = static_cast<int>(m_groups.size());
        m_groups.emplace_back();
    }
    m_groupOf.insert(list, g);
    Group &group = m_groups[static_cast<size_t>(g)];
    Level &def = group.levels[static_cast<size_t>(level)];
    if (!def.used)
        def = {true, format, start};
    group.next[static_cast<size_t>(level)] = start + list->itemNumber(block) + 1;
    group.restarted[static_cast<size_t>(level)] = false;
    for (int deeper = level + 1; deeper < 9; ++deeper)
        group.restarted[static_cast<size_t>(deeper)] = true;
    m_last = g;
    *levelOut = level;
    return g + 1;
}

QByteArray WriterLists::tables() const
{
    if (m_groups.empty())
        return {};
    QByteArray lists = "{\\*\\listtable\r\n";
    QByteArray overrides = "{\\*\\listoverridetable";
    for (size_t g = 0; g < m_groups.size(); ++g) {
        const QByteArray id = QByteArray::number(qsizetype(g + 1));
        const Group &group = m_groups[g];
        // A list whose first level is bullets keeps bullets at every level
        // nobody used, as other programs do.
        const bool bullets = std::any_of(group.levels.begin(), group.levels.end(),
                                         [](const Level &l) { return l.used && isBullet(l.format.style()); });
        QTextListFormat bullet;
        bullet.setStyle(QTextListFormat::ListDisc);
        lists += "{\\list\\listtemplateid" + id + "\\listhybrid";
        for (int level = 0; level < 9; ++level) {
            const Level &l = group.levels[static_cast<size_t>(level)];
            lists += levelDefinition(level, l.used ? &l.format : (bullets ? &bullet : nullptr), l.used ? l.start : 1);
        }
        lists += "{\\listname ;}\\listid" + id + "}\r\n";
        overrides += "{\\listoverride\\listid" + id + "\\listoverridecount0\\ls" + id + "}";
    }
    return lists + "}\r\n" + overrides + "}\r\n";
}

} // namespace kmp::rtf::detail
