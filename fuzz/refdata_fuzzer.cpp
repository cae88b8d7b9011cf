// The readers of the three data files a librarian may hand the utility:
// zzm.dat, other.dat and MarcRule.txt (one target each, chosen by
// LIBUPGRADE_FUZZ_FILE at compile time). The input is written as the file and
// read into a database holding the tables of the latest schema. The readers
// may refuse a file (DataFileError) or a statement may fail (db::Error);
// anything else escaping, a crash or a sanitizer report is a finding.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <memory>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "db/view.h"
#include "engine/engine.h"
#include "fuzz/scratch.h"
#include "refdata/marc_rule.h"
#include "refdata/other.h"
#include "refdata/zzm.h"
#include "steps/upgrader.h"
#include "text/gbk.h"

namespace {

class QuietView : public db::UpgradeView {
 public:
  void SetProcessText(std::string_view) override {}
  void SetProcessVisible(bool) override {}
  void SetBarVisible(bool) override {}
  void SetBarPosition(int position) override { bar_ = position; }
  int BarPosition() const override { return bar_; }
  void SetNumText(std::string_view) override {}
  void SetNumVisible(bool) override {}
  bool BeforeChecked() const override { return false; }
  void SetBeforeChecked(bool) override {}
  bool DeleteOldChecked() const override { return false; }
  void SetDeleteOldChecked(bool) override {}
  bool BackUpChecked() const override { return false; }
  void SetDoWorkEnabled(bool) override {}
  void SetExitEnabled(bool) override {}
  void SetBackUpEnabled(bool) override {}
  void Repaint() override {}
  void ProcessMessages() override {}
  void ShowInformation(std::string_view) override {}

 private:
  int bar_ = 0;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A database with the tables of the latest schema fixture, made once.
void LoadSchema(const std::string& path) {
  auto db = engine::Database::open(path, engine::Database::OpenMode::CreateIfMissing);
  std::string script = ReadFile(LIBUPGRADE_SOURCE_DIR "/data/fixtures/release_2015_03.sql");
  for (std::string_view batch : fuzz::SplitBatches(script)) {
    try {
      db->execute(text::Gbk(batch));
    } catch (const engine::Error&) {
    }
  }
}

}  // namespace

// Each input is read inside a transaction that is then rolled back, so that
// every input meets the same tables.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dir = fuzz::ScratchDir();
  static QuietView view;
  static std::unique_ptr<db::Connection> c = [] {
    std::string path = (dir / "refdata.db").string();
    LoadSchema(path);
    db::ConnectParams params;
    params.data_source = "embedded:" + path;
    return db::Connect(params);
  }();
  static steps::Upgrader up(*c, view, dir);
  constexpr int kFile = LIBUPGRADE_FUZZ_FILE;
  static const char* const kNames[] = {"zzm.dat", "other.dat", "MarcRule.txt"};
  std::ofstream(dir / kNames[kFile], std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  c->Execute("begin transaction");
  try {
    if (kFile == 0) refdata::InputZzmCode(up.ctx);
    if (kFile == 1) refdata::InputOtherData(up.ctx);
    if (kFile == 2) refdata::InputMarcRule(up.ctx);
  } catch (const db::Error&) {
  } catch (const std::runtime_error&) {
  }
  c->Execute("if @@trancount > 0 rollback transaction");
  return 0;
}
