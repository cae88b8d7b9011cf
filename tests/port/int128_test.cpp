// The 128-bit integer class of 32-bit builds against the compiler's own
// 128-bit type, on values at and around the edges the engine reaches.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "port/int128.h"

namespace {

#ifdef __SIZEOF_INT128__

std::int64_t Low(port::SoftInt128 v) { return static_cast<std::int64_t>(v); }
std::int64_t Low(__int128 v) { return static_cast<std::int64_t>(v); }
std::int64_t High(port::SoftInt128 v) { return static_cast<std::int64_t>((v - Low(v)) / (port::SoftInt128(1) << 64)); }
std::int64_t High(__int128 v) { return static_cast<std::int64_t>((v - Low(v)) / (static_cast<__int128>(1) << 64)); }

TEST(SoftInt128, AgreesWithTheBuiltInType) {
  const std::vector<std::int64_t> values = {0,  1,  -1, 2,  -2, 7,  10, -10, 999999999999999999,
                                            -999999999999999999, INT32_MAX, INT32_MIN,
                                            INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1,
                                            4294967296, -4294967296, 123456789012345};
  for (std::int64_t a : values) {
    for (std::int64_t b : values) {
      // Products of two 64-bit values and sums of products reach past 64 bits.
      const port::SoftInt128 sa = port::SoftInt128(a) * b + a, sb = port::SoftInt128(b);
      const __int128 ha = static_cast<__int128>(a) * b + a, hb = b;
      SCOPED_TRACE(testing::Message() << a << " " << b);
      EXPECT_EQ(Low(sa), Low(ha));
      EXPECT_EQ(High(sa), High(ha));
      EXPECT_EQ(Low(sa + sb), Low(ha + hb));
      EXPECT_EQ(High(sa - sb), High(ha - hb));
      EXPECT_EQ(Low(sa - sb), Low(ha - hb));
      EXPECT_EQ(sa < sb, ha < hb);
      EXPECT_EQ(sa > sb, ha > hb);
      EXPECT_EQ(sa == sb, ha == hb);
      EXPECT_EQ(-sa < sb, -ha < hb);
      if (b != 0) {
        EXPECT_EQ(Low(sa / sb), Low(ha / hb));
        EXPECT_EQ(High(sa / sb), High(ha / hb));
        EXPECT_EQ(Low(sa % sb), Low(ha % hb));
        EXPECT_EQ(High(sa % sb), High(ha % hb));
      }
    }
  }
  EXPECT_EQ(High(port::SoftInt128(1) << 64), 1);
  EXPECT_EQ(High(port::SoftInt128(3) << 100), High(static_cast<__int128>(3) << 100));
  EXPECT_DOUBLE_EQ(static_cast<double>(port::SoftInt128(-5) * INT64_MAX),
                   static_cast<double>(static_cast<__int128>(-5) * INT64_MAX));
}

#endif

// Where the compiler has no 128-bit type the class is all there is: its
// results checked against known values.
TEST(SoftInt128, KnownResults) {
  const port::SoftInt128 big = port::SoftInt128(INT64_MAX) * 1000 + 999;  // 9223372036854775807999
  EXPECT_EQ(static_cast<std::int64_t>(big / 1000), INT64_MAX);
  EXPECT_EQ(static_cast<std::int64_t>(big % 1000), 999);
  EXPECT_EQ(static_cast<std::int64_t>(-big / 1000), -INT64_MAX);
  EXPECT_EQ(static_cast<std::int64_t>(-big % 1000), -999);
  EXPECT_TRUE(big > port::SoftInt128(INT64_MAX));
  EXPECT_TRUE(-big < port::SoftInt128(INT64_MIN));
  EXPECT_EQ(static_cast<std::int64_t>(port::SoftInt128(-7) / 2), -3);
  EXPECT_EQ(static_cast<std::int64_t>(port::SoftInt128(-7) % 2), -1);
}

}  // namespace
