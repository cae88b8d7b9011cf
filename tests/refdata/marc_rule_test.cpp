// The MARC rule file loader and the two cataloguing templates.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "refdata/data_files.h"
#include "refdata/marc_rule.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;
using Lines = std::vector<std::string>;

// "30 31 Y1 Y2 Y3 Y4" to bytes, Y1..Y4 being the digits of the year.
std::string Bytes(const std::string& hex, int year) {
  const std::string y = std::to_string(year);
  std::istringstream in(hex);
  std::string out, token;
  while (in >> token) {
    if (token[0] == 'Y')
      out += y[token[1] - '1'];
    else
      out += static_cast<char>(std::stoi(token, nullptr, 16));
  }
  return out;
}

TEST(MarcModel, TemplatesMatchTheirByteImages) {
  const std::string default_image =
      "30 30 30 1E 1E 6E 61 6D 30 20 1F 30 30 31 1E 1E 30 31 Y1 Y2 Y3 Y4 30 30 30 30 30 30 1F 30 "
      "31 30 1E 1E 20 20 1F 1E 61 1E 1F 1E 62 1E C6 BD D7 B0 1F 1E 64 1E 1F 31 30 30 1E 1E 20 20 "
      "1F 1E 61 1E 1F 31 30 31 1E 1E 30 20 1F 1E 61 1E 63 68 69 1F 32 30 30 1E 1E 31 20 1F 1E 61 "
      "1E 1F 1E 65 1E 1F 1E 66 1E 1F 32 31 30 1E 1E 20 20 1F 1E 61 1E 1F 1E 63 1E 1F 1E 64 1E 1F "
      "32 31 35 1E 1E 20 20 1F 1E 61 1E 1F 1E 64 1E 33 32 BF AA 20 31 39 43 4D 1F 32 32 35 1E 1E "
      "31 20 1F 1E 61 1E 1F 1E 66 1E 1F 33 33 30 1E 1E 30 20 1F 1E 61 1E 1F 36 30 36 1E 1E 30 20 "
      "1F 1E 61 1E 1F 36 39 30 1E 1E 20 20 1F 1E 61 1E 1F 39 30 35 1E 1E 20 20 1F 1E 61 1E 1F 1E "
      "62 1E 1F 1E 64 1E 1F 1E 65 1E 1F";
  const std::string brief_image =
      "30 30 30 1E 1E 6E 61 6D 30 20 1F 30 30 31 1E 1E 30 31 Y1 Y2 Y3 Y4 30 30 30 30 30 30 1F 30 "
      "31 30 1E 1E 20 20 1F 1E 61 1E 1F 1E 64 1E 1F 32 30 30 1E 1E 31 20 1F 1E 61 1E 1F 1E 65 1E "
      "1F 1E 66 1E 1F 32 31 30 1E 1E 20 20 1F 1E 61 1E 1F 1E 63 1E 1F 1E 64 1E 1F 32 31 35 1E 1E "
      "20 20 1F 1E 61 1E 1F 1E 64 1E 33 32 BF AA 20 31 39 43 4D 1F 32 32 35 1E 1E 31 20 1F 1E 61 "
      "1E 1F 1E 66 1E 1F 36 39 30 1E 1E 20 20 1F 1E 61 1E 1F 39 30 35 1E 1E 20 20 1F 1E 61 1E 1F "
      "1E 62 1E 1F 1E 65 1E 1F";
  for (int year : {2007, 2031}) {
    SCOPED_TRACE(year);
    EXPECT_EQ(refdata::DefaultMarcModel(year), Bytes(default_image, year));
    EXPECT_EQ(refdata::BriefMarcModel(year), Bytes(brief_image, year));
  }
  EXPECT_EQ(refdata::DefaultMarcModel(2007).size(), 221u);
  EXPECT_EQ(refdata::BriefMarcModel(2007).size(), 158u);
}

// The three rule tables as the 2007-12-27 step makes them, in a scratch database.
struct RuleTables {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c = scratch.Connect();
  testing_support::RecordingView view;
  steps::Upgrader up{*c, view, scratch.dir()};

