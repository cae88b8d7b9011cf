// Catalogue reading, the expected-catalogue file and their comparison; the
// data dump of the idempotence check.
#include "tests/upgrade/catalogue.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iterator>
#include <set>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "text/gbk.h"

namespace upgrade_check {
namespace {

using Row = std::vector<std::optional<std::string>>;

std::vector<Row> Select(db::Connection& c, const std::string& sql) {
  auto cursor = c.Execute(sql);
  std::vector<Row> rows;
  const std::size_t n = cursor->Columns().size();
  while (cursor->Fetch()) {
    Row r;
    for (std::size_t i = 0; i < n; ++i) r.push_back(cursor->Value(i));
    rows.push_back(std::move(r));
  }
  return rows;
}

// The same, or nullopt when the server has no such catalogue table or column.
std::optional<std::vector<Row>> TrySelect(db::Connection& c, const std::string& sql) {
  try {
    return Select(c, sql);
  } catch (const db::Error&) {
    return std::nullopt;
  }
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

std::string Str(const std::optional<std::string>& v) { return v ? text::Trim(*v) : std::string(); }

long long Num(const std::optional<std::string>& v) {
  const std::string s = Str(v);
  if (s.empty()) return 0;
  return std::stoll(s);
}

std::string TypeName(long long xtype, long long length, long long prec, long long scale) {
  switch (xtype) {
    case 56: return "int";
    case 61: return "datetime";
    case 35: return "text";
    case 34: return "image";
    case 175: return "char(" + std::to_string(length) + ")";
    case 167: return "varchar(" + std::to_string(length) + ")";
    case 108: return "numeric(" + std::to_string(prec) + "," + std::to_string(scale) + ")";
    case 106: return "decimal(" + std::to_string(prec) + "," + std::to_string(scale) + ")";
    default: return "xtype " + std::to_string(xtype);
  }
}

// A default's expression without its outer parentheses and blanks, and with
// letters outside quotes in lower case, so that "(getdate())", "((0))" and
// "getdate()" / "0" compare equal.
std::string NormalDefault(std::string_view expr) {
  std::string s = text::Trim(expr);
  for (;;) {
    if (s.size() < 2 || s.front() != '(' || s.back() != ')') break;
    // Only strip when the first "(" closes at the very end.
    int depth = 0;
    bool in_quote = false;
    std::size_t close = std::string::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\'') in_quote = !in_quote;
      if (in_quote) continue;
      if (s[i] == '(') ++depth;
      if (s[i] == ')' && --depth == 0) {
        close = i;
        break;
      }
    }
    if (close != s.size() - 1) break;
    s = text::Trim(s.substr(1, s.size() - 2));
  }
  std::string out;
  bool in_quote = false;
  for (char ch : s) {
    if (ch == '\'') in_quote = !in_quote;
    if (!in_quote && std::isspace(static_cast<unsigned char>(ch))) continue;
    out += in_quote ? ch : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  return out;
}

std::string U(std::string_view gbk) {
  try {
    return text::Utf8(gbk);
  } catch (...) {
    return std::string(gbk);
  }
}

std::string Join(const std::vector<std::string>& v, const char* sep = ",") {
  std::string out;
  for (const auto& s : v) {
    if (!out.empty()) out += sep;
    out += s;
  }
  return out;
}

std::vector<std::string> LowerAll(const std::vector<std::string>& v) {
  std::vector<std::string> out;
  for (const auto& s : v) out.push_back(Lower(s));
  return out;
}

// Splits a line of the expected file into words; a '...' literal (quotes
// doubled inside) is one word even when it holds blanks.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    std::string w;
    bool in_quote = false;
    while (i < line.size() && (in_quote || !std::isspace(static_cast<unsigned char>(line[i])))) {
      if (line[i] == '\'') in_quote = !in_quote;
      w += line[i++];
    }
    if (in_quote) throw std::runtime_error("unterminated quote");
    words.push_back(w);
  }
  return words;
}

}  // namespace

