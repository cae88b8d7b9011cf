// Database::open: the embedded database as its public interface shows it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/engine.h"
#include "engine/executor.h"
#include "engine/storage.h"
#include "engine/temp_tables.h"

namespace engine {

namespace {

// The folder of the database file: a dropped table's rows waiting there for
// the transaction to end stay on the database's own disk.
std::string SpillDir(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  return dir.empty() ? "." : dir;
}

// The journal of a session opened by open_session: its unit of work gathers
// here and goes to the storage whole when it commits, so that the units of
// sessions whose transactions overlap reach the journal one after another,
// in the order they commit.
class SessionJournal : public JournalSink {
 public:
  explicit SessionJournal(Storage& storage) : storage_(storage) {}
  void Statement(const Committed& c) override { unit_.push_back(c); }
  void Commit() override {
    storage_.CommitUnit(unit_);
    unit_.clear();
  }
  void Abort() noexcept override { unit_.clear(); }
  void Backup(const Catalog& catalog, const std::string& path) override {
    storage_.Backup(catalog, path);
  }

 private:
  Storage& storage_;
  std::vector<Committed> unit_;
};

// The database and its sessions. The gate admits one statement at a time;
// table locks keep the sessions' transactions apart (READ COMMITTED): no
// session sees or changes what another's open transaction changed.
class EmbeddedDatabase : public Database, public StatementGate {
 public:
  EmbeddedDatabase(const std::string& path, bool create)
      : name_(std::filesystem::path(path).stem().string()), session_(catalog_, name_) {
    storage_ = std::make_unique<Storage>(path, create, &catalog_,
                                         [this](Expr& e) { session_.BindDefault(e); });
    Storage::Replay replay;
    replay.statement = [this](const Committed& c) { session_.ReplayStatement(c); };
    replay.commit = [this] { session_.ReplayCommit(); };
    replay.abort = [this] { session_.ReplayAbort(); };
    if (storage_->Recover(replay)) {
      // A disk without room for a new database file (a whole copy) does not
      // keep the database from opening: the journal holds what it replayed,
      // new units follow it, and the checkpoint waits for the space.
      try {
        storage_->Checkpoint(catalog_);
      } catch (const Error&) {
        if (storage_->MustCheckpoint()) throw;
      }
    }
    session_.journal = storage_.get();
    session_.gate = this;
    session_.spill_dir = SpillDir(path);
    shared_.db_name = name_;
    session_.shared = &shared_;
    // Temporary tables end with the process that made them, as SQL Server's
    // tempdb is made anew at each start.
    const std::string left = DropTablesBatch(TempTables(""));
    if (!left.empty()) session_.Execute(left);
  }

  ~EmbeddedDatabase() override {
    // A transaction still open is rolled back, as a server does when its
    // client goes; only then may a checkpoint be taken. Every Connection is
    // gone by now.
    session_.RollbackAll();
    if (storage_->Dirty() && !storage_->CheckpointFailed()) {
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

  void checkpoint() override {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return !running_; });
    if (AnyTransaction() || !storage_->Dirty()) return;
    storage_->Checkpoint(catalog_);
  }

  std::vector<StatementResult> execute(std::string_view batch) override {
    // The database's own session is listed among the sessions once it is
    // used: a server, whose clients each have a session of their own, never
    // uses it, and its clients must not see an idle session they cannot name.
    if (!own_listed_) {
      std::lock_guard<std::mutex> lock(shared_.sessions_mutex);
      shared_.sessions[session_.spid] = SessionInfo{session_.spid, "", "", ""};
      shared_.session_objects[session_.spid] = &session_;
      own_listed_ = true;
    }
    return session_.Execute(batch);
  }

  // The lists in shared_ change only between statements, which read them.
  // A login never waits for a running statement: the lists of sessions have
  // a lock of their own.
  int open_session(const SessionInfo& info) override {
    std::lock_guard<std::mutex> lock(m_);
    const int spid = next_spid_++;
    Opened o;
    o.journal = std::make_unique<SessionJournal>(*storage_);
    o.session = std::make_unique<Session>(catalog_, name_);
    Session& s = *o.session;
    s.spid = spid;
    s.temp_suffix = TempTableSuffix(spid);
    s.shared = &shared_;
    s.gate = this;
    s.journal = o.journal.get();
    s.spill_dir = session_.spill_dir;
    SessionInfo named = info;
    named.spid = spid;
    {
      std::lock_guard<std::mutex> listed(shared_.sessions_mutex);
      shared_.sessions[spid] = named;
      shared_.session_objects[spid] = &s;
    }
    sessions_[spid] = std::move(o);
    return spid;
  }

