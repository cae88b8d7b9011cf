// The pre-2005 consolidation end to end on a database of that age: the tables
// and columns of the era with their fills, the author-number tables replaced
// from zzm.dat, the classification load, the catalogue cut into sub-fields
// with pinyin keys, the reader status; a second run that repeats only the
// unguarded work; a missing zzm.dat that leaves the old tables alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "steps/upgrader.h"
#include "tests/support/child_process.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Rows;
using testing_support::SampleDir;
using testing_support::Scalar;
using Strings = std::vector<std::string>;

struct Old {
  testing_support::ScratchDb scratch{{"pre2005.sql"}};
  std::unique_ptr<db::Connection> c = scratch.Connect();
  testing_support::RecordingView view;
  std::unique_ptr<steps::Upgrader> up;
  Strings sent;

  explicit Old(const fs::path& data_dir = SampleDir()) {
    up = std::make_unique<steps::Upgrader>(*c, view, data_dir);
    c->on_statement = [this](const db::StatementEvent& e) { sent.push_back(text::Utf8(e.sql)); };
  }
  Strings Q(const std::string& sql) { return Rows(*c, sql); }
  // What the consolidation writes, for comparing one run with the next.
  Strings Snapshot() {
    Strings all;
    for (const char* q :
         {"select * from lib_bianma order by bm_code", "select * from lib_freebm order by bm_code",
          "select * from lib_fakuan order by fk_no",
          "select tm_barcode,tm_user,tm_initdate from lib_tiaoma",
          "select * from lib_duzhe order by dz_id",
          "select pe_id,pe_mark,pe_yktno from lib_people order by pe_id",
          "select * from lib_zzm_new order by zz_zhuzhe,zz_begin",
          "select * from lib_zzm_zst order by zz_zhuzhe,zz_begin",
          "select * from lib_fenlei order by fl_code",
          "select * from lib_country order by co_order",
          "select * from lib_jiezhilx order by jz_id", "select * from lib_booknopara",
          "select name from sysobjects order by name", "select name from sysindexes order by name"})
      for (auto& r : Q(q)) all.push_back(std::string(q) + ": " + r);
    return all;
  }
};

