// libupgrade.exe: the librarian's upgrade program on Windows. It takes no
// arguments; the connection parameters come from
// HKEY_LOCAL_MACHINE\SOFTWARE\Quorvant\Lib and the reference-data files from
// the program's own folder.
#include "app/win32/form.h"  // <windows.h> first

#include <commctrl.h>

#include <exception>
#include <memory>

#include "app/core/error_text.h"
#include "app/core/start_mess.h"
#include "app/core/startup.h"
#include "app/win32/db_para.h"
#include "app/win32/flash.h"
#include "app/win32/form.h"
#include "app/win32/up_lib_main.h"
#include "db/registry.h"
#include "refdata/data_files.h"

namespace {

// The windows of one run of the program.
class Front : public app::StartupFront {
 public:
  explicit Front(std::vector<std::filesystem::path> data_dirs) : data_dirs_(std::move(data_dirs)) {}

  std::unique_ptr<app::Splash> ShowSplash() override {
    return std::make_unique<app::win::TFlash>();
  }
  void CreateUpLibMain(db::Connection& LibDB) override {
    UpLibMain = std::make_unique<app::win::TUpLibMain>(LibDB, data_dirs_);
  }
  void CreateDbPara() override { DbPara = std::make_unique<app::win::TDbPara>(registry_); }

  void ShowMainWindow() {
    if (UpLibMain) {
      UpLibMain->Show();
    } else {
      DbPara->ShowAndReport();
    }
  }

  db::Registry registry_;
  std::unique_ptr<app::win::TUpLibMain> UpLibMain;
  std::unique_ptr<app::win::TDbPara> DbPara;

 private:
  std::vector<std::filesystem::path> data_dirs_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  try {
    app::StartMess.clear();
    Front front(refdata::DefaultDataDirs());
    std::unique_ptr<app::TLibDM> LibDM = app::RunStartup(front.registry_, db::Connect, front);
    front.ShowMainWindow();
    const int code = app::win::RunMessageLoop();
    // The window goes before the connection it uses.
    front.UpLibMain.reset();
    front.DbPara.reset();
    return code;
  } catch (const std::exception& e) {
    app::win::ShowErrorBox(nullptr, app::ErrorTextUtf8(e.what()));
    return 1;
  }
}
