// Parameters of remote procedure calls as the engine takes them: a call
// becomes a batch that declares each parameter as a variable holding its
// value, then runs the statement. Here: the variable's type and the literal
// of its value from what the client sent, and the parameter list of
// sp_executesql and sp_prepare read for the names and OUTPUT marks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/tds.h"

namespace server {

struct SqlParam {
  std::string type;     // an engine type: "int", "varchar(12)", "numeric(18,4)", ...
  std::string literal;  // code page 936: "12", "'it''s'", "0x0A0B", "null"
};

// Throws tds::ProtocolError for a value whose bytes do not fit its type.
// Types the engine lacks arrive as the nearest it has: date and time types
// as datetime, nchar data as varchar in code page 936, uniqueidentifier as
// char(36).
SqlParam ParamAsSql(const tds::RpcParam& p);

struct DeclaredParam {
  std::string name;  // "@p1", as written
  bool output = false;
};

// "@p1 int, @p2 varchar(10) OUTPUT" (code page 936) to its names and marks.
std::vector<DeclaredParam> ParseDeclarations(std::string_view list);

// The parameter's value as text in code page 936 (sp_executesql's
// statement and list, sp_prepare's handle): char and nchar data converted,
// integers in decimal.
std::string ParamText(const tds::RpcParam& p);

}  // namespace server
