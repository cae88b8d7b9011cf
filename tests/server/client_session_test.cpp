// A ClientSession driven with messages built by hand, for what the drivers
// here cannot be made to send: RESETCONNECTION and its keep-transaction
// variant, the prepare-and-execute family with an OUTPUT handle, and a
// request past the size limit.
#include <gtest/gtest.h>

#include <string>

#include "server/client_session.h"
#include "tests/engine/engine_helpers.h"
#include "tests/server/tds_messages.h"

namespace {

using namespace tds_test;

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    t.Run("create table t (k int)");
    id.db_name = "lib";
    id.logins.push_back({"sa", ""});
    session = std::make_unique<server::ClientSession>(t.db(), id);
    auto r = Send(tds::kLogin7, Login7(u"sa", u""));
    ASSERT_FALSE(r.close) << r.log;
    spid = session->spid();
  }
  void TearDown() override { session.reset(); }

  // The reply's tokens (packet headers taken out).
  server::ClientSession::Reply Send(std::uint8_t type, const std::string& payload,
                                    std::uint8_t status = tds::kStatusEom,
                                    bool too_large = false) {
    tds::MessageReader::Message m{type, status, payload, too_large};
    auto r = session->Handle(m, [] { return false; });
    std::string tokens;
    for (std::size_t at = 0; at < r.packets.size();) {
      std::size_t len = tds::ParseHeader(std::string_view(r.packets).substr(at)).length;
      tokens += r.packets.substr(at + tds::kHeaderSize, len - tds::kHeaderSize);
      at += len;
    }
    r.packets = tokens;
    return r;
  }
  std::string Batch(const std::u16string& sql, std::uint8_t status = tds::kStatusEom) {
    return Send(tds::kSqlBatch, BatchPayload(sql), status).packets;
  }
  std::string Count() {
    return t.db().execute(spid, "select count(*) from t")[0].rows.at(0).at(0).value_or("NULL");
  }

  engine_test::TempDb t;
  server::ServerIdentity id;
  std::unique_ptr<server::ClientSession> session;
  int spid = 0;
};

const std::string kResetAck("\xE3\x03\x00\x12\x00\x00", 6);  // ENVCHANGE 18

TEST_F(Session, ResetConnectionRollsBackAndRestoresOptions) {
  Batch(u"begin transaction insert into t values (1) set nocount on");
  ASSERT_EQ(t.db().trancount(spid), 1);
  ASSERT_TRUE(t.db().nocount(spid));
  std::string reply =
      Batch(u"select @@trancount", tds::kStatusEom | tds::kStatusResetConnection);
  EXPECT_EQ(reply.substr(0, kResetAck.size()), kResetAck) << "the answer acknowledges the reset";
  EXPECT_EQ(t.db().trancount(spid), 0);
  EXPECT_FALSE(t.db().nocount(spid));
  EXPECT_EQ(Count(), "0");

  // The keep-transaction variant keeps the open transaction.
  Batch(u"begin transaction insert into t values (2) set nocount on");
  reply = Batch(u"insert into t values (3)",
                tds::kStatusEom | tds::kStatusResetConnectionSkipTran);
  EXPECT_EQ(reply.substr(0, kResetAck.size()), kResetAck);
  EXPECT_EQ(t.db().trancount(spid), 1);
  EXPECT_FALSE(t.db().nocount(spid));
  EXPECT_EQ(Count(), "2");
  Batch(u"commit");
  // Without the flag nothing is reset or acknowledged.
  EXPECT_EQ(Batch(u"begin transaction").find(kResetAck), std::string::npos);
  EXPECT_EQ(t.db().trancount(spid), 1);
}

