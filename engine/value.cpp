// Conversion, comparison and text rules of values (see value.h).
#include "engine/value.h"

#include "engine/ascii.h"
#include "port/int128.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace engine {

Error SqlError(int number, std::string message, int severity) {
  return Error(number, severity, std::move(message));
}

namespace {

// 10^n as a 128-bit integer, for the scales up to 38 a numeric column may
// have.
port::Int128 Pow10(int n) {
  static constexpr auto kTable = [] {
    std::array<port::Int128, 39> p{};
    p[0] = 1;
    for (std::size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * 10;
    return p;
  }();
  return kTable[static_cast<std::size_t>(n)];
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

const char* SourceTypeName(const Value& v) {
  switch (v.kind) {
    case Kind::Int:
      return v.big ? "bigint" : "int";
    case Kind::Num:
      return "numeric";
    case Kind::Str:
      return "varchar";
    case Kind::Date:
      return "datetime";
    case Kind::Float:
      return "float";
    case Kind::Bin:
      return "varbinary";
    default:
      return "NULL";
  }
}

// Parses [+-]digits[.digits] into a scaled integer. False when the text is no
// decimal number or has more than 18 significant digits.
bool ParseDecimal(std::string_view s, std::int64_t* out, int* scale) {
  s = Trim(s);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  port::Int128 v = 0;
  int sc = 0, digits = 0;
  bool dot = false, any = false;
  for (char c : s) {
    if (c == '.' && !dot) {
      dot = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    any = true;
    if (v != 0 || c != '0') ++digits;
    if (digits > 18) return false;
    v = v * 10 + (c - '0');
    if (dot) ++sc;
  }
  if (!any) return false;
  *out = static_cast<std::int64_t>(neg ? -v : v);
  *scale = sc;
  return true;
}

// Rescales a scaled integer, rounding half away from zero.
port::Int128 Rescale(port::Int128 v, int from, int to) {
  if (to >= from) {
    for (int k = from; k < to; ++k) v *= 10;
    return v;
  }
  port::Int128 d = 1;
  for (int k = to; k < from; ++k) d *= 10;
  port::Int128 q = v / d, r = v % d;
  if (r * 2 >= d) ++q;
  if (-r * 2 >= d) --q;
  return q;
}

int Digits(port::Int128 v) {
  if (v < 0) v = -v;
  int n = 0;
  while (v > 0) {
    ++n;
    v /= 10;
  }
  return n;
}

Value ToNumeric(const Value& v, int precision, int scale, const char* target) {
  port::Int128 x;
  switch (v.kind) {
    case Kind::Int:
      x = Rescale(v.i, 0, scale);
      break;
    case Kind::Num:
      x = Rescale(v.i, v.scale, scale);
      break;
    case Kind::Float: {
      const double scaled = v.f * std::pow(10.0, scale);
      if (!(std::fabs(scaled) < 1e18))
        throw SqlError(8115, std::string("Arithmetic overflow error converting float to data type ") +
                                 target + ".");
      x = port::Int128(std::llround(scaled));
      break;
    }
    case Kind::Str: {
      std::int64_t raw;
      int sc;
      if (!ParseDecimal(v.s, &raw, &sc))
        throw SqlError(8114, std::string("Error converting data type varchar to ") + target + ".");
      x = Rescale(raw, sc, scale);
      break;
    }
    case Kind::Date:
      throw SqlError(257, std::string("Implicit conversion from data type datetime to ") + target +
                              " is not allowed. Use the CONVERT function to run this query.");
    default:
      return Value::Null();
  }
  // x is scaled: numeric(p, s) holds p digits in all, s of them decimals (and
  // the engine at most 18, the digits of its 64-bit value).
  if (Digits(x) > std::min(precision, 18))
    throw SqlError(8115, std::string("Arithmetic overflow error converting ") + SourceTypeName(v) +
                             " to data type " + target + ".");
  return Value::Num(static_cast<std::int64_t>(x), scale);
}

Value ToInteger(const Value& v, std::int64_t lo, std::int64_t hi, const char* target) {
  std::int64_t x = 0;
  switch (v.kind) {
    case Kind::Int:
      x = v.i;
      break;
    case Kind::Num:
      x = static_cast<std::int64_t>(v.i / Pow10(v.scale));
      break;
    case Kind::Float:
      // 2^63 is exact as a double: within it the conversion is defined.
      if (!(v.f >= -9223372036854775808.0 && v.f < 9223372036854775808.0))
        throw SqlError(
            8115,
            std::string("Arithmetic overflow error converting float to data type ") + target + ".");
      x = static_cast<std::int64_t>(v.f);
      break;
    case Kind::Date:
      x = v.i / kMsPerDay;
      break;
    case Kind::Str: {
      std::string_view t = Trim(v.s);
      // Text to bigint fails as text to numeric does: 8114 for what is no
      // number, 8115 past bigint's range.
      const bool bigint = hi == INT64_MAX;
      if (t.empty()) return Value::Int(0);
      bool neg = false;
      std::string_view d = t;
      if (d[0] == '+' || d[0] == '-') {
        neg = d[0] == '-';
        d.remove_prefix(1);
      }
      bool ok = !d.empty();
      port::Int128 acc = 0;
      for (char c : d) {
        if (c < '0' || c > '9') {
          ok = false;
          break;
        }
        acc = acc * 10 + (c - '0');
        if (acc > (port::Int128(1) << 64)) acc = port::Int128(1) << 64;
      }
      if (!ok && bigint)
        throw SqlError(8114, std::string("Error converting data type varchar to ") + target + ".");
      if (!ok)
        throw SqlError(245, "Conversion failed when converting the varchar value '" + v.s +
                                "' to data type " + target + ".");
      if (neg) acc = -acc;
      if ((acc < lo || acc > hi) && bigint)
        throw SqlError(8115, std::string("Arithmetic overflow error converting expression to "
                                         "data type ") +
                                 target + ".");
      if (acc < lo || acc > hi)
        throw SqlError(248, "The conversion of the varchar value '" + v.s + "' overflowed an " +
                                target + " column. Maximum integer value exceeded.");
      return Value::Int(static_cast<std::int64_t>(acc));
    }
    default:
      return Value::Null();
  }
  if (hi == 1 && lo == 0) return Value::Int(x != 0 ? 1 : 0);  // bit
  if (x < lo || x > hi)
    throw SqlError(8115, std::string("Arithmetic overflow error converting ") +
                             (v.kind == Kind::Int ? "expression" : SourceTypeName(v)) +
                             " to data type " + target + ".");
  return Value::Int(x);
}

const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
  z += 719468 - 25567 + 0;  // days since 1900-01-01 -> since 0000-03-01 based on 1970 epoch
  z -= 0;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 25567;
}

// Splits milliseconds from 1900-01-01 into the civil date and the
// milliseconds of its day, for any value (no step can overflow: the days of
// the widest value are some 1.1e11, their years some 2.9e8).
void SplitDate(std::int64_t ms, int* y, int* m, int* d, std::int64_t* rest) {
  std::int64_t days = ms / kMsPerDay;
  *rest = ms % kMsPerDay;
  if (*rest < 0) {
    *rest += kMsPerDay;
    --days;
  }
  CivilFromDays(days, y, m, d);
}

[[noreturn]] void DateOverflow() {
  throw SqlError(8115, "Arithmetic overflow error converting expression to data type datetime.");
}

// A datetime made by a conversion or an operator: within datetime's range.
Value CheckedDate(port::Int128 ms) {
  if (ms < kMinDateTime || ms > kMaxDateTime) DateOverflow();
  return Value::Date(static_cast<std::int64_t>(ms));
}
Value CheckedDate(double ms) {
  // Compared as doubles first: NaN, infinities and values past 64 bits never
  // reach the conversion to an integer.
  if (!(ms > static_cast<double>(kMinDateTime) - 1 && ms < static_cast<double>(kMaxDateTime) + 1))
    DateOverflow();
  return CheckedDate(port::Int128(std::llround(ms)));
}

// Style 0 of CONVERT, used when a datetime becomes text: "Jan  1 2024 12:00AM".
std::string DateStyle0(std::int64_t ms) {
  int y, m, d;
  std::int64_t rest;
  SplitDate(ms, &y, &m, &d, &rest);
  int h = static_cast<int>(rest / 3600000), mi = static_cast<int>(rest / 60000 % 60);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s %2d %04d %2d:%02d%s", kMonths[m - 1], d, y,
                h % 12 == 0 ? 12 : h % 12, mi, h < 12 ? "AM" : "PM");
  return buf;
}

// Style 0 of CONVERT for a float: six significant digits, the exponent with
// a sign and three digits ("1.23457e+008").
std::string FloatStyle0(double f) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", f);
  std::string t = buf;
  std::size_t e = t.find('e');
  if (e != std::string::npos && e + 2 < t.size()) {
    std::size_t have = t.size() - (e + 2);
    if (have < 3) t.insert(e + 2, 3 - have, '0');
  }
  return t;
}

std::string AsString(const Value& v) {
  if (v.kind == Kind::Date) return DateStyle0(v.i);
  if (v.kind == Kind::Float) return FloatStyle0(v.f);
  return ToText(v);
}

Value ToString(const Value& v, const TypeSpec& t, bool explicit_cast) {
  if (v.null()) return v;
  std::string s = v.kind == Kind::Bin ? v.s : AsString(v);
  if (t.type == Type::Text || t.type == Type::Image) return Value::Str(std::move(s));
  std::size_t n = static_cast<std::size_t>(t.length);
  if (s.size() > n) {
    if (explicit_cast) {
      if (v.kind == Kind::Int)
      // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
      // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
        return Value::Str(t.type == Type::Char ? "*" + std::string(n - 1, ' ') : "*");
#pragma GCC diagnostic pop
      if (v.kind == Kind::Num || v.kind == Kind::Float)
        throw SqlError(8115, std::string("Arithmetic overflow error converting ") +
                                 SourceTypeName(v) + " to data type varchar.");
      s.resize(n);
    } else {
      for (std::size_t k = n; k < s.size(); ++k)
        if (s[k] != ' ') throw SqlError(8152, "String or binary data would be truncated.");
      s.resize(n);
    }
  }
  if (t.type == Type::Char && s.size() < n) s.append(n - s.size(), ' ');
  return Value::Str(std::move(s));
}

// binary(n) / varbinary(n): text gives its bytes (GBK, the database's code
// page), an int its four bytes high first; binary(n) pads with zero bytes.
// CAST and CONVERT cut a longer value to n; storing one is 8152. Text
// converts to binary only explicitly (257).
Value ToBinary(const Value& v, const TypeSpec& t, bool explicit_cast) {
  std::string b;
  switch (v.kind) {
    case Kind::Str:
      if (!explicit_cast)
        throw SqlError(257, "Implicit conversion from data type varchar to " + TypeName(t) +
                                " is not allowed. Use the CONVERT function to run this query.");
      b = v.s;
      break;
    case Kind::Bin:
      b = v.s;
      break;
    case Kind::Int:  // four bytes high first, eight for a bigint
      for (int k = v.big ? 7 : 3; k >= 0; --k)
        b += static_cast<char>((static_cast<std::uint64_t>(v.i) >> (8 * k)) & 0xFF);
      break;
    default:
      throw SqlError(529, std::string("Explicit conversion from data type ") + SourceTypeName(v) +
                              " to varbinary is not allowed.");
  }
  std::size_t n = static_cast<std::size_t>(t.length);
  if (b.size() > n && !explicit_cast)
    throw SqlError(8152, "String or binary data would be truncated.");
  if (b.size() > n) b.resize(n);
  if (t.type == Type::Binary && b.size() < n) b.append(n - b.size(), '\0');
  return Value::Bin(std::move(b));
}

Value Convert(const Value& v, const TypeSpec& t, bool explicit_cast) {
  if (v.null()) return v;
  if (v.kind == Kind::Bin && (t.type == Type::Int || t.type == Type::BigInt)) {
    // The last four bytes (eight for a bigint), high first.
    const std::size_t width = t.type == Type::BigInt ? 8 : 4;
    std::uint64_t x = 0;
    std::string_view b(v.s);
    if (b.size() > width) b.remove_prefix(b.size() - width);
    for (char c : b) x = (x << 8) | static_cast<unsigned char>(c);
    if (width == 8) return Value::BigInt(static_cast<std::int64_t>(x));
    return Value::Int(static_cast<std::int32_t>(static_cast<std::uint32_t>(x)));
  }
  switch (t.type) {
    case Type::Binary:
    case Type::VarBinary:
      return ToBinary(v, t, explicit_cast);
    case Type::Char:
    case Type::VarChar:
    case Type::Text:
    case Type::Image:
      return ToString(v, t, explicit_cast);
    case Type::Int:
      return ToInteger(v, INT32_MIN, INT32_MAX, "int");
    case Type::BigInt: {
      Value r = ToInteger(v, INT64_MIN, INT64_MAX, "bigint");
      r.big = true;
      return r;
    }
    case Type::SmallInt:
      return ToInteger(v, -32768, 32767, "smallint");
    case Type::TinyInt:
      return ToInteger(v, 0, 255, "tinyint");
    case Type::Bit:
      return ToInteger(v, 0, 1, "bit");
    case Type::Numeric:
      return ToNumeric(v, t.precision, t.scale, "numeric");
    case Type::Money:
      return ToNumeric(v, 18, 4, "money");
    case Type::Float:
      switch (v.kind) {
        case Kind::Int:
          return Value::Float(static_cast<double>(v.i));
        case Kind::Num:
          return Value::Float(static_cast<double>(v.i) / static_cast<double>(Pow10(v.scale)));
        case Kind::Float:
          return v;
        case Kind::Date:
          return Value::Float(static_cast<double>(v.i) / kMsPerDay);
        default: {
          std::string_view tr = Trim(v.s);
          std::string buf(tr);
          char* end = nullptr;
          double d = std::strtod(buf.c_str(), &end);
          if (buf.empty() || *end != '\0' || !std::isfinite(d))
            throw SqlError(8114, "Error converting data type varchar to float.");
          return Value::Float(d);
        }
      }
    case Type::DateTime:
      switch (v.kind) {
        case Kind::Date:
          return v;
        case Kind::Int:
          return CheckedDate(port::Int128(v.i) * kMsPerDay);
        case Kind::Num:
          return CheckedDate(port::Int128(v.i) * kMsPerDay / Pow10(v.scale));
        case Kind::Float:
          return CheckedDate(v.f * kMsPerDay);
        default: {
          std::int64_t ms;
          if (Trim(v.s).empty()) return Value::Date(0);
          if (!ParseDate(v.s, &ms))
            throw SqlError(
                241, "Conversion failed when converting date and/or time from character string.");
          return Value::Date(ms);
        }
      }
  }
  return v;
}

int Rank(Kind k) {
  switch (k) {
    case Kind::Str:
      return 0;
    case Kind::Int:
      return 1;
    case Kind::Num:
      return 2;
    case Kind::Float:
      return 3;
    case Kind::Date:
      return 4;
    default:
      return -1;
  }
}

// Brings a string to the kind of the other operand, as SQL Server's implicit
// conversion does (the side of lower precedence converts).
Value Promote(const Value& s, const Value& other) {
  switch (other.kind) {
    case Kind::Int:
      if (other.big) return Convert(s, TypeSpec{Type::BigInt, 0, 0, 0}, false);
      return ToInteger(s, INT32_MIN, INT32_MAX, "int");
    case Kind::Num: {
      std::int64_t raw;
      int sc;
      if (!ParseDecimal(s.s, &raw, &sc))
        throw SqlError(8114, "Error converting data type varchar to numeric.");
      return Value::Num(raw, sc);
    }
    case Kind::Float:
      return Convert(s, TypeSpec{Type::Float, 0, 0, 0}, false);
    case Kind::Date:
      return Convert(s, TypeSpec{Type::DateTime, 0, 0, 0}, false);
    default:
      return s;
  }
}

int CompareText(std::string_view a, std::string_view b) {
  a = TrimRightBlanks(a);
  b = TrimRightBlanks(b);
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t k = 0; k < n; ++k) {
    unsigned char x = static_cast<unsigned char>(a[k]), y = static_cast<unsigned char>(b[k]);
    if (x >= 0x81 && k + 1 < n && x == y) {  // a GBK pair: compare its trail byte as is
      ++k;
      if (a[k] != b[k])
        return static_cast<unsigned char>(a[k]) < static_cast<unsigned char>(b[k]) ? -1 : 1;
      continue;
    }
    if (x < 0x80) x = static_cast<unsigned char>(AsciiUpper(x));
    if (y < 0x80) y = static_cast<unsigned char>(AsciiUpper(y));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool TypeFromName(std::string_view name, Type* type) {
  std::string n;
  for (char c : name) n += static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  static const struct {
    const char* name;
    Type type;
  } kNames[] = {{"char", Type::Char},
                {"character", Type::Char},
                {"nchar", Type::Char},
                {"varchar", Type::VarChar},
                {"nvarchar", Type::VarChar},
                {"text", Type::Text},
                {"ntext", Type::Text},
                {"image", Type::Image},
                {"int", Type::Int},
                {"integer", Type::Int},
                {"bigint", Type::BigInt},
                {"smallint", Type::SmallInt},
                {"tinyint", Type::TinyInt},
                {"bit", Type::Bit},
                {"numeric", Type::Numeric},
                {"decimal", Type::Numeric},
                {"datetime", Type::DateTime},
                {"smalldatetime", Type::DateTime},
                {"float", Type::Float},
                {"real", Type::Float},
                {"money", Type::Money},
                {"smallmoney", Type::Money},
                {"binary", Type::Binary},
                {"varbinary", Type::VarBinary}};
  for (const auto& k : kNames)
    if (n == k.name) {
      *type = k.type;
      return true;
    }
  return false;
}

std::string TypeName(const TypeSpec& t) {
  switch (t.type) {
    case Type::Char:
      return "char";
    case Type::VarChar:
      return "varchar";
    case Type::Text:
      return "text";
    case Type::Image:
      return "image";
    case Type::Int:
      return "int";
    case Type::BigInt:
      return "bigint";
    case Type::SmallInt:
      return "smallint";
    case Type::TinyInt:
      return "tinyint";
    case Type::Bit:
      return "bit";
    case Type::Numeric:
      return "numeric";
    case Type::DateTime:
      return "datetime";
    case Type::Float:
      return "float";
    case Type::Money:
      return "money";
    case Type::Binary:
      return "binary";
    case Type::VarBinary:
      return "varbinary";
  }
  return "?";
}

int SysXType(const TypeSpec& t) {
  switch (t.type) {
    case Type::Char:
      return 175;
    case Type::VarChar:
      return 167;
    case Type::Text:
      return 35;
    case Type::Image:
      return 34;
    case Type::Int:
      return 56;
    case Type::BigInt:
      return 127;
    case Type::SmallInt:
      return 52;
    case Type::TinyInt:
      return 48;
    case Type::Bit:
      return 104;
    case Type::Numeric:
      return 108;
    case Type::DateTime:
      return 61;
    case Type::Float:
      return 62;
    case Type::Money:
      return 60;
    case Type::Binary:
      return 173;
    case Type::VarBinary:
      return 165;
  }
  return 0;
}

int SysLength(const TypeSpec& t) {
  switch (t.type) {
    case Type::Char:
    case Type::VarChar:
    case Type::Binary:
    case Type::VarBinary:
      return t.length;
    case Type::Text:
    case Type::Image:
      return 16;
    case Type::Int:
      return 4;
    case Type::SmallInt:
      return 2;
    case Type::TinyInt:
    case Type::Bit:
      return 1;
    case Type::Numeric:
      return t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
    case Type::DateTime:
    case Type::Float:
    case Type::Money:
    case Type::BigInt:
      return 8;
  }
  return 0;
}

ColumnType ResultType(const TypeSpec& t) {
  switch (t.type) {
    case Type::Char:
      return ColumnType::Char;
    case Type::VarChar:
      return ColumnType::VarChar;
    case Type::Text:
      return ColumnType::Text;
    case Type::Image:
      return ColumnType::Image;
    case Type::Int:
    case Type::SmallInt:
    case Type::TinyInt:
    case Type::Bit:
      return ColumnType::Int;
    case Type::BigInt:
      return ColumnType::BigInt;
    case Type::Numeric:
    case Type::Money:
      return ColumnType::Numeric;
    case Type::DateTime:
      return ColumnType::DateTime;
    case Type::Float:
      return ColumnType::Other;
    case Type::Binary:
    case Type::VarBinary:
      return ColumnType::Binary;
  }
  return ColumnType::Other;
}

Value ConvertTo(const Value& v, const TypeSpec& t) {
  return Convert(v, t, false);
}
Value CastTo(const Value& v, const TypeSpec& t) {
  return Convert(v, t, true);
}

std::string FormatDate(std::int64_t ms) {
  int y, m, d;
  std::int64_t rest;
  SplitDate(ms, &y, &m, &d, &rest);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d,
                static_cast<int>(rest / 3600000), static_cast<int>(rest / 60000 % 60),
                static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
  return buf;
}

bool ParseDate(std::string_view s, std::int64_t* ms) {
  s = Trim(s);
  int y = 0, m = 0, d = 0, h = 0, mi = 0, sec = 0, milli = 0;
  std::size_t p = 0;
  auto num = [&](int maxd, int* out) {
    int n = 0, v = 0;
    while (p < s.size() && n < maxd && s[p] >= '0' && s[p] <= '9') {
      v = v * 10 + (s[p++] - '0');
      ++n;
    }
    *out = v;
    return n;
  };
  int n = num(8, &y);
  if (n == 8) {
    d = y % 100;
    m = y / 100 % 100;
    y /= 10000;
  } else if (n == 4 && p < s.size() && (s[p] == '-' || s[p] == '/' || s[p] == '.')) {
    char sep = s[p++];
    if (num(2, &m) == 0 || p >= s.size() || s[p++] != sep || num(2, &d) == 0) return false;
  } else {
    return false;
  }
  if (p < s.size() && (s[p] == ' ' || s[p] == 'T')) {
    while (p < s.size() && (s[p] == ' ' || s[p] == 'T')) ++p;
    if (num(2, &h) == 0 || p >= s.size() || s[p++] != ':' || num(2, &mi) == 0) return false;
    if (p < s.size() && s[p] == ':') {
      ++p;
      if (num(2, &sec) == 0) return false;
      if (p < s.size() && s[p] == '.') {
        ++p;
        int frac = 0;
        int fd = num(3, &frac);
        while (fd < 3 && fd > 0) {
          frac *= 10;
          ++fd;
        }
        milli = frac;
      }
    }
  }
  if (p != s.size()) return false;
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1753 || y > 9999 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] ||
      (m == 2 && d == 29 && !leap) || h > 23 || mi > 59 || sec > 59)
    return false;
  *ms = DaysFromCivil(y, m, d) * kMsPerDay + h * 3600000LL + mi * 60000LL + sec * 1000LL + milli;
  if (*ms == kMaxDateTime + 1) *ms = kMaxDateTime;
  return *ms <= kMaxDateTime;
}

// GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
// "literal" + std::string&& and std::string::insert (GCC bug 105329): a
// false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
std::string ToText(const Value& v) {
  switch (v.kind) {
    case Kind::Null:
      return "";
    case Kind::Int:
      return std::to_string(v.i);
    case Kind::Str:
      return v.s;
    case Kind::Bin: {
      static const char kHex[] = "0123456789ABCDEF";
      std::string h;
      for (unsigned char c : v.s) {
        h += kHex[c >> 4];
        h += kHex[c & 15];
      }
      return h;
    }
    case Kind::Date:
      return FormatDate(v.i);
    case Kind::Float: {
      // The shortest form that reads back as the same double (at most 17
      // significant digits), as clients show a float.
      char buf[40];
      for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v.f);
        if (std::strtod(buf, nullptr) == v.f) break;
      }
      return buf;
    }
    case Kind::Num: {
      std::uint64_t a =
          v.i < 0 ? 0 - static_cast<std::uint64_t>(v.i) : static_cast<std::uint64_t>(v.i);
      std::string digits = std::to_string(a);
      if (v.scale > 0) {
        if (digits.size() <= v.scale) digits.insert(0, v.scale + 1 - digits.size(), '0');
        digits.insert(digits.size() - v.scale, ".");
      }
      return v.i < 0 ? "-" + digits : digits;
    }
  }
  return "";
}
#pragma GCC diagnostic pop

