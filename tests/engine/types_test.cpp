// The wider types: bigint (literals, columns, conversions, arithmetic with
// int promoted to bigint, each overflowing at its own range) and binary
// columns, and what a client and the catalogue are told about them.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

struct Case {
  const char* expr;
  const char* text;  // nullptr: fails with `error`
  int error;
};

void Check(TempDb& t, const Case& c) {
  if (c.text) {
    EXPECT_EQ(t.One(std::string("select ") + c.expr), c.text) << c.expr;
  } else {
    EXPECT_EQ(t.ErrorOf(std::string("select ") + c.expr), c.error) << c.expr;
  }
}

TEST(EngineBigInt, ExpressionsAndConversions) {
  TempDb t;
  const Case cases[] = {
      // int arithmetic overflows at int's range; with a bigint operand the
      // result is bigint and overflows at bigint's.
      {"2147483647 + 1", nullptr, 8115},
      {"cast(2147483647 as bigint) + 1", "2147483648", 0},
      {"1 + cast(2147483647 as bigint)", "2147483648", 0},
      {"cast(3037000500 as bigint) * cast(3037000500 as bigint)", nullptr, 8115},
      {"cast(9223372036854775807 as bigint) + 1", nullptr, 8115},
      {"cast(4611686018427387904 as bigint) * 2", nullptr, 8115},
      {"cast(4611686018427387904 as bigint) * -2", "-9223372036854775808", 0},
      {"-cast(-2147483647 - 1 as int)", nullptr, 8115},
      {"abs(cast(-2147483647 - 1 as int))", nullptr, 8115},
      {"abs(cast(-9223372036854775807 as bigint) - 1)", nullptr, 8115},
      {"(cast(-9223372036854775807 as bigint) - 1) / -1", nullptr, 8115},
      {"cast(7 as bigint) / 2", "3", 0},
      {"cast(-7 as bigint) % 4", "-3", 0},
      {"cast(5000000000 as bigint) / 0", nullptr, 8134},
      {"cast(5000000000 as bigint) & cast(4294967295 as bigint)", "705032704", 0},
      {"cast(5000000000 as bigint) & 4294967295", nullptr, 402},
      {"~cast(5000000000 as bigint)", "-5000000001", 0},
      // Literals past int's range are numeric, as SQL Server types them.
      {"2147483648 * 10", "21474836480", 0},
      // Conversions into bigint and out of it.
      {"cast('9223372036854775807' as bigint)", "9223372036854775807", 0},
      {"cast(' -42 ' as bigint)", "-42", 0},
      {"cast('' as bigint)", "0", 0},
      {"cast('9223372036854775808' as bigint)", nullptr, 8115},
      {"cast('12x' as bigint)", nullptr, 8114},
      {"cast('1.5' as bigint)", nullptr, 8114},
      {"cast(12345678901.9 as bigint)", "12345678901", 0},
      {"cast(1e19 as bigint)", nullptr, 8115},
      {"cast(-9.2233720368547758e18 as bigint)", "-9223372036854775808", 0},
      {"cast(cast(2147483648 as bigint) as int)", nullptr, 8115},
      {"cast(cast(-5 as bigint) as varchar(10))", "-5", 0},
      {"cast(cast(5000000000 as bigint) as binary(8))", "000000012A05F200", 0},
      {"cast(0x000000012A05F200 as bigint)", "5000000000", 0},
      {"cast(0x0102 as bigint)", "258", 0},
      {"datalength(cast(1 as bigint))", "8", 0},
      {"datalength(1)", "4", 0},
      // Comparison with text converts the text to bigint.
      {"case when cast(5000000000 as bigint) = '5000000000' then 1 else 0 end", "1", 0},
      {"case when cast(5000000000 as bigint) > 2147483647 then 1 else 0 end", "1", 0},
      // bigint with numeric is numeric.
      {"cast(5000000000 as bigint) + 0.5", "5000000000.5", 0},
  };
  for (const Case& c : cases) Check(t, c);
}

