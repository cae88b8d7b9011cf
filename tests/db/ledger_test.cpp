// The ledger, the probes and the statement runner on the embedded engine:
// the texts sent, and what the catalogue answers.
#include <gtest/gtest.h>

#include <filesystem>

#include "db/connection.h"
#include "db/ledger.h"
#include "db/query.h"
#include "tests/support/support.h"

namespace {

using testing_support::Rows;
using testing_support::RunScript;
using testing_support::Scalar;
using testing_support::ScratchDb;

class Ledger : public ::testing::Test {
 protected:
  void SetUp() override {
    c_ = db_.Connect();
    c_->on_statement = [this](const db::StatementEvent& e) {
      sent_.push_back(e.sql);
      outcomes_.push_back(e.ok ? "ok" : e.tolerated ? "tolerated" : "error");
    };
  }
  ScratchDb db_;
  std::unique_ptr<db::Connection> c_;
  std::vector<std::string> sent_, outcomes_;
};

TEST_F(Ledger, FirstRunCreatesTheTableAndRecordsEachSignOnce) {
  db::Query q(*c_);
  db::EnsureLedger(q);
  db::EnsureLedger(q);
  EXPECT_TRUE(db::CheckVerSign(q, "ZZ20170109.SFZ"));
  EXPECT_FALSE(db::CheckVerSign(q, "ZZ20170109.SFZ"));
  EXPECT_TRUE(db::CheckVerSign(q, "PEOPLE_LEN_12"));

  const std::vector<std::string> expected = {
      "select * from sysobjects where name ='ver_manage'",
      "create table ver_manage ( \n\t\tvm_mess \tchar(40) default('')\n) ",
      "select * from sysobjects where name ='ver_manage'",
      "select vm_mess from ver_manage\nwhere vm_mess='ZZ20170109.SFZ'",
      "insert into ver_manage(vm_mess)values('ZZ20170109.SFZ')",
      "select vm_mess from ver_manage\nwhere vm_mess='ZZ20170109.SFZ'",
      "select vm_mess from ver_manage\nwhere vm_mess='PEOPLE_LEN_12'",
      "insert into ver_manage(vm_mess)values('PEOPLE_LEN_12')",
  };
  EXPECT_EQ(sent_, expected);
  EXPECT_EQ(Rows(*c_, "select vm_mess from ver_manage"),
            (std::vector<std::string>{"ZZ20170109.SFZ", "PEOPLE_LEN_12"}));
  // The one column: char(40), nullable, blank by default.
  EXPECT_EQ(db::ColumnLength(q, "ver_manage", "vm_mess"), 40);
  EXPECT_EQ(Scalar(*c_,
                   "select count(*) from syscolumns where id in (select id from sysobjects "
                   "where name='ver_manage')"),
            "1");
  RunScript(*c_, "insert into ver_manage(vm_mess) values (NULL)");
}

TEST_F(Ledger, ProbesAnswerFromTheCatalogue) {
  RunScript(*c_,
            "create table lib_a (a_id int, a_name char(10))\nGO\n"
            "create table lib_gongneng (gn_menucode int, gn_name varchar(20))\nGO\n"
            "insert into lib_gongneng values (1201, 'x')\nGO\n"
            "create index IX_a_name on lib_a (a_name) WITH PAD_INDEX,FILLFACTOR=85\nGO\n"
            "create view v_books as select a_id from lib_a\nGO\n"
            "create procedure p_books as select a_id from lib_a\nGO\n");
  db::Query q(*c_);
  const struct {
    const char* what;
    bool absent;
    bool got;
  } cases[] = {
      {"table", false, db::TableAbsent(q, "lib_a")},
      {"table missing", true, db::TableAbsent(q, "lib_b")},
      {"view counts as present", false, db::TableAbsent(q, "v_books")},
      {"procedure counts as present", false, db::TableAbsent(q, "p_books")},
      {"column", false, db::ColumnAbsent(q, "lib_a", "a_name")},
      {"column missing", true, db::ColumnAbsent(q, "lib_a", "a_nope")},
      {"column of another table", true, db::ColumnAbsent(q, "lib_gongneng", "a_name")},
      {"column of a missing table", true, db::ColumnAbsent(q, "lib_b", "a_name")},
      {"index", false, db::IndexAbsent(q, "IX_a_name")},
      {"index missing", true, db::IndexAbsent(q, "IX_nope")},
      {"menu", false, db::MenuAbsent(q, 1201)},
      {"menu missing", true, db::MenuAbsent(q, 1202)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.absent) << c.what;
  EXPECT_EQ(db::ColumnLength(q, "lib_a", "a_name"), 10);
  EXPECT_EQ(db::ColumnLength(q, "lib_a", "a_id"), 4);
  EXPECT_EQ(db::ColumnLength(q, "lib_b", "a_name"), std::nullopt);
  EXPECT_FALSE(q.Active());  // every probe closes its component
}

TEST_F(Ledger, ProbeTextsAreTheLibrarySystemsOwn) {
  RunScript(*c_, "create table lib_gongneng (gn_menucode int)");
  db::Query q(*c_);
  sent_.clear();
  db::TableAbsent(q, "lib_a");
  db::ColumnAbsent(q, "lib_a", "a_name");
  db::IndexAbsent(q, "PK_lib_a");
  db::MenuAbsent(q, 1201);
  db::ColumnLength(q, "lib_a", "a_name");
  const std::vector<std::string> expected = {
      "select * from sysobjects where name ='lib_a'",
      "select name from syscolumns where name='a_name' and id in (select id from sysobjects "
      "where name = 'lib_a')",
      "select name from sysindexes where name='PK_lib_a'",
      "select gn_menucode from lib_gongneng where gn_menucode=1201",
      "select length from syscolumns where name='a_name' and id in (select id from sysobjects "
      "where name = 'lib_a')",
  };
  EXPECT_EQ(sent_, expected);
}

TEST_F(Ledger, IndexProbeFindsTheNameOnAnyTable) {
  // The index probe names no table: an index of that name elsewhere counts.
  RunScript(*c_,
            "create table t1 (k int)\nGO\ncreate table t2 (k int)\nGO\n"
            "create index IX_k on t2 (k)\nGO\n");
  db::Query q(*c_);
  EXPECT_FALSE(db::IndexAbsent(q, "IX_k"));
}

TEST_F(Ledger, ErrorsPassThroughUnlessTolerated) {
  db::Query q(*c_);
  try {
    db::RunCommand(q, {"insert into lib_missing values (1)"});
    FAIL() << "no error";
  } catch (const db::Error& e) {
    EXPECT_EQ(e.number(), 208);
    EXPECT_STREQ(e.what(), "Invalid object name 'lib_missing'.");
  }
  EXPECT_FALSE(db::RunTolerated(q, {"drop table lib_missing"}));
  EXPECT_TRUE(db::RunTolerated(q, {"create table lib_t (k int)"}));
  EXPECT_EQ(outcomes_, (std::vector<std::string>{"error", "tolerated", "ok"}));
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(c_->tolerating, 0);
}

TEST_F(Ledger, RowWalkWritesThroughAnotherComponent) {
  RunScript(*c_,
            "create table src (k int, name char(8))\nGO\ncreate table dst (k int)\nGO\n"
            "insert into src values (1, 'a')\nGO\ninsert into src values (2, NULL)\nGO\n"
            "insert into src values (3, 'c')\nGO\n");
  db::Query walker(*c_), writer(*c_);
  db::OpenQuery(walker, {"select k, name from src", "order by k"});
  std::vector<std::string> names;
  while (!walker.Eof()) {
    names.push_back(walker.AsString("NAME"));  // char keeps its blanks; NULL reads as ""
    db::RunCommand(writer,
                   {"insert into dst values (" + std::to_string(walker.AsInteger("k") * 10) + ")"});
    walker.Next();
  }
  walker.Close();
  EXPECT_EQ(names, (std::vector<std::string>{"a       ", "", "c       "}));
  EXPECT_EQ(Rows(*c_, "select k from dst order by k"),
            (std::vector<std::string>{"10", "20", "30"}));
  EXPECT_THROW(walker.AsString("k"), db::Error);  // closed
  db::OpenQuery(walker, {"select name from src where k = 1"});
  EXPECT_THROW(walker.AsInteger("name"), db::Error);  // "a" is no integer
  EXPECT_THROW(walker.AsString("nope"), db::Error);
  db::OpenQuery(walker, {"select k from src where k > 9"});
  EXPECT_TRUE(walker.Eof());  // an empty result walks no row
}

TEST(EmbeddedConnection, AMissingFileIsAConnectionErrorAndStaysMissing) {
  ScratchDb db;
  const auto missing = db.dir() / "nope.db";
  EXPECT_THROW(db::Connect({"embedded:" + missing.string(), "sa", ""}), db::Error);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace

namespace {

TEST(FaultPlan, ParsesKillAndFailAndRefusesAnythingElse) {
  struct Case {
    const char* value;
    db::FaultPlan::Kind kind;
    std::int64_t at;
  };
  for (const Case& c :
       {Case{"", db::FaultPlan::Kind::None, 0}, Case{"kill:1", db::FaultPlan::Kind::Kill, 1},
        Case{"fail:1174", db::FaultPlan::Kind::Fail, 1174}}) {
    const db::FaultPlan p = db::FaultPlan::Parse(c.value);
    EXPECT_EQ(p.kind, c.kind) << c.value;
    EXPECT_EQ(p.at, c.at) << c.value;
  }
  for (const char* bad : {"kill", "kill:", "kill:0", "kill:-3", "fail:3x", "stop:3", "3"})
    EXPECT_THROW(db::FaultPlan::Parse(bad), db::Error) << bad;
}

// fail:N fails the N-th statement unsent, also through a tolerated statement's
// trap, and counts every statement sent.
TEST_F(Ledger, InjectedFailureIsNotToleratedAndSendsNothing) {
  RunScript(*c_, "create table t (k int)");
  c_->fault = {db::FaultPlan::Kind::Fail, c_->statements_sent() + 2};
  db::Query q(*c_);
  EXPECT_TRUE(db::RunTolerated(q, {"insert into t values (1)"}));
  try {
    db::RunTolerated(q, {"insert into t values (2)"});
    FAIL() << "the injected fault was swallowed";
  } catch (const db::InjectedFault& e) {
    EXPECT_EQ(e.number(), 50000);
    EXPECT_STREQ(e.what(), "injected fault");
  }
  EXPECT_TRUE(db::RunTolerated(q, {"insert into t values (3)"}));
  EXPECT_EQ(std::vector<std::string>(outcomes_.end() - 3, outcomes_.end()),
            (std::vector<std::string>{"ok", "error", "ok"}));
  EXPECT_EQ(Rows(*c_, "select k from t order by k"), (std::vector<std::string>{"1", "3"}));
}

// Inside a unit of work a tolerated failure goes on only while the unit is
// still open; when the server rolled it back (XACT_ABORT on), the error stops
// the work and nothing of the unit is committed.
TEST_F(Ledger, ToleratedFailureInsideAUnitGoesOnOnlyWhileTheUnitLives) {
  RunScript(*c_, "create table t (k int primary key)");
  db::Query q(*c_);
  db::RunInTransaction(q, [&] {
    db::RunCommand(q, {"insert into t values (1)"});
    EXPECT_FALSE(db::RunTolerated(q, {"insert into t values (1)"}));      // duplicate key
    EXPECT_FALSE(db::RunTolerated(q, {"insert into t values ('one')"}));  // conversion
    db::RunCommand(q, {"insert into t values (2)"});
  });
  EXPECT_EQ(Rows(*c_, "select k from t order by k"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(Scalar(*c_, "select @@trancount"), "0");

  RunScript(*c_, "set xact_abort on");
  EXPECT_THROW(db::RunInTransaction(q,
                                    [&] {
                                      db::RunCommand(q, {"insert into t values (3)"});
                                      db::RunTolerated(q, {"insert into t values (1)"});
                                      db::RunCommand(q, {"insert into t values (4)"});
                                    }),
               db::Error);
  RunScript(*c_, "set xact_abort off");
  EXPECT_EQ(Rows(*c_, "select k from t order by k"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(Scalar(*c_, "select @@trancount"), "0");
  EXPECT_EQ(c_->transactions_open, 0);
}

// Any exception inside a unit, a file error too, rolls it back; units nest.
TEST_F(Ledger, UnitsRollBackOnAnyExceptionAndNest) {
  RunScript(*c_, "create table t (k int)");
  db::Query q(*c_);
  EXPECT_THROW(db::RunInTransaction(q,
                                    [&] {
                                      db::RunCommand(q, {"insert into t values (1)"});
                                      db::RunInTransaction(q, [&] {
                                        db::RunCommand(q, {"insert into t values (2)"});
                                      });
                                      throw std::runtime_error("cannot open zzm.dat");
                                    }),
               std::runtime_error);
  EXPECT_EQ(Rows(*c_, "select count(*) from t"), std::vector<std::string>{"0"});
  db::RunInTransaction(q, [&] {
    db::RunInTransaction(q, [&] { db::RunCommand(q, {"insert into t values (2)"}); });
    EXPECT_EQ(Scalar(*c_, "select @@trancount"), "1");
  });
  EXPECT_EQ(Rows(*c_, "select k from t"), std::vector<std::string>{"2"});
}

}  // namespace
