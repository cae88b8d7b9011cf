// libupgrade: the librarian's upgrade program. It takes no arguments; the
// connection parameters come from HKEY_LOCAL_MACHINE\SOFTWARE\Quorvant\Lib (on
// Linux the registry stand-in, /etc/xdg/Quorvant/registry unless
// LIBUPGRADE_REGISTRY_ROOT names another) and the reference-data files from
// the program's own folder, then from the data folder /var/lib/libupgrade
// (<prefix>/var/lib/libupgrade for a prefix other than /usr).
#include <QApplication>
#include <filesystem>

#include "app/core/start_mess.h"
#include "app/qt/look.h"
#include "app/qt/startup.h"
#include "db/registry.h"
#include "refdata/data_files.h"

int main(int argc, char** argv) {
  app::StartMess.clear();
  QApplication application(argc, argv);
  QApplication::setApplicationName("libupgrade");
  // The program speaks Chinese throughout, Qt's own buttons included.
  app::InstallQtChinese();
  app::Startup startup(db::Registry(), refdata::DefaultDataDirs(std::filesystem::path(
                                           QCoreApplication::applicationDirPath().toStdString())));
  startup.Run();
  return QApplication::exec();
}
