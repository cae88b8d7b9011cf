// The wire parsers on bytes no well-behaved client sends: each malformed
// message is refused with ProtocolError, never read past its end. What a
// real client sends is covered through FreeTDS in protocol_test.cpp.
#include <gtest/gtest.h>

#include "server/tds.h"
#include "tests/server/tds_messages.h"

namespace {

using tds_test::Login7;
using tds_test::Packet;

TEST(Tds, MessagesAreReassembledFromPackets) {
  tds::MessageReader r;
  EXPECT_FALSE(r.Feed(Packet(tds::kSqlBatch, 0, "ab")));
  auto m = r.Feed(Packet(tds::kSqlBatch, tds::kStatusEom, "cd"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->payload, "abcd");
  // Packets out of a client's wire: one split in two halves.
  const std::string big(10000, 'x');
  const std::string packets = tds::Packetize(tds::kReply, big, 4096, 52);
  tds::MessageReader again;
  std::optional<tds::MessageReader::Message> whole;
  for (std::size_t at = 0; at < packets.size();) {
    const std::size_t len = tds::ParseHeader(packets.substr(at, 8)).length;
    EXPECT_LE(len, 4096u);
    whole = again.Feed(packets.substr(at, len));
    at += len;
  }
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->payload, big);
  // A message past the limit arrives whole, its payload dropped and marked.
  tds::MessageReader limited(3);
  EXPECT_FALSE(limited.Feed(Packet(tds::kSqlBatch, 0, "ab")));
  auto large = limited.Feed(Packet(tds::kSqlBatch, tds::kStatusEom, "cd"));
  ASSERT_TRUE(large);
  EXPECT_TRUE(large->too_large);
  EXPECT_EQ(large->payload, "");
  EXPECT_FALSE(limited.Feed(Packet(tds::kSqlBatch, tds::kStatusEom, "ef"))->too_large)
      << "the next message is read as usual";
}

// Calls as a client lays them out: by id with typed parameters, NULL and
// OUTPUT marks, MAX values in chunks; and what this server does not take.
TEST(Tds, RemoteProcedureCallsAreParsed) {
  using namespace tds_test;
  std::string plp = std::string("\x01p\x00\x00\xA7", 5) + Le16(0xFFFF) +
                    std::string(reinterpret_cast<const char*>(tds::kCollation), 5) + Le32(5) +
                    Le32(0) + Le32(3) + "abc" + Le32(2) + "de" + Le32(0);
  std::string null_int = std::string("\x00\x00\x26\x04\x00", 5);
  auto calls = tds::ParseRpc(
      RpcPayload(tds::kSpExecuteSql,
                 NVarCharParam(u"", u"select @p") + IntParam(u"@h", 7, true) + plp + null_int) +
          "\xFF" + Le16(0xFFFF) + Le16(tds::kSpUnprepare) + Le16(0) + IntParam(u"", 1),
      tds::kTds74);
  ASSERT_EQ(calls.size(), 2u) << "calls separated by a batch flag";
  const auto& p = calls[0].params;
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(calls[0].proc_id, tds::kSpExecuteSql);
  EXPECT_EQ(p[0].value, Ucs2(u"select @p"));
  EXPECT_EQ(p[1].name, u"@h");
  EXPECT_TRUE(p[1].output);
  EXPECT_EQ(p[1].value, Le32(7));
  EXPECT_EQ(p[2].value, "abcde");
  EXPECT_FALSE(p[3].value.has_value());
  EXPECT_EQ(calls[1].proc_id, tds::kSpUnprepare);

  struct Case {
    const char* what;
    std::string payload;
  } bad[] = {
      {"a value past the end", RpcPayload(10, IntParam(u"", 1).substr(0, 6))},
      {"xml", RpcPayload(10, std::string("\x00\x00\xF1\x00", 4))},
      {"a MAX value's chunk past the end", RpcPayload(10, plp.substr(0, plp.size() - 8))},
      {"a name past the end", AllHeaders() + Le16(40) + "sp"},
  };
  for (const Case& c : bad)
    EXPECT_THROW(tds::ParseRpc(c.payload, tds::kTds74), tds::ProtocolError) << c.what;
}

TEST(Tds, MalformedInputIsRefused) {
  struct Case {
    const char* what;
    std::function<void()> parse;
  } cases[] = {
      {"short header", [] { tds::ParseHeader("\x01\x01\x00"); }},
      {"length below the header", [] { tds::MessageReader().Feed(Packet(1, 1, "", 4)); }},
      {"length past the bytes", [] { tds::MessageReader().Feed(Packet(1, 1, "ab", 30)); }},
      {"type changes inside a message",
       [] {
         tds::MessageReader r;
         r.Feed(Packet(tds::kSqlBatch, 0, "ab"));
         r.Feed(Packet(tds::kRpc, 1, "cd"));
       }},
      {"pre-login without terminator",
       [] { tds::ParsePrelogin(std::string("\x01\x00\x05\x00\x01", 5)); }},
      {"pre-login option outside",
       [] { tds::ParsePrelogin(std::string("\x01\x00\x06\x00\x09\xff", 6)); }},
      {"login shorter than its fixed part", [] { tds::ParseLogin7(std::string(40, '\0')); }},
      {"login field outside the record",
       [] {
         std::string l = Login7(u"sa", u"x");
         l[40] = static_cast<char>(0xF0);  // user name offset far past the end
         tds::ParseLogin7(l);
       }},
      {"login length larger than the bytes",
       [] {
         std::string l = Login7(u"sa", u"x");
         l[1] = 0x7F;
         tds::ParseLogin7(l);
       }},
      {"batch headers longer than the batch",
       [] { tds::BatchText(std::string("\xff\x00\x00\x00\x41\x00", 6), tds::kTds74); }},
      {"batch of an odd length", [] { tds::BatchText("abc", tds::kTds71); }},
  };
  for (const Case& c : cases) EXPECT_THROW(c.parse(), tds::ProtocolError) << c.what;
}

TEST(Tds, LoginRecordGivesUserAndUnscrambledPassword) {
  tds::Login7 l = tds::ParseLogin7(Login7(u"读者", u"Pa55wörd"));
  EXPECT_EQ(l.tds_version, tds::kTds74);
  EXPECT_EQ(l.user_name, "读者");
  EXPECT_EQ(l.password, "Pa55wörd");
  EXPECT_EQ(l.host_name, "");
}

TEST(Tds, TextBetweenUtf16AndCodePage936) {
  EXPECT_EQ(tds::Utf16ToGbk(u"中文abc"),
            "\xD6\xD0\xCE\xC4"
            "abc");
  EXPECT_EQ(tds::GbkToUtf16("\xD6\xD0\xCE\xC4"
                            "abc"),
            u"中文abc");
  // What code page 936 cannot hold becomes '?', as a server makes of a
  // Unicode batch's varchar literal.
  EXPECT_EQ(tds::Utf16ToGbk(u"a\u0E01b"), "a?b");
}

}  // namespace

