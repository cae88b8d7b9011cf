#include "app/core/start_mess.h"

namespace app {

std::string StartMess;

}  // namespace app
