// Database files as a faulty build, a tool or someone on purpose may leave
// them: the input is a snapshot, followed by its journal from the last
// "LIBSQLJ" on when there is one. Checksums are recomputed before the files
// are written, so that the fuzzer reaches what lies behind them. Opening must
// refuse a bad file with an error, never crash; a file that opens is then
// read, keyed, defaulted and changed by a few statements, closed (which
// writes a snapshot of the engine's own) and must open again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/storage.h"
#include "fuzz/scratch.h"

namespace {

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> Column(engine::Database& db, const std::string& sql) {
  std::vector<std::string> out;
  for (const auto& r : db.execute(sql))
    for (const auto& row : r.rows)
      if (!row.empty() && row[0]) out.push_back(*row[0]);
  return out;
}

void Try(engine::Database& db, const std::string& sql) {
  try {
    db.execute(sql);
  } catch (const engine::Error&) {
  }
}

// Statements that touch every row, build every index, check keys and
// evaluate every default of every table.
void Exercise(engine::Database& db) {
  std::vector<std::string> tables;
  try {
    tables = Column(db, "select name from sysobjects where xtype = 'U'");
  } catch (const engine::Error&) {
    return;
  }
  for (const std::string& t : tables) {
    if (t.find(']') != std::string::npos) continue;
    std::string q = "[" + t + "]";
    std::vector<std::string> cols;
    try {
      cols = Column(db, "select c.name from syscolumns c, sysobjects o where c.id = o.id and o.name = '" +
                            t + "' order by c.colid");
    } catch (const engine::Error&) {
      continue;
    }
    Try(db, "select * from " + q);
    Try(db, "select count(*) from " + q + " group by " + (cols.empty() ? "1" : "[" + cols[0] + "]"));
    Try(db, "insert into " + q + " select * from " + q);
    for (const std::string& c : cols) {
      if (c.find(']') != std::string::npos) continue;
      std::string qc = "[" + c + "]";
      Try(db, "select * from " + q + " where " + qc + " = (select max(" + qc + ") from " + q + ")");
      Try(db, "insert into " + q + " (" + qc + ") select top 1 " + qc + " from " + q);
      Try(db, "update " + q + " set " + qc + " = " + qc);
    }
    Try(db, "delete from " + q);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = (fuzz::ScratchDir() / "file.db").string();
  fuzz::RemoveDatabase(path);
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t cut = input.rfind("LIBSQLJ");
  std::string snapshot = input.substr(0, cut == 0 ? input.size() : cut);
  std::string journal = cut == std::string::npos || cut == 0 ? "" : input.substr(cut);
  engine::SealSnapshot(snapshot);
  engine::SealJournal(journal);
  Write(path, snapshot);
  if (!journal.empty()) Write(path + "-journal", journal);
  try {
    auto db = engine::Database::open(path, engine::Database::OpenMode::MustExist);
    Exercise(*db);
  } catch (const engine::Error&) {
    return 0;  // refused: what a damaged file must get
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
