// What a client sends on one connection to libsql-server: packets (pre-login,
// login, batches, transaction requests, attention), cut as the server cuts
// them from its socket, handed to one client session of a database the inputs
// share (a fresh one every thousand inputs). A session must answer anything
// with packets, an error or a closed connection (tds::ProtocolError); a
// crash, a sanitizer report or any other exception is a finding.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "fuzz/scratch.h"
#include "server/client_session.h"
#include "server/tds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A fresh database every thousand inputs, so that what the batches create
  // does not pile up for the whole run.
  static const std::string path = (fuzz::ScratchDir() / "lib.db").string();
  static std::unique_ptr<engine::Database> db;
  static int uses = 0;
  if (!db || ++uses % 1000 == 0) {
    db.reset();
    fuzz::RemoveDatabase(path);
    db = engine::Database::open(path, engine::Database::OpenMode::CreateIfMissing);
  }
  static const server::ServerIdentity identity = [] {
    server::ServerIdentity id;
    id.db_name = "lib";
    id.logins.push_back({"sa", "secret"});
    return id;
  }();
  std::string_view in(reinterpret_cast<const char*>(data), size);
  server::ClientSession session(*db, identity);
  tds::MessageReader reader;
  // One session alone never waits for another's transaction, so nothing is
  // ever cancelled while waiting; an attention packet arrives as a message.
  auto cancelled = [] { return false; };
  while (in.size() >= tds::kHeaderSize) {
    std::size_t length = static_cast<unsigned char>(in[2]) << 8 | static_cast<unsigned char>(in[3]);
    if (length < tds::kHeaderSize || length > in.size()) break;  // the server closes here too
    std::string_view packet = in.substr(0, length);
    in.remove_prefix(length);
    try {
      std::optional<tds::MessageReader::Message> m = reader.Feed(packet);
      if (!m) continue;
      if (session.Handle(*m, cancelled).close) break;
    } catch (const tds::ProtocolError&) {
      break;
    }
  }
  return 0;
}
