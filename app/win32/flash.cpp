#include "app/win32/flash.h"

#include "app/core/start_mess.h"

namespace app::win {

namespace {

void Fill(HDC dc, int x, int y, int w, int h, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  RECT r{x, y, x + w, y + h};
  FillRect(dc, &r, b);
  DeleteObject(b);
}

COLORREF Lighter(COLORREF c) {
  auto up = [](int v) { return v + (255 - v) / 2; };
  return RGB(up(GetRValue(c)), up(GetGValue(c)), up(GetBValue(c)));
}

// The splash picture: a night-blue sky over a shelf of book spines, an open
// book in the upper left.
void Background(HDC dc, int width, int height) {
  for (int y = 0; y < height; ++y) {
    // From (18,42,92) to (34,88,150) at 65 %, then down to (12,30,66).
    const double t = static_cast<double>(y) / height;
    int r, g, b;
    if (t < 0.65) {
      const double u = t / 0.65;
      r = static_cast<int>(18 + u * 16), g = static_cast<int>(42 + u * 46),
      b = static_cast<int>(92 + u * 58);
    } else {
      const double u = (t - 0.65) / 0.35;
      r = static_cast<int>(34 - u * 22), g = static_cast<int>(88 - u * 58),
      b = static_cast<int>(150 - u * 84);
    }
    Fill(dc, 0, y, width, 1, RGB(r, g, b));
  }
  const COLORREF spines[] = {RGB(178, 54, 48),  RGB(214, 160, 52), RGB(58, 128, 84),
                             RGB(112, 72, 140), RGB(196, 110, 40), RGB(70, 110, 170)};
  const int shelf = height - Px(66);
  int x = Px(14);
  for (int i = 0; x < width - Px(14); ++i) {
    const int w = Px(12 + (i * 7) % 11);
    const int h = Px(46 + (i * 13) % 28);
    const COLORREF c = spines[i % 6];
    Fill(dc, x, shelf - h, w, h, c);
    Fill(dc, x + Px(2), shelf - h + Px(8), w - Px(4), Px(2), Lighter(c));
    Fill(dc, x + Px(2), shelf - Px(12), w - Px(4), Px(2), Lighter(c));
    x += w + Px(2);
  }
  Fill(dc, Px(8), shelf, width - Px(16), Px(5), RGB(120, 84, 52));
  Fill(dc, 0, shelf + Px(5), width, height - shelf - Px(5), RGB(10, 24, 52));

  HPEN pen = CreatePen(PS_SOLID, Px(2), RGB(235, 228, 210));
  HBRUSH paper = CreateSolidBrush(RGB(250, 246, 232));
  HGDIOBJ old_pen = SelectObject(dc, pen);
  HGDIOBJ old_brush = SelectObject(dc, paper);
  const POINT left[] = {{Px(40), Px(40)},  {Px(70), Px(32)}, {Px(100), Px(44)},
                        {Px(100), Px(94)}, {Px(70), Px(82)}, {Px(40), Px(90)}};
  const POINT right[] = {{Px(160), Px(40)}, {Px(130), Px(32)}, {Px(100), Px(44)},
                         {Px(100), Px(94)}, {Px(130), Px(82)}, {Px(160), Px(90)}};
  Polygon(dc, left, 6);
  Polygon(dc, right, 6);
  HPEN lines = CreatePen(PS_SOLID, 1, RGB(150, 150, 170));
  SelectObject(dc, lines);
  for (int i = 0; i < 4; ++i) {
    MoveToEx(dc, Px(50), Px(52 + i * 9), nullptr);
    LineTo(dc, Px(92), Px(56 + i * 9));
    MoveToEx(dc, Px(108), Px(56 + i * 9), nullptr);
    LineTo(dc, Px(150), Px(52 + i * 9));
  }
  SelectObject(dc, old_pen);
  SelectObject(dc, old_brush);
  DeleteObject(lines);
  DeleteObject(pen);
  DeleteObject(paper);
}

}  // namespace

TFlash::TFlash() : Form(layout::kFlash, WS_POPUP, WS_EX_TOOLWINDOW | WS_EX_TOPMOST, false) {
  // The creation handler: lbView shows StartMess, never its stored caption.
  message_ = W(StartMess);
  ShowWindow(Hwnd(), SW_SHOWNOACTIVATE);
  RedrawWindow(Hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

LRESULT TFlash::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;  // the picture covers it all
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Hwnd(), &ps);
      Paint(dc);
      EndPaint(Hwnd(), &ps);
      return 0;
    }
    default:
      return Form::Handle(msg, wp, lp);
  }
}

void TFlash::Paint(HDC dc) {
  const layout::Control& image = layout::Find(form_, "Image1");
  Background(dc, Px(image.width), Px(image.height));
  SetBkMode(dc, TRANSPARENT);
  for (const char* name : {"lbView", "Label1"}) {
    const layout::Control& c = layout::Find(form_, name);
    const std::wstring text = name == std::string_view("lbView") ? message_ : W(c.caption);
    HGDIOBJ old = SelectObject(dc, SongTi(c.font_px));
    SetTextColor(dc, RGB((c.colour >> 16) & 0xFF, (c.colour >> 8) & 0xFF, c.colour & 0xFF));
    // Never cut short: the text may be longer than the stored width.
    TextOutW(dc, Px(c.left), Px(c.top), text.c_str(), static_cast<int>(text.size()));
    SelectObject(dc, old);
  }
  const layout::Control& icon = layout::Find(form_, "Image2");
  DrawIconEx(dc, Px(icon.left), Px(icon.top), ProgramIcon(32), Px(32), Px(32), 0, nullptr,
             DI_NORMAL);
}

}  // namespace app::win
