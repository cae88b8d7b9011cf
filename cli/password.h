// Where libupgrade-cli takes the login's password from, so that it need not
// appear on the command line, where every user of the machine sees it in the
// process list.
#pragma once

#include <optional>
#include <string>

namespace cli {

// The password as the options and the environment give it (UTF-8):
// - "--password -": read from the terminal without echo (from standard
//   input, one line, when that is not a terminal);
// - "--password P": P;
// - no --password: LIBUPGRADE_PASSWORD when it is set;
// - otherwise nullopt (the caller's default applies).
// Throws std::runtime_error when the prompt cannot be read.
std::optional<std::string> ResolvePassword(const std::optional<std::string>& option);

}  // namespace cli
