// The shared behaviour of the upgrade window (tests/app/behaviour/) on the
// native Windows window, run under Wine by the window tests
// (wine_window_test.py). Clicks are the buttons' own BM_CLICK, keys go
// through the program's message dispatch with the keyboard state set as a
// person's hand would leave it, and the message boxes are read and answered
// from inside their modal loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/texts.h"
#include "app/win32/form.h"
#include "app/win32/up_lib_main.h"
#include "tests/app/behaviour/up_lib_main_behaviour.h"
#include "tests/support/support.h"

namespace {

using behaviour::Box;

// While alive, every message box of this thread is recorded and answered.
class BoxAnswerer {
 public:
  BoxAnswerer() {
    self_ = this;
    timer_ = SetTimer(nullptr, 0, 20, &BoxAnswerer::Tick);
  }
  ~BoxAnswerer() {
    KillTimer(nullptr, timer_);
    self_ = nullptr;
  }
  std::vector<Box> boxes;
  bool answer_yes = false;
  std::function<void()> on_box;

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (!self_) return;
    EnumThreadWindows(GetCurrentThreadId(), &BoxAnswerer::Found, 0);
  }
  static BOOL CALLBACK Found(HWND w, LPARAM) {
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    if (lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(w)) return TRUE;
    self_->Answer(w);
    return FALSE;
  }
  // The box's icon (the static control showing one), or null.
  static BOOL CALLBACK IconOf(HWND c, LPARAM out) {
    wchar_t cls[16] = {};
    GetClassNameW(c, cls, 16);
    if (lstrcmpiW(cls, L"Static") != 0 || (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
      return TRUE;
    *reinterpret_cast<HICON*>(out) = reinterpret_cast<HICON>(SendMessageW(c, STM_GETICON, 0, 0));
    return FALSE;
  }
  void Answer(HWND box) {
    wchar_t caption[64] = {}, text[512] = {};
    GetWindowTextW(box, caption, 64);
    GetDlgItemTextW(box, 0xFFFF, text, 512);  // the message box's text
    const bool question = GetDlgItem(box, IDYES) != nullptr;
    // Every box of the program is titled alike: an error is told by its icon.
    EXPECT_EQ(app::win::Utf8(caption), app::texts::kInformationCaption);
    HICON icon = nullptr;
    EnumChildWindows(box, &BoxAnswerer::IconOf, reinterpret_cast<LPARAM>(&icon));
    const bool error = icon != nullptr && icon == LoadIconW(nullptr, IDI_ERROR);
    boxes.push_back({question ? Box::kQuestion
                     : error  ? Box::kError
                              : Box::kInformation,
                     app::win::Utf8(text)});
    if (on_box) on_box();
    const int id = question ? (answer_yes ? IDYES : IDNO) : IDOK;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  }
  static BoxAnswerer* self_;
  UINT_PTR timer_;
};
BoxAnswerer* BoxAnswerer::self_ = nullptr;

class WinFront {
 public:
  explicit WinFront(const std::vector<std::string>& fixtures) : scratch_(fixtures) {
    c_ = scratch_.Connect();
    Reopen();
  }
  db::Connection& Db() { return *c_; }
  // A click reaches only a control that is shown and enabled, as a mouse's.
  void Click(const char* name) {
    if (!Visible(name) || !Enabled(name)) return;
    SendMessageW(w_->Control(name), BM_CLICK, 0, 0);
  }
  bool Enabled(const char* name) { return IsWindowEnabled(w_->Control(name)) != FALSE; }
  bool Visible(const char* name) {
    return (GetWindowLongW(w_->Control(name), GWL_STYLE) & WS_VISIBLE) != 0;
  }
  bool Checked(const char* name) {
    return SendMessageW(w_->Control(name), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  // The keyboard state as Windows keeps it while the message is handled
  // (for a modifier's own message, after it), then the message through the
  // program's dispatch, to the focused check box.
  void Key(bool down, const char* key, behaviour::Mods held) {
    const std::string k = key;
    if (k == "Ctrl") held.ctrl = down;
    if (k == "Alt") held.alt = down;
    if (k == "Shift") held.shift = down;
    BYTE state[256] = {};
    if (held.ctrl) state[VK_CONTROL] = state[VK_LCONTROL] = 0x80;
    if (held.alt) state[VK_MENU] = state[VK_LMENU] = 0x80;
    if (held.shift) state[VK_SHIFT] = state[VK_LSHIFT] = 0x80;
    SetKeyboardState(state);
    const WPARAM vk = k == "F1"      ? VK_F1
                      : k == "F2"    ? VK_F2
                      : k == "F3"    ? VK_F3
                      : k == "Ctrl"  ? VK_CONTROL
                      : k == "Alt"   ? VK_MENU
                      : k == "Shift" ? VK_SHIFT
                                     : 'A';
    const bool sys = held.alt && !held.ctrl;
    MSG msg{};
    msg.hwnd = w_->Control("cbBackUp");
    msg.message = down ? (sys ? WM_SYSKEYDOWN : WM_KEYDOWN) : (sys ? WM_SYSKEYUP : WM_KEYUP);
    msg.wParam = vk;
    msg.lParam = down ? 1 : static_cast<LPARAM>(0xC0000001);
    app::win::Dispatch(msg);
    BYTE none[256] = {};
    SetKeyboardState(none);
  }
  void CloseSoon() { PostMessageW(w_->Hwnd(), WM_CLOSE, 0, 0); }
  bool IsOpen() { return w_->Hwnd() != nullptr && IsWindow(w_->Hwnd()); }
  std::string CurrentStep() { return w_->Core().CurrentStep(); }
  void Reopen() {
    w_.reset();
    // The closed main window asked the program to end; a test goes on.
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    w_ = std::make_unique<app::win::TUpLibMain>(*c_, std::vector{testing_support::SampleDir()});
    w_->Show();
  }
  std::vector<Box> Boxes() { return boxes_.boxes; }
  void AnswerYes(bool yes) { boxes_.answer_yes = yes; }
  void OnBox(std::function<void()> f) { boxes_.on_box = std::move(f); }

 private:
  testing_support::ScratchDb scratch_;
  std::unique_ptr<db::Connection> c_;
  std::unique_ptr<app::win::TUpLibMain> w_;
  BoxAnswerer boxes_;
};

}  // namespace

namespace behaviour {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, UpLibMainBehaviour, WinFront);
}  // namespace behaviour

namespace {

// Through a whole pre-2005 upgrade: every progress text a step sets has been
// painted (the label has nothing left to paint) by the time the statement
// after it has run: the window cannot paint while a statement runs for
// minutes.
TEST(Win32UpLibMain, EveryProgressTextIsPaintedBeforeTheNextStatementEnds) {
  testing_support::ScratchDb scratch({"pre2005.sql"});
  auto c = scratch.Connect();
  app::win::TUpLibMain w(*c, {testing_support::SampleDir()});
  w.Show();
  BoxAnswerer boxes;
  HWND label = w.Control("lbProcess");
  std::wstring last;
  std::vector<std::string> looked, not_painted;
  c->on_statement = [&](const db::StatementEvent&) {
    wchar_t text[256] = {};
    GetWindowTextW(label, text, 256);
    if (!IsWindowVisible(label) || last == text) return;
    last = text;
    looked.push_back(app::win::Utf8(text));
    if (GetUpdateRect(label, nullptr, FALSE)) not_painted.push_back(looked.back());
  };
  SendMessageW(w.Control("cbBackUp"), BM_CLICK, 0, 0);
  SendMessageW(w.Control("btDoWork"), BM_CLICK, 0, 0);
  c->on_statement = nullptr;

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, app::texts::kAllDone);
  EXPECT_NE(std::find(looked.begin(), looked.end(), "处理：lib_fakuan，请耐心等待..."),
            looked.end());
  EXPECT_TRUE(not_painted.empty())
      << not_painted.size() << " of " << looked.size() << " texts, the first " << not_painted[0];
}

}  // namespace
