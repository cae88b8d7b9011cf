// The run sequence of the start button, watched through a recording view: the
// order of the signs, the states of the controls before, during and after a
// run, and what an error leaves behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "db/connection.h"
#include "steps/step_names.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"

namespace {

using testing_support::RecordingView;
using testing_support::Rows;
using testing_support::SampleDir;
using testing_support::ScratchDb;

// Passes every statement to the real connection except the first one that
// contains `fail_on`, which fails as the server would reject it.
class FaultyConnection : public db::Connection {
 public:
  FaultyConnection(db::Connection& inner, std::string fail_on)
      : inner_(inner), fail_on_(std::move(fail_on)) {}
  std::unique_ptr<db::Cursor> Send(const std::string& sql) override {
    if (!fail_on_.empty() && sql.find(fail_on_) != std::string::npos) {
      fail_on_.clear();
      const std::string message = "injected failure";
      Report(sql, 0, false, -1, message);
      throw db::Error(50000, message);
    }
    auto cursor = inner_.Execute(sql);
    Report(sql, 0, true, -1, "");
    return cursor;
  }

 private:
  db::Connection& inner_;
  std::string fail_on_;
};

const char* kInsertSign = "insert into ver_manage(vm_mess)values('";

// Signs recorded through `c`, in order, taken from the statements it sends.
struct SignLog {
  std::vector<std::string> signs;
  void Attach(db::Connection& c, RecordingView* view = nullptr) {
    c.on_statement = [this, view](const db::StatementEvent& e) {
      if (view) view->events.push_back("sql " + e.sql);
      if (e.ok && e.sql.rfind(kInsertSign, 0) == 0) {
        const auto start = std::string_view(kInsertSign).size();
        signs.push_back(e.sql.substr(start, e.sql.find('\'', start) - start));
      }
    };
  }
};

std::ptrdiff_t IndexOf(const std::vector<std::string>& v, const std::string& s) {
  const auto it = std::find(v.begin(), v.end(), s);
  return it == v.end() ? -1 : it - v.begin();
}

std::vector<std::string> Controls(const RecordingView& view) {
  std::vector<std::string> out;
  for (const auto& e : view.events)
    if (e.rfind("dowork ", 0) == 0 || e.rfind("exit ", 0) == 0 || e.rfind("backup ", 0) == 0 ||
        e.rfind("info ", 0) == 0)
      out.push_back(e);
  return out;
}

TEST(RunSequence, SignsInStepOrderAndControlsThroughARun) {
  ScratchDb db({"release_2007_03"});
  auto c = db.Connect();
  const auto signs_before = Rows(*c, "select count(*) from ver_manage");
  RecordingView view;
  SignLog log;
  log.Attach(*c, &view);
  steps::Upgrader up(*c, view, SampleDir());
  up.RunSequence();

  // The run lock first, then the checks, then the ledger check, which comes
  // before the controls are disabled.
  ASSERT_FALSE(view.events.empty());
  EXPECT_NE(view.events[0].find("sp_getapplock"), std::string::npos) << view.events[0];
  EXPECT_GT(IndexOf(view.events, "sql select * from sysobjects where name ='ver_manage'"), 0);
  EXPECT_LT(IndexOf(view.events, "sql select * from sysobjects where name ='ver_manage'"),
            IndexOf(view.events, "dowork disabled"));
  EXPECT_EQ(Controls(view),
            (std::vector<std::string>{"dowork disabled", "exit disabled", "backup disabled",
                                      "backup enabled", "dowork enabled", "exit enabled",
                                      "info 所有处理已完成！"}));
  const std::vector<std::string> tail(view.events.end() - 3, view.events.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"process hidden", "bar hidden", "info 所有处理已完成！"}));
  EXPECT_TRUE(view.do_work_enabled_ && view.exit_enabled_ && view.backup_enabled_);

  // "ZZ20130901.VERUP" sits between the 2011 and the 2015 steps.
  const auto verup = IndexOf(log.signs, "ZZ20130901.VERUP");
  ASSERT_GE(verup, 0);
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(log.signs.size()); ++i) {
    const auto& s = log.signs[i];
    if (s.rfind("ZZ20", 0) != 0 || s == "ZZ20130901.VERUP") continue;
    if (i < verup)
      EXPECT_LE(s.substr(2, 8), "20130901") << s;
    else
      EXPECT_GT(s.substr(2, 8), "20130901") << s;
  }
  EXPECT_GE(IndexOf(log.signs, "ZZ20170109.SFZ"), 0);
  EXPECT_EQ(
      Rows(*c, "select count(*) from ver_manage"),
      std::vector<std::string>{std::to_string(std::stoi(signs_before.at(0)) + log.signs.size())});

  // A second click records nothing and ends the same way.
  RecordingView again;
  SignLog second;
  second.Attach(*c);
  steps::Upgrader up2(*c, again, SampleDir());
  up2.RunSequence();
  EXPECT_TRUE(second.signs.empty()) << second.signs.front();
  EXPECT_EQ(again.events.back(), "info 所有处理已完成！");
}

