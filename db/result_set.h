// A result read completely when its statement ran: both backends hand their
// rows over in this form, so a walk on one query component never holds the
// connection busy while another component writes through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace db {

struct ResultSet {
  std::vector<std::string> columns;  // empty: the statement returned no result set
  std::vector<std::vector<std::optional<std::string>>> rows;
  std::int64_t rows_affected = -1;
};

class ResultSetCursor : public Cursor {
 public:
  explicit ResultSetCursor(ResultSet r) : r_(std::move(r)) {}
  const std::vector<std::string>& Columns() const override { return r_.columns; }
  bool Fetch() override;
  const std::optional<std::string>& Value(std::size_t i) const override;
  std::int64_t RowsAffected() const override { return r_.rows_affected; }

 private:
  ResultSet r_;
  std::size_t next_ = 0;  // index of the row after the current one
};

// Backends behind db::Connect.
std::unique_ptr<Connection> ConnectEmbedded(const std::string& path);
std::unique_ptr<Connection> ConnectOdbc(const ConnectParams& params);

}  // namespace db
