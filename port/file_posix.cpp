// Files on POSIX systems: descriptors, flock(2) and fsync(2).
#include "port/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace port {

namespace {
thread_local int last_error = 0;

bool Fail() {
  last_error = errno;
  return false;
}
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
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR | O_CREAT;
      break;
    case Mode::kReadWriteExisting:
      flags |= O_RDWR;
      break;
    case Mode::kWriteTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
  }
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) last_error = errno;
  return File(fd);
}

File File::Temporary(const std::string& dir) {
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    std::string name = dir + "/.libupgrade-spill-XXXXXX";
    fd = ::mkstemp(name.data());
    if (fd < 0) {
      last_error = errno;
      return File();
    }
    ::unlink(name.c_str());
  }
  return File(fd);
}

void File::Close() {
  if (handle_ != kInvalid) ::close(handle_);
  handle_ = kInvalid;
}

std::int64_t File::Read(char* out, std::size_t n) {
  for (;;) {
    const ssize_t k = ::read(handle_, out, n);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) last_error = errno;
    return k;
  }
}

bool File::ReadAt(std::uint64_t at, char* out, std::size_t n) const {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::pread(handle_, out + done, n - done, static_cast<off_t>(at + done));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return Fail();
    if (k == 0) {
      last_error = 0;
      return false;
    }
    done += static_cast<std::size_t>(k);
  }
  return true;
}

bool File::Write(const char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::write(handle_, data + done, n - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return Fail();
    done += static_cast<std::size_t>(k);
  }
  return true;
}

bool File::WriteAt(std::uint64_t at, const char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::pwrite(handle_, data + done, n - done, static_cast<off_t>(at + done));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return Fail();
    done += static_cast<std::size_t>(k);
  }
  return true;
}

bool File::Seek(std::uint64_t at) {
  return ::lseek(handle_, static_cast<off_t>(at), SEEK_SET) == static_cast<off_t>(at) || Fail();
}

bool File::Truncate(std::uint64_t size) {
  return ::ftruncate(handle_, static_cast<off_t>(size)) == 0 || Fail();
}

std::int64_t File::Size() {
  struct stat st {};
  if (::fstat(handle_, &st) != 0) {
    last_error = errno;
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

bool File::Sync() {
#ifdef __linux__
  // The data and the metadata needed to read it back (the size), without
  // the times: what a commit needs, at less cost than fsync.
  return ::fdatasync(handle_) == 0 || Fail();
#else
  return ::fsync(handle_) == 0 || Fail();
#endif
}

File File::Unnamed(const std::string& dir) {
#ifdef O_TMPFILE
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0) return File(fd);
  last_error = errno;
#else
  (void)dir;
  last_error = EOPNOTSUPP;
#endif
  return File();
}

bool File::Link(const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
         Fail();
}

bool File::TryLock() { return ::flock(handle_, LOCK_EX | LOCK_NB) == 0 || Fail(); }

bool ReplaceAtomically(const std::string& from, const std::string& dest) {
  if (::rename(from.c_str(), dest.c_str()) != 0) return Fail();
  // The new name is durable once the folder that holds it is.
  const std::string dir = std::filesystem::path(dest).parent_path().string();
  const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT || Fail();
}

std::string LastError() { return std::strerror(last_error); }

bool LastErrorWasNotFound() { return last_error == ENOENT || last_error == ENOTDIR; }

}  // namespace port
