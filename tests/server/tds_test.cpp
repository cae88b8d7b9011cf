// The wire parsers on bytes no well-behaved client sends: each malformed
// message is refused with ProtocolError, never read past its end. What a
// real client sends is covered through FreeTDS in protocol_test.cpp.
#include <gtest/gtest.h>

#include "server/tds.h"

namespace {

std::string Packet(std::uint8_t type, std::uint8_t status, const std::string& body,
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

std::string Le16(std::size_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

// A LOGIN7 record with the given user and password, the other fields empty.
std::string Login7(const std::u16string& user, const std::u16string& password) {
  std::string fixed(94, '\0');
  auto put16 = [&](std::size_t at, std::size_t v) { fixed.replace(at, 2, Le16(v)); };
  std::string data;
  auto field = [&](std::size_t pair, const std::string& bytes, std::size_t chars) {
    put16(pair, 94 + data.size());
    put16(pair + 2, chars);
    data += bytes;
  };
  std::string u;
  for (char16_t c : user) u += Le16(c);
  field(40, u, user.size());
  field(44, tds::ScramblePassword(password), password.size());
  std::string all = fixed + data;
  const std::size_t n = all.size();
  all[0] = static_cast<char>(n & 0xFF);
  all[1] = static_cast<char>(n >> 8);
  all.replace(4, 4, std::string("\x04\x00\x00\x74", 4));
  return all;
}

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
      {"message past the limit",
       [] {
         tds::MessageReader r(3);
         r.Feed(Packet(tds::kSqlBatch, 0, "ab"));
         r.Feed(Packet(tds::kSqlBatch, 1, "cd"));
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
