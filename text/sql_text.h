// Making values safe to paste between single quotes in generated statements.
#pragma once

#include <string>
#include <string_view>

namespace text {

// The library system's own cleaning of a stored text before it is pasted into
// a literal: a single quote becomes a double-quote character, GBK double-byte
// characters pass whole, any byte >= 0x80 that belongs to no GBK pair is
// dropped. Never longer than its argument.
std::string SafeSqlText(std::string_view gbk);

// T-SQL literal body: every single quote doubled. The caller adds the
// surrounding quotes: "where x='" + EscapeQuotes(v) + "'".
std::string EscapeQuotes(std::string_view s);

}  // namespace text
