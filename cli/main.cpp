// libupgrade-cli: the library database upgrade without a window, for
// administrators and scripts. Same connection parameters, same steps, same
// signs as the desktop program; progress on the terminal, the outcome in the
// exit code.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/password.h"
#include "cli/run_report.h"
#include "cli/statement_log.h"
#include "cli/terminal_view.h"
#include "db/connection.h"
#include "db/ledger.h"
#include "db/query.h"
#include "db/registry.h"
#include "libupgrade/version.h"
#include "port/console.h"
#include "refdata/data_files.h"
#include "steps/run_account.h"
#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRowsLost = 3;

constexpr const char* kHelp = R"(Usage: libupgrade-cli --backed-up [options]

Brings a library database, whatever earlier release it is at, to the current
schema and reference data. Every step is guarded by its upgrade sign in
ver_manage and every change by a catalogue probe, so it may be run any number
of times on the same database.

  --backed-up            confirm that the database has been backed up
                         (the desktop program's "已备份好数据库"); without it
                         (or --backup-to, or --dry-run) nothing is done and
                         the exit code is 2
  --backup-to PATH       make a full backup first (BACKUP DATABASE ... TO DISK
                         = N'PATH' WITH INIT, COPY_ONLY) and count it as
                         --backed-up; a failed backup stops the run before
                         any change. On SQL Server PATH is a file on the
                         server's own disk, written by the server's service
                         account; on the embedded engine it is a database
                         file that opens as embedded:PATH
  --dry-run              preview: run the whole upgrade inside one transaction
                         and roll it back at the end (or at the first
                         failure), then print the steps that would change the
                         database, their statements, and the rows per table;
                         the database is left exactly as it was
  --report FILE          write the account of every table's rows to FILE as
                         JSON: {"tables": [{"name", "before", "after",
                         "verdict", "by"}], "lost_rows"}; verdicts are kept,
                         grown, created, shrunk by design, dropped by design
                         (with the step in "by") and lost
  --data-source NAME     the data source: an ODBC data source name, or
                         embedded:PATH for a database file of the embedded
                         engine (the file must exist). Without it the
                         connection parameters are read as the desktop
                         program reads them: key SOFTWARE\Quorvant\Lib of the
                         registry stand-in (ODBCNAME, USERNAME, PASSWORD),
                         else data source "LibODBC", user "sa", empty password
  --user U               login name (default "sa" with --data-source)
  --password P           password (default empty with --data-source). Other
                         users of the machine see P in the process list:
                         prefer LIBUPGRADE_PASSWORD in the environment, or
                         --password - to type it at a prompt that does not
                         echo (one line from standard input when that is not
                         a terminal)
  --before               also run the consolidation of releases before March
                         2005 ("同时处理2005年3月前的升级工作")
  --data-dir DIR         folder of zzm.dat, other.dat and MarcRule.txt
                         (default: the folder of this program, then the
                         installation's data folder, /var/lib/libupgrade for
                         programs in /usr/bin)
  --export-zzm           write the author-number tables to zzm.dat in the data
                         folder (--data-dir DIR, else the installation's data
                         folder) instead of upgrading, and print where (needs
                         no --backed-up)
  --create-prt-tables    rebuild the statistics tables instead of upgrading
  --delete-old-author-tables
                         with the pre-2005 consolidation: drop the
                         author-number tables and load them again from
                         zzm.dat (the desktop program's "删除旧著者码表")
  --skip-preflight       start without the checks made before the first change
                         (data files, a GBK connection, the right to change
                         the schema, no other session, rows a pending step
                         would fail on); by default any problem they find is
                         printed, all of them, and nothing is changed
  --log FILE             write every statement sent, in order, to FILE as JSON
                         lines: step, sql, ms, outcome (ok, error, tolerated),
                         rows, error
  --save-connection      save the connection parameters instead of upgrading,
                         exactly as the desktop program's connection dialog
                         saves them ("保存数据库连接参数"): --data-source NAME
                         (required) as ODBCNAME, --user U (default "sa") and
                         the password (--password P, --password -, or
                         LIBUPGRADE_PASSWORD; default empty) encoded as
                         USERNAME and PASSWORD, under SOFTWARE\Quorvant\Lib of
                         the registry stand-in; for machines without a
                         desktop. Needs administrator rights; the values file
                         is readable by its owner only
  --help                 show this text
  --version              show the release it upgrades to and this build's version

After every upgrade run the rows of every table are counted again and the
tables whose rows changed are printed, before -> after. Rows may leave a table
only where a step empties or drops it on purpose; should rows be gone from any
other table, the run says so and the exit code is 3.

Each progress text is printed as a line; the bar and the count are drawn live
on a terminal and printed now and then otherwise. A run that completes prints
"所有处理已完成！" (a preview instead says that it rolled everything back). On
an error the server's message goes to standard error. Every step is one
transaction: the step that failed (or was interrupted) is undone whole, the
steps before it stay done, and the next run carries on from the undone step.

Exit status:
  0  the upgrade (or the maintenance function) is done
  1  an error: the server's or the file's message is on standard error
  2  a usage error, or the backup was not confirmed
  3  the run ended, but rows are gone from a table that no step empties on
     purpose (verdict "lost")

The desktop program shows "删除旧著者码表" and "生成Prt表" only after
Ctrl+Alt+F1 and Ctrl+Alt+F2, and never shows "导出ZZM". A desktop whose display
server keeps Ctrl+Alt+F1 and F2 for switching consoles never passes them on;
--delete-old-author-tables, --create-prt-tables and --export-zzm reach the
same three functions from here.

The registry stand-in lives in /etc/xdg/Quorvant/registry (writing it needs
administrator rights); LIBUPGRADE_REGISTRY_ROOT names another folder.
)";

struct Options {
  bool help = false;
  bool version = false;
  bool backed_up = false;
  bool before = false;
  bool export_zzm = false;
  bool create_prt_tables = false;
  bool delete_old_author_tables = false;
  bool skip_preflight = false;
  bool dry_run = false;
  bool save_connection = false;
  std::optional<std::string> data_source, user, password, data_dir, log, report, backup_to;
};

struct UsageError {
  std::string message;
};

Options Parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inline_value;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
      return args[++i];
    };
    auto flag = [&](bool& f) {
      if (inline_value) throw UsageError{name + " takes no value"};
      f = true;
    };
    if (name == "--help")
      flag(o.help);
    else if (name == "--version")
      flag(o.version);
    else if (name == "--backed-up")
      flag(o.backed_up);
    else if (name == "--before")
      flag(o.before);
    else if (name == "--export-zzm")
      flag(o.export_zzm);
    else if (name == "--create-prt-tables")
      flag(o.create_prt_tables);
    else if (name == "--delete-old-author-tables")
      flag(o.delete_old_author_tables);
    else if (name == "--skip-preflight")
      flag(o.skip_preflight);
    else if (name == "--dry-run")
      flag(o.dry_run);
    else if (name == "--save-connection")
      flag(o.save_connection);
    else if (name == "--report")
      o.report = value();
    else if (name == "--backup-to")
      o.backup_to = value();
    else if (name == "--data-source")
      o.data_source = value();
    else if (name == "--user")
      o.user = value();
    else if (name == "--password")
      o.password = value();
    else if (name == "--data-dir")
      o.data_dir = value();
    else if (name == "--log")
      o.log = value();
    else
      throw UsageError{"unknown option " + args[i]};
  }
  return o;
}

