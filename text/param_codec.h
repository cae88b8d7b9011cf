// The keyless digit encoding of the registry's USERNAME and PASSWORD values:
// each byte becomes four decimal digits, one per 2-bit group, most significant
// first, group g written as 2*g + (g mod 2): 0 -> '0', 1 -> '3', 2 -> '4', 3 -> '7'.
#pragma once

#include <string>
#include <string_view>

namespace text {

std::string EncodeParam(std::string_view bytes);

// Inverse of EncodeParam. A text whose length is not a multiple of 4 gives "";
// a character other than a decimal digit throws std::invalid_argument (the
// conversion error that stops the connection attempt).
std::string DecodeParam(std::string_view digits);

}  // namespace text
