// Files as the engine's storage uses them: opened by path, read and written
// whole, at an offset or from the current position, cut short, flushed to the
// disk and locked against a second process. One implementation per system
// (file_posix.cpp, file_windows.cpp); callers never see a descriptor or a
// handle, so nothing above this asks which system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace port {

class File {
 public:
  enum class Mode {
    kRead,             // an existing file, read only
    kReadWrite,        // read and write, made empty when missing
    kReadWriteExisting,  // read and write, an existing file only
    kWriteTruncate,    // write only, made or emptied
  };

  File() = default;
  ~File();  // closes the file, which releases its lock
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens path (bytes as the command line gives them: the system's narrow
  // text). On failure the File is not open and LastError() says why.
  static File Open(const std::string& path, Mode mode);
  // An unnamed file in dir for scratch bytes, gone when it is closed or the
  // process ends. Not open on failure.
  static File Temporary(const std::string& dir);

  // A file for writing in dir without a name, to be named by Link once it is
  // whole, so that a process that dies while writing it leaves nothing
  // behind. Not open where the system has no such files (the caller then
  // writes under a name from the start).
  static File Unnamed(const std::string& dir);
  // Gives a file made by Unnamed the name path, which must not exist.
  bool Link(const std::string& path);

  bool IsOpen() const { return handle_ != kInvalid; }
  void Close();

  // Reads up to n bytes from the current position; the count read, 0 at the
  // end, -1 on error.
  std::int64_t Read(char* out, std::size_t n);
  // Reads exactly n bytes at offset at; false on error or a short file.
  bool ReadAt(std::uint64_t at, char* out, std::size_t n) const;
  // Writes all n bytes at the current position, or at offset at.
  bool Write(const char* data, std::size_t n);
  bool WriteAt(std::uint64_t at, const char* data, std::size_t n);
  // Moves the current position.
  bool Seek(std::uint64_t at);
  // Cuts (or extends) the file to size bytes; the current position is kept.
  bool Truncate(std::uint64_t size);
  // The file's size in bytes; -1 on error.
  std::int64_t Size();
  // Makes what was written durable: the bytes and the metadata needed to read
  // them back after a crash or a power cut.
  bool Sync();
  // Takes an exclusive lock on the file without waiting; false when another
  // process (or another File of this one) holds it. The lock ends with Close.
  bool TryLock();

 private:
#ifdef _WIN32
  using Handle = void*;
  static inline Handle const kInvalid = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
#else
  using Handle = int;
  static constexpr Handle kInvalid = -1;
#endif
  explicit File(Handle h) : handle_(h) {}
  Handle handle_ = kInvalid;
};

// Replaces dest by from (a file written and flushed beside it) in one step: a
// reader sees the old file or the new one, never a mixture, and after a crash
// the new name holds. False on failure (LastError() says why); from is then
// left in place.
bool ReplaceAtomically(const std::string& from, const std::string& dest);

// Removes path; true when it is gone (or was never there).
bool RemoveFile(const std::string& path);

// The system's message for the last failed call of this layer on this thread.
std::string LastError();
// True when the last failed call failed because the file or its folder does
// not exist.
bool LastErrorWasNotFound();

}  // namespace port