TEST(RunSequence, PreConsolidationRunsOnlyWhenTickedOrFoundNeeded) {
  for (const bool ticked : {false, true}) {
    ScratchDb db({"release_2007_03"});
    auto c = db.Connect();
    RecordingView view;
    view.before_ = ticked;
    steps::Upgrader up(*c, view, SampleDir());
    std::vector<std::string> steps_seen;
    c->on_statement = [&](const db::StatementEvent&) {
      if (steps_seen.empty() || steps_seen.back() != up.CurrentStep())
        steps_seen.push_back(up.CurrentStep());
    };
    up.RunSequence();
    const auto before = IndexOf(steps_seen, "Do200503Before");
    if (ticked) {
      ASSERT_GE(before, 0);
      EXPECT_LT(before, IndexOf(steps_seen, "Do200503"));
    } else {
      EXPECT_EQ(before, -1);
    }
    EXPECT_EQ(steps_seen.back(), "Do2017_01_09");
    // Every step a run goes through has a title of its own for messages.
    if (ticked) {
      for (const std::string& step : steps_seen) {
        if (step == "run" || step == "preflight") continue;
        EXPECT_NE(steps::StepTitle(step), step) << step << " has no title";
      }
    }
  }
}

TEST(RunSequence, AnErrorInAStepLeavesTheControlsDisabled) {
  ScratchDb db({"release_2007_03"});
  auto real = db.Connect();
  FaultyConnection c(*real, std::string(kInsertSign) + "ZZ20150201.GOODBOOK");
  RecordingView view;
  SignLog log;
  log.Attach(c);
  steps::Upgrader up(c, view, SampleDir());
  EXPECT_THROW(up.RunSequence(), db::Error);
  EXPECT_EQ(Controls(view),
            (std::vector<std::string>{"dowork disabled", "exit disabled", "backup disabled"}));
  EXPECT_FALSE(view.do_work_enabled_ || view.exit_enabled_ || view.backup_enabled_);
  // Signs before the failure stay; none after it.
  ASSERT_FALSE(log.signs.empty());
  EXPECT_EQ(log.signs.back(), "ZZ20130901.VERUP");
  EXPECT_EQ(Rows(*real, "select count(*) from ver_manage where vm_mess like 'ZZ2015%'"),
            std::vector<std::string>{"0"});
}

TEST(RunSequence, AnErrorInTheLedgerCheckLeavesTheWindowReady) {
  ScratchDb db;
  auto real = db.Connect();
  FaultyConnection c(*real, "create table ver_manage");
  RecordingView view;
  view.do_work_enabled_ = true;
  steps::Upgrader up(c, view, SampleDir());
  up.preflight = false;  // they would find no library tables in the empty database
  EXPECT_THROW(up.RunSequence(), db::Error);
  EXPECT_TRUE(Controls(view).empty());
  EXPECT_TRUE(view.do_work_enabled_ && view.exit_enabled_ && view.backup_enabled_);
}

}  // namespace