// Command-line values are UTF-8 as typed; the database takes GBK.
std::string ArgToGbk(const std::string& utf8, const char* what) {
  try {
    return text::Gbk(port::ArgumentUtf8(utf8));
  } catch (const std::exception&) {
    throw UsageError{std::string(what) + " cannot be written in GBK"};
  }
}

db::ConnectParams Params(const Options& o) {
  db::ConnectParams p;
  if (o.data_source) {
    p.data_source = ArgToGbk(*o.data_source, "--data-source");
  } else {
    try {
      p = db::LoadConnectParams(db::Registry());
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(
          "the connection parameters under SOFTWARE\\Quorvant\\Lib in the registry stand-in (" +
          db::Registry::DefaultRoot().string() + ") cannot be decoded: " + e.what());
    }
  }
  if (o.user) p.user = ArgToGbk(*o.user, "--user");
  if (auto password = cli::ResolvePassword(o.password))
    p.password = ArgToGbk(*password, "--password");
  return p;
}

// A full backup of the connected database before the run. A failure stops
// the run with nothing changed.
void Backup(db::Query& q, const std::string& path_utf8) {
  const std::string path = ArgToGbk(path_utf8, "--backup-to");
  db::OpenQuery(q, {"select db_name() as name"});
  std::string name = q.AsString("name");
  q.Close();
  std::string quoted;
  for (char c : name) quoted += c == ']' ? std::string("]]") : std::string(1, c);
  try {
    db::RunCommand(q, {"BACKUP DATABASE [" + quoted + "] TO DISK = N'" + text::EscapeQuotes(path) +
                       "' WITH INIT, COPY_ONLY"});
  } catch (const db::Error& e) {
    throw db::Error(e.number(), "libupgrade-cli: the backup to " + path +
                                    " failed, nothing was changed: " + e.what());
  }
}

