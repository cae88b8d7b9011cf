// The TDS wire format as libsql-server speaks it: packets, the pre-login
// exchange, the Login7 record, SQL batches and the tokens of a response.
// Everything here works on byte buffers and knows nothing of sockets or of the
// engine, so that each parser can be driven with any bytes a client might
// send. Parsers throw tds::ProtocolError on malformed input, never read out of
// bounds, and never trust a length or offset they have not checked.
//
// Multi-byte integers are little-endian unless said otherwise; the packet
// header's length and SPID are big-endian. Text on the wire is UCS-2 (UTF-16LE);
// character data of char/varchar/text columns is code page 936 bytes, tagged
// with the database's collation.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tds {

class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Packet types.
enum PacketType : std::uint8_t {
  kSqlBatch = 0x01,
  kRpc = 0x03,
  kReply = 0x04,
  kAttention = 0x06,
  kBulkLoad = 0x07,
  kTransactionManager = 0x0E,
  kLogin7 = 0x10,
  kSspi = 0x11,
  kPrelogin = 0x12,
};

constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kStatusEom = 0x01;
constexpr std::uint8_t kStatusResetConnection = 0x08;
constexpr std::uint8_t kStatusResetConnectionSkipTran = 0x10;

struct PacketHeader {
  std::uint8_t type = 0;
  std::uint8_t status = 0;
  std::uint16_t length = 0;  // header included
  std::uint16_t spid = 0;
  std::uint8_t packet_id = 0;
};

// Reads the 8-byte header at the front of bytes (at least kHeaderSize of
// them). Throws when the length is smaller than the header.
PacketHeader ParseHeader(std::string_view bytes);

// Reassembles messages from packets as they arrive. Feed it whole packets
// (header included); it returns the message once the packet marked end of
// message arrives. The payload of a message larger than max_message bytes
// is dropped as it comes: the message arrives marked too_large.
class MessageReader {
 public:
  static constexpr std::size_t kMaxMessage = 64u << 20;
  explicit MessageReader(std::size_t max_message = kMaxMessage) : max_(max_message) {}
  struct Message {
    std::uint8_t type;
    std::uint8_t status;  // of the first packet (reset-connection flag)
    std::string payload;
    bool too_large = false;
  };
  // Throws ProtocolError for a packet whose header does not describe
  // exactly packet.size() bytes, or a type that changes inside a message.
  std::optional<Message> Feed(std::string_view packet);

 private:
  std::size_t max_;
  bool open_ = false;
  Message current_{};
};

// Splits a message into packets of at most packet_size bytes (header
// included), the last marked end of message.
std::string Packetize(std::uint8_t type, std::string_view payload, std::size_t packet_size,
                      std::uint16_t spid);

// ---------------------------------------------------------------- pre-login

enum Encryption : std::uint8_t {
  kEncryptOff = 0,
  kEncryptOn = 1,
  kEncryptNotSupported = 2,
  kEncryptRequired = 3,
};

struct Prelogin {
  std::optional<std::uint8_t> encryption;  // absent when the client sent none
  bool mars = false;
};

// Parses a client's PRELOGIN payload (option table, then data).
Prelogin ParsePrelogin(std::string_view payload);
// The server's answer: its version, encryption not supported, no MARS.
std::string BuildPreloginReply();

// ---------------------------------------------------------------- login

// TDS versions as the Login7 record gives them (a little-endian DWORD).
constexpr std::uint32_t kTds71 = 0x71000001;
constexpr std::uint32_t kTds72 = 0x72090002;
constexpr std::uint32_t kTds73A = 0x730A0003;
constexpr std::uint32_t kTds73B = 0x730B0003;
constexpr std::uint32_t kTds74 = 0x74000004;

struct Login7 {
  std::uint32_t tds_version = 0;
  std::uint32_t packet_size = 0;
  std::uint32_t client_pid = 0;
  bool integrated_security = false;  // the client asked for Windows authentication
  bool feature_ext = false;          // a feature extension block follows (7.4)
  // UTF-8, converted from the record's UCS-2.
  std::string host_name, user_name, password, app_name, server_name, library_name, language,
      database;
};

// Parses a LOGIN7 payload. The password is unscrambled.
Login7 ParseLogin7(std::string_view payload);
// What a client does to a password before it sends it (for tests and tools).
std::string ScramblePassword(std::u16string_view password);

