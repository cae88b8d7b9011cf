// The card-system parameter of lib_canshub, the repair of a mis-encoded name in
// the catalogue and the reader-category text dz_duzhedx. No sign: each part is
// guarded by its probe or by its own selection and runs on every run.
//
// The name 莫旻川 was once stored with the lead byte 0x95 of its middle
// character lost, leaving the trail byte, the letter F: "莫F川" (C4 AA 46 B4 A8)
// instead of C4 AA 95 46 B4 A8. Each catalogue column holding the broken text
// is rewritten, trimmed, with every occurrence repaired.
#include <string>
#include <string_view>

#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace steps {

namespace {

constexpr std::string_view kBrokenName = "\xC4\xAA\x46\xB4\xA8";
constexpr std::string_view kRepairedName = "\xC4\xAA\x95\x46\xB4\xA8";

std::string ReplaceAll(std::string s, std::string_view from, std::string_view to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

}  // namespace

void Upgrader::Do2011_09_02() {
  SetProcess("cs_card_ykt_all");
  view.ProcessMessages();
  if (ColumnAbsent("lib_canshub", "cs_card_ykt_all")) {
    Exec({"alter table lib_canshub add cs_card_ykt_all int default(0)"});
    Exec({"update lib_canshub set cs_card_ykt_all=0"});
  }

  SetProcess("莫F川->莫旻川");
  view.ProcessMessages();
  db::OpenQuery(qrTmp, {"select bm_code,bm_name,bm_namefu,bm_namesec,bm_author,bm_authorsec "
                        "from lib_bianma",
                        "where bm_name+bm_namefu+bm_namesec+bm_author+bm_authorsec like '%" +
                            std::string(kBrokenName) + "%'"});
  static const char* const kColumns[] = {"bm_name", "bm_namefu", "bm_namesec", "bm_author",
                                         "bm_authorsec"};
  while (!qrTmp.Eof()) {
    view.ProcessMessages();
    std::string separator;
    std::vector<std::string> lines{"update lib_bianma set "};
    for (const char* column : kColumns) {
      const std::string value = text::Trim(qrTmp.AsString(column));
      if (value.find(kBrokenName) == std::string::npos) continue;
      // The stored text may hold an apostrophe: doubled so that the literal
      // keeps the whole value and the row is repaired too.
      lines.push_back(separator + " " + column + "='" +
                      text::EscapeQuotes(ReplaceAll(value, kBrokenName, kRepairedName)) + "' ");
      separator = ",";
    }
    lines.push_back("where bm_code=" + qrTmp.AsString("bm_code"));
    if (!separator.empty()) db::RunTolerated(qrTmp1, lines);
    qrTmp.Next();
  }
  qrTmp.Close();

  if (ColumnAbsent("lib_duzhe", "dz_duzhedx")) {
    Exec({"alter table lib_duzhe add dz_duzhedx char(128) default('')"});
    Exec({"update lib_duzhe set dz_duzhedx=''"});
  }
}

}  // namespace steps
