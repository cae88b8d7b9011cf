// The run sequence of the start button, and what every step shares.
#include "steps/upgrader.h"

#include "steps/preflight.h"
#include "steps/step_names.h"

#include "refdata/prt_tables.h"
#include "refdata/zzm.h"

namespace steps {

Upgrader::Upgrader(db::Connection& connection, db::UpgradeView& v,
                   std::vector<std::filesystem::path> data_dirs)
    : qrTmp(connection),
      qrTmp1(connection),
      qrTmp2(connection),
      view(v),
      ctx{qrTmp, qrTmp1, qrTmp2, v, std::move(data_dirs)} {}

Upgrader::Upgrader(db::Connection& connection, db::UpgradeView& v, std::filesystem::path data_dir)
    : Upgrader(connection, v, std::vector<std::filesystem::path>{std::move(data_dir)}) {}

// A step is one unit of work: its sign and all its changes commit together,
// or, when anything in it fails, none of them do and the next run does the
// whole step again. The pre-2005 consolidation, when Do200503 starts it,
// belongs to Do200503's unit.
//
// A connection lost in the middle of a step (the server stopped, the network
// gone) is named as such, with the driver's text: the server rolls back the
// step's open transaction when it sees its client go, and the next run does
// the step again. Any other failure of a step says, once, that the step was
// undone whole (a full disk, a refused statement, a failed COMMIT alike).
template <class F>
void Upgrader::RunStep(const char* name, F step) {
  current_step_ = name;
  try {
    db::RunInTransaction(qrTmp, [&] { (this->*step)(); });
  } catch (const db::Error& e) {
    if (e.connection_lost() || qrTmp.connection().lost()) {
      throw db::Error(e.number(),
                      G("与数据库服务器的连接在执行升级步骤“" + StepLabel(name) + "”时中断了：") +
                          e.what() +
                          G("\n服务器会撤销这一步尚未提交的事务，这一步的改动都不会保留；"
                            "之前已完成的步骤已经提交，不受影响。恢复连接后再次运行本程序，"
                            "会重新执行这一步。"),
                      true);
    }
    if (e.says_undone()) throw;
    throw db::Error(e.number(),
                    e.what() + G("\n本步骤的改动已全部撤销；排除原因后再次运行本程序即可。"))
        .SaysUndone();
  }
  current_step_ = "run";
}

// The statements a run sends outside the steps (the ledger made, a sign
// between steps written) are single statements: a failed one left nothing,
// and the steps before it stay done.
template <class F>
void Upgrader::BetweenSteps(F work) {
  try {
    work();
  } catch (const db::Error& e) {
    if (e.connection_lost() || e.says_undone()) throw;
    throw db::Error(e.number(),
                    e.what() + G("\n这条语句没有改变数据库；排除原因后再次运行本程序即可。"))
        .SaysUndone();
  }
}

void Upgrader::RunSequence() {
  current_step_ = "run";
  TakeRunLock();
  if (preflight) {
    current_step_ = "preflight";
    std::vector<std::string> problems = Preflight(*this);
    current_step_ = "run";
    if (!problems.empty()) throw PreflightFailed(std::move(problems));
  }
  if (before_first_change) before_first_change();
  BetweenSteps([this] { db::EnsureLedger(qrTmp); });

  view.SetDoWorkEnabled(false);
  view.SetExitEnabled(false);
  view.SetBackUpEnabled(false);
  // A run shows its progress label even when an earlier run of this session
  // hid it at its end.
  view.SetProcessVisible(true);

  if (view.BeforeChecked()) RunStep("Do200503Before", &Upgrader::Do200503Before);
  RunStep("Do200503", &Upgrader::Do200503);
  RunStep("Do200611", &Upgrader::Do200611);
  RunStep("Do200703", &Upgrader::Do200703);
  RunStep("Do2007_03_12", &Upgrader::Do2007_03_12);
  RunStep("Do200709", &Upgrader::Do200709);
  RunStep("Do2007_12_07", &Upgrader::Do2007_12_07);
  RunStep("Do2007_12_27", &Upgrader::Do2007_12_27);
  RunStep("Do2008_03_27", &Upgrader::Do2008_03_27);
  RunStep("Do2008_09_03", &Upgrader::Do2008_09_03);
  RunStep("Do2008_10_20", &Upgrader::Do2008_10_20);
  RunStep("Do2009_10_15", &Upgrader::Do2009_10_15);
  RunStep("Do2010_04_09", &Upgrader::Do2010_04_09);
  RunStep("Do2011_09_02", &Upgrader::Do2011_09_02);
  BetweenSteps([this] { CheckVerSign("ZZ20130901.VERUP"); });
  RunStep("Do2015_02_01", &Upgrader::Do2015_02_01);
  RunStep("Do2015_03_01", &Upgrader::Do2015_03_01);
  RunStep("Do2015_03_12", &Upgrader::Do2015_03_12);
  RunStep("Do2015_03_25", &Upgrader::Do2015_03_25);
  RunStep("Do2017_01_09", &Upgrader::Do2017_01_09);
  SaveDatabaseFile();

  view.SetBackUpEnabled(true);
  view.SetDoWorkEnabled(view.BackUpChecked());
  view.SetExitEnabled(true);
  view.SetProcessVisible(false);
  view.SetBarVisible(false);
  view.ShowInformation(G("所有处理已完成！"));
}

// A second copy of the utility, on another workstation, is refused at once:
// the run takes an exclusive application lock of its session, which the
// session holds until it ends (the program's end, or a kill: the server
// releases it then). A later run in the same session takes it again.
// On the embedded engine the database file is opened by one process at a
// time and the lock is always granted.
void Upgrader::TakeRunLock() {
  // NOCOUNT holds for the session: it goes off again at the batch's end, or
  // a server would stop telling the run how many rows its statements changed.
  db::OpenQuery(qrTmp, {"set nocount on", "declare @r int",
                        std::string("exec @r = sp_getapplock @Resource = '") + kRunLock +
                            "', @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0",
                        "select @r as r", "set nocount off"});
  const std::int64_t granted = qrTmp.Eof() ? -999 : qrTmp.AsInteger("r");
  qrTmp.Close();
  if (granted < 0)
    throw db::Error(0, G("另一个升级程序正在升级此数据库（运行锁 ") + kRunLock +
                           G(" 已被占用，返回值 ") + std::to_string(granted) +
                           G("），本次运行未做任何改动。请等它结束后再运行。"));
}

void Upgrader::SaveDatabaseFile() {
  try {
    qrTmp.connection().Checkpoint();
  } catch (const db::Error& e) {
    throw db::Error(e.number(),
                    G("数据库文件未能写入：") + e.what() +
                        G("\n所有已完成步骤的改动都保存在数据库的日志文件（journal）中，没有丢失，"
                          "下次打开数据库时会写入数据库文件；请腾出磁盘空间后再次运行本程序。"));
  }
}

void Upgrader::SetProcess(std::string_view task_utf8) {
  view.SetProcessText(G("处理：") + G(task_utf8));
}

std::filesystem::path Upgrader::btExpZZMClick() {
  current_step_ = "btExpZZMClick";
  std::filesystem::path written;
  db::RunInTransaction(qrTmp, [&] { written = refdata::ExportZzm(ctx); });
  current_step_ = "run";
  SaveDatabaseFile();
  return written;
}

void Upgrader::btCrtPrtClick() {
  current_step_ = "btCrtPrtClick";
  db::RunInTransaction(qrTmp, [&] { refdata::CreatePrtTables(ctx); });
  current_step_ = "run";
  SaveDatabaseFile();
}

}  // namespace steps
