// A run stopped at any statement, by a kill or by a failing statement, must
// leave the database before or after a whole step, and the next run must end
// with the database an uninterrupted run makes.
//
// Three stops a library meets are checked on their own: a kill in the middle
// of a data fill, a first run without zzm.dat, and a publisher table whose
// key the 2007-03 rebuild cannot make until a duplicate is removed.
//
// The sweep upgrades the pre-2005 database (with the consolidation) with
// libupgrade-cli under LIBUPGRADE_FAULT=kill:N and fail:N, runs it again
// without a fault, and compares the catalogue and every row with those of one
// uninterrupted run (identity values and today's timestamps aside). In CI it
// takes a spread of indexes: the first and last statements of every step,
// every tenth statement, and every statement of the consolidation's first and
// last stretches; LIBUPGRADE_SWEEP=all (tools/fault-sweep.sh) takes every
// index.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "tests/upgrade/fixtures.h"
#include "text/gbk.h"

namespace {

namespace fs = std::filesystem;
using namespace upgrade_check;
using testing_support::BinDir;
using testing_support::SampleDir;
using testing_support::ScratchDb;
using testing_support::Slurp;

constexpr const char* kFixture = "pre2005.sql";

using State = RunState;

struct Exit {
  int status = 0;  // as waitpid gives it
  std::string err;
  bool Ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  bool Killed() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
  bool Failed() const { return WIFEXITED(status) && WEXITSTATUS(status) == 1; }
};

// libupgrade-cli on the database with the given fault ("" for none).
Exit Upgrade(const fs::path& db, const std::string& fault, const fs::path& data_dir,
             const fs::path& log = {}, const std::vector<std::string>& extra = {}) {
  const fs::path err = db.parent_path() / "err.txt";
  std::vector<std::string> args = {(BinDir() / "libupgrade-cli").string(),
                                   "--backed-up",
                                   "--data-source",
                                   "embedded:" + db.string(),
                                   "--data-dir",
                                   data_dir.string()};
  if (!log.empty()) args.insert(args.end(), {"--log", log.string()});
  args.insert(args.end(), extra.begin(), extra.end());
  const pid_t pid = fork();
  if (pid == 0) {
    if (fault.empty())
      unsetenv("LIBUPGRADE_FAULT");
    else
      setenv("LIBUPGRADE_FAULT", fault.c_str(), 1);
    setenv("LIBUPGRADE_REGISTRY_ROOT", "/nonexistent", 1);
    const int null = open("/dev/null", O_WRONLY);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Exit x;
  waitpid(pid, &x.status, 0);
  x.err = Slurp(err);
  return x;
}

// The database files of `from` copied to `to` (which must not be open).
void CopyDb(const fs::path& from, const fs::path& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::path fj = from, tj = to;
  fj += "-journal";
  tj += "-journal";
  std::error_code ec;
  fs::remove(tj, ec);
  if (fs::exists(fj)) fs::copy_file(fj, tj, fs::copy_options::overwrite_existing);
}

// The uninterrupted run: its final state and the step of every statement.
struct Reference {
  State state;
  std::vector<std::string> steps;  // step of statement i+1
  std::vector<std::string> sql;    // its text (UTF-8 as logged, JSON-escaped)
};

std::string JsonField(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const auto p = line.find(key);
  if (p == std::string::npos) return "";
  std::string v;
  for (std::size_t i = p + key.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) v += line[i++];
    v += line[i];
  }
  return v;
}

Reference Uninterrupted(const fs::path& original, const fs::path& dir) {
  const fs::path db = dir / "reference.db";
  CopyDb(original, db);
  const Exit x = Upgrade(db, "", SampleDir(), dir / "reference.log");
  EXPECT_TRUE(x.Ok()) << x.err;
  Reference r;
  r.state = ReadRunState(db);
  std::istringstream log(Slurp(dir / "reference.log"));
  for (std::string line; std::getline(log, line);) {
    r.steps.push_back(JsonField(line, "step"));
    r.sql.push_back(JsonField(line, "sql"));
  }
  return r;
}

// Statement indexes to stop at (1-based).
std::vector<std::int64_t> Indexes(const Reference& r) {
  const auto n = static_cast<std::int64_t>(r.steps.size());
  std::set<std::int64_t> pick;
  const char* all = std::getenv("LIBUPGRADE_SWEEP");
  if (all && std::string(all) == "all") {
    for (std::int64_t i = 1; i <= n; ++i) pick.insert(i);
    return {pick.begin(), pick.end()};
  }
  for (std::int64_t i = 1; i <= n; i += 10) pick.insert(i);
  // First and last two statements of every step (its BEGIN and COMMIT among them).
  for (std::int64_t i = 1; i <= n; ++i) {
    const bool first = i == 1 || r.steps[i - 1] != r.steps[i - 2];
    const bool last = i == n || r.steps[i - 1] != r.steps[i];
    if (first) pick.insert({i, std::min(n, i + 1)});
    if (last) pick.insert({std::max<std::int64_t>(1, i - 1), i});
  }
  // Every statement of the consolidation's first and last stretches.
  std::vector<std::int64_t> consolidation;
  for (std::int64_t i = 1; i <= n; ++i)
    if (r.steps[i - 1] == "Do200503Before") consolidation.push_back(i);
  EXPECT_GT(consolidation.size(), 60u) << "the fixture no longer runs the consolidation";
  for (std::size_t k = 0; k < consolidation.size(); ++k)
    if (k < 30 || k + 30 >= consolidation.size()) pick.insert(consolidation[k]);
  // The statement right after the consolidation, still in the 2005-03 unit.
  if (!consolidation.empty() && consolidation.back() < n) pick.insert(consolidation.back() + 1);
  return {pick.begin(), pick.end()};
}

class FaultSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EveryStopIsFollowedByARunEndingAsAnUninterruptedOne) {
  const std::string kind = GetParam();
  ScratchDb original({kFixture});
  const Reference ref = Uninterrupted(original.path(), original.dir());
  ASSERT_FALSE(ref.steps.empty());
  const std::vector<std::int64_t> indexes = Indexes(ref);
  if (!std::getenv("LIBUPGRADE_SWEEP")) {
    ASSERT_GE(indexes.size(), 100u);
  }

