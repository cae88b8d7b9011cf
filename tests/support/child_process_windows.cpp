// Child processes on Windows: CreateProcessW with its command line quoted as
// the C runtime splits it, a pipe for the output, TerminateProcess.
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/child_process.h"

namespace testing_support {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// One argument as the C runtime's parser reads it back: in quotes when it
// holds a blank or a quote, backslashes doubled only before a quote.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t ch : arg) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += ch;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// Sets variables in this process's environment (which the child inherits)
// for as long as it lives, then puts back what was there.
class EnvironmentFor {
 public:
  explicit EnvironmentFor(const std::vector<std::pair<std::string, std::string>>& env) {
    for (const auto& [name, value] : env) {
      const std::wstring wname = Wide(name);
      wchar_t old[32767];
      const DWORD n = GetEnvironmentVariableW(wname.c_str(), old, 32767);
      saved_.push_back({wname, n ? std::optional<std::wstring>(std::wstring(old, n)) : std::nullopt});
      SetEnvironmentVariableW(wname.c_str(), Wide(value).c_str());
    }
  }
  ~EnvironmentFor() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      SetEnvironmentVariableW(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  }

 private:
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved_;
};

std::string LastError(const std::string& what) {
  return what + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args, const ChildOptions& options) {
  std::wstring command = Quoted(program.wstring());
  for (const std::string& a : args) command += L" " + Quoted(Wide(a));

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error(LastError("CreatePipe"));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE err = write_end;
  if (!options.stderr_file.empty()) {
    err = CreateFileW(options.stderr_file.wstring().c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err == INVALID_HANDLE_VALUE) {
      CloseHandle(read_end);
      CloseHandle(write_end);
      throw std::runtime_error(LastError("cannot create " + options.stderr_file.string()));
    }
  }
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = write_end;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  BOOL started;
  {
    EnvironmentFor env(options.env);
    started = CreateProcessW(program.wstring().c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &info);
  }
  const std::string failure = started ? "" : LastError("cannot start " + program.string());
  CloseHandle(write_end);
  if (err != write_end) CloseHandle(err);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (!started) {
    CloseHandle(read_end);
    throw std::runtime_error(failure);
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  out_ = read_end;
}

ChildProcess::~ChildProcess() {
  Kill();
  Wait();
  if (out_) CloseHandle(out_);
  if (process_) CloseHandle(process_);
}

bool ChildProcess::Fill() {
  if (ended_) return false;
  char chunk[4096];
  DWORD n = 0;
  if (!ReadFile(out_, chunk, sizeof chunk, &n, nullptr) || n == 0) {
    ended_ = true;
    return false;
  }
  buffer_.append(chunk, n);
  return true;
}

void ChildProcess::Kill() {
  if (process_ && !exit_) TerminateProcess(process_, kKilledCode);
}

ChildExit ChildProcess::Wait() {
  if (exit_) return *exit_;
  std::string rest = ReadAll();
  buffer_ = std::move(rest);
  WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  ChildExit e;
  e.killed = code == static_cast<DWORD>(kKilledCode);
  e.code = e.killed ? -1 : static_cast<int>(code);
  exit_ = e;
  return e;
}

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  // The C runtime's copy (getenv) and the process's (children) both; an
  // empty value removes the variable.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
}

}  // namespace testing_support
