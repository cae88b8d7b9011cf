// Book-number conversion, literal safety, the registry digit encoding and the
// GBK edges, each as a table of cases.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "text/gbk.h"
#include "text/isbn.h"
#include "text/param_codec.h"
#include "text/sql_text.h"

namespace {

struct IsbnCase {
  const char* in;
  const char* isbn_to_13;
  const char* book_id_to_13;
};

TEST(Isbn, ConversionsAgreeAndDifferAsDocumented) {
  const IsbnCase cases[] = {
      {"7-5006-1234-5", "9787500612346", "9787500612346"},
      {"  7500612345 \t", "9787500612346", "9787500612346"},
      {"750061234X", "9787500612346", "9787500612346"},
      // A letter among the first nine: the catalogue form keeps it; the old
      // conversion reads O as zero.
      {"75OO612345", "75OO612345", "9787500612346"},
      {"75oo612345", "75oo612345", "9787500612346"},
      {"7A00612345", "7A00612345", "7A00612345"},
      // Wrong check digit on 13 digits: corrected only by the catalogue form.
      {"9787500612340", "9787500612346", "9787500612340"},
      {"978750061234A", "978750061234A", "978750061234A"},
      // Prefix 977 below "18" only in the old conversion.
      {"1750061234", "9781750061237", "9771750061238"},
      {"1800061234", "9781800061231", "9781800061231"},
      {"978--7-5006-1234-5-", "9787500612346", "9787500612345"},
      // Lengths that are not 10 or 13 after hyphen removal come back trimmed.
      {"", "", ""},
      {" 12345678901 ", "12345678901", "12345678901"},
      {"123456789012", "123456789012", "123456789012"},
      {"75006 12345 678", "75006 12345 678", "75006 12345 678"},
      {"abc", "abc", "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::IsbnTo13(c.in), c.isbn_to_13) << "IsbnTo13(" << c.in << ")";
    EXPECT_EQ(text::BookIdTo13(c.in), c.book_id_to_13) << "BookIdTo13(" << c.in << ")";
  }
}

TEST(Isbn, ShortenedByInnerBlanksIsNotConvertedPastItsEnd) {
  // Ten characters with blanks exposed by hyphen removal: the second trim
  // leaves too few digits, so the text comes back as given (trimmed).
  EXPECT_EQ(text::BookIdTo13("-  12345678-"), "-  12345678-");
}

TEST(Isbn, IsAllDigits) {
  EXPECT_TRUE(text::IsAllDigits(""));
  EXPECT_TRUE(text::IsAllDigits("0123456789"));
  EXPECT_FALSE(text::IsAllDigits("12 3"));
  EXPECT_FALSE(text::IsAllDigits("12X"));
  EXPECT_FALSE(text::IsAllDigits("\xB0\xA1"));
}

TEST(SafeSqlText, Cases) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"O'Brien", "O\"Brien"},
      {"a''b", "a\"\"b"},
      {"\xB0\xA1\xD6\xD0", "\xB0\xA1\xD6\xD0"},  // 啊中: GB2312 pairs pass whole
      {"ab\xB0", "ab"},                          // half a character at the end
      {"a\x80z", "az"},                          // 0x80 leads no pair
      {"\x81\x40", "\x81\x40"},                  // GBK pair with a low trail byte stays whole
      {"\xC4\xAA\x95\x46\xB4\xA8", "\xC4\xAA\x95\x46\xB4\xA8"},  // 莫旻川 keeps 旻 (95 46)
      {"\x95'", "\""},                                           // a quote is never a trail byte
      {"\"\\;", "\"\\;"},
      {"\xFF\xB0\xA1", "\xB0\xA1"},  // 0xFF leads no pair
  };
  for (const auto& c : cases) {
    const std::string got = text::SafeSqlText(c.in);
    EXPECT_EQ(got, c.out) << text::Utf8(c.in);
    EXPECT_LE(got.size(), c.in.size());
    EXPECT_EQ(got.find('\''), std::string::npos);
  }
}

