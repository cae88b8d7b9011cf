#include "app/core/start_mess.h"

namespace app {

std::string StartMess;
std::string StartError;

}  // namespace app
