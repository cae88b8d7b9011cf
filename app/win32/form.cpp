#include "app/win32/form.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "app/core/texts.h"

namespace app::win {

namespace {

constexpr wchar_t kFormClass[] = L"LibUpgradeForm";
constexpr int kFirstId = 100;

int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FaceInstalled(const wchar_t* face) {
  LOGFONTW want{};
  want.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(want.lfFaceName, face, LF_FACESIZE);
  HDC dc = GetDC(nullptr);
  bool found = false;
  EnumFontFamiliesExW(dc, &want, &FaceFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

bool IsPushButton(HWND w) {
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (lstrcmpiW(cls, L"Button") != 0) return false;
  const LONG type = GetWindowLongW(w, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

Form* FormOf(HWND hwnd) {
  if (!hwnd) return nullptr;
  wchar_t cls[32] = {};
  GetClassNameW(hwnd, cls, 32);
  if (lstrcmpW(cls, kFormClass) != 0) return nullptr;
  return reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

COLORREF Ref(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

}  // namespace

std::wstring W(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

int Px(int layout_px) {
  static const int dpi = [] {
    HDC dc = GetDC(nullptr);
    const int d = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return d > 0 ? d : 96;
  }();
  return MulDiv(layout_px, dpi, 96);
}

const std::wstring& SongTiFace() {
  static const std::wstring face = [] {
    for (const wchar_t* f : {L"宋体", L"SimSun", L"NSimSun", L"新宋体", L"Microsoft YaHei",
                             L"微软雅黑", L"SimHei", L"黑体", L"WenQuanYi Micro Hei",
                             L"文泉驿微米黑", L"Noto Sans CJK SC", L"Droid Sans Fallback"}) {
      if (FaceInstalled(f)) return std::wstring(f);
    }
    return std::wstring(L"宋体");  // Windows' own substitution then decides
  }();
  return face;
}

HFONT SongTi(int px, bool bold, bool underline) {
  static std::map<int, HFONT> fonts;
  const int key = px * 4 + (bold ? 2 : 0) + (underline ? 1 : 0);
  auto it = fonts.find(key);
  if (it != fonts.end()) return it->second;
  HFONT f = CreateFontW(-Px(px), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, underline, FALSE,
                        GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, SongTiFace().c_str());
  fonts.emplace(key, f);
  return f;
}

HICON ProgramIcon(int size) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                       size, size, LR_DEFAULTCOLOR | LR_SHARED));
}

Form::Form(const layout::Form& form, DWORD style, DWORD ex_style, bool with_controls)
    : form_(form), style_(style), ex_style_(ex_style) {
  static const ATOM registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Form::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = ProgramIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = ProgramIcon(GetSystemMetrics(SM_CXSMICON));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFormClass;
    return RegisterClassExW(&wc);
  }();
  (void)registered;
  const SIZE outer = OuterSize(form.client_width, form.client_height);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - outer.cx) / 2;
  const int y = work.top + (work.bottom - work.top - outer.cy) / 2;
  CreateWindowExW(ex_style_, kFormClass, W(form.caption).c_str(), style_, x, y, outer.cx, outer.cy,
                  nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (with_controls) Build();
}

Form::~Form() {
  if (hwnd_) DestroyWindow(hwnd_);
}

SIZE Form::OuterSize(int client_width, int client_height) const {
  RECT r{0, 0, Px(client_width), Px(client_height)};
  AdjustWindowRectEx(&r, style_, FALSE, ex_style_);
  return {r.right - r.left, r.bottom - r.top};
}

HWND Form::Control(const char* name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

RECT Form::ControlRect(const char* name) const {
  RECT r{};
  GetWindowRect(Control(name), &r);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void Form::Build() {
  int id = kFirstId;
  for (const layout::Control& c : form_.controls) {
    const wchar_t* cls = L"STATIC";
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex = 0;
    switch (c.kind) {
      case layout::Kind::kLabel:
        style |= SS_NOPREFIX | (c.right_aligned ? SS_RIGHT : SS_LEFT);
        break;
      case layout::Kind::kButton:
        cls = L"BUTTON";
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      case layout::Kind::kCheckBox:
        cls = L"BUTTON";
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case layout::Kind::kEdit:
        cls = L"EDIT";
        style |= ES_AUTOHSCROLL | WS_TABSTOP | (c.masked ? ES_PASSWORD : 0);
        ex = WS_EX_CLIENTEDGE;
        break;
      case layout::Kind::kProgressBar:
        cls = PROGRESS_CLASSW;
        break;
      case layout::Kind::kBevel:
        style |= SS_ETCHEDHORZ;
        break;
      case layout::Kind::kGroup:
        cls = L"BUTTON";
        style |= BS_GROUPBOX;
        break;
      case layout::Kind::kPicture:
        continue;  // painted by the window itself
    }
    // A control of a group is a child of the window, placed by the group's
    // origin, and shown and hidden with it: a group box passes no
    // notification on to the window.
    bool visible = c.visible;
    if (c.parent) visible = visible && layout::Find(form_, c.parent).visible;
    if (visible) style |= WS_VISIBLE;
    if (!c.enabled) style |= WS_DISABLED;
    const std::wstring caption = W(c.caption);
    HWND w = CreateWindowExW(ex, cls, caption.c_str(), style, 0, 0, 0, 0, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id++)),
                             GetModuleHandleW(nullptr), nullptr);
    SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(SongTi(c.font_px, c.bold, c.underline)),
                 FALSE);
    if (c.kind == layout::Kind::kEdit && c.masked) SendMessageW(w, EM_SETPASSWORDCHAR, L'*', 0);
    if (c.kind == layout::Kind::kProgressBar) SendMessageW(w, PBM_SETRANGE32, 0, 100);
    controls_[c.name] = w;
    entries_[w] = &c;
    Place(w, c, caption);
  }
  // The tab order is the order of the controls from the top down.
  HWND previous = HWND_TOP;
  for (const char* name : form_.tab_order) {
    HWND w = Control(name);
    if (!w) continue;
    SetWindowPos(w, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = w;
  }
  for (const layout::Control& c : form_.controls)
    if (c.kind == layout::Kind::kGroup)
      SetWindowPos(Control(c.name), HWND_BOTTOM, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Form::Place(HWND w, const layout::Control& c, std::wstring_view caption) {
  int left = c.left, top = c.top;
  if (c.parent) {
    const layout::Control& group = layout::Find(form_, c.parent);
    left += group.left;
    top += group.top;
  }
  if (c.kind != layout::Kind::kLabel) {
    MoveWindow(w, Px(left), Px(top), Px(c.width), Px(c.height), FALSE);
    return;
  }
  SIZE text{};
  HDC dc = GetDC(w);
  HGDIOBJ old = SelectObject(dc, SongTi(c.font_px, c.bold, c.underline));
  GetTextExtentPoint32W(dc, caption.data(), static_cast<int>(caption.size()), &text);
  SelectObject(dc, old);
  ReleaseDC(w, dc);
  if (c.right_aligned) {
    // Keeps the right edge the caption has in SimSun, growing to the left in
    // a wider font.
    const int stored = Px(c.width ? c.width : layout::SongTiWidth(c.caption, c.font_px));
    auto [it, fresh] = right_edges_.emplace(c.name, Px(left) + stored);
    const int width = std::max(stored, static_cast<int>(text.cx));
    MoveWindow(w, it->second - width, Px(top), width,
               std::max(Px(c.height), static_cast<int>(text.cy)), TRUE);
  } else if (c.width) {
    MoveWindow(w, Px(left), Px(top), std::max(Px(c.width), static_cast<int>(text.cx)), Px(c.height),
               TRUE);
  } else {
    MoveWindow(w, Px(left), Px(top), text.cx, text.cy, TRUE);
  }
}

void Form::SetLabel(const char* name, std::string_view utf8) {
  HWND w = Control(name);
  const std::wstring caption = W(utf8);
  SetWindowTextW(w, caption.c_str());
  Place(w, *entries_.at(w), caption);
}

void Form::Show() {
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  // The focus starts on the first control of the tab order that can take it.
  for (const char* name : form_.tab_order) {
    HWND w = Control(name);
    if (w && IsWindowVisible(w) && IsWindowEnabled(w) &&
        (GetWindowLongW(w, GWL_STYLE) & WS_TABSTOP)) {
      SetFocus(w);
      break;
    }
  }
  UpdateWindow(hwnd_);
}

bool Form::PreviewKey(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN) return false;
  if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0 || GetKeyState(VK_SHIFT) < 0)
    return false;
  // Enter presses the focused button, as the dialogs of this system do.
  HWND focus = GetFocus();
  if (!focus || !IsChild(hwnd_, focus) || !IsPushButton(focus)) return false;
  if (!IsWindowEnabled(focus) || !IsWindowVisible(focus)) return false;
  SendMessageW(focus, BM_CLICK, 0, 0);
  return true;
}

LRESULT Form::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && lp) {
        auto it = entries_.find(reinterpret_cast<HWND>(lp));
        if (it != entries_.end()) Clicked(it->second->name);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC: {
      auto it = entries_.find(reinterpret_cast<HWND>(lp));
      if (it == entries_.end() || it->second->kind != layout::Kind::kLabel) break;
      HDC dc = reinterpret_cast<HDC>(wp);
      if (it->second->colour != layout::kWindowText) SetTextColor(dc, Ref(it->second->colour));
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK Form::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  return self->Handle(msg, wp, lp);
}

void Dispatch(MSG& msg) {
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  Form* form = FormOf(root);
  if (form && msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST && form->PreviewKey(msg))
    return;
  if (form && IsDialogMessageW(root, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
  return static_cast<int>(msg.wParam);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    Dispatch(msg);
  }
}

void ShowInformationBox(HWND owner, std::string_view utf8) {
  MessageBoxW(owner, W(utf8).c_str(), W(texts::kInformationCaption).c_str(),
              MB_OK | MB_ICONINFORMATION);
}

bool AskYesNo(HWND owner, std::string_view utf8) {
  return MessageBoxW(owner, W(utf8).c_str(), W(texts::kInformationCaption).c_str(),
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void ShowErrorBox(HWND owner, std::string_view utf8) {
  MessageBoxW(owner, W(utf8).c_str(), W(texts::kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace app::win
