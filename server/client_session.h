// One client of libsql-server, from its pre-login to its last batch: the
// protocol's state machine over an engine session. It takes whole messages
// (tds::MessageReader) and returns the packets to send back, so it runs the
// same over a socket, in tests and under a fuzzer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "server/tds.h"

namespace server {

struct Login {
  std::string user;  // compared without regard to ASCII case, as SQL Server's logins
  std::string password;
};

struct ServerIdentity {
  std::string server_name = "libsql-server";  // in ERROR and INFO tokens
  std::string db_name;                        // the database the logins land in
  std::vector<Login> logins;
};

class ClientSession {
 public:
  // db and identity must outlive the session.
  ClientSession(engine::Database& db, const ServerIdentity& identity);
  // Closes the engine session: an open transaction is rolled back.
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  struct Reply {
    std::string packets;  // to send as they are; empty: nothing to send
    bool close = false;   // end the connection once they are sent
    std::string log;      // a line for the server's log, when something is worth one
  };
  // Handles one message. cancelled is asked while a statement waits for
  // another session's transaction: true means the client sent an attention.
  // Never throws for anything the client sends: malformed input ends the
  // connection with a log line.
  Reply Handle(const tds::MessageReader::Message& m, const std::function<bool()>& cancelled);

  // The engine session's id, 0 before the login.
  int spid() const { return spid_; }
  // The packet size the login settled on.
  std::size_t packet_size() const { return packet_size_; }

 private:
  Reply Prelogin(const std::string& payload);
  Reply Login(const std::string& payload);
  Reply Batch(const std::string& sql, const std::function<bool()>& cancelled);
  Reply Rpc(const std::string& payload, const std::function<bool()>& cancelled);
  // INSERT BULK names the table a BULK_LOAD message then fills.
  Reply InsertBulk(const std::string& table);
  Reply BulkLoad(const std::string& payload, const std::function<bool()>& cancelled);
  // RESETCONNECTION (and its keep-transaction variant) on a request.
  void Reset(std::uint8_t status);
  std::string reply_prefix_;  // tokens the next answer opens with
  Reply Attention();
  enum class Outcome { Ok, Failed, Cancelled };
  // Runs a batch and appends its results to w, each statement's ending with
  // DONE (DONEINPROC when in_proc) with the MORE bit; *last_done is where the
  // last of them starts (untouched when none). When trailing is given, the
  // batch's last result set, if it ran, goes there instead of to w.
  Outcome RunBatch(tds::TokenWriter& w, const std::string& sql,
                   const std::function<bool()>& cancelled, bool in_proc, std::size_t* last_done,
                   engine::StatementResult* trailing);
  // Appends the tokens of results that RunBatch describes.
  void WriteResults(tds::TokenWriter& w, const std::vector<engine::StatementResult>& results,
                    bool in_proc, std::size_t* last_done);
  // A call of a stored procedure by name: its results, return status and
  // output parameters, then its DONEPROC (with the MORE bit unless last).
  void CallProcedure(tds::TokenWriter& w, const tds::RpcCall& call, bool last,
                     const std::function<bool()>& cancelled);
  Reply TransactionManager(const std::string& payload, const std::function<bool()>& cancelled);
  Reply Send(const std::string& tokens, bool close = false, std::string log = {});
  Reply Refuse(std::int32_t number, std::uint8_t severity, const std::string& text_utf8,
               std::string log);

  engine::Database& db_;
  const ServerIdentity& id_;
  enum class State { Start, PreloginDone, LoggedIn } state_ = State::Start;
  std::uint32_t version_ = tds::kTds74;
  std::size_t packet_size_ = 4096;
  int spid_ = 0;
  // Statements prepared by sp_prepare and sp_prepexec, by handle: the
  // parameter list and the statement, code page 936.
  struct Prepared {
    std::string params, statement;
  };
  std::map<std::int32_t, Prepared> prepared_;
  // The table INSERT BULK named, until the bulk load that follows it.
  std::optional<std::string> bulk_table_;
  std::int32_t next_handle_ = 1;
};

}  // namespace server
