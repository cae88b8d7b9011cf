#include "refdata/data_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "port/program_path.h"
#include "text/gbk.h"

#ifndef LIBUPGRADE_BIN_TO_PREFIX
#define LIBUPGRADE_BIN_TO_PREFIX ".."
#endif

namespace refdata {
namespace fs = std::filesystem;

namespace {

// A path in a GBK message. File names on this system are UTF-8; one that GBK
// cannot spell keeps its bytes (the window then shows it as well as it can).
std::string PathText(const fs::path& p) {
  try {
    return text::Gbk(p.string());
  } catch (const std::exception&) {
    return p.string();
  }
}

// A folder as compared with another: its normal form without a trailing
// separator, so "C:\libupgrade", "C:\libupgrade\" and "C:\libupgrade\." are
// one folder.
fs::path FolderKey(const fs::path& dir) {
  fs::path key = dir.lexically_normal();
  if (!key.has_filename() && key.has_relative_path()) key = key.parent_path();
  return key;
}

// dirs without the repeats of a folder, each kept where it first appears, as
// it was written there.
std::vector<fs::path> Distinct(const std::vector<fs::path>& dirs) {
  std::vector<fs::path> out;
  std::vector<fs::path> keys;
  for (const fs::path& dir : dirs) {
    fs::path key = FolderKey(dir);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    keys.push_back(std::move(key));
    out.push_back(dir);
  }
  return out;
}

}  // namespace

const char* FileName(DataFile file) {
  switch (file) {
    case DataFile::Zzm:
      return "zzm.dat";
    case DataFile::Other:
      return "other.dat";
    case DataFile::MarcRule:
      return "MarcRule.txt";
  }
  return "";
}

const char* FileTitle(DataFile file) {
  switch (file) {
    case DataFile::Zzm:
      return "著者号码文件";
    case DataFile::Other:
      return "分类文件";
    case DataFile::MarcRule:
      return "MARC规则文件";
  }
  return "";
}

fs::path ProgramDir() {
  const fs::path exe = port::ProgramPath();
  return exe.empty() ? fs::current_path() : exe.parent_path();
}

std::vector<fs::path> DefaultDataDirs(const fs::path& program_dir) {
#ifdef _WIN32
  return {program_dir};  // one place on Windows
#else
  fs::path prefix = (program_dir / LIBUPGRADE_BIN_TO_PREFIX).lexically_normal();
  if (!prefix.has_filename()) prefix = prefix.parent_path();  // "/usr/" -> "/usr"
  // The file-system hierarchy keeps the variable data of /usr (and of /) in
  // /var; any other prefix keeps its own var folder.
  const fs::path var = prefix == "/usr" || prefix == "/" ? fs::path("/var") : prefix / "var";
  return Distinct({program_dir, var / "lib" / "libupgrade"});
#endif
}

fs::path DataFolder(const std::vector<fs::path>& dirs) {
  return dirs.empty() ? ProgramDir() : dirs.back();
}

std::string DataFileMessage(const char* what_utf8, DataFile file, const fs::path& path) {
  return text::Gbk(std::string(what_utf8) + FileTitle(file) + " ") + PathText(path);
}

fs::path LocateDataFile(const std::vector<fs::path>& dirs, DataFile file) {
  for (const fs::path& dir : dirs) {
    const fs::path p = dir / FileName(file);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec || !fs::exists(st)) continue;
    // A folder opens "successfully" and then reads nothing; only a regular
    // file (or a link to one) that opens counts as readable.
    if (!fs::is_regular_file(p, ec) || !std::ifstream(p, std::ios::binary))
      throw DataFileError(DataFileMessage("无法读取", file, p));
    return p;
  }
  std::string where;
  for (const fs::path& dir : Distinct(dirs)) {
    if (!where.empty()) where += text::Gbk("、");
    where += PathText(dir);
  }
  throw DataFileError(
      text::Gbk(std::string("找不到") + FileTitle(file) + " " + FileName(file) + "（查找位置：") +
      where + text::Gbk("）"));
}

std::vector<std::string> ReadDataFile(const std::vector<fs::path>& dirs, DataFile file) {
  const fs::path path = LocateDataFile(dirs, file);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DataFileError(DataFileMessage("无法读取", file, path));
  const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw DataFileError(DataFileMessage("无法读取", file, path));
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace refdata
