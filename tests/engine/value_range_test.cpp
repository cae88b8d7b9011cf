// Values at and past the edges of their types: datetime (1753-01-01 to
// 9999-12-31 23:59:59.997) and float (finite). Formatting takes any value
// without overflowing; every conversion and operator that makes a datetime or
// a float keeps within its range or fails with SQL Server's error, so that no
// statement stores a value the next opening would refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/value.h"
#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

TEST(EngineValueRange, DatesFormatWhateverTheirValue) {
  struct Case {
    std::int64_t ms;
    const char* text;
  } cases[] = {
      {engine::kMinDateTime, "1753-01-01 00:00:00.000"},
      {-1, "1899-12-31 23:59:59.999"},
      {0, "1900-01-01 00:00:00.000"},
      {engine::kMaxDateTime, "9999-12-31 23:59:59.997"},
      {engine::kMaxStoredDateTime, "9999-12-31 23:59:59.999"},
      // Outside the range no statement reaches, yet defined.
      {INT64_MIN, "-292275125-05-16 16:47:04.192"},
      {-9223372036814432256, "-292275125-05-17 03:59:27.744"},
      {INT64_MAX, "292278924-08-17 07:12:55.807"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(engine::FormatDate(c.ms), c.text) << c.ms;
    std::int64_t back = 0;
    bool in_range = c.ms >= engine::kMinDateTime && c.ms <= engine::kMaxDateTime;
    EXPECT_EQ(engine::ParseDate(c.text, &back), in_range) << c.text;
    if (in_range) {
      EXPECT_EQ(back, c.ms) << c.text;
    }
  }
}

// Each expression with what it gives: its text, or the error number.
TEST(EngineValueRange, ConversionsAndOperatorsKeepWithinTheRange) {
  TempDb t;
  struct Case {
    const char* expr;
    const char* text;  // nullptr: fails with `error`
    int error;
  } cases[] = {
      {"cast('9999-12-31 23:59:59.997' as datetime)", "9999-12-31 23:59:59.997", 0},
      // SQL Server rounds .998 to .997 and .999 to the next day, past the range.
      {"cast('9999-12-31 23:59:59.998' as datetime)", "9999-12-31 23:59:59.997", 0},
      {"cast('9999-12-31 23:59:59.999' as datetime)", nullptr, 241},
      {"cast('1753-01-01' as datetime) - 0.5", nullptr, 8115},
      {"cast('9999-12-31' as datetime) + 1", nullptr, 8115},
      {"cast('9999-12-31' as datetime) + 1e300", nullptr, 8115},
      {"cast('2000-01-01' as datetime) - 1e300", nullptr, 8115},
      {"cast('9999-12-31' as datetime) - cast('1753-01-01' as datetime)", nullptr, 8115},
      {"cast('2000-03-01' as datetime) - cast('1900-01-01' as datetime)", "2000-03-01 00:00:00.000",
       0},
      {"cast(2958463 as datetime)", "9999-12-31 00:00:00.000", 0},
      {"cast(2958464 as datetime)", nullptr, 8115},
      {"cast(-53690 as datetime)", "1753-01-01 00:00:00.000", 0},
      {"cast(-53691 as datetime)", nullptr, 8115},
      {"cast(999999999999999.5 as datetime)", nullptr, 8115},
      {"cast(1e300 as datetime)", nullptr, 8115},
      {"cast('nan' as float)", nullptr, 8114},
      {"cast('1e999' as float)", nullptr, 8114},
      {"1e308 * 10", nullptr, 8115},
      {"-1e308 - 1e308", nullptr, 8115},
      {"1e999", nullptr, 168},
      // FLOOR and CEILING keep the argument's type: a float stays a float
      // (also past every integer's range), a numeric is rounded exactly.
      {"floor(1e300)", "1e+300", 0},
      {"ceiling(-2.5e0)", "-2", 0},
      {"floor(3.5e0) / 2", "1.5", 0},
      {"floor(-2.5)", "-3", 0},
      {"ceiling(2.25)", "3", 0},
      {"ceiling(-2.25)", "-2", 0},
      {"floor(-3.0)", "-3", 0},
      {"round(1.5e0, 400)", "1.5", 0},
      {"round(1.5e0, -400)", "0", 0},
  };
  for (const Case& c : cases) {
    std::string sql = std::string("select ") + c.expr;
    if (c.text) {
      EXPECT_EQ(t.One(sql), c.text) << sql;
    } else {
      EXPECT_EQ(t.ErrorOf(sql), c.error) << sql;
    }
  }
}

// The range's edges go into a table, survive a checkpoint and a reopening
// (which checks every value), and an update past the edge changes nothing.
TEST(EngineValueRange, EdgesAreStoredAndOpenAgain) {
  TempDb t;
  t.Run("create table e (k int, d datetime, f float)");
  t.Run("insert into e values (1, '1753-01-01', 1.7976931348623157e308)");
  t.Run("insert into e values (2, '9999-12-31 23:59:59.997', -1.7976931348623157e308)");
  EXPECT_EQ(t.ErrorOf("update e set d = d + 1 where k = 2"), 8115);
  EXPECT_EQ(t.ErrorOf("update e set f = f * 2 where k = 1"), 8115);
  t.Reopen();
  EXPECT_EQ(t.Rows("select k, d, f from e order by k"),
            (std::vector<std::string>{"1|1753-01-01 00:00:00.000|1.7976931348623157e+308",
                                      "2|9999-12-31 23:59:59.997|-1.7976931348623157e+308"}));
}

}  // namespace