TEST(EngineBigInt, ColumnsHoldTheirRangeAndKeepTheirTypeAfterReopening) {
  TempDb t;
  t.Run(
      "create table b (id bigint identity(2147483646, 1) primary key, v bigint null, i int null)");
  t.Run("insert b (v, i) values (9223372036854775807, 1)");
  t.Run("insert b (v, i) values (cast(-9223372036854775807 as bigint) - 1, 2)");
  t.Run("insert b (v, i) values ('4294967296', 3)");
  EXPECT_EQ(t.ErrorOf("insert b (i) values (cast(2147483648 as bigint))"), 8115);
  t.Reopen();
  EXPECT_EQ(t.Rows("select id, v, i from b order by id"),
            (std::vector<std::string>{"2147483646|9223372036854775807|1",
                                      "2147483647|-9223372036854775808|2",
                                      "2147483648|4294967296|3"}));
  // A column read back is bigint: arithmetic on it overflows at bigint's
  // range, not int's, and an int column's values stay int.
  EXPECT_EQ(t.One("select v * 2 from b where i = 3"), "8589934592");
  EXPECT_EQ(t.ErrorOf("select v + 1 from b where i = 1"), 8115);
  EXPECT_EQ(t.ErrorOf("select i + 2147483647 from b where i = 1"), 8115);
  EXPECT_EQ(t.One("select id from b where v = 4294967296"), "2147483648");
  t.Run("update b set v = v / 2 where i = 1");
  EXPECT_EQ(t.One("select v from b where i = 1"), "4611686018427387903");
  // Aggregates: SUM and AVG of bigint are bigint; COUNT_BIG counts as bigint.
  EXPECT_EQ(t.One("select sum(id), avg(id), count_big(*), count_big(v) from b"),
            "6442450941|2147483647|3|3");
  EXPECT_EQ(t.ErrorOf("select sum(v) from b where v > 0"), 0);
  t.Run("insert b (v) values (9223372036854775807)");
  EXPECT_EQ(t.ErrorOf("select sum(v) from b where v > 0"), 8115);

  // What a client and the catalogue are told.
  auto cols = t.Run("select v, v / 2, count_big(*) from b group by v")[0].columns;
  ASSERT_EQ(cols.size(), 3u);
  EXPECT_EQ(cols[0].declared, "bigint");
  EXPECT_EQ(cols[0].type, engine::ColumnType::BigInt);
  EXPECT_EQ(cols[1].type, engine::ColumnType::BigInt);
  EXPECT_EQ(cols[2].type, engine::ColumnType::BigInt);
  EXPECT_EQ(t.Rows("select name, xtype, length, prec, scale from syscolumns "
                   "where id = object_id('b') order by colid"),
            (std::vector<std::string>{"id|127|8|19|0", "v|127|8|19|0", "i|56|4|10|0"}));
}

// An identity column added to a table with rows gives each row its value in
// the column's own encoding, so that the file opens again.
TEST(EngineBigInt, IdentityAddedToATableWithRows) {
  TempDb t;
  t.Run("create table a (x int)");
  t.Run("insert a values (1)");
  t.Run("insert a values (2)");
  t.Run("alter table a add id bigint identity(5000000000, 10)");
  t.Run("create table n (x int)");
  t.Run("insert n values (1)");
  t.Run("alter table n add id numeric(12, 0) identity(100, 1)");
  t.Reopen();
  EXPECT_EQ(t.Rows("select x, id, id + 1 from a order by x"),
            (std::vector<std::string>{"1|5000000000|5000000001", "2|5000000010|5000000011"}));
  EXPECT_EQ(t.One("select id from n"), "100");
}

