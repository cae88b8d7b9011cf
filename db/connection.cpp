// Choosing the backend for a data source name, and what both backends share.
#include "db/connection.h"


#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "db/batch.h"

#include "db/result_set.h"
#include "port/process.h"

namespace db {

namespace {
constexpr std::string_view kEmbeddedPrefix = "embedded:";
}

void Connection::Report(const std::string& sql, double ms, bool ok, std::int64_t rows,
                        const std::string& error, bool tolerable) {
  if (!on_statement) return;
  StatementEvent e{sql, ms, ok, rows, error, !ok && tolerable && tolerating > 0};
  on_statement(e);
}

FaultPlan FaultPlan::Parse(const std::string& value) {
  FaultPlan plan;
  if (value.empty()) return plan;
  const auto colon = value.find(':');
  const std::string kind = value.substr(0, colon);
  std::int64_t n = 0;
  bool number_ok = false;
  if (colon != std::string::npos) {
    const char* first = value.data() + colon + 1;
    const char* last = value.data() + value.size();
    auto [p, ec] = std::from_chars(first, last, n);
    number_ok = ec == std::errc() && p == last && first != last && n >= 1;
  }
  if ((kind != "kill" && kind != "fail") || !number_ok)
    throw Error(0, "LIBUPGRADE_FAULT=" + value + ": expected kill:N or fail:N with N at least 1");
  plan.kind = kind == "kill" ? Kind::Kill : Kind::Fail;
  plan.at = n;
  return plan;
}

FaultPlan FaultPlan::FromEnvironment() {
  const char* v = std::getenv("LIBUPGRADE_FAULT");
  return Parse(v ? v : "");
}

void Connection::ReportBatch(const BatchStatement& s, double ms, const BatchOutcome& outcome) {
  if (!on_statement) return;
  const bool ok = !outcome.error;
  const std::string what = ok ? std::string() : outcome.error->what();
  StatementEvent e{s.sql, ms, ok, outcome.rows, what, !ok && !outcome.injected && s.tolerated};
  on_statement(e);
}

std::vector<BatchOutcome> Connection::SendBatch(std::span<const BatchStatement> statements) {
  std::vector<BatchOutcome> out;
  for (const BatchStatement& s : statements) {
    // Send reports the statement; its failure is tolerated as the statement is.
    const int outside = tolerating;
    tolerating = s.tolerated ? 1 : 0;
    BatchOutcome o;
    try {
      o.rows = Send(s.sql)->RowsAffected();
    } catch (const Error& e) {
      o.error = e;
    }
    tolerating = outside;
    out.push_back(std::move(o));
    if (out.back().error) break;
  }
  return out;
}

std::vector<BatchOutcome> Connection::ExecuteBatch(std::span<const BatchStatement> statements) {
  std::vector<BatchOutcome> out;
  std::size_t i = 0;
  while (i < statements.size()) {
    // The fault hook's statement, when it falls in what is left to send.
    const std::int64_t first = sent_ + 1;
    const auto left = static_cast<std::int64_t>(statements.size() - i);
    const bool hook_here = fault.kind != FaultPlan::Kind::None && fault.at >= first &&
                           fault.at < first + left;
    std::size_t end = statements.size();
    if (hook_here)
      end = i + static_cast<std::size_t>(fault.at - first) +
            (fault.kind == FaultPlan::Kind::Kill ? 1 : 0);
    if (end == i) {  // fail:N on the next statement: it fails unsent
      ++sent_;
      BatchOutcome o;
      o.error = InjectedFault();
      o.injected = true;
      ReportBatch(statements[i], 0, o);
      out.push_back(std::move(o));
      return out;
    }
    std::vector<BatchOutcome> got = SendBatch(statements.subspan(i, end - i));
    sent_ += static_cast<std::int64_t>(got.size());
    const bool failed = !got.empty() && got.back().error;
    if (failed && got.back().error->connection_lost()) lost_ = true;
    i += got.size();
    for (auto& o : got) out.push_back(std::move(o));
    if (hook_here && fault.kind == FaultPlan::Kind::Kill && sent_ >= fault.at)
      port::KillThisProcess();
    if (failed || got.empty()) return out;
  }
  return out;
}

std::unique_ptr<Cursor> Connection::Execute(const std::string& sql) {
  if (open_batch_ != nullptr) open_batch_->Flush();
  const std::int64_t n = ++sent_;
  if (fault.kind == FaultPlan::Kind::Fail && n == fault.at) {
    InjectedFault e;
    // Never tolerated, so the log says "error" even inside a tolerated trap.
    Report(sql, 0, false, -1, e.what(), /*tolerable=*/false);
    throw e;
  }
  const bool kill_after = fault.kind == FaultPlan::Kind::Kill && n == fault.at;
  std::unique_ptr<Cursor> cursor;
  try {
    cursor = Send(sql);
  } catch (const Error& e) {
    if (e.connection_lost()) lost_ = true;
    if (kill_after) port::KillThisProcess();
    throw;
  } catch (...) {
    if (kill_after) port::KillThisProcess();
    throw;
  }
  if (kill_after) port::KillThisProcess();
  return cursor;
}

BatchText JoinBatch(std::span<const BatchStatement> statements, std::string_view prologue) {
  BatchText b;
  b.text.assign(prologue);
  int line = 1 + static_cast<int>(std::count(prologue.begin(), prologue.end(), '\n'));
  std::size_t size = prologue.size();
  for (const BatchStatement& s : statements) size += s.sql.size() + 24;
  b.text.reserve(size);
  for (const BatchStatement& s : statements) {
    b.first_line.push_back(line);
    b.text += s.sql;
    b.text += "\nif @@error<>0 return;\n";
    line += 2 + static_cast<int>(std::count(s.sql.begin(), s.sql.end(), '\n'));
  }
  return b;
}

std::size_t BatchText::StatementAt(int line) const {
  const auto after = std::upper_bound(first_line.begin(), first_line.end(), line);
  return after == first_line.begin() ? 0 : static_cast<std::size_t>(after - first_line.begin()) - 1;
}

bool ResultSetCursor::Fetch() {
  if (next_ < r_.rows.size()) {
    ++next_;
    return true;
  }
  next_ = r_.rows.size() + 1;
  return false;
}

const std::optional<std::string>& ResultSetCursor::Value(std::size_t i) const {
  if (next_ == 0 || next_ > r_.rows.size()) throw Error(0, "no current row");
  const auto& row = r_.rows[next_ - 1];
  if (i >= row.size()) throw Error(0, "column index " + std::to_string(i) + " out of range");
  return row[i];
}

std::unique_ptr<Connection> Connect(const ConnectParams& params) {
  const std::string& ds = params.data_source;
  const FaultPlan fault = FaultPlan::FromEnvironment();
  std::unique_ptr<Connection> c;
  if (ds.size() >= kEmbeddedPrefix.size() &&
      std::string_view(ds).substr(0, kEmbeddedPrefix.size()) == kEmbeddedPrefix)
    c = ConnectEmbedded(ds.substr(kEmbeddedPrefix.size()));
  else
    c = ConnectOdbc(params);
  c->fault = fault;
  return c;
}

}  // namespace db
