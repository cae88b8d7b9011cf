// Public face of the embedded SQL Server stand-in.
//
// A Database is one database file (plus whatever journal the storage keeps
// beside it) opened by one process at a time. Statements are T-SQL batches in
// GBK bytes; results come back as text in GBK, exactly as an ODBC client reads
// them with SQL_C_CHAR (char columns blank-padded, numbers in SQL Server's
// string form, datetime as "yyyy-mm-dd hh:mi:ss.mmm").
//
// Errors are thrown as engine::Error carrying SQL Server's number, severity and
// message. A failing statement changes nothing; the other statements of the
// batch that ran stay done (outside a transaction each commits by itself).
// Which errors end the batch is described at Database::execute.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// One message of a failure or of a statement (see Error::follow_on).
struct ErrorMessage {
  int number;
  int severity;
  std::string text;
  int line = 0;  // 0: the line of the error it follows
  // The stored procedure the error was raised in ("" outside one); line then
  // counts from the first line of its CREATE PROCEDURE text.
  std::string procedure = {};
};

// Type of a result column, enough for a client to print or convert it.
// Binary: a binary/varbinary expression, its value given as upper-case hex
// digits without 0x, as SQL_C_CHAR reads binary data.
enum class ColumnType { Char, VarChar, Text, Image, Int, Numeric, DateTime, Other, Binary, BigInt };

struct ResultColumn {
  std::string name;  // "" for an unnamed expression, as SQL Server returns it
  ColumnType type = ColumnType::VarChar;
  // The declared type, where the column is a table's column or a CAST: SQL
  // Server's name for it ("smallint", "char", "numeric", ...), its width in
  // bytes (char, varchar, binary) and its precision and scale (numeric).
  // declared is empty for other expressions: a client sees type alone.
  std::string declared;
  int length = 0;
  int precision = 0;
  int scale = 0;
};

// One statement's outcome. A SELECT gives columns and rows; any other statement
// gives rows_affected (or -1 where SQL Server reports no count).
struct StatementResult {
  // Informational messages the statement sent (PRINT: number 0, severity 0,
  // the statement's line), before its rows or count.
  std::vector<ErrorMessage> messages;
  bool has_result_set = false;
  std::vector<ResultColumn> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;  // nullopt is NULL
  std::int64_t rows_affected = -1;
  // SET NOCOUNT as the statement ended: a server then does not report its count.
  bool nocount = false;
  // EXEC of a stored procedure that ran to its end: its return status (the
  // value of RETURN, 0 without one). The results of the statements it ran
  // come before this one, as SQL Server sends them before the procedure's
  // RETURNSTATUS and DONEPROC.
  std::optional<int> return_status;
};

class Error : public std::runtime_error {
 public:
  Error(int number, int severity, std::string message, int line = 1)
      : std::runtime_error(std::move(message)), number_(number), severity_(severity), line_(line) {}

  // Messages SQL Server sends after the first one for the same failure, e.g.
  // 4922 after 5074, or 3621 "The statement has been terminated." after 8152.
  // Database::execute also lists here the errors of later statements of the
  // same batch, each with its own line.
  using Message = ErrorMessage;
  std::vector<Message> follow_on;

  // Set by Database::execute: what every statement of the batch that ran
  // gave, in order, a failed statement's result holding its error and the
  // messages after it (in messages, severity above 10), as SQL Server sends
  // a batch's results with its errors in place.
  std::vector<StatementResult> results;

  // The stored procedure the error was raised in, "" outside one
  // (ERROR_PROCEDURE()).
  std::string procedure;

  int number() const { return number_; }
  int severity() const { return severity_; }
  // Line of the batch (1-based) on which the failing statement starts.
  int line() const { return line_; }

 private:
  int number_;
  int severity_;
  int line_;
};

// Who a session of the database is, as master..sysprocesses and
// sys.dm_exec_sessions show it. The client names itself; the engine gives
// the spid.
struct SessionInfo {
  int spid = 0;
  std::string host_name;
  std::string program_name;
  std::string login_name;
};

// Thrown by Database::execute(spid, ...) when its cancel check asked to stop
// while a statement waited for another session's transaction. Not an Error:
// the client asked for it.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the batch was cancelled"; }
};

// One argument of Database::call_procedure, as a remote procedure call
// brings it.
struct ProcedureArgument {
  std::string name;  // "@p" names the parameter; "" passes it by position
  // The value's type as a DECLARE names it ("int", "varchar(12)",
  // "numeric(18,4)", "datetime", "varbinary(16)", ...).
  std::string type;
  // The value as text (code page 936), converted to type as CAST would
  // convert it; binary types take hex digits (with or without 0x).
  // nullopt is NULL.
  std::optional<std::string> value;
  bool output = false;  // passed as OUTPUT: its value comes back
  bool use_default = false;  // DEFAULT: the parameter's own default (value ignored)
};

// What Database::call_procedure gives back.
struct ProcedureCall {
  // The results of the statements the procedure ran (nested calls
  // included), in order, each failed one holding its error in messages
  // (severity above 10), as Database::execute gives them in Error::results;
  // last, when the procedure ran to its end, the call's own result with its
  // return_status.
  std::vector<StatementResult> results;
  // The procedure's return status; nullopt when it did not run to its end
  // (it is not there, an argument was refused, an error ended the call).
  std::optional<int> return_status;
  // The values of the OUTPUT arguments after the call, when it ran to its
  // end: one column for each argument passed as output, in order, named as
  // the parameter ("@p") and of the argument's type, and one row.
  StatementResult outputs;
  bool failed = false;  // some statement of the call failed (see results)
};

