// Connection parameters kept under HKEY_LOCAL_MACHINE\SOFTWARE\Quorvant\<sub-key>.
//
// On Windows this is the registry itself, in its 32-bit view, with values as
// GBK text (registry_windows.cpp). Elsewhere a file-based store stands in
// with the same operations (registry_file.cpp); it lives in a machine-wide
// folder that only an administrator may write (see the README), so a user
// without those rights fails to create or write a key exactly as on Windows.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "db/connection.h"

namespace db {

// A registry operation refused (no right to create or write the key).
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Registry {
 public:
  // root: the folder standing in for HKEY_LOCAL_MACHINE (ignored on Windows,
  // where DefaultRoot() is empty).
  explicit Registry(std::filesystem::path root = DefaultRoot());
  static std::filesystem::path DefaultRoot();

  // key paths are written with backslashes: "SOFTWARE\\Quorvant\\Lib".
  bool KeyExists(std::string_view key) const;
  // Opens (and with create, makes) the key for writing; false when refused.
  bool OpenKeyForWrite(std::string_view key, bool create);
  // A value that does not exist (or a key that cannot be read) reads as "".
  std::string ReadString(std::string_view key, std::string_view name) const;
  // Throws RegistryError when the value cannot be written.
  void WriteString(std::string_view key, std::string_view name, std::string_view value);
  // The file that holds the key's values in the stand-in (whether or not it
  // exists yet); empty on Windows, where the registry holds them.
  std::filesystem::path ValuesFile(std::string_view key) const;

 private:
  std::filesystem::path root_;
};

inline constexpr std::string_view kLibKey = "SOFTWARE\\Quorvant\\Lib";

// The data module's before-connect reading of the parameters: the stored
// defaults ("LibODBC", "sa", "") unless the key exists, in which case ODBCNAME
// is trimmed and USERNAME/PASSWORD trimmed and decoded. A value that does not
// decode throws std::invalid_argument.
ConnectParams LoadConnectParams(const Registry& registry);

// The connection dialog's save, for a key such as kLibKey: SOFTWARE\Quorvant
// and the key made when missing (a refusal throws RegistryError), then the
// key opened for writing and ODBCNAME (trimmed), USERNAME and PASSWORD
// (trimmed, then encoded) written in that order. False, with nothing
// written, when the key cannot be opened for writing (no administrator
// rights); RegistryError when a value cannot be written.
bool SaveConnectParams(Registry& registry, std::string_view key, const ConnectParams& params);

}  // namespace db
