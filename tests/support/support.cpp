// Shared test helpers: the recording view, scratch databases built from the
// fixture scripts, and readers that turn results into comparable UTF-8 text.
#include "tests/support/support.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "engine/engine.h"
#include "tests/support/child_process.h"
#include "text/gbk.h"

namespace testing_support {

namespace {

std::string OnOff(bool b, const char* on, const char* off) {
  return b ? on : off;
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Splits a script into batches at lines that hold only GO (any case, blanks
// around it allowed). Empty batches are dropped.
std::vector<std::string> SplitBatches(const std::string& script) {
  std::vector<std::string> batches;
  std::string current;
  std::istringstream in(script);
  std::string line;
  auto flush = [&] {
    if (text::Trim(current).empty() == false) batches.push_back(current);
    current.clear();
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = text::Trim(line);
    if (t.size() == 2 && (t[0] == 'G' || t[0] == 'g') && (t[1] == 'O' || t[1] == 'o')) {
      flush();
      continue;
    }
    if (!current.empty()) current += '\n';
    current += line;
  }
  flush();
  return batches;
}

}  // namespace

void RecordingView::SetProcessText(std::string_view gbk) {
  events.push_back("process " + text::Utf8(gbk));
}
void RecordingView::SetProcessVisible(bool visible) {
  process_visible_ = visible;
  events.push_back(OnOff(visible, "process visible", "process hidden"));
}
void RecordingView::SetBarVisible(bool visible) {
  bar_visible_ = visible;
  events.push_back(OnOff(visible, "bar visible", "bar hidden"));
}
void RecordingView::SetBarPosition(int position) {
  bar_ = position;
  events.push_back("bar " + std::to_string(position));
}
void RecordingView::SetNumText(std::string_view gbk) {
  events.push_back("num " + text::Utf8(gbk));
}
void RecordingView::SetNumVisible(bool visible) {
  num_visible_ = visible;
  events.push_back(OnOff(visible, "num visible", "num hidden"));
}
void RecordingView::SetBeforeChecked(bool checked) {
  before_ = checked;
  events.push_back(OnOff(checked, "before checked", "before unchecked"));
}
void RecordingView::SetDeleteOldChecked(bool checked) {
  del_ = checked;
  events.push_back(OnOff(checked, "del checked", "del unchecked"));
}
void RecordingView::SetDoWorkEnabled(bool enabled) {
  do_work_enabled_ = enabled;
  events.push_back(OnOff(enabled, "dowork enabled", "dowork disabled"));
}
void RecordingView::SetExitEnabled(bool enabled) {
  exit_enabled_ = enabled;
  events.push_back(OnOff(enabled, "exit enabled", "exit disabled"));
}
void RecordingView::SetBackUpEnabled(bool enabled) {
  backup_enabled_ = enabled;
  events.push_back(OnOff(enabled, "backup enabled", "backup disabled"));
}
void RecordingView::Repaint() {
  events.push_back("repaint");
}
void RecordingView::ProcessMessages() {
  events.push_back("pump");
}
void RecordingView::ShowInformation(std::string_view gbk) {
  events.push_back("info " + text::Utf8(gbk));
}

std::vector<std::string> RecordingView::Only(std::string_view prefix) const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.size() >= prefix.size() && std::string_view(e).substr(0, prefix.size()) == prefix)
      out.push_back(e.substr(prefix.size()));
  return out;
}

ScratchDb::ScratchDb(const std::vector<std::string>& fixtures) {
  // A folder of its own: a random name that did not exist before.
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    dir_ = std::filesystem::temp_directory_path() /
           ("libupgrade-test-" + std::to_string(random()) + std::to_string(random()));
    if (std::filesystem::create_directory(dir_)) break;
    if (attempt == 100) throw std::runtime_error("cannot make a temporary folder");
  }
  path_ = dir_ / "lib.db";
  engine::Database::open(path_.string(), engine::Database::OpenMode::CreateIfMissing);
  if (fixtures.empty()) return;
  auto c = Connect();
  const auto fixture_dir = std::filesystem::path(LIBUPGRADE_SOURCE_DIR) / "data" / "fixtures";
  // One transaction, one flush of the journal: each statement on its own
  // would wait for the disk.
  c->Execute("begin transaction");
  for (const auto& name : fixtures) {
    auto p = fixture_dir / name;
    if (!std::filesystem::exists(p)) p = fixture_dir / (name + ".sql");
    RunScript(*c, ReadFile(p));
  }
  c->Execute("commit transaction");
}

ScratchDb::~ScratchDb() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::unique_ptr<db::Connection> ScratchDb::Connect() const {
  db::ConnectParams p;
  p.data_source = data_source();
  return db::Connect(p);
}

void RunScript(db::Connection& c, const std::string& utf8_script) {
  for (const auto& batch : SplitBatches(utf8_script)) c.Execute(text::Gbk(batch));
}

std::vector<std::string> Rows(db::Connection& c, const std::string& utf8_sql) {
  auto cur = c.Execute(text::Gbk(utf8_sql));
  std::vector<std::string> rows;
  const std::size_t n = cur->Columns().size();
  while (cur->Fetch()) {
    std::string row;
    for (std::size_t i = 0; i < n; ++i) {
      if (i) row += '|';
      const auto& v = cur->Value(i);
      row += v ? text::Utf8(text::TrimRight(*v)) : "NULL";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<std::string> Scalar(db::Connection& c, const std::string& utf8_sql) {
  auto cur = c.Execute(text::Gbk(utf8_sql));
  if (cur->Columns().empty() || !cur->Fetch()) return std::nullopt;
  const auto& v = cur->Value(0);
  return v ? text::Utf8(text::TrimRight(*v)) : "NULL";
}

StorageFault::StorageFault(const char* plan) {
  SetEnvironment("LIBUPGRADE_STORAGE_FAULT", plan);
}

StorageFault::~StorageFault() {
  SetEnvironment("LIBUPGRADE_STORAGE_FAULT", std::nullopt);
}

std::filesystem::path SampleDir() {
  return std::filesystem::path(LIBUPGRADE_SOURCE_DIR) / "data" / "sample";
}

std::filesystem::path BinDir() {
  return std::filesystem::path(LIBUPGRADE_BIN_DIR);
}

StepRig::StepRig(const std::vector<std::string>& fixtures,
                 std::optional<std::filesystem::path> data_dir)
    : scratch(fixtures), c(scratch.Connect()), up(*c, view, data_dir.value_or(scratch.dir())) {
  c->on_statement = [this](const db::StatementEvent& e) {
    sent_gbk.push_back(e.sql);
    sent.push_back(text::Utf8(e.sql));
    outcomes.push_back((e.ok ? "ok " : "failed ") + sent.back());
  };
}

std::vector<std::string> StepRig::Changes() const {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < sent.size(); ++i)
    if (sent[i].rfind("select", 0) != 0) out.push_back(outcomes[i]);
  return out;
}

void StepRig::ClearSent() {
  sent.clear();
  sent_gbk.clear();
  outcomes.clear();
}

std::vector<std::string> StepRig::Rows(const std::string& utf8_sql) {
  return testing_support::Rows(*c, utf8_sql);
}

void StepRig::Run(const std::string& utf8_script) {
  RunScript(*c, utf8_script);
}

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testing_support
