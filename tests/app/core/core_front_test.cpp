// The toolkit-free core of the desktop program, driven through views that
// record what a window would show: the shared behaviour of the upgrade window,
// the connection dialog's rules and the start-up sequence.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/core/db_para.h"
#include "app/core/layout.h"
#include "app/core/start_mess.h"
#include "app/core/startup.h"
#include "app/core/texts.h"
#include "app/core/up_lib_main.h"
#include "tests/app/behaviour/up_lib_main_behaviour.h"
#include "tests/support/support.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace {

using behaviour::Box;

// The upgrade window as the core sees it: the stored layout's initial
// states, changed only by what the core does.
class RecordingWindow : public app::UpLibMainView {
 public:
  RecordingWindow() {
    for (const auto& c : app::layout::kUpLibMain.controls) {
      visible[c.name] = c.visible;
      enabled[c.name] = c.enabled;
      checked[c.name] = false;
    }
  }
  std::map<std::string, bool> visible, enabled, checked;
  std::vector<Box> boxes;
  bool answer_yes = false;
  std::function<void()> on_box;
  std::function<void()> on_pump;  // one pass of the message queue
  bool open = true;
  app::UpLibMainCore* core = nullptr;

  void SetProcessText(std::string_view) override {}
  void SetProcessVisible(bool v) override { visible["lbProcess"] = v; }
  void SetBarVisible(bool v) override { visible["pBar"] = v; }
  void SetBarPosition(int p) override { bar_ = p; }
  int BarPosition() const override { return bar_; }
  void SetNumText(std::string_view) override {}
  void SetNumVisible(bool v) override { visible["lbNum"] = v; }
  bool BeforeChecked() const override { return checked.at("cbBefore"); }
  void SetBeforeChecked(bool c) override { checked["cbBefore"] = c; }
  bool DeleteOldChecked() const override { return checked.at("ckbDel"); }
  void SetDeleteOldChecked(bool c) override { checked["ckbDel"] = c; }
  bool BackUpChecked() const override { return checked.at("cbBackUp"); }
  void SetDoWorkEnabled(bool e) override { enabled["btDoWork"] = e; }
  void SetExitEnabled(bool e) override { enabled["btExit"] = e; }
  void SetBackUpEnabled(bool e) override { enabled["cbBackUp"] = e; }
  void Repaint() override {}
  void ProcessMessages() override {
    if (!on_pump) return;
    auto pump = std::move(on_pump);
    on_pump = nullptr;
    pump();
  }
  void ShowInformation(std::string_view gbk) override {
    Record(Box::kInformation, text::Utf8(gbk));
  }
  void Reveal(app::HiddenControl c) override {
    visible[c == app::HiddenControl::kCkbDel ? "ckbDel" : "btCrtPrt"] = true;
  }
  bool AskYesNo(std::string_view utf8) override {
    Record(Box::kQuestion, std::string(utf8));
    return answer_yes;
  }
  void ShowError(std::string_view utf8) override { Record(Box::kError, std::string(utf8)); }
  void CloseWindow() override {
    if (core->CloseQuery()) open = false;
  }

 private:
  void Record(Box::Kind kind, std::string text) {
    boxes.push_back({kind, std::move(text)});
    if (on_box) on_box();
  }
  int bar_ = 0;
};