TEST(Do200503Before, ConsolidatesAnOldDatabase) {
  Old d;
  d.up->Do200503Before();

  // Catalogue: titles and authors cut, keys from the pinyin initials.
  EXPECT_EQ(d.Q("select bm_code,bm_country,bm_name,bm_namefu,bm_namepy,bm_namefupy,bm_seriouspy,"
                "bm_author,bm_authorsec,bm_authorpy,bm_authorsecpy,bm_namesec,bm_sauthor "
                "from lib_bianma order by bm_code"),
            (Strings{
                "1|chi|数据库原理|设计与实现|SJKYL|SJYSX|JSJCS|王珊|萨师煊|WS|SSX||",
                "2|chi|红楼梦（上：下）||HLMSX||ZGGDWX|曹雪芹|高鹗|CXQ|GE||",
                "3|chi|唐诗选|注释本（上）|TSX|ZSBS||马茂元||MMY|||",
                "4|chi|C++程序设计|第2版|CCXSJ|D2B||谭浩强|刘明|THQ|LM||",
                "5|chi|诗经|国风：小雅|SJ|GFXY|GXJD|佚名||YM|||",
                "6|chi|Alice\"s Adventures||ALICESADVENTURES||SJMZ|Lewis "
                "Carroll|赵元任|LEWISCARROLL|ZYR||",
                "7|chi|三国演义||SGYY||ZGGDWX|罗贯中|毛宗岗；李卓吾|LGZ|MZGLZW||",
                "8|chi|旻天集|莫旻川诗选|MTJ|MMCSX|||||||",
                "9|chi|图书馆学基础||TSGXJC|||吴慰慈||WWC|||",
            }));
  // Free cataloguing: apostrophes become ’, matched on the escaped title and author.
  EXPECT_EQ(d.Q("select bm_code,bm_name,bm_namefu,bm_namepy,bm_country,bm_author,bm_authorsec "
                "from lib_freebm order by bm_code"),
            (Strings{
                "100001|校史|1958-2004|XS|chi|校史编写组|王老师",
                "100002|Tom’s Diary|日记|TOMSDIARY|chi|O’Neil|李明",
                "100003|乡土志（上：下）||XTZSX|chi|柳溪县志办|",
            }));
  EXPECT_EQ(d.Q("select count(*) from syscolumns c, sysobjects o where o.name='lib_bianmatmp' and "
                "c.id=o.id and c.name "
                "in('bm_country','bm_namesec','bm_namefu','bm_namepy','bm_namesecpy',"
                "'bm_namefupy','bm_sauthor','bm_seriouspy','bm_authorsec','bm_authorpy','bm_"
                "authorsecpy')"),
            Strings{"11"});

  // Fines: reader and operator names, empty where nothing matches.
  EXPECT_EQ(
      d.Q("select fk_id,fk_name,fk_deptment,fk_type,fk_optname from lib_fakuan order by fk_no"),
      (Strings{"000000001|李小红|初二（3）班|0|系统管理员", "000000002|D'Arcy|外语组|0|O'Hara 张",
               "000000002|D'Arcy|外语组|0|系统管理员", "000000099|||0|"}));
  // Copies: cataloguer from the record (none for a record that is gone), first date by mark.
  EXPECT_EQ(d.Q("select tm_barcode,tm_user from lib_tiaoma order by tm_barcode"),
            (Strings{"000000011|admin", "000000012|admin", "000000013|zhang", "000000014|zhang",
                     "000000015|NULL"}));
  EXPECT_EQ(d.Q("select count(*) from lib_tiaoma where (tm_mark<>'9' and tm_initdate=tm_yydate) or "
                "(tm_mark='9' and tm_initdate=tm_logdate and tm_logdate<>tm_yydate)"),
            Strings{"5"});
  EXPECT_EQ(
      d.Q("select dz_id,dz_xjdays,dz_yydays,dz_yynum,dz_tuijian from lib_duzhe order by dz_id"),
      (Strings{"1|15|7|5|0", "2|15|7|5|0"}));
  EXPECT_EQ(d.Q("select length,xprec from syscolumns where name='dz_bdays'"), Strings{"5|4"});
  EXPECT_EQ(d.Q("select * from lib_jiezhilx where jz_id=6"), Strings{"6|教参"});
  EXPECT_EQ(d.Q("select pe_id,pe_mark,pe_yktno from lib_people order by pe_id"),
            (Strings{"000000001|正常|", "000000002|过期|", "000000003|暂停|", "000000004|挂失|",
                     "000000005|暂停|"}));
  EXPECT_EQ(d.Q("select * from lib_prtblank"), Strings{"1|0|10|10|10|10"});
  EXPECT_EQ(d.Q("select bp_width,bp_step from lib_booknopara"), Strings{"130|0"});
  EXPECT_EQ(d.Q("select yk_len,yk_cardsign,yk_yktnosign from lib_yikatong"), Strings{"9|1|0"});
  EXPECT_EQ(d.Q("select * from lib_prtdowork"), Strings{});
  EXPECT_EQ(d.Q("select co_id,co_country from lib_country order by co_order").back(),
            "ara|阿拉伯语");

  // Author numbers: lib_zzm_zst was missing, so all four were replaced from the file.
  EXPECT_TRUE(d.view.del_);
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_new where zz_zhuzhe='旧'"), Strings{"0"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_new"), Strings{"7"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_hz"), Strings{"7"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_old"), Strings{"3"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_zst"), Strings{"3"});
  EXPECT_EQ(d.Q("select hz_pinyin from lib_zzm_hz where hz_hanzi='旻'"), Strings{"min"});

  // Classification: empty caption and code-as-caption filled, the library's own kept.
  EXPECT_EQ(d.Q("select fl_code,fl_degree,fl_fenlei,fl_curnum from lib_fenlei where fl_code "
                "in('A/','B/','I/','TP3/')"
                " order by fl_code"),
            (Strings{"A/|1|马列主义类（样例）|0", "B/|1|哲学与宗教|3", "I/|1|文学类（本馆）|12",
                     "TP3/|2|  计算技术|0"}));

  // Indexes of both stretches.
  for (const char* ix :
       {"PK_lib_bianma_bookid", "PK_lib_jieshu_barcode", "PK_lib_bianma_nameallpy",
        "PK_lib_freebm_namepy", "PK_lib_people_yktno", "PK_lib_zzm_zst", "PK_lib_country"})
    EXPECT_EQ(d.Q(std::string("select count(*) from sysindexes where name='") + ix + "'"),
              Strings{"1"})
        << ix;

  // What the window showed.
  const Strings process = d.view.Only("process ");
  ASSERT_FALSE(process.empty());
  EXPECT_EQ(process.front(), "处理：lib_prtblank");
  EXPECT_EQ(process.back(), "2005年前的所有处理完成。");
  for (const char* label :
       {"处理：PK_lib_bianma_bookid", "处理：lib_fakuan，请耐心等待...", "处理：lib_zzm_new",
        "处理：导入著者代码表，请耐心等待...", "处理：lib_bianma:bm_country,bm_namesec...",
        "处理：lib_freebm:bm_country,bm_namepy...", "处理：分类表",
        "处理：lib_yikatong:yk_yktnosign，请耐心等待..."})
    EXPECT_NE(std::find(process.begin(), process.end(), label), process.end()) << label;
  const Strings num = d.view.Only("num ");
  EXPECT_NE(std::find(num.begin(), num.end(), "已处理：9"), num.end());
  ASSERT_GE(num.size(), 2u);
  EXPECT_EQ(num[num.size() - 2], "已处理：3");
  EXPECT_EQ(num.back(), "hidden");
  EXPECT_FALSE(d.view.num_visible_);
  EXPECT_FALSE(d.view.bar_visible_);
  EXPECT_EQ(d.view.events.back(), "dowork disabled");
}

