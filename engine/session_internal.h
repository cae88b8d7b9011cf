// Definitions shared by the files that make up Session (executor.cpp for
// batches, transactions and the undo log; evaluate.cpp, select.cpp, dml.cpp
// and ddl.cpp for the statements): the undo log's entries and the binding
// scope and row context of expressions. Private to the engine.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ascii.h"
#include "engine/executor.h"

namespace engine {

// Old bytes of columns, row by row, so that undoing a change needs no copy of
// whole rows. An UPDATE writes a record for each row it changed: the old
// encodings of cols in order, then the record's length and the slot, both u32,
// so the log reads backwards. ALTER TABLE writes a record for every live row,
// in slot order, with neither length nor slot (encoded values delimit
// themselves), and LogReader reads it forwards: when it is undone, the later
// entries have been, so the live rows are again those it went through. A
// record never spans two chunks. The first chunk grows as a string does (an
// UPDATE of one row keeps a few bytes); past a megabyte the log goes on in
// fresh chunks of that size, so a large log is never reallocated and copied.
struct PatchLog {
  static constexpr std::size_t kChunk = 1 << 20;
  // An UPDATE's record is the old values of the changed columns, their
  // length (4 bytes) and the slot (4 bytes). A row still borrowed from the
  // snapshot whose change gave it bytes of its own records instead where its
  // old bytes are (pointer, 4-byte size) with kBorrowed set in the length:
  // they stay in the snapshot untouched until the row borrows them again.
  // Old values are kept packed (PackBlanks): char columns are mostly blanks.
  static constexpr std::uint32_t kBorrowed = 0x80000000u;
  // The snapshot bytes that kBorrowed records point into, kept while the log
  // may be undone.
  std::shared_ptr<char[]> keep;
  std::vector<int> cols;  // ascending
  std::vector<std::string> chunks;

  // A place in the log: records written after it can be undone alone.
  struct Mark {
    std::size_t chunks = 0;  // chunks in use
    std::size_t bytes = 0;   // bytes of the last of them
  };
  Mark End() const { return {chunks.size(), chunks.empty() ? 0 : chunks.back().size()}; }

  std::string& Room(std::size_t need) {
    if (chunks.empty() || (chunks.back().capacity() >= kChunk &&
                           chunks.back().size() + need > chunks.back().capacity())) {
      chunks.emplace_back();
      if (chunks.size() > 1) chunks.back().reserve(std::max(kChunk, need));
    }
    return chunks.back();
  }
};

// Runs of three or more blanks as 0xFF and the run's length less two (up to
// 255); a 0xFF byte as 0xFF 0x00. UnpackBlanks is the inverse.
void PackBlanks(std::string_view in, std::string& out);
void UnpackBlanks(std::string_view in, std::string& out);

// Puts back the old values the UPDATE records after `from` hold, newest row
// first, and drops those records.
void UndoPatch(Table& t, PatchLog& log, PatchLog::Mark from);

// Reads the records ALTER TABLE wrote to a PatchLog, oldest first.
class LogReader {
 public:
  explicit LogReader(const PatchLog& log) : log_(log) {}
  // The unread part of the current chunk; empty once the whole log is read.
  std::string_view Rest() {
    while (chunk_ < log_.chunks.size() && at_ == log_.chunks[chunk_].size()) {
      ++chunk_;
      at_ = 0;
    }
    if (chunk_ == log_.chunks.size()) return {};
    return std::string_view(log_.chunks[chunk_]).substr(at_);
  }
  void Advance(std::size_t n) { at_ += n; }

