// ASCII case folding for identifiers and the case-insensitive collation. Only
// bytes below 0x80 fold; GBK bytes never do. Inline and locale-free: these sit
// on the hot path of every comparison and name look-up.
#pragma once

namespace engine {

inline unsigned char AsciiUpper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}
inline unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace engine
