// The verdict on each table's rows, from its counts before and after a run.
#include <gtest/gtest.h>

#include "steps/run_account.h"

namespace {

using steps::RowCounts;

struct Case {
  const char* table;
  std::optional<std::int64_t> before, after;
  const char* verdict;
  const char* by;
  std::int64_t lost;
};

TEST(RowAccount, VerdictsAndLostRows) {
  const Case cases[] = {
      {"lib_bianma", 10, 10, "kept", "", 0},
      {"lib_gongneng", 9, 17, "grown", "", 0},
      {"lib_bibie", std::nullopt, 6, "created", "", 0},
      {"lib_jieshu", 5, 3, "lost", "", 2},
      {"lib_duzhe", 4, std::nullopt, "lost", "", 4},
      {"lib_cunfang", 0, std::nullopt, "lost", "", 0},  // a table gone is lost, rows or none
      {"lib_prttab2a", 3, 0, "shrunk by design", "Do200503", 0},
      {"lib_zzm_new", 900, 850, "shrunk by design", "Do200503Before", 0},
      {"tmp_people", 7, std::nullopt, "dropped by design", "Do2007_03_12", 0},
      {"lib_prttab3a", 1, 4, "grown", "", 0},
  };
  for (const Case& c : cases) {
    RowCounts before, after;
    if (c.before) before[c.table] = {c.table, *c.before};
    if (c.after) after[c.table] = {c.table, *c.after};
    const steps::RowAccount a = steps::Account(before, after);
    ASSERT_EQ(a.tables.size(), 1u) << c.table;
    EXPECT_EQ(a.tables[0].verdict, c.verdict) << c.table;
    EXPECT_EQ(a.tables[0].by, c.by) << c.table;
    EXPECT_EQ(a.tables[0].before, c.before) << c.table;
    EXPECT_EQ(a.tables[0].after, c.after) << c.table;
    EXPECT_EQ(a.lost_rows, c.lost) << c.table;
    EXPECT_EQ(a.AnyLost(), std::string(c.verdict) == "lost") << c.table;
  }
}

TEST(RowAccount, SumsLostRowsAndMatchesNamesWithoutCase) {
  RowCounts before{{"lib_a", {"LIB_A", 5}}, {"lib_b", {"lib_b", 8}}, {"lib_c", {"lib_c", 2}}};
  RowCounts after{{"lib_a", {"lib_a", 5}}, {"lib_b", {"lib_b", 6}}};
  const steps::RowAccount a = steps::Account(before, after);
  ASSERT_EQ(a.tables.size(), 3u);
  EXPECT_EQ(a.tables[0].name, "lib_a");  // as it is spelled after the run
  EXPECT_EQ(a.tables[0].verdict, "kept");
  EXPECT_EQ(a.lost_rows, 2 + 2);
}

}  // namespace