std::string_view TrimRightBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string Fold(std::string_view s) {
  std::string out;
  AppendFolded(s, out);
  return out;
}

void AppendFolded(std::string_view s, std::string& out) {
  s = TrimRightBlanks(s);
  const std::size_t start = out.size();
  out.append(s);
  for (std::size_t k = start; k < out.size(); ++k) {
    unsigned char c = static_cast<unsigned char>(out[k]);
    if (c >= 0x81 && k + 1 < out.size()) {
      ++k;  // a GBK trail byte is never an ASCII letter to fold
    } else if (c < 0x80) {
      out[k] = static_cast<char>(AsciiUpper(c));
    }
  }
}

bool FoldedEqual(std::string_view a, std::string_view b) {
  a = TrimRightBlanks(a);
  b = TrimRightBlanks(b);
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(a[k]);
    if (c >= 0x81 && k + 1 < a.size()) {
      // A double-byte character: both bytes as they are, in both strings.
      if (a[k] != b[k] || a[k + 1] != b[k + 1]) return false;
      ++k;
    } else if (c < 0x80 ? AsciiUpper(c) != AsciiUpper(static_cast<unsigned char>(b[k]))
                        : a[k] != b[k]) {
      return false;
    }
  }
  return true;
}

int Compare(const Value& a, const Value& b) {
  if (a.kind == Kind::Str && b.kind == Kind::Str) return CompareText(a.s, b.s);
  if (a.kind == Kind::Bin || b.kind == Kind::Bin) {
    // Binary values compare byte by byte, trailing zero bytes ignored; text
    // meets them as its bytes.
    auto bytes = [](const Value& v) {
      if (v.kind != Kind::Bin && v.kind != Kind::Str)
        throw SqlError(8115, std::string("Arithmetic overflow error converting ") +
                                 SourceTypeName(v) + " to data type varbinary.");
      std::string_view s(v.s);
      while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
      return s;
    };
    int c = bytes(a).compare(bytes(b));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (a.kind != b.kind) {
    if (a.kind == Kind::Str) return Compare(Promote(a, b), b);
    if (b.kind == Kind::Str) return Compare(a, Promote(b, a));
  }
  int ra = Rank(a.kind), rb = Rank(b.kind);
  if (a.kind == Kind::Float || b.kind == Kind::Float) {
    double x = a.kind == Kind::Float ? a.f : ConvertTo(a, TypeSpec{Type::Float, 0, 0, 0}).f;
    double y = b.kind == Kind::Float ? b.f : ConvertTo(b, TypeSpec{Type::Float, 0, 0, 0}).f;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (a.kind == Kind::Date || b.kind == Kind::Date) {
    std::int64_t x = ConvertTo(a, TypeSpec{Type::DateTime, 0, 0, 0}).i;
    std::int64_t y = ConvertTo(b, TypeSpec{Type::DateTime, 0, 0, 0}).i;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  (void)ra;
  (void)rb;
  int sa = a.kind == Kind::Num ? a.scale : 0, sb = b.kind == Kind::Num ? b.scale : 0;
  int sc = std::max(sa, sb);
  port::Int128 x = Rescale(a.i, sa, sc), y = Rescale(b.i, sb, sc);
  return x < y ? -1 : x > y ? 1 : 0;
}

namespace {

bool SameChar(std::string_view a, std::size_t ia, std::size_t la, std::string_view b,
              std::size_t ib, std::size_t lb) {
  if (la != lb) return false;
  if (la == 2) return a[ia] == b[ib] && a[ia + 1] == b[ib + 1];
  return AsciiUpper(static_cast<unsigned char>(a[ia])) ==
         AsciiUpper(static_cast<unsigned char>(b[ib]));
}

std::size_t CharLen(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]) >= 0x81 && i + 1 < s.size() ? 2 : 1;
}

bool LikeAt(std::string_view v, std::size_t vi, std::string_view p, std::size_t pi) {
  while (pi < p.size()) {
    char c = p[pi];
    if (c == '%') {
      while (pi < p.size() && p[pi] == '%') ++pi;
      if (pi == p.size()) return true;
      for (std::size_t k = vi; k <= v.size(); k += (k < v.size() ? CharLen(v, k) : 1))
        if (LikeAt(v, k, p, pi)) return true;
      return false;
    }
    if (vi >= v.size()) return false;
    std::size_t lv = CharLen(v, vi);
    if (c == '_') {
      vi += lv;
      ++pi;
      continue;
    }
    if (c == '[') {
      std::size_t close = p.find(']', pi + 1);
      if (close != std::string_view::npos) {
        std::string_view set = p.substr(pi + 1, close - pi - 1);
        bool negate = !set.empty() && set[0] == '^';
        if (negate) set.remove_prefix(1);
        bool hit = false;
        unsigned char x = static_cast<unsigned char>(AsciiUpper(static_cast<unsigned char>(v[vi])));
        for (std::size_t k = 0; k < set.size(); ++k) {
          if (k + 2 < set.size() && set[k + 1] == '-') {
            unsigned char lo =
                static_cast<unsigned char>(AsciiUpper(static_cast<unsigned char>(set[k])));
            unsigned char hi =
                static_cast<unsigned char>(AsciiUpper(static_cast<unsigned char>(set[k + 2])));
            if (lv == 1 && x >= lo && x <= hi) hit = true;
            k += 2;
          } else if (lv == 1 && x == AsciiUpper(static_cast<unsigned char>(set[k]))) {
            hit = true;
          }
        }
        if (hit == negate) return false;
        vi += lv;
        pi = close + 1;
        continue;
      }
    }
    std::size_t lp = CharLen(p, pi);
    if (!SameChar(v, vi, lv, p, pi, lp)) return false;
    vi += lv;
    pi += lp;
  }
  return vi == v.size();
}

}  // namespace

bool Like(std::string_view value, std::string_view pattern) {
  return LikeAt(TrimRightBlanks(value), 0, pattern, 0);
}

Value Bitwise(char op, const Value& a0, const Value& b0) {
  auto integer = [&](const Value& v) {
    if (v.kind == Kind::Int) return v.i;
    if (v.kind == Kind::Bin) return ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}).i;
    std::string ops = op == '~' ? "~" : std::string(1, op);
    throw SqlError(402, std::string("The data types ") + SourceTypeName(a0) + " and " +
                            SourceTypeName(b0) + " are incompatible in the '" + ops +
                            "' operator.");
  };
  if (op == '~') {
    if (b0.kind == Kind::Int && b0.big) return Value::BigInt(~b0.i);
    return Value::Int(static_cast<std::int32_t>(~integer(b0)));
  }
  std::int64_t x = integer(a0), y = integer(b0);
  Value r = Value::Int(op == '&' ? x & y : op == '|' ? x | y : x ^ y);
  r.big = (a0.kind == Kind::Int && a0.big) || (b0.kind == Kind::Int && b0.big);
  return r;
}

