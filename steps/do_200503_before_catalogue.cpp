// The second stretch of the pre-2005 consolidation: every catalogue record's
// title is cut at its first colon into main title and sub-title, its author at
// its first semicolon into first and further authors, each with a pinyin-initial
// search key; then the indexes on those columns, the language table, the
// classification load, the card-system columns and the reader status.
//
// Texts are GBK bytes throughout. The cuts are made only at character
// boundaries, and a byte that belongs to no double-byte character is blanked,
// so that no record comes out with half a character.
#include <string>
#include <vector>

#include "db/batch.h"
#include "refdata/other.h"
#include "steps/do_200503_before.h"
#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/pinyin.h"
#include "text/sql_text.h"

namespace steps::consolidation {

std::string ClearHalfChar(std::string_view gbk) {
  std::string out(gbk);
  for (std::size_t i = 0; i < out.size();) {
    if (text::IsGbkPair(gbk, i)) {
      i += 2;
      continue;
    }
    if (static_cast<unsigned char>(out[i]) >= 0x80) out[i] = ' ';
    ++i;
  }
  return out;
}

std::size_t FindGbk(std::string_view gbk, std::string_view needle) {
  if (needle.empty()) return 0;
  for (std::size_t i = 0; i + needle.size() <= gbk.size();) {
    if (gbk.compare(i, needle.size(), needle) == 0) return i;
    i += text::IsGbkPair(gbk, i) ? 2 : 1;
  }
  return std::string_view::npos;
}

namespace {

constexpr std::size_t kNpos = std::string_view::npos;

// First occurrence of the full-width sign, or failing that of the ASCII one.
std::size_t FindEither(std::string_view gbk, std::string_view wide_utf8, std::string_view ascii) {
  const std::size_t wide = FindGbk(gbk, G(wide_utf8));
  return wide != kNpos ? wide : FindGbk(gbk, ascii);
}

// Cuts at the first full-width sign, else the first ASCII one.
Split CutAt(std::string_view gbk, std::string_view wide_utf8, std::string_view ascii) {
  const std::string wide = G(wide_utf8);
  Split s;
  std::size_t at = FindGbk(gbk, wide), width = wide.size();
  if (at == kNpos) {
    at = FindGbk(gbk, ascii);
    width = ascii.size();
  }
  if (at == kNpos) {
    s.first = gbk;
  } else {
    s.first = gbk.substr(0, at);
    s.second = gbk.substr(at + width);
  }
  return s;
}

Split Clean(Split s) {
  return {text::Trim(ClearHalfChar(s.first)), text::Trim(ClearHalfChar(s.second))};
}

std::string ReplaceAll(std::string s, char from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == from)
      out += to;
    else
      out += c;
  }
  return out;
}

// The search key of a text, cut to the width of the column it goes to.
std::string Key(std::string_view gbk, std::size_t width) {
  std::string key = text::GetPinYinFirstChar(gbk);
  if (key.size() > width) key.resize(width);
  return key;
}

constexpr std::size_t kTitleKeyWidth = 40;
constexpr std::size_t kAuthorKeyWidth = 23;

const char* const kSubFieldColumns[] = {
    "bm_country char(3) default('chi')",   "bm_namesec char(80) default('')",
    "bm_namefu char(80) default('')",      "bm_namepy char(40) default('')",
    "bm_namesecpy char(40) default('')",   "bm_namefupy char(40) default('')",
    "bm_sauthor char(46) default('')",     "bm_seriouspy char(40) default('')",
    "bm_authorsec char(46) default('')",   "bm_authorpy char(23) default('')",
    "bm_authorsecpy char(23) default('')",
};

std::vector<std::string> AddColumns(std::string_view first_line,
                                    std::initializer_list<const char*> columns) {
  std::vector<std::string> lines = {std::string(first_line)};
  std::size_t i = 0;
  for (const char* c : columns)
    lines.push_back(std::string("    ") + c + (++i < columns.size() ? "," : ""));
  return lines;
}

