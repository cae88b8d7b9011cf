// The upgrade window's behaviour, written once and run against every front
// end: the toolkit-free core with a recording view, the Qt window, the native
// Windows window. A front end is a class Front with
//
//   explicit Front(const std::vector<std::string>& fixtures);
//       the window, shown, on a scratch database built from the fixtures,
//       with the sample data files
//   db::Connection& Db();
//   void Click(const char* control);          a user's click on a button or box
//   bool Enabled(const char*), Visible(const char*), Checked(const char*);
//   void Key(bool down, const char* key, Mods held);
//       a key going down or up ("F1", "F2", "F3", "A", "Ctrl", "Alt",
//       "Shift"), with the modifiers the platform reports with the event
//   void CloseSoon();     the close box clicked; taken at the next pass of
//                         the message queue
//   bool IsOpen();
//   std::string CurrentStep();                 the step now running
//   void Reopen();        a new window on the same connection
//   std::vector<Box> Boxes();                  the message boxes so far
//   void AnswerYes(bool); void OnBox(std::function<void()>);
//
// The including program instantiates the suite:
//   INSTANTIATE_TYPED_TEST_SUITE_P(Qt, UpLibMainBehaviour, QtFront);
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/core/texts.h"
#include "db/connection.h"
#include "tests/support/support.h"

