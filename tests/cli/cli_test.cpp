// libupgrade-cli end to end on embedded databases: the backup confirmation,
// the output and exit codes, the statement log, the registry stand-in.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BinDir;
using testing_support::Rows;
using testing_support::SampleDir;
using testing_support::ScratchDb;
using testing_support::Slurp;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the program with the arguments (and environment assignments) in a
// scratch folder; output is not a terminal, so progress comes as plain lines.
Outcome RunCli(const fs::path& dir, const std::vector<std::string>& args,
               const std::string& env = "LIBUPGRADE_REGISTRY_ROOT=/nonexistent") {
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  std::string cmd = env + " " + Quote((BinDir() / "libupgrade-cli").string());
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " >" + Quote((dir / "out.txt").string()) + " 2>" + Quote((dir / "err.txt").string());
#pragma GCC diagnostic pop
  const int status = std::system(cmd.c_str());
  Outcome o;
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = Slurp(dir / "out.txt");
  o.err = Slurp(dir / "err.txt");
  return o;
}

// Index of the first statement-log line after the run lock (line 0) and the
// checks that follow it.
// The statement log without the lines of the row account (its counts before
// the first change and after the run).
std::vector<std::string> WithoutAccount(const std::vector<std::string>& log) {
  std::vector<std::string> kept;
  for (const auto& line : log)
    if (line.rfind("{\"step\":\"account\"", 0) != 0) kept.push_back(line);
  return kept;
}

// The output ends with the completion message, the steps that changed the
// database and the account of every table's rows.
void ExpectCompletedWithAccount(const std::string& out) {
  const auto lines = Lines(out);
  const auto done = std::find(lines.begin(), lines.end(), "所有处理已完成！");
  ASSERT_NE(done, lines.end()) << out;
  ASSERT_NE(done + 1, lines.end()) << out;
  EXPECT_EQ(done[1].rfind("Steps that changed the database", 0), 0u) << out;
  EXPECT_NE(lines.back().find("rows lost: 0"), std::string::npos) << out;
}

std::size_t AfterChecks(const std::vector<std::string>& log) {
  std::size_t i = 1;
  while (i < log.size() && log[i].rfind("{\"step\":\"preflight\"", 0) == 0) ++i;
  return i;
}

TEST(Cli, UpgradesAndASecondRunRecordsNothing) {
  ScratchDb db({"release_2007_03"});
  const std::vector<std::string> args = {"--backed-up", "--data-source", db.data_source(),
                                         "--data-dir", SampleDir().string()};
  std::vector<std::string> logged_args = args;
  logged_args.insert(logged_args.end(), {"--log", (db.dir() / "log.jsonl").string()});
  const Outcome first = RunCli(db.dir(), logged_args);
  ASSERT_EQ(first.code, 0) << first.err;
  ASSERT_FALSE(Lines(first.out).empty());
  ExpectCompletedWithAccount(first.out);
  const auto log = WithoutAccount(Lines(Slurp(db.dir() / "log.jsonl")));
  ASSERT_GE(log.size(), 2u);
  for (const auto& line : log)
    EXPECT_EQ(line.find("\"outcome\":\"error\""), std::string::npos) << line;
  // The run lock, the read-only checks, then the ledger check.
  EXPECT_NE(log[0].find("sp_getapplock"), std::string::npos) << log[0];
  const std::size_t ledger = AfterChecks(log);
  ASSERT_LT(ledger, log.size());
  EXPECT_EQ(log[ledger].rfind("{\"step\":\"run\",\"sql\":\"select * from sysobjects where "
                              "name ='ver_manage'\",\"ms\":",
                              0),
            0u)
      << log[ledger];
  {
    auto c = db.Connect();
    const auto signs = Rows(*c, "select vm_mess from ver_manage");
    EXPECT_NE(std::find(signs.begin(), signs.end(), "ZZ20130901.VERUP"), signs.end());
  }
  std::vector<std::string> before;
  {
    auto c = db.Connect();
    before = Rows(*c, "select vm_mess from ver_manage");
  }
  const Outcome second = RunCli(db.dir(), args);
  ASSERT_EQ(second.code, 0) << second.err;
  ExpectCompletedWithAccount(second.out);
  auto c = db.Connect();
  EXPECT_EQ(Rows(*c, "select vm_mess from ver_manage"), before);
}