// sp_prepexec gives back a handle (RETURNVALUE) and runs the statement;
// sp_execute runs it again with other values; sp_unprepare forgets it, after
// which the handle is refused with 8179.
TEST_F(Session, PreparedStatementsRunByHandle) {
  auto call = [&](std::uint16_t proc, const std::string& params) {
    return Send(tds::kRpc, RpcPayload(proc, params)).packets;
  };
  std::string reply =
      call(tds::kSpPrepExec, IntParam(u"@h", 0, true) + NVarCharParam(u"", u"@P1 int") +
                                 NVarCharParam(u"", u"insert into t values (@P1)") +
                                 IntParam(u"", 41));
  const std::string handle_one = "\xAC" + Le16(0) + "\x02" + Ucs2(u"@h") + "\x01";
  ASSERT_NE(reply.find(handle_one), std::string::npos) << "RETURNVALUE of the handle";
  const std::size_t value_at = reply.find(handle_one) + handle_one.size() + 4 + 2;
  EXPECT_EQ(reply.substr(value_at, 7), std::string("\x26\x04\x04", 3) + Le32(1));
  EXPECT_EQ(reply.find('\xAA'), std::string::npos) << "no error";
  EXPECT_EQ(static_cast<unsigned char>(reply[reply.size() - 13]), 0xFE) << "ends with DONEPROC";

  call(tds::kSpExecute, IntParam(u"", 1) + IntParam(u"", 42));
  EXPECT_EQ(t.db().execute(spid, "select sum(k) from t")[0].rows.at(0).at(0), "83");
  call(tds::kSpUnprepare, IntParam(u"", 1));
  reply = call(tds::kSpExecute, IntParam(u"", 1) + IntParam(u"", 43));
  EXPECT_NE(reply.find(Le32(8179)), std::string::npos);
  EXPECT_EQ(Count(), "2");

  // sp_executesql with an OUTPUT parameter, which the call gives back.
  reply = call(tds::kSpExecuteSql, NVarCharParam(u"", u"set @n = (select count(*) from t) + @m") +
                                       NVarCharParam(u"", u"@n int output, @m int") +
                                       IntParam(u"@n", 0, true) + IntParam(u"@m", 10));
  const std::string n_out = "\xAC" + Le16(2) + "\x02" + Ucs2(u"@n") + "\x01";
  ASSERT_NE(reply.find(n_out), std::string::npos);
  EXPECT_EQ(reply.substr(reply.find(n_out) + n_out.size() + 6, 7),
            std::string("\x26\x04\x04", 3) + Le32(12));
}

// An attention during a statement: the statement is undone, the request's
// answer ends, and the acknowledgement (DONE with the attention bit) comes
// as a message of its own, which tedious waits for after the answer.
TEST_F(Session, AnAttentionEndsTheAnswerThenIsAcknowledgedApart) {
  Batch(u"insert into t values (1),(2),(3),(4),(5),(6),(7),(8),(9),(10)");
  tds::MessageReader::Message m{tds::kSqlBatch, tds::kStatusEom,
                                BatchPayload(u"insert into t select a.k from t a, t b, t c"), false};
  auto r = session->Handle(m, [] { return true; });
  std::vector<std::string> messages(1);
  for (std::size_t at = 0; at < r.packets.size();) {
    tds::PacketHeader h = tds::ParseHeader(std::string_view(r.packets).substr(at));
    messages.back() += r.packets.substr(at + tds::kHeaderSize, h.length - tds::kHeaderSize);
    if (h.status & tds::kStatusEom) messages.emplace_back();
    at += h.length;
  }
  messages.pop_back();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].substr(0, 3), std::string("\xFD\x00\x00", 3)) << "a final DONE";
  EXPECT_EQ(messages[1].substr(0, 3), std::string("\xFD\x20\x00", 3)) << "DONE, attention";
  EXPECT_EQ(Count(), "10") << "the statement was undone";
}

// A request past the size limit is answered with an error; the connection
// stays and goes on.
TEST_F(Session, ARequestPastTheLimitIsRefusedWithAnError) {
  auto r = Send(tds::kSqlBatch, "", tds::kStatusEom, true);
  EXPECT_FALSE(r.close);
  EXPECT_EQ(static_cast<unsigned char>(r.packets[0]), 0xAA);
  EXPECT_NE(r.packets.find(Ucs2(u"larger than the 64 MB")), std::string::npos);
  Batch(u"insert into t values (1)");
  EXPECT_EQ(Count(), "1");
}

// Logins name the database, master or none; any other is 4060, then 18456.
TEST(SessionLogin, DatabasesALoginMayName) {
  engine_test::TempDb t;
  server::ServerIdentity id;
  id.db_name = "lib";
  id.logins.push_back({"sa", ""});
  for (const char16_t* db : {u"", u"master", u"LIB", u"nosuch"}) {
    server::ClientSession s(t.db(), id);
    tds::MessageReader::Message m{tds::kLogin7, tds::kStatusEom, Login7(u"sa", u"", db), false};
    auto r = s.Handle(m, [] { return false; });
    const bool refused = std::u16string(db) == u"nosuch";
    EXPECT_EQ(r.close, refused);
    EXPECT_EQ(s.spid() != 0, !refused);
    EXPECT_EQ(r.packets.find(Le32(4060)) != std::string::npos, refused);
  }
}

}  // namespace