  void close_session(int spid) override {
    Session& s = Find(spid);
    // Its transaction rolled back and its locks let go in a turn of its own.
    Enter(s, {});
    if (s.trancount() > 0) s.RollbackAll();
    s.ReleaseLocks(false);
    const std::vector<std::string> temp = TempTables(s.temp_suffix);
    Leave(s);
    // Its #tables, unless another transaction holds the catalogue now: then
    // they stay, seen by no session, until the database next opens.
    DropTempTables(s, temp, 0);
    Enter(s, {});
    s.ReleaseLocks(false);
    {
      std::lock_guard<std::mutex> listed(shared_.sessions_mutex);
      shared_.sessions.erase(spid);
      shared_.session_objects.erase(spid);
    }
    Leave(s);
    std::lock_guard<std::mutex> lock(m_);
    sessions_.erase(spid);
  }

  std::vector<StatementResult> execute(int spid, std::string_view batch,
                                       const std::function<bool()>& cancelled) override {
    return ExecuteNamingTempTables(Find(spid), batch, cancelled);
  }

  ProcedureCall call_procedure(int spid, std::string_view name,
                               const std::vector<ProcedureArgument>& args,
                               const std::function<bool()>& cancelled) override {
    Session& s = Find(spid);
    ProcedureCall call = s.CallProcedure(name, args, cancelled);
    if (!s.temp_suffix.empty()) Unname(call.results, s.temp_suffix);
    return call;
  }

  void set_session_info(const SessionInfo& info) override {
    std::lock_guard<std::mutex> lock(shared_.sessions_mutex);
    if (shared_.sessions.count(info.spid)) shared_.sessions[info.spid] = info;
  }

  std::vector<SessionInfo> sessions() const override {
    std::lock_guard<std::mutex> lock(shared_.sessions_mutex);
    std::vector<SessionInfo> out;
    for (const auto& [spid, info] : shared_.sessions) out.push_back(info);
    return out;
  }

  int trancount(int spid) const override {
    if (spid == session_.spid) return session_.trancount();
    std::lock_guard<std::mutex> lock(m_);
    auto it = sessions_.find(spid);
    return it == sessions_.end() ? 0 : it->second.session->trancount();
  }

  bool nocount(int spid) const override {
    if (spid == session_.spid) return session_.nocount();
    std::lock_guard<std::mutex> lock(m_);
    auto it = sessions_.find(spid);
    return it != sessions_.end() && it->second.session->nocount();
  }

  void reset_session(int spid, bool keep_transaction) override {
    Session& s = Find(spid);
    Enter(s, {});
    s.Reset(keep_transaction);
    const std::vector<std::string> temp = TempTables(s.temp_suffix);
    Leave(s);
    // Its #tables go too; a drop that waits for another transaction's hold
    // on the catalogue gives up after 5 s and leaves them.
    DropTempTables(s, temp, 5000);
  }

  void Enter(const Session&, const std::function<bool()>& cancelled) override {
    std::unique_lock<std::mutex> lock(m_);
    while (running_) {
      if (cancelled && cancelled()) throw Cancelled();
      cv_.wait_for(lock, std::chrono::milliseconds(cancelled ? 20 : 1000));
    }
    running_ = true;
  }

  void Leave(const Session&) noexcept override {
    {
      std::lock_guard<std::mutex> lock(m_);
      running_ = false;
      // Never while a transaction is open: the snapshot would hold its changes.
      if (storage_->JournalLarge() && !AnyTransaction()) {
        try {
          storage_->Checkpoint(catalog_);
        } catch (...) {
          // The journal still holds every committed change; the next open replays it.
        }
      }
    }
    cv_.notify_all();
  }