std::vector<std::string> AddSubFieldColumns(std::string_view first_line) {
  std::vector<std::string> lines = {std::string(first_line)};
  const std::size_t n = std::size(kSubFieldColumns);
  for (std::size_t i = 0; i < n; ++i)
    lines.push_back(std::string("    ") + kSubFieldColumns[i] + (i + 1 < n ? "," : ""));
  return lines;
}

void CountRow(Upgrader& u, int& counter) {
  db::ProgressTick(u.view, 1);
  ++counter;
  static const std::string kDone = G("已处理：");
  u.view.SetNumText(kDone + std::to_string(counter));
  u.view.Repaint();
  u.view.ProcessMessages();
}

void FillCatalogueSubFields(Upgrader& u) {
  const std::string full_width_colon = G("：");
  int counter = 0;
  db::OpenQuery(u.qrTmp1, {"select bm_code,bm_name,bm_serious,bm_author from lib_bianma "});
  db::Batch batch(u.qrTmp2);
  while (!u.qrTmp1.Eof()) {
    u.view.ProcessMessages();
    Split title = SplitTitle(text::Trim(u.qrTmp1.AsString("bm_name")));
    title.first = ReplaceAll(title.first, '\'', "\"");
    title.second = ReplaceAll(ReplaceAll(title.second, '\'', "\""), ':', full_width_colon);
    const std::string name_key = Key(title.first, kTitleKeyWidth);
    const std::string sub_key = Key(title.second, kTitleKeyWidth);

    Split author = SplitAuthor(text::Trim(u.qrTmp1.AsString("bm_author")));
    author.first = ReplaceAll(author.first, '\'', "\"");
    author.second = ReplaceAll(author.second, '\'', "\"");
    const std::string author_key = Key(author.first, kAuthorKeyWidth);
    const std::string author_sec_key = Key(author.second, kAuthorKeyWidth);
    const std::string serious_key =
        Key(text::Trim(u.qrTmp1.AsString("bm_serious")), kTitleKeyWidth);

    batch.RunTolerated(
        {"update lib_bianma set ", "    bm_country='chi',", "    bm_name='" + title.first + "',",
         "    bm_namesec='',", "    bm_namefu='" + title.second + "',", "    bm_namesecpy='',",
         "    bm_author='" + author.first + "',", "    bm_authorsec='" + author.second + "',",
         "    bm_sauthor='',", "    bm_namepy='" + name_key + "',",
         "    bm_namefupy='" + sub_key + "',", "    bm_seriouspy='" + serious_key + "',",
         "    bm_authorpy='" + author_key + "',", "    bm_authorsecpy='" + author_sec_key + "' ",
         "where bm_code=" + std::to_string(u.qrTmp1.AsInteger("bm_code"))},
        [&] { CountRow(u, counter); });
    u.qrTmp1.Next();
  }
  batch.Flush();
  u.qrTmp1.Close();
}

void FillFreeCatalogueSubFields(Upgrader& u) {
  const std::string right_quote = "\xA1\xAF";  // ’
  int counter = 0;
  db::OpenQuery(u.qrTmp1, {"select bm_bookid,bm_name,bm_author from lib_freebm "});
  db::Batch batch(u.qrTmp2);
  while (!u.qrTmp1.Eof()) {
    u.view.ProcessMessages();
    const std::string name_read = text::Trim(u.qrTmp1.AsString("bm_name"));
    const std::string author_read = text::Trim(u.qrTmp1.AsString("bm_author"));
    Split title = SplitTitle(name_read);
    title.first = ReplaceAll(title.first, '\'', right_quote);
    title.second = ReplaceAll(title.second, '\'', right_quote);
    Split author = SplitAuthor(author_read);
    author.first = ReplaceAll(author.first, '\'', right_quote);
    author.second = ReplaceAll(author.second, '\'', right_quote);
    const std::string name_key = Key(title.first, kTitleKeyWidth);

    batch.RunTolerated(
        {"update lib_freebm set ", "    bm_name='" + title.first + "',",
         "    bm_namepy='" + name_key + "',", "    bm_country='chi',", "    bm_namesec='',",
         "    bm_namefu='" + title.second + "',", "    bm_sauthor='',",
         "    bm_author='" + author.first + "',", "    bm_authorsec='" + author.second + "' ",
         "where bm_bookid='" + text::EscapeQuotes(text::Trim(u.qrTmp1.AsString("bm_bookid"))) + "'",
         "  and bm_name='" + text::EscapeQuotes(name_read) + "'",
         "  and bm_author='" + text::EscapeQuotes(author_read) + "'"},
        [&] { CountRow(u, counter); });
    u.qrTmp1.Next();
  }
  batch.Flush();
  u.qrTmp1.Close();
}

