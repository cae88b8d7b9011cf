// Recursive-descent parser of the T-SQL the library's programs send.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>

#include "engine/ascii.h"
#include "engine/ast.h"
#include "engine/lexer.h"

namespace engine {

namespace {

const std::set<std::string> kReserved = {
    "add",        "all",          "alter",   "and",       "as",          "asc",      "begin",
    "between",    "by",           "case",    "check",     "clustered",   "column",   "commit",
    "constraint", "create",       "default", "delete",    "desc",        "distinct", "drop",
    "else",       "end",          "exec",    "execute",   "exists",      "for",      "from",
    "go",         "group",        "having",  "identity",  "if",          "in",       "index",
    "inner",      "insert",       "into",    "is",        "join",        "key",      "left",
    "like",       "nonclustered", "not",     "null",      "on",          "or",       "order",
    "primary",    "print",        "proc",    "procedure", "rollback",    "select",   "set",
    "table",      "then",         "top",     "tran",      "transaction", "union",    "unique",
    "update",     "values",       "view",    "when",      "where",       "with",     "declare",
    "return",     "use",          "cross",   "outer",     "right",       "save",
    "except",     "intersect",    "while",   "break",     "continue",    "full",     "raiserror"};

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return r;
}

class Parser {
 public:
  explicit Parser(std::string_view src) : src_(src), toks_(Tokenize(src)) {}

  std::vector<std::unique_ptr<Stmt>> Batch() {
    std::vector<std::unique_ptr<Stmt>> out;
    for (;;) {
      while (Peek().IsSymbol(";")) ++pos_;
      if (Peek().kind == Tok::End) break;
      if (Peek().Is("with") && pos_ > 0 && !toks_[pos_ - 1].IsSymbol(";"))
        throw Error(319, 15,
                    "Incorrect syntax near the keyword 'with'. If this statement is a common table "
                    "expression, an xmlnamespaces clause or a change tracking context clause, the "
                    "previous statement must be terminated with a semicolon.",
                    Peek().line);
      out.push_back(Statement());
      const Stmt& made = *out.back();
      if (out.size() > 1 && made.k == Stmt::CreateObject && made.xtype == "P")
        throw Error(111, 15, "'CREATE/ALTER PROCEDURE' must be the first statement in a query batch.",
                    made.line);
    }
    return out;
  }

  ExprP LoneExpression() {
    ExprP e = Expression();
    if (Peek().kind != Tok::End) Fail();
    return e;
  }

