// Parameter values of remote procedure calls as engine variables. See
// parameters.h.
#include "server/parameters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

namespace server {

namespace {

namespace pt = tds::param_type;

std::int64_t LeSigned(std::string_view b) {
  std::uint64_t v = 0;
  for (std::size_t i = b.size(); i-- > 0;) v = v << 8 | static_cast<unsigned char>(b[i]);
  if (!b.empty() && b.size() < 8 && (static_cast<unsigned char>(b.back()) & 0x80))
    v |= ~0ull << (8 * b.size());  // sign-extend
  return static_cast<std::int64_t>(v);
}

std::uint64_t LeUnsigned(std::string_view b) {
  std::uint64_t v = 0;
  for (std::size_t i = b.size(); i-- > 0;) v = v << 8 | static_cast<unsigned char>(b[i]);
  return v;
}

void Need(const std::string& v, std::size_t n) {
  if (v.size() != n) throw tds::ProtocolError("parameter value of the wrong size");
}

std::string Quote(std::string_view gbk) {
  std::string out = "'";
  for (char c : gbk) {
    out += c;
    if (c == '\'') out += c;
  }
  return out + "'";
}

// The civil date of a day count from 1900-01-01 (negative before it).
void CivilFromDays(std::int64_t days_since_1900, int* y, int* m, int* d) {
  // Days from 0000-03-01 (1900-01-01 is day -25567 from 1970-01-01), then
  // eras of 400 years.
  const std::int64_t z = days_since_1900 - 25567 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

std::string DateTimeLiteral(std::int64_t days_since_1900, std::int64_t ms_of_day) {
  int y, m, d;
  CivilFromDays(days_since_1900, &y, &m, &d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d %02d:%02d:%02d.%03d'", y, m, d,
                static_cast<int>(ms_of_day / 3600000), static_cast<int>(ms_of_day / 60000 % 60),
                static_cast<int>(ms_of_day / 1000 % 60), static_cast<int>(ms_of_day % 1000));
  return buf;
}

// time(n) and the time part of datetime2(n): units of 10^-scale seconds.
std::int64_t TimeMs(std::string_view b, int scale) {
  std::uint64_t units = LeUnsigned(b);
  for (int k = scale; k > 3; --k) units /= 10;
  for (int k = scale; k < 3; ++k) units *= 10;
  return static_cast<std::int64_t>(units);
}

std::string Decimal(unsigned __int128 mag, bool negative, int scale) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(mag % 10)));
    mag /= 10;
  } while (mag != 0);
  if (scale > 0) {
    if (digits.size() <= static_cast<std::size_t>(scale))
      digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<std::size_t>(scale), ".");
  }
  return (negative ? "-" : "") + digits;
}

std::string Hex(std::string_view b) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (char c : b) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

std::string Ucs2ToGbk(std::string_view bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return tds::Utf16ToGbk(s);
}

// The length a character or binary parameter is declared with: its type's
// (the value's when longer), more than 8000 for a MAX type sent in chunks.
std::size_t DeclaredLength(const tds::RpcParam& p, std::size_t value_bytes) {
  if (p.size == 0xFFFF) return 0xFFFFFFFF;
  return std::max<std::size_t>(p.size, value_bytes);
}

std::string VarCharType(std::size_t bytes) {
  if (bytes > 8000) return "text";
  return "varchar(" + std::to_string(std::max<std::size_t>(bytes, 1)) + ")";
}

std::string VarBinaryType(std::size_t bytes) {
  if (bytes > 8000) return "image";
  return "varbinary(" + std::to_string(std::max<std::size_t>(bytes, 1)) + ")";
}

}  // namespace

