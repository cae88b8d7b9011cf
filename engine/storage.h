// The database file and its journal (format and invariants in FORMAT.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/catalog.h"
#include "engine/executor.h"

namespace engine {

class Storage {
 public:
  // Locks and loads the database at path into *catalog, returning the
  // journaled changes still to be replayed. Throws engine::Error.
  Storage(const std::string& path, bool create, Catalog* catalog, std::vector<Committed>* replay);
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // Appends one commit record with a single write(). Throws engine::Error.
  void Append(const std::vector<Committed>& group);
  // Writes a new snapshot of catalog and empties the journal.
  void Checkpoint(const Catalog& catalog);
  bool JournalLarge() const { return journal_size_ > kCheckpointBytes; }

 private:
  static constexpr std::uint64_t kCheckpointBytes = 256ull << 20;
  void ResetJournal();

  std::string path_;
  std::string journal_path_;
  int journal_fd_ = -1;
  std::uint64_t generation_ = 0;
  std::uint64_t journal_size_ = 0;
};

}  // namespace engine
