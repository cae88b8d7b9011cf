// Child processes for the tests, on POSIX and on Windows alike: a built
// program (libsql, libupgrade-cli) or this test program again, running one of
// its registered child bodies, with its standard output read through a pipe
// and a kill that ends it as a crash would (SIGKILL, TerminateProcess).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ChildOptions {
  // Set in the child's environment, on top of this process's.
  std::vector<std::pair<std::string, std::string>> env;
  // Where its standard error goes: this file, or (empty) the same pipe as its
  // standard output.
  std::filesystem::path stderr_file;
};

// How a child ended.
struct ChildExit {
  bool killed = false;  // by SIGKILL, or by TerminateProcess with kKilledCode
  int code = -1;        // its exit code when it was not killed
};

// The exit code of a process ended with port::KillThisProcess or
// ChildProcess::Kill on Windows (which has no signals).
constexpr int kKilledCode = 9;

class ChildProcess {
 public:
  // Starts program with args (UTF-8). Throws std::runtime_error when it
  // cannot be started.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const ChildOptions& options = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of its output without the line end (LF or CR LF);
  // nullopt once the output has ended.
  std::optional<std::string> ReadLine();
  // The rest of its output.
  std::string ReadAll();
  // Ends it at once, as a crash would; a child already gone is left alone.
  void Kill();
  // Waits for it to end (reading its output to the end first).
  ChildExit Wait();

 private:
  bool Fill();  // reads more output into buffer_; false at its end

  std::string buffer_;
  bool ended_ = false;
  std::optional<ChildExit> exit_;
#ifdef _WIN32
  void* process_ = nullptr;
  void* out_ = nullptr;
#else
  int pid_ = -1;
  int out_ = -1;
#endif
};

// Sets (or, with nullopt, removes) a variable of this process's environment,
// which its children inherit.
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

// Runs program with args to its end; its output (and its standard error,
// unless options name a file for it) in *output.
ChildExit RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::string* output = nullptr, const ChildOptions& options = {});

// A built program of this tree by name ("libsql"), with ".exe" on Windows.
std::filesystem::path BuiltProgram(const std::string& name);

// Child bodies: code a test runs in a process of its own, by running this
// test program again as "<program> --child NAME ARGS...". A test file
// registers its bodies at start-up:
//   const bool registered = RegisterChild("writer", [](const auto& args) {...});
// The body's return value is the child's exit code.
using ChildBody = std::function<int(const std::vector<std::string>& args)>;
bool RegisterChild(const std::string& name, ChildBody body);

// Starts this test program as a child running the body registered as name.
std::unique_ptr<ChildProcess> StartChild(const std::string& name,
                                         const std::vector<std::string>& args,
                                         const ChildOptions& options = {});
// Runs the body registered as name in a child process to its end.
ChildExit RunChild(const std::string& name, const std::vector<std::string>& args,
                   std::string* output = nullptr, const ChildOptions& options = {});

// The test programs' main calls this first: when argv asks for a child body,
// runs it and returns its exit code; otherwise nullopt.
std::optional<int> RunChildBodyIfAsked(int argc, char** argv);

}  // namespace testing_support
