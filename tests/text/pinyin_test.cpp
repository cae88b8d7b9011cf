// Pinyin initials: one capital per Chinese character, ASCII letters as
// capitals, digits kept, everything else dropped.
#include <gtest/gtest.h>

#include "text/gbk.h"
#include "text/pinyin.h"

namespace {

struct Case {
  const char* utf8;
  const char* key;
};

TEST(GetPinYinFirstChar, InitialsOfTitlesAndNames) {
  const Case cases[] = {
      {"", ""},
      {"中国", "ZG"},
      {"图书馆", "TSG"},
      {"红楼梦", "HLM"},
      {"数据库原理", "SJKYL"},
      {"欧阳修", "OYX"},          // readings starting with a vowel
      {"爱国", "AG"},             // tone-marked vowel folded to its letter
      {"旻天集", "MTJ"},          // 旻 has a low trail byte in GBK
      {"C++程序设计", "CCXSJ"},   // punctuation dropped, letters kept
      {"第2版", "D2B"},           // digits kept
      {"Alice's Adventures", "ALICESADVENTURES"},
      {"唐诗选（上：下）", "TSXSX"},  // full-width signs dropped
      {"ａ１，。", ""},           // full-width letters and digits are not ASCII
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::GetPinYinFirstChar(text::Gbk(c.utf8)), c.key) << c.utf8;
  }
}

TEST(GetPinYinFirstChar, KeyIsNeverLongerThanItsTextAndHoldsNoApostrophe) {
  const std::string gbk = text::Gbk("O'Neil 著；赵元任 译：'爱丽丝'漫游奇境记（第3版）");
  const std::string key = text::GetPinYinFirstChar(gbk);
  EXPECT_EQ(key, "ONEILZZYRYALSMYQJJD3B");
  EXPECT_LE(key.size(), gbk.size());
  EXPECT_EQ(key.find('\''), std::string::npos);
}

TEST(GetPinYinFirstChar, StrayBytesAreDropped) {
  // A lone lead byte at the end, and 0x80/0xFF that start no character.
  EXPECT_EQ(text::GetPinYinFirstChar(text::Gbk("书") + "\xB0"), "S");
  EXPECT_EQ(text::GetPinYinFirstChar(std::string("A\x80" "B\xFF" "C")), "ABC");
}

}  // namespace
