// A signed 128-bit integer for the engine's exact arithmetic (Int128): the
// compiler's own type where it has one (64-bit GCC and Clang), otherwise a
// small class with the operations the engine uses (32-bit targets, the
// Windows build).
#pragma once

#include <cstdint>
#include <type_traits>

namespace port {

// The class, defined everywhere so that its tests run where the built-in
// type is there to compare with.
class SoftInt128 {
 public:
  constexpr SoftInt128() = default;
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  constexpr SoftInt128(T v)  // NOLINT: converts as the built-in type does
      : hi_(IsNegative(v) ? ~0ull : 0ull),
        lo_(static_cast<std::uint64_t>(static_cast<std::int64_t>(v))) {}

  explicit constexpr operator std::int64_t() const { return static_cast<std::int64_t>(lo_); }
  explicit constexpr operator double() const {
    if (Negative()) return -static_cast<double>(-*this);
    return static_cast<double>(hi_) * 18446744073709551616.0 + static_cast<double>(lo_);
  }

  friend constexpr SoftInt128 operator+(SoftInt128 a, SoftInt128 b) {
    SoftInt128 r;
    r.lo_ = a.lo_ + b.lo_;
    r.hi_ = a.hi_ + b.hi_ + (r.lo_ < a.lo_ ? 1 : 0);
    return r;
  }
  friend constexpr SoftInt128 operator-(SoftInt128 a) { return ~a + SoftInt128(1); }
  friend constexpr SoftInt128 operator-(SoftInt128 a, SoftInt128 b) { return a + -b; }
  friend constexpr SoftInt128 operator*(SoftInt128 a, SoftInt128 b) {
    SoftInt128 r = Mul64(a.lo_, b.lo_);
    r.hi_ += a.hi_ * b.lo_ + a.lo_ * b.hi_;
    return r;
  }
  // Truncating division and its remainder, as the built-in type has them.
  friend SoftInt128 operator/(SoftInt128 a, SoftInt128 b) {
    SoftInt128 q, r;
    DivMod(a, b, &q, &r);
    return q;
  }
  friend SoftInt128 operator%(SoftInt128 a, SoftInt128 b) {
    SoftInt128 q, r;
    DivMod(a, b, &q, &r);
    return r;
  }
  friend constexpr SoftInt128 operator<<(SoftInt128 a, int n) {
    if (n == 0) return a;
    SoftInt128 r;
    if (n >= 64) {
      r.hi_ = a.lo_ << (n - 64);
    } else {
      r.hi_ = a.hi_ << n | a.lo_ >> (64 - n);
      r.lo_ = a.lo_ << n;
    }
    return r;
  }

  SoftInt128& operator+=(SoftInt128 b) { return *this = *this + b; }
  SoftInt128& operator-=(SoftInt128 b) { return *this = *this - b; }
  SoftInt128& operator*=(SoftInt128 b) { return *this = *this * b; }
  SoftInt128& operator/=(SoftInt128 b) { return *this = *this / b; }
  SoftInt128& operator%=(SoftInt128 b) { return *this = *this % b; }
  SoftInt128& operator++() { return *this += 1; }
  SoftInt128& operator--() { return *this -= 1; }

  friend constexpr bool operator==(SoftInt128 a, SoftInt128 b) { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
  friend constexpr bool operator<(SoftInt128 a, SoftInt128 b) {
    const auto ah = static_cast<std::int64_t>(a.hi_), bh = static_cast<std::int64_t>(b.hi_);
    return ah != bh ? ah < bh : a.lo_ < b.lo_;
  }
  friend constexpr bool operator>(SoftInt128 a, SoftInt128 b) { return b < a; }
  friend constexpr bool operator<=(SoftInt128 a, SoftInt128 b) { return !(b < a); }
  friend constexpr bool operator>=(SoftInt128 a, SoftInt128 b) { return !(a < b); }

 private:
  template <typename T>
  static constexpr bool IsNegative(T v) {
    if constexpr (std::is_signed_v<T>)
      return v < 0;
    else
      return false;
  }
  constexpr bool Negative() const { return static_cast<std::int64_t>(hi_) < 0; }
  friend constexpr SoftInt128 operator~(SoftInt128 a) {
    SoftInt128 r;
    r.hi_ = ~a.hi_;
    r.lo_ = ~a.lo_;
    return r;
  }
  // The full product of two 64-bit numbers, from 32-bit halves.
  static constexpr SoftInt128 Mul64(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    SoftInt128 r;
    r.lo_ = (mid << 32) | (p00 & 0xFFFFFFFFu);
    r.hi_ = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
    return r;
  }
  constexpr bool FitsInt64() const {
    return hi_ == (static_cast<std::int64_t>(lo_) < 0 ? ~0ull : 0ull);
  }
  static void DivMod(SoftInt128 a, SoftInt128 b, SoftInt128* q, SoftInt128* r) {
    if (a.FitsInt64() && b.FitsInt64() &&
        !(static_cast<std::int64_t>(a) == INT64_MIN && static_cast<std::int64_t>(b) == -1)) {
      *q = SoftInt128(static_cast<std::int64_t>(a) / static_cast<std::int64_t>(b));
      *r = SoftInt128(static_cast<std::int64_t>(a) % static_cast<std::int64_t>(b));
      return;
    }
    const bool qneg = a.Negative() != b.Negative(), rneg = a.Negative();
    SoftInt128 n = a.Negative() ? -a : a, d = b.Negative() ? -b : b;
    SoftInt128 quot, rem;
    for (int bit = 127; bit >= 0; --bit) {
      rem = rem << 1;
      rem.lo_ |= (bit >= 64 ? n.hi_ >> (bit - 64) : n.lo_ >> bit) & 1u;
      if (!UnsignedLess(rem, d)) {
        rem = rem - d;
        if (bit >= 64)
          quot.hi_ |= 1ull << (bit - 64);
        else
          quot.lo_ |= 1ull << bit;
      }
    }
    *q = qneg ? -quot : quot;
    *r = rneg ? -rem : rem;
  }
  static constexpr bool UnsignedLess(SoftInt128 a, SoftInt128 b) {
    return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_;
  }

  std::uint64_t hi_ = 0;
  std::uint64_t lo_ = 0;
};

#ifdef __SIZEOF_INT128__
using Int128 = __int128;
#else
using Int128 = SoftInt128;
#endif

}  // namespace port
