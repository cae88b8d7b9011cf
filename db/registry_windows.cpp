// The connection parameters in the Windows registry, under
// HKEY_LOCAL_MACHINE in the 32-bit view (KEY_WOW64_32KEY): where the 32-bit
// library programs keep them, so that on 64-bit Windows this program and
// they read and write the same key (SOFTWARE\WOW6432Node\Quorvant\Lib).
// The W functions are used with the text converted explicitly as code page
// 936, so the values are the same GBK bytes whatever the machine's ANSI code
// page.
#include <windows.h>

#include "db/registry.h"
#include "port/wide.h"
#include "text/gbk.h"

namespace db {

namespace {

constexpr unsigned kGbk = 936;

std::wstring W(std::string_view gbk) {
  return port::Widen(gbk, kGbk);
}

// An open key, closed when it goes.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) ::RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

LSTATUS OpenKey(std::string_view key, REGSAM access, Key* k) {
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(key).c_str(), 0, access | KEY_WOW64_32KEY, k->out());
}

LSTATUS CreateKey(std::string_view key, REGSAM access, Key* k) {
  return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access | KEY_WOW64_32KEY, nullptr, k->out(), nullptr);
}

std::string SystemMessage(LSTATUS status) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", n);
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  if (message.empty()) return std::to_string(status);
  return port::Narrow(message, kGbk);
}

}  // namespace

Registry::Registry(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path Registry::DefaultRoot() {
  return {};
}

std::filesystem::path Registry::ValuesFile(std::string_view) const {
  return {};
}

bool Registry::KeyExists(std::string_view key) const {
  Key k;
  return OpenKey(key, KEY_READ, &k) == ERROR_SUCCESS;
}

bool Registry::OpenKeyForWrite(std::string_view key, bool create) {
  Key k;
  const LSTATUS status =
      create ? CreateKey(key, KEY_READ | KEY_WRITE, &k) : OpenKey(key, KEY_READ | KEY_WRITE, &k);
  return status == ERROR_SUCCESS;
}

std::string Registry::ReadString(std::string_view key, std::string_view name) const {
  Key k;
  if (OpenKey(key, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return "";
  const std::wstring wname = W(name);
  DWORD type = 0, bytes = 0;
  if (::RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return "";
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (::RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS)
    return "";
  // The stored text may or may not end with its terminating zero.
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return port::Narrow(value, kGbk);
}

void Registry::WriteString(std::string_view key, std::string_view name, std::string_view value) {
  Key k;
  LSTATUS status = CreateKey(key, KEY_SET_VALUE, &k);
  if (status != ERROR_SUCCESS)
    throw RegistryError(text::Gbk("无法创建注册表项 HKEY_LOCAL_MACHINE\\") + std::string(key) +
                        " (" + SystemMessage(status) + ")");
  const std::wstring wvalue = W(value);
  status = ::RegSetValueExW(k.get(), W(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wvalue.c_str()),
                            static_cast<DWORD>((wvalue.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS)
    throw RegistryError(text::Gbk("无法写入注册表值 ") + std::string(name) + " (" +
                        SystemMessage(status) + ")");
}

}  // namespace db
