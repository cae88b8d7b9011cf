// Making stored texts safe to paste between single quotes.
#include "text/sql_text.h"

#include "text/gbk.h"

namespace text {

// Pairs are recognised as GBK defines them (trail 0x40-0x7E included), so a
// character such as 旻 (95 46) passes whole instead of losing its lead byte
// and leaving a stray letter behind. A trail byte is never 0x27, so the result
// still cannot end a literal early.
std::string SafeSqlText(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (std::size_t i = 0; i < gbk.size();) {
    if (IsGbkPair(gbk, i)) {
      out.append(gbk.substr(i, 2));
      i += 2;
      continue;
    }
    const auto b = static_cast<unsigned char>(gbk[i++]);
    if (b >= 0x80) continue;
    out += b == '\'' ? '"' : static_cast<char>(b);
  }
  return out;
}

std::string EscapeQuotes(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  for (char ch : s) {
    out += ch;
    if (ch == '\'') out += '\'';
  }
  return out;
}

}  // namespace text
