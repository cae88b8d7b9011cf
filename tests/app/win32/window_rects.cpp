// window_rects: prints where each control of the native upgrade window and
// connection dialog stands, one line each, "FORM CONTROL LEFT TOP WIDTH
// HEIGHT" in client pixels, for the window tests to set beside the Qt
// window's (qt_window_rects). The dialog is measured with its parameter
// group shown.
//
//   window_rects.exe embedded:C:\path\to\library.db
//   window_rects.exe splash      shows the splash window for a minute, for
//                                the tests to look at
#include <cstdio>
#include <string_view>

#include "app/core/layout.h"
#include "app/core/start_mess.h"
#include "app/core/texts.h"
#include "app/win32/db_para.h"
#include "app/win32/flash.h"
#include "app/win32/form.h"
#include "app/win32/up_lib_main.h"
#include "db/connection.h"
#include "db/registry.h"

namespace {

void Print(const char* form_name, const app::layout::Form& form, const app::win::Form& w) {
  for (const auto& c : form.controls) {
    if (!w.Control(c.name)) continue;
    const RECT r = w.ControlRect(c.name);
    std::printf("%s %s %ld %ld %ld %ld\n", form_name, c.name, r.left, r.top, r.right - r.left,
                r.bottom - r.top);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_rects DATA_SOURCE\n");
    return 2;
  }
  if (std::wstring_view(argv[1]) == L"splash") {
    app::StartMess = app::texts::kConnecting;
    app::win::TFlash splash;
    const ULONGLONG until = GetTickCount64() + 60000;
    while (GetTickCount64() < until) {
      app::win::PumpMessages();
      Sleep(20);
    }
    return 0;
  }
  db::ConnectParams params;
  params.data_source = app::win::Utf8(argv[1]);
  params.user = "sa";
  auto connection = db::Connect(params);
  {
    app::win::TUpLibMain w(*connection, {});
    Print("UpLibMain", app::layout::kUpLibMain, w);
  }
  app::StartMess = app::texts::kDialogKey;
  app::win::TDbPara d{db::Registry()};
  d.ShowGroup();
  Print("DbPara", app::layout::kDbPara, d);
  return 0;
}