// ---------------------------------------------------------------- batches

// The SQL text of an SQL batch payload: ALL_HEADERS skipped (TDS 7.2 and
// later), UCS-2 as it came.
std::u16string BatchText(std::string_view payload, std::uint32_t tds_version);

// ---------------------------------------------------------------- remote procedure calls

// Procedure ids a client may send in place of a name.
enum ProcId : std::uint16_t {
  kSpExecuteSql = 10,
  kSpPrepare = 11,
  kSpExecute = 12,
  kSpPrepExec = 13,
  kSpUnprepare = 15,
};

// One parameter of a call, as sent: its type (TYPE_INFO) and its value's
// bytes as the type stores them (integers little-endian, char data in the
// collation's code page, nchar data UCS-2, PLP chunks joined).
struct RpcParam {
  std::u16string name;  // "@P1", or empty for a parameter given by position
  bool output = false;
  bool use_default = false;  // the procedure's own default, no value given
  std::uint8_t type = 0;
  std::uint32_t size = 0;  // the type's length (0xFFFF: a MAX type sent in chunks)
  std::uint8_t precision = 0, scale = 0;
  std::optional<std::string> value;  // nullopt: NULL
};

struct RpcCall {
  std::u16string name;  // empty when the call names a procedure by id
  std::uint16_t proc_id = 0;
  std::vector<RpcParam> params;
};

// The calls of an RPC payload (ALL_HEADERS skipped from TDS 7.2 on). Throws
// ProtocolError for anything malformed and for a parameter type this server
// does not take (xml, sql_variant, CLR types, table-valued).
std::vector<RpcCall> ParseRpc(std::string_view payload, std::uint32_t tds_version);

// ---------------------------------------------------------------- bulk load

// What a BULK_LOAD message carries after INSERT BULK: the columns (name and
// type in RpcParam, no value) and the rows, each value as a parameter's.
struct BulkLoad {
  std::vector<RpcParam> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

// Parses the COLMETADATA, ROW and DONE tokens of a bulk load (the DONE may
// be left out: the message's end ends the rows). The table
// name of a text, ntext or image column is taken as one name (what FreeTDS
// and tedious send) or as the parts the protocol describes. Throws
// ProtocolError for anything malformed or a type this server does not take.
BulkLoad ParseBulkLoad(std::string_view payload, std::uint32_t tds_version);

// ---------------------------------------------------------------- text

std::u16string Utf8ToUtf16(std::string_view utf8);   // invalid bytes become U+FFFD
std::string Utf16ToUtf8(std::u16string_view utf16);  // lone surrogates become U+FFFD
// Code page 936 bytes to and from UTF-16; what GBK cannot hold becomes '?',
// as SQL Server converts a Unicode batch's varchar literals.
std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);

// ---------------------------------------------------------------- tokens

// Chinese_PRC_CI_AS: LCID 0x0804, case-insensitive, kana- and
// width-insensitive, sort id 0; code page 936 follows from the LCID.
constexpr std::uint8_t kCollation[5] = {0x04, 0x08, 0xD0, 0x00, 0x00};

// Wire types of result columns.
enum WireType : std::uint8_t {
  kImage = 0x22,
  kText = 0x23,
  kIntN = 0x26,
  kBitN = 0x68,
  kDecimalN = 0x6A,
  kNumericN = 0x6C,
  kFloatN = 0x6D,
  kMoneyN = 0x6E,
  kDateTimeN = 0x6F,
  kBigVarBinary = 0xA5,
  kBigVarChar = 0xA7,
  kBigBinary = 0xAD,
  kBigChar = 0xAF,
};

// The other wire types a client may give a parameter.
namespace param_type {
constexpr std::uint8_t kNull = 0x1F, kInt1 = 0x30, kBit = 0x32, kInt2 = 0x34, kInt4 = 0x38,
                       kDateTime4 = 0x3A, kFloat4 = 0x3B, kMoney = 0x3C, kDateTime = 0x3D,
                       kFloat8 = 0x3E, kMoney4 = 0x7A, kInt8 = 0x7F, kGuid = 0x24,
                       kVarBinary = 0x25, kVarChar = 0x27, kBinary = 0x2D, kChar = 0x2F,
                       kDateN = 0x28, kTimeN = 0x29, kDateTime2N = 0x2A, kDateTimeOffsetN = 0x2B,
                       kMoneyN = 0x6E, kNText = 0x63, kNVarChar = 0xE7, kNChar = 0xEF;
}  // namespace param_type

