// Temporary tables private to a session. See temp_tables.h.
#include "engine/temp_tables.h"

#include <cstdio>

#include "engine/executor.h"
#include "engine/lexer.h"
#include "engine/value.h"

namespace engine {

// The batch with each #name suffixed. A batch the tokenizer refuses (a
// string left open) goes as it is: parsing reports the fault.
std::string NameTempTables(std::string_view batch, const std::string& suffix) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(batch);
  } catch (const Error&) {
    return std::string(batch);
  }
  std::string out;
  std::size_t copied = 0;
  for (const Token& t : tokens) {
    if (t.kind != Tok::Ident) continue;
    const std::string named = NameTempTable(t.text, suffix);
    if (named.size() == t.text.size()) continue;
    // Inside the closing bracket or quote of a quoted name.
    const std::size_t at = t.quoted ? t.end - 1 : t.end;
    out.append(batch.substr(copied, at - copied));
    out += suffix;
    copied = at;
  }
  out.append(batch.substr(copied));
  return out;
}

std::string UnnameTempTables(std::string_view text) {
  // Eight underscores and twelve upper-case hex digits (TempTableSuffix).
  std::string out(text);
  for (std::size_t at = 0; (at = out.find("________", at)) != std::string::npos;) {
    std::size_t end = at + 8;
    while (end < out.size() && out[end] == '_') ++end;  // a run longer than eight
    const std::size_t hex = end - 8;
    bool suffix = hex + 20 <= out.size();
    for (std::size_t k = hex + 8; suffix && k < hex + 20; ++k)
      suffix = (out[k] >= '0' && out[k] <= '9') || (out[k] >= 'A' && out[k] <= 'F');
    if (suffix)
      out.erase(hex, 20);
    else
      at = end;
  }
  return out;
}

namespace {

void Unname(std::string& text, const std::string& suffix) {
  for (std::size_t at; (at = text.find(suffix)) != std::string::npos;)
    text.erase(at, suffix.size());
}

}  // namespace

void Unname(std::vector<StatementResult>& results, const std::string& suffix) {
  for (StatementResult& r : results) {
    for (ErrorMessage& m : r.messages) Unname(m.text, suffix);
    for (ResultColumn& c : r.columns) Unname(c.name, suffix);
  }
}

std::string TempTableSuffix(int spid) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%012X", static_cast<unsigned>(spid));
  return std::string(8, '_') + hex;
}

std::string NameTempTable(std::string_view name, const std::string& suffix) {
  if (suffix.empty() || name.size() < 2 || name[0] != '#' || name[1] == '#')
    return std::string(name);
  if (name.size() > suffix.size() && Fold(name.substr(name.size() - suffix.size())) == Fold(suffix))
    return std::string(name);
  return std::string(name) + suffix;
}

std::vector<StatementResult> ExecuteNamingTempTables(Session& s, std::string_view batch,
                                                     const std::function<bool()>& cancelled) {
  const std::string& suffix = s.temp_suffix;
  if (suffix.empty() || batch.find('#') == std::string_view::npos)
    return s.Execute(batch, cancelled);
  try {
    std::vector<StatementResult> results = s.Execute(NameTempTables(batch, suffix), cancelled);
    Unname(results, suffix);
    return results;
  } catch (const Error& e) {
    std::string text = e.what();
    Unname(text, suffix);
    Error named(e.number(), e.severity(), text, e.line());
    named.follow_on = e.follow_on;
    named.procedure = e.procedure;
    for (ErrorMessage& m : named.follow_on) Unname(m.text, suffix);
    named.results = e.results;
    Unname(named.results, suffix);
    throw named;
  }
}

std::string DropTablesBatch(const std::vector<std::string>& names) {
  std::string batch;
  for (const std::string& n : names) {
    std::string quoted;
    for (char c : n) quoted += c == ']' ? std::string("]]") : std::string(1, c);
    batch += (batch.empty() ? "" : "\n") + std::string("drop table [") + quoted + "]";
  }
  return batch;
}

}  // namespace engine
