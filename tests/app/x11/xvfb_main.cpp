// The X11 window tests run on an Xvfb of their own: started here on a free
// display number (Xvfb -displayfd picks it), with Qt's xcb platform, and
// stopped when the tests end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

pid_t xvfb = -1;

// Starts Xvfb and returns its display number, or -1.
int StartXvfb() {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  xvfb = ::fork();
  if (xvfb < 0) return -1;
  if (xvfb == 0) {
    ::close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDERR_FILENO);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string line;
  pollfd p{fds[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
    char buf[32];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (line.find('\n') == std::string::npos) return -1;
  return std::stoi(line);
}

void StopXvfb() {
  if (xvfb <= 0) return;
  ::kill(xvfb, SIGTERM);
  ::waitpid(xvfb, nullptr, 0);
  xvfb = -1;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int display = StartXvfb();
  if (display < 0) {
    std::fprintf(stderr, "cannot start Xvfb (tools/install-deps.sh installs it)\n");
    StopXvfb();
    return 1;
  }
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  const std::string name = ":" + std::to_string(display);
#pragma GCC diagnostic pop
  ::setenv("DISPLAY", name.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  const int result = RUN_ALL_TESTS();
  StopXvfb();
  return result;
}
