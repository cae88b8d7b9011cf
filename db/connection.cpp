// Choosing the backend for a data source name, and what both backends share.
#include "db/connection.h"

#include "db/result_set.h"

namespace db {

namespace {
constexpr std::string_view kEmbeddedPrefix = "embedded:";
}

void Connection::Report(const std::string& sql, double ms, bool ok, std::int64_t rows,
                        const std::string& error) {
  if (!on_statement) return;
  StatementEvent e{sql, ms, ok, rows, error, !ok && tolerating > 0};
  on_statement(e);
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
  if (ds.size() >= kEmbeddedPrefix.size() &&
      std::string_view(ds).substr(0, kEmbeddedPrefix.size()) == kEmbeddedPrefix)
    return ConnectEmbedded(ds.substr(kEmbeddedPrefix.size()));
  return ConnectOdbc(params);
}

}  // namespace db