TEST(Do200503Before, SecondRunRepeatsOnlyTheUnguardedWork) {
  Old d;
  d.up->Do200503Before();
  const Strings first = d.Snapshot();
  d.view = testing_support::RecordingView();  // a new start of the program
  d.sent.clear();
  d.up->Do200503Before();

  EXPECT_EQ(d.Snapshot(), first);
  Strings changes;
  for (const auto& s : d.sent)
    if (s.rfind("select", 0) != 0) changes.push_back(s);
  EXPECT_EQ(changes, (Strings{"alter table lib_duzhe alter column  \n    dz_bdays numeric(4,0)",
                              "alter table lib_duzhe alter column  \n    dz_booknum numeric(4,0)",
                              "update lib_people set pe_mark='暂停'\n"
                              "where pe_mark not in('正常','过期','补办','注销','挂失')"}));
  EXPECT_FALSE(d.view.del_);
}

TEST(Do200503Before, MissingAuthorNumberFileLeavesTheOldTablesForTheNextRun) {
  testing_support::ScratchDb empty_dir;
  fs::copy_file(SampleDir() / "other.dat", empty_dir.dir() / "other.dat");
  Old d(empty_dir.dir());
  try {
    d.up->Do200503Before();
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("zzm.dat"), std::string::npos) << e.what();
  }
  EXPECT_EQ(d.Q("select zz_zhuzhe from lib_zzm_new"), Strings{"旧"});
  EXPECT_EQ(d.Q("select count(*) from sysobjects where name='lib_zzm_zst'"), Strings{"0"});

  // With the file in place the next run replaces and loads all four.
  steps::Upgrader again(*d.c, d.view, SampleDir());
  again.Do200503Before();
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_new"), Strings{"7"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_zst"), Strings{"3"});
  EXPECT_EQ(d.Q("select bm_name from lib_bianma where bm_code=1"), Strings{"数据库原理"});
}

TEST(Do200503Before, AuthorNumberTablesKeptWhenPresentUnlessDeleteIsTicked) {
  Old d;
  d.up->Do200503Before();
  d.Q("insert into lib_zzm_hz values('甲','own')");
  d.view.del_ = false;
  d.up->Do200503Before();
  EXPECT_EQ(d.Q("select hz_pinyin from lib_zzm_hz where hz_hanzi='甲'"), Strings{"own"});
  d.view.del_ = true;
  d.up->Do200503Before();
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_hz where hz_hanzi='甲'"), Strings{"0"});
  EXPECT_EQ(d.Q("select count(*) from lib_zzm_hz"), Strings{"7"});
}

