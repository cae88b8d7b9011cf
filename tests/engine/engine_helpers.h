// Shared helpers of the engine tests: a database in a fresh folder,
// one-call query / error readers, and a process killed with a database open.
#pragma once

#include <gtest/gtest.h>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace engine_test {

class TempDb {
 public:
  TempDb() {
    dir_ = std::filesystem::temp_directory_path() /
           ("engine_test_" + Token() + "_" + std::to_string(counter_++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "lib.db").string();
    Open();
  }
  ~TempDb() {
    db_.reset();
    std::filesystem::remove_all(dir_);
  }
  void Open() { db_ = engine::Database::open(path_, engine::Database::OpenMode::CreateIfMissing); }
  void Close() { db_.reset(); }
  void Reopen() {
    Close();
    Open();
  }
  engine::Database& db() { return *db_; }
  const std::string& path() const { return path_; }

  // Runs a batch; throws what the engine throws.
  std::vector<engine::StatementResult> Run(const std::string& sql) { return db_->execute(sql); }
  // Rows of the last result set, each row's values joined by '|', NULL as "NULL".
  std::vector<std::string> Rows(const std::string& sql) {
    auto results = db_->execute(sql);
    std::vector<std::string> out;
    for (auto it = results.rbegin(); it != results.rend(); ++it) {
      if (!it->has_result_set) continue;
      for (const auto& row : it->rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
          if (c) line += "|";
          line += row[c] ? *row[c] : "NULL";
        }
        out.push_back(line);
      }
      break;
    }
    return out;
  }
  std::string One(const std::string& sql) {
    auto rows = Rows(sql);
    // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
    // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
    return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
#pragma GCC diagnostic pop
  }
  // Error number of the batch, 0 when it succeeds.
  int ErrorOf(const std::string& sql, std::string* message = nullptr) {
    try {
      db_->execute(sql);
    } catch (const engine::Error& e) {
      if (message) *message = e.what();
      return e.number();
    }
    return 0;
  }

 private:
  // Names this process's folders apart from another's running at once.
  static const std::string& Token() {
    static const std::string token = std::to_string(std::random_device()());
    return token;
  }
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::string path_;
  std::unique_ptr<engine::Database> db_;
};

// What a child process does to a database before it dies as a killed client
// would, with the database still open.
struct KilledRun {
  std::vector<std::string> batches;  // run in order
  bool errors_ignored = false;       // an engine error ends only its batch
  // A file that gets the cells of every result set, each followed by '|'.
  std::string results;
  // Set in the child's environment (the storage's fault hook).
  std::vector<std::pair<std::string, std::string>> env;
  // After the batches, a checkpoint and a normal exit instead of the kill.
  bool checkpoint_then_exit = false;
};

// Runs run on the database at path (which must exist) in a child process,
// this test program again. True when the child was killed: by the kill after
// the batches, or by the fault hook.
bool RunAndKill(const std::string& path, const KilledRun& run);
// The same with batches alone.
inline bool RunAndKill(const std::string& path, std::vector<std::string> batches) {
  KilledRun run;
  run.batches = std::move(batches);
  return RunAndKill(path, run);
}

}  // namespace engine_test
