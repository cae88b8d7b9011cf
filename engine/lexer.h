// Splits a T-SQL batch (GBK bytes) into tokens that keep their byte offset and
// line, so that a syntax error can say "near 'X'" and on which line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace engine {

enum class Tok { Ident, Number, String, Variable, Symbol, End };

struct Token {
  Tok kind = Tok::End;
  std::string text;  // identifier (brackets removed), literal contents, symbol
  std::size_t offset = 0;
  std::size_t end = 0;  // offset just past the token
  int line = 1;
  bool quoted = false;  // [bracketed] or "double-quoted" identifier
  bool binary = false;  // String: a 0x... literal, text holding its bytes

  // Case-insensitive keyword test, for bare identifiers only.
  bool Is(std::string_view word) const;
  bool IsSymbol(std::string_view s) const { return kind == Tok::Symbol && text == s; }
};

// Throws engine::Error 105 for a string left open at the end of the batch.
std::vector<Token> Tokenize(std::string_view batch);

}  // namespace engine
