// The classification load from other.dat: new classes inserted, empty captions
// (or captions that are just the code) filled, captions of the library's own
// kept; a second load changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "refdata/other.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;

struct Classes {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c = scratch.Connect();
  testing_support::RecordingView view;
  steps::Upgrader up{*c, view, scratch.dir()};

  Classes() {
    testing_support::RunScript(*c, R"(
create table lib_fenlei (
  fl_code char(20) not null,
  fl_mark char(1) default('0'),
  fl_degree numeric(2,0) default(0),
  fl_fenlei char(60) default(''),
  fl_keyword char(60) default(''),
  fl_curnum numeric(6,0) default(0)
)
GO
insert into lib_fenlei values('A1/','1',5,'其他','其他',9)
insert into lib_fenlei values('B/','1',4,'','',8)
insert into lib_fenlei values('C/','1',3,'C/','C/',7)
)");
  }
  void WriteFile(const std::vector<const char*>& utf8_lines) {
    std::ofstream f(scratch.dir() / "other.dat", std::ios::binary);
    for (const char* l : utf8_lines) f << text::Gbk(l) << "\r\n";
  }
  std::vector<std::string> All() { return Rows(*c, "select * from lib_fenlei order by fl_code"); }
};

TEST(InputOtherData, InsertsNewClassesFillsEmptyCaptionsKeepsOwnOnes) {
  Classes d;
  d.WriteFile({
      "A1@2@某类",          // A1/ has its own caption: unchanged
      "B@1@乙类",           // empty caption: filled, level and mark kept
      "C@1@丙类",           // caption equal to the code: filled
      " D1 @ 3 @ 丁类 @注",  // new: code and level trimmed, caption kept whole
      "E@x@坏级",           // a level that is no number: skipped
      "F'@1@O'Hara类",      // apostrophes in code and caption: loaded as they are
      "G@只有说明",          // one "@": no level
      "",                   // empty line: the class "/"
  });
  d.up.SetProcess("分类表");
  refdata::InputOtherData(d.up.ctx);

  EXPECT_EQ(d.All(), (std::vector<std::string>{
                         "/|0|0|||0",
                         "A1/|1|5|其他|其他|9",
                         "B/|1|4|乙类|乙类|8",
                         "C/|1|3|丙类|丙类|7",
                         "D1/|0|3| 丁类 @注| 丁类 @注|0",
                         "F'/|0|1|O'Hara类|O'Hara类|0",
                         "G/|0|0|只有说明|只有说明|0",
                     }));
  EXPECT_EQ(d.view.Only("bar ").size(), 8u);  // one tick per line

  const auto first = d.All();
  refdata::InputOtherData(d.up.ctx);
  EXPECT_EQ(d.All(), first);
}

TEST(InputOtherData, MissingFileIsAnErrorNamingIt) {
  Classes d;
  try {
    refdata::InputOtherData(d.up.ctx);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("other.dat"), std::string::npos) << e.what();
  }
}

}  // namespace
