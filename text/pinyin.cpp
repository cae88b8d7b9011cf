// Pinyin initials of GBK text, the search keys of the catalogue. The initial
// of each Chinese character's reading comes from a table of every GBK Han
// character (text/gbk_tables.h, made from ICU's Han-Latin transliterator), so
// the keys are the same on every system; one letter per character, so a key
// is never longer than the text it was made from.
#include "text/pinyin.h"

#include "text/gbk.h"
#include "text/gbk_tables.h"

namespace text {

std::string GetPinYinFirstChar(std::string_view gbk) {
  std::string key;
  for (std::size_t i = 0; i < gbk.size();) {
    const char c = gbk[i];
    if (IsGbkPair(gbk, i)) {
      const auto lead = static_cast<unsigned char>(c);
      const auto trail = static_cast<unsigned char>(gbk[i + 1]);
      const char initial = tables::kInitials[lead - 0x81][trail - 0x40];
      if (initial != '.') key += initial;
      i += 2;
      continue;
    }
    if (c >= 'a' && c <= 'z') {
      key += static_cast<char>(c - 'a' + 'A');
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      key += c;
    }
    ++i;  // anything else, and a byte that is no character, gives no letter
  }
  return key;
}

}  // namespace text
