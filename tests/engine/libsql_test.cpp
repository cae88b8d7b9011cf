// The libsql shell: options, GO-separated scripts, output and error format.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace {

struct ShellRun {
  int code;
  std::string out;
  std::string err;
};

class LibsqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("libsql_test_" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir_);
    db_ = (dir_ / "lib.db").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  ShellRun Shell(std::vector<std::string> args) {
    const std::filesystem::path err = dir_ / "err.txt";
    args.insert(args.begin(), {"-d", db_});
    testing_support::ChildOptions options;
    options.stderr_file = err;
    ShellRun r;
    const testing_support::ChildExit e =
        testing_support::RunProgram(testing_support::BuiltProgram("libsql"), args, &r.out, options);
    r.code = e.killed ? -1 : e.code;
    std::ifstream in(err, std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
#ifdef _WIN32
    // A Windows console program ends its lines with CR LF.
    for (std::string* s : {&r.out, &r.err})
      for (std::size_t at; (at = s->find("\r\n")) != std::string::npos;) s->erase(at, 1);
#endif
    return r;
  }
  std::string Script(const std::string& body) {
    std::string path = (dir_ / "script.sql").string();
    std::ofstream(path, std::ios::binary) << body;
    return path;
  }

  std::filesystem::path dir_;
  std::string db_;
};

TEST_F(LibsqlTest, ScriptBatchesOutputAndOptions) {
  std::string script = Script(
      "create table lib_jiezhilx (jz_id int, jz_type char(8))\n"
      "go\n"
      "insert into lib_jiezhilx values(6,'教参')\n"
      "insert into lib_jiezhilx values(7,NULL)\n"
      "GO\n");
  ShellRun r = Shell({"-b", "-i", script});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");  // no "rows affected" lines
  r = Shell({"-Q", "select jz_id, jz_type from lib_jiezhilx order by jz_id"});
  EXPECT_EQ(r.out, "jz_id\tjz_type\n6\t教参    \n7\tNULL\n");
  r = Shell({"-h", "-1", "-W", "-s", ",", "-Q",
             "select jz_id, jz_type from lib_jiezhilx where jz_type='教参'"});
  EXPECT_EQ(r.out, "6,教参\n");
}

TEST_F(LibsqlTest, ErrorsGoToStderrAndStopWithB) {
  std::string script = Script(
      "create table t (k int)\n"
      "GO\n"
      "insert into t values(1)\n"
      "select * from nosuch\n"
      "GO\n"
      "insert into t values(2)\n"
      "GO\n");
  ShellRun r = Shell({"-b", "-i", script});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Msg 208, Level 16, State 1, Line 2\nInvalid object name 'nosuch'.\n");
  r = Shell({"-h", "-1", "-Q", "select count(*) from t"});
  EXPECT_EQ(r.out, "1\n");  // the batch after the error did not run
  r = Shell({"-i", script});  // without -b the shell goes on
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("Msg 2714, Level 16, State 1, Line 1\nThere is already an object named 't' in the database.\n"),
            std::string::npos);
  r = Shell({"-h", "-1", "-Q", "select count(*) from t"});
  EXPECT_EQ(r.out, "3\n");
}

// A batch goes on after an error that ends only its statement, so the shell
// prints every error of the batch, each at its own line, up to the one that
// ended the batch.
TEST_F(LibsqlTest, EveryErrorOfTheBatchIsPrinted) {
  std::string script = Script(
      "create table t (k int not null constraint PK_t primary key)\n"
      "GO\n"
      "insert into t values(1)\n"
      "insert into t values(1)\n"
      "insert into t values(2)\n"
      "insert into t values(2)\n"
      "select * from nosuch\n"
      "insert into t values(3)\n"
      "GO\n");
  ShellRun r = Shell({"-i", script});
  EXPECT_EQ(
      r.err,
      "Msg 2627, Level 14, State 1, Line 2\n"
      "Violation of PRIMARY KEY constraint 'PK_t'. Cannot insert duplicate key in object 'dbo.t'. "
      "The duplicate key value is (1).\n"
      "Msg 3621, Level 0, State 1, Line 2\nThe statement has been terminated.\n"
      "Msg 2627, Level 14, State 1, Line 4\n"
      "Violation of PRIMARY KEY constraint 'PK_t'. Cannot insert duplicate key in object 'dbo.t'. "
      "The duplicate key value is (2).\n"
      "Msg 3621, Level 0, State 1, Line 4\nThe statement has been terminated.\n"
      "Msg 208, Level 16, State 1, Line 5\nInvalid object name 'nosuch'.\n");
  r = Shell({"-h", "-1", "-Q", "select k from t"});
  EXPECT_EQ(r.out, "1\n2\n");
}

}  // namespace