  RuleTables() {
    testing_support::RunScript(*c, R"(
create table lib_marc_rule(mr_code char(3) not null, mr_name char(12) default(''),
  mr_sign1 char(16) default(' '), mr_sign2 char(16) default(' '), mr_must char(1) default('0'),
  mr_more char(1) default('0'), mr_remark text default(''))
GO
ALTER TABLE lib_marc_rule ADD CONSTRAINT PK_lib_marc_rule PRIMARY KEY NONCLUSTERED(mr_code)
GO
create table lib_marc_field_rule(mf_id int NOT NULL IDENTITY (1, 1), mf_code char(3) not null,
  mf_subcode char(1) not null, mf_name char(12) default(''), mf_must char(1) default('0'),
  mf_more char(1) default('0'), mf_order int default(1), mf_chinese int default(0))
GO
create table lib_pin_yin(py_id int NOT NULL IDENTITY (1, 1), py_hanzi char(2) default(''),
  py_pinyin char(6) default(''), py_order int default(' '))
GO
)");
  }
  // Writes the lines (UTF-8) as the GBK rule file, each ended by CR LF.
  void WriteFile(const Lines& lines) {
    std::ofstream out(scratch.dir() / "MarcRule.txt", std::ios::binary);
    for (const auto& l : lines) out << text::Gbk(l) << "\r\n";
  }
};

TEST(InputMarcRule, ReadsTheThreeSectionsLineByLine) {
  RuleTables t;
  t.WriteFile({
      "MARC字段规则",
      "|010|002|...",  // second heading line: ignored even though it looks like data
      "x|200|题名 与　责任|正题名等|0,1| |1|0",
      "|010|国际标准书号|ISBN|a|b|0|1",
      "1|010|重复的代码|被主键拒绝|||0|0",
      "|999||||1",   // 9 bytes: skipped although it has separators
      "|998|||||1",  // 10 bytes: too few separators, the text after the last goes to mr_more
      "1|330|提要|It's a note|||0|0",
      " ===|997|前有空格|不是结束标记|||0|0",
      "===字段规则结束 and more",
      "1|111|a|被跳过的标题行|1||0|0|0",
      "1|200|a|正 题　名|1||1|0|1",
      "2|200|b|资料|2|备注不入库|0|1|0",
      "3|200|c|顺序非数字|abc||0|0|0",
      "4|200|d|顺序为空|||0|0|0",
      "===",
      "啊|1|header",
      "啊|1| a ",
      "阿|2|   ",
      "爱|1|ai|x",
      "a|1|b",
      "ab|1|c",
      "===拼音结束",
      "后|1|hou",
  });
  refdata::InputMarcRule(t.up.ctx);

  EXPECT_EQ(Rows(*t.c,
                 "select mr_code,mr_name,mr_sign1,mr_sign2,mr_must,mr_more,mr_remark "
                 "from lib_marc_rule order by mr_code"),
            (Lines{"010|国际标准书号|a|b|0|1|ISBN", "200|题名与责任|0,1||1|0|正题名等",
                   "330|提要|||0|0|It's a note", "997|前有空格|||0|0|不是结束标记", "998|||||1|"}));
  EXPECT_EQ(Rows(*t.c,
                 "select mf_code,mf_subcode,mf_name,mf_must,mf_more,mf_order,mf_chinese "
                 "from lib_marc_field_rule order by mf_id"),
            (Lines{"200|a|正题名|1|0|1|1", "200|b|资料|0|1|2|0"}));
  EXPECT_EQ(Rows(*t.c, "select py_hanzi,py_pinyin,py_order from lib_pin_yin order by py_id"),
            (Lines{"啊|a|1", "爱|ai|x|1", "ab|c|1"}));
  EXPECT_EQ(t.view.Only("bar "), (Lines{"35", "45", "55", "75"}));
}

TEST(InputMarcRule, FileEndingEarlyLoadsWhatItHas) {
  RuleTables t;
  t.WriteFile({"标题", "说明", "1|001|记录标识号|唯一标识|||1|0"});
  refdata::InputMarcRule(t.up.ctx);
  EXPECT_EQ(Rows(*t.c, "select mr_code,mr_name from lib_marc_rule"), Lines{"001|记录标识号"});
  EXPECT_EQ(Scalar(*t.c, "select count(*) from lib_marc_field_rule"), "0");
  EXPECT_EQ(Scalar(*t.c, "select count(*) from lib_pin_yin"), "0");
  EXPECT_EQ(t.view.BarPosition(), 75);
}

TEST(InputMarcRule, MissingFileNamesIt) {
  RuleTables t;
  try {
    refdata::InputMarcRule(t.up.ctx);
    FAIL() << "expected an error";
  } catch (const refdata::DataFileError& e) {
    EXPECT_EQ(text::Utf8(e.what()),
              "找不到MARC规则文件 MarcRule.txt（查找位置：" + t.scratch.dir().string() + "）");
  }
  EXPECT_THROW(refdata::CheckMarcRuleReadable(t.up.ctx), refdata::DataFileError);
  t.WriteFile({});
  EXPECT_NO_THROW(refdata::CheckMarcRuleReadable(t.up.ctx));
}

}  // namespace
