// What the test suites share: a view that records every change the core makes
// to it, scratch databases built from the fixture scripts, and small readers.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/view.h"
#include "steps/upgrader.h"

namespace testing_support {

// Records every call as one line of text (UTF-8), e.g. "process 处理：分类表",
// "bar 25", "bar visible", "num 300", "info 所有处理已完成！", "repaint", "pump".
// The whole vocabulary: "process <text>", "process visible|hidden",
// "bar <n>", "bar visible|hidden", "num <text>", "num visible|hidden",
// "before checked|unchecked", "del checked|unchecked",
// "dowork enabled|disabled", "exit enabled|disabled", "backup enabled|disabled",
// "repaint", "pump", "info <text>". The members below hold the current state.
class RecordingView : public db::UpgradeView {
 public:
  void SetProcessText(std::string_view gbk) override;
  void SetProcessVisible(bool visible) override;
  void SetBarVisible(bool visible) override;
  void SetBarPosition(int position) override;
  int BarPosition() const override { return bar_; }
  void SetNumText(std::string_view gbk) override;
  void SetNumVisible(bool visible) override;
  bool BeforeChecked() const override { return before_; }
  void SetBeforeChecked(bool checked) override;
  bool DeleteOldChecked() const override { return del_; }
  void SetDeleteOldChecked(bool checked) override;
  bool BackUpChecked() const override { return backup_; }
  void SetDoWorkEnabled(bool enabled) override;
  void SetExitEnabled(bool enabled) override;
  void SetBackUpEnabled(bool enabled) override;
  void Repaint() override;
  void ProcessMessages() override;
  void ShowInformation(std::string_view gbk) override;

  std::vector<std::string> events;  // in order
  // Only the events that start with prefix ("bar ", "process ", ...), prefix removed.
  std::vector<std::string> Only(std::string_view prefix) const;

  bool before_ = false;
  bool del_ = false;
  bool backup_ = true;
  bool do_work_enabled_ = false;
  bool exit_enabled_ = true;
  bool backup_enabled_ = true;
  bool process_visible_ = true;
  bool bar_visible_ = false;
  bool num_visible_ = false;
  int bar_ = 0;
};

// A database file in a fresh temporary folder, removed with the object.
class ScratchDb {
 public:
  // Builds the database from the named scripts of data/fixtures/ (UTF-8,
  // batches separated by lines holding only GO), in order. No scripts: an
  // empty database.
  explicit ScratchDb(const std::vector<std::string>& fixtures = {});
  ~ScratchDb();
  ScratchDb(const ScratchDb&) = delete;
  ScratchDb& operator=(const ScratchDb&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string data_source() const { return "embedded:" + path_.string(); }
  const std::filesystem::path& dir() const { return dir_; }

  // A connection to it (the database must not be open elsewhere).
  std::unique_ptr<db::Connection> Connect() const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path path_;
};

// What a step test works with: a database built from fixture scripts, a
// connection to it, a recording view, an Upgrader on both, and every statement
// sent through the connection, in order.
struct StepRig {
  // data_dir: folder of the data files; by default the database's own folder
  // (which holds none).
  explicit StepRig(const std::vector<std::string>& fixtures,
                   std::optional<std::filesystem::path> data_dir = std::nullopt);

  ScratchDb scratch;
  std::unique_ptr<db::Connection> c;
  RecordingView view;
  steps::Upgrader up;
  std::vector<std::string> sent;      // UTF-8
  std::vector<std::string> sent_gbk;  // as sent
  std::vector<std::string> outcomes;  // "ok " or "failed " + the UTF-8 text

  // The outcomes of the statements that are not reads (select), in order.
  std::vector<std::string> Changes() const;
  void ClearSent();
  std::vector<std::string> Rows(const std::string& utf8_sql);
  void Run(const std::string& utf8_script);
};

// Runs a UTF-8 script (GO-separated batches) on an open connection.
void RunScript(db::Connection& c, const std::string& utf8_script);
// Runs one UTF-8 batch and returns its rows, each value converted to UTF-8 with
// trailing blanks removed; NULL as "NULL"; values separated by '|'.
std::vector<std::string> Rows(db::Connection& c, const std::string& utf8_sql);
// The first value of the first row, or nullopt when there is no row.
std::optional<std::string> Scalar(db::Connection& c, const std::string& utf8_sql);

// The storage's fault hook (LIBUPGRADE_STORAGE_FAULT, e.g. "fail-flush:1") for
// the databases opened, and the child processes started, while it lives.
class StorageFault {
 public:
  explicit StorageFault(const char* plan);
  ~StorageFault();
  StorageFault(const StorageFault&) = delete;
  StorageFault& operator=(const StorageFault&) = delete;
};

// Folder of the sample data files (data/sample).
std::filesystem::path SampleDir();
// Folder of the built programs (build/bin).
std::filesystem::path BinDir();

// The whole of a file's bytes; empty when it cannot be read.
std::string Slurp(const std::filesystem::path& file);

}  // namespace testing_support