// A preview ends in a roll-back: it never says that the upgrade is done, and
// says that it rolled back before its account of the steps and rows.
TEST(Cli, APreviewSaysItRolledBackAndNeverThatItIsDone) {
  ScratchDb db({"release_2007_03"});
  const Outcome o = RunCli(db.dir(), {"--dry-run", "--data-source", db.data_source(), "--data-dir",
                                      SampleDir().string()});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out.find("所有处理已完成"), std::string::npos) << o.out;
  const auto rolled_back =
      o.out.find("every step ran to the end, then every change was rolled back");
  ASSERT_NE(rolled_back, std::string::npos) << o.out;
  EXPECT_LT(rolled_back, o.out.find("Steps that would change the database")) << o.out;
  auto c = db.Connect();
  EXPECT_TRUE(Rows(*c, "select vm_mess from ver_manage where vm_mess = 'ZZ20170109.SFZ'").empty());
}

TEST(Cli, RefusesWithoutTheBackupConfirmation) {
  ScratchDb db;
  const Outcome o = RunCli(db.dir(), {"--data-source", db.data_source()});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("--backed-up"), std::string::npos) << o.err;
  EXPECT_EQ(o.out, "");
  auto c = db.Connect();
  EXPECT_TRUE(Rows(*c, "select name from sysobjects where name = 'ver_manage'").empty());
}

TEST(Cli, UsageErrorsAndHelp) {
  ScratchDb db;
  const struct {
    std::vector<std::string> args;
    int code;
    const char* where;  // "out" or "err"
    const char* text;
  } cases[] = {
      {{"--help"}, 0, "out", "--backed-up"},
      {{"--backed-up", "--frobnicate"}, 2, "err", "--frobnicate"},
      {{"--backed-up", "--data-source"}, 2, "err", "--data-source needs a value"},
      {{"--create-prt-tables"}, 2, "err", "--backed-up"},
  };
  for (const auto& c : cases) {
    const Outcome o = RunCli(db.dir(), c.args);
    EXPECT_EQ(o.code, c.code) << c.args.back();
    const std::string& text = std::string(c.where) == "out" ? o.out : o.err;
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
  }
}

