// The system procedures drivers call on their own. See system_procedures.h.
#include "server/system_procedures.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace server {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// One row of sp_datatype_info: the engine's types as ODBC names them
// (numbers 1 char, 12 varchar, -1 text, -8 nchar, -9 nvarchar, -10 ntext,
// -2 binary, -3 varbinary, -4 image, -7 bit, -6 tinyint, 5 smallint,
// 4 int, 2 numeric, 3 decimal and money, 6 float, 7 real, 93 datetime).
struct TypeRow {
  const char* name;
  int data_type;
  long long precision;
  const char* prefix;  // nullptr: NULL
  const char* create_params;
  int searchable;
  int unsigned_attribute;  // -1: NULL
  int money;
  int min_scale, max_scale;  // -1: NULL
  int sql_data_type, datetime_sub;
  int radix;  // -1: NULL
};

const TypeRow kTypes[] = {
    {"char", 1, 8000, "'", "length", 3, -1, 0, -1, -1, 1, -1, -1},
    {"varchar", 12, 8000, "'", "max length", 3, -1, 0, -1, -1, 12, -1, -1},
    {"text", -1, 2147483647, "'", nullptr, 1, -1, 0, -1, -1, -1, -1, -1},
    {"nchar", -8, 4000, "N'", "length", 3, -1, 0, -1, -1, -8, -1, -1},
    {"nvarchar", -9, 4000, "N'", "max length", 3, -1, 0, -1, -1, -9, -1, -1},
    {"ntext", -10, 1073741823, "N'", nullptr, 1, -1, 0, -1, -1, -10, -1, -1},
    {"binary", -2, 8000, "0x", "length", 2, -1, 0, -1, -1, -2, -1, -1},
    {"varbinary", -3, 8000, "0x", "max length", 2, -1, 0, -1, -1, -3, -1, -1},
    {"image", -4, 2147483647, "0x", nullptr, 0, -1, 0, -1, -1, -4, -1, -1},
    {"bit", -7, 1, nullptr, nullptr, 2, -1, 0, 0, 0, -7, -1, -1},
    {"tinyint", -6, 3, nullptr, nullptr, 2, 1, 0, 0, 0, -6, -1, 10},
    {"smallint", 5, 5, nullptr, nullptr, 2, 0, 0, 0, 0, 5, -1, 10},
    {"int", 4, 10, nullptr, nullptr, 2, 0, 0, 0, 0, 4, -1, 10},
    {"numeric", 2, 18, nullptr, "precision,scale", 2, 0, 0, 0, 18, 2, -1, 10},
    {"decimal", 3, 18, nullptr, "precision,scale", 2, 0, 0, 0, 18, 3, -1, 10},
    {"money", 3, 19, "$", nullptr, 2, 0, 1, 4, 4, 3, -1, 10},
    {"float", 6, 53, nullptr, nullptr, 2, 0, 0, -1, -1, 6, -1, 2},
    {"real", 7, 24, nullptr, nullptr, 2, 0, 0, -1, -1, 7, -1, 2},
    {"datetime", 93, 23, "'", nullptr, 3, -1, 0, 3, 3, 9, 3, -1},
};

// A literal of s, or null.
std::string Text(const char* s) {
  if (!s) return "null";
  std::string out = "'";
  for (const char* p = s; *p; ++p) {
    out += *p;
    if (*p == '\'') out += '\'';
  }
  return out + "'";
}

std::string Number(long long v, bool null_when_negative = true) {
  return null_when_negative && v < 0 ? "null" : std::to_string(v);
}

}  // namespace

