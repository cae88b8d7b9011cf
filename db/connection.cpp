// Choosing the backend for a data source name, and what both backends share.
#include "db/connection.h"


#include <charconv>
#include <cstdlib>

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

std::unique_ptr<Cursor> Connection::Execute(const std::string& sql) {
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