void AddCatalogueSubFields(Upgrader& u) {
  Announce(u, "lib_bianma:bm_country,bm_namesec...");
  u.view.SetNumVisible(true);
  u.view.SetBarVisible(true);
  if (u.ColumnAbsent("lib_bianma", "bm_namesec")) {
    u.Exec(AddSubFieldColumns("alter table lib_bianma add "));
    u.view.SetBarPosition(10);
    u.Exec(AddSubFieldColumns("alter table lib_bianmatmp add "));
    u.view.SetBarPosition(20);
    u.Exec({"update lib_bianma set ", "    bm_country='chi',", "    bm_namesec='',",
            "    bm_namefu='',", "    bm_namesecpy='',", "    bm_authorsec='',",
            "    bm_sauthor='',", "    bm_namepy='',", "    bm_namefupy='',",
            "    bm_seriouspy='',", "    bm_authorpy='',", "    bm_authorsecpy='' "});
    FillCatalogueSubFields(u);
  }
  u.view.SetNumVisible(false);
}

void AddFreeCatalogueSubFields(Upgrader& u) {
  Announce(u, "lib_freebm:bm_country,bm_namepy...");
  u.view.SetNumVisible(true);
  u.view.SetBarVisible(true);
  if (u.ColumnAbsent("lib_freebm", "bm_country")) {
    u.Exec(AddColumns("alter table lib_freebm add ",
                      {"bm_namepy char(40) default('')", "bm_country char(3) default('chi')",
                       "bm_namesec char(80) default('')", "bm_namefu char(80) default('')",
                       "bm_sauthor char(46) default('')", "bm_authorsec char(46) default('')"}));
    u.view.SetBarPosition(10);
    u.Exec({"update lib_freebm set ", "    bm_namepy='',", "    bm_country='chi',",
            "    bm_namesec='',", "    bm_namefu='',", "    bm_sauthor='',",
            "    bm_authorsec='' "});
    FillFreeCatalogueSubFields(u);
    u.view.SetBarVisible(false);
  }
  u.view.SetNumVisible(false);
}

void CreateSubFieldIndexes(Upgrader& u) {
  struct Index {
    const char* name;
    const char* table;
    const char* columns;
  };
  static const Index kIndexes[] = {
      {"PK_lib_bianma_namefu", "lib_bianma", "bm_namefu"},
      {"PK_lib_bianma_namepy", "lib_bianma", "bm_namepy"},
      {"PK_lib_bianma_namefupy", "lib_bianma", "bm_namefupy"},
      {"PK_lib_bianma_nameall", "lib_bianma", "bm_name,bm_namefu"},
      {"PK_lib_bianma_nameallpy", "lib_bianma", "bm_namepy,bm_namefupy"},
      {"PK_lib_bianma_authorall", "lib_bianma", "bm_author,bm_authorsec"},
      {"PK_lib_bianma_authorallpy", "lib_bianma", "bm_authorpy,bm_authorsecpy"},
      {"PK_lib_freebm_namepy", "lib_freebm", "bm_namepy"},
  };
  for (const Index& ix : kIndexes) {
    const std::string_view name = ix.name;
    // The 2007-12-07 release replaced the four two-column indexes by
    // single-column ones (PK_lib_bianma_author among them); a later run of
    // this step must not bring them back.
    const bool combined =
        name.find("all") != std::string_view::npos && name.rfind("PK_lib_bianma_", 0) == 0;
    if (combined) {
      Announce(u, name);
      if (u.IndexAbsent(name) && u.IndexAbsent("PK_lib_bianma_author"))
        u.Exec({"create index " + std::string(name) + " on " + ix.table + "(" + ix.columns +
                ") WITH PAD_INDEX,FILLFACTOR=85"});
      continue;
    }
    CreateIndexIfAbsent(u, ix.name, ix.table, ix.columns);
  }
}

