// The TDS wire format: parsers of what a client sends, writers of what the
// server answers. See tds.h for the conventions.
#include "server/tds.h"

#include <unicode/ucnv.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tds {

namespace {

std::uint16_t Le16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t Le32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | static_cast<std::uint32_t>(Le16(b, at + 2))
                                                       << 16;
}
std::uint16_t Be16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) << 8 |
                                    static_cast<unsigned char>(b[at + 1]));
}

void AppendLe(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// UCS-2 little-endian bytes to UTF-16 code units.
std::u16string Ucs2(std::string_view bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(Le16(bytes, 2 * i));
  return s;
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

UConverter* Gbk() {
  thread_local ConverterPtr c = [] {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr p(ucnv_open("windows-936", &status));
    if (U_FAILURE(status)) throw std::runtime_error("cannot open ICU converter windows-936");
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(p.get(), "?", 1, &status);
    return p;
  }();
  return c.get();
}

}  // namespace

// ---------------------------------------------------------------- packets

PacketHeader ParseHeader(std::string_view bytes) {
  if (bytes.size() < kHeaderSize) throw ProtocolError("truncated packet header");
  PacketHeader h;
  h.type = static_cast<std::uint8_t>(bytes[0]);
  h.status = static_cast<std::uint8_t>(bytes[1]);
  h.length = Be16(bytes, 2);
  h.spid = Be16(bytes, 4);
  h.packet_id = static_cast<std::uint8_t>(bytes[6]);
  if (h.length < kHeaderSize) throw ProtocolError("packet length smaller than its header");
  return h;
}

std::optional<MessageReader::Message> MessageReader::Feed(std::string_view packet) {
  PacketHeader h = ParseHeader(packet);
  if (h.length != packet.size()) throw ProtocolError("packet length does not match its header");
  if (!open_) {
    current_ = Message{h.type, h.status, {}};
    open_ = true;
  } else if (h.type != current_.type) {
    throw ProtocolError("packet type changed inside a message");
  }
  if (current_.too_large || current_.payload.size() + packet.size() - kHeaderSize > max_) {
    current_.too_large = true;
    std::string().swap(current_.payload);
  } else {
    current_.payload.append(packet.substr(kHeaderSize));
  }
  if (!(h.status & kStatusEom)) return std::nullopt;
  open_ = false;
  return std::move(current_);
}

std::string Packetize(std::uint8_t type, std::string_view payload, std::size_t packet_size,
                      std::uint16_t spid) {
  const std::size_t room = packet_size - kHeaderSize;
  std::string out;
  std::uint8_t id = 1;
  std::size_t at = 0;
  do {
    std::size_t n = std::min(room, payload.size() - at);
    bool last = at + n == payload.size();
    std::size_t len = n + kHeaderSize;
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>(last ? kStatusEom : 0));
    out.push_back(static_cast<char>(len >> 8));
    out.push_back(static_cast<char>(len & 0xFF));
    out.push_back(static_cast<char>(spid >> 8));
    out.push_back(static_cast<char>(spid & 0xFF));
    out.push_back(static_cast<char>(id++));
    out.push_back(0);
    out.append(payload.substr(at, n));
    at += n;
  } while (at < payload.size());
  return out;
}

// ---------------------------------------------------------------- pre-login

Prelogin ParsePrelogin(std::string_view p) {
  // Options: token, offset (BE16), length (BE16), until the terminator 0xFF;
  // offsets count from the start of the payload.
  Prelogin out;
  std::size_t at = 0;
  for (;;) {
    if (at >= p.size()) throw ProtocolError("pre-login option table has no terminator");
    std::uint8_t token = static_cast<std::uint8_t>(p[at]);
    if (token == 0xFF) break;
    if (at + 5 > p.size()) throw ProtocolError("truncated pre-login option");
    std::size_t offset = Be16(p, at + 1), length = Be16(p, at + 3);
    if (offset + length > p.size()) throw ProtocolError("pre-login option outside the message");
    if (token == 0x01 && length >= 1) out.encryption = static_cast<std::uint8_t>(p[offset]);
    if (token == 0x04 && length >= 1) out.mars = p[offset] != 0;
    at += 5;
  }
  return out;
}

