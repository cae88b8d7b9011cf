// Database files whose checksums hold but whose contents break the format, as
// a faulty build, a tool or someone on purpose would write them: each is
// refused at opening with 5172 naming what is wrong, and left as it is.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>

#include "engine/storage.h"
#include "engine/value.h"
#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

// The parts of a one-table snapshot, which a case changes before it is
// written: table t (a int not null, s varchar(10) default ('x'),
// n numeric(9,2)) with primary key PK_t on a, and its rows.
struct Layout {
  struct Col {
    std::string name;
    unsigned type;  // engine::Type
    std::uint64_t length, precision, scale;
    unsigned flags;  // 1 nullable, 2 identity
    std::uint64_t default_id;
    std::string default_text;
  };
  struct Obj {
    std::uint64_t id;
    std::string name, xtype;
    std::uint64_t parent;
  };
  std::uint64_t next_id = 103;
  std::string table = "t";
  std::uint64_t table_id = 100;
  std::vector<Col> cols = {{"a", 4, 0, 0, 0, 0, 0, ""},
                           {"s", 1, 10, 0, 0, 1, 102, "('x')"},
                           {"n", 8, 0, 9, 2, 1, 0, ""}};
  std::string index = "PK_t";
  unsigned index_flags = 7;
  std::vector<std::uint64_t> index_cols = {0};
  std::vector<std::string> rows;
  std::vector<Obj> objects = {{101, "PK_t", "PK", 100}, {102, "DF_t_s", "D", 100}};
  std::string tail;  // bytes after the last object
  std::int64_t table_crdate = 0, object_crdate = 0;
};

void Var(std::string& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out += static_cast<char>((v & 0x7F) | 0x80);
  out += static_cast<char>(v);
}
void Str(std::string& out, const std::string& s) {
  Var(out, s.size());
  out += s;
}
void I64(std::string& out, std::int64_t v) {
  out.append(reinterpret_cast<const char*>(&v), 8);
}

// Encoded values: kind byte, then the value.
std::string IntVal(std::int64_t v) {
  std::string out(1, '\x01');
  I64(out, v);
  return out;
}
std::string NumVal(std::int64_t v, unsigned scale) {
  std::string out(1, '\x02');
  out += static_cast<char>(scale);
  I64(out, v);
  return out;
}
std::string DateVal(std::int64_t ms) {
  std::string out(1, '\x04');
  I64(out, ms);
  return out;
}
std::string FloatVal(double v) {
  std::string out(1, '\x05');
  out.append(reinterpret_cast<const char*>(&v), 8);
  return out;
}
std::string StrVal(const std::string& s) {
  std::string out(1, '\x03');
  Str(out, s);
  return out;
}
// A good row of t.
std::string Row(std::int64_t a, const std::string& s) {
  return IntVal(a) + StrVal(s) + NumVal(150, 2);
}

