// Code page 936 and the pinyin initials of its Han characters as tables
// (text/gbk_tables.cpp, written by tools/gen_gbk_tables from ICU), so that
// conversion and search keys give the same bytes on every system.
#pragma once

#include <cstddef>

namespace text::tables {

// A double-byte code is lead 0x81-0xFE, trail 0x40-0xFE but not 0x7F; the
// tables index it by (lead - 0x81) * kTrails + (trail - 0x40).
inline constexpr int kLeads = 0xFE - 0x81 + 1;
inline constexpr int kTrails = 0xFE - 0x40 + 1;

// The character of each byte 0x80-0xFF read alone, 0 where there is none.
extern const char16_t kSingle[128];
// The character of each double-byte code, 0 where there is none.
extern const char16_t kPair[kLeads * kTrails];

// Encoding is the inverse of decoding (the first code, in byte order, that
// reads as a character writes it) except for these characters: code is the
// GBK code written (one byte, or lead * 256 + trail), 0 for none, kDropped
// for characters written as nothing (default-ignorable characters without a
// code, such as the soft hyphen, which ICU leaves out). Sorted by character;
// characters past U+FFFF not listed have no code.
inline constexpr unsigned short kDropped = 0xFFFF;
struct Exception {
  char32_t ch;
  unsigned short code;
};
extern const Exception kEncodeExceptions[];
extern const std::size_t kEncodeExceptionCount;

// The capital pinyin initial of each double-byte code that is a Han
// character, '.' for every other code: kInitials[lead - 0x81][trail - 0x40].
extern const char* const kInitials[kLeads];

}  // namespace text::tables
