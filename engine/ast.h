// Parsed form of the statements the engine runs. Names are kept as written;
// the executor resolves them case-insensitively.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/value.h"

namespace engine {

struct Select;

struct Expr {
  enum K {
    Lit,
    Col,
    Var,
    Neg,
    Arith,
    Cmp,
    And,
    Or,
    Not,
    IsNull,
    Like,
    InList,
    InSub,
    Exists,
    Func,
    Agg,
    Cast,
    Subquery,
    Case,
    Between
  } k = Lit;
  Value lit;
  std::string name;       // column, function or aggregate name (lower case for functions)
  std::string qual;       // table qualifier of a column
  std::string op;         // "+", "=", "<>", ...
  bool negated = false;   // NOT LIKE, IS NOT NULL, NOT IN, NOT BETWEEN
  bool distinct = false;  // COUNT(DISTINCT x)
  bool star = false;      // COUNT(*)
  std::vector<std::unique_ptr<Expr>> args;
  std::unique_ptr<Select> sub;
  TypeSpec type;  // target of CAST / CONVERT
  std::size_t offset = 0;

  // Bound by the executor. outer: a column of an enclosing query, that many
  // levels out (a correlated subquery).
  int src = -1, col = -1, outer = 0;
  int slot = -1;  // aggregate slot
};
using ExprP = std::unique_ptr<Expr>;

struct SelectItem {
  ExprP expr;
  std::string alias;
  bool star = false;
  std::string star_qual;
  std::string text;    // source text, for error messages
  std::string assign;  // SELECT @v = expr: the variable (lower case) the item sets
};

struct TableRef {
  std::string name;
  std::string alias;
  ExprP on;                    // JOIN ... ON
  std::unique_ptr<Select> sub;  // a derived table: FROM (SELECT ...) AS alias
};

struct OrderItem {
  ExprP expr;
  bool desc = false;
};

struct Select {
  // A compound query (UNION, UNION ALL, EXCEPT, INTERSECT) combines the
  // results of lhs and rhs and has no select list of its own; its ORDER BY
  // sorts the combined rows.
  enum SetOp { None, Union, UnionAll, Except, Intersect } set_op = None;
  std::unique_ptr<Select> lhs, rhs;
  bool distinct = false;
  std::int64_t top = -1;
  std::vector<SelectItem> items;
  std::vector<TableRef> from;
  ExprP where;
  std::vector<ExprP> group;
  ExprP having;
  std::vector<OrderItem> order;
};

// WITH name [(columns)] AS (query): a common table expression.
struct Cte {
  std::string name;
  std::vector<std::string> columns;
  std::unique_ptr<Select> query;
};

struct ColumnDef {
  std::string name;
  TypeSpec type;
  bool null_given = false;
  bool not_null = false;
  ExprP def;
  std::string def_text;  // source of the default expression, kept in the catalogue
  std::string def_name;  // CONSTRAINT name DEFAULT ...
  bool identity = false;
  std::int64_t seed = 1, increment = 1;
  bool primary_key = false;
  bool clustered = false;
  std::string pk_name;
  bool output = false;  // a procedure's OUTPUT parameter
};

struct Stmt {
  enum K {
    CreateTable,
    DropTable,
    CreateIndex,
    DropIndex,
    CreateObject,
    DropObject,
    AlterAdd,
    AlterAlterColumn,
    AlterDropColumn,
    AlterAddPk,
    AlterAddDefault,
    AlterDropConstraint,
    Insert,
    Update,
    Delete,
    SelectStmt,
    Begin,
    Commit,
    Rollback,
    Save,
    SetXactAbort,
    SetLockTimeout,
    SetNocount,
    If,
    Nothing,
    Print,  // PRINT expr: cond
    Exec,
    Declare,  // DECLARE @v type [= expr], ...: columns hold the names, types and values
    SetVar,   // SET @v = expr: name, cond
    Backup,   // BACKUP DATABASE name TO DISK = 'path' [WITH ...]: name, body = path, names = options
    SetRowCount,  // SET ROWCOUNT n: number, or cond (a variable)
    SetTextSize,  // SET TEXTSIZE n: number
    Block,        // BEGIN ... END: block
    While,        // WHILE cond then_stmt
    Break,
    Continue,
    Return,
    Try,        // BEGIN TRY body END TRY BEGIN CATCH catch_block END CATCH
    Raiserror,  // RAISERROR (args) [WITH names]
    Throw       // THROW [args]: none rethrows the error being handled
  } k = Nothing;
  int line = 1;
  std::size_t begin = 0, end = 0;  // source span of the statement in the batch

  std::string table;  // table of the statement
  std::string name;   // index, constraint, view, procedure, transaction or savepoint name
  std::string xtype;  // CreateObject / DropObject: "V" or "P"
  std::vector<ColumnDef> columns;
  std::vector<std::string> names;  // column lists, drop lists ("t.i" for indexes)
  bool unique = false, clustered = false;
  bool on = false;  // SET option ON
  long long number = 0;  // SET LOCK_TIMEOUT: milliseconds, -1 for none
  std::vector<std::vector<ExprP>> values;
  std::unique_ptr<Select> select;
  std::vector<std::pair<std::string, ExprP>> sets;
  ExprP where;
  ExprP cond;
  std::unique_ptr<Stmt> then_stmt, else_stmt;
  std::vector<std::unique_ptr<Stmt>> block, catch_block;  // Block, Try
  std::vector<ExprP> args;                               // Raiserror, Throw
  // CREATE VIEW / PROCEDURE text. A procedure's parameters are in columns
  // (name, type, default, output), its statements in block; on for ALTER.
  std::string body;
  // EXEC @name = value [OUTPUT]: a null value is DEFAULT; outputs marks OUTPUT.
  std::vector<std::pair<std::string, ExprP>> params;
  std::vector<bool> outputs;
  std::string var;  // EXEC @var = procedure: the variable that takes its return code
  // WITH before a SELECT, INSERT, UPDATE or DELETE, in order; OPTION
  // (MAXRECURSION n): the rounds a recursive one may take (0: no limit).
  std::vector<Cte> ctes;
  int max_recursion = 100;
};

// Parses a batch into statements. Throws engine::Error (102/156, severity 15)
// naming the token near which the syntax is wrong.
// replay: a statement from the journal, where a CREATE PROCEDURE whose body
// does not parse is kept (as earlier releases kept any) rather than refused.
std::vector<std::unique_ptr<Stmt>> ParseBatch(std::string_view batch, bool replay = false);
// Parses a lone expression (a stored default).
ExprP ParseExpression(std::string_view text);
// Parses a stored CREATE (or ALTER) PROCEDURE statement, as CREATE
// PROCEDURE leaves it in a batch's statements.
std::unique_ptr<Stmt> ParseProcedure(std::string_view text);
// Parses a stored CREATE VIEW statement: its query, and in columns the
// names its column list gives (none when it has none).
std::unique_ptr<Select> ParseView(std::string_view text, std::vector<std::string>* columns);

}  // namespace engine
