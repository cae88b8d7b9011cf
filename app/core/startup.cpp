#include "app/core/startup.h"

#include "app/core/error_text.h"
#include "app/core/start_mess.h"
#include "app/core/texts.h"

namespace app {

TLibDM::TLibDM(const db::Registry& registry, const ConnectFn& connect, StartupFront& front) {
  LibDBBeforeConnect(registry, front);
  try {
    LibDB_ = connect(params_);
  } catch (...) {
    // The attempt is over: the splash must not stay on screen behind the
    // connection dialog that start-up puts up next.
    Flash_.reset();
    throw;
  }
  LibDBAfterConnect();
}

void TLibDM::LibDBBeforeConnect(const db::Registry& registry, StartupFront& front) {
  params_ = db::LoadConnectParams(registry);
  StartMess = texts::kConnecting;
  Flash_ = front.ShowSplash();
}

void TLibDM::LibDBAfterConnect() {
  Flash_.reset();
  StartMess = texts::kStartOk;
}

std::unique_ptr<TLibDM> RunStartup(const db::Registry& registry, const ConnectFn& connect,
                                   StartupFront& front) {
  StartMess.clear();
  StartError.clear();
  std::unique_ptr<TLibDM> LibDM;
  try {
    LibDM = std::make_unique<TLibDM>(registry, connect, front);
    if (StartMess == texts::kStartOk) {
      front.CreateUpLibMain(LibDM->LibDB());
      return LibDM;
    }
  } catch (const std::exception& e) {
    // No box: the dialog says what to check, and shows this message too.
    StartError = ErrorTextUtf8(e.what());
  } catch (...) {
  }
  LibDM.reset();
  StartMess = texts::kDialogKey;
  front.CreateDbPara();
  return nullptr;
}

}  // namespace app
