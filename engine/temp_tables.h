// Temporary tables private to a session. A session opened for a client of a
// server has a suffix of its own; every name that starts with a single '#'
// in its batches is given that suffix before the batch is parsed, so that
// two sessions' #t are two tables of the catalogue ("#t" + suffix), as
// SQL Server keeps them in tempdb. Everything after parsing (locks, the
// journal, views, replay at opening) sees the suffixed name; the suffix is
// taken out again from the messages and column names a client sees.
// ##name tables are not suffixed: every session shares them. The database
// drops a session's #tables when the session closes or is reset, and every
// #table and ##table a closed process left when it opens.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace engine {

class Session;

// The suffix of the #tables of session spid: underscores and hex digits,
// unchanged by case folding.
std::string TempTableSuffix(int spid);

// name with the suffix appended when it is a #name (one '#') not already
// carrying it; any other name as it is.
std::string NameTempTable(std::string_view name, const std::string& suffix);

// Whether a catalogue name is a #table or a ##table.
inline bool IsTempTable(std::string_view name) {
  return !name.empty() && name[0] == '#';
}

// The batch with each #name suffixed (a stored procedure's text, as the
// session running it names its tables).
std::string NameTempTables(std::string_view batch, const std::string& suffix);
// text without any session's suffix (a procedure's text as it is kept:
// each session that runs it names its own #tables).
std::string UnnameTempTables(std::string_view text);
// The suffix taken out of the messages and column names of results.
void Unname(std::vector<StatementResult>& results, const std::string& suffix);

// Runs a batch of session s (its temp_suffix set) with its #names suffixed;
// results, messages and errors come back with the suffix taken out.
std::vector<StatementResult> ExecuteNamingTempTables(Session& s, std::string_view batch,
                                                     const std::function<bool()>& cancelled);

// The DROP TABLE batch for the tables of names (catalogue names as they
// are), empty when there are none.
std::string DropTablesBatch(const std::vector<std::string>& names);

}  // namespace engine