TEST(Cli, ServerErrorGoesToStderrWithExitOneAndIntoTheLog) {
  // An empty database holds none of the library's tables: past the checks,
  // the ledger is made, then the first step's first statement on a library
  // table fails and the step's transaction is rolled back.
  ScratchDb db;
  const fs::path log = db.dir() / "log.jsonl";
  const Outcome o =
      RunCli(db.dir(), {"--backed-up", "--skip-preflight", "--data-source", db.data_source(),
                        "--data-dir", SampleDir().string(), "--log", log.string()});
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.err.rfind("Invalid object name 'lib_", 0), 0u) << o.err;
  EXPECT_EQ(o.out.find("所有处理已完成！"), std::string::npos);
  // The step rolled back changed nothing: it is listed as undone only.
  // The step rolled back changed nothing: it is listed as undone, not among
  // what changed the database (the ledger, made outside it, is kept).
  const std::size_t changed = o.out.find("Steps that changed the database");
  const std::size_t undone = o.out.find(
      "Steps undone (rolled back whole, nothing of them kept; the next run does them again): "
      "2005年3月前：旧版数据库整理，书名与著者拆分（Do200503Before）\n");
  ASSERT_NE(changed, std::string::npos) << o.out;
  ASSERT_NE(undone, std::string::npos) << o.out;
  EXPECT_EQ(o.out.substr(changed, undone - changed).find("Do200503"), std::string::npos) << o.out;
  const auto lines = WithoutAccount(Lines(Slurp(log)));
  const std::size_t ledger = AfterChecks(lines);
  ASSERT_GE(lines.size(), ledger + 3);
  EXPECT_EQ(lines[ledger].rfind("{\"step\":\"run\",\"sql\":\"select * from sysobjects where "
                                "name ='ver_manage'\",\"ms\":",
                                0),
            0u)
      << lines[ledger];
  EXPECT_NE(lines[ledger].find("\"outcome\":\"ok\",\"rows\":0}"), std::string::npos)
      << lines[ledger];
  EXPECT_NE(
      lines[ledger + 1].find("\"sql\":\"create table ver_manage ( \\n\\t\\tvm_mess \\tchar(40) "
                             "default('')\\n) \""),
      std::string::npos)
      << lines[ledger + 1];
  // The failing statement, then the step's transaction rolled back.
  const std::string& failed = lines[lines.size() - 2];
  EXPECT_NE(failed.find("\"step\":\"Do200503Before\""), std::string::npos) << failed;
  EXPECT_NE(failed.find("\"outcome\":\"error\",\"error\":\"Invalid object name 'lib_"),
            std::string::npos)
      << failed;
  EXPECT_NE(lines.back().find("\"sql\":\"if @@trancount > 0 rollback transaction\""),
            std::string::npos)
      << lines.back();
  auto c = db.Connect();  // the ledger made before the error stays
  EXPECT_FALSE(Rows(*c, "select name from sysobjects where name='ver_manage'").empty());
}

// The window's hidden "删除旧著者码表" from the command line: with it the
// consolidation drops the author-number tables it finds and loads them again
// from zzm.dat; without it a database that has them keeps their rows.
TEST(Cli, DeleteOldAuthorTablesReloadsThemInTheConsolidation) {
  for (const bool del : {false, true}) {
    SCOPED_TRACE(del ? "with the option" : "without it");
    ScratchDb db({"release_2005_01"});
    {
      auto c = db.Connect();
      Rows(*c, "insert into lib_zzm_new values('标记','biao','B99','','0','')");
    }
    std::vector<std::string> args = {"--backed-up",    "--before",   "--data-source",
                                     db.data_source(), "--data-dir", SampleDir().string()};
    if (del) args.push_back("--delete-old-author-tables");
    const Outcome o = RunCli(db.dir(), args);
    ASSERT_EQ(o.code, 0) << o.err;
    auto c = db.Connect();
    EXPECT_EQ(Rows(*c, "select zz_code from lib_zzm_new where zz_zhuzhe='标记'").empty(), del);
    EXPECT_EQ(Rows(*c, "select zz_code from lib_zzm_new where zz_zhuzhe='阿'").empty(), del);
    EXPECT_FALSE(Rows(*c, "select zz_zhuzhe from lib_zzm_new").empty());
  }
  ScratchDb db;
  const Outcome help = RunCli(db.dir(), {"--help"});
  EXPECT_NE(help.out.find("--delete-old-author-tables"), std::string::npos);
  EXPECT_NE(help.out.find("Ctrl+Alt+F1"), std::string::npos);
}

