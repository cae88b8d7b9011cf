// The account of table locks and the search for a cycle of waits.
#include "engine/locks.h"

#include <set>

namespace engine {

std::vector<int> LockTable::Blockers(int spid, const std::string& resource, bool exclusive) const {
  std::vector<int> out;
  auto it = holders_.find(resource);
  if (it == holders_.end()) return out;
  for (const auto& [holder, held_exclusive] : it->second)
    if (holder != spid && (exclusive || held_exclusive)) out.push_back(holder);
  return out;
}

bool LockTable::TryAcquire(int spid, const std::string& resource, bool exclusive) {
  if (!Blockers(spid, resource, exclusive).empty()) return false;
  bool& mode = holders_[resource][spid];
  mode = mode || exclusive;
  return true;
}

void LockTable::Release(int spid, const std::string& resource) {
  auto it = holders_.find(resource);
  if (it == holders_.end()) return;
  it->second.erase(spid);
  if (it->second.empty()) holders_.erase(it);
}

void LockTable::ReleaseAll(int spid) {
  for (auto it = holders_.begin(); it != holders_.end();) {
    it->second.erase(spid);
    it = it->second.empty() ? holders_.erase(it) : std::next(it);
  }
  waiting_.erase(spid);
}

void LockTable::SetWaiting(int spid, const std::string& resource, bool exclusive) {
  waiting_[spid] = {resource, exclusive};
}

void LockTable::ClearWaiting(int spid) {
  waiting_.erase(spid);
}

bool LockTable::WouldDeadlock(int spid, const std::string& resource, bool exclusive) const {
  // Follow the waits from the sessions spid would wait for; reaching spid
  // again closes a cycle.
  std::vector<int> todo = Blockers(spid, resource, exclusive);
  std::set<int> seen;
  while (!todo.empty()) {
    int s = todo.back();
    todo.pop_back();
    if (s == spid) return true;
    if (!seen.insert(s).second) continue;
    auto w = waiting_.find(s);
    if (w == waiting_.end()) continue;
    for (int b : Blockers(s, w->second.resource, w->second.exclusive)) todo.push_back(b);
  }
  return false;
}

int LockTable::Held(int spid, const std::string& resource) const {
  auto it = holders_.find(resource);
  if (it == holders_.end()) return 0;
  auto h = it->second.find(spid);
  return h == it->second.end() ? 0 : h->second ? 2 : 1;
}

}  // namespace engine
