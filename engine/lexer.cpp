// Tokenizer of T-SQL batches, driven by a character-class table.
#include "engine/lexer.h"

#include "engine/ascii.h"

#include <array>
#include <cctype>

#include "engine/value.h"

namespace engine {

namespace {

enum Class : unsigned char {
  kOther,
  kSpace,
  kNewline,
  kDigit,
  kWord,
  kQuote,
  kDQuote,
  kBracket,
  kAt,
  kMinus,
  kSlash
};

constexpr std::array<unsigned char, 256> MakeClasses() {
  std::array<unsigned char, 256> c{};
  for (int i = 0; i < 256; ++i) c[i] = kOther;
  c[' '] = c['\t'] = c['\r'] = c['\f'] = c['\v'] = kSpace;
  c['\n'] = kNewline;
  for (int i = '0'; i <= '9'; ++i) c[i] = kDigit;
  for (int i = 'a'; i <= 'z'; ++i) c[i] = kWord;
  for (int i = 'A'; i <= 'Z'; ++i) c[i] = kWord;
  c['_'] = c['#'] = c['$'] = kWord;
  for (int i = 0x80; i < 256; ++i) c[i] = kWord;  // GBK bytes belong to names
  c['\''] = kQuote;
  c['"'] = kDQuote;
  c['['] = kBracket;
  c['@'] = kAt;
  c['-'] = kMinus;
  c['/'] = kSlash;
  return c;
}

constexpr auto kClass = MakeClasses();

unsigned char ClassOf(char ch) {
  return kClass[static_cast<unsigned char>(ch)];
}

}  // namespace

bool Token::Is(std::string_view word) const {
  if (kind != Tok::Ident || quoted || text.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (AsciiLower(static_cast<unsigned char>(text[i])) !=
        AsciiLower(static_cast<unsigned char>(word[i])))
      return false;
  return true;
}

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  out.reserve(s.size() / 8 + 4);  // about one token in eight bytes of T-SQL
  std::size_t i = 0;
  int line = 1;
  auto count_lines = [&](std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k)
      if (s[k] == '\n') ++line;
  };
  while (i < s.size()) {
    unsigned char cls = ClassOf(s[i]);
    if (cls == kSpace) {
      ++i;
      continue;
    }
    if (cls == kNewline) {
      ++line;
      ++i;
      continue;
    }
    if (cls == kMinus && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (cls == kSlash && i + 1 < s.size() && s[i + 1] == '*') {
      std::size_t close = s.find("*/", i + 2);
      std::size_t stop = close == std::string_view::npos ? s.size() : close + 2;
      count_lines(i, stop);
      i = stop;
      continue;
    }
    Token t;
    t.offset = i;
    t.line = line;
    if ((s[i] == 'N' || s[i] == 'n') && i + 1 < s.size() && s[i + 1] == '\'') ++i;  // N'...'
    cls = ClassOf(s[i]);
    if (cls == kQuote) {
      t.kind = Tok::String;
      std::size_t k = i + 1;
      for (;;) {
        if (k >= s.size())
          throw Error(105, 15,
                      "Unclosed quotation mark after the character string '" + t.text + "'.",
                      t.line);
        if (s[k] == '\'') {
          if (k + 1 < s.size() && s[k + 1] == '\'') {
            t.text += '\'';
            k += 2;
            continue;
          }
          break;
        }
        // The run of bytes up to the next quote at once.
        const std::size_t quote = s.find('\'', k);
        const std::size_t stop = quote == std::string_view::npos ? s.size() : quote;
        t.text.append(s.data() + k, stop - k);
        k = stop;
      }
      count_lines(i, k);
      i = k + 1;
    } else if (s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
      // Binary literal 0x..., kept as its bytes.
      t.kind = Tok::String;
      t.binary = true;
      std::size_t k = i + 2;
      auto hex = [](char ch) {
        return ch >= '0' && ch <= '9' ? ch - '0'
                                      : (AsciiLower(static_cast<unsigned char>(ch)) - 'a' + 10);
      };
      while (k + 1 < s.size() && std::isxdigit(static_cast<unsigned char>(s[k])) &&
             std::isxdigit(static_cast<unsigned char>(s[k + 1]))) {
        t.text += static_cast<char>(hex(s[k]) * 16 + hex(s[k + 1]));
        k += 2;
      }
      i = k;
    } else if (cls == kDigit || (s[i] == '.' && i + 1 < s.size() && ClassOf(s[i + 1]) == kDigit)) {
      t.kind = Tok::Number;
      std::size_t k = i;
      while (k < s.size() && (ClassOf(s[k]) == kDigit || s[k] == '.')) ++k;
      if (k < s.size() && (s[k] == 'e' || s[k] == 'E') && k + 1 < s.size() &&
          (ClassOf(s[k + 1]) == kDigit || s[k + 1] == '-' || s[k + 1] == '+')) {
        k += 2;
        while (k < s.size() && ClassOf(s[k]) == kDigit) ++k;
      }
      t.text = std::string(s.substr(i, k - i));
      i = k;
    } else if (cls == kWord) {
      t.kind = Tok::Ident;
      std::size_t k = i;
      while (k < s.size() && (ClassOf(s[k]) == kWord || ClassOf(s[k]) == kDigit || s[k] == '@'))
        ++k;
      t.text = std::string(s.substr(i, k - i));
      i = k;
    } else if (cls == kBracket || cls == kDQuote) {
      char close = cls == kBracket ? ']' : '"';
      std::size_t k = s.find(close, i + 1);
      if (k == std::string_view::npos)
        throw Error(105, 15,
                    "Unclosed quotation mark after the character string '" +
                        std::string(s.substr(i + 1)) + "'.",
                    t.line);
      t.kind = Tok::Ident;
      t.quoted = true;
      t.text = std::string(s.substr(i + 1, k - i - 1));
      i = k + 1;
    } else if (cls == kAt) {
      t.kind = Tok::Variable;
      std::size_t k = i + 1;
      if (k < s.size() && s[k] == '@') ++k;
      while (k < s.size() && (ClassOf(s[k]) == kWord || ClassOf(s[k]) == kDigit)) ++k;
      t.text = std::string(s.substr(i, k - i));
      i = k;
    } else {
      t.kind = Tok::Symbol;
      static const char* kTwo[] = {"<>", "!=", "<=", ">=", "!<", "!>"};
      t.text = std::string(1, s[i]);
      for (const char* two : kTwo)
        if (i + 1 < s.size() && s[i] == two[0] && s[i + 1] == two[1]) t.text = two;
      i += t.text.size();
    }
    t.end = i;
    out.push_back(std::move(t));
  }
  Token end;
  end.offset = end.end = s.size();
  end.line = line;
  out.push_back(end);
  return out;
}

}  // namespace engine
