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

#include "engine/executor.h"

namespace engine {

// Old bytes of the columns an UPDATE changed, row by row, so that undoing it
// needs no copy of whole rows: the old encodings of cols in order, then the
// record's length and the slot, both u32, so the log reads backwards. The first
// chunk grows as a string does (an UPDATE of one row keeps a few bytes); past a
// megabyte the log goes on in fresh chunks of that size, so a large log is
// never reallocated and copied.
struct PatchLog {
  static constexpr std::size_t kChunk = 1 << 20;
  std::vector<int> cols;  // ascending
  std::vector<std::string> chunks;

  std::string& Room(std::size_t need) {
    if (chunks.empty() || (chunks.back().capacity() >= kChunk &&
                           chunks.back().size() + need > chunks.back().capacity())) {
      chunks.emplace_back();
      if (chunks.size() > 1) chunks.back().reserve(std::max(kChunk, need));
    }
    return chunks.back();
  }
};

struct UndoDetail {
  std::map<std::string, std::shared_ptr<Table>> tables;
  std::vector<Object> objects;
  int next_id = 0;
  std::unique_ptr<Index> index;
  std::string index_name;
  int col = 0;
  Column column;
  std::int64_t identity_next = 0;
  bool identity_used = false;
};

// One entry of the undo log. Row entries are small; what schema changes need
// lives in the detail, allocated only for them.
struct Session::Undo {
  enum K { RowIns, RowPatch, RowDel, Schema, IndexAdded, IndexDropped, ColumnDefault, Identity } k;
  std::uint32_t slot = 0;
  std::shared_ptr<Table> t;
  Row old;
  std::unique_ptr<UndoDetail> d;
  std::unique_ptr<PatchLog> patch;  // RowPatch

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

}  // namespace engine
