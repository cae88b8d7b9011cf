// GBK <-> UTF-8 through the code page 936 tables (text/gbk_tables.h, made
// from ICU's "windows-936", Microsoft's table: 0x80 is the euro sign), and the
// byte rules of GBK that the rest of the system shares. The tables give the
// same bytes on every system.
#include "text/gbk.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "text/gbk_tables.h"

namespace text {

namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char b : s)
    if (b >= 0x80) return false;
  return true;
}

// The GBK code of every BMP character (one byte, or lead * 256 + trail), 0
// for none: the inverse of the decoding tables, first code wins, then the
// exceptions.
const std::vector<std::uint16_t>& EncodeTable() {
  static const std::vector<std::uint16_t> table = [] {
    std::vector<std::uint16_t> t(0x10000, 0);
    for (unsigned b = 0; b < 0x80; ++b) t[b] = static_cast<std::uint16_t>(b);
    for (unsigned b = 0x80; b <= 0xFF; ++b)
      if (char16_t u = tables::kSingle[b - 0x80]; u && !t[u]) t[u] = static_cast<std::uint16_t>(b);
    for (int lead = 0; lead < tables::kLeads; ++lead)
      for (int trail = 0; trail < tables::kTrails; ++trail)
        if (char16_t u = tables::kPair[lead * tables::kTrails + trail]; u && !t[u])
          t[u] = static_cast<std::uint16_t>((lead + 0x81) * 256 + trail + 0x40);
    for (std::size_t i = 0; i < tables::kEncodeExceptionCount; ++i)
      if (tables::kEncodeExceptions[i].ch < 0x10000)
        t[tables::kEncodeExceptions[i].ch] = tables::kEncodeExceptions[i].code;
    return t;
  }();
  return table;
}

// The next character of strict UTF-8 at s[i] (advancing i), or -1 for a
// malformed sequence: overlong forms, surrogates and values past U+10FFFF are
// refused, as ICU's converter refuses them.
long NextUtf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int n;
  long cp;
  long min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 1, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 2, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (i + n >= s.size()) return -1;
  for (int k = 1; k <= n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  i += n + 1;
  return cp;
}

// The code of a character past U+FFFF: only the exceptions have one.
std::uint16_t SupplementaryCode(long c) {
  const auto* first = tables::kEncodeExceptions;
  const auto* last = first + tables::kEncodeExceptionCount;
  const auto* it = std::lower_bound(first, last, static_cast<char32_t>(c),
                                    [](const tables::Exception& e, char32_t ch) { return e.ch < ch; });
  return it != last && it->ch == static_cast<char32_t>(c) ? it->code : 0;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Gbk(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  const auto& table = EncodeTable();
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t at = i;
    const long c = NextUtf8(utf8, i);
    if (c < 0)
      throw std::runtime_error("text cannot be converted to GBK at byte " + std::to_string(at) +
                               ": it is not UTF-8");
    const std::uint16_t code = c < 0x10000 ? table[static_cast<std::size_t>(c)] : SupplementaryCode(c);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (code == tables::kDropped) {
      // written as nothing
    } else if (code == 0) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "U+%04lX", c);
      throw std::runtime_error("text cannot be converted to GBK at byte " + std::to_string(at) +
                               ": code page 936 has no " + hex);
    } else if (code < 0x100) {
      out += static_cast<char>(code);
    } else {
      out += static_cast<char>(code >> 8);
      out += static_cast<char>(code & 0xFF);
    }
  }
  return out;
}

std::string Utf8(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  std::string out;
  out.reserve(gbk.size() * 3 / 2 + 8);
  for (std::size_t i = 0; i < gbk.size();) {
    const auto b = static_cast<unsigned char>(gbk[i]);
    char16_t c;
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    } else if (IsGbkPair(gbk, i)) {
      const auto trail = static_cast<unsigned char>(gbk[i + 1]);
      c = tables::kPair[(b - 0x81) * tables::kTrails + (trail - 0x40)];
      i += 2;
    } else {
      // A byte alone: the euro sign, or one that reads as no character (a
      // lead byte whose next byte is no trail byte goes alone too, and the
      // next byte is read for itself).
      c = tables::kSingle[b - 0x80];
      ++i;
    }
    AppendUtf8(out, c ? c : 0xFFFD);
  }
  return out;
}

bool IsGbkPair(std::string_view bytes, std::size_t i) {
  if (i + 1 >= bytes.size()) return false;
  const auto lead = static_cast<unsigned char>(bytes[i]);
  const auto trail = static_cast<unsigned char>(bytes[i + 1]);
  return lead >= 0x81 && lead <= 0xFE &&
         ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE));
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimRight(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(0, e));
}

}  // namespace text