TEST(EscapeQuotes, DoublesEverySingleQuoteAndNothingElse) {
  EXPECT_EQ(text::EscapeQuotes(""), "");
  EXPECT_EQ(text::EscapeQuotes("O'Brien"), "O''Brien");
  EXPECT_EQ(text::EscapeQuotes("''"), "''''");
  EXPECT_EQ(text::EscapeQuotes("\x95\x46\"x"), "\x95\x46\"x");
}

TEST(ParamCodec, KnownValues) {
  EXPECT_EQ(text::EncodeParam("abc"), "340334043407");
  EXPECT_EQ(text::DecodeParam("340334043407"), "abc");
  EXPECT_EQ(text::EncodeParam(""), "");
  EXPECT_EQ(text::DecodeParam(""), "");
  EXPECT_EQ(text::EncodeParam("sa"), "37073403");
  // A GBK character is two bytes and eight digits.
  EXPECT_EQ(text::EncodeParam("\xD6\xD0"), "73347300");
  // Digits the encoder never writes still decode: 1 2 5 6 give the groups 0 1 2 3.
  EXPECT_EQ(text::DecodeParam("1256"), std::string(1, '\x1B'));
}

TEST(ParamCodec, LengthNotMultipleOfFourIsEmptyWhateverTheCharacters) {
  EXPECT_EQ(text::DecodeParam("34033"), "");
  EXPECT_EQ(text::DecodeParam("abcde"), "");
  EXPECT_EQ(text::DecodeParam("7"), "");
}

TEST(ParamCodec, NonDigitFailsWithConversionError) {
  EXPECT_THROW(text::DecodeParam("34a3"), std::invalid_argument);
  EXPECT_THROW(text::DecodeParam("0000 000"), std::invalid_argument);
}

TEST(ParamCodec, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string enc = text::EncodeParam(all);
  ASSERT_EQ(enc.size(), 4u * 256);
  EXPECT_EQ(enc.find_first_not_of("0347"), std::string::npos);
  EXPECT_EQ(text::DecodeParam(enc), all);
}

TEST(Gbk, ConvertsBothWays) {
  EXPECT_EQ(text::Gbk("中文"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(text::Utf8("\xD6\xD0\xCE\xC4"), "中文");
  EXPECT_EQ(text::Gbk("旻"), "\x95\x46");
  EXPECT_EQ(text::Utf8(text::Gbk("所有处理已完成！")), "所有处理已完成！");
  EXPECT_EQ(text::Gbk("plain"), "plain");
}

TEST(Gbk, InvalidInputs) {
  EXPECT_THROW(text::Gbk("\xFF\xFE"), std::runtime_error);  // not UTF-8
  EXPECT_THROW(text::Gbk("😀"), std::runtime_error);         // outside GBK
  // A stray lead byte shows as U+FFFD; the rest still converts.
  const std::string u = text::Utf8("a\xB0");
  EXPECT_EQ(u.substr(0, 1), "a");
  EXPECT_NE(u.find("\xEF\xBF\xBD"), std::string::npos);
}

TEST(Gbk, IsGbkPairBoundaries) {
  const struct {
    const char* bytes;
    bool pair;
  } cases[] = {
      {"\x81\x40", true},  {"\xFE\xFE", true},  {"\x81\x7E", true},  {"\x81\x80", true},
      {"\x80\x40", false}, {"\xFF\x40", false}, {"\x81\x3F", false}, {"\x81\x7F", false},
      {"\x81\xFF", false}, {"AB", false},
  };
  for (const auto& c : cases) EXPECT_EQ(text::IsGbkPair(c.bytes, 0), c.pair) << c.bytes;
  EXPECT_FALSE(text::IsGbkPair("\x81", 0));  // no trail byte
}

TEST(Gbk, TrimRemovesBlanksAndControls) {
  EXPECT_EQ(text::Trim(" \t\r\nab c\x01 "), "ab c");
  EXPECT_EQ(text::TrimRight("  ab  "), "  ab");
  EXPECT_EQ(text::Trim("\xB0\xA1 "), "\xB0\xA1");
  EXPECT_EQ(text::Trim("   "), "");
}

}  // namespace
