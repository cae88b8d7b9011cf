// The registry's four-digits-per-byte encoding of the login name and password.
#include "text/param_codec.h"

#include <stdexcept>

#include "text/gbk.h"

namespace text {

std::string EncodeParam(std::string_view bytes) {
  static constexpr char kDigit[4] = {'0', '3', '4', '7'};
  std::string out;
  out.reserve(bytes.size() * 4);
  for (unsigned char b : bytes) {
    out += kDigit[b >> 6];
    out += kDigit[(b >> 4) & 3];
    out += kDigit[(b >> 2) & 3];
    out += kDigit[b & 3];
  }
  return out;
}

std::string DecodeParam(std::string_view digits) {
  if (digits.size() % 4 != 0) return "";
  std::string out;
  out.reserve(digits.size() / 4);
  for (std::size_t i = 0; i < digits.size(); i += 4) {
    unsigned v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char ch = digits[i + k];
      if (ch < '0' || ch > '9')
        throw std::invalid_argument(Gbk("注册表中的连接参数编码无效：“") +
                                    std::string(digits.substr(i + k, 1)) + Gbk("”不是数字"));
      v = v * 4 + static_cast<unsigned>(ch - '0') / 2;
    }
    out += static_cast<char>(v % 256);
  }
  return out;
}

}  // namespace text
