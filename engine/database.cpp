// Database::open: the embedded database as its public interface shows it.
#include <filesystem>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/engine.h"
#include "engine/executor.h"
#include "engine/storage.h"

namespace engine {

namespace {

class EmbeddedDatabase : public Database {
 public:
  EmbeddedDatabase(const std::string& path, bool create)
      : session_(catalog_, std::filesystem::path(path).stem().string()) {
    storage_ = std::make_unique<Storage>(path, create, &catalog_,
                                         [this](Expr& e) { session_.BindDefault(e); });
    Storage::Replay replay;
    replay.statement = [this](const Committed& c) { session_.ReplayStatement(c); };
    replay.commit = [this] { session_.ReplayCommit(); };
    replay.abort = [this] { session_.ReplayAbort(); };
    if (storage_->Recover(replay)) storage_->Checkpoint(catalog_);
    session_.journal = storage_.get();
  }

  ~EmbeddedDatabase() override {
    // A transaction still open is rolled back, as a server does when its
    // client goes; only then may a checkpoint be taken.
    session_.RollbackAll();
    if (storage_->Dirty()) {
      try {
        storage_->Checkpoint(catalog_);
      } catch (...) {
        // The journal still holds every committed change; the next open replays it.
      }
    }
    // A large database leaves the heap full of freed rows: give that memory
    // back to the system now rather than keep it for the life of the process.
    catalog_.tables.clear();
    catalog_.objects.clear();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }

  std::vector<StatementResult> execute(std::string_view batch) override {
    std::vector<StatementResult> results;
    try {
      results = session_.Execute(batch);
    } catch (const Error&) {
      try {
        CheckpointIfLarge();
      } catch (...) {
        // The journal still holds every committed change; the batch's error matters.
      }
      throw;
    }
    CheckpointIfLarge();
    return results;
  }

 private:
  void CheckpointIfLarge() {
    // Never while a transaction is open: the snapshot would hold its changes.
    if (session_.trancount() == 0 && storage_->JournalLarge()) storage_->Checkpoint(catalog_);
  }

  Catalog catalog_;
  Session session_;
  std::unique_ptr<Storage> storage_;
};

}  // namespace

std::unique_ptr<Database> Database::open(const std::string& path, OpenMode mode) {
#ifdef __GLIBC__
  // Large blocks (row vectors, index tables, a statement's result) straight
  // from the system and back to it when freed: glibc otherwise raises this
  // threshold as such blocks are freed and carves later ones from the heap's
  // top, where the holes a long transaction leaves cannot serve them.
  static const bool fixed_threshold = mallopt(M_MMAP_THRESHOLD, 1 << 20) != 0;
  (void)fixed_threshold;
#endif
  return std::make_unique<EmbeddedDatabase>(path, mode == OpenMode::CreateIfMissing);
}

}  // namespace engine