Value Arith(char op, const Value& a0, const Value& b0) {
  if (op == '+' && a0.kind == Kind::Str && b0.kind == Kind::Str) return Value::Str(a0.s + b0.s);
  Value a = a0, b = b0;
  if (a.kind == Kind::Str && b.kind != Kind::Str) a = Promote(a, b);
  if (b.kind == Kind::Str && a.kind != Kind::Str) b = Promote(b, a);
  if (a.kind == Kind::Str)
    throw SqlError(402, std::string("The data types varchar and varchar are incompatible in the ") +
                            (op == '-'   ? "subtract"
                             : op == '*' ? "multiply"
                             : op == '/' ? "divide"
                                         : "modulo") +
                            " operator.");
  if (a.kind == Kind::Date || b.kind == Kind::Date) {
    const Value& d = a.kind == Kind::Date ? a : b;
    const Value& n = a.kind == Kind::Date ? b : a;
    if (n.kind == Kind::Date) {
      if (op == '-') return CheckedDate(port::Int128(a.i) - b.i);
      throw SqlError(8117, "Operand data type datetime is invalid for add operator.");
    }
    double days = n.kind == Kind::Int ? static_cast<double>(n.i)
                  : n.kind == Kind::Num
                      ? static_cast<double>(n.i) / static_cast<double>(Pow10(n.scale))
                      : n.f;
    // A delta past datetime's whole span overflows whatever the date is.
    double delta = days * kMsPerDay;
    constexpr double kSpan = static_cast<double>(kMaxStoredDateTime - kMinDateTime);
    if (!(delta >= -kSpan && delta <= kSpan)) DateOverflow();
    auto whole = port::Int128(std::llround(delta));
    if (op == '+') return CheckedDate(d.i + whole);
    if (op == '-' && a.kind == Kind::Date) return CheckedDate(d.i - whole);
    throw SqlError(8117, "Operand data type datetime is invalid for this operator.");
  }
  if (a.kind == Kind::Float || b.kind == Kind::Float) {
    double x = ConvertTo(a, TypeSpec{Type::Float, 0, 0, 0}).f;
    double y = ConvertTo(b, TypeSpec{Type::Float, 0, 0, 0}).f;
    double r;
    switch (op) {
      case '+':
        r = x + y;
        break;
      case '-':
        r = x - y;
        break;
      case '*':
        r = x * y;
        break;
      default:
        if (y == 0) throw SqlError(8134, "Divide by zero error encountered.");
        if (op == '%')
          throw SqlError(402, "The data types float and float are incompatible in the modulo "
                              "operator.");
        r = x / y;
    }
    // Past the largest double is an overflow, never an infinity.
    if (!std::isfinite(r))
      throw SqlError(8115, "Arithmetic overflow error converting expression to data type float.");
    return Value::Float(r);
  }
  if (a.kind == Kind::Int && b.kind == Kind::Int) {
    // int with bigint is bigint; each overflows at its own range.
    const bool big = a.big || b.big;
    port::Int128 r;
    switch (op) {
      case '+':
        r = port::Int128(a.i) + b.i;
        break;
      case '-':
        r = port::Int128(a.i) - b.i;
        break;
      case '*':
        r = port::Int128(a.i) * b.i;
        break;
      default:
        if (b.i == 0) throw SqlError(8134, "Divide by zero error encountered.");
        r = op == '/' ? port::Int128(a.i) / b.i : port::Int128(a.i) % b.i;
    }
    if (big ? r < INT64_MIN || r > INT64_MAX : r < INT32_MIN || r > INT32_MAX)
      throw SqlError(8115, std::string("Arithmetic overflow error converting expression to data "
                                       "type ") +
                               (big ? "bigint." : "int."));
    Value v = Value::Int(static_cast<std::int64_t>(r));
    v.big = big;
    return v;
  }
  int sa = a.kind == Kind::Num ? a.scale : 0, sb = b.kind == Kind::Num ? b.scale : 0;
  port::Int128 x = a.i, y = b.i, r;
  int sc;
  switch (op) {
    case '+':
    case '-':
      sc = std::max(sa, sb);
      x = Rescale(x, sa, sc);
      y = Rescale(y, sb, sc);
      r = op == '+' ? x + y : x - y;
      break;
    case '*':
      sc = sa + sb;
      r = x * y;
      if (sc > 12) {
        r = Rescale(r, sc, 12);
        sc = 12;
      }
      break;
    default:
      if (y == 0) throw SqlError(8134, "Divide by zero error encountered.");
      sc = std::max(6, sa);
      r = Rescale(x, sa, sc + sb) / y;
      if (op == '%') {
        int s2 = std::max(sa, sb);
        r = Rescale(x, sa, s2) % Rescale(y, sb, s2);
        sc = s2;
      }
  }
  if (Digits(r) > 18)
    throw SqlError(8115, "Arithmetic overflow error converting expression to data type numeric.");
  return Value::Num(static_cast<std::int64_t>(r), sc);
}

}  // namespace engine