Catalogue ReadCatalogue(db::Connection& c) {
  Catalogue cat;
  std::map<long long, std::string> user_tables;  // id -> lower-case name
  for (const Row& r : Select(c, "select name, id, xtype from sysobjects")) {
    const std::string name = Str(r[0]);
    const std::string xtype = Str(r[2]);
    cat.objects[Lower(name)] = xtype;
    if (xtype == "U") {
      user_tables[Num(r[1])] = Lower(name);
      cat.tables[Lower(name)].name = name;
    }
  }

  std::map<long long, std::string> comments;  // default object id -> text
  if (auto rows = TrySelect(c, "select id, text from syscomments")) {
    for (const Row& r : *rows)
      if (r[1]) comments[Num(r[0])] += *r[1];
  }
  const bool have_comments = TrySelect(c, "select id from syscomments where 1=0").has_value();

  auto cols = TrySelect(c,
                        "select id, name, colid, xtype, length, prec, scale, isnullable, cdefault, "
                        "status from syscolumns");
  const bool have_status = cols.has_value();
  if (!cols)
    cols = Select(c,
                  "select id, name, colid, xtype, length, prec, scale, isnullable, cdefault "
                  "from syscolumns");
  std::map<long long, std::vector<std::pair<long long, ColumnInfo>>> by_table;
  std::map<std::pair<long long, long long>, std::string> col_names;  // (id, colid) -> name
  for (const Row& r : *cols) {
    const long long id = Num(r[0]);
    if (!user_tables.count(id)) continue;
    ColumnInfo ci;
    ci.name = Str(r[1]);
    ci.type = TypeName(Num(r[3]), Num(r[4]), Num(r[5]), Num(r[6]));
    ci.nullable = Num(r[7]) != 0;
    const long long cdefault = Num(r[8]);
    ci.has_default = cdefault != 0;
    if (ci.has_default && have_comments) {
      auto it = comments.find(cdefault);
      ci.default_text = it == comments.end() ? std::string() : it->second;
    }
    if (have_status) ci.identity = (Num(r[9]) & 0x80) != 0;
    col_names[{id, Num(r[2])}] = ci.name;
    by_table[id].emplace_back(Num(r[2]), std::move(ci));
  }
  for (auto& [id, list] : by_table) {
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [colid, ci] : list) cat.tables[user_tables[id]].columns.push_back(std::move(ci));
  }

  std::set<std::string> pk_names;
  for (const auto& [name, xtype] : cat.objects)
    if (xtype == "PK") pk_names.insert(name);

  std::map<std::pair<long long, long long>, std::vector<std::pair<long long, std::string>>> keys;
  const auto key_rows = TrySelect(c, "select id, indid, colid, keyno from sysindexkeys");
  if (key_rows) {
    for (const Row& r : *key_rows)
      keys[{Num(r[0]), Num(r[1])}].emplace_back(Num(r[3]), col_names[{Num(r[0]), Num(r[2])}]);
  }
  for (const Row& r : Select(c, "select id, indid, name from sysindexes")) {
    const long long id = Num(r[0]);
    const long long indid = Num(r[1]);
    const std::string name = Str(r[2]);
    if (!user_tables.count(id) || indid < 1 || indid > 254) continue;
    if (Lower(name).rfind("_wa_sys", 0) == 0) continue;  // statistics, not indexes
    IndexInfo ii;
    ii.name = name;
    ii.primary_key = pk_names.count(Lower(name)) > 0;
    if (key_rows) {
      auto list = keys[{id, indid}];
      std::sort(list.begin(), list.end());
      std::vector<std::string> names;
      for (auto& [keyno, col] : list) names.push_back(col);
      ii.columns = names;
    }
    cat.tables[user_tables[id]].indexes.push_back(std::move(ii));
  }
  for (auto& [name, t] : cat.tables)
    std::sort(t.indexes.begin(), t.indexes.end(),
              [](const IndexInfo& a, const IndexInfo& b) { return Lower(a.name) < Lower(b.name); });
  return cat;
}

