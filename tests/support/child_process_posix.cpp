// Child processes on POSIX: posix_spawn, a pipe for the output, SIGKILL.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/support/child_process.h"

extern char** environ;

namespace testing_support {

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args, const ChildOptions& options) {
  // The environment: this process's, with the options' settings over it.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : options.env)
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(strerror(errno)));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (options.stderr_file.empty()) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, options.stderr_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + program.string() + ": " + strerror(rc));
  }
  pid_ = pid;
  out_ = fds[0];
}

ChildProcess::~ChildProcess() {
  Kill();
  Wait();
  if (out_ >= 0) close(out_);
}

bool ChildProcess::Fill() {
  if (ended_) return false;
  char chunk[4096];
  ssize_t n;
  do {
    n = read(out_, chunk, sizeof chunk);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

void ChildProcess::Kill() {
  if (pid_ > 0 && !exit_) kill(pid_, SIGKILL);
}

ChildExit ChildProcess::Wait() {
  if (exit_) return *exit_;
  // Reading to the end first: a child writing more than the pipe holds would
  // otherwise never end.
  std::string rest = ReadAll();
  buffer_ = std::move(rest);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  ChildExit e;
  e.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  e.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  exit_ = e;
  return e;
}

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

}  // namespace testing_support
