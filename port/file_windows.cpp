// Files on Windows: handles opened with CreateFileW (always binary), locks
// with LockFileEx, flushes with FlushFileBuffers, replacement with
// MoveFileExW. Files are opened sharing read, write and delete, as POSIX
// files are, so that one process may replace a file another has open.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "port/file.h"
#include "port/wide.h"

namespace port {

namespace {
thread_local DWORD last_error = 0;

bool Fail() {
  last_error = ::GetLastError();
  return false;
}

std::wstring WidePath(const std::string& path) { return Widen(path, CP_ACP); }

OVERLAPPED At(std::uint64_t at) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(at);
  ov.OffsetHigh = static_cast<DWORD>(at >> 32);
  return ov;
}

// The lock covers one byte far past any data: Windows locks are mandatory
// for the bytes they cover, and other processes may still read the file.
constexpr std::uint64_t kLockByte = 1ull << 62;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows writes at most 4 GB in one call; the engine's pieces are far smaller.
constexpr std::size_t kMaxChunk = 1u << 30;
}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

File File::Open(const std::string& path, Mode mode) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case Mode::kRead:
      access = GENERIC_READ;
      break;
    case Mode::kReadWrite:
      disposition = OPEN_ALWAYS;
      break;
    case Mode::kReadWriteExisting:
      break;
    case Mode::kWriteTruncate:
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
  }
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), access, kShareAll, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) last_error = ::GetLastError();
  return File(h);
}

// Windows cannot name a file that was made without one: the caller writes
// under a name from the start.
File File::Unnamed(const std::string&) {
  last_error = ERROR_NOT_SUPPORTED;
  return File();
}

bool File::Link(const std::string&) {
  last_error = ERROR_NOT_SUPPORTED;
  return false;
}

File File::Temporary(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = dir + "\\.libupgrade-spill-" + std::to_string(::GetCurrentProcessId()) +
                             "-" + std::to_string(counter++);
    HANDLE h = ::CreateFileW(WidePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                             nullptr);
    if (h != INVALID_HANDLE_VALUE) return File(h);
    last_error = ::GetLastError();
    if (last_error != ERROR_FILE_EXISTS) break;
  }
  return File();
}

void File::Close() {
  if (handle_ != kInvalid) ::CloseHandle(handle_);
  handle_ = kInvalid;
}

std::int64_t File::Read(char* out, std::size_t n) {
  DWORD got = 0;
  if (!::ReadFile(handle_, out, static_cast<DWORD>(std::min(n, kMaxChunk)), &got, nullptr)) {
    last_error = ::GetLastError();
    return -1;
  }
  return got;
}

bool File::ReadAt(std::uint64_t at, char* out, std::size_t n) const {
  std::size_t done = 0;
  while (done < n) {
    OVERLAPPED ov = At(at + done);
    DWORD got = 0;
    if (!::ReadFile(handle_, out + done, static_cast<DWORD>(std::min(n - done, kMaxChunk)), &got,
                    &ov)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) {
        last_error = 0;
        return false;
      }
      return Fail();
    }
    if (got == 0) {
      last_error = 0;
      return false;
    }
    done += got;
  }
  return true;
}

bool File::Write(const char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    DWORD put = 0;
    if (!::WriteFile(handle_, data + done, static_cast<DWORD>(std::min(n - done, kMaxChunk)), &put,
                     nullptr) ||
        put == 0)
      return Fail();
    done += put;
  }
  return true;
}

bool File::WriteAt(std::uint64_t at, const char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    OVERLAPPED ov = At(at + done);
    DWORD put = 0;
    if (!::WriteFile(handle_, data + done, static_cast<DWORD>(std::min(n - done, kMaxChunk)), &put,
                     &ov) ||
        put == 0)
      return Fail();
    done += put;
  }
  return true;
}

bool File::Seek(std::uint64_t at) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(at);
  return ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) || Fail();
}

bool File::Truncate(std::uint64_t size) {
  // SetEndOfFile cuts at the current position: go there, cut, come back.
  LARGE_INTEGER zero{}, here{};
  if (!::SetFilePointerEx(handle_, zero, &here, FILE_CURRENT)) return Fail();
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
  if (!ok) last_error = ::GetLastError();
  ::SetFilePointerEx(handle_, here, nullptr, FILE_BEGIN);
  return ok;
}

std::int64_t File::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle_, &size)) {
    last_error = ::GetLastError();
    return -1;
  }
  return size.QuadPart;
}

bool File::Sync() { return ::FlushFileBuffers(handle_) || Fail(); }

bool File::TryLock() {
  OVERLAPPED ov = At(kLockByte);
  return ::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov) ||
         Fail();
}

bool ReplaceAtomically(const std::string& from, const std::string& dest) {
  // The C runtime's rename refuses an existing destination; MoveFileExW
  // replaces it, and with write-through returns once the move is on disk.
  return ::MoveFileExW(WidePath(from).c_str(), WidePath(dest).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
         Fail();
}

bool RemoveFile(const std::string& path) {
  if (::DeleteFileW(WidePath(path).c_str())) return true;
  const DWORD e = ::GetLastError();
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
  last_error = e;
  return false;
}

std::string LastError() {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, last_error, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", n);
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' '))
    message.pop_back();
  if (message.empty()) return "error " + std::to_string(last_error);
  return Narrow(message, CP_ACP);
}

bool LastErrorWasNotFound() {
  return last_error == ERROR_FILE_NOT_FOUND || last_error == ERROR_PATH_NOT_FOUND;
}

}  // namespace port