std::optional<std::string> SystemProcedureQuery(const std::string& batch) {
  std::vector<std::string> words, written;
  std::string word;
  for (char c : batch) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      if (!word.empty()) {
        words.push_back(Lower(word));
        written.push_back(word);
      }
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) {
    words.push_back(Lower(word));
    written.push_back(word);
  }
  // SET FMTONLY ON select * from T SET FMTONLY OFF: the table's columns
  // without its rows (FreeTDS's bcp before a bulk load).
  if (words.size() == 10 && words[0] == "set" && words[1] == "fmtonly" && words[2] == "on" &&
      words[3] == "select" && words[4] == "*" && words[5] == "from" && words[7] == "set" &&
      words[8] == "fmtonly" && words[9] == "off" && batch.find(',') == std::string::npos)
    return "select * from " + written[6] + " where 1 = 0";
  // [EXEC[UTE]] sp_datatype_info[_90|_100] [type [, odbc version]]
  std::size_t at = 0;
  if (at < words.size() && (words[at] == "exec" || words[at] == "execute")) ++at;
  if (at >= words.size()) return std::nullopt;
  std::string proc = words[at++];
  if (proc.rfind("sys.", 0) == 0) proc = proc.substr(4);
  if (proc != "sp_datatype_info" && proc != "sp_datatype_info_90" && proc != "sp_datatype_info_100")
    return std::nullopt;
  if (words.size() - at > 2) return std::nullopt;
  int wanted = 0;  // SQL_ALL_TYPES
  if (at < words.size()) {
    std::string w = words[at];
    if (!w.empty() && w[0] == '@') {  // @data_type = n
      std::size_t eq = w.find('=');
      if (eq == std::string::npos) return std::nullopt;
      w = w.substr(eq + 1);
    }
    char* end = nullptr;
    long v = std::strtol(w.c_str(), &end, 10);
    if (w.empty() || *end) return std::nullopt;
    wanted = static_cast<int>(v);
  }
  // Column types fixed by the first row's casts; the rows of the type asked
  // for (all of them for 0), or none.
  std::string sql;
  for (const TypeRow& t : kTypes) {
    if (wanted != 0 && t.data_type != wanted) continue;
    const bool first = sql.empty();
    auto col = [&](const std::string& v, const char* type, const char* name) {
      return first ? "cast(" + v + " as " + type + ") as " + name : v;
    };
    sql += first ? "select " : " union all select ";
    sql += col("'" + std::string(t.name) + "'", "varchar(128)", "TYPE_NAME") + ", " +
           col(std::to_string(t.data_type), "smallint", "DATA_TYPE") + ", " +
           col(std::to_string(t.precision), "int", "PRECISION") + ", " +
           col(Text(t.prefix), "varchar(32)", "LITERAL_PREFIX") + ", " +
           col(t.prefix ? Text(t.prefix[0] == '0' || t.prefix[0] == '$' ? nullptr : "'") : "null",
               "varchar(32)", "LITERAL_SUFFIX") +
           ", " + col(Text(t.create_params), "varchar(32)", "CREATE_PARAMS") + ", " +
           col("1", "smallint", "NULLABLE") + ", " + col("0", "smallint", "CASE_SENSITIVE") + ", " +
           col(std::to_string(t.searchable), "smallint", "SEARCHABLE") + ", " +
           col(Number(t.unsigned_attribute), "smallint", "UNSIGNED_ATTRIBUTE") + ", " +
           col(std::to_string(t.money), "smallint", "MONEY") + ", " +
           col("0", "smallint", "AUTO_INCREMENT") + ", " +
           col("'" + std::string(t.name) + "'", "varchar(128)", "LOCAL_TYPE_NAME") + ", " +
           col(Number(t.min_scale), "smallint", "MINIMUM_SCALE") + ", " +
           col(Number(t.max_scale), "smallint", "MAXIMUM_SCALE") + ", " +
           col(Number(t.sql_data_type, false), "smallint", "SQL_DATA_TYPE") + ", " +
           col(Number(t.datetime_sub), "smallint", "SQL_DATETIME_SUB") + ", " +
           col(Number(t.radix), "int", "NUM_PREC_RADIX") + ", " +
           col("null", "smallint", "INTERVAL_PRECISION") + ", " + col("0", "smallint", "USERTYPE");
  }
  if (sql.empty()) sql = "select cast(null as varchar(128)) as TYPE_NAME where 1 = 0";
  return sql;
}

}  // namespace server
