// The upgrade core: the run sequence of the start button and every dated
// upgrade step, as methods named after their release. Plain C++ without Qt;
// it shows progress and reads the check boxes only through db::UpgradeView.
//
// Every statement goes through the three query components qrTmp, qrTmp1 and
// qrTmp2 on the one shared connection. All statement and label texts are GBK:
// Chinese literals written in the sources pass through G() first.
#pragma once

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/context.h"
#include "db/ledger.h"
#include "db/query.h"
#include "db/view.h"
#include "text/gbk.h"

namespace steps {

// UTF-8 literal of the sources to the GBK the database and the view take.
inline std::string G(std::string_view utf8) {
  return text::Gbk(utf8);
}

class Upgrader {
 public:
  // connection and view must outlive the Upgrader. data_dirs: the folders
  // searched, in order, for the data files (refdata/data_files.h); the second
  // form searches one folder only.
  Upgrader(db::Connection& connection, db::UpgradeView& view,
           std::vector<std::filesystem::path> data_dirs);
  Upgrader(db::Connection& connection, db::UpgradeView& view, std::filesystem::path data_dir);
  Upgrader(const Upgrader&) = delete;
  Upgrader& operator=(const Upgrader&) = delete;

  // The start button: ledger table check, controls disabled, the optional
  // pre-2005 consolidation, every step in order, controls enabled, labels
  // hidden, "所有处理已完成！". An error leaves at once (controls stay
  // disabled) and propagates to the caller.
  void RunSequence();

  // Whether RunSequence first runs the checks of steps/preflight.h (an
  // administrator who knows better turns them off). A failed check throws
  // steps::PreflightFailed before anything changes.
  bool preflight = true;

  // Called by RunSequence once the run lock is held and the checks have
  // passed, before its first change (the ledger check): where the command
  // line makes its backup and counts the rows it accounts for. Empty by
  // default; an exception from it ends the run with nothing changed.
  std::function<void()> before_first_change;

  // Name of the step method now running ("run" outside any step), for the
  // statement log.
  const std::string& CurrentStep() const { return current_step_; }

  // The steps, in the order of the run sequence.
  void Do200503Before();
  void Do200503();
  void Do200611();
  void Do200703();
  void Do2007_03_12();
  void Do200709();
  void Do2007_12_07();
  void Do2007_12_27();
  void Do2008_03_27();
  void Do2008_09_03();
  void Do2008_10_20();
  void Do2009_10_15();
  void Do2010_04_09();
  void Do2011_09_02();
  void Do2015_02_01();
  void Do2015_03_01();
  void Do2015_03_12();
  void Do2015_03_25();
  void Do2017_01_09();

  // Maintenance functions behind the hidden buttons; the export returns the
  // path of the zzm.dat it wrote.
  std::filesystem::path btExpZZMClick();
  void btCrtPrtClick();

  // The ledger and probes on qrTmp.
  bool CheckVerSign(std::string_view sign) { return db::CheckVerSign(qrTmp, sign); }
  bool TableAbsent(std::string_view t) { return db::TableAbsent(qrTmp, t); }
  bool ColumnAbsent(std::string_view t, std::string_view c) {
    return db::ColumnAbsent(qrTmp, t, c);
  }
  bool IndexAbsent(std::string_view i) { return db::IndexAbsent(qrTmp, i); }
  bool MenuAbsent(int code) { return db::MenuAbsent(qrTmp, code); }

  // Command form on qrTmp (or on the given component).
  void Exec(std::initializer_list<std::string> lines) { db::RunCommand(qrTmp, lines); }
  void Exec(const std::vector<std::string>& lines) { db::RunCommand(qrTmp, lines); }
  void Exec(db::Query& q, std::initializer_list<std::string> lines) { db::RunCommand(q, lines); }
  void Exec(db::Query& q, const std::vector<std::string>& lines) { db::RunCommand(q, lines); }
  // A tolerated statement on qrTmp: any error is swallowed.
  bool Tolerate(std::initializer_list<std::string> lines) { return db::RunTolerated(qrTmp, lines); }

  // lbProcess caption "处理：" + task (task in UTF-8 as written in the sources).
  void SetProcess(std::string_view task_utf8);

  db::Query qrTmp;
  db::Query qrTmp1;
  db::Query qrTmp2;
  db::UpgradeView& view;
  db::StepContext ctx;

 private:
  template <class F>
  void RunStep(const char* name, F step);
  template <class F>
  void BetweenSteps(F work);

  // The end of a run or a maintenance click: the database file written now
  // (db::Connection::Checkpoint), so that a failure to write it is reported
  // as the run's error, with what is safe, before any completion message.
  void SaveDatabaseFile();

  // The application lock a run holds (sp_getapplock), named after the utility.
  static constexpr const char* kRunLock = "libupgrade";
  void TakeRunLock();

  std::string current_step_ = "run";
};

}  // namespace steps
