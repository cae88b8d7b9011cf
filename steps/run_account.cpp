#include "steps/run_account.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "db/ledger.h"

namespace steps {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
    return c < 0x80 ? static_cast<char>(std::tolower(c)) : static_cast<char>(c);
  });
  return s;
}

}  // namespace

RowCounts CountRows(db::Query& q) {
  std::vector<std::string> names;
  db::OpenQuery(q, {"select name from sysobjects where xtype='U' order by name"});
  while (!q.Eof()) {
    names.push_back(q.AsString("name"));
    q.Next();
  }
  q.Close();
  RowCounts counts;
  for (const std::string& name : names) {
    db::OpenQuery(q, {"select count(*) as n from [" + name + "]"});
    counts[Lower(name)] = {name, q.AsInteger("n")};
    q.Close();
  }
  return counts;
}

const char* EmptiedByDesign(const std::string& table) {
  static const std::map<std::string, const char*> kByDesign = {
      // The consolidation replaces the print work table of an older layout,
      // and, when the author-number tables are replaced, reloads all four
      // from zzm.dat.
      {"lib_prtdowork", "Do200503Before"},
      {"lib_zzm_new", "Do200503Before"},
      {"lib_zzm_old", "Do200503Before"},
      {"lib_zzm_zst", "Do200503Before"},
      {"lib_zzm_hz", "Do200503Before"},
      // Statistics tables of an older layout are replaced, contents and all;
      // an evaluation list without its basic entry is seeded again.
      {"lib_prttab2a", "Do200503"},
      {"lib_prttab3a", "Do200503"},
      {"lib_prttab4anew", "Do200503"},
      {"lib_yigongpj", "Do200503"},
      // The reader table's work copy, left by an interrupted rebuild of an
      // earlier program, is dropped before the rebuild.
      {"tmp_people", "Do2007_03_12"},
  };
  const auto it = kByDesign.find(table);
  return it == kByDesign.end() ? nullptr : it->second;
}

RowAccount Account(const RowCounts& before, const RowCounts& after) {
  std::set<std::string> keys;
  for (const auto& [k, v] : before) keys.insert(k);
  for (const auto& [k, v] : after) keys.insert(k);
  RowAccount account;
  for (const std::string& key : keys) {
    TableAccount t;
    const auto b = before.find(key);
    const auto a = after.find(key);
    t.name = a != after.end() ? a->second.name : b->second.name;
    if (b != before.end()) t.before = b->second.rows;
    if (a != after.end()) t.after = a->second.rows;
    const char* by = EmptiedByDesign(key);
    if (!t.before) {
      t.verdict = "created";
    } else if (!t.after) {
      if (by) {
        t.verdict = "dropped by design";
      } else {
        t.verdict = "lost";
        account.lost_rows += *t.before;
      }
    } else if (*t.after == *t.before) {
      t.verdict = "kept";
    } else if (*t.after > *t.before) {
      t.verdict = "grown";
    } else if (by) {
      t.verdict = "shrunk by design";
    } else {
      t.verdict = "lost";
      account.lost_rows += *t.before - *t.after;
    }
    if (t.verdict == "shrunk by design" || t.verdict == "dropped by design") t.by = by;
    account.tables.push_back(std::move(t));
  }
  return account;
}

bool RowAccount::AnyLost() const {
  return std::any_of(tables.begin(), tables.end(),
                     [](const TableAccount& t) { return t.verdict == "lost"; });
}

}  // namespace steps
