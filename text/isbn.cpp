// Book numbers to EAN-13: the catalogue normalisation and the older
// book-number conversion, which differ in prefix, in the letter O and in how
// they treat 13-digit input.
#include "text/isbn.h"

#include <algorithm>

#include "text/gbk.h"

namespace text {

namespace {

// The argument trimmed (t) and, from it, every hyphen removed (d).
struct Cleaned {
  std::string t;
  std::string d;
};

Cleaned Clean(std::string_view s) {
  Cleaned c;
  c.t = Trim(s);
  c.d = Trim(c.t);
  std::erase(c.d, '-');
  return c;
}

// The first twelve characters followed by their EAN-13 check digit. The
// caller guarantees twelve leading digits.
std::string WithCheckDigit(std::string_view s) {
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (s[i] - '0') * (i % 2 == 0 ? 1 : 3);
  std::string out(s.substr(0, 12));
  out += static_cast<char>('0' + (10 - sum % 10) % 10);
  return out;
}

bool TwelveDigits(std::string_view s) {
  return s.size() >= 12 && IsAllDigits(s.substr(0, 12));
}

}  // namespace

bool IsAllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

std::string IsbnTo13(std::string_view s) {
  auto [t, d] = Clean(s);
  if (d.size() != 10 && d.size() != 13) return t;
  if (d.size() == 10 && !IsAllDigits(std::string_view(d).substr(0, 9))) return t;
  if (d.size() == 13 && !IsAllDigits(d)) return t;
  if (d.size() == 10) d = "978" + d;
  return WithCheckDigit(d);
}

std::string BookIdTo13(std::string_view s) {
  auto [t, d] = Clean(s);
  if (d.size() != 10 && d.size() != 13) return t;
  if (d.size() == 13) return IsAllDigits(d) ? d : t;
  d = Trim(d);
  std::replace(d.begin(), d.end(), 'O', '0');
  std::replace(d.begin(), d.end(), 'o', '0');
  if (!IsAllDigits(std::string_view(d).substr(0, std::min<std::size_t>(9, d.size())))) return t;
  d = (d < "18" ? "977" : "978") + d;
  // Trimming above may have shortened d: what has no twelve digits left
  // cannot be converted and comes back as it was given.
  if (!TwelveDigits(d)) return t;
  return WithCheckDigit(d);
}

}  // namespace text