// --save-connection: the dialog's save, without a window.
int SaveConnection(const Options& o) {
  if (!o.data_source) throw UsageError{"--save-connection needs --data-source NAME"};
  db::ConnectParams p;
  p.data_source = ArgToGbk(*o.data_source, "--data-source");
  if (o.user) p.user = ArgToGbk(*o.user, "--user");
  p.password.clear();
  if (auto password = cli::ResolvePassword(o.password))
    p.password = ArgToGbk(*password, "--password");
  db::Registry registry;
  const std::string where = "HKEY_LOCAL_MACHINE\\" + std::string(db::kLibKey) + " (" +
                            (registry.DefaultRoot() / "SOFTWARE/Quorvant/Lib").string() + ")";
  if (!db::SaveConnectParams(registry, db::kLibKey, p)) {
    std::cerr << "libupgrade-cli: 保存您配置的参数失败！只有具有权限的用户，如Administrator才能修改，"
                 "请与系统管理员联系！ (" << where << " cannot be written)\n";
    return kExitFailed;
  }
  std::cout << "连接参数已保存 (the connection parameters were saved): " << where << "\n";
  return kExitOk;
}

int Run(const Options& o) {
  const db::ConnectParams params = Params(o);
  std::unique_ptr<db::Connection> connection;
  try {
    connection = db::Connect(params);
  } catch (const db::Error& e) {
    std::cerr << "libupgrade-cli: cannot connect to data source \""
              << text::Utf8(params.data_source) << "\": " << text::Utf8(e.what()) << "\n";
    return kExitFailed;
  }

  cli::TerminalView view(stdout, port::IsTerminal(stdout), o.before);
  view.SetPreview(o.dry_run);
  // The window's ckbDel, ticked before the run as a librarian would tick it.
  if (o.delete_old_author_tables) view.SetDeleteOldChecked(true);
  steps::Upgrader upgrader(
      *connection, view,
      o.data_dir ? std::vector<std::filesystem::path>{*o.data_dir} : refdata::DefaultDataDirs());
  upgrader.preflight = !o.skip_preflight;
  std::unique_ptr<cli::StatementLog> log;
  if (o.log) log = std::make_unique<cli::StatementLog>(*o.log);
  std::unique_ptr<cli::ReportFile> report;
  if (o.report) report = std::make_unique<cli::ReportFile>(*o.report);
  // The tallies leave out the statements of the account itself (the backup,
  // the preview's transaction, the counts), so that a preview's tallies are
  // those of the real run.
  cli::StepTallies tallies;
  int accounting = 0;
  connection->on_statement = [&](const db::StatementEvent& e) {
    if (log) log->Write(accounting ? "account" : upgrader.CurrentStep(), e);
    if (!accounting) tallies.Count(upgrader.CurrentStep(), e, connection->transactions_open > 0);
  };
  connection->on_unit_end = [&](bool committed) { tallies.EndUnit(committed); };

  if (o.export_zzm || o.create_prt_tables) {
    std::filesystem::path written;
    try {
      if (o.export_zzm) written = upgrader.btExpZZMClick();
      if (o.create_prt_tables) upgrader.btCrtPrtClick();
    } catch (const std::exception& e) {
      view.Finish();
      std::cerr << text::Utf8(e.what()) << "\n";
      return kExitFailed;
    }
    view.Finish();
    if (o.export_zzm)
      std::cout << "著者号码文件已导出 (the author-number tables were written to): "
                << written.string() << "\n";
    return kExitOk;
  }

  // The upgrade: the backup, the preview's transaction and the first count of
  // rows come after the checks and before the first change.
  db::Query account_query(*connection);
  std::optional<steps::RowCounts> before;
  upgrader.before_first_change = [&] {
    const db::CountedScope counted(accounting);
    if (o.backup_to) Backup(account_query, *o.backup_to);
    if (o.dry_run) db::RunCommand(account_query, {"begin transaction"});
    before = steps::CountRows(account_query);
  };
  std::optional<std::string> failure;  // GBK
  try {
    upgrader.RunSequence();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  view.Finish();

  std::optional<steps::RowAccount> account;
  const db::CountedScope counted(accounting);
  if (before && connection->lost()) {
    // Nothing more can be sent: said once, here.
    std::cerr << "libupgrade-cli: 与数据库服务器的连接已断开，运行后的行数无法清点 (the connection "
                 "to the server is lost: the rows could not be counted after the run)\n";
  } else if (before) {
    try {
      account = steps::Account(*before, steps::CountRows(account_query));
    } catch (const db::Error& e) {
      std::cerr << "libupgrade-cli: the rows could not be counted after the run: "
                << text::Utf8(e.what()) << "\n";
      if (!failure) failure = "libupgrade-cli: the run ended, but without an account of its rows";
    }
  }
  if (o.dry_run && !connection->lost()) {
    // A failure in a step has rolled the whole preview back already.
    try {
      db::RunCommand(account_query, {"if @@trancount > 0 rollback transaction"});
    } catch (const db::Error& e) {
      std::cerr << "libupgrade-cli: the preview could not be rolled back: " << text::Utf8(e.what())
                << "\n";
      return kExitFailed;
    }
    std::printf("\nDry run (预演): %severy change was rolled back; the database is as it was.\n",
                view.Completed() ? "every step ran to the end, then " : "");
  }
  cli::PrintSteps(stdout, tallies.steps(), o.dry_run, tallies.undone());
  if (account) {
    cli::PrintAccount(stdout, *account);
    if (report) report->Write(*account);
  }
  std::fflush(stdout);
  if (failure) {
    if (o.dry_run) std::cerr << "The run would stop here (预演在此失败):\n";
    std::cerr << text::Utf8(*failure) << "\n";
    return kExitFailed;
  }
  if (account && account->AnyLost()) {
    std::cerr << "libupgrade-cli: " << account->lost_rows
              << " row(s) are gone from tables that no step empties (verdict \"lost\" above)"
              << (o.dry_run ? "; the preview was rolled back" : "") << ".\n";
    return kExitRowsLost;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  port::UseUtf8Console();
  Options o;
  try {
    o = Parse(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "libupgrade-cli: " << e.message << "\nTry 'libupgrade-cli --help'.\n";
    return kExitUsage;
  }
  if (o.help) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (o.version) {
    std::cout << libupgrade::VersionText("libupgrade-cli");
    return kExitOk;
  }
  if (o.save_connection) {
    if (o.backed_up || o.before || o.export_zzm || o.create_prt_tables ||
        o.delete_old_author_tables || o.skip_preflight || o.dry_run || o.data_dir || o.log ||
        o.report || o.backup_to) {
      std::cerr << "libupgrade-cli: --save-connection takes only --data-source, --user and "
                   "--password\nTry 'libupgrade-cli --help'.\n";
      return kExitUsage;
    }
    try {
      return SaveConnection(o);
    } catch (const UsageError& e) {
      std::cerr << "libupgrade-cli: " << e.message << "\nTry 'libupgrade-cli --help'.\n";
      return kExitUsage;
    } catch (const std::exception& e) {
      std::cerr << "libupgrade-cli: " << text::Utf8(e.what()) << "\n";
      return kExitFailed;
    }
  }
  // Only the export, which reads the database, may run without the backup.
  const bool export_only = o.export_zzm && !o.create_prt_tables;
  if ((o.dry_run || o.report || o.backup_to) && (o.export_zzm || o.create_prt_tables)) {
    std::cerr << "libupgrade-cli: --dry-run, --report and --backup-to go with the upgrade, not "
                 "with --export-zzm or --create-prt-tables\nTry 'libupgrade-cli --help'.\n";
    return kExitUsage;
  }
  if (!o.backed_up && !o.backup_to && !o.dry_run && !export_only) {
    std::cerr << "libupgrade-cli: 请先备份数据库。确认已备份好数据库后，以 --backed-up 再次运行。\n"
                 "(the upgrade changes the database in place: back it up first, then confirm "
                 "with --backed-up)\n";
    return kExitUsage;
  }
  try {
    return Run(o);
  } catch (const UsageError& e) {
    std::cerr << "libupgrade-cli: " << e.message << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "libupgrade-cli: " << text::Utf8(e.what()) << "\n";
    return kExitFailed;
  }
}