std::string BuildPreloginReply() {
  struct Option {
    std::uint8_t token;
    std::string data;
  };
  // VERSION: 6.2.0.0, subbuild 0; ENCRYPTION: not supported; INSTOPT: the
  // default instance; THREADID: none; MARS: off.
  const Option options[] = {{0x00, std::string("\x06\x02\x00\x00\x00\x00", 6)},
                            {0x01, std::string(1, static_cast<char>(kEncryptNotSupported))},
                            {0x02, std::string(1, '\0')},
                            {0x03, std::string()},
                            {0x04, std::string(1, '\0')}};
  std::string table, data;
  std::size_t offset = std::size(options) * 5 + 1;
  for (const Option& o : options) {
    table.push_back(static_cast<char>(o.token));
    std::size_t at = offset + data.size();
    table.push_back(static_cast<char>(at >> 8));
    table.push_back(static_cast<char>(at & 0xFF));
    table.push_back(static_cast<char>(o.data.size() >> 8));
    table.push_back(static_cast<char>(o.data.size() & 0xFF));
    data += o.data;
  }
  table.push_back(static_cast<char>(0xFF));
  return table + data;
}

// ---------------------------------------------------------------- login

Login7 ParseLogin7(std::string_view p) {
  // Fixed part: 36 bytes of numbers and flags, then (offset, length) pairs of
  // UCS-2 fields counted in characters, offsets from the start of the record.
  constexpr std::size_t kFixed = 36 + 9 * 4 + 6 + 4 + 4;  // up to ibAtchDBFile
  if (p.size() < kFixed) throw ProtocolError("truncated login record");
  std::uint32_t length = Le32(p, 0);
  if (length > p.size() || length < kFixed) throw ProtocolError("login record length is wrong");
  p = p.substr(0, length);
  Login7 l;
  l.tds_version = Le32(p, 4);
  l.packet_size = Le32(p, 8);
  l.client_pid = Le32(p, 16);
  std::uint8_t flags2 = static_cast<std::uint8_t>(p[25]);
  l.integrated_security = (flags2 & 0x80) != 0;
  l.feature_ext = (static_cast<std::uint8_t>(p[27]) & 0x10) != 0;
  auto field = [&](std::size_t pair, bool bytes_not_chars = false) {
    std::size_t offset = Le16(p, pair), count = Le16(p, pair + 2);
    std::size_t size = bytes_not_chars ? count : count * 2;
    if (count == 0) return std::string_view();
    if (offset + size > p.size()) throw ProtocolError("login field outside the record");
    return p.substr(offset, size);
  };
  l.host_name = Utf16ToUtf8(Ucs2(field(36)));
  l.user_name = Utf16ToUtf8(Ucs2(field(40)));
  std::string pw(field(44));
  for (char& c : pw) {
    auto b = static_cast<unsigned char>(c ^ 0xA5);
    c = static_cast<char>((b << 4 | b >> 4) & 0xFF);
  }
  l.password = Utf16ToUtf8(Ucs2(pw));
  l.app_name = Utf16ToUtf8(Ucs2(field(48)));
  l.server_name = Utf16ToUtf8(Ucs2(field(52)));
  l.library_name = Utf16ToUtf8(Ucs2(field(60)));
  l.language = Utf16ToUtf8(Ucs2(field(64)));
  l.database = Utf16ToUtf8(Ucs2(field(68)));
  return l;
}

std::string ScramblePassword(std::u16string_view password) {
  std::string out;
  for (char16_t u : password) {
    for (int i = 0; i < 2; ++i) {
      auto b = static_cast<unsigned char>((u >> (8 * i)) & 0xFF);
      b = static_cast<unsigned char>(((b << 4) | (b >> 4)) & 0xFF);
      out.push_back(static_cast<char>(b ^ 0xA5));
    }
  }
  return out;
}

// ---------------------------------------------------------------- batches

std::u16string BatchText(std::string_view p, std::uint32_t tds_version) {
  if (tds_version >= kTds72) {
    // ALL_HEADERS: its total length (itself included), then the headers.
    if (p.size() < 4) throw ProtocolError("truncated batch headers");
    std::uint32_t total = Le32(p, 0);
    if (total < 4 || total > p.size()) throw ProtocolError("batch headers longer than the batch");
    p.remove_prefix(total);
  }
  if (p.size() % 2) throw ProtocolError("batch text is not UCS-2");
  return Ucs2(p);
}