class CoreFront {
 public:
  explicit CoreFront(const std::vector<std::string>& fixtures) : scratch_(fixtures) {
    c_ = scratch_.Connect();
    Reopen();
  }
  db::Connection& Db() { return *c_; }
  // A click reaches a control only when it is shown and enabled; a check box
  // changes its tick first.
  void Click(const char* control) {
    const std::string n = control;
    if (!w_->visible.at(n) || !w_->enabled.at(n)) return;
    if (n == "cbBackUp" || n == "cbBefore" || n == "ckbDel") {
      w_->checked[n] = !w_->checked[n];
      if (n == "cbBackUp") core_->cbBackUpClick();
    } else if (n == "btDoWork") {
      core_->btDoWorkClick();
    } else if (n == "btExit") {
      core_->btExitClick();
    } else if (n == "btCrtPrt") {
      core_->btCrtPrtClick();
    } else if (n == "btExpZZM") {
      core_->btExpZZMClick();
    }
  }
  bool Enabled(const char* c) { return w_->enabled.at(c); }
  bool Visible(const char* c) { return w_->visible.at(c); }
  bool Checked(const char* c) { return w_->checked.at(c); }
  // The core takes, for a modifier's own event, the modifiers held after it
  // (as Qt and Windows report them).
  void Key(bool down, const char* key, behaviour::Mods held) {
    const std::string k = key;
    if (k == "Ctrl") held.ctrl = down;
    if (k == "Alt") held.alt = down;
    if (k == "Shift") held.shift = down;
    app::ChordKeyEvent e{k == "F1"                                   ? app::ChordKeyEvent::kF1
                         : k == "F2"                                 ? app::ChordKeyEvent::kF2
                         : k == "Ctrl" || k == "Alt" || k == "Shift" ? app::ChordKeyEvent::kModifier
                                                                     : app::ChordKeyEvent::kOther,
                         held.ctrl, held.alt, held.shift, false};
    if (down) {
      core_->FormKeyDown(e);
    } else {
      core_->FormKeyUp(e);
    }
  }
  void CloseSoon() {
    w_->on_pump = [this] { w_->CloseWindow(); };
  }
  bool IsOpen() { return w_->open; }
  std::string CurrentStep() { return core_->Upgrader().CurrentStep(); }
  void Reopen() {
    auto boxes = w_ ? w_->boxes : std::vector<Box>{};
    auto answer = w_ && w_->answer_yes;
    auto on_box = w_ ? w_->on_box : nullptr;
    core_.reset();
    w_ = std::make_unique<RecordingWindow>();
    w_->boxes = boxes;
    w_->answer_yes = answer;
    w_->on_box = on_box;
    core_ =
        std::make_unique<app::UpLibMainCore>(*c_, *w_, std::vector{testing_support::SampleDir()});
    w_->core = core_.get();
  }
  std::vector<Box> Boxes() { return w_->boxes; }
  void AnswerYes(bool yes) { w_->answer_yes = yes; }
  void OnBox(std::function<void()> f) { w_->on_box = std::move(f); }

 private:
  testing_support::ScratchDb scratch_;
  std::unique_ptr<db::Connection> c_;
  std::unique_ptr<RecordingWindow> w_;
  std::unique_ptr<app::UpLibMainCore> core_;
};

}  // namespace

namespace behaviour {
INSTANTIATE_TYPED_TEST_SUITE_P(Core, UpLibMainBehaviour, CoreFront);
}  // namespace behaviour

namespace {

// The dialog's rules on a recording view.
struct RecordingDialog : app::DbParaView {
  std::string caption;
  std::map<app::ParamEdit, std::string> edits;
  bool group = false, closed = false;
  std::vector<Box> boxes;