namespace behaviour {

struct Mods {
  bool ctrl = false, alt = false, shift = false;
};

struct Box {
  enum Kind { kInformation, kQuestion, kError } kind;
  std::string text;  // UTF-8
};

template <class Front>
class UpLibMainBehaviour : public ::testing::Test {};
TYPED_TEST_SUITE_P(UpLibMainBehaviour);

template <class Front>
bool Enabled(Front& f, bool dowork, bool exit, bool backup) {
  return f.Enabled("btDoWork") == dowork && f.Enabled("btExit") == exit &&
         f.Enabled("cbBackUp") == backup;
}

TYPED_TEST_P(UpLibMainBehaviour, StartsWaitingAndTheBackupBoxGovernsTheStartButton) {
  TypeParam f({});
  EXPECT_TRUE(Enabled(f, false, true, true));
  EXPECT_FALSE(f.Checked("cbBackUp"));
  EXPECT_FALSE(f.Checked("cbBefore"));
  EXPECT_TRUE(f.Visible("lbProcess"));
  for (const char* hidden : {"pBar", "lbNum", "ckbDel", "btCrtPrt", "btExpZZM"})
    EXPECT_FALSE(f.Visible(hidden)) << hidden;

  f.Click("cbBackUp");
  EXPECT_TRUE(Enabled(f, true, true, true));
  f.Click("cbBackUp");
  EXPECT_TRUE(Enabled(f, false, true, true));
}

// Only Ctrl+Alt+F1 and Ctrl+Alt+F2 reveal the hidden controls, however the
// platform delivers the chord; nothing reveals btExpZZM.
TYPED_TEST_P(UpLibMainBehaviour, OnlyCtrlAltF1AndCtrlAltF2RevealTheHiddenControls) {
  const Mods none, ctrl{.ctrl = true}, alt{.alt = true}, ctrl_alt{.ctrl = true, .alt = true},
      all{.ctrl = true, .alt = true, .shift = true}, ctrl_shift{.ctrl = true, .shift = true};
  struct Step {
    bool down;
    const char* key;
    Mods held;
  };
  struct Case {
    const char* name;
    std::vector<Step> keys;
    bool del, crtprt;
  } cases[] = {
      {"Ctrl+Alt+F1", {{false, "F1", ctrl_alt}}, true, false},
      {"Ctrl+Alt+F2", {{false, "F2", ctrl_alt}}, false, true},
      {"Ctrl+Shift+Alt+F1", {{false, "F1", all}}, false, false},
      {"Alt+F1", {{false, "F1", alt}}, false, false},
      {"Ctrl+F1", {{false, "F1", ctrl}}, false, false},
      {"F1", {{false, "F1", none}}, false, false},
      {"Ctrl+Shift+F2", {{false, "F2", ctrl_shift}}, false, false},
      {"Ctrl+Alt+F3", {{false, "F3", ctrl_alt}}, false, false},
      // The display server swallowed F1's press; Ctrl and Alt came up first.
      {"swallowed press",
       {{true, "Ctrl", none},
        {true, "Alt", ctrl},
        {false, "Ctrl", ctrl_alt},
        {false, "Alt", alt},
        {false, "F1", none}},
       true,
       false},
      {"F1 pressed and released after Ctrl+Alt",
       {{true, "Ctrl", none},
        {true, "Alt", ctrl},
        {false, "Ctrl", ctrl_alt},
        {false, "Alt", alt},
        {true, "F1", none},
        {false, "F1", none}},
       false,
       false},
      {"another key between Ctrl+Alt and F2's release",
       {{true, "Alt", none},
        {true, "Ctrl", alt},
        {true, "A", ctrl_alt},
        {false, "A", ctrl_alt},
        {false, "Ctrl", ctrl_alt},
        {false, "Alt", alt},
        {false, "F2", none}},
       false,
       false},
      {"Ctrl+Alt+F2 down, released after them",
       {{true, "Ctrl", none},
        {true, "Alt", ctrl},
        {true, "F2", ctrl_alt},
        {false, "Ctrl", ctrl_alt},
        {false, "Alt", alt},
        {false, "F2", none}},
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TypeParam f({});
    for (const Step& s : c.keys) f.Key(s.down, s.key, s.held);
    EXPECT_EQ(f.Visible("ckbDel"), c.del);
    EXPECT_EQ(f.Visible("btCrtPrt"), c.crtprt);
    EXPECT_FALSE(f.Visible("btExpZZM"));
  }
}

TYPED_TEST_P(UpLibMainBehaviour, StatisticsButtonCreatesTheTablesSilently) {
  TypeParam f({});
  f.Key(false, "F2", {.ctrl = true, .alt = true});
  ASSERT_TRUE(f.Visible("btCrtPrt"));
  f.Click("btCrtPrt");
  f.Click("btCrtPrt");
  EXPECT_EQ(testing_support::Rows(
                f.Db(), "select name from sysobjects where name like 'lib_prttab4%' order by name"),
            (std::vector<std::string>{"lib_prttab4anew", "lib_prttab4new"}));
  EXPECT_TRUE(f.Boxes().empty());
  EXPECT_TRUE(Enabled(f, false, true, true));
}

// A complete run ends Ready with the completion box, the progress label and
// bar hidden; a second run in the same session shows its progress label
// again, records no new sign and ends the same way.
TYPED_TEST_P(UpLibMainBehaviour, CompleteRunEndsReadyWithTheCompletionBoxAndCanBeRepeated) {
  TypeParam f({"release_2007_03.sql"});
  bool ready_at_box = false, labels_hidden_at_box = false;
  f.OnBox([&] {
    ready_at_box = Enabled(f, true, true, true);
    labels_hidden_at_box = !f.Visible("lbProcess") && !f.Visible("pBar");
  });
  f.Click("cbBackUp");
  f.Click("btDoWork");

  auto boxes = f.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, Box::kInformation);
  EXPECT_EQ(boxes[0].text, app::texts::kAllDone);
  EXPECT_TRUE(ready_at_box);
  EXPECT_TRUE(labels_hidden_at_box);
  const auto signs = testing_support::Rows(f.Db(), "select vm_mess from ver_manage");
  for (const char* sign : {"ZZ20130901.VERUP", "ZZ20170109.SFZ"})
    EXPECT_NE(std::find(signs.begin(), signs.end(), sign), signs.end()) << sign;

  std::vector<bool> label_shown;
  f.Db().on_statement = [&](const db::StatementEvent&) {
    label_shown.push_back(f.Visible("lbProcess"));
  };
  f.Click("btDoWork");
  f.Db().on_statement = nullptr;

  boxes = f.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, app::texts::kAllDone);
  ASSERT_FALSE(label_shown.empty());
  EXPECT_TRUE(label_shown.back()) << "the second run's progress label stayed hidden";
  EXPECT_EQ(testing_support::Rows(f.Db(), "select vm_mess from ver_manage"), signs);
  EXPECT_TRUE(Enabled(f, true, true, true));
}

