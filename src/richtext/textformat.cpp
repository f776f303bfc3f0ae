#include "textformat.h"

#include <QTextCharFormat>

namespace kmp::rtf {

namespace {

struct UnderlineDef
{
    const char *word;
    QTextCharFormat::UnderlineStyle style;
};

constexpr UnderlineDef kUnderlines[UnderlineKindCount] = {
    {"ulnone", QTextCharFormat::NoUnderline},    {"ul", QTextCharFormat::SingleUnderline},
    {"uld", QTextCharFormat::DotLine},           {"uldash", QTextCharFormat::DashUnderline},
    {"uldashd", QTextCharFormat::DashDotLine},   {"uldashdd", QTextCharFormat::DashDotDotLine},
    {"uldb", QTextCharFormat::SingleUnderline},  {"ulth", QTextCharFormat::SingleUnderline},
    {"ulw", QTextCharFormat::SingleUnderline},   {"ulwave", QTextCharFormat::WaveUnderline},
    {"ulhwave", QTextCharFormat::WaveUnderline}, {"ululdbwave", QTextCharFormat::WaveUnderline},
    {"ulthd", QTextCharFormat::DotLine},         {"ulthdash", QTextCharFormat::DashUnderline},
    {"ulldash", QTextCharFormat::DashUnderline}, {"ulthldash", QTextCharFormat::DashUnderline},
    {"ulthdashd", QTextCharFormat::DashDotLine}, {"ulthdashdd", QTextCharFormat::DashDotDotLine},
};

} // namespace

const char *underlineWord(int kind)
{
    return kind > 0 && kind < UnderlineKindCount ? kUnderlines[kind].word : "ulnone";
}

QTextCharFormat::UnderlineStyle underlineStyleFor(int kind)
{
    return kind > 0 && kind < UnderlineKindCount ? kUnderlines[kind].style : QTextCharFormat::NoUnderline;
}

int underlineKindOf(const QTextCharFormat &format)
{
    QTextCharFormat::UnderlineStyle shown = format.underlineStyle();
    if (shown == QTextCharFormat::NoUnderline && format.fontUnderline())
        shown = QTextCharFormat::SingleUnderline; // set through a QFont
    if (shown == QTextCharFormat::NoUnderline)
        return NoUnderline;
    // The kind read stands while the line on screen is still the one it gave;
    // an underline changed in the editor is saved as what it now shows.
    const int read = format.intProperty(CharUnderlineKind);
    if (read > 0 && read < UnderlineKindCount && kUnderlines[read].style == shown)
        return read;
    switch (shown) {
    case QTextCharFormat::DotLine: return DottedUnderline;
    case QTextCharFormat::DashUnderline: return DashUnderline;
    case QTextCharFormat::DashDotLine: return DashDotUnderline;
    case QTextCharFormat::DashDotDotLine: return DashDotDotUnderline;
    case QTextCharFormat::WaveUnderline:
    case QTextCharFormat::SpellCheckUnderline: return WaveUnderline;
    default: return SingleUnderline;
    }
}

} // namespace kmp::rtf