 private:
  const PatchLog& log_;
  std::size_t chunk_ = 0, at_ = 0;
};

struct UndoDetail {
  std::map<std::string, std::shared_ptr<Table>> tables;
  std::vector<Object> objects;
  int next_id = 0;
  std::unique_ptr<Index> index;
  std::string index_name;
  bool index_unbuilt = false;  // IndexDropped: dropped while the table's indexes were unbuilt
  int col = 0;    // ColumnDefault, ColumnAltered: the column; ColumnsAdded: the count before
  Column column;  // ColumnDefault, ColumnAltered: its definition before
  std::vector<Column> cols;    // ColumnsDropped: the columns before
  std::uint32_t appended = 0;  // ColumnsAdded: bytes added to every live row
  std::uint32_t rows = 1;      // RowIns: slots slot .. slot + rows - 1, one statement's;
                               // RowsSpilled: the table's slots
  std::uint64_t spill_at = 0, spill_bytes = 0;  // RowsSpilled: where in the spill file
  std::int64_t identity_next = 0;
  bool identity_used = false;
};

// One entry of the undo log. Row entries are small; what schema changes need
// lives in the detail, allocated only for them. ALTER TABLE changes the table
// in place: its entries keep what undoing needs, never a copy of the table.
struct Session::Undo {
  enum K {
    RowIns,
    RowPatch,
    RowDel,
    Schema,
    IndexAdded,
    IndexDropped,
    ColumnDefault,
    Identity,
    ColumnsAdded,
    ColumnAltered,
    ColumnsDropped,
    RowsSpilled
  } k;
  std::uint32_t slot = 0;
  std::shared_ptr<Table> t;
  Row old;
  std::unique_ptr<UndoDetail> d;
  std::unique_ptr<PatchLog> patch;  // RowPatch, ColumnAltered, ColumnsDropped

  UndoDetail& D() {
    if (!d) d = std::make_unique<UndoDetail>();
    return *d;
  }
};

struct Session::Source {
  std::shared_ptr<Table> t;
  std::string alias;
};

struct Session::Scope {
  std::vector<Source> srcs;
};

struct Session::Ctx {
  const Row* const* rows = nullptr;          // raw row per source
  const std::vector<Value>* aggs = nullptr;  // aggregate results
};

// Undo of ALTER TABLE ADD, ALTER COLUMN and DROP COLUMN (ddl.cpp). Each finds
// the table as its statement left it, the later entries being undone.
void UndoColumnsAdded(Table& t, UndoDetail& d);
void UndoColumnAltered(Table& t, UndoDetail& d, const PatchLog& log);
void UndoColumnsDropped(Table& t, UndoDetail& d, const PatchLog& log);

// A variable's or parameter's name as the session keys it: lower case.
inline std::string VariableKey(std::string_view name) {
  std::string r(name);
  for (char& c : r) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return r;
}

// The error e as met by the statement at line: the batch names the
// statement's line, whatever line the error was raised on.
inline Error AtLine(const Error& e, int line) {
  Error moved(e.number(), e.severity(), e.what(), line);
  moved.follow_on = e.follow_on;
  moved.procedure = e.procedure;
  return moved;
}

// Holds a session's turn at the gate for one statement.
class GateTurn {
 public:
  GateTurn(StatementGate* gate, const Session& s) : gate_(gate), s_(s) {}
  ~GateTurn() {
    if (entered_) gate_->Leave(s_);
  }
  GateTurn(const GateTurn&) = delete;
  GateTurn& operator=(const GateTurn&) = delete;
  void Enter(const std::function<bool()>& cancelled) {
    if (!gate_) return;
    gate_->Enter(s_, cancelled);
    entered_ = true;
  }

 private:
  StatementGate* gate_;
  const Session& s_;
  bool entered_ = false;
};

// e with one more message after it (4922 after 5074, 1750 after 2714, ...).
inline Error WithFollow(Error e, int number, int severity, std::string text) {
  e.follow_on.push_back({number, severity, std::move(text)});
  return e;
}

// Indexes of t with a key column among cols (ascending).
inline std::vector<Index*> IndexesOver(const Table& t, const std::vector<int>& cols) {
  std::vector<Index*> out;
  for (const auto& ix : t.indexes)
    for (int c : ix->cols)
      if (std::binary_search(cols.begin(), cols.end(), c)) {
        out.push_back(ix.get());
        break;
      }
  return out;
}

// The look-ups of t over a column among cols (ascending).
inline void AppendLookupsOver(const Table& t, const std::vector<int>& cols,
                              std::vector<Index*>& out) {
  for (const auto& lk : t.lookups)
    if (std::binary_search(cols.begin(), cols.end(), lk->cols[0])) out.push_back(lk.get());
}

}  // namespace engine
