// GBK <-> UTF-8 through ICU's code page 936 converter, and the byte rules of
// GBK that the rest of the system shares.
#include "text/gbk.h"

#include <unicode/ucnv.h>

#include <memory>
#include <stdexcept>

namespace text {

namespace {

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// ICU's "windows-936" is Microsoft's code page 936 as Windows maps it
// (0x80 is the euro sign), which is what the library's clients write.
ConverterPtr OpenConverter(const char* name, bool strict) {
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr c(ucnv_open(name, &status));
  if (U_FAILURE(status)) throw std::runtime_error(std::string("cannot open ICU converter ") + name);
  if (strict) {
    status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  return c;
}

UConverter* GbkConverter() {
  thread_local ConverterPtr c = OpenConverter("windows-936", false);
  return c.get();
}
UConverter* StrictGbkConverter() {
  thread_local ConverterPtr c = OpenConverter("windows-936", true);
  return c.get();
}
UConverter* StrictUtf8Converter() {
  thread_local ConverterPtr c = OpenConverter("UTF-8", true);
  return c.get();
}
UConverter* Utf8Converter() {
  thread_local ConverterPtr c = OpenConverter("UTF-8", false);
  return c.get();
}

bool IsAscii(std::string_view s) {
  for (unsigned char b : s)
    if (b >= 0x80) return false;
  return true;
}

}  // namespace

std::string Gbk(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  UConverter* from = StrictUtf8Converter();
  UConverter* to = StrictGbkConverter();
  ucnv_reset(from);
  ucnv_reset(to);
  std::string out(utf8.size() * 2 + 8, '\0');
  char* target = out.data();
  const char* source = utf8.data();
  UErrorCode status = U_ZERO_ERROR;
  ucnv_convertEx(to, from, &target, out.data() + out.size(), &source, utf8.data() + utf8.size(),
                 nullptr, nullptr, nullptr, nullptr, true, true, &status);
  if (U_FAILURE(status)) {
    throw std::runtime_error("text cannot be converted to GBK at byte " +
                             std::to_string(source - utf8.data()) + ": " + u_errorName(status));
  }
  out.resize(target - out.data());
  return out;
}

std::string Utf8(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  UConverter* from = GbkConverter();
  UConverter* to = Utf8Converter();
  ucnv_reset(from);
  ucnv_reset(to);
  // Every GBK byte becomes at most three UTF-8 bytes (U+FFFD included).
  std::string out(gbk.size() * 3 + 8, '\0');
  char* target = out.data();
  const char* source = gbk.data();
  UErrorCode status = U_ZERO_ERROR;
  ucnv_convertEx(to, from, &target, out.data() + out.size(), &source, gbk.data() + gbk.size(),
                 nullptr, nullptr, nullptr, nullptr, true, true, &status);
  if (U_FAILURE(status)) return "\xEF\xBF\xBD";  // cannot happen with substitution on
  out.resize(target - out.data());
  return out;
}

bool IsGbkPair(std::string_view bytes, std::size_t i) {
  if (i + 1 >= bytes.size()) return false;
  const auto lead = static_cast<unsigned char>(bytes[i]);
  const auto trail = static_cast<unsigned char>(bytes[i + 1]);
  return lead >= 0x81 && lead <= 0xFE &&
         ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE));
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimRight(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(0, e));
}

}  // namespace text
