// The table locks of the sessions of one database: shared (a statement
// reading) and exclusive (a transaction writing), each held by a session on a
// resource named by a table's or object's folded name, or on the catalogue
// (kCatalog) by a statement that adds or drops objects. The table only keeps
// the account; whoever uses it serialises its calls (the database's statement
// gate) and does the waiting.
//
// Invariants: a resource's holders are all shared, or one session alone holds
// it exclusive; a session waits for at most one resource at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace engine {

class LockTable {
 public:
  // The resource of the catalogue (no table has an empty name).
  static inline const std::string kCatalog{};

  // Grants spid the lock when no other session holds the resource in a mode
  // that conflicts (an exclusive lock conflicts with every other). A session
  // holding it shared may take it exclusive when it is the only holder. True
  // when granted (or already held at least that strongly).
  bool TryAcquire(int spid, const std::string& resource, bool exclusive);
  void Release(int spid, const std::string& resource);
  void ReleaseAll(int spid);

  // The waiting of spid for a resource, as the deadlock check follows it.
  void SetWaiting(int spid, const std::string& resource, bool exclusive);
  void ClearWaiting(int spid);
  // Whether spid waiting for resource would close a cycle of waits: a holder
  // that conflicts waits, directly or through others, for a lock spid holds.
  bool WouldDeadlock(int spid, const std::string& resource, bool exclusive) const;

  // The mode spid holds resource in: 0 none, 1 shared, 2 exclusive.
  int Held(int spid, const std::string& resource) const;

 private:
  // Sessions other than spid whose hold on resource conflicts with the mode.
  std::vector<int> Blockers(int spid, const std::string& resource, bool exclusive) const;

  std::map<std::string, std::map<int, bool>> holders_;  // resource -> spid -> exclusive
  struct Wait {
    std::string resource;
    bool exclusive = false;
  };
  std::map<int, Wait> waiting_;
};

}  // namespace engine