class Database {
 public:
  enum class OpenMode {
    MustExist,       // a missing file is an error (a missing database on a server)
    CreateIfMissing  // libsql -d and tests
  };

  // Opens the database at path. Throws engine::Error when the file is missing
  // (MustExist), is not a database, or is held open by another process.
  static std::unique_ptr<Database> open(const std::string& path, OpenMode mode);

  // Closing rolls back what is left open and writes the committed changes
  // into the database file (a checkpoint); a failure to write it there is
  // not reported, as the journal keeps every committed change for the next
  // opening. Callers that must report it call checkpoint() first.
  virtual ~Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs the statements of the batch in order and returns one result per
  // statement, as SQL Server runs a batch with its default settings:
  // - A statement that fails changes nothing.
  // - Errors of constraints, keys, NULLs, truncation, divide by zero, objects
  //   missing or already there, dependent columns and transaction statements
  //   (2627, 2601, 515, 547, 8152, 8134, 2714, 3701, 1913, 1222, 5074/4922, 4901,
  //   2705, 2812, 3902, 3903, 6401) end only their statement: the next
  //   statement of the batch runs, and an open transaction stays open.
  // - Any other error (conversions 245, 8114, 8115; names 208, 207; ...) ends
  //   the batch there; an open transaction stays open.
  // - After SET XACT_ABORT ON (kept until SET XACT_ABORT OFF, across batches),
  //   any error ends the batch and rolls back the open transaction.
  // A syntax error stops the batch before any statement runs. When any
  // statement failed, execute throws once the batch has ended: the first
  // error, with the messages of later errors of the batch appended to its
  // follow_on, and the results of the statements that ran, with the errors
  // in place, in its results.
  //
  // This runs in the database's first session, which exists from opening
  // (spid 51); execute(spid, batch) runs in a session opened by open_session.
  virtual std::vector<StatementResult> execute(std::string_view batch) = 0;

  // Sessions: a server opens one per client. Each has its own transaction,
  // variables, SET options and application locks (sp_getapplock, which the
  // sessions of one database see each other hold). They share one catalogue
  // and journal, and the engine runs one statement at a time. Sessions are
  // kept apart by table locks, as SQL Server's READ COMMITTED: a statement
  // reading a table holds it shared until it ends; a transaction keeps the
  // tables it wrote (and those its writing statements read) until it ends,
  // and the catalogue when it made or dropped objects. A statement that needs
  // a table another session holds waits, letting the others run, at most as
  // long as its session's SET LOCK_TIMEOUT says (for ever by default), then
  // fails with 1222; a wait that would close a cycle fails with 1205 and rolls
  // back its transaction. Units of work reach the journal in the order they
  // commit. A running or waiting statement asks cancelled (when given) every
  // few milliseconds; once it says true, the statement is undone and the
  // batch ends there with Cancelled, any transaction staying as it was.
  // Different sessions may run on different threads; opening a session
  // never waits for a running statement. Closing a session rolls back its
  // open transaction and releases its locks.
  virtual int open_session(const SessionInfo& info) = 0;  // returns the new spid
  virtual void close_session(int spid) = 0;
  virtual std::vector<StatementResult> execute(int spid, std::string_view batch,
                                               const std::function<bool()>& cancelled = {}) = 0;
  // Calls the stored procedure name (one, two or three-part) in session
  // spid, as "EXEC @status = name @p = value [OUTPUT], ..." would with the
  // arguments given, each a variable of its type holding its value: for
  // libsql-server's remote procedure calls. Errors of the call (2812 for a
  // procedure that is not there, 201, 8144, 8145, 8162, a type that does not
  // parse, 8114 for a value that does not convert, the errors of the
  // statements inside) are not thrown: they come back in results, with
  // failed set, as SQL Server answers an RPC. Throws Cancelled as execute
  // does.
  virtual ProcedureCall call_procedure(int spid, std::string_view name,
                                       const std::vector<ProcedureArgument>& args,
                                       const std::function<bool()>& cancelled = {}) = 0;
  // Sets the host, program and login names of a session (spid as given).
  virtual void set_session_info(const SessionInfo& info) = 0;
  // The sessions open now, by spid.
  virtual std::vector<SessionInfo> sessions() const = 0;
  // Open transactions of a session (@@TRANCOUNT).
  virtual int trancount(int spid) const = 0;
  // Whether the session has SET NOCOUNT ON.
  virtual bool nocount(int spid) const = 0;
  // RESETCONNECTION: the session as at its login, its open transaction
  // rolled back unless keep_transaction, its SET options at their defaults.
  virtual void reset_session(int spid, bool keep_transaction) = 0;

  // Writes the changes committed since opening (held in the journal, flushed
  // at each commit) into the database file now, as closing does, and empties
  // the journal; nothing to do while a transaction is open or nothing has
  // changed. Throws engine::Error 9002 naming the file when it cannot be
  // written (a full disk): the journal keeps every change, the database
  // stays usable, and a later checkpoint or opening tries again.
  virtual void checkpoint() = 0;

 protected:
  Database() = default;
};

}  // namespace engine
