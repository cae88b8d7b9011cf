// Book numbers to the 13-digit form (EAN-13). Pure functions on single-byte
// text; neither conversion ever fails: what cannot be converted comes back
// trimmed.
#pragma once

#include <string>
#include <string_view>

namespace text {

// True when every byte is '0'..'9'; true for the empty text.
bool IsAllDigits(std::string_view s);

// Catalogue normalisation (2007-12-27): prefix always 978; 13-digit input gets
// its check digit recomputed.
std::string IsbnTo13(std::string_view s);

// Book-number conversion of 2007-03: O/o read as 0, prefix 977 below "18",
// 13-digit input returned unchanged when all digits.
std::string BookIdTo13(std::string_view s);

}  // namespace text