// ---------------------------------------------------------------- remote procedure calls

namespace {

// Reads a payload front to back, every read checked against its end.
class Cursor {
 public:
  explicit Cursor(std::string_view p) : p_(p) {}
  bool done() const { return at_ == p_.size(); }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)[0]); }
  std::uint16_t U16() { return Le16(Take(2), 0); }
  std::uint32_t U32() { return Le32(Take(4), 0); }
  std::uint64_t U64() {
    std::string_view b = Take(8);
    return static_cast<std::uint64_t>(Le32(b, 0)) | static_cast<std::uint64_t>(Le32(b, 4)) << 32;
  }
  std::string_view Take(std::size_t n) {
    if (n > p_.size() - at_) throw ProtocolError("truncated remote procedure call");
    std::string_view out = p_.substr(at_, n);
    at_ += n;
    return out;
  }
  std::uint8_t Peek() const {
    if (done()) throw ProtocolError("truncated remote procedure call");
    return static_cast<std::uint8_t>(p_[at_]);
  }

 private:
  std::string_view p_;
  std::size_t at_ = 0;
};

// TYPE_INFO: the type, its length, precision and scale (a collation
// skipped).
void ReadTypeInfo(Cursor& c, RpcParam& p) {
  namespace pt = param_type;
  p.type = c.U8();
  switch (p.type) {
    case pt::kNull:
      return;
    case pt::kInt1:
    case pt::kBit:
      p.size = 1;
      return;
    case pt::kInt2:
      p.size = 2;
      return;
    case pt::kInt4:
    case pt::kDateTime4:
    case pt::kFloat4:
    case pt::kMoney4:
      p.size = 4;
      return;
    case pt::kMoney:
    case pt::kDateTime:
    case pt::kFloat8:
    case pt::kInt8:
      p.size = 8;
      return;
    case pt::kGuid:
    case kIntN:
    case kBitN:
    case kFloatN:
    case pt::kMoneyN:
    case kDateTimeN:
    case pt::kVarBinary:
    case pt::kBinary:
      p.size = c.U8();
      return;
    case pt::kVarChar:
    case pt::kChar:
      p.size = c.U8();
      c.Take(5);  // collation (TDS 7.1 and later)
      return;
    case kDecimalN:
    case kNumericN:
      p.size = c.U8();
      p.precision = c.U8();
      p.scale = c.U8();
      return;
    case pt::kDateN:
      return;
    case pt::kTimeN:
    case pt::kDateTime2N:
    case pt::kDateTimeOffsetN:
      p.scale = c.U8();
      if (p.scale > 7) throw ProtocolError("time scale above 7");
      return;
    case kBigVarBinary:
    case kBigBinary:
    case kBigVarChar:
    case kBigChar:
    case pt::kNVarChar:
    case pt::kNChar:
      p.size = c.U16();
      if (p.type == kBigVarChar || p.type == kBigChar || p.type == pt::kNVarChar ||
          p.type == pt::kNChar)
        c.Take(5);
      return;
    case kText:
    case pt::kNText:
    case kImage:
      p.size = c.U32();
      if (p.type != kImage) c.Take(5);
      return;
    default:
      throw ProtocolError("parameter of unsupported type " + std::to_string(p.type));
  }
}

// A value (TYPE_VARBYTE) of the type ReadTypeInfo read into p.
void ReadValue(Cursor& c, RpcParam& p) {
  namespace pt = param_type;
  auto byte_len = [&] {
    std::uint8_t n = c.U8();
    if (n == 0) return p.value.reset();
    p.value = std::string(c.Take(n));
  };
  switch (p.type) {
    case pt::kNull:
      p.value.reset();
      return;
    case pt::kInt1:
    case pt::kBit:
    case pt::kInt2:
    case pt::kInt4:
    case pt::kDateTime4:
    case pt::kFloat4:
    case pt::kMoney4:
    case pt::kMoney:
    case pt::kDateTime:
    case pt::kFloat8:
    case pt::kInt8:
      p.value = std::string(c.Take(p.size));
      return;
    case kBigVarBinary:
    case kBigBinary:
    case kBigVarChar:
    case kBigChar:
    case pt::kNVarChar:
    case pt::kNChar: {
      if (p.size != 0xFFFF) {
        std::uint16_t n = c.U16();
        if (n == 0xFFFF) return p.value.reset();
        p.value = std::string(c.Take(n));
        return;
      }
      // A MAX type: the total length (or unknown, or NULL), then chunks
      // until one of length 0.
      std::uint64_t total = c.U64();
      if (total == ~0ull) return p.value.reset();
      std::string v;
      for (;;) {
        std::uint32_t n = c.U32();
        if (n == 0) break;
        v.append(c.Take(n));
      }
      p.value = std::move(v);
      return;
    }
    case kText:
    case pt::kNText:
    case kImage: {
      std::uint32_t n = c.U32();
      if (n == 0xFFFFFFFFu) return p.value.reset();
      p.value = std::string(c.Take(n));
      return;
    }
    default:
      return byte_len();
  }
}