  void WaitForLock(const Session& s, const std::string& resource, bool exclusive,
                   long long timeout_ms, const std::function<bool()>& cancelled) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    LockTable& locks = shared_.locks;
    std::unique_lock<std::mutex> lock(m_);
    // s has the turn: nothing else touches the locks now.
    if (locks.WouldDeadlock(s.spid, resource, exclusive))
      throw Error(1205, 13,
                  "Transaction (Process ID " + std::to_string(s.spid) +
                      ") was deadlocked on lock resources with another process and has been "
                      "chosen as the deadlock victim. Rerun the transaction.");
    if (timeout_ms == 0) throw Error(1222, 16, "Lock request time out period exceeded.");
    locks.SetWaiting(s.spid, resource, exclusive);
    running_ = false;
    cv_.notify_all();
    // Takes the turn back before anything leaves: the statement's caller
    // goes on (or rolls back) in its turn.
    auto take_turn = [&] {
      while (running_) cv_.wait(lock);
      running_ = true;
      locks.ClearWaiting(s.spid);
    };
    for (;;) {
      // The locks change only in a turn: with none running they stay put.
      if (!running_ && locks.TryAcquire(s.spid, resource, exclusive)) {
        running_ = true;
        locks.ClearWaiting(s.spid);
        return;
      }
      if (cancelled && cancelled()) {
        take_turn();
        throw Cancelled();
      }
      auto wake = Clock::now() + std::chrono::milliseconds(cancelled ? 20 : 1000);
      if (timeout_ms >= 0) {
        if (Clock::now() >= deadline) {
          take_turn();
          throw Error(1222, 16, "Lock request time out period exceeded.");
        }
        wake = std::min(wake, deadline);
      }
      cv_.wait_until(lock, wake);
    }
  }

 private:
  Session& Find(int spid) {
    if (spid == session_.spid) return session_;
    std::lock_guard<std::mutex> lock(m_);
    auto it = sessions_.find(spid);
    if (it == sessions_.end()) throw Error(50000, 16, "No session " + std::to_string(spid) + ".");
    return *it->second.session;
  }

  // The catalogue names of the #tables whose names end with suffix, or of
  // every #table and ##table when suffix is empty (in a turn, or before any
  // session runs).
  std::vector<std::string> TempTables(const std::string& suffix) const {
    std::vector<std::string> out;
    const std::string folded = Fold(suffix);
    for (const auto& [key, t] : catalog_.tables)
      if (IsTempTable(t->name) &&
          (suffix.empty() || (key.size() > folded.size() &&
                              key.compare(key.size() - folded.size(), folded.size(), folded) == 0)))
        out.push_back(t->name);
    return out;
  }

  // Drops tables of session s (out of any turn), waiting at most timeout_ms
  // for a lock. A failure leaves them to the next opening of the database.
  static void DropTempTables(Session& s, const std::vector<std::string>& names,
                             long long timeout_ms) {
    if (names.empty()) return;
    try {
      s.Execute("set lock_timeout " + std::to_string(timeout_ms) + "\n" + DropTablesBatch(names) +
                "\nset lock_timeout -1");
    } catch (...) {
      // Kept until the next opening; no session sees them under their names.
    }
  }

  // Whether a session's open transaction has changed something (m_ held, no
  // statement running but the caller's): a snapshot now would hold it.
  bool AnyTransaction() const {
    if (session_.changes_open()) return true;
    for (const auto& [spid, o] : sessions_)
      if (o.session->changes_open()) return true;
    return false;
  }

  std::string name_;
  Catalog catalog_;
  Session session_;
  std::unique_ptr<Storage> storage_;
  // What the sessions share (who is connected, application locks), and the
  // sessions opened besides the database's own (spid 51).
  SharedState shared_;
  struct Opened {
    std::unique_ptr<SessionJournal> journal;
    std::unique_ptr<Session> session;  // destroyed first: it points to its journal
  };
  std::map<int, Opened> sessions_;
  int next_spid_ = 52;
  bool own_listed_ = false;  // whether the database's own session is in shared_

  // m_ guards sessions_ and the gate's state below.
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool running_ = false;  // a statement of some session is running
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
  // Nor is the heap's free top given back after every statement that freed
  // it (a query's rows, a walk's slots), only to be taken again, page by
  // page, by the next: up to this much stays; closing gives it all back.
  static const bool kept_top = mallopt(M_TRIM_THRESHOLD, 256 << 20) != 0;
  (void)kept_top;
#endif
  return std::make_unique<EmbeddedDatabase>(path, mode == OpenMode::CreateIfMissing);
}

}  // namespace engine