  const fs::path db = original.dir() / "faulted.db";
  int failures = 0;
  for (const std::int64_t n : indexes) {
    const std::string where = kind + ":" + std::to_string(n) + " (" + ref.steps[n - 1] + ": " +
                              ref.sql[n - 1].substr(0, 80) + ")";
    CopyDb(original.path(), db);
    const Exit stopped = Upgrade(db, kind + ":" + std::to_string(n), SampleDir());
    const bool stopped_as_asked =
        kind == "kill"
            ? stopped.Killed()
            : stopped.Failed() && stopped.err.find("injected fault") != std::string::npos;
    const Exit again = Upgrade(db, "", SampleDir());
    std::vector<std::string> diff;
    if (again.Ok()) diff = Differences(ref.state, ReadRunState(db));
    if (stopped_as_asked && again.Ok() && diff.empty()) continue;
    ++failures;
    ADD_FAILURE() << where << ":\n"
                  << (stopped_as_asked ? "" : "  the run did not stop as asked: " + stopped.err)
                  << (again.Ok() ? "" : "  the next run failed: " + again.err) << [&] {
                       std::string s;
                       for (const auto& d : diff) s += "  " + d + "\n";
                       return s;
                     }();
    if (failures >= 10) FAIL() << "stopping after ten failures";
  }
  std::cout << "[ sweep    ] " << kind << ": " << indexes.size() << " of " << ref.steps.size()
            << " statement indexes, " << failures << " failure(s)\n";
}

INSTANTIATE_TEST_SUITE_P(Stops, FaultSweep, ::testing::Values("kill", "fail"),
                         [](const auto& info) { return info.param; });

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// The pre-2005 database, one uninterrupted run of it, and what a stopped run
// is checked against.
class StoppedRun : public ::testing::Test {
 protected:
  StoppedRun() : original_({kFixture}), ref_(Uninterrupted(original_.path(), original_.dir())) {}

  // A fresh copy of the pre-2005 database.
  fs::path Copy(const std::string& name) {
    const fs::path db = original_.dir() / name;
    CopyDb(original_.path(), db);
    return db;
  }
  // Nothing of any step is left: the database is as before the run but for
  // the empty ledger, made before the first step.
  void ExpectUntouched(const fs::path& db) {
    EXPECT_EQ(Joined(Differences(ReadRunState(original_.path()), ReadRunState(db), "ver_manage")),
              "")
        << "the stopped run left part of a step";
  }
  // A run without a fault completes and ends as the uninterrupted one.
  void ExpectNextRunFinishes(const fs::path& db) {
    const Exit again = Upgrade(db, "", SampleDir());
    ASSERT_TRUE(again.Ok()) << again.err;
    EXPECT_EQ(Joined(Differences(ref_.state, ReadRunState(db))), "");
  }