 private:
  const Token& Peek(int ahead = 0) const {
    std::size_t p = pos_ + ahead;
    return p < toks_.size() ? toks_[p] : toks_.back();
  }
  const Token& Next() {
    const Token& t = Peek();
    if (pos_ < toks_.size() - 1) ++pos_;
    return t;
  }
  bool Accept(std::string_view word) {
    if (Peek().Is(word)) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AcceptSymbol(std::string_view s) {
    if (Peek().IsSymbol(s)) {
      ++pos_;
      return true;
    }
    return false;
  }
  [[noreturn]] void Fail() const {
    const Token& t = Peek();
    if (t.kind == Tok::End)
      throw Error(102, 15, "Incorrect syntax near '" + LastText() + "'.", t.line);
    if (t.kind == Tok::Ident && !t.quoted && kReserved.count(Lower(t.text)))
      throw Error(156, 15, "Incorrect syntax near the keyword '" + Lower(t.text) + "'.", t.line);
    std::string shown =
        t.kind == Tok::String ? t.text : std::string(src_.substr(t.offset, t.end - t.offset));
    throw Error(102, 15, "Incorrect syntax near '" + shown + "'.", t.line);
  }
  std::string LastText() const {
    if (pos_ == 0) return "";
    const Token& t = toks_[pos_ - 1];
    return std::string(src_.substr(t.offset, t.end - t.offset));
  }
  void Expect(std::string_view word) {
    if (!Accept(word)) Fail();
  }
  void ExpectSymbol(std::string_view s) {
    if (!AcceptSymbol(s)) Fail();
  }
  bool IsName(const Token& t) const {
    return t.kind == Tok::Ident && (t.quoted || !kReserved.count(Lower(t.text)));
  }
  std::string Name() {
    if (!IsName(Peek())) Fail();
    return Next().text;
  }
  // dbo.table or db..table or table: the last part names the object.
  std::string ObjectName() {
    std::string n = Name();
    while (Peek().IsSymbol(".")) {
      ++pos_;
      while (AcceptSymbol(".")) {
      }
      n = Name();
    }
    return n;
  }

  std::unique_ptr<Stmt> Statement() {
    auto s = std::make_unique<Stmt>();
    const Token& first = Peek();
    s->line = first.line;
    s->begin = first.offset;
    if (Accept("with")) {
      // WITH cte [(columns)] AS (query), ... then the statement that uses them.
      std::vector<Cte> ctes;
      do {
        Cte c;
        c.name = Name();
        if (AcceptSymbol("(")) {
          do c.columns.push_back(Name());
          while (AcceptSymbol(","));
          ExpectSymbol(")");
        }
        Expect("as");
        ExpectSymbol("(");
        if (Accept("select")) {
          c.query = SelectBody();
        } else {
          c.query = SetTail(QueryPrimary());
          OrderBy(*c.query);
        }
        ExpectSymbol(")");
        for (const Cte& d : ctes)
          if (Lower(d.name) == Lower(c.name))
            throw Error(239, 16,
                        "Duplicate common table expression name '" + c.name +
                            "' was specified.",
                        first.line);
        ctes.push_back(std::move(c));
      } while (AcceptSymbol(","));
      if (!Peek().Is("select") && !Peek().Is("insert") && !Peek().Is("update") &&
          !Peek().Is("delete") && !Peek().IsSymbol("("))
        Fail();
      std::unique_ptr<Stmt> inner = Statement();
      inner->ctes = std::move(ctes);
      inner->line = first.line;
      inner->begin = first.offset;
      if (Accept("option")) {
        ExpectSymbol("(");
        if (!Peek().Is("maxrecursion")) Fail();
        Next();
        if (Peek().kind != Tok::Number) Fail();
        const long long n = std::atoll(Next().text.c_str());
        if (n > 32767)
          throw Error(310, 15,
                      "The value " + std::to_string(n) +
                          " specified for the MAXRECURSION option exceeds the allowed maximum of "
                          "32767.",
                      first.line);
        inner->max_recursion = static_cast<int>(n);
        ExpectSymbol(")");
      }
      inner->end = toks_[pos_ == 0 ? 0 : pos_ - 1].end;
      return inner;
    } else if (Accept("select")) {
      s->k = Stmt::SelectStmt;
      s->select = SelectBody();
    } else if (Peek().IsSymbol("(")) {  // (SELECT ...) UNION ...
      s->k = Stmt::SelectStmt;
      s->select = SetTail(QueryPrimary());
      OrderBy(*s->select);
    } else if (Accept("insert")) {
      Insert(*s);
    } else if (Accept("update")) {
      Update(*s);
    } else if (Accept("delete")) {
      s->k = Stmt::Delete;
      Accept("from");
      s->table = ObjectName();
      if (Accept("where")) s->where = Expression();
    } else if (Accept("create")) {
      Create(*s);
    } else if (Accept("drop")) {
      Drop(*s);
    } else if (Accept("alter")) {
      Alter(*s);
    } else if (Peek().Is("begin") && (Peek(1).Is("try") || !(Peek(1).Is("tran") ||
                                                             Peek(1).Is("transaction") ||
                                                             Peek(1).Is("distributed")))) {
      Next();
      if (Accept("try")) {
        s->k = Stmt::Try;
        s->block = StatementsTo("try");
        Expect("begin");
        if (!Peek().Is("catch")) Fail();
        Next();
        ++in_catch_;
        s->catch_block = StatementsTo("catch");
        --in_catch_;
      } else {
        s->k = Stmt::Block;
        s->block = StatementsTo("");
      }
    } else if (Accept("while")) {
      s->k = Stmt::While;
      s->cond = Expression();
      ++in_loop_;
      s->then_stmt = Statement();
      --in_loop_;
    } else if (Accept("break") || Accept("continue")) {
      const bool brk = toks_[pos_ - 1].Is("break");
      s->k = brk ? Stmt::Break : Stmt::Continue;
      if (in_loop_ == 0)
        throw Error(brk ? 135 : 136, 15,
                    std::string("Cannot use a ") + (brk ? "BREAK" : "CONTINUE") +
                        " statement outside the scope of a WHILE statement.",
                    first.line);
    } else if (Accept("return")) {
      s->k = Stmt::Return;
      if (StartsExpression(Peek()) && in_proc_) {
        s->cond = Expression();
      } else if (StartsExpression(Peek())) {
        throw Error(178, 15,
                    "A RETURN statement with a return value cannot be used in this context.",
                    first.line);
      }
    } else if (Accept("raiserror")) {
      s->k = Stmt::Raiserror;
      ExpectSymbol("(");
      do s->args.push_back(Expression());
      while (AcceptSymbol(","));
      ExpectSymbol(")");
      if (s->args.size() < 3) Fail();
      if (Accept("with")) {
        do s->names.push_back(Lower(Name()));
        while (AcceptSymbol(","));
      }
    } else if (Peek().Is("throw") && !Peek(1).IsSymbol("=") && !Peek(1).IsSymbol(".")) {
      Next();
      s->k = Stmt::Throw;
      if (StartsExpression(Peek())) {
        do s->args.push_back(Expression());
        while (AcceptSymbol(","));
        if (s->args.size() != 3) Fail();
      } else if (in_catch_ == 0) {
        throw Error(10704, 15,
                    "To rethrow an error, a THROW statement must be used inside a CATCH block.",
                    first.line);
      }
    } else if (Accept("begin")) {
      if (!Accept("tran") && !Accept("transaction")) Fail();
      s->k = Stmt::Begin;
      if (IsName(Peek()) && Peek().line == first.line) s->name = Next().text;
    } else if (Accept("commit") || Accept("rollback")) {
      s->k = toks_[pos_ - 1].Is("commit") ? Stmt::Commit : Stmt::Rollback;
      if (Accept("tran") || Accept("transaction") || Accept("work"))
        if (IsName(Peek()) && Peek().line == toks_[pos_ - 1].line) s->name = Next().text;
    } else if (Accept("save")) {
      if (!Accept("tran") && !Accept("transaction")) Fail();
      s->k = Stmt::Save;
      s->name = Name();
    } else if (Accept("if")) {
      s->k = Stmt::If;
      s->cond = Expression();
      s->then_stmt = Statement();
      while (AcceptSymbol(";")) {
      }
      if (Accept("else")) s->else_stmt = Statement();
    } else if (Accept("declare")) {
      s->k = Stmt::Declare;
      do {
        if (Peek().kind != Tok::Variable) Fail();
        ColumnDef c;
        c.name = Lower(Next().text);
        Accept("as");
        c.type = ParseType(static_cast<int>(s->columns.size()) + 1);
        if (AcceptSymbol("=")) c.def = Expression();
        s->columns.push_back(std::move(c));
      } while (AcceptSymbol(","));
    } else if (Peek().Is("set") && Peek(1).kind == Tok::Variable) {
      Next();
      s->k = Stmt::SetVar;
      s->name = Lower(Next().text);
      ExpectSymbol("=");
      s->cond = Expression();
    } else if (Accept("backup")) {
      // BACKUP DATABASE name TO DISK = 'path' [WITH option [= value], ...]
      if (!Accept("database")) Fail();
      s->k = Stmt::Backup;
      s->name = Name();
      Expect("to");
      if (!Accept("disk")) Fail();
      ExpectSymbol("=");
      if (Peek().kind != Tok::String || Peek().binary) Fail();
      s->body = Next().text;
      if (Accept("with")) {
        do {
          s->names.push_back(Lower(Name()));
          if (AcceptSymbol("=")) Next();
        } while (AcceptSymbol(","));
      }
    } else if (Accept("set")) {
      SetOption(*s);
    } else if (Accept("exec") || Accept("execute")) {
      s->k = Stmt::Exec;
      if (Peek().kind == Tok::Variable && Peek(1).IsSymbol("=")) {
        s->var = Lower(Next().text);
        Next();
      }
      s->name = ObjectName();
      // The arguments end at the next statement, or at a keyword that ends
      // the block the EXEC is in (END, ELSE).
      auto ends_arguments = [&](const Token& t) {
        return t.kind == Tok::End || t.IsSymbol(";") || StartsStatement(t) ||
               (t.kind == Tok::Ident && !t.quoted && kReserved.count(Lower(t.text)) &&
                !t.Is("default") && !t.Is("null"));
      };
      while (Peek().kind == Tok::Variable || !ends_arguments(Peek())) {
        std::string pname;
        if (Peek().kind == Tok::Variable && Peek(1).IsSymbol("=")) {
          pname = Next().text;
          ++pos_;
        }
        s->params.emplace_back(pname, Argument());
        const bool output = Accept("output") || Accept("out");
        if (output && (!s->params.back().second || s->params.back().second->k != Expr::Var))
          throw Error(179, 15,
                      "Cannot use the OUTPUT option when passing a constant to a stored "
                      "procedure.",
                      first.line);
        s->outputs.push_back(output);
        if (!AcceptSymbol(",")) break;
      }
    } else if (Accept("print")) {
      s->k = Stmt::Print;
      s->cond = Expression();
    } else {
      Fail();
    }
    s->end = toks_[pos_ == 0 ? 0 : pos_ - 1].end;
    return s;
  }

  // An argument of EXEC: a constant (a bare word is a string), a variable
  // or DEFAULT (null: the parameter's default).
  ExprP Argument() {
    if (Accept("default")) return nullptr;
    const Token& t = Peek();
    if (t.kind == Tok::Ident && !kReserved.count(Lower(t.text)) && !Peek(1).IsSymbol("(") &&
        !Peek(1).IsSymbol(".")) {
      auto e = std::make_unique<Expr>();
      e->k = Expr::Lit;
      e->lit = Value::Str(Next().text);
      return e;
    }
    ExprP e = Unary();
    const Expr* v = e.get();
    if (v->k == Expr::Neg && !v->args.empty()) v = v->args[0].get();
    if (v->k != Expr::Lit && v->k != Expr::Var)
      throw Error(102, 15,
                  "Incorrect syntax near '" + std::string(src_.substr(t.offset, t.end - t.offset)) +
                      "'.",
                  t.line);
    return e;
  }

  // SET option value. The options the session keeps (XACT_ABORT,
  // LOCK_TIMEOUT, ROWCOUNT, NOCOUNT) become statements of their own; the
  // others are accepted with the value the engine always behaves by and
  // refused with any other (error 50000 naming the option), so that no
  // script believes it changed what it did not.
  void SetOption(Stmt& s) {
    const Token& opt = Peek();
    if (opt.kind != Tok::Ident) Fail();
    std::string option = Lower(Next().text);
    auto on_off = [&] {
      if (!Peek().Is("on") && !Peek().Is("off")) Fail();
      return Lower(Next().text) == "on";
    };
    auto refuse = [&](const std::string& what) {
      throw Error(50000, 16,
                  "The embedded engine cannot honour SET " + what +
                      ": it always runs as SQL Server does with an ODBC connection's defaults.",
                  opt.line);
    };
    if (option == "xact_abort") {
      s.k = Stmt::SetXactAbort;
      s.on = on_off();
    } else if (option == "nocount") {
      s.k = Stmt::SetNocount;  // whether a server sends row counts
      s.on = on_off();
    } else if (option == "lock_timeout" || option == "rowcount") {
      // SET LOCK_TIMEOUT n: how long a statement waits for another
      // session's transaction; -1 (the default) waits for ever. SET
      // ROWCOUNT n: statements stop after n rows (0: no limit).
      s.k = option == "rowcount" ? Stmt::SetRowCount : Stmt::SetLockTimeout;
      if (Peek().kind == Tok::Variable && s.k == Stmt::SetRowCount) {
        s.cond = Primary();
      } else {
        bool minus = AcceptSymbol("-");
        if (Peek().kind != Tok::Number) Fail();
        s.number = std::strtoll(Next().text.c_str(), nullptr, 10) * (minus ? -1 : 1);
      }
    } else if (option == "ansi_nulls" || option == "ansi_padding" || option == "ansi_warnings" ||
               option == "concat_null_yields_null" || option == "quoted_identifier" ||
               option == "ansi_null_dflt_on" || option == "ansi_defaults") {
      s.k = Stmt::Nothing;
      if (!on_off()) refuse(Upper(option) + " OFF");
    } else if (option == "implicit_transactions" || option == "cursor_close_on_commit" ||
               option == "ansi_null_dflt_off" || option == "numeric_roundabort" ||
               option == "fmtonly" || option == "noexec" || option == "parseonly" ||
               option == "showplan_text" || option == "showplan_all" || option == "showplan_xml" ||
               option == "forceplan") {
      s.k = Stmt::Nothing;
      if (on_off()) refuse(Upper(option) + " ON");
    } else if (option == "arithabort" || option == "arithignore") {
      // With ANSI_WARNINGS ON (always), ARITHABORT changes nothing;
      // ARITHIGNORE only silences messages of errors the engine raises anyway.
      s.k = Stmt::Nothing;
      bool on = on_off();
      if (option == "arithignore" && on) refuse("ARITHIGNORE ON");
    } else if (option == "dateformat") {
      s.k = Stmt::Nothing;
      std::string v = Peek().kind == Tok::Ident || Peek().kind == Tok::String ? Lower(Next().text)
                                                                               : "";
      // A us_english login's default (mdy) reads a date written year first as
      // ymd does, and the engine reads no other kind of date string.
      if (v != "ymd" && v != "mdy") refuse("DATEFORMAT " + (v.empty() ? LastText() : v));
    } else if (option == "datefirst") {
      s.k = Stmt::Nothing;
      if (Peek().kind != Tok::Number) Fail();
      if (Next().text != "7") refuse("DATEFIRST " + LastText());
    } else if (option == "language") {
      s.k = Stmt::Nothing;
      std::string v = Lower(Next().text);
      if (v != "us_english" && v != "english") refuse("LANGUAGE " + v);
    } else if (option == "textsize") {
      // SET TEXTSIZE n: text and image values in results cut to n bytes.
      s.k = Stmt::SetTextSize;
      bool minus = AcceptSymbol("-");
      if (Peek().kind != Tok::Number) Fail();
      s.number = std::strtoll(Next().text.c_str(), nullptr, 10) * (minus ? -1 : 1);
    } else if (option == "transaction") {
      // SET TRANSACTION ISOLATION LEVEL: one session writes at a time, so
      // READ COMMITTED and stronger levels read what they would.
      s.k = Stmt::Nothing;
      Expect("isolation");
      Expect("level");
      std::string level;
      while (Peek().kind == Tok::Ident && !StartsStatement(Peek()) && Peek().line == opt.line)
        level += (level.empty() ? "" : " ") + Lower(Next().text);
      if (level != "read committed" && level != "repeatable read" && level != "serializable")
        refuse("TRANSACTION ISOLATION LEVEL " + Upper(level));
    } else {
      refuse(Upper(option));
    }
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(AsciiUpper(static_cast<unsigned char>(c)));
    return s;
  }

  // The statements of a block up to its END (END TRY, END CATCH).
  std::vector<std::unique_ptr<Stmt>> StatementsTo(const char* kind) {
    std::vector<std::unique_ptr<Stmt>> out;
    for (;;) {
      while (AcceptSymbol(";")) {
      }
      if (Peek().Is("end")) {
        if (out.empty() && !*kind) Fail();  // BEGIN END is a syntax error
        break;
      }
      if (Peek().kind == Tok::End) Fail();
      out.push_back(Statement());
    }
    Next();
    if (*kind) {
      if (!Peek().Is(kind)) Fail();
      Next();
    }
    return out;
  }

  // Whether t may begin the value of RETURN or THROW (on the same statement).
  bool StartsExpression(const Token& t) const {
    if (t.kind == Tok::End || t.IsSymbol(";")) return false;
    if (t.kind == Tok::Number || t.kind == Tok::String || t.kind == Tok::Variable) return true;
    if (t.IsSymbol("(") || t.IsSymbol("-") || t.IsSymbol("+")) return true;
    if (t.kind == Tok::Ident && !t.quoted)
      return !kReserved.count(Lower(t.text)) && !StartsStatement(t) && !t.Is("throw");
    return t.kind == Tok::Ident;
  }

  bool StartsStatement(const Token& t) const {
    static const char* kStarts[] = {"select",  "insert", "update", "delete",   "create", "drop",
                                    "alter",   "begin",  "commit", "rollback", "if",     "exec",
                                    "execute", "set",    "print",  "else",     "save",
                                    "declare", "backup", "while",  "break",    "continue",
                                    "return",  "raiserror"};
    for (const char* w : kStarts)
      if (t.Is(w)) return true;
    return false;
  }

  void Insert(Stmt& s) {
    s.k = Stmt::Insert;
    Accept("into");
    s.table = ObjectName();
    if (Peek().IsSymbol("(") && !Peek(1).Is("select")) {
      ++pos_;
      do s.names.push_back(Name());
      while (AcceptSymbol(","));
      ExpectSymbol(")");
    }
    if (Accept("values")) {
      do {
        ExpectSymbol("(");
        std::vector<ExprP> row;
        do row.push_back(Expression());
        while (AcceptSymbol(","));
        ExpectSymbol(")");
        s.values.push_back(std::move(row));
      } while (AcceptSymbol(","));
    } else if (Accept("select")) {
      s.select = SelectBody();
    } else if (AcceptSymbol("(")) {
      Expect("select");
      s.select = SelectBody();
      ExpectSymbol(")");
    } else {
      Fail();
    }
  }

  void Update(Stmt& s) {
    s.k = Stmt::Update;
    s.table = ObjectName();
    Expect("set");
    do {
      std::string col = Name();
      if (AcceptSymbol(".")) col = Name();
      ExpectSymbol("=");
      s.sets.emplace_back(col, Expression());
    } while (AcceptSymbol(","));
    if (Accept("where")) s.where = Expression();
  }

  // A type as written in a declaration (ordinal: the column's, parameter's
  // or variable's place in its list, named by errors) or, with ordinal 0,
  // in CAST and CONVERT.
  TypeSpec ParseType(int ordinal) {
    const Token& t = Peek();
    Type ty;
    if (t.kind != Tok::Ident) Fail();
    if (!TypeFromName(t.text, &ty)) {
      if (ordinal == 0)
        throw Error(243, 16, "Type " + t.text + " is not a defined system type.", t.line);
      throw Error(2715, 16,
                  "Column, parameter, or variable #" + std::to_string(ordinal) +
                      ": Cannot find data type " + t.text + ".",
                  t.line);
    }
    const std::string nth = "#" + std::to_string(ordinal == 0 ? 1 : ordinal);
    std::string raw = Lower(Next().text);
    TypeSpec type_spec{ty, 0, 0, 0};
    // char, varchar, binary and varbinary without a length: 30 in CAST and
    // CONVERT, 1 in a declaration, as SQL Server has it.
    if (ty == Type::Char || ty == Type::VarChar || ty == Type::Binary || ty == Type::VarBinary)
      type_spec.length = ordinal == 0 ? 30 : 1;
    if (ty == Type::Numeric) type_spec.precision = 18;
    if (raw == "real") type_spec.precision = 24;
    if (AcceptSymbol("(")) {
      if (Peek().Is("max")) {
        Next();
        // The engine's long types stand for the (max) ones.
        type_spec.type = ty == Type::Binary || ty == Type::VarBinary ? Type::Image : Type::Text;
      } else {
        if (Peek().kind != Tok::Number) Fail();
        int a = std::atoi(Next().text.c_str());
        int b = 0;
        if (AcceptSymbol(",")) {
          if (Peek().kind != Tok::Number) Fail();
          b = std::atoi(Next().text.c_str());
        }
        if (ty == Type::Char || ty == Type::VarChar || ty == Type::Binary ||
            ty == Type::VarBinary) {
          if (a < 1 || a > 8000)
            throw Error(131, 15,
                        "The size (" + std::to_string(a) + ") given to the type '" + raw +
                            "' exceeds the maximum allowed for any data type (8000).",
                        t.line);
          type_spec.length = a;
        } else if (ty == Type::Numeric) {
          if (a < 1 || a > 38)
            throw Error(2750, 16,
                        "Column or parameter " + nth + ": Specified column precision " + std::to_string(a) +
                            " is greater than the maximum precision of 38.",
                        t.line);
          type_spec.precision = a;
          type_spec.scale = b;
          if (b > a)
            throw Error(2751, 16,
                        "Column or parameter " + nth + ": Specified column scale " + std::to_string(b) +
                            " is greater than the specified precision of " + std::to_string(a) +
                            ".",
                        t.line);
        }
      }
      ExpectSymbol(")");
    }
    if (type_spec.type == Type::Money) {
      type_spec.precision = 19;
      type_spec.scale = 4;
    }
    return type_spec;
  }

  ExprP DefaultExpr(std::string* text) {
    std::size_t from = Peek().offset;
    ExprP e;
    if (Peek().IsSymbol("(")) {
      e = Primary();
    } else {
      e = Unary();
    }
    *text = std::string(src_.substr(from, toks_[pos_ - 1].end - from));
    return e;
  }

  // A column definition, the ordinal-th of its list.
  ColumnDef Column(int ordinal) {
    ColumnDef c;
    c.name = Name();
    c.type = ParseType(ordinal);
    for (;;) {
      if (Accept("null")) {
        c.null_given = true;
        c.not_null = false;
      } else if (Peek().Is("not") && Peek(1).Is("null")) {
        pos_ += 2;
        c.null_given = true;
        c.not_null = true;
      } else if (Accept("default")) {
        c.def = DefaultExpr(&c.def_text);
      } else if (Accept("constraint")) {
        std::string cname = Name();
        if (Accept("default")) {
          c.def_name = cname;
          c.def = DefaultExpr(&c.def_text);
        } else if (Accept("primary")) {
          Expect("key");
          c.primary_key = true;
          c.pk_name = cname;
          c.clustered = !Accept("nonclustered") && (Accept("clustered") || true);
        } else {
          Fail();
        }
      } else if (Accept("identity")) {
        c.identity = true;
        if (AcceptSymbol("(")) {
          c.seed = SignedNumber();
          ExpectSymbol(",");
          c.increment = SignedNumber();
          ExpectSymbol(")");
        }
      } else if (Accept("primary")) {
        Expect("key");
        c.primary_key = true;
        c.clustered = !Accept("nonclustered");
        Accept("clustered");
      } else if (Accept("collate")) {
        Name();
      } else {
        break;
      }
    }
    return c;
  }

  std::int64_t SignedNumber() {
    bool neg = AcceptSymbol("-");
    if (Peek().kind != Tok::Number) Fail();
    std::int64_t v = std::atoll(Next().text.c_str());
    return neg ? -v : v;
  }

  void IndexColumns(std::vector<std::string>* names) {
    ExpectSymbol("(");
    do {
      names->push_back(Name());
      if (!Accept("asc")) Accept("desc");
    } while (AcceptSymbol(","));
    ExpectSymbol(")");
  }

  void PrimaryKeyTail(Stmt& s) {
    s.clustered = true;
    if (Accept("nonclustered"))
      s.clustered = false;
    else
      Accept("clustered");
    IndexColumns(&s.names);
    SkipWith();
  }

  void SkipWith() {
    if (!Accept("with")) return;
    bool paren = AcceptSymbol("(");
    do {
      Name();
      if (AcceptSymbol("=")) Next();
    } while (AcceptSymbol(","));
    if (paren) ExpectSymbol(")");
    if (Accept("on")) Name();
  }

  void Create(Stmt& s) {
    if (Accept("table")) {
      s.k = Stmt::CreateTable;
      s.table = ObjectName();
      ExpectSymbol("(");
      do {
        if (Accept("constraint")) {
          std::string cname = Name();
          Expect("primary");
          Expect("key");
          if (!s.name.empty()) Fail();
          s.name = cname;
          PrimaryKeyTail(s);
        } else if (Peek().Is("primary")) {
          Next();
          Expect("key");
          s.name = "";
          PrimaryKeyTail(s);
          s.unique = true;  // unnamed table-level key
        } else {
          s.columns.push_back(Column(static_cast<int>(s.columns.size()) + 1));
        }
      } while (AcceptSymbol(","));
      ExpectSymbol(")");
      if (Accept("on")) Name();
      return;
    }
    bool unique = Accept("unique");
    bool clustered = false;
    if (Accept("clustered"))
      clustered = true;
    else
      Accept("nonclustered");
    if (Accept("index")) {
      s.k = Stmt::CreateIndex;
      s.unique = unique;
      s.clustered = clustered;
      s.name = Name();
      Expect("on");
      s.table = ObjectName();
      IndexColumns(&s.names);
      SkipWith();
      return;
    }
    if (unique || clustered) Fail();
    if (Accept("view"))
      s.xtype = "V";
    else if (Accept("proc") || Accept("procedure"))
      s.xtype = "P";
    else if (Accept("trigger"))
      s.xtype = "TR";
    else
      Fail();
    s.k = Stmt::CreateObject;
    s.name = ObjectName();
    // The body runs to the end of the batch, as on SQL Server where CREATE
    // VIEW / PROCEDURE must be the only statement of its batch.
    s.body = std::string(src_.substr(s.begin));
    if (s.xtype == "V") {
      // A view's query is parsed now, so that a view that cannot work is
      // refused when it is made.
      ViewTail(&s.names);
      return;
    }
    if (s.xtype == "P") {
      ProcedureTail(s);
      return;
    }
    while (Peek().kind != Tok::End) Next();
  }

  // After CREATE PROCEDURE name: the parameters (columns: name, type,
  // default, output), WITH options, AS and the body (block), to the end of
  // the text.
  void ProcedureTail(Stmt& s) {
    if (!keep_unparsed_) return ProcedureParts(s);
    // Replaying the journal: a procedure an earlier release kept without
    // reading its body is kept again; a syntax error comes when it runs.
    const std::size_t at = pos_;
    try {
      ProcedureParts(s);
    } catch (const Error&) {
      pos_ = at;
      s.columns.clear();
      s.block.clear();
      while (Peek().kind != Tok::End) Next();
    }
  }

  void ProcedureParts(Stmt& s) {
    const bool paren = AcceptSymbol("(");
    if (Peek().kind == Tok::Variable) {
      do {
        if (Peek().kind != Tok::Variable) Fail();
        const Token& v = Next();
        ColumnDef c;
        c.name = v.text;  // as written, for messages
        for (const ColumnDef& p : s.columns)
          if (Lower(p.name) == Lower(c.name))
            throw Error(134, 15,
                        "The variable name '" + v.text +
                            "' has already been declared. Variable names must be unique within a "
                            "query batch or stored procedure.",
                        v.line);
        Accept("as");
        c.type = ParseType(static_cast<int>(s.columns.size()) + 1);
        Accept("varying");
        if (AcceptSymbol("=")) c.def = Argument();
        if (!c.def && toks_[pos_ - 1].Is("default")) Fail();
        c.output = Accept("output") || Accept("out");
        Accept("readonly");
        s.columns.push_back(std::move(c));
      } while (AcceptSymbol(","));
    }
    if (paren) ExpectSymbol(")");
    if (Accept("with")) {
      do Name();
      while (AcceptSymbol(","));
    }
    Expect("as");
    ++in_proc_;
    for (;;) {
      while (AcceptSymbol(";")) {
      }
      if (Peek().kind == Tok::End) break;
      s.block.push_back(Statement());
    }
    --in_proc_;
    if (s.block.empty()) Fail();
  }

 public:
  // A stored CREATE (or ALTER) PROCEDURE statement.
  std::unique_ptr<Stmt> Procedure() {
    auto s = std::make_unique<Stmt>();
    s->line = Peek().line;
    s->begin = Peek().offset;
    s->k = Stmt::CreateObject;
    s->xtype = "P";
    if (!Accept("create")) Expect("alter");
    if (!Accept("proc")) Expect("procedure");
    s->name = ObjectName();
    ProcedureTail(*s);
    return s;
  }

 private:

 public:
  // After CREATE VIEW name: [(columns)] AS query, to the end of the text.
  std::unique_ptr<Select> ViewTail(std::vector<std::string>* columns) {
    if (AcceptSymbol("(")) {
      do columns->push_back(Name());
      while (AcceptSymbol(","));
      ExpectSymbol(")");
    }
    Expect("as");
    std::unique_ptr<Select> q;
    if (Accept("select")) {
      q = SelectBody();
    } else {
      q = SetTail(QueryPrimary());
      OrderBy(*q);
    }
    while (AcceptSymbol(";")) {
    }
    if (Peek().kind != Tok::End) Fail();
    return q;
  }

  // A stored CREATE VIEW statement: its query and column names.
  std::unique_ptr<Select> View(std::vector<std::string>* columns) {
    Expect("create");
    Expect("view");
    ObjectName();
    return ViewTail(columns);
  }

 private:

  void Drop(Stmt& s) {
    if (Accept("table")) {
      s.k = Stmt::DropTable;
      do s.names.push_back(ObjectName());
      while (AcceptSymbol(","));
    } else if (Accept("index")) {
      s.k = Stmt::DropIndex;
      do {
        std::string a = Name();
        if (AcceptSymbol(".")) {
          std::string b = Name();
          if (AcceptSymbol(".")) {  // owner.table.index
            a = b;
            b = Name();
          }
          s.names.push_back(a + "." + b);
        } else if (Accept("on")) {
          s.names.push_back(ObjectName() + "." + a);
        } else {
          throw Error(159, 16,
                      "Must specify the table name and index name for the DROP INDEX statement.",
                      s.line);
        }
      } while (AcceptSymbol(","));
    } else if (Accept("view") || Accept("proc") || Accept("procedure") || Accept("trigger")) {
      const Token& kw = toks_[pos_ - 1];
      s.k = Stmt::DropObject;
      s.xtype = kw.Is("view") ? "V" : kw.Is("trigger") ? "TR" : "P";
      do s.names.push_back(ObjectName());
      while (AcceptSymbol(","));
    } else {
      Fail();
    }
  }

  void Alter(Stmt& s) {
    if (Accept("proc") || Accept("procedure")) {
      s.k = Stmt::CreateObject;
      s.xtype = "P";
      s.on = true;  // ALTER: the procedure must be there
      s.name = ObjectName();
      s.body = std::string(src_.substr(s.begin));
      ProcedureTail(s);
      return;
    }
    Expect("table");
    s.table = ObjectName();
    if (Accept("add")) {
      if (Accept("constraint")) {
        s.name = Name();
        if (Accept("primary")) {
          Expect("key");
          s.k = Stmt::AlterAddPk;
          PrimaryKeyTail(s);
        } else if (Accept("default")) {
          s.k = Stmt::AlterAddDefault;
          ColumnDef c;
          c.def = DefaultExpr(&c.def_text);
          Expect("for");
          c.name = Name();
          s.columns.push_back(std::move(c));
        } else {
          Fail();
        }
        return;
      }
      s.k = Stmt::AlterAdd;
      do s.columns.push_back(Column(static_cast<int>(s.columns.size()) + 1));
      while (AcceptSymbol(","));
    } else if (Accept("alter")) {
      Expect("column");
      s.k = Stmt::AlterAlterColumn;
      ColumnDef c;
      c.name = Name();
      c.type = ParseType(1);
      if (Accept("null")) {
        c.null_given = true;
      } else if (Accept("not")) {
        Expect("null");
        c.null_given = c.not_null = true;
      }
      s.columns.push_back(std::move(c));
    } else if (Accept("drop")) {
      if (Accept("constraint")) {
        s.k = Stmt::AlterDropConstraint;
        s.name = Name();
      } else {
        Accept("column");
        s.k = Stmt::AlterDropColumn;
        do s.names.push_back(Name());
        while (AcceptSymbol(","));
      }
    } else {
      Fail();
    }
  }

  // ---- SELECT ----

  // A query after its first SELECT: the SELECT, any UNION [ALL], EXCEPT and
  // INTERSECT that follow (INTERSECT binding tighter, the others from the
  // left), then ORDER BY, which sorts the whole.
  std::unique_ptr<Select> SelectBody() {
    std::unique_ptr<Select> q = SetTail(SelectCore());
    OrderBy(*q);
    return q;
  }

  void OrderBy(Select& q) {
    if (!Accept("order")) return;
    Expect("by");
    do {
      OrderItem o;
      o.expr = Expression();
      if (Accept("desc"))
        o.desc = true;
      else
        Accept("asc");
      q.order.push_back(std::move(o));
    } while (AcceptSymbol(","));
  }

  static std::unique_ptr<Select> Combine(Select::SetOp op, std::unique_ptr<Select> lhs,
                                         std::unique_ptr<Select> rhs) {
    auto q = std::make_unique<Select>();
    q->set_op = op;
    q->lhs = std::move(lhs);
    q->rhs = std::move(rhs);
    return q;
  }

  // SELECT ... or ( query ) as an operand of a set operator.
  std::unique_ptr<Select> QueryPrimary() {
    if (AcceptSymbol("(")) {
      std::unique_ptr<Select> q;
      if (Peek().IsSymbol("(")) {
        q = QueryPrimary();
        q = SetTail(std::move(q));
        OrderBy(*q);
      } else {
        Expect("select");
        q = SelectBody();
      }
      ExpectSymbol(")");
      return q;
    }
    Expect("select");
    return SelectCore();
  }

  std::unique_ptr<Select> IntersectTail(std::unique_ptr<Select> lhs) {
    while (Accept("intersect")) lhs = Combine(Select::Intersect, std::move(lhs), QueryPrimary());
    return lhs;
  }

  std::unique_ptr<Select> SetTail(std::unique_ptr<Select> lhs) {
    lhs = IntersectTail(std::move(lhs));
    for (;;) {
      Select::SetOp op;
      if (Accept("union"))
        op = Accept("all") ? Select::UnionAll : Select::Union;
      else if (Accept("except"))
        op = Select::Except;
      else
        return lhs;
      lhs = Combine(op, std::move(lhs), IntersectTail(QueryPrimary()));
    }
  }

  // One SELECT without set operators or ORDER BY; SELECT already read.
  std::unique_ptr<Select> SelectCore() {
    auto q = std::make_unique<Select>();
    if (Accept("distinct"))
      q->distinct = true;
    else
      Accept("all");
    if (Accept("top")) {
      bool paren = AcceptSymbol("(");
      if (Peek().kind != Tok::Number) Fail();
      q->top = std::atoll(Next().text.c_str());
      if (paren) ExpectSymbol(")");
    }
    do {
      SelectItem item;
      std::size_t from = Peek().offset;
      if (Peek().IsSymbol("*")) {
        ++pos_;
        item.star = true;
      } else if (Peek().kind == Tok::Ident && Peek(1).IsSymbol(".") && Peek(2).IsSymbol("*")) {
        item.star = true;
        item.star_qual = Next().text;
        pos_ += 2;
      } else if (Peek().kind == Tok::Variable && Peek(1).IsSymbol("=")) {
        item.assign = Lower(Next().text);  // @v = expr: an assignment, not a column
        ++pos_;
        item.expr = Expression();
      } else {
        if (Peek().kind == Tok::Ident && Peek(1).IsSymbol("=") && IsName(Peek())) {
          item.alias = Next().text;  // alias = expr
          ++pos_;
        }
        item.expr = Expression();
        if (Accept("as")) {
          if (Peek().kind == Tok::String)
            item.alias = Next().text;
          else
            item.alias = Name();
        } else if (IsName(Peek())) {
          item.alias = Next().text;
        } else if (Peek().kind == Tok::String) {
          item.alias = Next().text;
        }
      }
      item.text = std::string(src_.substr(from, toks_[pos_ - 1].end - from));
      q->items.push_back(std::move(item));
    } while (AcceptSymbol(","));
    if (Accept("from")) {
      q->from.push_back(TableSource());
      for (;;) {
        if (AcceptSymbol(",")) {
          q->from.push_back(TableSource());
        } else if (Peek().Is("join") || Peek().Is("inner")) {
          Accept("inner");
          Expect("join");
          q->from.push_back(TableSource());
          Expect("on");
          q->from.back().on = Expression();
        } else {
          break;
        }
      }
    }
    if (Accept("where")) q->where = Expression();
    if (Accept("group")) {
      Expect("by");
      do q->group.push_back(Expression());
      while (AcceptSymbol(","));
    }
    if (Accept("having")) q->having = Expression();
    return q;
  }

  TableRef TableSource() {
    TableRef r;
    if (AcceptSymbol("(")) {  // a derived table, which must have an alias
      Expect("select");
      r.sub = SelectBody();
      ExpectSymbol(")");
      Accept("as");
      r.alias = Name();
      r.name = r.alias;
      return r;
    }
    r.name = ObjectName();
    if (Accept("as"))
      r.alias = Name();
    else if (IsName(Peek()) && !Peek().Is("option"))
      r.alias = Next().text;
    if (Accept("with")) {  // table hints: WITH (NOLOCK)
      ExpectSymbol("(");
      while (!AcceptSymbol(")")) Next();
    }
    return r;
  }

  // ---- expressions ----

  ExprP Make(Expr::K k, std::size_t offset) {
    auto e = std::make_unique<Expr>();
    e->k = k;
    e->offset = offset;
    return e;
  }

  ExprP Expression() { return OrExpr(); }

  ExprP OrExpr() {
    ExprP l = AndExpr();
    while (Peek().Is("or")) {
      auto e = Make(Expr::Or, Next().offset);
      e->args.push_back(std::move(l));
      e->args.push_back(AndExpr());
      l = std::move(e);
    }
    return l;
  }
  ExprP AndExpr() {
    ExprP l = NotExpr();
    while (Peek().Is("and")) {
      auto e = Make(Expr::And, Next().offset);
      e->args.push_back(std::move(l));
      e->args.push_back(NotExpr());
      l = std::move(e);
    }
    return l;
  }
  ExprP NotExpr() {
    if (Peek().Is("not")) {
      auto e = Make(Expr::Not, Next().offset);
      e->args.push_back(NotExpr());
      return e;
    }
    if (Peek().Is("exists")) {
      auto e = Make(Expr::Exists, Next().offset);
      ExpectSymbol("(");
      Expect("select");
      e->sub = SelectBody();
      ExpectSymbol(")");
      return e;
    }
    return Predicate();
  }
  ExprP Predicate() {
    ExprP l = Additive();
    const Token& t = Peek();
    static const char* kCmp[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"};
    for (const char* op : kCmp)
      if (t.IsSymbol(op)) {
        auto e = Make(Expr::Cmp, Next().offset);
        e->op = op;
        if (e->op == "!=") e->op = "<>";
        if (e->op == "!<") e->op = ">=";
        if (e->op == "!>") e->op = "<=";
        e->args.push_back(std::move(l));
        e->args.push_back(Additive());
        return e;
      }
    bool neg = false;
    if (t.Is("not") && (Peek(1).Is("like") || Peek(1).Is("in") || Peek(1).Is("between"))) {
      ++pos_;
      neg = true;
    }
    if (Accept("is")) {
      auto e = Make(Expr::IsNull, t.offset);
      e->negated = Accept("not");
      Expect("null");
      e->args.push_back(std::move(l));
      return e;
    }
    if (Accept("like")) {
      auto e = Make(Expr::Like, t.offset);
      e->negated = neg;
      e->args.push_back(std::move(l));
      e->args.push_back(Additive());
      return e;
    }
    if (Accept("between")) {
      auto e = Make(Expr::Between, t.offset);
      e->negated = neg;
      e->args.push_back(std::move(l));
      e->args.push_back(Additive());
      Expect("and");
      e->args.push_back(Additive());
      return e;
    }
    if (Accept("in")) {
      ExpectSymbol("(");
      if (Accept("select")) {
        auto e = Make(Expr::InSub, t.offset);
        e->negated = neg;
        e->args.push_back(std::move(l));
        e->sub = SelectBody();
        ExpectSymbol(")");
        return e;
      }
      auto e = Make(Expr::InList, t.offset);
      e->negated = neg;
      e->args.push_back(std::move(l));
      do e->args.push_back(Expression());
      while (AcceptSymbol(","));
      ExpectSymbol(")");
      return e;
    }
    if (neg) Fail();
    return l;
  }
  ExprP Additive() {
    ExprP l = Multiplicative();
    // T-SQL gives &, | and ^ the precedence of + and -.
    while (Peek().IsSymbol("+") || Peek().IsSymbol("-") || Peek().IsSymbol("&") ||
           Peek().IsSymbol("|") || Peek().IsSymbol("^")) {
      auto e = Make(Expr::Arith, Peek().offset);
      e->op = Next().text;
      e->args.push_back(std::move(l));
      e->args.push_back(Multiplicative());
      l = std::move(e);
    }
    return l;
  }
  ExprP Multiplicative() {
    ExprP l = Unary();
    while (Peek().IsSymbol("*") || Peek().IsSymbol("/") || Peek().IsSymbol("%")) {
      auto e = Make(Expr::Arith, Peek().offset);
      e->op = Next().text;
      e->args.push_back(std::move(l));
      e->args.push_back(Unary());
      l = std::move(e);
    }
    return l;
  }
  ExprP Unary() {
    if (Peek().IsSymbol("-")) {
      auto e = Make(Expr::Neg, Next().offset);
      e->args.push_back(Unary());
      if (e->args[0]->k == Expr::Lit && !e->args[0]->lit.null()) {  // fold -literal
        Value& v = e->args[0]->lit;
        if (v.kind == Kind::Float)
          v.f = -v.f;
        else
          v.i = -v.i;
        return std::move(e->args[0]);
      }
      return e;
    }
    if (AcceptSymbol("+")) return Unary();
    if (Peek().IsSymbol("~")) {
      auto e = Make(Expr::Neg, Next().offset);
      e->op = "~";
      e->args.push_back(Unary());
      return e;
    }
    return Primary();
  }

  ExprP Primary() {
    const Token& t = Peek();
    if (t.kind == Tok::Number) {
      Next();
      auto e = Make(Expr::Lit, t.offset);
      if (t.text.find_first_of("eE") != std::string::npos) {
        double d = std::strtod(t.text.c_str(), nullptr);
        if (!std::isfinite(d))
          throw Error(168, 15,
                      "The floating point value '" + t.text +
                          "' is out of the range of computer representation (8 bytes).",
                      t.line);
        e->lit = Value::Float(d);
      } else if (t.text.find('.') != std::string::npos) {
        std::size_t dot = t.text.find('.');
        std::string digits = t.text.substr(0, dot) + t.text.substr(dot + 1);
        if (digits.size() > 18) Fail();
        e->lit = Value::Num(std::atoll(digits.c_str()), static_cast<int>(t.text.size() - dot - 1));
      } else {
        // Past int's range a literal is numeric, as SQL Server types it; the
        // engine's numeric values end at 64 bits (bigint's range).
        std::size_t lead = t.text.find_first_not_of('0');
        std::string digits = lead == std::string::npos ? "0" : t.text.substr(lead);
        if (digits.size() > 19 || (digits.size() == 19 && digits > "9223372036854775807")) Fail();
        std::int64_t v = std::stoll(digits);
        e->lit = v > INT32_MAX ? Value::Num(v, 0) : Value::Int(v);
      }
      return e;
    }
    if (t.kind == Tok::String) {
      Next();
      auto e = Make(Expr::Lit, t.offset);
      e->lit = t.binary ? Value::Bin(t.text) : Value::Str(t.text);
      return e;
    }
    if (t.kind == Tok::Variable) {
      Next();
      auto e = Make(Expr::Var, t.offset);
      e->name = Lower(t.text);
      return e;
    }
    if (t.IsSymbol("(")) {
      Next();
      if (Accept("select")) {
        auto e = Make(Expr::Subquery, t.offset);
        e->sub = SelectBody();
        ExpectSymbol(")");
        return e;
      }
      ExprP inner = Expression();
      ExpectSymbol(")");
      return inner;
    }
    if (t.Is("null")) {
      Next();
      return Make(Expr::Lit, t.offset);
    }
    if (t.Is("case")) return CaseExpr();
    if (t.kind != Tok::Ident) Fail();
    if (Peek(1).IsSymbol("(")) {
      std::string fn = Lower(t.text);
      Next();
      Next();
      if (fn == "cast") {
        auto e = Make(Expr::Cast, t.offset);
        e->args.push_back(Expression());
        Expect("as");
        e->type = ParseType(0);
        ExpectSymbol(")");
        return e;
      }
      if (fn == "convert") {
        auto e = Make(Expr::Cast, t.offset);
        e->type = ParseType(0);
        ExpectSymbol(",");
        e->args.push_back(Expression());
        if (AcceptSymbol(",")) e->args.push_back(Expression());  // style
        ExpectSymbol(")");
        return e;
      }
      bool agg = fn == "count" || fn == "count_big" || fn == "sum" || fn == "min" ||
                 fn == "max" || fn == "avg";
      auto e = Make(agg ? Expr::Agg : Expr::Func, t.offset);
      e->name = fn;
      if (agg && AcceptSymbol("*")) {
        if (fn != "count" && fn != "count_big") Fail();
        e->star = true;
      } else if (!Peek().IsSymbol(")")) {
        if (agg && Accept("distinct")) e->distinct = true;
        do e->args.push_back(Expression());
        while (AcceptSymbol(","));
      }
      ExpectSymbol(")");
      return e;
    }
    if (!IsName(t)) Fail();
    Next();
    auto e = Make(Expr::Col, t.offset);
    e->name = t.text;
    if (Peek().IsSymbol(".") && Peek(1).kind == Tok::Ident) {
      Next();
      e->qual = e->name;
      e->name = Next().text;
      if (Peek().IsSymbol(".") && Peek(1).kind == Tok::Ident) {  // owner.table.column
        Next();
        e->qual = e->name;
        e->name = Next().text;
      }
    }
    return e;
  }

  ExprP CaseExpr() {
    auto e = Make(Expr::Case, Next().offset);
    // args: [operand or null-literal], then when/then pairs, then else.
    if (!Peek().Is("when"))
      e->args.push_back(Expression());
    else
      e->args.push_back(nullptr);
    while (Accept("when")) {
      e->args.push_back(Expression());
      Expect("then");
      e->args.push_back(Expression());
    }
    if (Accept("else"))
      e->args.push_back(Expression());
    else
      e->args.push_back(Make(Expr::Lit, e->offset));
    Expect("end");
    return e;
  }

  std::string_view src_;
  std::vector<Token> toks_;
  std::size_t pos_ = 0;
  int in_loop_ = 0, in_catch_ = 0;  // WHILE bodies and CATCH blocks being read
  int in_proc_ = 0;                 // a procedure's body being read
  bool keep_unparsed_ = false;      // see ProcedureTail

 public:
  void KeepUnparsedProcedures() { keep_unparsed_ = true; }
};

}  // namespace

std::vector<std::unique_ptr<Stmt>> ParseBatch(std::string_view batch, bool replay) {
  Parser p(batch);
  if (replay) p.KeepUnparsedProcedures();
  return p.Batch();
}

ExprP ParseExpression(std::string_view text) {
  return Parser(text).LoneExpression();
}

std::unique_ptr<Stmt> ParseProcedure(std::string_view text) {
  return Parser(text).Procedure();
}

std::unique_ptr<Select> ParseView(std::string_view text, std::vector<std::string>* columns) {
  return Parser(text).View(columns);
}

}  // namespace engine
