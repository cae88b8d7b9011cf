// The code page 936 and pinyin tables against ICU itself, for every GBK code:
// the tables are what the Windows build has in place of ICU, so a table that
// drifts from ICU would make the two systems write different bytes.
#include <gtest/gtest.h>
#include <unicode/translit.h>
#include <unicode/ucnv.h>
#include <unicode/uscript.h>
#include <unicode/unistr.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "text/gbk.h"
#include "text/pinyin.h"

namespace {

// ICU's reading of GBK bytes as UTF-8, invalid bytes as U+FFFD.
std::string IcuUtf8(const std::string& gbk) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString u(gbk.data(), static_cast<int32_t>(gbk.size()), "windows-936");
  std::string out;
  u.toUTF8String(out);
  EXPECT_TRUE(U_SUCCESS(status));
  return out;
}

// ICU's strict GBK bytes of one character; false when it has none.
bool IcuGbk(UChar32 c, std::string* out) {
  static UConverter* conv = [] {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* c = ucnv_open("windows-936", &status);
    ucnv_setFromUCallBack(c, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    return c;
  }();
  ucnv_reset(conv);
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString u(c);
  char buf[8];
  const int32_t n = ucnv_fromUChars(conv, buf, sizeof buf, u.getBuffer(), u.length(), &status);
  if (U_FAILURE(status)) return false;
  out->assign(buf, static_cast<std::size_t>(n));
  return true;
}

std::string Utf8Of(UChar32 c) {
  std::string s;
  icu::UnicodeString(c).toUTF8String(s);
  return s;
}

TEST(GbkAgainstIcu, EveryDoubleByteCodeAndEveryByteReadsAsIcuReadsIt) {
  int checked = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x00; trail <= 0xFF; ++trail) {
      // Valid codes, and a lead byte before every other byte (which ICU reads
      // as one bad byte and then the next byte for itself, or as a whole).
      const std::string bytes{static_cast<char>(lead), static_cast<char>(trail), 'x'};
      ASSERT_EQ(text::Utf8(bytes), IcuUtf8(bytes)) << std::hex << lead << ' ' << trail;
      ++checked;
    }
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string alone{static_cast<char>(b)};
    EXPECT_EQ(text::Utf8(alone), IcuUtf8(alone)) << std::hex << b;
    EXPECT_EQ(text::Utf8("a" + alone + "b"), IcuUtf8("a" + alone + "b")) << std::hex << b;
  }
  EXPECT_EQ(checked, 126 * 256);
}

TEST(GbkAgainstIcu, EveryCharacterIsWrittenAsIcuWritesItOrRefusedAsIcuRefusesIt) {
  // Malformed UTF-8 is refused as ICU refuses it.
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE4\xB8", "\x80", "a\xFF" "b"})
    EXPECT_THROW(text::Gbk(bad), std::runtime_error) << bad;
  int written = 0;
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string expected;
    if (IcuGbk(c, &expected)) {
      ASSERT_EQ(text::Gbk(Utf8Of(c)), expected) << std::hex << c;
      if (!expected.empty()) {
        ASSERT_EQ(text::Utf8(expected), Utf8Of(c)) << std::hex << c;
        ++written;
      }
    } else {
      ASSERT_THROW(text::Gbk(Utf8Of(c)), std::runtime_error) << std::hex << c;
    }
  }
  // Every double-byte code and the euro sign and U+F8F5 at least; the soft
  // hyphen is one of the characters written as nothing.
  EXPECT_GE(written, 21000);
  EXPECT_EQ(text::Gbk("a\u00ADb"), "ab");
  EXPECT_THROW(text::Gbk(Utf8Of(0x1F600)), std::runtime_error);
}

TEST(GbkAgainstIcu, EveryHanCharacterHasIcusInitial) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Transliterator> translit(
      icu::Transliterator::createInstance("Han-Latin; Latin-ASCII", UTRANS_FORWARD, status));
  ASSERT_TRUE(U_SUCCESS(status));
  int han = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      icu::UnicodeString u(code.data(), 2, "windows-936");
      std::string expected;
      UErrorCode s = U_ZERO_ERROR;
      if (u.length() == 1 && uscript_getScript(u.char32At(0), &s) == USCRIPT_HAN) {
        ++han;
        translit->transliterate(u);
        const UChar first = u.length() ? u.charAt(0) : 0;
        if (first >= u'a' && first <= u'z') expected = static_cast<char>(first - u'a' + 'A');
        if (first >= u'A' && first <= u'Z') expected = static_cast<char>(first);
      }
      ASSERT_EQ(text::GetPinYinFirstChar(code), expected) << std::hex << lead << ' ' << trail;
    }
  }
  EXPECT_GE(han, 20900);
}

}  // namespace
