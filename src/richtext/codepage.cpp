#include "codepage.h"

#include "codepagetables.h"

#include <QStringDecoder>

namespace kmp::rtf::detail {

namespace {

// Glyphs 0x20..0x7E and 0xA0..0xFF of the Symbol font. Word writes bullets and
// Greek letters in this font as bytes or as U+F0xx; shown in any other font they
// would be Latin letters, so a dose of "m" + "g" could read as "mg" instead of "µg".
constexpr char16_t kSymbolLow[0x5F] = {
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B, 0x002C, 0x2212,
    0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F, 0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399,
    0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F, 0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9,
    0x039E, 0x03A8, 0x0396, 0x005B, 0x2234, 0x005D, 0x22A5, 0x005F, 0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5,
    0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1, 0x03C3,
    0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, 0x007B, 0x007C, 0x007D, 0x223C,
};
constexpr char16_t kSymbolHigh[0x60] = {
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194, 0x2190, 0x2191,
    0x2192, 0x2193, 0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248,
    0x2026, 0x23D0, 0x23AF, 0x21B5, 0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283,
    0x2287, 0x2284, 0x2282, 0x2286, 0x2208, 0x2209, 0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5,
    0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3, 0x25CA, 0x2329, 0x00AE, 0x00A9, 0x2122, 0x2211,
    0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3, 0x23A7, 0x23A8, 0x23A9, 0x23AA, 0xFFFD, 0x232A, 0x222B, 0x2320,
    0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5, 0x23A6, 0x23AB, 0x23AC, 0x23AD, 0xFFFD,
};

// Multi-byte Far East code pages; decoded through Qt when it has the codec.
const char *multiByteCodecName(int codePage)
{
    switch (codePage) {
    case 932: return "Shift_JIS";
    case 10001: return "Shift_JIS";
    case 936: return "GBK";
    case 949: return "windows-949";
    case 950: return "Big5";
    case 1361: return "ibm-1361";
    case 65001: return "UTF-8";
    default: return nullptr;
    }
}

bool isControlByte(unsigned char b)
{
    return b < 0x20 && b != '\t';
}

} // namespace

int codePageForCharset(int charset)
{
    switch (charset) {
    case 0: return 1252;
    case 2: return kSymbolCodePage;
    case 77: return 10000;
    case 78: return 10001;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    default: return 0;
    }
}

bool isKnownCodePage(int codePage)
{
    if (codePage == kSymbolCodePage || codePage == kPrivateUseCodePage || upperHalfTable(codePage))
        return true;
    if (const char *name = multiByteCodecName(codePage))
        return QStringDecoder(name).isValid();
    return false;
}

void appendDecoded(int codePage, const char *data, qsizetype size, QString &out)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    if (codePage == kSymbolCodePage || codePage == kPrivateUseCodePage) {
        for (qsizetype i = 0; i < size; ++i) {
            const unsigned char b = bytes[i];
            if (isControlByte(b))
                continue;
            if (b == '\t' || codePage == kPrivateUseCodePage)
                out.append(QChar(b == '\t' ? char16_t('\t') : char16_t(0xF000 + b)));
            else
                out.append(QChar(symbolFontChar(b)));
        }
        return;
    }
    const char16_t *table = upperHalfTable(codePage);
    if (!table) {
        if (const char *name = multiByteCodecName(codePage)) {
            QStringDecoder decoder(name);
            if (decoder.isValid()) {
                QString decoded = decoder.decode(QByteArrayView(data, size));
                decoded.removeIf([](QChar c) { return c.unicode() < 0x20 && c.unicode() != '\t'; });
                out += decoded;
                return;
            }
        }
        // An unknown code page: cp1252 keeps the ASCII and the Western accents,
        // which is the most likely content of a note from an unknown source.
        table = upperHalfTable(1252);
    }
    const qsizetype start = out.size();
    out.resize(start + size);
    char16_t *dst = reinterpret_cast<char16_t *>(out.data()) + start;
    char16_t *p = dst;
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char b = bytes[i];
        if (b >= 0x80)
            *p++ = table[b - 0x80];
        else if (!isControlByte(b))
            *p++ = b;
    }
    out.resize(start + (p - dst));
}

char16_t symbolFontChar(unsigned char glyph)
{
    if (glyph >= 0x20 && glyph < 0x7F)
        return kSymbolLow[glyph - 0x20];
    if (glyph >= 0xA0)
        return kSymbolHigh[glyph - 0xA0];
    return 0xFFFD;
}

int cp1252Byte(char16_t ch)
{
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return ch;
    const char16_t *table = upperHalfTable(1252);
    for (int i = 0; i < 0x20; ++i) {
        if (table[i] == ch && ch != 0xFFFD)
            return 0x80 + i;
    }
    return -1;
}

void appendRtfText(QStringView text, QByteArray &out)
{
    static const char hexDigits[] = "0123456789abcdef";
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\' || c == '{' || c == '}')
                out += '\\';
            out += static_cast<char>(c);
            continue;
        }
        switch (c) {
        // The space is the control word's delimiter, so the text after it is safe.
        case u'\t': out += "\\tab "; continue;
        case QChar::LineSeparator: out += "\\line "; continue;
        case QChar::ParagraphSeparator: out += "\\par "; continue;
        case QChar::Nbsp: out += "\\~"; continue;
        case QChar::SoftHyphen: out += "\\-"; continue;
        case 0x2011: out += "\\_"; continue;
        case QChar::ObjectReplacementCharacter: continue;
        default: break;
        }
        if (c < 0x20)
            continue;
        const int b = cp1252Byte(c);
        if (b >= 0x80) {
            out += "\\'";
            out += hexDigits[b >> 4];
            out += hexDigits[b & 15];
            continue;
        }
        // A lone surrogate would make the stored note unreadable elsewhere.
        const bool paired = QChar::isHighSurrogate(c) ? (i + 1 < text.size() && text[i + 1].isLowSurrogate())
                                                      : (!QChar::isLowSurrogate(c) || (i > 0 && text[i - 1].isHighSurrogate()));
        if (!paired) {
            out += "\\u-3?";
            continue;
        }
        out += "\\u" + QByteArray::number(static_cast<qint16>(c)) + '?';
    }
}

} // namespace kmp::rtf::detail