TEST(EngineBinary, ColumnsStoreCompareAndConvert) {
  TempDb t;
  t.Run("create table b (k int primary key, f binary(4) null, v varbinary(6) null, "
        "m varbinary(max) null, d varbinary null)");
  t.Run("insert b values (1, 0x0102, 0xD6D0CEC4, 0x00FF, 0x7F)");
  t.Run("insert b values (2, 0x01020304, 0x, null, null)");
  t.Run("insert b values (3, 258, cast('ab' as varbinary(6)), cast('text' as varbinary(max)), 0x01)");
  // Storing: a value too long is 8152 (CAST cuts it); text converts to
  // binary only explicitly (257).
  const struct {
    const char* sql;
    int error;
  } refused[] = {
      {"insert b (k, f) values (9, 0x0102030405)", 8152},
      {"insert b (k, v) values (9, 'abc')", 257},
      {"insert b (k, d) values (9, 0x0102)", 8152},
      {"update b set v = 0x01020304050607 where k = 1", 8152},
      {"insert b (k, f) values (1, 0x01)", 2627},
  };
  for (const auto& r : refused) EXPECT_EQ(t.ErrorOf(r.sql), r.error) << r.sql;
  EXPECT_EQ(t.One("select cast(0x0102030405 as binary(2))"), "0102");
  t.Reopen();
  // binary(n) pads with zero bytes; varbinary keeps its length.
  // varbinary(max) is kept as image, whose values a client reads as bytes.
  EXPECT_EQ(t.Rows("select k, f, v, datalength(m), d, datalength(f), datalength(v) from b "
                   "order by k"),
            (std::vector<std::string>{"1|01020000|D6D0CEC4|2|7F|4|4", "2|01020304||NULL|NULL|4|0",
                                      "3|00000102|6162|4|01|4|2"}));
  EXPECT_EQ(t.One("select m from b where k = 3"), "text");
  EXPECT_EQ(t.Rows("select k from b where v = 0xD6D0CEC4"), std::vector<std::string>{"1"});
  EXPECT_EQ(t.Rows("select k from b where f = 0x0102 order by k"), std::vector<std::string>{"1"});
  EXPECT_EQ(t.Rows("select k from b where f > 0x0101 order by k"),
            (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(t.One("select cast(v as varchar(10)) from b where k = 1"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(t.One("select cast(f as int) from b where k = 2"), "16909060");
  EXPECT_EQ(t.One("select cast(f as int) from b where k = 3"), "258");

  auto cols = t.Run("select f, v, m from b")[0].columns;
  ASSERT_EQ(cols.size(), 3u);
  EXPECT_EQ(cols[0].declared, "binary");
  EXPECT_EQ(cols[0].length, 4);
  EXPECT_EQ(cols[1].declared, "varbinary");
  EXPECT_EQ(cols[1].length, 6);
  EXPECT_EQ(cols[2].declared, "image");
  EXPECT_EQ(t.Rows("select name, xtype, length, prec from syscolumns "
                   "where id = object_id('b') and name in ('f', 'v', 'd') order by colid"),
            (std::vector<std::string>{"f|173|4|4", "v|165|6|6", "d|165|1|1"}));
}

// Without a length, char and varchar are 30 long in CAST and CONVERT and 1
// long in a declaration.
TEST(EngineCharLength, DefaultsAsSqlServerHasThem) {
  TempDb t;
  EXPECT_EQ(t.One("select cast('abcdefghij' as varchar), convert(varchar, 123456)"),
            "abcdefghij|123456");
  EXPECT_EQ(t.One("select convert(char, 12) + '|'"), "12" + std::string(28, ' ') + "|");
  EXPECT_EQ(t.One("select cast('" + std::string(31, 'x') + "' as varchar)"), std::string(30, 'x'));
  t.Run("create table c (a char, v varchar)");
  EXPECT_EQ(t.ErrorOf("insert c values ('ab', 'x')"), 8152);
  EXPECT_EQ(t.ErrorOf("declare @v varchar = 'a' select @v"), 0);
}

// An unknown type is refused with 2715 naming the column's place and the
// type as written.
TEST(EngineBinary, AnUnknownTypeNamesItsColumnsPlace) {
  TempDb t;
  std::string message;
  EXPECT_EQ(t.ErrorOf("create table u (a int, b varbinary(4), c sometype)", &message), 2715);
  EXPECT_NE(message.find("#3: Cannot find data type sometype."), std::string::npos) << message;
}

}  // namespace