std::string Describe(const Catalogue& cat) {
  std::ostringstream out;
  for (const auto& [key, t] : cat.tables) {
    out << "table " << key << "\n";
    for (const ColumnInfo& col : t.columns) {
      out << "  column " << Lower(col.name) << " " << col.type << (col.nullable ? " null" : " notnull");
      if (col.has_default)
        out << " default " << (col.default_text ? U(NormalDefault(*col.default_text)) : "yes");
      if (col.identity && *col.identity) out << " identity";
      out << "\n";
    }
    for (const IndexInfo& ix : t.indexes) {
      out << (ix.primary_key ? "  pk " : "  index ") << Lower(ix.name);
      if (ix.columns) out << " " << Join(LowerAll(*ix.columns));
      out << "\n";
    }
  }
  return out.str();
}

Expected ParseExpected(const std::string& utf8_text, const std::string& origin) {
  Expected ex;
  std::istringstream in(utf8_text);
  std::string line;
  int number = 0;
  ExpectedTable* current = nullptr;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error(origin + ":" + std::to_string(number) + ": " + why);
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = text::Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    std::vector<std::string> w;
    try {
      w = Words(line);
    } catch (const std::exception& e) {
      fail(e.what());
    }
    const std::string& kind = w[0];
    if (kind == "table" || kind == "partial") {
      if (w.size() != 2) fail("expected: " + kind + " NAME");
      ex.tables.push_back({w[1], kind == "partial", {}, {}});
      current = &ex.tables.back();
    } else if (kind == "absent") {
      if (w.size() != 2) fail("expected: absent NAME");
      ex.absent.push_back(w[1]);
      current = nullptr;
    } else if (kind == "column") {
      if (!current) fail("column outside a table");
      if (w.size() != 5 && !(w.size() == 6 && w[5] == "identity"))
        fail("expected: column NAME TYPE NULLS DEFAULT [identity]");
      if (w[3] != "null" && w[3] != "notnull" && w[3] != "?") fail("nullability must be null, notnull or ?");
      if (!current->partial && (w[2] == "?" || w[3] == "?") )
        fail("a table the upgrade makes must state every type and nullability");
      current->columns.push_back({w[1], w[2], w[3], text::Gbk(w[4]), w.size() == 6});
    } else if (kind == "pk" || kind == "index") {
      if (!current) fail(kind + " outside a table");
      if (w.size() != 3) fail("expected: " + kind + " NAME COL[,COL...]");
      ExpectedIndex ix{w[1], kind == "pk", {}};
      std::stringstream cols(w[2]);
      for (std::string col; std::getline(cols, col, ',');) ix.columns.push_back(col);
      current->indexes.push_back(std::move(ix));
    } else {
      fail("unknown item '" + kind + "'");
    }
  }
  return ex;
}

Expected LoadExpected(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream all;
  all << in.rdbuf();
  return ParseExpected(all.str(), file.string());
}

