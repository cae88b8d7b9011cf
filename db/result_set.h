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

// A batch as the backends send it: every statement followed by a line that
// ends the batch when it failed ("if @@error<>0 return;"), so that what runs
// is the statements up to the first failure, as if each were sent alone and
// the sending stopped there. A statement whose error ends only itself on the
// server would otherwise let the later ones run before its failure is seen.
struct BatchText {
  std::string text;
  std::vector<int> first_line;  // line (1-based) of the batch on which each statement starts
  // The statement a line of the batch belongs to (an error's line).
  std::size_t StatementAt(int line) const;
};
// prologue: lines sent before the first statement (each ending in '\n').
BatchText JoinBatch(std::span<const BatchStatement> statements, std::string_view prologue = {});

// Backends behind db::Connect.
std::unique_ptr<Connection> ConnectEmbedded(const std::string& path);
std::unique_ptr<Connection> ConnectOdbc(const ConnectParams& params);

}  // namespace db
