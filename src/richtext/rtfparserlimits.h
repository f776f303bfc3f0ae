#pragma once

#include "rtfparser.h"

#include <algorithm>

// Bounds and units shared by the parser's parts (keywords, destinations and
// the document builder): every number a note gives passes through one of these.
namespace kmp::rtf::detail::limits {

inline constexpr int kMaxGroupDepth = RtfParser::kMaxGroupDepth;
inline constexpr int kMaxTableDepth = RtfParser::kMaxTableDepth;
inline constexpr int kMaxTableColumns = RtfParser::kMaxTableColumns;
inline constexpr int kMaxTableRows = 10000;
inline constexpr int kTableRowBatch = 2048;
inline constexpr int kMaxIndentTwips = 31680;              // 22 inches, wider than any page
inline constexpr double kTwipsPerPixel = 15.0;             // 1440 twips an inch at 96 pixels an inch
inline constexpr double kHimetricPerPixel = 2540.0 / 96.0; // metafile sizes are in 0.01 mm
inline constexpr qsizetype kMaxPictureWords = 1024;
inline constexpr qsizetype kMaxTabStops = 64;
inline constexpr qsizetype kMaxValueLength = 1024; // an author's name, a shape property's
inline constexpr qsizetype kMaxRevisionAuthors = 10000;
// Text boxes inside text boxes, as deep as any writer goes.
inline constexpr int kMaxTextBoxDepth = 4;
// Items in one QTextList; see applyParagraphFormat(). Bullets show nothing that
// depends on the list they are in; a numbered list longer than this shows its
// numbering from 1 again on Qt before 6.6, and is stored with the right numbers.
// Adding an item costs Qt time in the length of its run: numbered runs are as
// long as a clinical list gets while reading them still grows like bullets.
inline constexpr int kBulletListRun = 16;
inline constexpr int kNumberedListRun = 128;

inline int clampInt(int v, int lo, int hi)
{
    return std::clamp(v, lo, hi);
}

} // namespace kmp::rtf::detail::limits
