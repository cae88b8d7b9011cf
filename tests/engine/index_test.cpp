// A table's index built at once from its rows (at CREATE INDEX, and when a
// database opens) must hold exactly what the same index holds when the rows go
// in one at a time, also where two keys' hashes meet and where a run of cells
// passes the end of the index and goes on from its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/catalog.h"

namespace {

using engine::Index;
using engine::Table;
using engine::Value;

TEST(EngineIndex, BuiltAtOnceHoldsWhatRowByRowHolds) {
  Table t;
  engine::Column c;
  c.name = "k";
  c.type = engine::TypeSpec{engine::Type::VarChar, 20, 0, 0};
  t.cols.push_back(c);
  std::vector<std::string> values;
  auto add = [&](const std::string& v) {
    values.push_back(v);
    t.rows.emplace_back(engine::EncodeRow({Value::Str(v)}));
    ++t.live;
  };
  const int kDistinct = 200000;
  for (int i = 0; i < kDistinct; ++i) add("k" + std::to_string(i));
  for (int i = 0; i < 5000; ++i) add(i % 2 ? "shared" : "SHARED  ");  // one key to the collation
  t.rows[17].clear();  // a deleted row
  --t.live;

  // Keys whose hashes meet those of keys already in, and keys whose place is
  // the index's last cell, found by trying names.
  Index probe;
  probe.cols = {0};
  t.RebuildIndex(probe);
  const std::uint32_t mask = static_cast<std::uint32_t>(probe.cells.size() - 1);
  std::set<std::uint32_t> hashes;
  for (int i = 0; i < kDistinct; ++i)
    hashes.insert(engine::KeyHash(engine::KeyPart(Value::Str("k" + std::to_string(i)))));
  int meeting = 0, last = 0;
  for (int i = 0; meeting < 3 || last < 4; ++i) {
    const std::string v = "x" + std::to_string(i);
    const std::uint32_t h = engine::KeyHash(engine::KeyPart(Value::Str(v)));
    if (meeting < 3 && hashes.count(h)) {
      add(v);
      ++meeting;
    } else if (last < 4 && (h & mask) == mask) {
      add(v);
      add(v);  // twice: a list among the cells that wrap
      ++last;
    }
  }

  Index built, grown;
  built.cols = grown.cols = {0};
  t.RebuildIndex(built);
  ASSERT_EQ(built.cells.size(), probe.cells.size());
  for (std::uint32_t r = 0; r < t.rows.size(); ++r)
    if (!t.rows[r].empty()) t.IndexAdd(grown, t.KeyOf(grown, t.rows[r]), r);
  EXPECT_EQ(built.used, grown.used);

  std::set<std::string> keys;
  for (const std::string& v : values) keys.insert(engine::KeyPart(Value::Str(v)));
  std::size_t found = 0;
  for (const std::string& key : keys) {
    std::vector<std::uint32_t> a, b;
    t.IndexFind(built, key, &a);
    t.IndexFind(grown, key, &b);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    ASSERT_EQ(a, b) << "key " << key;
    found += a.size();
  }
  EXPECT_EQ(found, t.live);
  std::vector<std::uint32_t> shared;
  t.IndexFind(built, engine::KeyPart(Value::Str("Shared")), &shared);
  EXPECT_EQ(shared.size(), 5000u);
  // Every slot is found under its own key; the deleted one under none.
  std::vector<std::uint32_t> gone;
  t.IndexFind(built, engine::KeyPart(Value::Str("k17")), &gone);
  EXPECT_TRUE(gone.empty());
}

}  // namespace
