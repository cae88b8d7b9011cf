// The production path end to end: libupgrade-cli through unixODBC, the FreeTDS
// driver and libsql-server. A whole upgrade must end with the catalogue and
// rows of the embedded run of the same fixture; a wrong password and a data
// source that would not give GBK back are refused with nothing changed; the
// password reaches the login from the environment or a prompt.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "engine/engine.h"
#include "tests/server/server_process.h"
#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "tests/upgrade/fixtures.h"

namespace {

namespace fs = std::filesystem;
using server_test::OdbcConfig;
using server_test::ServerProcess;
using testing_support::BinDir;
using testing_support::SampleDir;
using testing_support::ScratchDb;
using testing_support::Slurp;
using namespace upgrade_check;

struct Exit {
  int code = -1;
  std::string out, err;
};

// libupgrade-cli with args, the environment assignments env, and stdin fed
// from the text `input`.
Exit Cli(const fs::path& dir, const std::vector<std::string>& args,
         const std::vector<std::string>& env = {}, const std::string& input = "") {
  std::ofstream(dir / "in.txt") << input;
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("LIBUPGRADE_REGISTRY_ROOT", "/nonexistent", 1);
    unsetenv("LIBUPGRADE_PASSWORD");
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    const int in = open((dir / "in.txt").c_str(), O_RDONLY);
    const int out = open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<std::string> all = {(BinDir() / "libupgrade-cli").string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Exit x;
  x.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  x.out = Slurp(dir / "out.txt");
  x.err = Slurp(dir / "err.txt");
  return x;
}

using State = RunState;

// The database of a fixture served by libsql-server (login sa/secret), with
// data sources for it: Lib (GBK), LibLatin1 (ISO-8859-1), LibUtf8 (UTF-8).
struct Served {
  explicit Served(const std::string& fixture)
      : db({fixture}),
        before(ReadRunState(db.path())),
        server(db.path(), {"sa:secret"}),
        gbk(odbc.AddDataSource("Lib", server.port())),
        latin1(odbc.AddDataSource("LibLatin1", server.port(), {{"ClientCharset", "ISO-8859-1"}})),
        utf8(odbc.AddDataSource("LibUtf8", server.port(), {{"ClientCharset", "UTF-8"}})) {}
  // Stops the server (the database file is complete after) and reads it.
  State StopAndRead() {
    EXPECT_EQ(server.Stop(), 0) << server.log();
    return ReadRunState(db.path());
  }
  ScratchDb db;
  State before;  // as the fixture made it
  ServerProcess server;
  OdbcConfig odbc;
  std::string gbk, latin1, utf8;  // data source names
};

std::vector<std::string> Upgrade(const std::string& data_source) {
  return {"--backed-up", "--data-source", data_source, "--data-dir", SampleDir().string()};
}

class UpgradeOverTds : public ::testing::TestWithParam<std::string> {};

TEST_P(UpgradeOverTds, EndsAsTheEmbeddedRunOfTheSameFixture) {
  ScratchDb embedded({GetParam()});
  const Exit e = Cli(embedded.dir(), Upgrade("embedded:" + embedded.path().string()));
  ASSERT_EQ(e.code, 0) << e.err;

  Served served(GetParam());
  std::vector<std::string> args = Upgrade(served.gbk);
  args.insert(args.end(), {"--user", "sa", "--password", "secret"});
  const Exit t = Cli(served.db.dir(), args);
  ASSERT_EQ(t.code, 0) << t.err << served.server.log();
  EXPECT_EQ(t.out, e.out) << "the same progress and the same closing message";

  for (const std::string& d : Differences(ReadRunState(embedded.path()), served.StopAndRead()))
    ADD_FAILURE() << GetParam() << ": " << d;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, UpgradeOverTds,
                         ::testing::Values("pre2005.sql", "release_2007_12.sql"),
                         [](const auto& info) { return FixtureTestName(info.param); });

// Through the driver too, the preview reports the rows the run then changes,
// and the backup, written by the server after the preview and before the run,
// opens as the fixture made the database: the preview changed nothing.
TEST(UpgradeOverTdsPreview, ChangesNothingAndTheBackupOpensAsTheDatabaseWas) {
  Served served("release_2007_12.sql");
  const fs::path backup = served.db.dir() / "backup.db";
  std::vector<std::string> dry = {
      "--dry-run", "--data-source", served.gbk,          "--user", "sa", "--password",
      "secret",    "--data-dir",    SampleDir().string()};
  const Exit d = Cli(served.db.dir(), dry);
  ASSERT_EQ(d.code, 0) << d.err << served.server.log();
  std::vector<std::string> run = Upgrade(served.gbk);
  run.erase(run.begin());  // --backup-to stands for --backed-up
  run.insert(run.end(), {"--backup-to", backup.string(), "--user", "sa", "--password", "secret"});
  const Exit r = Cli(served.db.dir(), run);
  ASSERT_EQ(r.code, 0) << r.err << served.server.log();
  const auto tables = [](const std::string& out) { return out.substr(out.find("Rows of every")); };
  ASSERT_NE(d.out.find("Rows of every"), std::string::npos) << d.out;
  ASSERT_NE(r.out.find("Rows of every"), std::string::npos) << r.out;
  EXPECT_EQ(tables(d.out), tables(r.out));
  for (const std::string& diff : Differences(served.before, ReadRunState(backup)))
    ADD_FAILURE() << "the backup differs from the database before the run: " << diff;
}

// A wrong password, and data sources whose character set would turn Chinese
// text into '?' or misread it, are refused before anything changes.
TEST(UpgradeOverTdsRefusals, WrongPasswordAndWrongCharacterSetsChangeNothing) {
  Served served("release_2007_12.sql");
  struct Case {
    std::string data_source, password, message;
  } cases[] = {
      {served.gbk, "wrong", "Login failed for user 'sa'."},
      {served.latin1, "secret", "GBK"},
      // FreeTDS cannot even send the probe's GBK bytes as UTF-8.
      {served.utf8, "secret", "GBK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data_source);
    std::vector<std::string> args = Upgrade(c.data_source);
    args.insert(args.end(), {"--user", "sa", "--password", c.password});
    const Exit x = Cli(served.db.dir(), args);
    EXPECT_EQ(x.code, 1) << x.out << x.err;
    EXPECT_NE(x.err.find(c.message), std::string::npos) << x.err;
  }
  for (const std::string& d : Differences(served.before, served.StopAndRead()))
    ADD_FAILURE() << "the database changed: " << d;
}

// The password need not be on the command line: LIBUPGRADE_PASSWORD or
// --password - (read from standard input when it is not a terminal). Each is
// checked by the server's login; the export only reads the database.
TEST(UpgradeOverTdsPassword, ComesFromTheEnvironmentOrThePrompt) {
  Served served("release_2007_12.sql");
  struct Case {
    std::vector<std::string> args, env;
    std::string input;
    bool accepted;
  } cases[] = {
      {{}, {"LIBUPGRADE_PASSWORD=secret"}, "", true},
      {{}, {"LIBUPGRADE_PASSWORD=wrong"}, "", false},
      {{"--password", "-"}, {}, "secret\n", true},
      {{"--password", "-"}, {"LIBUPGRADE_PASSWORD=secret"}, "wrong\n", false},
      {{"--password", "secret"}, {"LIBUPGRADE_PASSWORD=wrong"}, "", true},
  };
  const fs::path out = served.db.dir() / "export";
  fs::create_directories(out);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + (c.env.empty() ? "" : c.env[0]));
    std::vector<std::string> args = {"--export-zzm", "--data-source", served.gbk,  "--user",
                                     "sa",           "--data-dir",    out.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Exit x = Cli(served.db.dir(), args, c.env, c.input);
    const bool refused = x.err.find("Login failed for user 'sa'.") != std::string::npos;
    EXPECT_EQ(!refused, c.accepted) << x.err;
    if (c.accepted) {
      EXPECT_EQ(x.code, 0) << x.err;
    }
  }
}

// Another copy of the utility holds the run lock (as a first libupgrade-cli
// does for its whole run, from its own session): a second one is refused
// before it changes anything, and runs once the lock is released.
TEST(UpgradeOverTdsRunLock, ASecondCopyIsRefusedWhileTheFirstHoldsTheLock) {
  Served served("release_2007_12.sql");
  std::vector<std::string> args = Upgrade(served.gbk);
  args.insert(args.end(), {"--user", "sa", "--password", "secret"});
  {
    auto first = db::Connect({served.gbk, "sa", "secret"});
    first->Execute(
        "declare @r int\nexec @r = sp_getapplock @Resource = 'libupgrade', @LockMode = "
        "'Exclusive', @LockOwner = 'Session', @LockTimeout = 0");
    const Exit second = Cli(served.db.dir(), args);
    EXPECT_EQ(second.code, 1) << second.out << second.err;
    EXPECT_NE(second.err.find("另一个升级程序正在升级此数据库"), std::string::npos) << second.err;
    first->Execute("exec sp_releaseapplock @Resource = 'libupgrade', @LockOwner = 'Session'");
  }
  const Exit after = Cli(served.db.dir(), args);
  EXPECT_EQ(after.code, 0) << after.err;
}

// The storage fault hook for the server started while it lives.
class ServerFault {
 public:
  explicit ServerFault(const char* plan) { setenv("LIBUPGRADE_STORAGE_FAULT", plan, 1); }
  ~ServerFault() { unsetenv("LIBUPGRADE_STORAGE_FAULT"); }
  ServerFault(const ServerFault&) = delete;
  ServerFault& operator=(const ServerFault&) = delete;
};

// A server killed in the middle of a step: the utility's last message names
// the lost connection, the step, the server's rollback of it and the next
// run; the count it cannot make is said once; the step is not listed as
// changing the database; a run against the restarted server finishes.
TEST(UpgradeOverTdsLostConnection, AKilledServerIsNamedWithTheStepAndTheNextRunFinishes) {
  ScratchDb db({"release_2005_01.sql"});
  OdbcConfig odbc;
  std::vector<std::string> login = {"--user", "sa", "--password", "secret"};
  {
    // The first write of the server's journal is the first step's COMMIT
    // (the fixture has its ledger): the server dies there.
    std::unique_ptr<ServerProcess> server;
    {
      ServerFault fault("kill-write:1");
      server = std::make_unique<ServerProcess>(db.path(), std::vector<std::string>{"sa:secret"});
    }
    std::vector<std::string> args = Upgrade(odbc.AddDataSource("Lib", server->port()));
    args.insert(args.end(), login.begin(), login.end());
    const Exit x = Cli(db.dir(), args);
    EXPECT_EQ(x.code, 1) << x.out << x.err;
    const std::size_t lost = x.err.rfind(
        "与数据库服务器的连接在执行升级步骤“2005年3月：志愿者管理，统计表新格式（Do200503）”"
        "时中断了");
    ASSERT_NE(lost, std::string::npos) << x.err;
    const std::string last = x.err.substr(lost);
    EXPECT_NE(last.find("服务器会撤销这一步尚未提交的事务"), std::string::npos) << last;
    EXPECT_NE(last.find("会重新执行这一步"), std::string::npos) << last;
    const std::size_t uncounted = x.err.find("运行后的行数无法清点");
    ASSERT_NE(uncounted, std::string::npos) << x.err;
    EXPECT_LT(uncounted, lost) << "the lost connection is the last message";
    EXPECT_EQ(x.err.find("运行后的行数无法清点", uncounted + 1), std::string::npos) << x.err;
    EXPECT_EQ(x.err.find("could not be counted after the run:"), std::string::npos) << x.err;
    const std::size_t undone = x.out.find("Steps undone");
    ASSERT_NE(undone, std::string::npos) << x.out;
    EXPECT_EQ(x.out.substr(0, undone).find("（Do200503）"), std::string::npos) << x.out;
  }
  ServerProcess again(db.path(), {"sa:secret"});
  std::vector<std::string> args = Upgrade(odbc.AddDataSource("Lib", again.port()));
  args.insert(args.end(), login.begin(), login.end());
  const Exit y = Cli(db.dir(), args);
  EXPECT_EQ(y.code, 0) << y.err;
  EXPECT_NE(y.out.find("所有处理已完成！"), std::string::npos) << y.out;
}

// libsql-server stopped when its database file cannot be written says so and
// exits non-zero; the committed changes are in the journal for the next
// opening.
TEST(UpgradeOverTdsServerStop, AFinalCheckpointThatFailsIsAnErrorExit) {
  ScratchDb db({"release_2005_01.sql"});
  {
    ServerFault fault("checkpoint");
    {
      // A change kept in the journal only: this closing's checkpoint fails.
      auto d = engine::Database::open(db.path().string(), engine::Database::OpenMode::MustExist);
      d->execute("insert into ver_manage(vm_mess) values('ZZ.JOURNAL')");
    }
    ServerProcess server(db.path(), {"sa:secret"});
    EXPECT_NE(server.Stop(), 0) << server.log();
    EXPECT_NE(server.log().find("the database file could not be written"), std::string::npos)
        << server.log();
    EXPECT_NE(server.log().find("kept in the journal"), std::string::npos) << server.log();
  }
  auto d = engine::Database::open(db.path().string(), engine::Database::OpenMode::MustExist);
  const auto r = d->execute("select count(*) from ver_manage where vm_mess='ZZ.JOURNAL'");
  EXPECT_EQ(*r[0].rows[0][0], "1");
}

}  // namespace
