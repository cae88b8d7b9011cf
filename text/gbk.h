// GBK (code page 936) conversions at the edges of the system, and the byte
// rules every layer shares. Inside the core all text is GBK bytes in a
// std::string; UTF-8 appears only where a person reads or writes it.
#pragma once

#include <string>
#include <string_view>

namespace text {

// UTF-8 to GBK. Chinese literals in the sources are UTF-8 and reach the
// database through this. Throws std::runtime_error on invalid UTF-8 or a
// character GBK cannot hold.
std::string Gbk(std::string_view utf8);

// GBK to UTF-8 for the window and the terminal. Never throws: a byte that
// belongs to no GBK character becomes U+FFFD.
std::string Utf8(std::string_view gbk);

// True when bytes[i], bytes[i+1] form one GBK double-byte character:
// lead 0x81-0xFE, trail 0x40-0x7E or 0x80-0xFE.
bool IsGbkPair(std::string_view bytes, std::size_t i);

// Equal but for the case of ASCII letters (GBK bytes compare as they are),
// as names compare in the registry and in SQL Server's catalogue.
bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);

// Removes leading and trailing bytes of value 0x20 or below (blanks and
// control characters), as the library system's Trim does.
std::string Trim(std::string_view s);
std::string TrimRight(std::string_view s);

}  // namespace text
