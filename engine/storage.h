// The database file and its journal (format and invariants in FORMAT.md).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/catalog.h"
#include "engine/executor.h"
#include "port/file.h"

namespace engine {

class Storage : public JournalSink {
 public:
  // Locks and loads the snapshot of the database at path into *catalog,
  // binding each column default with bind_default. A file that breaks the
  // format (FORMAT.md) is refused with 5172 and left as it is. Throws
  // engine::Error.
  Storage(const std::string& path, bool create, Catalog* catalog,
          const std::function<void(Expr&)>& bind_default);
  ~Storage() override;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // Where Recover sends the journal's units of work, record by record: the
  // statements of a unit, then commit, or abort for a unit the journal never
  // saw committed.
  struct Replay {
    std::function<void(const Committed&)> statement;
    std::function<void()> commit;
    std::function<void()> abort;
  };
  // Replays the journal, then cuts it after its last committed unit so that
  // new records never follow an unfinished one. True when a checkpoint must
  // be taken before anything new is recorded (units were replayed, or the
  // journal is of the earlier format). Throws what the replay throws.
  bool Recover(const Replay& replay);

  // The journal, as the session records its changes (see JournalSink): the
  // statements of an open unit gather in a buffer that is written whenever a
  // megabyte has gathered; Commit writes the rest and the commit with one
  // write() and returns once the journal is flushed to disk (a failed write
  // or flush throws 9002 and leaves the unit open); Abort cuts the journal
  // back to where the unit began.
  void Statement(const Committed& c) override;
  void Commit() override;
  void Abort() noexcept override;
  // A whole unit gathered elsewhere (a session of a server), written and
  // flushed as Commit does, before the unit that Statement is gathering, if
  // any: that one must not have written a record yet (otherwise 9002, as the
  // journal cannot hold two units at once). An empty unit writes nothing.
  void CommitUnit(const std::vector<Committed>& unit);

  // Writes a new snapshot of catalog and empties the journal. Does nothing
  // while a unit of work is open: the snapshot would hold its uncommitted
  // changes and the journal would lose its records. Throws Error 9002 when
  // the new file cannot be written or flushed (a full disk): the database
  // file and the journal stay as they were, every committed change in the
  // journal, and the database stays usable.
  void Checkpoint(const Catalog& catalog);
  // The journal is checkpointed once it outgrows both kCheckpointBytes and
  // the snapshot itself: a large database is not rewritten whole for every
  // few hundred megabytes of journal, and what a checkpoint writes stays
  // within twice what the journal took.
  bool JournalLarge() const {
    return journal_size_ > std::max({kCheckpointBytes, snapshot_size_, retry_size_});
  }
  // BACKUP DATABASE: a snapshot of catalog (committed changes only: no
  // session's transaction open) written to dest as a database file of its
  // own, through a temporary file renamed into place once it is on disk, so
  // dest is the old file or the whole copy. Throws Error 3201 when dest is
  // this database's own file or a database open elsewhere, or cannot be
  // written.
  void Backup(const Catalog& catalog, const std::string& dest) override;
  // Units committed (or replayed at opening) since the last checkpoint.
  bool Dirty() const { return dirty_; }
  // Whether the last checkpoint failed and no unit has committed since: a
  // database closing then need not try again what just failed.
  bool CheckpointFailed() const { return checkpoint_failed_; }
  // Whether the journal is of the earlier format, which new records cannot
  // follow: opening must checkpoint it before anything else.
  bool MustCheckpoint() const { return legacy_; }

 private:
  static constexpr std::uint64_t kCheckpointBytes = 256ull << 20;
  static constexpr std::size_t kFlushBytes = 1u << 20;
  void ResetJournal();
  void WriteUnitRecord(unsigned kind);
  bool UnitOpen() const { return !unit_.empty() || journal_size_ != unit_start_; }

  std::string path_;
  std::string journal_path_;
  port::File journal_;  // open and locked while the database is
  std::uint64_t generation_ = 0;
  std::uint64_t journal_size_ = 0;
  std::uint64_t snapshot_size_ = 0;  // bytes of the database file, as last read or written
  std::string unit_;              // the record being gathered (header room, kind, entries)
  std::uint64_t unit_start_ = 0;  // journal offset of the open unit's first record
  bool dirty_ = false;
  bool legacy_ = false;             // the journal is of the earlier format
  bool checkpoint_failed_ = false;  // since the last commit
  std::uint64_t retry_size_ = 0;    // JournalLarge waits for this after a failed checkpoint
  bool broken_ = false;  // the journal could not be cut back: nothing more is recorded
};

// CRC-32C as the snapshot's trailer and the journal's records use it.
std::uint32_t Crc32c(std::string_view bytes);
// Recomputes the checksums of a snapshot's bytes (its trailer) or of a
// journal's bytes (each whole record's), for tools and tests that write such
// files themselves. Bytes that are not of that kind are left as they are.
void SealSnapshot(std::string& snapshot);
void SealJournal(std::string& journal);

}  // namespace engine
