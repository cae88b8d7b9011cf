// Client messages built by hand for the tests that drive the wire parsers and
// a ClientSession without a driver: packets, LOGIN7, SQL batches and remote
// procedure calls as TDS 7.4 lays them out.
#pragma once

#include <cstdint>
#include <string>

#include "server/tds.h"

namespace tds_test {

inline std::string Le16(std::size_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

inline std::string Le32(std::uint32_t v) {
  return Le16(v & 0xFFFF) + Le16(v >> 16);
}

inline std::string Ucs2(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += Le16(c);
  return out;
}

inline std::string Packet(std::uint8_t type, std::uint8_t status, const std::string& body,
                          int length = -1) {
  std::size_t len = length < 0 ? body.size() + 8 : static_cast<std::size_t>(length);
  std::string p = {static_cast<char>(type),
                   static_cast<char>(status),
                   static_cast<char>(len >> 8),
                   static_cast<char>(len & 0xFF),
                   0,
                   0,
                   1,
                   0};
  return p + body;
}

// A LOGIN7 record (TDS 7.4) with the given user, password and database, the
// other fields empty.
inline std::string Login7(const std::u16string& user, const std::u16string& password,
                          const std::u16string& database = u"") {
  std::string fixed(94, '\0');
  auto put16 = [&](std::size_t at, std::size_t v) { fixed.replace(at, 2, Le16(v)); };
  std::string data;
  auto field = [&](std::size_t pair, const std::string& bytes, std::size_t chars) {
    put16(pair, 94 + data.size());
    put16(pair + 2, chars);
    data += bytes;
  };
  field(40, Ucs2(user), user.size());
  field(44, tds::ScramblePassword(password), password.size());
  field(68, Ucs2(database), database.size());
  std::string all = fixed + data;
  const std::size_t n = all.size();
  all[0] = static_cast<char>(n & 0xFF);
  all[1] = static_cast<char>(n >> 8);
  all.replace(4, 4, std::string("\x04\x00\x00\x74", 4));
  return all;
}

// ALL_HEADERS with a transaction descriptor of 0, as TDS 7.2 and later
// requests begin.
inline std::string AllHeaders() {
  return Le32(22) + Le32(18) + Le16(2) + std::string(8, '\0') + Le32(1);
}

inline std::string BatchPayload(const std::u16string& sql) {
  return AllHeaders() + Ucs2(sql);
}

// Parameters of a call: an nvarchar(4000) and an int, by value or as OUTPUT.
inline std::string NVarCharParam(const std::u16string& name, const std::u16string& value) {
  return std::string(1, static_cast<char>(name.size())) + Ucs2(name) + '\0' + '\xE7' +
         Le16(8000) + std::string(reinterpret_cast<const char*>(tds::kCollation), 5) +
         Le16(value.size() * 2) + Ucs2(value);
}
inline std::string IntParam(const std::u16string& name, std::int32_t value, bool output = false) {
  return std::string(1, static_cast<char>(name.size())) + Ucs2(name) +
         static_cast<char>(output ? 1 : 0) + '\x26' + '\x04' + '\x04' +
         Le32(static_cast<std::uint32_t>(value));
}

// A call of a procedure by id (sp_executesql 10, sp_prepexec 13, ...).
inline std::string RpcPayload(std::uint16_t proc_id, const std::string& params) {
  return AllHeaders() + Le16(0xFFFF) + Le16(proc_id) + Le16(0) + params;
}

}  // namespace tds_test
