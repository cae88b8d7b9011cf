// System procedures that drivers call on their own and the engine does not
// have, answered as queries the engine runs: sp_datatype_info (ODBC's
// SQLGetTypeInfo, which pyodbc asks at every connection for the sizes and the
// datetime precision it sends parameters with), and SET FMTONLY ON around
// "select * from T" (FreeTDS's bcp, for a table's columns).
#pragma once

#include <optional>
#include <string>

namespace server {

// When batch is a call of such a procedure ("sp_datatype_info_100 93, 3",
// "exec sp_datatype_info -9") or "SET FMTONLY ON select * from T SET
// FMTONLY OFF", the query that gives its result; otherwise nullopt.
std::optional<std::string> SystemProcedureQuery(const std::string& batch);

}  // namespace server
