// libupgrade-cli's account of a run on the release fixtures: the preview
// (--dry-run) leaves the database as it was and tells the same steps and row
// changes the real run then makes; the report of every full upgrade loses no
// row and names the step behind every by-design verdict; --backup-to leaves a
// copy that opens as the database was before the run. A preview stopped by a
// kill or a failure leaves the database as it was too.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "tests/upgrade/fixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace upgrade_check;
using testing_support::BinDir;
using testing_support::SampleDir;
using testing_support::ScratchDb;
using testing_support::Slurp;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Outcome {
  int code = -1;  // exit status; -1 when killed
  std::string out, err;
};

// libupgrade-cli on the scratch database with the sample data files.
Outcome Cli(const ScratchDb& db, std::vector<std::string> args, const std::string& fault = "") {
  args.insert(args.end(), {"--data-source", db.data_source(), "--data-dir", SampleDir().string()});
  std::string cmd = "LIBUPGRADE_REGISTRY_ROOT=/nonexistent LIBUPGRADE_FAULT=" + Quote(fault) + " " +
                    Quote((BinDir() / "libupgrade-cli").string());
  for (const auto& a : args) cmd += " " + Quote(a);
  const fs::path out = db.dir() / "out.txt", err = db.dir() / "err.txt";
  cmd += " >" + Quote(out.string()) + " 2>" + Quote(err.string());
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

// The lines of the output from the one starting with `from` up to the next
// line that does not start with a blank.
std::string Block(const std::string& out, const std::string& from) {
  const auto p = out.find("\n" + from);
  if (p == std::string::npos) return "";
  std::istringstream in(out.substr(p + 1));
  std::string block, line;
  std::getline(in, line);
  while (std::getline(in, line) && line.rfind("  ", 0) == 0) block += line + "\n";
  return block;
}

std::vector<std::string> Args(const std::string& fixture, std::vector<std::string> more) {
  if (fixture == "pre2005.sql") more.push_back("--before");
  return more;
}

class Account : public ::testing::TestWithParam<std::string> {};

TEST_P(Account, PreviewChangesNothingAndTellsWhatTheRunThenDoes) {
  const std::string fixture = GetParam();
  if (!fs::exists(FixturePath(fixture))) GTEST_SKIP() << fixture << " is not there";
  ScratchDb db({fixture});
  const RunState before = ReadRunState(db.path());
  const fs::path dry_json = db.dir() / "dry.json", real_json = db.dir() / "real.json";
  const fs::path backup = db.dir() / "backup.db";

  const Outcome dry = Cli(db, Args(fixture, {"--dry-run", "--report", dry_json.string()}));
  ASSERT_EQ(dry.code, 0) << dry.err;
  EXPECT_NE(dry.out.find("every change was rolled back"), std::string::npos) << dry.out;
  for (const std::string& d : Differences(before, ReadRunState(db.path())))
    ADD_FAILURE() << "the preview changed the database: " << d;

  const Outcome real =
      Cli(db, Args(fixture, {"--backup-to", backup.string(), "--report", real_json.string()}));
  ASSERT_EQ(real.code, 0) << real.err;
  // The same steps, statements and rows, and the same account of every table.
  const std::string dry_steps = Block(dry.out, "Steps that would change");
  EXPECT_NE(dry_steps.find("Do2017_01_09"), std::string::npos) << dry.out;
  EXPECT_EQ(dry_steps, Block(real.out, "Steps that changed"));
  EXPECT_EQ(Block(dry.out, "Rows of every table"), Block(real.out, "Rows of every table"));
  const std::string report = Slurp(real_json);
  EXPECT_EQ(Slurp(dry_json), report);

  // Nothing lost; every by-design verdict names its step.
  EXPECT_NE(report.find("\"lost_rows\":0}"), std::string::npos) << report;
  EXPECT_EQ(report.find("\"verdict\":\"lost\""), std::string::npos) << report;
  const std::regex entry("\\{[^{}]*\\}");
  int entries = 0;
  for (auto it = std::sregex_iterator(report.begin(), report.end(), entry);
       it != std::sregex_iterator(); ++it, ++entries) {
    const std::string e = it->str();
    EXPECT_EQ(e.find("by design") != std::string::npos, e.find("\"by\":\"Do") != std::string::npos)
        << e;
  }
  EXPECT_GT(entries, 40) << report;

  // The backup opens as the database was before the run.
  for (const std::string& d : Differences(before, ReadRunState(backup)))
    ADD_FAILURE() << "the backup differs from the database before the run: " << d;
}

INSTANTIATE_TEST_SUITE_P(ReleaseFixtures, Account, ::testing::ValuesIn(ReleaseFixtures()),
                         [](const auto& info) { return FixtureTestName(info.param); });

TEST(AccountOfTheConsolidation, NamesTheTablesEmptiedOnPurpose) {
  ScratchDb db({"pre2005.sql"});
  const fs::path json = db.dir() / "r.json";
  const Outcome run =
      Cli(db, {"--backed-up", "--before", "--delete-old-author-tables", "--report", json.string()});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string report = Slurp(json);
  // The print work table of the old layout is replaced empty.
  const std::regex shrunk(
      "\\{\"name\":\"lib_prtdowork\",\"before\":[1-9][0-9]*,\"after\":0,"
      "\"verdict\":\"shrunk by design\",\"by\":\"Do200503Before\"\\}");
  EXPECT_TRUE(std::regex_search(report, shrunk)) << report;
  EXPECT_NE(report.find("\"lost_rows\":0}"), std::string::npos) << report;
}

// A preview stopped anywhere (killed, or failing at a statement) leaves the
// database as it was, and a real run afterwards completes.
TEST(Preview, StoppedAnywhereLeavesTheDatabaseAsItWas) {
  ScratchDb db({"release_2007_03.sql"});
  const RunState before = ReadRunState(db.path());
  const fs::path log = db.dir() / "dry.log";
  ASSERT_EQ(Cli(db, {"--dry-run", "--log", log.string()}).code, 0);
  std::int64_t total = 0;
  std::istringstream lines(Slurp(log));
  for (std::string l; std::getline(lines, l);) ++total;
  ASSERT_GT(total, 100);
  // Early in the steps, in the middle, and at the counting and roll-back
  // after the last step.
  for (const std::int64_t n : {total / 4, total / 2, total - 3, total}) {
    for (const std::string kind : {"kill", "fail"}) {
      const std::string fault = kind + ":" + std::to_string(n);
      const Outcome stopped = Cli(db, {"--dry-run"}, fault);
      EXPECT_NE(stopped.code, 0) << fault;
      for (const std::string& d : Differences(before, ReadRunState(db.path())))
        ADD_FAILURE() << fault << ": " << d;
    }
  }
  EXPECT_EQ(Cli(db, {"--backed-up"}).code, 0);
}

TEST(Preview, AFailingStepIsReportedAndUndone) {
  ScratchDb db({"release_2005_01.sql"});
  // Two publishers under one prefix: the 2007-03 rebuild of lib_chuban fails
  // on its new key when the checks before the run are skipped.
  {
    auto c = db.Connect();
    c->Execute("insert into lib_chuban(cb_sbookno) select top 1 cb_sbookno from lib_chuban");
  }
  const RunState before = ReadRunState(db.path());
  const Outcome dry = Cli(db, {"--dry-run", "--skip-preflight"});
  EXPECT_EQ(dry.code, 1);
  EXPECT_NE(dry.err.find("The run would stop here"), std::string::npos) << dry.err;
  EXPECT_NE(dry.err.find("PRIMARY KEY"), std::string::npos) << dry.err;
  for (const std::string& d : Differences(before, ReadRunState(db.path()))) ADD_FAILURE() << d;
}

TEST(Backup, AFailedBackupStopsTheRunBeforeAnyChange) {
  ScratchDb db({"release_2007_12.sql"});
  const RunState before = ReadRunState(db.path());
  const Outcome run = Cli(db, {"--backup-to", (db.dir() / "no" / "such" / "dir.db").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("the backup to"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("backup device"), std::string::npos) << run.err;
  for (const std::string& d : Differences(before, ReadRunState(db.path()))) ADD_FAILURE() << d;
}

}  // namespace
