#include "tests/upgrade/fixtures.h"

#include <algorithm>
#include <cctype>

#include "steps/upgrader.h"
#include "text/gbk.h"

namespace upgrade_check {

std::filesystem::path FixturePath(const std::string& name) {
  return std::filesystem::path(LIBUPGRADE_SOURCE_DIR) / "data" / "fixtures" / name;
}

std::vector<std::string> ReleaseFixtures() {
  std::vector<std::string> names = {"pre2005.sql", "release_2005_01.sql", "release_2007_03.sql",
                                    "release_2007_12.sql", "release_2015_03.sql"};
  std::vector<std::string> more;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(FixturePath("").parent_path(), ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("release_", 0) == 0 && entry.path().extension() == ".sql" &&
        std::find(names.begin(), names.end(), file) == names.end())
      more.push_back(file);
  }
  std::sort(more.begin(), more.end());
  names.insert(names.end(), more.begin(), more.end());
  return names;
}

std::string FixtureTestName(const std::string& file) {
  std::string name = std::filesystem::path(file).stem().string();
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

std::optional<std::string> RunFullUpgrade(db::Connection& c,
                                          testing_support::RecordingView& view) {
  view.backup_ = true;
  steps::Upgrader upgrader(c, view, testing_support::SampleDir());
  try {
    upgrader.RunSequence();
  } catch (const std::exception& e) {
    std::string message;
    try {
      message = text::Utf8(e.what());
    } catch (...) {
      message = e.what();
    }
    return "the run stopped in " + upgrader.CurrentStep() + ": " + message;
  }
  return std::nullopt;
}

}  // namespace upgrade_check
