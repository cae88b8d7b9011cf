// T-SQL batches (split at GO lines) on a fresh database: the lexer, parser,
// binder, executor and journal on whatever bytes a client may send. An error
// is a fine answer; a crash, a sanitizer report or an exception other than
// engine::Error is a finding. The database the batches leave must open again.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = (fuzz::ScratchDir() / "sql.db").string();
  fuzz::RemoveDatabase(path);
  std::string_view script(reinterpret_cast<const char*>(data), size);
  {
    auto db = engine::Database::open(path, engine::Database::OpenMode::CreateIfMissing);
    const int spid = db->open_session({});
    for (std::string_view batch : fuzz::SplitBatches(script)) {
      // A loop that never ends (WHILE 1 = 1) is a fine answer too: the
      // batch is cancelled after a second, as a client would.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      try {
        db->execute(spid, batch, [&] { return std::chrono::steady_clock::now() > deadline; });
      } catch (const engine::Error&) {
      } catch (const engine::Cancelled&) {
      }
    }
    db->close_session(spid);
  }
  try {
    engine::Database::open(path, engine::Database::OpenMode::MustExist);
  } catch (const engine::Error& e) {
    std::fprintf(stderr, "the engine's own file does not open again: %d %s\n", e.number(),
                 e.what());
    std::abort();
  }
  return 0;
}