std::vector<std::string> Compare(const Expected& expected, const Catalogue& found) {
  std::vector<std::string> diffs;
  auto add = [&](std::string s) { diffs.push_back(std::move(s)); };

  for (const ExpectedTable& et : expected.tables) {
    const std::string key = Lower(et.name);
    auto it = found.tables.find(key);
    if (it == found.tables.end()) {
      auto obj = found.objects.find(key);
      if (obj != found.objects.end())
        add(et.name + " is an object of kind " + obj->second + ", not a table");
      else
        add("missing table " + et.name);
      continue;
    }
    const TableInfo& t = it->second;
    std::map<std::string, const ColumnInfo*> cols;
    for (const ColumnInfo& col : t.columns) cols[Lower(col.name)] = &col;

    for (const ExpectedColumn& ec : et.columns) {
      const std::string where = et.name + "." + ec.name;
      auto c = cols.find(Lower(ec.name));
      if (c == cols.end()) {
        add("missing column " + where);
        continue;
      }
      const ColumnInfo& col = *c->second;
      if (ec.type != "?" && Lower(ec.type) != col.type)
        add("wrong type of " + where + ": expected " + ec.type + ", found " + col.type);
      if (ec.nulls != "?" && (ec.nulls == "null") != col.nullable)
        add("wrong nullability of " + where + ": expected " + ec.nulls + ", found " +
            (col.nullable ? "null" : "notnull"));
      if (ec.dflt == "-" && col.has_default) add("unexpected default on " + where);
      if (ec.dflt != "-" && ec.dflt != "?") {
        if (!col.has_default)
          add("missing default on " + where + " (expected " + U(ec.dflt) + ")");
        else if (col.default_text && NormalDefault(*col.default_text) != NormalDefault(ec.dflt))
          add("wrong default of " + where + ": expected " + U(ec.dflt) + ", found " +
              U(*col.default_text));
      }
      if (ec.type != "?" && col.identity && *col.identity != ec.identity)
        add(where + (ec.identity ? " is not an identity column" : " is an unexpected identity column"));
    }

    if (!et.partial) {
      std::set<std::string> listed;
      std::vector<std::string> expected_order, found_order;
      for (const ExpectedColumn& ec : et.columns) {
        listed.insert(Lower(ec.name));
        expected_order.push_back(Lower(ec.name));
      }
      for (const ColumnInfo& col : t.columns) {
        found_order.push_back(Lower(col.name));
        if (!listed.count(Lower(col.name))) add("unexpected column " + et.name + "." + col.name);
      }
      if (std::is_permutation(expected_order.begin(), expected_order.end(), found_order.begin(),
                              found_order.end()) &&
          expected_order != found_order)
        add("wrong column order of " + et.name + ": expected " + Join(expected_order) + "; found " +
            Join(found_order));
    }

    std::map<std::string, const IndexInfo*> indexes;
    for (const IndexInfo& ix : t.indexes) indexes[Lower(ix.name)] = &ix;
    std::set<std::string> listed_indexes;
    for (const ExpectedIndex& ei : et.indexes) {
      listed_indexes.insert(Lower(ei.name));
      const std::string what = (ei.primary_key ? "primary key " : "index ") + ei.name;
      auto ix = indexes.find(Lower(ei.name));
      if (ix == indexes.end()) {
        std::string elsewhere;
        for (const auto& [tk, other] : found.tables)
          for (const IndexInfo& o : other.indexes)
            if (Lower(o.name) == Lower(ei.name)) elsewhere = other.name;
        add("missing " + what + " on " + et.name +
            (elsewhere.empty() ? std::string() : " (it is on " + elsewhere + ")"));
        continue;
      }
      if (ix->second->primary_key != ei.primary_key)
        add(ei.name + " on " + et.name + " is " +
            (ix->second->primary_key ? "a primary key, expected a plain index"
                                     : "a plain index, expected a primary key"));
      if (ix->second->columns && LowerAll(*ix->second->columns) != LowerAll(ei.columns))
        add("wrong columns of " + what + ": expected " + Join(ei.columns) + ", found " +
            Join(*ix->second->columns));
    }
    if (!et.partial)
      for (const IndexInfo& ix : t.indexes)
        if (!listed_indexes.count(Lower(ix.name)))
          add(std::string("unexpected ") + (ix.primary_key ? "primary key " : "index ") + ix.name +
              " on " + et.name);
  }

  for (const std::string& name : expected.absent)
    if (found.objects.count(Lower(name))) add("work table " + name + " is left behind");
  return diffs;
}

