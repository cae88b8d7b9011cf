#include "app/start_mess.h"

namespace app {

QString StartMess;

}  // namespace app
