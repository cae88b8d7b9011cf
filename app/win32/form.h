// What the native Windows windows share: the "宋体" fonts (chosen by name with
// fallbacks), building the controls of a stored layout (app/core/layout.h) as
// Windows controls, the label colours, placing a fixed-size window in the
// middle of the screen, the message queue with its key preview, and the
// message boxes. Windows API only, wide (W) functions throughout.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <map>
#include <string>
#include <string_view>

#include "app/core/layout.h"

namespace app::win {

// UTF-8 <-> UTF-16.
std::wstring W(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// The layout's pixels at the screen's resolution (the program is DPI aware).
int Px(int layout_px);

// "宋体" at px layout pixels in the GB2312 character set; where SimSun is not
// installed the first of the system's Chinese UI fonts that is (NSimSun,
// Microsoft YaHei, then the fonts a Linux machine or Wine brings, such as
// WenQuanYi Micro Hei). Fonts are made once and live until the program ends.
HFONT SongTi(int px, bool bold = false, bool underline = false);
// The face name chosen for "宋体".
const std::wstring& SongTiFace();

// A top-level window made from a stored layout. Derived classes handle their
// commands; this base keeps the controls by name, paints the labels in their
// colours, and sends every message of the window to Handle.
class Form {
 public:
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  virtual ~Form();

  HWND Hwnd() const { return hwnd_; }
  // The control named in the layout (nullptr for a name it lacks).
  HWND Control(const char* name) const;
  // Where the control stands, in the window's client pixels (a group's
  // controls relative to the window too).
  RECT ControlRect(const char* name) const;
  // Shows the window and paints it at once.
  void Show();

  // Key preview: every key message for the window or one of its controls
  // comes here first, from the message queue. True when it is used up.
  virtual bool PreviewKey(const MSG& msg);

  // The window procedure of every form.
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 protected:
  // style: WS_ styles of the frame; a dialog frame (caption, close box) or a
  // borderless popup. The window is made at once, centred, hidden, with the
  // layout's controls unless it paints them all itself (with_controls).
  Form(const layout::Form& form, DWORD style, DWORD ex_style, bool with_controls = true);

  // Messages of the window; the default lets Windows handle them.
  virtual LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  // A button or check box clicked (BN_CLICKED of the named control).
  virtual void Clicked(const std::string& name) { (void)name; }

  // Sets a label's caption; a label sized to its caption is resized (a
  // right-aligned one keeps its right edge).
  void SetLabel(const char* name, std::string_view utf8);
  // The outer size for the client size of the layout.
  SIZE OuterSize(int client_width, int client_height) const;

  const layout::Form& form_;

 private:
  void Build();
  void Place(HWND control, const layout::Control& c, std::wstring_view caption);

  HWND hwnd_ = nullptr;
  DWORD style_, ex_style_;
  std::map<std::string, HWND> controls_;
  std::map<HWND, const layout::Control*> entries_;
  std::map<std::string, int> right_edges_;  // right-aligned labels
};

// Dispatches one message as the program's message loop does: key preview,
// dialog navigation (Tab), then the window. GetMessage/PeekMessage fill msg.
void Dispatch(MSG& msg);
// The program's message loop: until WM_QUIT; returns its exit code.
int RunMessageLoop();
// One pass of the message queue: every message waiting is handled, then it
// returns. A WM_QUIT met on the way is put back for the main loop.
void PumpMessages();

// The modal "提示信息" box with an information icon and an OK button.
void ShowInformationBox(HWND owner, std::string_view utf8);
// A modal "提示信息" question with Yes and No, No the default; true for Yes.
bool AskYesNo(HWND owner, std::string_view utf8);
// The error box: the error's text, the program's name as caption.
void ShowErrorBox(HWND owner, std::string_view utf8);

// The program's icon (resource 1) at the given size.
HICON ProgramIcon(int size);

}  // namespace app::win