namespace {

// A bulk load of an int column and a text column, two rows (the second all
// NULL), the text column's table name laid out as one name (what FreeTDS and
// tedious send) or as a count of parts and the parts; the columns, each row
// and the DONE token apart.
std::vector<std::string> BulkLoadParts(bool name_in_parts) {
  using tds_test::Le16;
  using tds_test::Le32;
  using tds_test::Ucs2;
  const std::string collation(reinterpret_cast<const char*>(tds::kCollation), 5);
  std::string columns = "\x81" + Le16(2);
  columns += Le32(0) + Le16(0x09) + "\x26\x04" + "\x01" + Ucs2(u"k");
  columns += Le32(0) + Le16(0x09) + "\x23" + Le32(0x7FFFFFFF) + collation;
  columns += (name_in_parts ? std::string("\x01") : std::string()) + Le16(2) + Ucs2(u"bl");
  columns += "\x01" + Ucs2(u"t");
  return {
      columns,
      "\xD1\x04" + Le32(7) + "\x10" + std::string(16, 'p') + std::string(8, 's') + Le32(2) + "ab",
      std::string("\xD1\x00\x00", 3), "\xFD" + Le16(0) + Le16(0) + std::string(8, '\0')};
}

TEST(Tds, BulkLoadRowsAreParsedInEitherLayoutOfATextColumnsTable) {
  for (bool parts : {false, true}) {
    const std::vector<std::string> p = BulkLoadParts(parts);
    // With its DONE token (tedious) and without (FreeTDS).
    for (const std::string& whole : {p[0] + p[1] + p[2] + p[3], p[0] + p[1] + p[2]}) {
      tds::BulkLoad load = tds::ParseBulkLoad(whole, tds::kTds74);
      ASSERT_EQ(load.columns.size(), 2u);
      EXPECT_EQ(load.columns[0].name, u"k");
      EXPECT_EQ(load.columns[1].name, u"t");
      EXPECT_EQ(load.columns[1].type, tds::kText);
      ASSERT_EQ(load.rows.size(), 2u);
      EXPECT_EQ(load.rows[0][0], std::string("\x07\x00\x00\x00", 4));
      EXPECT_EQ(load.rows[0][1], "ab");
      EXPECT_EQ(load.rows[1][0], std::nullopt);
      EXPECT_EQ(load.rows[1][1], std::nullopt);
    }
    // Cut anywhere but before a row, it is refused, never read past its end.
    const std::string whole = p[0] + p[1] + p[2] + p[3];
    for (std::size_t n = 0; n < whole.size(); ++n) {
      if (n == p[0].size() || n == p[0].size() + p[1].size() ||
          n == p[0].size() + p[1].size() + p[2].size())
        continue;
      EXPECT_THROW(tds::ParseBulkLoad(whole.substr(0, n), tds::kTds74), tds::ProtocolError) << n;
    }
  }
}

}  // namespace
