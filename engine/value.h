// Values and column types of the engine, with SQL Server's conversion,
// comparison and text-form rules.
//
// Text is GBK bytes. Comparisons ignore trailing blanks and the case of ASCII
// letters (the library databases use a case-insensitive Chinese collation);
// the second byte of a GBK pair is never case-folded.
//
// Known differences from SQL Server: numeric values hold at most 18 digits
// (numeric(19..38) columns are accepted but overflow past 18 digits); datetime
// keeps whole milliseconds instead of rounding to 1/300 s; float prints with
// 15 significant digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace engine {

enum class Kind : std::uint8_t { Null, Int, Num, Str, Date, Float, Bin };

// A value in flight. Int is an int (or smallint, tinyint, bit) unless big
// says bigint: the type decides where arithmetic overflows and what a client
// is told. Num is a scaled integer (i / 10^scale); Date is milliseconds since
// 1900-01-01 00:00:00 (SQL Server's day zero). Bin is a binary or varbinary
// value, its bytes in s, compared byte by byte.
struct Value {
  Kind kind = Kind::Null;
  std::uint8_t scale = 0;
  bool big = false;
  union {
    std::int64_t i = 0;
    double f;
  };
  std::string s;

  static Value Null() { return {}; }
  static Value Int(std::int64_t v) {
    Value x;
    x.kind = Kind::Int;
    x.i = v;
    return x;
  }
  static Value BigInt(std::int64_t v) {
    Value x = Int(v);
    x.big = true;
    return x;
  }
  static Value Num(std::int64_t v, int scale) {
    Value x;
    x.kind = Kind::Num;
    x.i = v;
    x.scale = static_cast<std::uint8_t>(scale);
    return x;
  }
  static Value Str(std::string v) {
    Value x;
    x.kind = Kind::Str;
    x.s = std::move(v);
    return x;
  }
  static Value Bin(std::string bytes) {
    Value x;
    x.kind = Kind::Bin;
    x.s = std::move(bytes);
    return x;
  }
  static Value Date(std::int64_t ms) {
    Value x;
    x.kind = Kind::Date;
    x.i = ms;
    return x;
  }
  static Value Float(double v) {
    Value x;
    x.kind = Kind::Float;
    x.f = v;
    return x;
  }
  bool null() const { return kind == Kind::Null; }
};

enum class Type : std::uint8_t {
  Char,
  VarChar,
  Text,
  Image,
  Int,
  SmallInt,
  TinyInt,
  Bit,
  Numeric,
  DateTime,
  Float,
  Money,
  Binary,
  VarBinary,
  BigInt
};

struct TypeSpec {
  Type type = Type::Int;
  int length = 0;  // char/varchar width in bytes
  int precision = 0;
  int scale = 0;

  bool is_string() const {
    return type == Type::Char || type == Type::VarChar || type == Type::Text || type == Type::Image;
  }
};

// Parses a type name as written in DDL ("char", "integer", "decimal", ...).
// Returns false for an unknown name.
bool TypeFromName(std::string_view name, Type* type);
// The name SQL Server uses in its messages ("int", "varchar", "numeric", ...).
std::string TypeName(const TypeSpec& t);
// syscolumns.xtype and syscolumns.length of a column of this type.
int SysXType(const TypeSpec& t);
int SysLength(const TypeSpec& t);
ColumnType ResultType(const TypeSpec& t);

// Converts v for storage in a column of type t (char padding, truncation,
// numeric rounding and overflow, '' to int 0, ...). Throws engine::Error.
Value ConvertTo(const Value& v, const TypeSpec& t);
// Explicit CONVERT/CAST: as ConvertTo, but an int too long for a char gives '*'.
Value CastTo(const Value& v, const TypeSpec& t);

// Text form of a value as an ODBC client reads it with SQL_C_CHAR.
std::string ToText(const Value& v);
// "yyyy-mm-dd hh:mi:ss.mmm" of any value whatever (a date past datetime's
// range gets a year of more than four digits, never an overflow).
std::string FormatDate(std::int64_t ms);
// A date and time as text; false when it is not one, or outside datetime's
// range (".998" on the range's last second is taken as ".997", which SQL
// Server's rounding to 1/300 s gives).
bool ParseDate(std::string_view s, std::int64_t* ms);

// datetime's range, in milliseconds from 1900-01-01: 1753-01-01 00:00:00.000
// to 9999-12-31 23:59:59.997. Every conversion and every operator that makes
// a datetime keeps within it (8115 otherwise).
constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kMinDateTime = -53690 * kMsPerDay;
constexpr std::int64_t kMaxDateTime = 2958463 * kMsPerDay + 86399997;
// What a database file may hold: datetime's range and, since earlier
// releases kept whole milliseconds up to the end of 9999-12-31, its ".998"
// and ".999".
constexpr std::int64_t kMaxStoredDateTime = 2958464 * kMsPerDay - 1;

// Three-way comparison under SQL Server's type precedence; both non-null.
// Throws engine::Error when a string does not convert to the other side's type.
int Compare(const Value& a, const Value& b);
// ASCII-case-folded, trailing-blank-trimmed form of GBK text: equal keys mean
// equal under the collation, and byte order of keys is the sort order.
std::string Fold(std::string_view s);
// Appends Fold(s) to out.
void AppendFolded(std::string_view s, std::string& out);
// Fold(a) == Fold(b), without making either.
bool FoldedEqual(std::string_view a, std::string_view b);
std::string_view TrimRightBlanks(std::string_view s);
// LIKE with % and _ (a GBK pair counts as one character), collation-aware.
bool Like(std::string_view value, std::string_view pattern);

// &, |, ^ and ~ (a ignored) on non-null integer values; binary operands
// count as the int of their last four bytes. 402 for any other type.
Value Bitwise(char op, const Value& a, const Value& b);

// Arithmetic on non-null values (+ concatenates strings).
Value Arith(char op, const Value& a, const Value& b);

Error SqlError(int number, std::string message, int severity = 16);

}  // namespace engine
