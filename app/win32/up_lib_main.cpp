#include "app/win32/up_lib_main.h"

#include <commctrl.h>

#include <algorithm>

#include "text/gbk.h"

namespace app::win {

namespace {

constexpr DWORD kDialogFrame = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr ULONGLONG kFrameMs = 16;

ChordKeyEvent ChordKey(WPARAM vk) {
  ChordKeyEvent k{ChordKeyEvent::kOther};
  switch (vk) {
    case VK_F1:
      k.key = ChordKeyEvent::kF1;
      break;
    case VK_F2:
      k.key = ChordKeyEvent::kF2;
      break;
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LWIN:
    case VK_RWIN:
      k.key = ChordKeyEvent::kModifier;
      break;
    default:
      break;
  }
  // The state as of this message: for a modifier's own message, after it.
  k.ctrl = GetKeyState(VK_CONTROL) < 0;
  k.alt = GetKeyState(VK_MENU) < 0;
  k.shift = GetKeyState(VK_SHIFT) < 0;
  k.meta = GetKeyState(VK_LWIN) < 0 || GetKeyState(VK_RWIN) < 0;
  return k;
}

}  // namespace

TUpLibMain::TUpLibMain(db::Connection& LibDB, std::vector<std::filesystem::path> data_dirs)
    : Form(layout::kUpLibMain, kDialogFrame, WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW) {
  core_ = std::make_unique<UpLibMainCore>(LibDB, *this, std::move(data_dirs));
}

TUpLibMain::~TUpLibMain() = default;

void TUpLibMain::Clicked(const std::string& name) {
  if (name == "btDoWork") core_->btDoWorkClick();
  if (name == "cbBackUp") core_->cbBackUpClick();
  if (name == "btExit") core_->btExitClick();
  if (name == "btCrtPrt") core_->btCrtPrtClick();
  if (name == "btExpZZM") core_->btExpZZMClick();
}

bool TUpLibMain::PreviewKey(const MSG& msg) {
  switch (msg.message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      core_->FormKeyDown(ChordKey(msg.wParam));
      break;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      core_->FormKeyUp(ChordKey(msg.wParam));
      break;
    default:
      break;
  }
  return Form::PreviewKey(msg);  // the key is not used up by the chords
}

LRESULT TUpLibMain::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      if (core_ && !core_->CloseQuery()) return 0;
      DestroyWindow(Hwnd());
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);  // the main window: the program ends
      break;
    default:
      break;
  }
  return Form::Handle(msg, wp, lp);
}

void TUpLibMain::CloseWindow() {
  SendMessageW(Hwnd(), WM_CLOSE, 0, 0);
}

bool TUpLibMain::ShowAs(const char* name, bool visible) {
  HWND w = Control(name);
  if (((GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE) != 0) == visible) return false;
  ShowWindow(w, visible ? SW_SHOWNA : SW_HIDE);
  return true;
}

bool TUpLibMain::EnableAs(const char* name, bool enabled) {
  HWND w = Control(name);
  if ((IsWindowEnabled(w) != FALSE) == enabled) return false;
  EnableWindow(w, enabled);
  return true;
}

bool TUpLibMain::Ticked(const char* name) const {
  return SendMessageW(Control(name), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool TUpLibMain::TickAs(const char* name, bool checked) {
  if (Ticked(name) == checked) return false;
  SendMessageW(Control(name), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  return true;
}

void TUpLibMain::SetProcessText(std::string_view gbk) {
  const std::string utf8 = text::Utf8(gbk);
  HWND w = Control("lbProcess");
  std::wstring now(static_cast<std::size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  now.resize(static_cast<std::size_t>(GetWindowTextW(w, now.data(), static_cast<int>(now.size()))));
  if (now == W(utf8)) return;
  SetLabel("lbProcess", utf8);
  Changed(true);
}

void TUpLibMain::SetProcessVisible(bool visible) {
  Changed(ShowAs("lbProcess", visible));
}
void TUpLibMain::SetBarVisible(bool visible) {
  Changed(ShowAs("pBar", visible));
}
void TUpLibMain::SetBarPosition(int position) {
  SendMessageW(Control("pBar"), PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, 0, 100)), 0);
}
int TUpLibMain::BarPosition() const {
  return static_cast<int>(SendMessageW(Control("pBar"), PBM_GETPOS, 0, 0));
}
void TUpLibMain::SetNumText(std::string_view gbk) {
  SetLabel("lbNum", text::Utf8(gbk));
}
void TUpLibMain::SetNumVisible(bool visible) {
  Changed(ShowAs("lbNum", visible));
}
bool TUpLibMain::BeforeChecked() const {
  return Ticked("cbBefore");
}
void TUpLibMain::SetBeforeChecked(bool checked) {
  Changed(TickAs("cbBefore", checked));
}
bool TUpLibMain::DeleteOldChecked() const {
  return Ticked("ckbDel");
}
void TUpLibMain::SetDeleteOldChecked(bool checked) {
  Changed(TickAs("ckbDel", checked));
}
bool TUpLibMain::BackUpChecked() const {
  return Ticked("cbBackUp");
}
void TUpLibMain::SetDoWorkEnabled(bool enabled) {
  Changed(EnableAs("btDoWork", enabled));
}
void TUpLibMain::SetExitEnabled(bool enabled) {
  Changed(EnableAs("btExit", enabled));
}
void TUpLibMain::SetBackUpEnabled(bool enabled) {
  Changed(EnableAs("cbBackUp", enabled));
}

bool TUpLibMain::FrameDue(ULONGLONG& last) const {
  const ULONGLONG now = GetTickCount64();
  if (last != 0 && now - last < kFrameMs) return false;
  last = now;
  return true;
}

void TUpLibMain::PaintNow() {
  changed_ = false;
  paint_clock_ = GetTickCount64();
  RedrawWindow(Hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void TUpLibMain::Repaint() {
  if (changed_ || FrameDue(paint_clock_)) PaintNow();
}

void TUpLibMain::ProcessMessages() {
  if (changed_) PaintNow();
  if (FrameDue(pump_clock_)) PumpMessages();
}

void TUpLibMain::ShowInformation(std::string_view gbk) {
  ShowInformationBox(Hwnd(), text::Utf8(gbk));
}

void TUpLibMain::Reveal(HiddenControl control) {
  Changed(ShowAs(control == HiddenControl::kCkbDel ? "ckbDel" : "btCrtPrt", true));
}

bool TUpLibMain::AskYesNo(std::string_view utf8) {
  return win::AskYesNo(Hwnd(), utf8);
}

void TUpLibMain::ShowError(std::string_view utf8) {
  ShowErrorBox(Hwnd(), utf8);
}

}  // namespace app::win
