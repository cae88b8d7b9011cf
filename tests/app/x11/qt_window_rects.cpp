// qt_window_rects: prints where each control of the Qt upgrade window and
// connection dialog stands, one line each, "FORM CONTROL LEFT TOP WIDTH
// HEIGHT" in client pixels, for the Wine window tests to set beside the
// native window's (tests/app/win32/window_rects.cpp). The dialog is measured
// with its parameter group shown.
//
//   qt_window_rects DATABASE_FILE
#include <QApplication>
#include <cstdio>

#include "app/core/layout.h"
#include "app/core/start_mess.h"
#include "app/core/texts.h"
#include "app/qt/db_para.h"
#include "app/qt/look.h"
#include "app/qt/up_lib_main.h"
#include "db/connection.h"
#include "db/registry.h"

namespace {

void Print(const char* form_name, const app::layout::Form& form, QWidget* w) {
  for (const auto& c : form.controls) {
    QWidget* control = app::Child<QWidget>(w, c.name);
    if (!control) continue;
    const QPoint at = control->mapTo(w, QPoint(0, 0));
    std::printf("%s %s %d %d %d %d\n", form_name, c.name, at.x(), at.y(), control->width(),
                control->height());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qt_window_rects DATABASE_FILE\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  db::ConnectParams params;
  params.data_source = std::string("embedded:") + argv[1];
  params.user = "sa";
  auto connection = db::Connect(params);
  {
    app::TUpLibMain w(*connection, {});
    Print("UpLibMain", app::layout::kUpLibMain, &w);
  }
  app::StartMess = app::texts::kDialogKey;
  app::TDbPara d{db::Registry()};
  d.ShowGroup();
  Print("DbPara", app::layout::kDbPara, &d);
  return 0;
}
