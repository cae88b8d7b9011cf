// Code page conversions for the W functions.
#include <windows.h>

#include "port/wide.h"

namespace port {

std::wstring Widen(std::string_view narrow, unsigned code_page) {
  if (narrow.empty()) return {};
  const int n = ::MultiByteToWideChar(code_page, 0, narrow.data(), static_cast<int>(narrow.size()),
                                      nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, 0, narrow.data(), static_cast<int>(narrow.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide, unsigned code_page) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

}  // namespace port
