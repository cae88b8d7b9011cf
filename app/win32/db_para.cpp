#include "app/win32/db_para.h"

#include <vector>

namespace app::win {

namespace {
// Not WS_CLIPCHILDREN: the window paints the inside of its group box, which
// paints only its frame.
constexpr DWORD kDialogFrame = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
}  // namespace

TDbPara::TDbPara(const db::Registry& registry)
    : Form(layout::kDbPara, kDialogFrame, WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW) {
  core_ = std::make_unique<DbParaCore>(registry, *this);
  create_error_ = core_->FormCreate();
}

void TDbPara::ShowAndReport() {
  Show();
  // Reported once the dialog is up, as an error in a creation handler is.
  if (!create_error_.empty()) ShowError(create_error_);
  create_error_.clear();
}

HWND TDbPara::Edit(ParamEdit edit) const {
  switch (edit) {
    case ParamEdit::kOdbc:
      return Control("edOdbc");
    case ParamEdit::kUser:
      return Control("edUser");
    case ParamEdit::kPass:
      break;
  }
  return Control("edPass");
}

void TDbPara::SetCaption(std::string_view utf8) {
  SetWindowTextW(Hwnd(), W(utf8).c_str());
}

std::string TDbPara::EditText(ParamEdit edit) const {
  HWND w = Edit(edit);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(w, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

void TDbPara::SetEditText(ParamEdit edit, std::string_view utf8) {
  SetWindowTextW(Edit(edit), W(utf8).c_str());
}

void TDbPara::ShowGroup() {
  for (const layout::Control& c : form_.controls) {
    const bool group = std::string_view(c.name) == "grbBox";
    const bool in_group = c.parent && std::string_view(c.parent) == "grbBox";
    if (group || (in_group && c.visible)) ShowWindow(Control(c.name), SW_SHOWNA);
  }
  RECT r{};
  GetWindowRect(Hwnd(), &r);
  SetWindowPos(Hwnd(), nullptr, 0, 0, r.right - r.left,
               Px(layout::kDbParaOuterHeightWithGroup) + cause_height_,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Below the last warning, across the window; the window and the parameter
// group below it move down by the text's height.
void TDbPara::ShowCause(std::string_view utf8) {
  constexpr int kTop = 100, kGap = 6;
  const std::wstring text = W(utf8);
  const int left = Px(layout::Find(layout::kDbPara, "Label4").left);
  const int width = Px(layout::kDbPara.client_width) - 2 * left;
  if (!cause_)
    cause_ =
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, left,
                        Px(kTop), width, 0, Hwnd(), nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(cause_, WM_SETFONT, reinterpret_cast<WPARAM>(SongTi(12)), FALSE);
  SetWindowTextW(cause_, text.c_str());
  RECT box{0, 0, width, 0};
  HDC dc = GetDC(cause_);
  HGDIOBJ old = SelectObject(dc, SongTi(12));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(cause_, dc);
  MoveWindow(cause_, left, Px(kTop), width, box.bottom, TRUE);
  const int grown = Px(kTop) + box.bottom + Px(kGap) - Px(layout::kDbPara.client_height);
  // The group and its controls (placed relative to the window) move down.
  for (const layout::Control& c : form_.controls) {
    const bool group = std::string_view(c.name) == "grbBox";
    const bool in_group = c.parent && std::string_view(c.parent) == "grbBox";
    if (!group && !in_group) continue;
    HWND w = Control(c.name);
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, Hwnd(), reinterpret_cast<POINT*>(&r), 2);
    SetWindowPos(w, nullptr, r.left, r.top + grown - cause_height_, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  cause_height_ = grown;
  const SIZE outer = OuterSize(layout::kDbPara.client_width, layout::kDbPara.client_height);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int height = outer.cy + grown;
  SetWindowPos(Hwnd(), nullptr, work.left + (work.right - work.left - outer.cx) / 2,
               work.top + (work.bottom - work.top - height) / 2, outer.cx, height,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void TDbPara::ShowInformation(std::string_view utf8) {
  ShowInformationBox(Hwnd(), utf8);
}

void TDbPara::ShowError(std::string_view utf8) {
  ShowErrorBox(Hwnd(), utf8);
}

void TDbPara::CloseWindow() {
  PostMessageW(Hwnd(), WM_CLOSE, 0, 0);
}

bool TDbPara::PreviewKey(const MSG& msg) {
  if (Form::PreviewKey(msg)) return true;
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN) return false;
  HWND focus = GetFocus();
  if (!focus || !IsChild(Hwnd(), focus)) return false;
  SetFocus(GetNextDlgTabItem(Hwnd(), focus, FALSE));
  return true;
}

void TDbPara::Clicked(const std::string& name) {
  if (name == "btMod") core_->btModClick();
  if (name == "btOk") core_->btOkClick();
  if (name == "btExit") core_->btExitClick();
}

LRESULT TDbPara::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) PostQuitMessage(0);  // the main window: the program ends
  return Form::Handle(msg, wp, lp);
}

}  // namespace app::win