  void SetCaption(std::string_view utf8) override { caption = utf8; }
  std::string EditText(app::ParamEdit e) const override {
    auto it = edits.find(e);
    return it == edits.end() ? "" : it->second;
  }
  void SetEditText(app::ParamEdit e, std::string_view utf8) override { edits[e] = utf8; }
  void ShowGroup() override { group = true; }
  void ShowCause(std::string_view utf8) override { cause = utf8; }
  std::string cause;
  void ShowInformation(std::string_view utf8) override {
    boxes.push_back({Box::kInformation, std::string(utf8)});
  }
  void ShowError(std::string_view utf8) override {
    boxes.push_back({Box::kError, std::string(utf8)});
  }
  void CloseWindow() override { closed = true; }
};

// A registry root in a fresh folder.
struct ScratchRegistry {
  testing_support::ScratchDb dir;  // only its folder is used
  db::Registry registry{dir.dir() / "hklm"};
};

TEST(DbParaCore, ReadsDecodesAndSavesTheParametersOfTheKeyNamedByStartMess) {
  ScratchRegistry r;
  app::StartMess = app::texts::kDialogKey;
  RecordingDialog v;
  app::DbParaCore d(r.registry, v);
  EXPECT_EQ(d.FormCreate(), "");
  EXPECT_EQ(v.caption, "设置数据库【Lib】连接参数");
  EXPECT_EQ(v.EditText(app::ParamEdit::kOdbc), "");

  d.btModClick();
  EXPECT_TRUE(v.group);
  v.edits[app::ParamEdit::kOdbc] = " embedded:/srv/lib.db\t";
  v.edits[app::ParamEdit::kUser] = " 管理员 ";
  v.edits[app::ParamEdit::kPass] = "   ";
  d.btOkClick();
  EXPECT_TRUE(v.closed);
  EXPECT_TRUE(v.boxes.empty());
  EXPECT_EQ(r.registry.ReadString(db::kLibKey, "ODBCNAME"), "embedded:/srv/lib.db");
  EXPECT_EQ(r.registry.ReadString(db::kLibKey, "USERNAME"), text::EncodeParam(text::Gbk("管理员")));
  EXPECT_EQ(r.registry.ReadString(db::kLibKey, "PASSWORD"), "");

  RecordingDialog again;
  app::DbParaCore d2(r.registry, again);
  EXPECT_EQ(d2.FormCreate(), "");
  EXPECT_EQ(again.EditText(app::ParamEdit::kOdbc), "embedded:/srv/lib.db");
  EXPECT_EQ(again.EditText(app::ParamEdit::kUser), "管理员");
}

TEST(DbParaCore, BadValuesAreReportedAndNothingIsWritten) {
  ScratchRegistry r;
  app::StartMess = app::texts::kDialogKey;
  ASSERT_TRUE(r.registry.OpenKeyForWrite(db::kLibKey, true));
  r.registry.WriteString(db::kLibKey, "ODBCNAME", "old");
  r.registry.WriteString(db::kLibKey, "USERNAME", "3a07");
  RecordingDialog v;
  app::DbParaCore d(r.registry, v);
  EXPECT_NE(d.FormCreate(), "") << "a login that does not decode";
  EXPECT_EQ(v.EditText(app::ParamEdit::kOdbc), "old");

  v.edits[app::ParamEdit::kOdbc] = "new";
  v.edits[app::ParamEdit::kPass] = "口令\xF0\x9F\x98\x80";
  d.btOkClick();
  ASSERT_EQ(v.boxes.size(), 1u);
  EXPECT_EQ(v.boxes[0].kind, Box::kError);
  EXPECT_EQ(v.boxes[0].text, "密码中有GBK编码无法表示的字符，请改正后再保存。");
  EXPECT_FALSE(v.closed);
  EXPECT_EQ(r.registry.ReadString(db::kLibKey, "ODBCNAME"), "old");

  d.btExitClick();
  EXPECT_TRUE(v.closed);
}

// What the start-up sequence asked of the front end, in order.
struct RecordingStartup : app::StartupFront {
  std::vector<std::string> calls;
  struct Shown : app::Splash {
    explicit Shown(std::vector<std::string>& c) : calls(c) {}
    ~Shown() override { calls.push_back("splash removed"); }
    std::vector<std::string>& calls;
  };
  std::unique_ptr<app::Splash> ShowSplash() override {
    calls.push_back("splash " + app::StartMess);
    return std::make_unique<Shown>(calls);
  }
  void CreateUpLibMain(db::Connection&) override { calls.push_back("UpLibMain " + app::StartMess); }
  void CreateDbPara() override { calls.push_back("DbPara " + app::StartMess); }
};

TEST(Startup, ExactlyOneWindowFollowsTheConnectionAttempt) {
  testing_support::ScratchDb db;
  struct Case {
    const char* name;
    std::string odbc, user;
    std::vector<std::string> calls;
    bool module;
    const char* cause = "";  // part of the failure's message
  } cases[] = {
      {"reachable",
       db.data_source(),
       text::EncodeParam("sa"),
       {"splash 系统正在连接数据库，请稍候...", "splash removed", "UpLibMain OK"},
       true},
      {"unreachable",
       "embedded:/nonexistent/lib.db",
       "",
       {"splash 系统正在连接数据库，请稍候...", "splash removed", "DbPara Lib"},
       false,
       "/nonexistent/lib.db"},
      {"login that does not decode", db.data_source(), "3a07", {"DbPara Lib"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchRegistry r;
    ASSERT_TRUE(r.registry.OpenKeyForWrite(db::kLibKey, true));
    r.registry.WriteString(db::kLibKey, "ODBCNAME", c.odbc);
    r.registry.WriteString(db::kLibKey, "USERNAME", c.user);
    RecordingStartup front;
    auto module = app::RunStartup(r.registry, db::Connect, front);
    EXPECT_EQ(front.calls, c.calls);
    EXPECT_EQ(module != nullptr, c.module);
    // Why it failed is kept for the dialog, which shows it below its warnings.
    EXPECT_EQ(app::StartError.empty(), c.module) << app::StartError;
    EXPECT_NE(app::StartError.find(c.cause), std::string::npos) << app::StartError;
    RecordingDialog v;
    app::DbParaCore(r.registry, v).FormCreate();
    EXPECT_EQ(v.cause,
              app::StartError.empty() ? "" : "连接时数据库驱动程序报告：" + app::StartError);
  }
}

// The layouts name each control once, and every control of a tab order.
TEST(Layout, EveryFormNamesItsControlsOnceAndItsTabOrderFromThem) {
  for (const auto* form : {&app::layout::kFlash, &app::layout::kDbPara, &app::layout::kUpLibMain}) {
    SCOPED_TRACE(form->name);
    std::map<std::string, int> seen;
    for (const auto& c : form->controls) ++seen[c.name];
    for (const auto& [name, n] : seen) EXPECT_EQ(n, 1) << name;
    for (const char* name : form->tab_order) EXPECT_EQ(seen.count(name), 1u) << name;
    EXPECT_THROW(app::layout::Find(*form, "nothing"), std::out_of_range);
  }
  EXPECT_EQ(app::layout::SongTiWidth("ODBC名称", 12), 48);
}

}  // namespace
