// The checks before a run's first change: a database the pending steps would
// fail on is refused with every problem named and nothing changed, and the
// run after the fix completes; a connection that does not carry GBK is
// refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "steps/preflight.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "text/gbk.h"

namespace {

namespace fs = std::filesystem;
using testing_support::SampleDir;
using testing_support::StepRig;

// The catalogue and the row count of every user table, as text.
std::string State(db::Connection& c) {
  const upgrade_check::Catalogue cat = upgrade_check::ReadCatalogue(c);
  std::string out = upgrade_check::Describe(cat);
  for (const auto& [key, table] : cat.tables)
    out += table.name + " " + testing_support::Rows(c, "select count(*) from " + table.name).at(0) +
           "\n";
  return out;
}

bool Mentions(const std::vector<std::string>& problems, const std::string& utf8) {
  for (const std::string& p : problems)
    if (text::Utf8(p).find(utf8) != std::string::npos) return true;
  return false;
}

TEST(Preflight, RefusesEveryProblemAtOnceThenTheFixedDatabaseUpgrades) {
  // A data folder without MarcRule.txt.
  StepRig rig({"pre2005.sql"});
  const fs::path data = rig.scratch.dir() / "data";
  fs::create_directories(data);
  for (const char* f : {"zzm.dat", "other.dat"}) fs::copy_file(SampleDir() / f, data / f);
  rig.up.ctx.data_dirs = {data};
  rig.Run(
      "insert into lib_chuban(cb_sbookno,cb_publish,cb_pplace) "
      "values('7-04','另一家出版社','上海')\n"
      "create index ix_extra_barcode on lib_jieshu(js_barcode)");
  const std::string before = State(*rig.c);

  std::vector<std::string> problems;
  try {
    rig.up.RunSequence();
    FAIL() << "the run was not refused";
  } catch (const steps::PreflightFailed& e) {
    problems = e.problems();
  }
  EXPECT_EQ(problems.size(), 3u);
  EXPECT_TRUE(Mentions(problems, "lib_chuban 列 cb_sbookno")) << text::Utf8(problems.at(0));
  EXPECT_TRUE(Mentions(problems, "'7-04'"));
  EXPECT_TRUE(Mentions(problems, "ix_extra_barcode"));
  EXPECT_TRUE(Mentions(problems, "MarcRule.txt"));
  // Each names the step that needs it by what it does, its method in brackets.
  EXPECT_TRUE(Mentions(problems, "（升级步骤“2007年12月27日：MARC编目（Do2007_12_27）”需要）"));
  EXPECT_TRUE(Mentions(problems, "（升级步骤“2007年3月：13位书号，出版社表重建（Do200703）”）"));
  EXPECT_EQ(State(*rig.c), before);

  rig.Run(
      "delete from lib_chuban where cb_publish='另一家出版社'\n"
      "drop index lib_jieshu.ix_extra_barcode");
  fs::copy_file(SampleDir() / "MarcRule.txt", data / "MarcRule.txt");
  rig.up.RunSequence();
  EXPECT_EQ(rig.view.events.back(), "info 所有处理已完成！");
  // Nothing is left to check: a second run passes them and changes nothing.
  EXPECT_TRUE(steps::Preflight(rig.up).empty());
}

TEST(Preflight, RowsAndIndexesEachPendingStepWouldMeet) {
  struct Case {
    const char* script;  // run on the pre-2005 database
    const char* named;   // in the one problem found
  } cases[] = {
      {"create index ix_fakuan_id on lib_fakuan(fk_id)", "ix_fakuan_id"},
      // The step drops and remakes its own index on yy_pid; another one stays.
      {"create index ix_yuyue_pid on lib_yuyue(yy_pid)", "lib_yuyue 列 yy_pid"},
  };
  for (const Case& c : cases) {
    StepRig rig({"pre2005.sql"}, SampleDir());
    rig.Run(c.script);
    const std::vector<std::string> problems = steps::Preflight(rig.up);
    ASSERT_EQ(problems.size(), 1u) << c.script;
    EXPECT_TRUE(Mentions(problems, c.named)) << text::Utf8(problems[0]);
  }
}

// A client set to another character set: every byte above 0x80 becomes '?'
// on the way in and on the way out, as FreeTDS does with a Latin client
// charset.
class QuestionMarkConnection : public db::Connection {
 public:
  explicit QuestionMarkConnection(db::Connection& real) : real_(real) {}

 protected:
  std::unique_ptr<db::Cursor> Send(const std::string& sql) override {
    return std::make_unique<Mangled>(real_.Execute(Mangle(sql)));
  }

 private:
  static std::string Mangle(std::string s) {
    for (char& ch : s)
      if (static_cast<unsigned char>(ch) >= 0x80) ch = '?';
    return s;
  }
  class Mangled : public db::Cursor {
   public:
    explicit Mangled(std::unique_ptr<db::Cursor> c) : c_(std::move(c)) {}
    const std::vector<std::string>& Columns() const override { return c_->Columns(); }
    bool Fetch() override {
      if (!c_->Fetch()) return false;
      values_.clear();
      for (std::size_t i = 0; i < c_->Columns().size(); ++i) {
        const auto& v = c_->Value(i);
        values_.push_back(v ? std::optional<std::string>(Mangle(*v)) : std::nullopt);
      }
      return true;
    }
    const std::optional<std::string>& Value(std::size_t i) const override { return values_[i]; }
    std::int64_t RowsAffected() const override { return c_->RowsAffected(); }

   private:
    std::unique_ptr<db::Cursor> c_;
    std::vector<std::optional<std::string>> values_;
  };
  db::Connection& real_;
};

TEST(Preflight, ConnectionThatLosesGbkIsRefusedBothWays) {
  testing_support::ScratchDb db({"release_2015_03"});
  auto real = db.Connect();
  QuestionMarkConnection c(*real);
  testing_support::RecordingView view;
  steps::Upgrader up(c, view, SampleDir());
  const std::vector<std::string> problems = steps::Preflight(up);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_TRUE(Mentions(problems, "3F3F")) << text::Utf8(problems[0]);
  EXPECT_TRUE(Mentions(problems, "GBK/CP936"));
  // Through the real connection the same database passes.
  steps::Upgrader direct(*real, view, SampleDir());
  EXPECT_TRUE(steps::Preflight(direct).empty());
}

}  // namespace
