// What the child processes of both systems share: reading lines, the
// registered child bodies, running to the end.
#include "tests/support/child_process.h"

#include <map>
#include <stdexcept>

#include "port/program_path.h"

namespace testing_support {

namespace {

std::map<std::string, ChildBody>& Bodies() {
  static std::map<std::string, ChildBody> bodies;
  return bodies;
}

}  // namespace

std::optional<std::string> ChildProcess::ReadLine() {
  for (;;) {
    const std::size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (!Fill()) break;
  }
  if (buffer_.empty()) return std::nullopt;
  std::string last = std::move(buffer_);
  buffer_.clear();
  return last;
}

std::string ChildProcess::ReadAll() {
  while (Fill()) {
  }
  std::string all = std::move(buffer_);
  buffer_.clear();
  return all;
}

ChildExit RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::string* output, const ChildOptions& options) {
  ChildProcess child(program, args, options);
  std::string out = child.ReadAll();
  if (output) *output = std::move(out);
  return child.Wait();
}

std::filesystem::path BuiltProgram(const std::string& name) {
#ifdef _WIN32
  return std::filesystem::path(LIBUPGRADE_BIN_DIR) / (name + ".exe");
#else
  return std::filesystem::path(LIBUPGRADE_BIN_DIR) / name;
#endif
}

bool RegisterChild(const std::string& name, ChildBody body) {
  return Bodies().emplace(name, std::move(body)).second;
}

namespace {

std::vector<std::string> ChildArgs(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> all{"--child", name};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& name,
                                         const std::vector<std::string>& args,
                                         const ChildOptions& options) {
  return std::make_unique<ChildProcess>(port::ProgramPath(), ChildArgs(name, args), options);
}

ChildExit RunChild(const std::string& name, const std::vector<std::string>& args,
                   std::string* output, const ChildOptions& options) {
  return RunProgram(port::ProgramPath(), ChildArgs(name, args), output, options);
}

std::optional<int> RunChildBodyIfAsked(int argc, char** argv) {
  if (argc < 3 || std::string(argv[1]) != "--child") return std::nullopt;
  const auto body = Bodies().find(argv[2]);
  if (body == Bodies().end()) throw std::runtime_error(std::string("no child body ") + argv[2]);
  return body->second(std::vector<std::string>(argv + 3, argv + argc));
}

}  // namespace testing_support
