// What the two source files of the pre-2005 consolidation share: the
// statement shapes of its table set-up, and the byte rules by which the
// catalogue's titles and authors are cut into sub-fields. Not for other steps.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "steps/upgrader.h"

namespace steps::consolidation {

// lbProcess "处理：" + task (UTF-8), then repaint and one pass of the queue.
void Announce(Upgrader& u, std::string_view task_utf8);

// "create table NAME ( ", one "    column," line per column, closing line.
std::vector<std::string> CreateTable(std::string_view table, const std::vector<std::string>& columns,
                                     std::string_view closing = ") ");
// "ALTER TABLE t ADD CONSTRAINT ", "PK_t PRIMARY KEY NONCLUSTERED", "(cols)".
std::vector<std::string> PrimaryKey(std::string_view table, std::string_view columns);
// Announces the index, probes it, creates it WITH PAD_INDEX,FILLFACTOR=85 when absent.
void CreateIndexIfAbsent(Upgrader& u, std::string_view index, std::string_view table, std::string_view columns);

// A copy of GBK text in which every byte that belongs to no double-byte
// character (lead 0x81-0xFE, trail 0x40-0x7E or 0x80-0xFE) is a blank;
// same length as its argument.
std::string ClearHalfChar(std::string_view gbk);

struct Split {
  std::string first;   // main title / first author
  std::string second;  // sub-title / the other authors
};
// Title at its first colon ("：", else ":") unless that colon lies inside the
// first bracket pair; both halves cleaned and trimmed.
Split SplitTitle(std::string_view gbk_title);
// Author at its first "；", else ";"; both halves cleaned and trimmed.
Split SplitAuthor(std::string_view gbk_author);

// Position of needle in gbk, searched only at character boundaries, so a
// full-width sign never matches the trail byte of one character and the lead
// byte of the next. npos when absent.
std::size_t FindGbk(std::string_view gbk, std::string_view needle);

// The second stretch: catalogue sub-fields and keys, their indexes, the
// language table, the classification load, the card-system columns, the
// reader status, and the closing label.
void ConsolidateCatalogue(Upgrader& u);

}  // namespace steps::consolidation