SqlParam ParamAsSql(const tds::RpcParam& p) {
  const std::optional<std::string>& v = p.value;
  auto lit = [&](const std::string& type, const std::function<std::string()>& make) {
    return SqlParam{type, v ? make() : "null"};
  };
  std::uint32_t size = v ? static_cast<std::uint32_t>(v->size()) : p.size;
  switch (p.type) {
    case pt::kNull:
      return {"int", "null"};
    case pt::kBit:
    case tds::kBitN:
      return lit("bit", [&] { return std::string(LeUnsigned(*v) ? "1" : "0"); });
    case pt::kInt1:
    case pt::kInt2:
    case pt::kInt4:
    case pt::kInt8:
    case tds::kIntN: {
      if (p.type == tds::kIntN) size = p.size;
      if (p.type == pt::kInt1) size = 1;
      if (p.type == pt::kInt2) size = 2;
      if (p.type == pt::kInt4) size = 4;
      if (p.type == pt::kInt8) size = 8;
      if (v && v->size() != size) throw tds::ProtocolError("integer parameter of the wrong size");
      const std::string type = size == 1   ? "tinyint"
                               : size == 2 ? "smallint"
                               : size == 4 ? "int"
                                           : "bigint";
      return lit(type, [&] {
        return std::to_string(size == 1 ? static_cast<std::int64_t>(LeUnsigned(*v)) : LeSigned(*v));
      });
    }
    case pt::kFloat4:
    case pt::kFloat8:
    case tds::kFloatN: {
      bool real = p.type == pt::kFloat4 || (p.type == tds::kFloatN && p.size == 4);
      return lit(real ? "real" : "float", [&] {
        double d;
        char buf[40];
        if (v->size() == 4) {
          float f;
          std::memcpy(&f, v->data(), 4);
          d = f;
          std::snprintf(buf, sizeof buf, "%.9g", d);
        } else {
          Need(*v, 8);
          std::memcpy(&d, v->data(), 8);
          std::snprintf(buf, sizeof buf, "%.17g", d);
        }
        std::string s = buf;
        // A float literal, not a numeric one: 1E0 is float, 1.5 numeric.
        if (s.find_first_of("eEn") == std::string::npos) s += "E0";
        if (s.find_first_of("ni") != std::string::npos)
          throw tds::ProtocolError("a float parameter that is not a number");
        return s;
      });
    }
    case tds::kNumericN:
    case tds::kDecimalN: {
      int precision = std::clamp<int>(p.precision, 1, 18);
      int scale = std::min<int>(p.scale, precision);
      return lit("numeric(" + std::to_string(precision) + "," + std::to_string(scale) + ")", [&] {
        if (v->empty() || v->size() > 17) throw tds::ProtocolError("numeric parameter too long");
        unsigned __int128 mag = 0;
        for (std::size_t i = v->size(); i-- > 1;)
          mag = mag << 8 | static_cast<unsigned char>((*v)[i]);
        return Decimal(mag, (*v)[0] == 0, p.scale);
      });
    }
    case pt::kMoney:
    case pt::kMoney4:
    case pt::kMoneyN:
      return lit("money", [&] {
        std::int64_t units;
        if (v->size() == 8)
          units = static_cast<std::int64_t>(LeUnsigned(std::string_view(*v).substr(0, 4)) << 32 |
                                            LeUnsigned(std::string_view(*v).substr(4, 4)));
        else if (v->size() == 4)
          units = LeSigned(*v);
        else
          throw tds::ProtocolError("money parameter of the wrong size");
        bool negative = units < 0;
        auto mag = static_cast<unsigned __int128>(negative ? -static_cast<__int128>(units) : units);
        return Decimal(mag, negative, 4);
      });
    case pt::kDateTime:
    case pt::kDateTime4:
    case tds::kDateTimeN:
      return lit("datetime", [&] {
        if (v->size() == 8) {
          std::int64_t days = LeSigned(std::string_view(*v).substr(0, 4));
          std::int64_t ticks =
              static_cast<std::int64_t>(LeUnsigned(std::string_view(*v).substr(4, 4)));
          return DateTimeLiteral(days, (ticks * 10 + 1) / 3);
        }
        Need(*v, 4);  // smalldatetime: days and minutes
        return DateTimeLiteral(
            static_cast<std::int64_t>(LeUnsigned(std::string_view(*v).substr(0, 2))),
            static_cast<std::int64_t>(LeUnsigned(std::string_view(*v).substr(2, 2))) * 60000);
      });
    case pt::kDateN:
    case pt::kTimeN:
    case pt::kDateTime2N:
    case pt::kDateTimeOffsetN:
      return lit("datetime", [&] {
        // Days from 0001-01-01 to 1900-01-01: 693595.
        std::string_view b(*v);
        if (p.type == pt::kDateN) {
          Need(*v, 3);
          return DateTimeLiteral(static_cast<std::int64_t>(LeUnsigned(b)) - 693595, 0);
        }
        const std::size_t time_bytes = p.scale <= 2 ? 3 : p.scale <= 4 ? 4 : 5;
        if (p.type == pt::kTimeN) {
          Need(*v, time_bytes);
          return DateTimeLiteral(0, TimeMs(b, p.scale));
        }
        const bool offset = p.type == pt::kDateTimeOffsetN;
        Need(*v, time_bytes + 3 + (offset ? 2 : 0));
        std::int64_t ms = TimeMs(b.substr(0, time_bytes), p.scale);
        std::int64_t days = static_cast<std::int64_t>(LeUnsigned(b.substr(time_bytes, 3))) - 693595;
        if (offset) {  // stored as UTC: the local time adds the offset's minutes
          std::int64_t minutes = LeSigned(b.substr(time_bytes + 3, 2));
          ms += minutes * 60000;
          while (ms < 0) {
            ms += 86400000;
            --days;
          }
          days += ms / 86400000;
          ms %= 86400000;
        }
        return DateTimeLiteral(days, std::min<std::int64_t>(ms, 86399997));
      });
    case pt::kChar:
    case pt::kVarChar:
    case tds::kBigChar:
    case tds::kBigVarChar:
    case tds::kText:
      return {VarCharType(DeclaredLength(p, v ? v->size() : 0)), v ? Quote(*v) : "null"};
    case pt::kNChar:
    case pt::kNVarChar:
    case pt::kNText: {
      // Each character takes two bytes of UCS-2 and at most two of GBK.
      std::string gbk = v ? Ucs2ToGbk(*v) : std::string();
      return {VarCharType(DeclaredLength(p, gbk.size())), v ? Quote(gbk) : "null"};
    }
    case pt::kBinary:
    case pt::kVarBinary:
    case tds::kBigBinary:
    case tds::kBigVarBinary:
    case tds::kImage:
      return {VarBinaryType(DeclaredLength(p, v ? v->size() : 0)), v ? Hex(*v) : "null"};
    case pt::kGuid:
      return lit("char(36)", [&] {
        Need(*v, 16);
        const auto* b = reinterpret_cast<const unsigned char*>(v->data());
        char buf[40];
        std::snprintf(buf, sizeof buf,
                      "'%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X'",
                      b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11],
                      b[12], b[13], b[14], b[15]);
        return std::string(buf);
      });
    default:
      throw tds::ProtocolError("parameter of unsupported type " + std::to_string(p.type));
  }
}