TEST(Do200503Before, HalfCharactersAndFailedRecordsDoNotStopTheFill) {
  Old d;
  // A title cut short in the middle of a character, and one whose sub-title
  // outgrows bm_namefu once its ASCII colons become full-width.
  d.c->Execute("insert into lib_bianma(bm_code,bm_name,bm_author) values(20,'" +
               text::Gbk("书名：副题") + "\xB0','" + text::Gbk("甲") + "\xB0;" + text::Gbk("乙") +
               "')");
  d.c->Execute("insert into lib_bianma(bm_code,bm_name,bm_author) values(21,'" + text::Gbk("长:") +
               std::string(60, ':') + "','" + text::Gbk("某人") + "')");
  d.up->Do200503Before();
  EXPECT_EQ(d.Q("select bm_name,bm_namefu,bm_namefupy,bm_author,bm_authorsec from lib_bianma where "
                "bm_code=20"),
            Strings{"书名|副题|FT|甲|乙"});
  // The failed update leaves the blank sub-fields and the unsplit title.
  EXPECT_EQ(d.Q("select bm_namefu,bm_namepy,bm_author from lib_bianma where bm_code=21"),
            Strings{"||某人"});
  EXPECT_EQ(d.Q("select bm_namepy from lib_bianma where bm_code=9"), Strings{"TSGXJC"});
}

// libupgrade-cli on the fixture, as a librarian would run it; its output
// (both streams) in out.
int RunCli(const Strings& args, std::string& out) {
  testing_support::ChildOptions options;
  options.env = {{"LIBUPGRADE_REGISTRY_ROOT", "/nonexistent"}};
  const testing_support::ChildExit e = testing_support::RunProgram(
      testing_support::BuiltProgram("libupgrade-cli"), args, &out, options);
  return e.killed ? -1 : e.code;
}

TEST(Do200503Before, CommandLineRunConsolidatesThenASecondRunIsQuiet) {
  if (!fs::exists(testing_support::BuiltProgram("libupgrade-cli")))
    GTEST_SKIP() << "libupgrade-cli not built";
  testing_support::ScratchDb db({"pre2005.sql"});
  const Strings args = {"--backed-up",    "--before",   "--data-source",
                        db.data_source(), "--data-dir", SampleDir().string()};
  std::string out;
  ASSERT_EQ(RunCli(args, out), 0) << out;
  EXPECT_NE(out.find("2005年前的所有处理完成。"), std::string::npos) << out;
  EXPECT_NE(out.find("所有处理已完成！"), std::string::npos) << out;
  {
    auto c = db.Connect();
    EXPECT_EQ(Rows(*c, "select bm_namepy,bm_authorsecpy from lib_bianma where bm_code=1"),
              Strings{"SJKYL|SSX"});
    EXPECT_EQ(Scalar(*c, "select count(*) from lib_zzm_zst"), "3");
  }

  ASSERT_EQ(RunCli(args, out), 0) << out;
  EXPECT_EQ(out.find("导入著者代码表"), std::string::npos) << out;

  // The export writes the loaded tables back in the file's format.
  const fs::path export_dir = db.dir() / "export";
  fs::create_directory(export_dir);
  ASSERT_EQ(
      RunCli({"--export-zzm", "--data-source", db.data_source(), "--data-dir", export_dir.string()},
             out),
      0)
      << out;
  EXPECT_GT(fs::file_size(export_dir / "zzm.dat"), 100u);
}

}  // namespace

namespace {

TEST(Do200503Before, RerunDoesNotBringBackTheIndexesTheLaterReleaseReplaced) {
  Old d;
  d.up->Do200503Before();
  db::EnsureLedger(d.up->qrTmp);
  d.up->Do2007_12_07();  // drops the four two-column indexes, makes PK_lib_bianma_author
  d.up->Do200503Before();
  EXPECT_EQ(d.Q("select count(*) from sysindexes where name "
                "in('PK_lib_bianma_nameall','PK_lib_bianma_nameallpy',"
                "'PK_lib_bianma_authorall','PK_lib_bianma_authorallpy')"),
            Strings{"0"});
  EXPECT_EQ(d.Q("select count(*) from sysindexes where name='PK_lib_bianma_namefu'"), Strings{"1"});
}

}  // namespace