  ScratchDb original_;
  Reference ref_;
};

// Killed after the first row of the cataloguer fill (lib_tiaoma.tm_user
// exists, most copies not yet filled): the consolidation and the 2005-03
// step are undone whole, and the next run fills every copy.
TEST_F(StoppedRun, KillDuringADataFillIsUndoneAndRedoneWhole) {
  std::int64_t fill = 0;
  for (std::size_t i = 0; i < ref_.sql.size() && !fill; ++i)
    if (ref_.sql[i].find("update lib_tiaoma set") != std::string::npos &&
        ref_.sql[i].find("tm_user=") != std::string::npos)
      fill = static_cast<std::int64_t>(i) + 1;
  ASSERT_GT(fill, 0) << "the run no longer fills tm_user";

  const fs::path db = Copy("killed.db");
  ASSERT_TRUE(Upgrade(db, "kill:" + std::to_string(fill), SampleDir()).Killed());
  ExpectUntouched(db);
  ExpectNextRunFinishes(db);
}

// Without zzm.dat the consolidation cannot load the author numbers: the run
// stops naming the file and leaves nothing of the 2005-03 unit (no
// lib_duzhe.dz_tuijian, by which a later run would believe the consolidation
// done). Once the file is there, the next run completes.
TEST_F(StoppedRun, MissingAuthorNumberFileThenPresent) {
  const fs::path partial_data = original_.dir() / "without-zzm";
  fs::create_directories(partial_data);
  for (const char* f : {"other.dat", "MarcRule.txt"})
    fs::copy_file(SampleDir() / f, partial_data / f);

  const fs::path db = Copy("nozzm.db");
  const Exit first = Upgrade(db, "", partial_data);
  EXPECT_TRUE(first.Failed());
  EXPECT_NE(first.err.find("zzm.dat"), std::string::npos) << first.err;
  ExpectUntouched(db);
  ExpectNextRunFinishes(db);
}

// Two publishers under one book-number prefix: the 2007-03 step cannot key
// lib_chuban and is undone whole, bm_isbn included, while the steps before
// it stay done. With the duplicate removed the next run redoes the step and
// lib_chuban gets its key.
TEST_F(StoppedRun, DuplicatePublisherThenRemoved) {
  const fs::path db = Copy("dup.db");
  auto connect = [&] { return db::Connect({"embedded:" + db.string(), "sa", ""}); };
  testing_support::RunScript(*connect(),
                             "insert into lib_chuban(cb_sbookno,cb_publish,cb_pplace) "
                             "values('7-04','另一家出版社','上海')");
  // The checks find the duplicate before anything changes.
  const Exit refused = Upgrade(db, "", SampleDir());
  EXPECT_TRUE(refused.Failed()) << refused.err;
  EXPECT_NE(refused.err.find("lib_chuban"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("'7-04'"), std::string::npos) << refused.err;
  EXPECT_EQ(
      testing_support::Rows(*connect(), "select name from syscolumns where name='dz_tuijian'"),
      std::vector<std::string>{})
      << "the refused run changed the database";
  // Without them the step that meets it fails, and is undone whole.
  const Exit first = Upgrade(db, "", SampleDir(), {}, {"--skip-preflight"});
  EXPECT_TRUE(first.Failed()) << first.err;
  {
    auto c = connect();
    EXPECT_EQ(testing_support::Rows(*c, "select name from syscolumns where name='bm_isbn'"),
              std::vector<std::string>{})
        << "the failed step left its new column";
    EXPECT_EQ(testing_support::Rows(*c, "select name from syscolumns where name='dz_tuijian'"),
              std::vector<std::string>{"dz_tuijian"})
        << "the steps before the failing one were undone too";
    testing_support::RunScript(*c, "delete from lib_chuban where cb_publish='另一家出版社'");
  }
  ExpectNextRunFinishes(db);
  EXPECT_EQ(
      testing_support::Rows(*connect(), "select name from sysindexes where name='PK_lib_chuban'"),
      std::vector<std::string>{"PK_lib_chuban"});
}

}  // namespace