void CreateLanguages(Upgrader& u) {
  Announce(u, "lib_country");
  if (!u.TableAbsent("lib_country")) return;
  u.Exec({"create table lib_country ( ", "    co_id char(3) not null,",
          "    co_country char(10) default(''),", "    co_order int default(0)", ") "});
  u.Exec({"ALTER TABLE lib_country ADD CONSTRAINT ", "PK_lib_country PRIMARY KEY NONCLUSTERED ",
          "( ", "    co_id", ") "});
  struct Language {
    const char* id;
    const char* name;
  };
  static const Language kLanguages[] = {{"chi", "汉语"},   {"eng", "英语"},    {"ger", "德语"},
                                        {"jpn", "日语"},   {"rus", "俄语"},    {"fre", "法语"},
                                        {"esp", "世界语"}, {"ara", "阿拉伯语"}};
  int order = 0;
  for (const Language& l : kLanguages)
    u.Exec({std::string("insert into lib_country values('") + l.id + "','" + G(l.name) + "'," +
            std::to_string(order++) + ")"});
}

void AddReaderCardNumber(Upgrader& u) {
  Announce(u, "lib_people:pe_yktno，请耐心等待...");
  if (!u.ColumnAbsent("lib_people", "pe_yktno")) return;
  u.Exec({"alter table lib_people add pe_yktno char(20) default('')"});
  u.Exec({"create index PK_lib_people_yktno on lib_people(pe_yktno) WITH PAD_INDEX,FILLFACTOR=85"});
  u.Exec({"update lib_people set pe_yktno=''"});
}

void AddCardNumberSign(Upgrader& u) {
  Announce(u, "lib_yikatong:yk_yktnosign，请耐心等待...");
  if (!u.ColumnAbsent("lib_yikatong", "yk_yktnosign")) return;
  u.Exec({"alter table lib_yikatong add yk_yktnosign integer default(0)"});
  u.Exec({"update lib_yikatong set yk_yktnosign=0"});
}

}  // namespace

Split SplitTitle(std::string_view t) {
  const std::size_t open = FindEither(t, "（", "(");
  const std::size_t close = FindEither(t, "）", ")");
  const std::size_t colon = FindEither(t, "：", ":");
  if (colon != kNpos && open != kNpos && close != kNpos && open < colon && colon < close)
    return Clean({std::string(t), ""});
  return Clean(CutAt(t, "：", ":"));
}

Split SplitAuthor(std::string_view a) {
  return Clean(CutAt(a, "；", ";"));
}

void ConsolidateCatalogue(Upgrader& u) {
  AddCatalogueSubFields(u);
  AddFreeCatalogueSubFields(u);
  CreateSubFieldIndexes(u);
  CreateLanguages(u);

  Announce(u, "分类表");
  refdata::InputOtherData(u.ctx);

  AddReaderCardNumber(u);
  AddCardNumberSign(u);
  // Every reader whose status is none of the five becomes suspended, on every run.
  u.Exec({"update lib_people set pe_mark='" + G("暂停") + "'",
          "where pe_mark not in('" + G("正常") + "','" + G("过期") + "','" + G("补办") + "','" +
              G("注销") + "','" + G("挂失") + "')"});

  u.view.SetProcessText(G("2005年前的所有处理完成。"));
  u.view.Repaint();
  u.view.ProcessMessages();
  u.view.SetBarVisible(false);
  u.view.SetDoWorkEnabled(false);
}

}  // namespace steps::consolidation