std::string ParamText(const tds::RpcParam& p) {
  if (!p.value) return {};
  switch (p.type) {
    case pt::kNChar:
    case pt::kNVarChar:
    case pt::kNText:
      return Ucs2ToGbk(*p.value);
    case pt::kInt1:
    case pt::kInt2:
    case pt::kInt4:
    case pt::kInt8:
    case tds::kIntN:
      return std::to_string(p.value->size() == 1 ? static_cast<std::int64_t>(LeUnsigned(*p.value))
                                                 : LeSigned(*p.value));
    default:
      return *p.value;
  }
}

std::vector<DeclaredParam> ParseDeclarations(std::string_view list) {
  std::vector<DeclaredParam> out;
  std::size_t at = 0;
  while (at < list.size()) {
    // One declaration runs to the next comma outside parentheses.
    int depth = 0;
    std::size_t end = at;
    for (; end < list.size(); ++end) {
      char c = list[end];
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth == 0) break;
    }
    std::string_view item = list.substr(at, end - at);
    at = end + 1;
    std::vector<std::string> words;
    std::string word;
    for (char c : item) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        if (!word.empty()) words.push_back(std::move(word));
        word.clear();
      } else {
        word += c;
      }
    }
    if (!word.empty()) words.push_back(word);
    if (words.empty() || words[0][0] != '@') continue;
    DeclaredParam d;
    d.name = words[0];
    std::string last = words.back();
    for (char& c : last) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    d.output = words.size() > 2 && (last == "output" || last == "out");
    out.push_back(d);
  }
  return out;
}

}  // namespace server
