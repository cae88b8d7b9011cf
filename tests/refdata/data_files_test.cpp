// Finding the reference-data files: the search order, the Chinese message that
// names a missing file and every folder looked in, a file that is there but
// cannot be read, and the installed share folder beside the programs' folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "refdata/data_files.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

namespace fs = std::filesystem;
using refdata::DataFile;
using refdata::DataFileError;

struct Folders {
  testing_support::ScratchDb scratch;
  fs::path first = scratch.dir() / "bin";
  fs::path second = scratch.dir() / "share";
  Folders() {
    fs::create_directories(first);
    fs::create_directories(second);
  }
  static void Write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
};

// The message as the window shows it (the error's text is GBK).
std::string Message(const std::vector<fs::path>& dirs, DataFile f) {
  try {
    refdata::LocateDataFile(dirs, f);
  } catch (const DataFileError& e) {
    return text::Utf8(e.what());
  }
  return "no error";
}

TEST(LocateDataFile, FirstFolderThatHasTheFileWins) {
  Folders t;
  Folders::Write(t.second / "zzm.dat", "2");
  EXPECT_EQ(refdata::LocateDataFile({t.first, t.second}, DataFile::Zzm), t.second / "zzm.dat");
  Folders::Write(t.first / "zzm.dat", "1");
  EXPECT_EQ(refdata::LocateDataFile({t.first, t.second}, DataFile::Zzm), t.first / "zzm.dat");
}

TEST(LocateDataFile, MissingFileIsNamedInChineseWithEveryFolderSearched) {
  Folders t;
  const std::string where = t.first.string() + "、" + t.second.string();
  EXPECT_EQ(Message({t.first, t.second}, DataFile::Zzm),
            "找不到著者号码文件 zzm.dat（查找位置：" + where + "）");
  EXPECT_EQ(Message({t.first, t.second}, DataFile::Other),
            "找不到分类文件 other.dat（查找位置：" + where + "）");
  EXPECT_EQ(Message({t.first}, DataFile::MarcRule),
            "找不到MARC规则文件 MarcRule.txt（查找位置：" + t.first.string() + "）");
}

// A folder written twice, with a trailing separator or a "." the second time,
// is named once (the window listed the program's folder of a Windows
// installation twice).
TEST(LocateDataFile, FolderWrittenTwoWaysIsNamedOnce) {
  Folders t;
  const fs::path trailing = t.first / "";
  const fs::path dot = t.first / ".";
  ASSERT_NE(trailing, t.first);
  EXPECT_EQ(Message({t.first, trailing, t.second, dot}, DataFile::Zzm),
            "找不到著者号码文件 zzm.dat（查找位置：" + t.first.string() + "、" +
                t.second.string() + "）");
  EXPECT_EQ(Message({trailing, t.first}, DataFile::Zzm),
            "找不到著者号码文件 zzm.dat（查找位置：" + trailing.string() + "）");
}

// A file that is there but cannot be read is reported as such: passing it over
// for a copy further down the list would load data nobody meant to load.
TEST(LocateDataFile, EntryThatCannotBeReadIsReportedNotPassedOver) {
  Folders t;
  Folders::Write(t.second / "other.dat", "A@1@x\r\n");
  fs::create_directory(t.first / "other.dat");
  EXPECT_EQ(Message({t.first, t.second}, DataFile::Other),
            "无法读取分类文件 " + (t.first / "other.dat").string());
#ifndef _WIN32  // a dangling link (the Windows C runtime makes no links)
  fs::create_symlink(t.first / "nowhere", t.first / "zzm.dat");
  EXPECT_EQ(Message({t.first, t.second}, DataFile::Zzm),
            "无法读取著者号码文件 " + (t.first / "zzm.dat").string());
#endif
}

TEST(DefaultDataDirs, ProgramFolderThenTheInstallationsDataFolder) {
#ifdef _WIN32
  // On Windows the data files have one place: the program's folder, which
  // is also where a file the program writes goes.
  const std::vector<fs::path> windows{"C:/Program Files/Quorvant/libupgrade"};
  EXPECT_EQ(refdata::DefaultDataDirs(windows[0]), windows);
  EXPECT_EQ(refdata::DataFolder(windows), windows[0]);
#else
  // /usr and / keep their variable data in /var; any other prefix in its own.
  const std::pair<fs::path, fs::path> cases[] = {
      {"/usr/bin", "/var/lib/libupgrade"},
      {"/usr/bin/", "/var/lib/libupgrade"},
      {"/bin", "/var/lib/libupgrade"},
      {"/usr/local/bin", "/usr/local/var/lib/libupgrade"},
      {"/opt/lib/bin", "/opt/lib/var/lib/libupgrade"},
  };
  for (const auto& [bin, data] : cases) {
    const std::vector<fs::path> dirs = refdata::DefaultDataDirs(bin);
    EXPECT_EQ(dirs, (std::vector<fs::path>{bin, data})) << bin;
    EXPECT_EQ(refdata::DataFolder(dirs), data) << bin;
  }
  EXPECT_EQ(refdata::DataFolder({"/srv/lib/data"}), "/srv/lib/data");  // --data-dir
#endif
  EXPECT_TRUE(fs::equivalent(refdata::DefaultDataDirs().front(), fs::path(LIBUPGRADE_BIN_DIR)));
}

TEST(ReadDataFile, LinesWithoutTheirEnds) {
  Folders t;
  Folders::Write(t.first / "other.dat", "a\r\nb\n\r\nc");
  EXPECT_EQ(refdata::ReadDataFile({t.first}, DataFile::Other),
            (std::vector<std::string>{"a", "b", "", "c"}));
  Folders::Write(t.first / "other.dat", "");
  EXPECT_TRUE(refdata::ReadDataFile({t.first}, DataFile::Other).empty());
}

}  // namespace
