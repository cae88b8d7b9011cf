// The author-number file zzm.dat: its line rearrangement, the cutting of its
// records on import, and an export that reproduces the tables on import and
// never destroys the old file when it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "refdata/zzm.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;

const char* const kTables = R"(
create table lib_zzm_new(zz_zhuzhe char(20) NOT NULL, zz_pinyin char(6) default(''), zz_code char(3) default(''),
  zz_fufen char(1) default(''), zz_begin char(6) NOT NULL default('0'), zz_end char(6) default(''))
GO
ALTER TABLE lib_zzm_new ADD CONSTRAINT PK_lib_zzm_new PRIMARY KEY NONCLUSTERED (zz_zhuzhe,zz_begin)
GO
create table lib_zzm_hz(hz_hanzi char(2) NOT NULL, hz_pinyin char(6) default(''))
GO
ALTER TABLE lib_zzm_hz ADD CONSTRAINT PK_lib_zzm_hz PRIMARY KEY NONCLUSTERED (hz_hanzi)
GO
create table lib_zzm_old(zz_zhuzhe char(10) NOT NULL, zz_code char(4) default(''))
GO
ALTER TABLE lib_zzm_old ADD CONSTRAINT PK_lib_zzm_old PRIMARY KEY NONCLUSTERED (zz_zhuzhe)
GO
create table lib_zzm_zst(zz_zhuzhe char(20) NOT NULL, zz_pinyin char(6) default(''), zz_code char(3) default(''),
  zz_fufen char(1) default(''), zz_begin char(6) NOT NULL default('0'), zz_end char(6) default(''))
GO
ALTER TABLE lib_zzm_zst ADD CONSTRAINT PK_lib_zzm_zst PRIMARY KEY NONCLUSTERED (zz_zhuzhe,zz_begin)
)";

struct Tables {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c = scratch.Connect();
  testing_support::RecordingView view;
  steps::Upgrader up;
  std::vector<std::string> sent;

  explicit Tables(const std::filesystem::path& data_dir) : up(*c, view, data_dir) {
    testing_support::RunScript(*c, kTables);
    c->on_statement = [this](const db::StatementEvent& e) { sent.push_back(text::Utf8(e.sql)); };
  }
  std::vector<std::string> All() {
    std::vector<std::string> all;
    for (const char* q : {"select * from lib_zzm_new order by zz_zhuzhe,zz_begin",
                          "select * from lib_zzm_hz order by hz_hanzi",
                          "select * from lib_zzm_old order by zz_zhuzhe",
                          "select * from lib_zzm_zst order by zz_zhuzhe,zz_begin"})
      for (auto& r : Rows(*c, q)) all.push_back(q + std::string(": ") + r);
    return all;
  }
};

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A stored line: marker byte, then the UTF-8 record text in GBK, rearranged.
std::string Line(unsigned char marker, const char* utf8) {
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  return refdata::ReverseEvenBytes(std::string(1, static_cast<char>(marker)) + text::Gbk(utf8)) + "\r\n";
#pragma GCC diagnostic pop
}

TEST(ZzmFile, EvenByteReversalSwapsEvenPositionsAndUndoesItself) {
  const std::pair<const char*, const char*> cases[] = {
      {"abcdef", "afcdeb"}, {"abcde", "adcbe"}, {"ab", "ab"}, {"abc", "abc"}, {"a", "a"}, {"", ""}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(refdata::ReverseEvenBytes(in), out) << in;
    EXPECT_EQ(refdata::ReverseEvenBytes(out), in) << in;
  }
}

