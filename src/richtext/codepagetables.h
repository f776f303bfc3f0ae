#pragma once

namespace kmp::rtf::detail {

// The characters 0x80..0xFF of a single-byte code page, or nullptr when we carry
// no table for it. Kept in our own tables because Qt without ICU only knows
// Latin-1, and Latin-1 turns the stored notes' curly quotes and dashes into
// invisible control characters.
const char16_t *upperHalfTable(int codePage);

} // namespace kmp::rtf::detail
