// numeric(p, s) holds p digits in all, s of them after the point: the whole
// precision is there for a value's integer digits and its decimals together.
#include "tests/engine/engine_helpers.h"

namespace {

TEST(NumericPrecision, AValueUsesTheWholePrecision) {
  engine_test::TempDb t;
  t.Rows("create table n (a numeric(12,2), b numeric(5,0), c numeric(4,3))");
  struct Case {
    std::string value;
    const char* column;
    int error;  // 0: stored
  } cases[] = {
      {"-1234567890.25", "a", 0}, {"9999999999.99", "a", 0}, {"12345678901.5", "a", 8115},
      {"99999", "b", 0},          {"100000", "b", 8115},     {"9.999", "c", 0},
      {"10.5", "c", 8115},
  };
  for (const Case& c : cases)
    EXPECT_EQ(t.ErrorOf(std::string("insert into n (") + c.column + ") values (" + c.value + ")"),
              c.error)
        << c.value << " into " << c.column;
  EXPECT_EQ(t.Rows("select a from n where a is not null order by a"),
            (std::vector<std::string>{"-1234567890.25", "9999999999.99"}));
}

}  // namespace
