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
    std::vector<Committed> replay;
    storage_ = std::make_unique<Storage>(path, create, &catalog_, &replay);
    for (const Committed& c : replay) session_.Replay(c);
    if (!replay.empty()) storage_->Checkpoint(catalog_);
    session_.on_commit = [this](const std::vector<Committed>& group) {
      storage_->Append(group);
      dirty_ = true;
    };
  }

  ~EmbeddedDatabase() override {
    session_.RollbackAll();
    if (dirty_) {
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
    auto results = session_.Execute(batch);
    if (session_.trancount() == 0 && storage_->JournalLarge()) {
      storage_->Checkpoint(catalog_);
      dirty_ = false;
    }
    return results;
  }

 private:
  Catalog catalog_;
  Session session_;
  std::unique_ptr<Storage> storage_;
  bool dirty_ = false;  // committed changes since the last snapshot
};

}  // namespace

std::unique_ptr<Database> Database::open(const std::string& path, OpenMode mode) {
  return std::make_unique<EmbeddedDatabase>(path, mode == OpenMode::CreateIfMissing);
}

}  // namespace engine