TEST(Cli, MissingDatabaseIsAConnectionError) {
  ScratchDb db;
  const auto missing = db.dir() / "none.db";
  const Outcome o =
      RunCli(db.dir(), {"--backed-up", "--data-source", "embedded:" + missing.string()});
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.err.find("cannot connect"), std::string::npos) << o.err;
  // Named as a missing file, not as a login the server refused.
  EXPECT_NE(o.err.find("找不到数据库文件 " + missing.string()), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("login"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(missing));

  // The server started on a missing file says the same.
  const std::string serve = Quote((BinDir() / "libsql-server").string()) + " -d " +
                            Quote(missing.string()) + " 2>" +
                            Quote((db.dir() / "err.txt").string());
  const int status = std::system(serve.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string err = Slurp(db.dir() / "err.txt");
  EXPECT_NE(err.find("the database file " + missing.string() + " does not exist"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("login"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(missing));
}

TEST(Cli, ReadsTheConnectionParametersFromTheRegistryStandIn) {
  ScratchDb db({"release_2007_03"});
  const fs::path key = db.dir() / "reg" / "SOFTWARE" / "Quorvant" / "Lib";
  fs::create_directories(key);
  std::ofstream(key / "values.txt")
      << "ODBCNAME=  " << db.data_source() << " \nUSERNAME=37073403\n";
  const Outcome o = RunCli(db.dir(), {"--backed-up", "--data-dir", SampleDir().string()},
                           "LIBUPGRADE_REGISTRY_ROOT=" + Quote((db.dir() / "reg").string()));
  ASSERT_EQ(o.code, 0) << o.err;
  auto c = db.Connect();
  EXPECT_FALSE(Rows(*c, "select vm_mess from ver_manage where vm_mess='ZZ20130901.VERUP'").empty());
}

// The programs name the release they belong to and this build on --version.
TEST(Cli, VersionNamesTheReleaseAndTheBuild) {
  ScratchDb db;
  for (const std::string program : {"libupgrade-cli", "libsql", "libsql-server"}) {
    const std::string cmd = Quote((BinDir() / program).string()) + " --version >" +
                            Quote((db.dir() / "v.txt").string());
    ASSERT_EQ(std::system(cmd.c_str()), 0) << program;
    const std::vector<std::string> lines = Lines(Slurp(db.dir() / "v.txt"));
    ASSERT_EQ(lines.size(), 2u) << program;
    EXPECT_EQ(lines[0], program + " 6.2017.1");
    EXPECT_EQ(lines[1].rfind("build ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("(commit "), std::string::npos) << lines[1];
  }
}

// Without --data-dir the program looks in its own folder, then in the
// installation's data folder (<prefix>/var/lib/libupgrade), and names both
// when a file is in neither. The export writes into the data folder, never
// beside the program, and says where.
TEST(Cli, DataFilesFromTheProgramsFolderThenTheInstallationsDataFolder) {
  ScratchDb db({"release_2007_03"});
  const fs::path bin = db.dir() / "prefix" / "bin",
                 data = db.dir() / "prefix" / "var" / "lib" / "libupgrade";
  fs::create_directories(bin);
  fs::copy_file(BinDir() / "libupgrade-cli", bin / "libupgrade-cli");
  const std::string cli = Quote((bin / "libupgrade-cli").string());
  const std::string run = "LIBUPGRADE_REGISTRY_ROOT=/nonexistent " + cli + " --data-source " +
                          Quote(db.data_source()) + " >" + Quote((db.dir() / "out.txt").string()) +
                          " 2>" + Quote((db.dir() / "err.txt").string());
  int status = std::system((run + " --backed-up").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(Slurp(db.dir() / "err.txt")
                .find("找不到MARC规则文件 MarcRule.txt（查找位置：" + bin.string() + "、" +
                      data.string() + "）"),
            std::string::npos)
      << Slurp(db.dir() / "err.txt");

  fs::create_directories(data);
  fs::copy_file(SampleDir() / "MarcRule.txt", data / "MarcRule.txt");
  status = std::system((run + " --backed-up").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(db.dir() / "err.txt");
  auto c = db.Connect();
  EXPECT_NE(Rows(*c, "select count(*) from lib_marc_rule"), std::vector<std::string>{"0"});
  c.reset();

  fs::remove_all(data);
  status = std::system((run + " --export-zzm").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(db.dir() / "err.txt");
  EXPECT_TRUE(fs::is_regular_file(data / "zzm.dat"));
  EXPECT_FALSE(fs::exists(bin / "zzm.dat"));
  EXPECT_NE(Slurp(db.dir() / "out.txt").find((data / "zzm.dat").string()), std::string::npos)
      << Slurp(db.dir() / "out.txt");
}

// The checks before the first change name a database that is not a library
// database at all, and nothing is made in it, not even the ledger.
TEST(Cli, ADatabaseWithoutTheLibrarysTablesIsRefusedBeforeAnyChange) {
  ScratchDb db;
  const Outcome o = RunCli(db.dir(), {"--backed-up", "--data-source", db.data_source(),
                                      "--data-dir", SampleDir().string()});
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.err.find("这不是图书管理系统的数据库"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("lib_bianma"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("Invalid object name"), std::string::npos) << o.err;
  auto c = db.Connect();
  EXPECT_TRUE(Rows(*c, "select name from sysobjects where name='ver_manage'").empty());
}

// A file the disk refuses is never reported as success: the run exits 1 with
// the file layer's error and what is safe, and the next run, with the disk
// writable again, finishes the job.
TEST(Cli, AFileTheDiskRefusesEndsTheRunWithWhatIsSafe) {
  struct Case {
    const char* fault;
    const char* error;   // the file layer's words
    const char* safe;    // what the utility adds
    const char* undone;  // the step rolled back, or ""
  };
  const Case cases[] = {
      // The database file written at the end of the run: every step is in
      // the journal already.
      {"checkpoint", "No space left on device", "保存在数据库的日志文件（journal）中，没有丢失",
       ""},
      // The journal flushed at the first step's COMMIT (the first flush of
      // the run: the fixture has its ledger already): the step is undone.
      {"flush:1", "Could not flush", "本步骤在提交时失败，服务器已撤销本步骤的全部改动",
       "2005年3月：志愿者管理，统计表新格式（Do200503）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ScratchDb db({"release_2005_01"});
    const std::vector<std::string> args = {"--backed-up", "--data-source", db.data_source(),
                                           "--data-dir", SampleDir().string()};
    const Outcome o = RunCli(db.dir(), args,
                             std::string("LIBUPGRADE_REGISTRY_ROOT=/nonexistent "
                                         "LIBUPGRADE_STORAGE_FAULT=") +
                                 c.fault);
    EXPECT_EQ(o.code, 1) << o.out;
    EXPECT_EQ(o.out.find("所有处理已完成！"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(c.safe), std::string::npos) << o.err;
    if (*c.undone) {
      EXPECT_NE(o.out.find(std::string("the next run does them again): ") + c.undone + "\n"),
                std::string::npos)
          << o.out;
    }
    const Outcome again = RunCli(db.dir(), args);
    ASSERT_EQ(again.code, 0) << again.err;
    ExpectCompletedWithAccount(again.out);
    auto conn = db.Connect();
    EXPECT_FALSE(
        Rows(*conn, "select vm_mess from ver_manage where vm_mess='ZZ20170109.SFZ'").empty());
  }
}

// Whatever stops a run, its message says once what became of the work it
// was doing: a step undone whole, or a single statement between steps that
// left nothing.
TEST(Cli, AFailureSaysOnceWhatBecameOfTheWork) {
  struct Case {
    const char* env;
    const char* error;  // the cause's own words
    const char* safe;   // what the utility adds, once
  };
  const Case cases[] = {
      // A statement of the first step refused (the 180th statement sent).
      {"LIBUPGRADE_FAULT=fail:180", "injected fault", "本步骤的改动已全部撤销"},
      // The first step's COMMIT: the journal cannot be written.
      {"LIBUPGRADE_STORAGE_FAULT=write:1", "No space left on device", "本步骤在提交时失败"},
      // The sign written between the steps of 2011 and 2015 (the 14th
      // write: one for each step before it).
      {"LIBUPGRADE_STORAGE_FAULT=write:14", "No space left on device", "这条语句没有改变数据库"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env);
    ScratchDb db({"release_2005_01"});
    const std::vector<std::string> args = {"--backed-up", "--data-source", db.data_source(),
                                           "--data-dir", SampleDir().string()};
    const Outcome o = RunCli(db.dir(), args, c.env);
    EXPECT_EQ(o.code, 1) << o.out;
    EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
    const std::size_t at = o.err.find(c.safe);
    EXPECT_NE(at, std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("撤销", o.err.find('\n', at)), std::string::npos) << o.err;
    const Outcome again = RunCli(db.dir(), args);
    ASSERT_EQ(again.code, 0) << again.err;
  }
}

// A second run on an upgraded database changes nothing, whatever release it
// came from: its table of steps that changed the database reads "none".
TEST(Cli, ASecondRunOfEveryReleaseReportsNoChangedStep) {
  const fs::path fixtures = fs::path(LIBUPGRADE_SOURCE_DIR) / "data" / "fixtures";
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(fixtures)) {
    if (entry.path().extension() != ".sql") continue;
    ++seen;
    const std::string fixture = entry.path().filename().string();
    SCOPED_TRACE(fixture);
    ScratchDb db({fixture});
    const std::vector<std::string> args = {"--backed-up", "--data-source", db.data_source(),
                                           "--data-dir", SampleDir().string()};
    const Outcome first = RunCli(db.dir(), args);
    ASSERT_EQ(first.code, 0) << first.err;
    const Outcome second = RunCli(db.dir(), args);
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_NE(second.out.find("Steps that changed the database (statements sent, changes, rows "
                              "changed):\n  none\n"),
              std::string::npos)
        << second.out;
  }
  EXPECT_GE(seen, 5);
}

// --save-connection writes what the connection dialog saves: the data
// source in plain text, the user and the password in the digit encoding,
// in a values file only its owner may read, in a key folder only its owner
// may enter; a file left readable by others is tightened when written.
TEST(Cli, SaveConnectionWritesTheDialogsValuesPrivately) {
  ScratchDb db;
  const fs::path root = db.dir() / "reg";
  const fs::path key = root / "SOFTWARE" / "Quorvant" / "Lib";
  const std::string env = "LIBUPGRADE_REGISTRY_ROOT=" + Quote(root.string());
  const Outcome o =
      RunCli(db.dir(), {"--save-connection", "--data-source", " LibODBC2 ", "--user", "abc"},
             env + " LIBUPGRADE_PASSWORD=abc");
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(Slurp(key / "values.txt"),
            "ODBCNAME=LibODBC2\nUSERNAME=340334043407\nPASSWORD=340334043407\n");
  auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
  EXPECT_EQ(mode(key / "values.txt"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(key), fs::perms::owner_all);

  // An earlier file readable by all, and the password typed at the prompt.
  fs::permissions(key / "values.txt", fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::others_read);
  fs::permissions(key, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  std::ofstream(db.dir() / "pw.txt") << "a\n";
  const Outcome typed =
      RunCli(db.dir(), {"--save-connection", "--data-source", "LibODBC", "--password", "-"},
             env + " <" + Quote((db.dir() / "pw.txt").string()));
  ASSERT_EQ(typed.code, 0) << typed.err;
  EXPECT_EQ(Slurp(key / "values.txt"), "ODBCNAME=LibODBC\nUSERNAME=37073403\nPASSWORD=3403\n");
  EXPECT_EQ(mode(key / "values.txt"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(key), fs::perms::owner_all);

  const Outcome missing = RunCli(db.dir(), {"--save-connection", "--user", "sa"}, env);
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("--data-source"), std::string::npos) << missing.err;
  const Outcome help = RunCli(db.dir(), {"--help"});
  EXPECT_NE(help.out.find("--save-connection"), std::string::npos);
}

}  // namespace
