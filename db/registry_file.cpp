// The file-based stand-in for HKEY_LOCAL_MACHINE on systems without a
// registry.
//
// Store format (under the root folder):
//   - a key is a folder: "SOFTWARE\Quorvant\Lib" is root/SOFTWARE/Quorvant/Lib;
//     key names match without regard to ASCII case, as in the registry;
//   - the string values of a key live in one file, "values.txt" in its folder,
//     one value a line: NAME=VALUE, names matched without regard to case;
//   - a value is its bytes as stored (GBK), with three escapes so that any byte
//     string survives: "\\" for a backslash, "\xHH" for a control byte, for
//     0x7F and for a byte of 0x80 or above that is not part of a GBK pair
//     (GBK pairs stay as they are, so the file reads as GBK text);
//   - the file is replaced whole (written beside it, then renamed), so a
//     reader never sees half of it;
//   - values.txt holds the connection password (in the reversible digit
//     encoding), so it is written readable by its owner only (0600), in a key
//     folder only its owner may enter (0700); a file or folder left wider by
//     an earlier release is tightened when a value is written.
#include "db/registry.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "text/gbk.h"

namespace db {

namespace {

constexpr const char* kValuesFile = "values.txt";

bool SameName(std::string_view a, std::string_view b) {
  return text::SameIgnoringAsciiCase(a, b);
}

std::vector<std::string> KeyParts(std::string_view key) {
  std::vector<std::string> parts;
  std::string part;
  for (char ch : key) {
    if (ch == '\\') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += ch;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

// The folder of the key: each part matched to an existing folder without
// regard to case, the rest as written.
std::filesystem::path KeyDir(const std::filesystem::path& root, std::string_view key) {
  std::filesystem::path dir = root;
  bool exists = true;
  for (const auto& part : KeyParts(key)) {
    std::filesystem::path next = dir / part;
    std::error_code ec;
    if (exists && !std::filesystem::is_directory(next, ec)) {
      bool found = false;
      for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_directory(ec) && SameName(entry.path().filename().string(), part)) {
          next = entry.path();
          found = true;
          break;
        }
      }
      exists = found;
    }
    dir = next;
  }
  return dir;
}

std::string EscapeValue(std::string_view v) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < v.size();) {
    if (text::IsGbkPair(v, i)) {
      out.append(v.substr(i, 2));
      i += 2;
      continue;
    }
    const auto b = static_cast<unsigned char>(v[i++]);
    if (b == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string UnescapeValue(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size();) {
    if (text::IsGbkPair(v, i)) {
      out.append(v.substr(i, 2));
      i += 2;
    } else if (v[i] == '\\' && i + 1 < v.size() && v[i + 1] == '\\') {
      out += '\\';
      i += 2;
    } else if (v[i] == '\\' && i + 3 < v.size() && v[i + 1] == 'x' && HexDigit(v[i + 2]) >= 0 &&
               HexDigit(v[i + 3]) >= 0) {
      out += static_cast<char>(HexDigit(v[i + 2]) * 16 + HexDigit(v[i + 3]));
      i += 4;
    } else {
      out += v[i++];
    }
  }
  return out;
}

// name -> value, in file order (names compared without case on lookup).
using Values = std::vector<std::pair<std::string, std::string>>;

Values ReadValues(const std::filesystem::path& dir) {
  Values values;
  std::ifstream in(dir / kValuesFile, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    values.emplace_back(line.substr(0, eq), UnescapeValue(line.substr(eq + 1)));
  }
  return values;
}

// Makes the key's folder (and its parents) as needed; the key's own folder
// is its owner's alone, whether made now or before.
void MakeKeyDir(const std::filesystem::path& dir, std::error_code& ec) {
  namespace fs = std::filesystem;
  fs::create_directories(dir, ec);
  if (ec) return;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
}

}  // namespace

Registry::Registry(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path Registry::DefaultRoot() {
  if (const char* env = std::getenv("LIBUPGRADE_REGISTRY_ROOT"); env && *env) return env;
  return "/etc/xdg/Quorvant/registry";
}

bool Registry::KeyExists(std::string_view key) const {
  std::error_code ec;
  return std::filesystem::is_directory(KeyDir(root_, key), ec);
}

bool Registry::OpenKeyForWrite(std::string_view key, bool create) {
  const auto dir = KeyDir(root_, key);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    if (!create) return false;
    MakeKeyDir(dir, ec);
    if (ec) return false;
  }
  return ::access(dir.c_str(), W_OK) == 0;
}

std::filesystem::path Registry::ValuesFile(std::string_view key) const {
  return KeyDir(root_, key) / kValuesFile;
}

std::string Registry::ReadString(std::string_view key, std::string_view name) const {
  for (const auto& [n, v] : ReadValues(KeyDir(root_, key)))
    if (SameName(n, name)) return v;
  return "";
}

void Registry::WriteString(std::string_view key, std::string_view name, std::string_view value) {
  if (name.find('=') != std::string_view::npos || name.find('\n') != std::string_view::npos)
    throw RegistryError(text::Gbk("注册表值名无效：") + std::string(name));
  const auto dir = KeyDir(root_, key);
  std::error_code ec;
  MakeKeyDir(dir, ec);
  if (ec)
    throw RegistryError(text::Gbk("无法创建注册表项 HKEY_LOCAL_MACHINE\\") + std::string(key) +
                        " (" + dir.string() + ")");
  Values values = ReadValues(dir);
  bool replaced = false;
  for (auto& [n, v] : values)
    if (SameName(n, name)) {
      v = std::string(value);
      replaced = true;
    }
  if (!replaced) values.emplace_back(std::string(name), std::string(value));

  const auto file = dir / kValuesFile;
  const auto tmp = dir / (std::string(kValuesFile) + ".new");
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    // Private before anything is written to it; the rename keeps the mode.
    std::filesystem::permissions(
        tmp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace, ec);
    if (ec) out.setstate(std::ios::failbit);
    for (const auto& [n, v] : values) out << n << '=' << EscapeValue(v) << '\n';
    out.flush();
    if (!out) {
      std::filesystem::remove(tmp, ec);
      throw RegistryError(text::Gbk("无法写入注册表值 ") + std::string(name) + " (" +
                          file.string() + ")");
    }
  }
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw RegistryError(text::Gbk("无法写入注册表值 ") + std::string(name) + " (" + file.string() +
                        ")");
  }
}

}  // namespace db