// TYPE_INFO, then the value (TYPE_VARBYTE) of one parameter.
void ReadParamValue(Cursor& c, RpcParam& p) {
  ReadTypeInfo(c, p);
  ReadValue(c, p);
}

// A bulk load's column descriptions and rows; text_names_in_parts: the
// table name of a text, ntext or image column is a count of parts and the
// parts (the protocol's own layout) rather than one name (as clients send).
BulkLoad ReadBulkLoad(std::string_view payload, std::uint32_t tds_version,
                      bool text_names_in_parts) {
  namespace pt = param_type;
  Cursor c(payload);
  BulkLoad load;
  if (c.U8() != 0x81) throw ProtocolError("a bulk load that does not start with its columns");
  const std::uint16_t count = c.U16();
  if (count == 0 || count == 0xFFFF) throw ProtocolError("a bulk load of no columns");
  for (std::uint16_t i = 0; i < count; ++i) {
    RpcParam col;
    c.Take(tds_version >= kTds72 ? 4 : 2);  // user type
    c.U16();                                // flags
    ReadTypeInfo(c, col);
    if (col.type == kText || col.type == pt::kNText || col.type == kImage) {
      std::uint8_t parts = text_names_in_parts ? c.U8() : 1;
      for (std::uint8_t k = 0; k < parts; ++k) c.Take(2u * c.U16());
    }
    col.name = Ucs2(c.Take(2u * c.U8()));
    load.columns.push_back(std::move(col));
  }
  // The rows run to a DONE token or to the message's end (FreeTDS sends
  // no DONE).
  while (!c.done()) {
    const std::uint8_t token = c.U8();
    if (token == 0xFD) {  // DONE: the end of the rows
      c.Take(tds_version >= kTds72 ? 12 : 8);
      break;
    }
    if (token != 0xD1) throw ProtocolError("a bulk load row that is not a ROW token");
    std::vector<std::optional<std::string>>& row = load.rows.emplace_back();
    for (RpcParam col : load.columns) {
      if (col.type == kText || col.type == pt::kNText || col.type == kImage) {
        // Text pointer (none: NULL) and time stamp, then the value.
        std::uint8_t pointer = c.U8();
        if (pointer == 0) {
          row.emplace_back();
          continue;
        }
        c.Take(pointer);
        c.Take(8);
      }
      ReadValue(c, col);
      row.push_back(std::move(col.value));
    }
  }
  return load;
}

}  // namespace

