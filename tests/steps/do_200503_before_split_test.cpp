// The byte rules by which the consolidation cuts catalogue titles and authors:
// half characters blanked, cuts at the first colon or semicolon, a colon
// inside the first bracket pair left alone, cuts only between characters.
#include <gtest/gtest.h>

#include "steps/do_200503_before.h"
#include "text/gbk.h"

namespace {

using steps::consolidation::ClearHalfChar;
using steps::consolidation::SplitAuthor;
using steps::consolidation::SplitTitle;

std::string G(const char* utf8) {
  return text::Gbk(utf8);
}

TEST(ClearHalfChar, BlanksOnlyBytesThatBelongToNoCharacter) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {G("图书"), G("图书")},
      {"\x95\x46", "\x95\x46"},           // 旻: trail byte below 0x80 is still a character
      {G("书") + "\xB0", G("书") + " "},  // lead byte cut off at the end
      {"A\x80"
       "B",
       "A B"},                // 0x80 leads no character
      {"\xFF\xA1", "  "},     // 0xFF is no lead byte; A1 is then alone
      {"\x81\x7F", " \x7F"},  // 0x7F is no trail byte
      {"O'Neil", "O'Neil"},
      {"", ""},
  };
  for (const Case& c : cases) {
    const std::string got = ClearHalfChar(c.in);
    EXPECT_EQ(got, c.out) << text::Utf8(c.in);
    EXPECT_EQ(got.size(), c.in.size());
  }
}

TEST(SplitTitle, CutsAtTheFirstColonOutsideTheFirstBracketPair) {
  struct Case {
    const char* title;
    const char* main;
    const char* sub;
  } cases[] = {
      {"书名：副书名", "书名", "副书名"},
      {"书名:副书名", "书名", "副书名"},
      {"书名：副:题", "书名", "副:题"},
      {"甲:乙：丙", "甲:乙", "丙"},              // the full-width colon wins
      {"书名（上：下）", "书名（上：下）", ""},  // colon inside the brackets
      {"书名(上:下)", "书名(上:下)", ""},
      {"书名：副（上）", "书名", "副（上）"},  // colon before the bracket
      {"书名（上）：副", "书名（上）", "副"},  // colon after the bracket
      {"书名 ： 副书名 ", "书名", "副书名"},   // halves trimmed
      {"三国演义", "三国演义", ""},
      {"旻天集：莫旻川诗选", "旻天集", "莫旻川诗选"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const auto s = SplitTitle(G(c.title));
    EXPECT_EQ(text::Utf8(s.first), c.main) << c.title;
    EXPECT_EQ(text::Utf8(s.second), c.sub) << c.title;
  }
}

TEST(SplitTitle, HalfCharactersBecomeBlanksThatTrimmingRemovesAtTheEnds) {
  // A lead byte before a byte that cannot trail (a digit, a blank) or at the
  // end belongs to no character.
  const auto s = SplitTitle(G("书名") + "\xB0 :" + G("副") + "\xC1");
  EXPECT_EQ(s.first, G("书名"));
  EXPECT_EQ(s.second, G("副"));
  EXPECT_EQ(SplitTitle(G("书") + "\xB0" + "1").first, G("书") + " 1");
}

TEST(SplitTitle, FullWidthSignIsNotFoundAcrossTwoCharacters) {
  // 埃 is B0 A3 and 好 is BA C3: the bytes A3 BA in between are no "：".
  const std::string title = G("埃好") + G("：副");
  const auto s = SplitTitle(title);
  EXPECT_EQ(s.first, G("埃好"));
  EXPECT_EQ(s.second, G("副"));
  // Likewise for "；" (A3 BB): 埃 then BB xx.
  const std::string author = G("埃") + "\xBB\xB6" + G("；乙");
  EXPECT_EQ(SplitAuthor(author).first, G("埃") + "\xBB\xB6");
}

TEST(SplitAuthor, CutsAtTheFirstSemicolon) {
  struct Case {
    const char* author;
    const char* first;
    const char* second;
  } cases[] = {
      {"作者1；作者2；作者3", "作者1", "作者2；作者3"},
      {"甲;乙", "甲", "乙"},
      {"甲;乙；丙", "甲;乙", "丙"},  // the full-width semicolon wins
      {"佚名", "佚名", ""},
      {" 王珊 ； 萨师煊 ", "王珊", "萨师煊"},
  };
  for (const Case& c : cases) {
    const auto s = SplitAuthor(G(c.author));
    EXPECT_EQ(text::Utf8(s.first), c.first) << c.author;
    EXPECT_EQ(text::Utf8(s.second), c.second) << c.author;
  }
}

}  // namespace
