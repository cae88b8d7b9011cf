// Pinyin initials of GBK text, the search keys of the catalogue. ICU's
// Han-Latin transliterator gives the reading of each Chinese character; the
// key keeps the first letter of that reading, one letter per character, so a
// key is never longer than the text it was made from.
#include "text/pinyin.h"

#include <unicode/translit.h>
#include <unicode/ucnv.h>
#include <unicode/uscript.h>
#include <unicode/unistr.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace text {
namespace {

class InitialTable {
 public:
  InitialTable() {
    UErrorCode status = U_ZERO_ERROR;
    // Latin-ASCII folds the tone marks (ài, ōu) so the first letter is plain.
    translit_.reset(
        icu::Transliterator::createInstance("Han-Latin; Latin-ASCII", UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !translit_) {
      throw std::runtime_error(std::string("pinyin: cannot create the Han-Latin transliterator: ") +
                               u_errorName(status));
    }
  }

  // Capital initial of a Chinese character's reading; 0 when ICU has none.
  char Initial(UChar32 c) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(c);
    if (it != cache_.end()) return it->second;
    icu::UnicodeString s(c);
    translit_->transliterate(s);
    char initial = 0;
    if (s.length() > 0) {
      UChar first = s.charAt(0);
      if (first >= u'a' && first <= u'z') initial = static_cast<char>(first - u'a' + 'A');
      if (first >= u'A' && first <= u'Z') initial = static_cast<char>(first);
    }
    cache_.emplace(c, initial);
    return initial;
  }

 private:
  std::unique_ptr<icu::Transliterator> translit_;
  std::unordered_map<UChar32, char> cache_;
  std::mutex mutex_;
};

InitialTable& Table() {
  static InitialTable table;
  return table;
}

icu::UnicodeString FromGbk(std::string_view gbk) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* conv = ucnv_open("windows-936", &status);
  if (U_FAILURE(status)) throw std::runtime_error("pinyin: no GBK converter");
  icu::UnicodeString out(gbk.data(), static_cast<int32_t>(gbk.size()), conv, status);
  ucnv_close(conv);
  return out;
}

}  // namespace

std::string GetPinYinFirstChar(std::string_view gbk) {
  std::string key;
  if (gbk.empty()) return key;
  const icu::UnicodeString u = FromGbk(gbk);
  for (int32_t i = 0; i < u.length();) {
    const UChar32 c = u.char32At(i);
    i += U16_LENGTH(c);
    if (c >= 'a' && c <= 'z') {
      key += static_cast<char>(c - 'a' + 'A');
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      key += static_cast<char>(c);
    } else if (c > 0x7F) {
      UErrorCode status = U_ZERO_ERROR;
      if (uscript_getScript(c, &status) == USCRIPT_HAN && U_SUCCESS(status)) {
        if (char initial = Table().Initial(c)) key += initial;
      }
    }
  }
  return key;
}

}  // namespace text
