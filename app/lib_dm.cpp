#include "app/lib_dm.h"

#include <QCoreApplication>
#include <QLabel>

#include "app/flash.h"
#include "app/start_mess.h"

namespace app {

TLibDM::TLibDM(const db::Registry& registry, ConnectFn connect, QObject* owner)
    : QObject(owner), registry_(registry) {
  setObjectName("LibDM");
  LibDBBeforeConnect();
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

TLibDM::~TLibDM() = default;

void TLibDM::LibDBBeforeConnect() {
  // A value that does not decode stops here, before the splash exists.
  params_ = db::LoadConnectParams(registry_);
  StartMess = QString::fromUtf8("系统正在连接数据库，请稍候...");
  Flash_ = std::make_unique<TFlash>();
  Flash_->show();
  // Nothing runs the message loop while the connection blocks: let the window
  // system map the splash, then paint it at once.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  Flash_->repaint();
}

void TLibDM::LibDBAfterConnect() {
  Flash_.reset();
  StartMess = "OK";
}

}  // namespace app
