// A query component: a statement held as a list of lines, sent joined by line
// breaks as one text, run as a command or opened as a forward-read query.
// Several components share one Connection, which must outlive them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"

namespace db {

class Query {
 public:
  explicit Query(Connection& connection) : connection_(&connection) {}
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  void Clear();
  void Add(std::string line);
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Text() const;  // lines joined by "\n"

  // Runs the statement as a command; any result set is discarded.
  void ExecSQL();
  // Runs the statement and positions on its first row (Eof() when none).
  void Open();
  bool Eof() const;
  void Next();
  // Value of the named column (case-insensitive) of the current row, as text
  // with trailing blanks kept; NULL reads as "". Throws db::Error for an
  // unknown column or when no row is current.
  std::string AsString(std::string_view field) const;
  // The value as an integer; NULL reads as 0; a non-numeric text throws db::Error.
  std::int64_t AsInteger(std::string_view field) const;
  bool IsNull(std::string_view field) const;
  void Close();
  bool Active() const { return cursor_ != nullptr; }
  // Rows affected by the last ExecSQL; -1 when not known.
  std::int64_t RowsAffected() const { return rows_affected_; }
  // The connection the component sends through.
  Connection& connection() const { return *connection_; }

 private:
  std::size_t FieldIndex(std::string_view field) const;

  Connection* connection_;
  std::vector<std::string> lines_;
  std::unique_ptr<Cursor> cursor_;
  bool eof_ = true;
  std::int64_t rows_affected_ = -1;
};

}  // namespace db
