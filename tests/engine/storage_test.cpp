// Durability: reopen, a process killed in the middle of a stream of
// statements, a damaged journal tail, and the lock against a second opener.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

TEST(EngineStorage, ReopenKeepsSchemaRowsDefaultsAndIdentity) {
  TempDb t;
  t.Run("create table s (s_no int NOT NULL IDENTITY (1, 1), s_code char(4) not null, s_d int default(5))\n"
        "ALTER TABLE s ADD CONSTRAINT PK_s PRIMARY KEY NONCLUSTERED(s_code)\n"
        "insert into s(s_code) values('a')");
  t.Reopen();
  t.Run("insert into s(s_code) values('b')");
  EXPECT_EQ(t.Rows("select s_no, s_code, s_d from s"), (std::vector<std::string>{"1|a   |5", "2|b   |5"}));
  EXPECT_EQ(t.ErrorOf("insert into s(s_code) values('A')"), 2627);  // the key index came back
}

TEST(EngineStorage, SecondOpenerIsRefused) {
  TempDb t;
  try {
    engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
    FAIL() << "second open succeeded";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 5120);
    EXPECT_NE(std::string(e.what()).find("being used by another process"), std::string::npos);
  }
  t.Close();
  EXPECT_NO_THROW(engine::Database::open(t.path(), engine::Database::OpenMode::MustExist));
}

TEST(EngineStorage, MissingFileIsAnErrorWhenItMustExist) {
  EXPECT_THROW(engine::Database::open("/nonexistent-dir/x.db", engine::Database::OpenMode::MustExist),
               engine::Error);
}

// A child inserts rows one statement at a time and reports each that returned
// through a pipe; the parent kills it mid-stream. Every reported row must be
// there after reopening, and nothing half-done.
TEST(EngineStorage, KilledProcessKeepsEveryReturnedStatement) {
  TempDb t;
  t.Run("create table k (n int not null primary key, pad char(200) default(''))");
  t.Close();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    auto db = engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
    for (int n = 1;; ++n) {
      db->execute("insert into k(n) values(" + std::to_string(n) + ")\nupdate k set pad='x' where n=" +
                  std::to_string(n));
      if (write(fds[1], &n, sizeof n) != sizeof n) _exit(1);
    }
  }
  close(fds[1]);
  int last = 0, n;
  while (last < 3000 && read(fds[0], &n, sizeof n) == sizeof n) last = n;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  while (read(fds[0], &n, sizeof n) == sizeof n) last = n;
  close(fds[0]);
  t.Open();
  int count = std::stoi(t.One("select count(*) from k"));
  EXPECT_GE(count, last);
  EXPECT_LE(count, last + 1);  // at most the statement in flight
  // Both statements of every reported batch are there.
  EXPECT_EQ(t.One("select count(*) from k where pad = 'x' and n <= " + std::to_string(last)),
            std::to_string(last));
}

TEST(EngineStorage, TornJournalTailIsIgnored) {
  TempDb t;
  t.Run("create table j (n int)");
  t.Close();
  {
    auto db = engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
    db->execute("insert into j values(1)");
  }
  // A torn tail on the current journal: header is the current generation.
  {
    std::ifstream cur(t.path() + "-journal", std::ios::binary);
    std::string header((std::istreambuf_iterator<char>(cur)), {});
    ASSERT_EQ(header.size(), 16u);
    std::ofstream out(t.path() + "-journal", std::ios::binary | std::ios::app);
    out << std::string("\x50\x00\x00\x00\x01\x02\x03\x04partial", 15);
  }
  t.Open();
  EXPECT_EQ(t.Rows("select n from j"), (std::vector<std::string>{"1"}));
  t.Run("insert into j values(2)");
  t.Reopen();
  EXPECT_EQ(t.Rows("select n from j"), (std::vector<std::string>{"1", "2"}));
}

}  // namespace