struct Column {
  std::u16string name;
  WireType type = kBigVarChar;
  std::uint32_t size = 0;  // bytes: 1/2/4/8 for IntN, FloatN, DateTimeN; max for strings
  std::uint8_t precision = 0, scale = 0;  // NumericN
};

// DONE status bits.
enum DoneStatus : std::uint16_t {
  kDoneFinal = 0x0000,
  kDoneMore = 0x0001,
  kDoneError = 0x0002,
  kDoneInTransaction = 0x0004,
  kDoneCount = 0x0010,
  kDoneAttention = 0x0020,
};

// Appends tokens to a response payload. Layouts differ with the version the
// login settled on (row counts, user types and line numbers grow in 7.2).
class TokenWriter {
 public:
  explicit TokenWriter(std::uint32_t tds_version) : version_(tds_version) {}

  // ENVCHANGE: database (1), language (2), packet size (4): B_VARCHAR values.
  void EnvChange(std::uint8_t kind, std::u16string_view new_value, std::u16string_view old_value);
  // ENVCHANGE 7: the connection's collation.
  void CollationChange();
  void LoginAck(std::u16string_view program, std::uint32_t program_version);
  // ERROR (severity above 10) or INFO token.
  // procedure: the stored procedure it was raised in, if any (line then
  // counts in its text).
  void Message(bool error, std::int32_t number, std::uint8_t state, std::uint8_t severity,
               std::u16string_view text, std::u16string_view server, std::int32_t line,
               std::u16string_view procedure = {});
  void ColMetadata(const std::vector<Column>& columns);
  // One row; values[i] holds the bytes of column i as its type stores them
  // (integers little-endian, char data as code page 936, ...), nullopt for
  // NULL. See Encode* below.
  void Row(const std::vector<Column>& columns,
           const std::vector<std::optional<std::string>>& values);
  void Done(std::uint16_t status, std::uint16_t command, std::uint64_t rows);
  // The ends of a statement inside a procedure call (DONEINPROC) and of the
  // call (DONEPROC), laid out as DONE.
  void DoneInProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows);
  void DoneProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows);
  // A procedure's return status.
  void ReturnStatus(std::int32_t status);
  // The value of output parameter number ordinal (0-based) of a call.
  void ReturnValue(std::uint16_t ordinal, std::u16string_view name, const Column& type,
                   const std::optional<std::string>& value);
  // An empty FEATUREEXTACK: no optional feature is taken up.
  void FeatureExtAck();

  std::string& bytes() { return out_; }
  std::size_t size() const { return out_.size(); }

 private:
  void Put8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void Put16(std::uint16_t v);
  void Put32(std::uint32_t v);
  void Put64(std::uint64_t v);
  void BVarChar(std::u16string_view s);
  void UsVarChar(std::u16string_view s);
  void DoneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command,
                 std::uint64_t rows);
  // A column's TYPE_INFO (table name of text and image included when
  // with_table_name), and a value of it as a row carries it.
  void TypeInfo(const Column& c, bool with_table_name);
  void Value(const Column& c, const std::optional<std::string>& v);

  std::uint32_t version_;
  std::string out_;
};

// Wire forms of the engine's text values (ODBC SQL_C_CHAR text), for Row.
// Each throws ProtocolError when the text is not of its type.
std::string EncodeInt(std::string_view text, std::uint32_t size);
std::string EncodeFloat(std::string_view text);
std::string EncodeReal(std::string_view text);  // 4 bytes
// Scaled to the column's scale; size is the column's (5, 9, 13 or 17).
std::string EncodeNumeric(std::string_view text, std::uint8_t scale, std::uint32_t size);
// Units of 1/10,000, the high 32 bits first (money, 8 bytes).
std::string EncodeMoney(std::string_view text);
// "yyyy-mm-dd hh:mi:ss.mmm" as days since 1900-01-01 and 1/300 seconds.
std::string EncodeDateTime(std::string_view text);
// Upper- or lower-case hex digits to bytes.
std::string DecodeHex(std::string_view hex);
// Storage bytes of a numeric column of this precision (5, 9, 13, 17).
std::uint32_t NumericSize(int precision);

}  // namespace tds
