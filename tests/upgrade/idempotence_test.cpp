// The utility may be run any number of times on one database. After a full
// run, a further run records no sign and leaves the catalogue and the rows as
// they were, apart from the work the run sequence does on every run:
//
//  - Do200503 sets the text of menu row 304 "借还书(无罚款)" where the row
//    does not hold it (its insert is probed, so no second row 304 is added):
//    no row is rewritten.
//  - Do200611 inserts the author number 牛 N47 into lib_zzm_old where it is
//    not there and sets the codes of 贝, 扒 and fifteen B characters where they
//    differ: nothing is inserted or rewritten.
//  - A second click in the same window session finds cbBefore still ticked
//    (Do200503 ticked it on an old database), so the pre-2005 consolidation
//    runs again: the reader-status normalisation, the classification load
//    from other.dat and the widening of dz_bdays and dz_booknum are repeated,
//    and with ckbDel still ticked the four author-number tables are dropped and
//    reloaded from zzm.dat before Do200611 corrects them again. All of these
//    must leave the same catalogue and the same rows.
//  - Labels that steps show before their sign test change no data.
//
// Both kinds of second run are checked: the next click in the same session,
// and a run after the program was started again (fresh check boxes).
#include <gtest/gtest.h>

#include <algorithm>

#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "tests/upgrade/fixtures.h"
#include "text/gbk.h"

namespace {

using namespace upgrade_check;
using testing_support::RecordingView;
using testing_support::ScratchDb;

struct Snapshot {
  std::vector<std::string> signs;  // ver_manage rows, in stored order
  std::string catalogue;
  DataDump data;
};

Snapshot Take(db::Connection& c) {
  Snapshot s;
  s.signs = testing_support::Rows(c, "select vm_mess from ver_manage");
  s.catalogue = Describe(ReadCatalogue(c));
  s.data = DumpData(c);
  return s;
}

void ExpectSame(const Snapshot& before, const Snapshot& after, const std::string& which) {
  SCOPED_TRACE(which);
  EXPECT_EQ(after.signs, before.signs) << "the run recorded or lost upgrade signs";
  EXPECT_EQ(after.catalogue, before.catalogue) << "the run changed the catalogue";

  std::set<std::string> tables;
  for (const auto& [t, rows] : before.data) tables.insert(t);
  for (const auto& [t, rows] : after.data) tables.insert(t);
  for (const std::string& t : tables) {
    const auto b = before.data.find(t);
    const auto a = after.data.find(t);
    if (b == before.data.end() || a == after.data.end()) continue;  // reported by the catalogue
    std::vector<std::string> gone, added;
    std::set_difference(b->second.begin(), b->second.end(), a->second.begin(), a->second.end(),
                        std::back_inserter(gone));
    std::set_difference(a->second.begin(), a->second.end(), b->second.begin(), b->second.end(),
                        std::back_inserter(added));
    for (const std::string& row : gone)
      ADD_FAILURE() << t << ": row changed or lost: " << ShowRow(row);
    for (const std::string& row : added)
      ADD_FAILURE() << t << ": row changed or added: " << ShowRow(row);
  }
}

class Idempotence : public ::testing::TestWithParam<std::string> {};

TEST_P(Idempotence, FurtherRunsChangeNothing) {
  const std::string fixture = GetParam();
  if (!std::filesystem::exists(FixturePath(fixture)))
    GTEST_SKIP() << "fixture " << fixture << " does not exist yet";

  ScratchDb db({fixture});
  auto conn = db.Connect();
  RecordingView window;
  if (auto error = RunFullUpgrade(*conn, window)) FAIL() << "first run: " << *error;
  const Snapshot first = Take(*conn);
  ASSERT_FALSE(first.signs.empty());

  // The next click in the same window: cbBefore and ckbDel keep their ticks.
  window.events.clear();
  if (auto error = RunFullUpgrade(*conn, window)) FAIL() << "second click: " << *error;
  EXPECT_EQ(window.Only("info "), std::vector<std::string>{"所有处理已完成！"});
  ExpectSame(first, Take(*conn), "second click in the same session");

  // The program started again on the upgraded database; compared with the
  // state the second click left, so that each run answers for itself.
  const Snapshot second = Take(*conn);
  RecordingView fresh;
  if (auto error = RunFullUpgrade(*conn, fresh)) FAIL() << "run after a restart: " << *error;
  EXPECT_EQ(fresh.Only("info "), std::vector<std::string>{"所有处理已完成！"});
  EXPECT_EQ(fresh.Only("before "), std::vector<std::string>{})
      << "the consolidation was started again on an upgraded database";
  ExpectSame(second, Take(*conn), "run after a restart");
}

INSTANTIATE_TEST_SUITE_P(Releases, Idempotence, ::testing::ValuesIn(ReleaseFixtures()),
                         [](const auto& info) { return FixtureTestName(info.param); });

}  // namespace