std::string Snapshot(const Layout& layout) {
  std::string f = "LIBSQLDB";
  std::uint32_t version = 2;
  f.append(reinterpret_cast<const char*>(&version), 4);
  I64(f, 7);  // generation
  Var(f, layout.next_id);
  Var(f, 1);
  Str(f, layout.table);
  Var(f, layout.table_id);
  I64(f, layout.table_crdate);
  I64(f, 0);
  f += '\0';
  Var(f, layout.cols.size());
  for (const auto& c : layout.cols) {
    Str(f, c.name);
    f += static_cast<char>(c.type);
    Var(f, c.length);
    Var(f, c.precision);
    Var(f, c.scale);
    f += static_cast<char>(c.flags);
    I64(f, 1);
    I64(f, 1);
    Var(f, c.default_id);
    Str(f, c.default_text);
  }
  Var(f, 1);
  Str(f, layout.index);
  Var(f, 1);
  f += static_cast<char>(layout.index_flags);
  Var(f, layout.index_cols.size());
  for (auto c : layout.index_cols) Var(f, c);
  Var(f, layout.rows.size());
  for (const auto& r : layout.rows) Str(f, r);
  Var(f, layout.objects.size());
  for (const auto& o : layout.objects) {
    Var(f, o.id);
    Str(f, o.name);
    Str(f, o.xtype);
    Var(f, o.parent);
    I64(f, layout.object_crdate);
    Str(f, "");
  }
  f += layout.tail;
  f.append(4, '\0');
  engine::SealSnapshot(f);
  return f;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Opens the database at path expecting 5172; returns its message ("" when
// it opened or failed otherwise, after a test failure).
std::string Refusal(const std::string& path) {
  try {
    engine::Database::open(path, engine::Database::OpenMode::MustExist);
    ADD_FAILURE() << "opened";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 5172) << e.what();
    return e.what();
  }
  return "";
}

Layout WithRows() {
  Layout s;
  s.rows = {Row(1, "ab"), Row(2, "cd")};
  return s;
}

// The unchanged fixture opens, and its default, key and rows work; so every
// refusal below is the change's doing.
TEST(EngineDamagedFile, TheFixtureItselfOpensAndWorks) {
  TempDb t;
  t.Close();
  WriteAll(t.path(), Snapshot(WithRows()));
  t.Open();
  EXPECT_EQ(t.Rows("select a, s, n from t order by a"),
            (std::vector<std::string>{"1|ab|1.50", "2|cd|1.50"}));
  t.Run("insert into t (a) values (3)");
  EXPECT_EQ(t.One("select s from t where a = 3"), "x");
  EXPECT_EQ(t.ErrorOf("insert into t (a) values (1)"), 2627);
}

// Each change to the fixture, with the part the refusal must name. The first
// four crashed the engine before opening checked them (reading past a row,
// a key built from a column the table lacks, a default evaluated unbound).
TEST(EngineDamagedFile, EachBreachOfTheFormatIsRefusedNamingWhereAndLeftAsItIs) {
  struct Case {
    const char* what;
    std::function<void(Layout&)> change;
    const char* named;  // in the message
  };
  const std::vector<Case> cases = {
      {"text length past the row's end",
       [](Layout& s) { s.rows[1] = IntVal(2) + "\x03\x7f" + "cd" + NumVal(1, 2); },
       "table 't': row 2 column 's': a text value runs past the row's end"},
      {"kind byte unknown", [](Layout& s) { s.rows[0][0] = '\x09'; },
       "row 1 column 'a': a value is not of its column's type"},
      {"index column out of range", [](Layout& s) { s.index_cols = {5}; },
       "index 'PK_t': index column number 5 is not a column of the table"},
      {"default names a column", [](Layout& s) { s.cols[1].default_text = "(a)"; },
       "column 's': its default (a) does not bind: Invalid column name 'a'."},
      {"row with a value too few", [](Layout& s) { s.rows[0] = IntVal(1) + StrVal("ab"); },
       "row 1 column 'n': the row has fewer values"},
      {"row with a value too many", [](Layout& s) { s.rows[0] += IntVal(9); },
       "row 1: the row has more values"},
      {"int where text belongs", [](Layout& s) { s.rows[0] = IntVal(1) + IntVal(2) + NumVal(1, 2); },
       "row 1 column 's': a value is not of its column's type"},
      {"numeric of another scale",
       [](Layout& s) { s.rows[0] = IntVal(1) + StrVal("ab") + NumVal(1, 30); },
       "column 'n': a numeric value's scale is not its column's"},
      {"text longer than its varchar", [](Layout& s) { s.rows[0] = Row(1, "abcdefghijk"); },
       "column 's': a text or binary value is longer than its column"},
      // bigint's and binary's kinds belong to their own columns only.
      {"bigint's kind in an int column", [](Layout& s) { s.rows[0][0] = 7; },
       "row 1 column 'a': a value is not of its column's type"},
      {"binary's kind in a varchar column", [](Layout& s) { s.rows[0][9] = 6; },
       "row 1 column 's': a value is not of its column's type"},
      {"int cut short", [](Layout& s) { s.rows[0] = IntVal(1).substr(0, 5); },
       "row 1 column 'a': a value runs past the row's end"},
      {"unknown column type", [](Layout& s) { s.cols[0].type = 40; },
       "column 'a': type number 40 is not a known type"},
      {"varchar wider than 8000", [](Layout& s) { s.cols[1].length = 9000; },
       "char, varchar, binary and varbinary lengths are 1 to 8000"},
      {"numeric scale above precision", [](Layout& s) { s.cols[2].scale = 12; },
       "numeric precision is 1 to 38"},
      {"default that does not parse", [](Layout& s) { s.cols[1].default_text = "(('x'"; },
       "its default (('x' does not parse"},
      {"default without its object", [](Layout& s) { s.objects.pop_back(); },
       "column 's': its default object 102 is missing"},
      {"two objects of one id", [](Layout& s) { s.objects[1].id = 101; },
       "object 'DF_t_s': object id 101 is also that of object 'PK_t'"},
      {"object id of the table", [](Layout& s) { s.objects[0].id = 100; },
       "object id 100 is also that of table 't'"},
      {"id not below the next id", [](Layout& s) { s.next_id = 102; },
       "object id 102 is not below the next id"},
      {"key object without its index", [](Layout& s) { s.objects[0].name = "PK_other"; },
       "object 'PK_other': its table has no index of its name"},
      {"object of a missing table", [](Layout& s) { s.objects[1].parent = 55; },
       "object 'DF_t_s': the table it belongs to is missing"},
      {"two columns of one name", [](Layout& s) { s.cols[2].name = "A"; },
       "column 'A': a second column has this name"},
      {"bytes after the last object", [](Layout& s) { s.tail = "zz"; },
       "bytes follow the last object"},
      {"identity column of text", [](Layout& s) { s.cols[1].flags = 2; },
       "an identity column's type is an integer type"},
      {"table made before 1753", [](Layout& s) { s.table_crdate = INT64_MIN; },
       "table 't': the table's creation date is out of range"},
      {"object made after 9999", [](Layout& s) { s.object_crdate = INT64_MAX; },
       "object 'PK_t': the object's creation date is out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDb t;
    t.Close();
    Layout layout = WithRows();
    c.change(layout);
    std::string bytes = Snapshot(layout);
    WriteAll(t.path(), bytes);
    std::string journal = ReadAll(t.path() + "-journal");
    std::string message = Refusal(t.path());
    EXPECT_NE(message.find(c.named), std::string::npos) << message;
    EXPECT_NE(message.find(t.path()), std::string::npos) << message;
    EXPECT_EQ(ReadAll(t.path()), bytes);
    EXPECT_EQ(ReadAll(t.path() + "-journal"), journal);
  }
}

// A value past its type's range, which the engine's conversions and
// operators assume of every value they get, is refused naming its table,
// column and row; the range's edges open and read back. The fuzzer found a
// datetime near the smallest 64-bit integer overflowing its formatting.
TEST(EngineDamagedFile, ValuesPastTheirTypesRangeAreRefusedAndTheEdgesOpen) {
  using engine::kMaxDateTime;
  using engine::kMaxStoredDateTime;
  using engine::kMinDateTime;
  struct Case {
    const char* what;
    Layout::Col col;  // a column v added to t
    std::string value;
    const char* read;  // select v: what an edge reads back, or nullptr when refused
  };
  const Layout::Col datetime{"v", 9, 0, 0, 0, 1, 0, ""}, flt{"v", 10, 0, 0, 0, 1, 0, ""},
      int4{"v", 4, 0, 0, 0, 1, 0, ""}, int2{"v", 5, 0, 0, 0, 1, 0, ""},
      int1{"v", 6, 0, 0, 0, 1, 0, ""}, bit{"v", 7, 0, 0, 0, 1, 0, ""},
      num{"v", 8, 0, 9, 2, 1, 0, ""}, num38{"v", 8, 0, 38, 0, 1, 0, ""},
      money{"v", 11, 0, 19, 4, 1, 0, ""};
  const std::vector<Case> cases = {
      {"datetime the fuzzer found", datetime, DateVal(-9223372036814432256), nullptr},
      {"datetime of the largest 64-bit integer", datetime, DateVal(INT64_MAX), nullptr},
      {"datetime just before 1753", datetime, DateVal(kMinDateTime - 1), nullptr},
      {"datetime just past 9999", datetime, DateVal(kMaxStoredDateTime + 1), nullptr},
      {"datetime first", datetime, DateVal(kMinDateTime), "1753-01-01 00:00:00.000"},
      {"datetime last", datetime, DateVal(kMaxDateTime), "9999-12-31 23:59:59.997"},
      {"datetime last an earlier release kept", datetime, DateVal(kMaxStoredDateTime),
       "9999-12-31 23:59:59.999"},
      {"float NaN", flt, FloatVal(std::numeric_limits<double>::quiet_NaN()), nullptr},
      {"float infinite", flt, FloatVal(-std::numeric_limits<double>::infinity()), nullptr},
      {"float largest", flt, FloatVal(std::numeric_limits<double>::max()), "1.7976931348623157e+308"},
      {"int past 32 bits", int4, IntVal(2147483648), nullptr},
      {"int smallest", int4, IntVal(-2147483648), "-2147483648"},
      {"smallint past 16 bits", int2, IntVal(32768), nullptr},
      {"tinyint negative", int1, IntVal(-1), nullptr},
      {"tinyint largest", int1, IntVal(255), "255"},
      {"bit 2", bit, IntVal(2), nullptr},
      {"numeric(9,2) of ten digits", num, NumVal(1000000000, 2), nullptr},
      {"numeric(9,2) of nine digits", num, NumVal(-999999999, 2), "-9999999.99"},
      {"numeric(38) of 19 digits", num38, NumVal(INT64_MIN, 0), nullptr},
      {"numeric(38) of 18 digits", num38, NumVal(999999999999999999, 0), "999999999999999999"},
      {"money of 19 digits", money, NumVal(1000000000000000000, 4), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDb t;
    t.Close();
    Layout layout;
    layout.cols.push_back(c.col);
    layout.rows = {Row(1, "ab") + std::string(1, '\0'), Row(2, "cd") + c.value};  // v: NULL, value
    std::string bytes = Snapshot(layout);
    WriteAll(t.path(), bytes);
    if (c.read) {
      t.Open();
      EXPECT_EQ(t.One("select v from t where a = 2"), c.read);
      continue;
    }
    std::string message = Refusal(t.path());
    EXPECT_NE(message.find("table 't': row 2 column 'v': a"), std::string::npos) << message;
    EXPECT_NE(
        message.find(c.col.type == 9    ? "datetime value is outside 1753-01-01 to 9999-12-31"
                     : c.col.type == 10 ? "float value is not a finite number"
                     : c.col.type >= 8  ? "numeric value has more digits than its column's"
                                        : "integer value is outside its column's type's range"),
        std::string::npos)
        << message;
    EXPECT_EQ(ReadAll(t.path()), bytes);
  }
}

// Counts beyond the bytes left are refused before anything is allocated for
// them: a row count of 2^60 must not reserve memory for that many rows.
TEST(EngineDamagedFile, HugeCountsAreRefusedBeforeUse) {
  TempDb t;
  t.Close();
  std::string f = Snapshot(WithRows());
  // The row count (2) follows the index; replace it by 2^60 in varint form.
  std::size_t at = f.find(std::string("\x01\x07\x01\x00\x02", 5));
  ASSERT_NE(at, std::string::npos);
  std::string huge;
  Var(huge, 1ull << 60);
  f.replace(at + 4, 1, huge);
  engine::SealSnapshot(f);
  WriteAll(t.path(), f);
  EXPECT_NE(Refusal(t.path()).find("table 't': the number of rows exceeds the bytes left"),
            std::string::npos);
}

// A journal whose record holds (its CRC) but whose statement cannot be
// replayed is refused, and neither file is touched.
TEST(EngineDamagedFile, JournalStatementThatFailsOnReplayIsRefused) {
  TempDb t;
  t.Run("create table j (k int)");
  t.Close();
  // A killed writer leaves its committed statement in the journal.
  ASSERT_TRUE(engine_test::RunAndKill(t.path(), {"insert into j values (3)"}));
  std::string journal = ReadAll(t.path() + "-journal");
  std::size_t at = journal.find("insert into j values (3)");
  ASSERT_NE(at, std::string::npos);
  journal.replace(at, 24, "insert into q values (3)");
  engine::SealJournal(journal);
  WriteAll(t.path() + "-journal", journal);
  std::string snapshot = ReadAll(t.path());
  std::string message = Refusal(t.path());
  EXPECT_NE(message.find("-journal' is damaged: a statement of the record at byte 16 fails"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("Invalid object name 'q'"), std::string::npos) << message;
  EXPECT_EQ(ReadAll(t.path() + "-journal"), journal);
  EXPECT_EQ(ReadAll(t.path()), snapshot);
}

// A journal record (its CRC holding) whose statement ran at a time outside
// datetime's range, which getdate() would hand out on replay, is refused.
TEST(EngineDamagedFile, JournalStatementTimeOutsideDatetimeIsRefused) {
  TempDb t;
  t.Run("create table j (k int, d datetime default getdate())");
  t.Close();
  ASSERT_TRUE(engine_test::RunAndKill(t.path(), {"insert into j (k) values (3)"}));
  std::string journal = ReadAll(t.path() + "-journal");
  // entry := now:i64 text:str, the text's length one byte here.
  std::size_t at = journal.find("insert into j (k) values (3)");
  ASSERT_NE(at, std::string::npos);
  const std::int64_t past = engine::kMaxStoredDateTime + 1;
  journal.replace(at - 9, 8, reinterpret_cast<const char*>(&past), 8);
  engine::SealJournal(journal);
  WriteAll(t.path() + "-journal", journal);
  std::string message = Refusal(t.path());
  EXPECT_NE(message.find("-journal' is damaged: the record at byte 16 holds a statement's time "
                         "outside datetime's range"),
            std::string::npos)
      << message;
  EXPECT_EQ(ReadAll(t.path() + "-journal"), journal);
}

// Identity values are checked against the column's type and 64 bits before a
// row takes them (a database file may hold any seed, increment and next
// value; the fuzzer found the sum overflowing). A refused insert or ALTER
// leaves the rows as they were.
TEST(EngineDamagedFile, IdentityPastItsTypeIsRefusedLeavingRowsAlone) {
  TempDb t;
  t.Run("create table i (a int identity(2147483646, 1), b int)");
  t.Run("insert into i (b) values (1)\ninsert into i (b) values (2)");
  std::string message;
  EXPECT_EQ(t.ErrorOf("insert into i (b) values (3)", &message), 8115);
  EXPECT_NE(message.find("converting IDENTITY to data type int"), std::string::npos) << message;
  EXPECT_EQ(t.Rows("select a, b from i order by b"),
            (std::vector<std::string>{"2147483646|1", "2147483647|2"}));

  t.Run("create table w (a int identity(5, 9223372036854775807), b int)");
  EXPECT_EQ(t.ErrorOf("insert into w (b) values (1)"), 8115);
  EXPECT_EQ(t.One("select count(*) from w"), "0");

  t.Run("create table u (b int)");
  t.Run("insert into u values (1)\ninsert into u values (2)\ninsert into u values (3)");
  EXPECT_EQ(t.ErrorOf("alter table u add a int identity(2147483646, 1)"), 8115);
  EXPECT_EQ(t.Rows("select * from u order by b"), (std::vector<std::string>{"1", "2", "3"}));
  t.Run("alter table u add a smallint identity(32765, 1)");
  EXPECT_EQ(t.Rows("select b, a from u order by b"),
            (std::vector<std::string>{"1|32765", "2|32766", "3|32767"}));
  t.Reopen();
  EXPECT_EQ(t.ErrorOf("insert into u (b) values (4)"), 8115);
}

}  // namespace