DataDump DumpData(db::Connection& c) {
  DataDump dump;
  for (const Row& r : Select(c, "select name from sysobjects where xtype='U'")) {
    const std::string table = Str(r[0]);
    std::vector<std::string> lines;
    for (const Row& row : Select(c, "select * from " + table)) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i) line += '\x01';
        line += row[i] ? *row[i] : std::string("\\N");
      }
      lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    dump[Lower(table)] = std::move(lines);
  }
  return dump;
}

std::string ShowRow(const std::string& row) {
  std::string out;
  std::stringstream parts(row);
  for (std::string v; std::getline(parts, v, '\x01');) {
    if (!out.empty()) out += " | ";
    out += U(text::TrimRight(v));
  }
  return out;
}

namespace {

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

}  // namespace

RunState ReadRunState(db::Connection& c) {
  const Catalogue cat = ReadCatalogue(c);
  RunState s;
  s.catalogue = Describe(cat);
  s.data = DumpData(c);
  const std::string today = Today();
  for (auto& [table, rows] : s.data) {
    const auto t = cat.tables.find(table);
    if (t == cat.tables.end()) continue;
    for (std::string& row : rows) {
      std::vector<std::string> values;
      std::stringstream parts(row);
      for (std::string v; std::getline(parts, v, '\x01');) values.push_back(v);
      if (!row.empty() && row.back() == '\x01') values.emplace_back();
      for (std::size_t i = 0; i < values.size() && i < t->second.columns.size(); ++i) {
        const ColumnInfo& col = t->second.columns[i];
        if (col.identity.value_or(false)) values[i] = "#identity";
        if (col.type == "datetime" && values[i].rfind(today, 0) == 0) values[i] = "#today";
      }
      row.clear();
      for (std::size_t i = 0; i < values.size(); ++i) row += (i ? "\x01" : "") + values[i];
    }
    std::sort(rows.begin(), rows.end());
  }
  return s;
}

RunState ReadRunState(const std::filesystem::path& embedded_file) {
  auto c = db::Connect({"embedded:" + embedded_file.string(), "sa", ""});
  return ReadRunState(*c);
}

namespace {

std::string CatalogueWithout(const std::string& catalogue, const std::string& ignored) {
  if (ignored.empty()) return catalogue;
  std::istringstream in(catalogue);
  std::string out;
  bool skipping = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("table ", 0) == 0) skipping = line == "table " + ignored;
    if (!skipping) out += line + "\n";
  }
  return out;
}

}  // namespace

std::vector<std::string> Differences(const RunState& want, const RunState& got,
                                     const std::string& ignored) {
  std::vector<std::string> out;
  if (CatalogueWithout(want.catalogue, ignored) != CatalogueWithout(got.catalogue, ignored))
    out.push_back("the catalogue differs");
  std::set<std::string> tables;
  for (const auto& [t, rows] : want.data) tables.insert(t);
  for (const auto& [t, rows] : got.data) tables.insert(t);
  tables.erase(ignored);
  for (const std::string& t : tables) {
    const auto w = want.data.find(t);
    const auto g = got.data.find(t);
    if (w == want.data.end() || g == got.data.end()) {
      out.push_back(t + (w == want.data.end() ? ": a table too many" : ": missing"));
      continue;
    }
    std::vector<std::string> gone, added;
    std::set_difference(w->second.begin(), w->second.end(), g->second.begin(), g->second.end(),
                        std::back_inserter(gone));
    std::set_difference(g->second.begin(), g->second.end(), w->second.begin(), w->second.end(),
                        std::back_inserter(added));
    if (!gone.empty())
      out.push_back(t + ": " + std::to_string(gone.size()) + " row(s) missing or changed, e.g. " +
                    ShowRow(gone.front()));
    if (!added.empty())
      out.push_back(t + ": " + std::to_string(added.size()) + " row(s) too many or changed, e.g. " +
                    ShowRow(added.front()));
  }
  return out;
}

}  // namespace upgrade_check
