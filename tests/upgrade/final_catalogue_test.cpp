// From every release a library may still be on, one full run of the start
// button must reach the catalogue of data/expected/final_catalogue.txt.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/support.h"
#include "tests/upgrade/catalogue.h"
#include "tests/upgrade/fixtures.h"

namespace {

using namespace upgrade_check;
using testing_support::RecordingView;
using testing_support::ScratchDb;

std::filesystem::path ExpectedFile() {
  return std::filesystem::path(LIBUPGRADE_SOURCE_DIR) / "data" / "expected" / "final_catalogue.txt";
}

class FinalCatalogue : public ::testing::TestWithParam<std::string> {};

TEST_P(FinalCatalogue, FullUpgradeReachesTheExpectedCatalogue) {
  const std::string fixture = GetParam();
  if (!std::filesystem::exists(FixturePath(fixture)))
    GTEST_SKIP() << "fixture " << fixture << " does not exist yet";
  const Expected expected = LoadExpected(ExpectedFile());

  ScratchDb db({fixture});
  auto conn = db.Connect();
  RecordingView view;
  if (auto error = RunFullUpgrade(*conn, view)) FAIL() << fixture << ": " << *error;

  const auto info = view.Only("info ");
  EXPECT_EQ(info, std::vector<std::string>{"所有处理已完成！"}) << "the run did not end normally";

  const auto diffs = Compare(expected, ReadCatalogue(*conn));
  for (const std::string& d : diffs) ADD_FAILURE() << fixture << ": " << d;
}

INSTANTIATE_TEST_SUITE_P(Releases, FinalCatalogue, ::testing::ValuesIn(ReleaseFixtures()),
                         [](const auto& info) { return FixtureTestName(info.param); });

// The comparison itself, on a small database with one fault of each kind, so
// that a checker that stops seeing differences cannot pass unnoticed.
TEST(CatalogueComparison, NamesEachDifference) {
  ScratchDb db;
  auto conn = db.Connect();
  testing_support::RunScript(*conn, R"(
create table t_full (
  a int NOT NULL IDENTITY (1, 1),
  b char(9) not null,
  c char(10) default(''),
  d varchar(20),
  e numeric(6,2) default(0),
  extra int default(0)
)
GO
ALTER TABLE t_full ADD CONSTRAINT PK_t_full PRIMARY KEY NONCLUSTERED (a)
GO
create index IX_t_full_b on t_full(b) WITH PAD_INDEX,FILLFACTOR=85
GO
create index IX_t_full_c on t_full(c)
GO
create table t_part (x int, y char(4) default('y'), other int)
GO
create table t_order (p int default(0), q int default(0))
GO
create table tmp_left (z int)
GO
create view v_thing as select a from t_full
)");

  const Expected expected = ParseExpected(R"(
table t_full
  column a int notnull - identity
  column b char(12) notnull -
  column c char(10) notnull ''
  column d varchar(20) null 'x'
  column e numeric(6,2) null -
  column f int null 0
  pk PK_t_full a
  pk IX_t_full_b b
  index PK_missing b
partial t_part
  column x ? ? ?
  column y char(4) null 'y'
table t_order
  column q int null 0
  column p int null 0
table t_missing
  column m int null -
table v_thing
absent tmp_left
absent tmp_gone
)", "test");

  std::vector<std::string> found = Compare(expected, ReadCatalogue(*conn));
  std::sort(found.begin(), found.end());
  std::vector<std::string> want = {
      "IX_t_full_b on t_full is a plain index, expected a primary key",
      "missing column t_full.f",
      "missing default on t_full.d (expected 'x')",
      "missing index PK_missing on t_full",
      "missing table t_missing",
      "unexpected column t_full.extra",
      "unexpected default on t_full.e",
      "unexpected index IX_t_full_c on t_full",
      "v_thing is an object of kind V, not a table",
      "work table tmp_left is left behind",
      "wrong column order of t_order: expected q,p; found p,q",
      "wrong nullability of t_full.c: expected notnull, found null",
      "wrong type of t_full.b: expected char(12), found char(9)",
  };
  std::sort(want.begin(), want.end());
  EXPECT_EQ(found, want);
}

TEST(CatalogueComparison, RejectsMalformedExpectations) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"column a int null -", "column outside a table"},
      {"table t\n  column a int maybe -", "nullability"},
      {"table t\n  column a ? null -", "every type"},
      {"table t\n  column a char(3) null 'x", "unterminated quote"},
      {"table t\n  widget w", "unknown item"},
      {"table t\n  pk PK_t", "pk NAME"},
  };
  for (const auto& [text, why] : cases) {
    try {
      ParseExpected(text, "case");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}

TEST(CatalogueComparison, ExpectedFileIsWellFormed) {
  const Expected ex = LoadExpected(ExpectedFile());
  EXPECT_FALSE(ex.tables.empty());
  // Every name listed once: a second entry would silently override the first.
  std::vector<std::string> names;
  for (const auto& t : ex.tables) {
    std::string n = t.name;
    std::transform(n.begin(), n.end(), n.begin(), ::tolower);
    names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