std::vector<RpcCall> ParseRpc(std::string_view payload, std::uint32_t tds_version) {
  if (tds_version >= kTds72) {
    if (payload.size() < 4) throw ProtocolError("truncated request headers");
    std::uint32_t total = Le32(payload, 0);
    if (total < 4 || total > payload.size()) throw ProtocolError("request headers too long");
    payload.remove_prefix(total);
  }
  Cursor c(payload);
  std::vector<RpcCall> calls;
  while (!c.done()) {
    RpcCall call;
    std::uint16_t n = c.U16();
    if (n == 0xFFFF)
      call.proc_id = c.U16();
    else
      call.name = Ucs2(c.Take(2u * n));
    c.U16();  // option flags: recompile, no metadata; nothing to do here
    while (!c.done()) {
      std::uint8_t next = c.Peek();
      if (next == 0x80 || next == 0xFF || next == 0xFE) {  // another call follows
        c.U8();
        break;
      }
      RpcParam p;
      std::uint8_t name_len = c.U8();
      p.name = Ucs2(c.Take(2u * name_len));
      std::uint8_t status = c.U8();
      p.output = (status & 0x01) != 0;
      p.use_default = (status & 0x02) != 0;
      ReadParamValue(c, p);
      call.params.push_back(std::move(p));
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

BulkLoad ParseBulkLoad(std::string_view payload, std::uint32_t tds_version) {
  try {
    return ReadBulkLoad(payload, tds_version, false);
  } catch (const ProtocolError&) {
    return ReadBulkLoad(payload, tds_version, true);
  }
}

// ---------------------------------------------------------------- text

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    int n;
    if (b < 0x80) {
      cp = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      n = 4;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = i + n <= s.size();
    for (int k = 1; ok && k < n; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string GbkToUtf16(std::string_view gbk) {
  if (gbk.empty()) return {};
  std::u16string out(gbk.size() + 1, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n =
      ucnv_toUChars(Gbk(), reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                    gbk.data(), static_cast<int32_t>(gbk.size()), &status);
  if (U_FAILURE(status)) throw ProtocolError("cannot convert code page 936 text");
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string Utf16ToGbk(std::u16string_view s) {
  if (s.empty()) return {};
  std::string out(s.size() * 2 + 1, '\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucnv_fromUChars(Gbk(), out.data(), static_cast<int32_t>(out.size()),
                              reinterpret_cast<const UChar*>(s.data()),
                              static_cast<int32_t>(s.size()), &status);
  if (U_FAILURE(status)) throw ProtocolError("cannot convert text to code page 936");
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// ---------------------------------------------------------------- tokens

void TokenWriter::Put16(std::uint16_t v) {
  AppendLe(out_, v, 2);
}
void TokenWriter::Put32(std::uint32_t v) {
  AppendLe(out_, v, 4);
}
void TokenWriter::Put64(std::uint64_t v) {
  AppendLe(out_, v, 8);
}

void TokenWriter::BVarChar(std::u16string_view s) {
  std::size_t n = std::min<std::size_t>(s.size(), 255);
  Put8(static_cast<std::uint8_t>(n));
  for (std::size_t i = 0; i < n; ++i) Put16(s[i]);
}

void TokenWriter::UsVarChar(std::u16string_view s) {
  std::size_t n = std::min<std::size_t>(s.size(), 65535);
  Put16(static_cast<std::uint16_t>(n));
  for (std::size_t i = 0; i < n; ++i) Put16(s[i]);
}

void TokenWriter::EnvChange(std::uint8_t kind, std::u16string_view new_value,
                            std::u16string_view old_value) {
  Put8(0xE3);
  Put16(static_cast<std::uint16_t>(1 + 1 + 2 * new_value.size() + 1 + 2 * old_value.size()));
  Put8(kind);
  BVarChar(new_value);
  BVarChar(old_value);
}

void TokenWriter::CollationChange() {
  Put8(0xE3);
  Put16(1 + 1 + 5 + 1);
  Put8(7);
  Put8(5);
  out_.append(reinterpret_cast<const char*>(kCollation), 5);
  Put8(0);
}

void TokenWriter::LoginAck(std::u16string_view program, std::uint32_t program_version) {
  Put8(0xAD);
  Put16(static_cast<std::uint16_t>(1 + 4 + 1 + 2 * program.size() + 4));
  Put8(1);  // SQL_TSQL
  // The version is the one DWORD of the protocol sent big-endian.
  for (int i = 3; i >= 0; --i) Put8(static_cast<std::uint8_t>(version_ >> (8 * i)));
  BVarChar(program);
  for (int i = 3; i >= 0; --i) Put8(static_cast<std::uint8_t>(program_version >> (8 * i)));
}

void TokenWriter::Message(bool error, std::int32_t number, std::uint8_t state,
                          std::uint8_t severity, std::u16string_view text,
                          std::u16string_view server, std::int32_t line,
                          std::u16string_view procedure) {
  text = text.substr(0, std::min<std::size_t>(text.size(), 4000));
  server = server.substr(0, std::min<std::size_t>(server.size(), 128));
  procedure = procedure.substr(0, std::min<std::size_t>(procedure.size(), 128));
  const bool long_line = version_ >= kTds72;
  Put8(error ? 0xAA : 0xAB);
  Put16(static_cast<std::uint16_t>(4 + 1 + 1 + 2 + 2 * text.size() + 1 + 2 * server.size() + 1 +
                                   2 * procedure.size() + (long_line ? 4 : 2)));
  Put32(static_cast<std::uint32_t>(number));
  Put8(state);
  Put8(severity);
  UsVarChar(text);
  BVarChar(server);
  BVarChar(procedure);
  if (long_line)
    Put32(static_cast<std::uint32_t>(line));
  else
    Put16(static_cast<std::uint16_t>(line));
}

void TokenWriter::TypeInfo(const Column& c, bool with_table_name) {
  Put8(c.type);
  switch (c.type) {
    case kIntN:
    case kBitN:
    case kFloatN:
    case kDateTimeN:
    case kMoneyN:
      Put8(static_cast<std::uint8_t>(c.size));
      break;
    case kNumericN:
    case kDecimalN:
      Put8(static_cast<std::uint8_t>(c.size));
      Put8(c.precision);
      Put8(c.scale);
      break;
    case kBigVarChar:
    case kBigChar:
      Put16(static_cast<std::uint16_t>(c.size));
      out_.append(reinterpret_cast<const char*>(kCollation), 5);
      break;
    case kBigVarBinary:
    case kBigBinary:
      Put16(static_cast<std::uint16_t>(c.size));
      break;
    case kText:
    case kImage:
      Put32(c.size);
      if (c.type == kText) out_.append(reinterpret_cast<const char*>(kCollation), 5);
      // The table name: parts (7.2 and later) or one name, none known.
      if (!with_table_name) break;
      if (version_ >= kTds72)
        Put8(0);
      else
        Put16(0);
      break;
  }
}

void TokenWriter::ColMetadata(const std::vector<Column>& columns) {
  Put8(0x81);
  Put16(static_cast<std::uint16_t>(columns.size()));
  for (const Column& c : columns) {
    if (version_ >= kTds72)
      Put32(0);
    else
      Put16(0);
    Put16(0x0001 | 0x0008);  // nullable, updatable unknown
    TypeInfo(c, true);
    BVarChar(c.name);
  }
}

void TokenWriter::Row(const std::vector<Column>& columns,
                      const std::vector<std::optional<std::string>>& values) {
  Put8(0xD1);
  for (std::size_t i = 0; i < columns.size(); ++i) Value(columns[i], values[i]);
}

void TokenWriter::Value(const Column& c, const std::optional<std::string>& v) {
  switch (c.type) {
    case kIntN:
    case kBitN:
    case kFloatN:
    case kDateTimeN:
    case kMoneyN:
    case kNumericN:
    case kDecimalN:
      if (!v) {
        Put8(0);
      } else {
        Put8(static_cast<std::uint8_t>(v->size()));
        out_ += *v;
      }
      break;
    case kBigVarChar:
    case kBigChar:
    case kBigVarBinary:
    case kBigBinary:
      if (!v) {
        Put16(0xFFFF);
      } else {
        Put16(static_cast<std::uint16_t>(v->size()));
        out_ += *v;
      }
      break;
    case kText:
    case kImage:
      if (!v) {
        Put8(0);
      } else {
        Put8(16);
        out_.append(16, '\0');  // text pointer
        out_.append(8, '\0');   // timestamp
        Put32(static_cast<std::uint32_t>(v->size()));
        out_ += *v;
      }
      break;
  }
}

void TokenWriter::Done(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
  DoneToken(0xFD, status, command, rows);
}
void TokenWriter::DoneProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
  DoneToken(0xFE, status, command, rows);
}
void TokenWriter::DoneInProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
  DoneToken(0xFF, status, command, rows);
}

void TokenWriter::ReturnStatus(std::int32_t status) {
  Put8(0x79);
  Put32(static_cast<std::uint32_t>(status));
}

void TokenWriter::ReturnValue(std::uint16_t ordinal, std::u16string_view name, const Column& type,
                              const std::optional<std::string>& value) {
  Put8(0xAC);
  Put16(ordinal);
  BVarChar(name);
  Put8(0x01);  // an output parameter
  if (version_ >= kTds72)
    Put32(0);
  else
    Put16(0);
  Put16(0x0001);  // nullable
  // A text value travels as its type's value does in a row; its TYPE_INFO
  // names no table.
  TypeInfo(type, false);
  Value(type, value);
}

void TokenWriter::DoneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command,
                            std::uint64_t rows) {
  Put8(token);
  Put16(status);
  Put16(command);
  if (version_ >= kTds72)
    Put64(rows);
  else
    Put32(static_cast<std::uint32_t>(rows));
}

void TokenWriter::FeatureExtAck() {
  Put8(0xAE);
  Put8(0xFF);
}

// ---------------------------------------------------------------- values

std::uint32_t NumericSize(int precision) {
  return precision <= 9 ? 5 : precision <= 19 ? 9 : precision <= 28 ? 13 : 17;
}

std::string EncodeInt(std::string_view text, std::uint32_t size) {
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno) throw ProtocolError("not an integer: " + s);
  std::string out;
  AppendLe(out, static_cast<std::uint64_t>(v), static_cast<int>(size));
  return out;
}

std::string EncodeFloat(std::string_view text) {
  std::string s(text);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0') throw ProtocolError("not a number: " + s);
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  std::string out;
  AppendLe(out, bits, 8);
  return out;
}

std::string EncodeReal(std::string_view text) {
  std::string s(text);
  char* end = nullptr;
  float v = std::strtof(s.c_str(), &end);
  if (s.empty() || *end != '\0') throw ProtocolError("not a number: " + s);
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  std::string out;
  AppendLe(out, bits, 4);
  return out;
}

std::string EncodeNumeric(std::string_view text, std::uint8_t scale, std::uint32_t size) {
  bool negative = false;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned __int128 mag = 0;
  int decimals = -1, digits = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (c < '0' || c > '9') throw ProtocolError("not a number: " + std::string(text));
    if (decimals >= 0) {
      if (decimals == scale) continue;  // more decimals than the column keeps
      ++decimals;
    }
    mag = mag * 10 + static_cast<unsigned>(c - '0');
    if (++digits > 38) throw ProtocolError("number too long: " + std::string(text));
  }
  if (digits == 0) throw ProtocolError("not a number: " + std::string(text));
  for (int k = decimals < 0 ? 0 : decimals; k < scale; ++k) mag *= 10;
  std::string out(1, negative && mag != 0 ? '\0' : '\1');
  for (std::uint32_t k = 1; k < size; ++k) {
    out.push_back(static_cast<char>(static_cast<unsigned>(mag & 0xFF)));
    mag >>= 8;
  }
  return out;
}

std::string EncodeMoney(std::string_view text) {
  // Sign, then the magnitude in 1/10,000 in eight bytes, low first.
  const std::string n = EncodeNumeric(text, 4, 9);
  std::uint64_t mag = 0;
  for (std::size_t k = 8; k >= 1; --k) mag = mag << 8 | static_cast<unsigned char>(n[k]);
  if (mag > 0x7FFFFFFFFFFFFFFFull + (n[0] == '\0' ? 1 : 0))
    throw ProtocolError("out of money's range: " + std::string(text));
  const std::uint64_t v = n[0] == '\0' ? ~mag + 1 : mag;
  std::string out;
  for (int shift : {32, 40, 48, 56, 0, 8, 16, 24})
    out.push_back(static_cast<char>(static_cast<unsigned>(v >> shift) & 0xFF));
  return out;
}

std::string EncodeDateTime(std::string_view text) {
  int y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
  std::string t(text);
  int n = std::sscanf(t.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms);
  if (n < 3 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || ms > 999)
    throw ProtocolError("not a date: " + t);
  // Days from the civil date (proleptic Gregorian), relative to 1900-01-01.
  auto days_from_civil = [](long long yy, unsigned m, unsigned dd) {
    yy -= m <= 2;
    const long long era = (yy >= 0 ? yy : yy - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(yy - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + dd - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
  };
  long long days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) -
                   days_from_civil(1900, 1, 1);
  long long msday = ((h * 60LL + mi) * 60 + s) * 1000 + ms;
  long long ticks = (msday * 300 + 500) / 1000;
  if (ticks >= 300LL * 86400) {  // 23:59:59.999 rounds to the next day
    ++days;
    ticks = 0;
  }
  std::string out;
  AppendLe(out, static_cast<std::uint64_t>(days), 4);
  AppendLe(out, static_cast<std::uint64_t>(ticks), 4);
  return out;
}

std::string DecodeHex(std::string_view hex) {
  if (hex.size() % 2) throw ProtocolError("odd number of hex digits");
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw ProtocolError("not a hex digit");
  };
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return out;
}

}  // namespace tds