// A statement the server rejects ends the run in the error box with the
// server's own message, and the window stays Stopped.
TYPED_TEST_P(UpLibMainBehaviour, RejectedStatementLeavesTheWindowStoppedWithTheServerMessage) {
  TypeParam f({"release_2007_03.sql"});
  testing_support::Rows(f.Db(), "drop table lib_people");
  std::string last_error;
  bool last_failed = false;
  f.Db().on_statement = [&](const db::StatementEvent& e) {
    if (e.sql == "if @@trancount > 0 rollback transaction") return;  // the step undone
    last_failed = !e.ok;
    last_error = e.error;
  };
  f.Click("cbBackUp");
  f.Click("btDoWork");
  f.Db().on_statement = nullptr;

  ASSERT_TRUE(last_failed) << "the run did not stop at a failing statement";
  const auto boxes = f.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, Box::kError);
  EXPECT_NE(boxes[0].text.find("lib_people"), std::string::npos) << boxes[0].text;
  EXPECT_TRUE(Enabled(f, false, false, false));
}

// Closing the window during a run asks; Yes rolls the step in progress back
// and closes the window without the completion box, and the next run carries
// on from that step; No carries on to the end.
TYPED_TEST_P(UpLibMainBehaviour, ClosingDuringARunAsksAndYesUndoesOnlyTheStepInProgress) {
  using testing_support::Rows;
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "yes" : "no");
    TypeParam f({"pre2005.sql"});
    const auto books = Rows(f.Db(), "select bm_code,bm_bookid from lib_bianma order by bm_code");
    f.AnswerYes(yes);
    std::string step_asked;
    f.OnBox([&] {
      if (f.Boxes().back().kind == Box::kQuestion) step_asked = f.CurrentStep();
    });
    bool closed = false;
    f.Db().on_statement = [&](const db::StatementEvent& e) {
      // Do200703 has begun converting book numbers: the close box is clicked,
      // and the step's next pass of the message queue takes the click.
      if (!closed && e.sql == "update lib_bianma set bm_isbn=bm_bookid") {
        closed = true;
        f.CloseSoon();
      }
    };
    f.Click("cbBackUp");
    f.Click("btDoWork");
    f.Db().on_statement = nullptr;

    ASSERT_TRUE(closed);
    auto boxes = f.Boxes();
    ASSERT_GE(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, app::texts::kLeaveQuestion);
    EXPECT_EQ(boxes[0].kind, Box::kQuestion);
    EXPECT_EQ(step_asked, "Do200703");
    if (yes) {
      EXPECT_EQ(boxes.size(), 1u) << "no completion box after leaving";
      EXPECT_FALSE(f.IsOpen());
      // The steps before Do200703 (the consolidation among them) stay done;
      // nothing of Do200703 is left.
      EXPECT_FALSE(Rows(f.Db(), "select name from sysobjects where name='lib_prtblank'").empty());
      EXPECT_FALSE(Rows(f.Db(), "select name from syscolumns where name='fk_type'").empty());
      EXPECT_TRUE(Rows(f.Db(), "select name from sysobjects where name='lib_card_bars'").empty());
      EXPECT_TRUE(Rows(f.Db(), "select name from syscolumns where name='bm_isbn'").empty());
      EXPECT_EQ(Rows(f.Db(), "select bm_code,bm_bookid from lib_bianma order by bm_code"), books);
      // The next run carries on from Do200703.
      f.Reopen();
      f.Click("cbBackUp");
      f.Click("btDoWork");
      boxes = f.Boxes();
      ASSERT_EQ(boxes.size(), 2u);
      EXPECT_EQ(boxes[1].text, app::texts::kAllDone);
      EXPECT_FALSE(Rows(f.Db(), "select name from syscolumns where name='bm_isbn'").empty());
    } else {
      ASSERT_EQ(boxes.size(), 2u);
      EXPECT_EQ(boxes[1].text, app::texts::kAllDone);
      EXPECT_TRUE(f.IsOpen());
      EXPECT_TRUE(Enabled(f, true, true, true));
      EXPECT_FALSE(Rows(f.Db(), "select name from syscolumns where name='bm_isbn'").empty());
    }
  }
}

REGISTER_TYPED_TEST_SUITE_P(UpLibMainBehaviour, StartsWaitingAndTheBackupBoxGovernsTheStartButton,
                            OnlyCtrlAltF1AndCtrlAltF2RevealTheHiddenControls,
                            StatisticsButtonCreatesTheTablesSilently,
                            CompleteRunEndsReadyWithTheCompletionBoxAndCanBeRepeated,
                            RejectedStatementLeavesTheWindowStoppedWithTheServerMessage,
                            ClosingDuringARunAsksAndYesUndoesOnlyTheStepInProgress);

}  // namespace behaviour