TEST(ZzmFile, ImportCutsRecordsAndSkipsWhatCannotBeLoaded) {
  testing_support::ScratchDb folder;  // only for its temporary folder
  const auto dir = folder.dir();
  {
    std::ofstream f(dir / "zzm.dat", std::ios::binary);
    f << Line(0xB4, "x,y,z")                   // fields missing in the middle: z lands in zz_end
      << Line(0xB4, "张,zhang,Z21,,0,")
      << Line(0xB4, "张,dup,Z99,,0,")          // same key as the line before: skipped
      << Line(0xB4, ",nobody,N1,,0,")          // empty author: skipped
      << Line(0xB7, "O'Neil,oneil,O1,,0,a,b")  // apostrophe kept; last field takes the commas
      << Line(0xB5, "张三,zhang")                // only the first character is the key
      << Line(0xB5, "nocomma")                  // no comma: empty first field, skipped
      << Line(0xB6, "王,W11")
      << Line(0xC0, "other,marker")             // unknown marker: ignored
      << "\xB4\r\n"                            // one byte: skipped
      << "\r\n";                               // empty: skipped
  }
  Tables t(dir);
  refdata::InputZzmCode(t.up.ctx);

  EXPECT_EQ(t.All(), (std::vector<std::string>{
                         "select * from lib_zzm_new order by zz_zhuzhe,zz_begin: x|y||||z",
                         "select * from lib_zzm_new order by zz_zhuzhe,zz_begin: 张|zhang|Z21||0|",
                         "select * from lib_zzm_hz order by hz_hanzi: 张|zhang",
                         "select * from lib_zzm_old order by zz_zhuzhe: 王|W11",
                         "select * from lib_zzm_zst order by zz_zhuzhe,zz_begin: O'Neil|oneil|O1||0|a,b",
                     }));
  int inserts = 0;
  for (const auto& s : t.sent) inserts += s.rfind("insert into", 0) == 0;
  EXPECT_EQ(inserts, 6);  // the skipped and ignored lines send nothing
  const auto bar = t.view.Only("bar ");
  EXPECT_EQ(std::count_if(bar.begin(), bar.end(), [](const std::string& b) { return std::isdigit(b[0]); }),
            11);  // one tick per line
  EXPECT_FALSE(t.view.bar_visible_);
}

TEST(ZzmFile, MissingFileIsAnErrorNamingIt) {
  testing_support::ScratchDb folder;
  Tables t(folder.dir() / "nowhere");
  try {
    refdata::InputZzmCode(t.up.ctx);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("zzm.dat"), std::string::npos) << e.what();
  }
}

TEST(ZzmFile, ExportThenImportReproducesTheFourTables) {
  testing_support::ScratchDb folder;
  Tables source(testing_support::SampleDir());
  refdata::InputZzmCode(source.up.ctx);
  Rows(*source.c, "insert into lib_zzm_old values('O''Hara','O2')");
  ASSERT_GT(source.All().size(), 15u);
  source.view.events.clear();

  steps::Upgrader exporter(*source.c, source.view, folder.dir());
  exporter.btExpZZMClick();
  const std::string written = ReadAll(folder.dir() / "zzm.dat");
  EXPECT_EQ(static_cast<unsigned char>(written[0]), 0xB4);
  EXPECT_EQ(written.substr(written.size() - 2), "\r\n");
  EXPECT_FALSE(std::filesystem::exists(folder.dir() / "zzm.dat.new"));
  const auto bar = source.view.Only("bar ");
  EXPECT_EQ(bar, (std::vector<std::string>{"visible", "30", "60", "80", "100", "hidden"}));

  Tables copy(folder.dir());
  refdata::InputZzmCode(copy.up.ctx);
  EXPECT_EQ(copy.All(), source.All());
  EXPECT_EQ(Scalar(*copy.c, "select zz_code from lib_zzm_old where zz_zhuzhe='O''Hara'"), "O2");
}

TEST(ZzmFile, FailedExportLeavesTheOldFileUntouched) {
  testing_support::ScratchDb folder;
  const std::string old_file = Line(0xB6, "旧,J1");
  {
    std::ofstream f(folder.dir() / "zzm.dat", std::ios::binary);
    f << old_file;
  }
  Tables t(folder.dir());
  Rows(*t.c, "insert into lib_zzm_new values('甲','jia','J1','','0','')");
  Rows(*t.c, "insert into lib_zzm_old values('陈,王','C1')");  // a comma the format cannot hold
  try {
    t.up.btExpZZMClick();
    FAIL() << "no error";
  } catch (const std::exception& e) {
    const std::string what = text::Utf8(e.what());
    EXPECT_NE(what.find("lib_zzm_old"), std::string::npos) << what;
    EXPECT_NE(what.find("陈,王"), std::string::npos) << what;
  }
  EXPECT_EQ(ReadAll(folder.dir() / "zzm.dat"), old_file);
  EXPECT_FALSE(std::filesystem::exists(folder.dir() / "zzm.dat.new"));

  // A missing table fails the same way.
  Rows(*t.c, "delete from lib_zzm_old");
  Rows(*t.c, "drop table lib_zzm_zst");
  EXPECT_ANY_THROW(t.up.btExpZZMClick());
  EXPECT_EQ(ReadAll(folder.dir() / "zzm.dat"), old_file);
}

}  // namespace
