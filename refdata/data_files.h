// Where the reference-data files zzm.dat, other.dat and MarcRule.txt are
// found, and the error that names one that is missing or unreadable.
//
// The files are looked for in a list of folders, first match wins: by default
// the folder of the running program, then the data folder of the installation
// it belongs to (/var/lib/libupgrade for programs in /usr/bin, where an
// administrator puts the library's own files; the package makes that folder
// and leaves it empty); on Windows the program's folder alone.
// `libupgrade-cli --data-dir DIR` makes the list DIR alone.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace refdata {

enum class DataFile { Zzm, Other, MarcRule };

// The file's own name, "zzm.dat".
const char* FileName(DataFile file);
// What the window calls it, UTF-8: "著者号码文件".
const char* FileTitle(DataFile file);

// A data file that cannot be found, read or written. what() is GBK, in
// Chinese, as the window shows it, and names the file and the folders looked in.
class DataFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Folder of the running program (/proc/self/exe); the current folder when the
// system cannot say.
std::filesystem::path ProgramDir();

// The default search list for a program in program_dir: that folder, then the
// data folder of the installation it belongs to, written without "..":
// /var/lib/libupgrade for /usr/bin (and /bin), <prefix>/var/lib/libupgrade
// for any other <prefix>/bin. On Windows program_dir alone. A folder is
// listed once however it is written.
std::vector<std::filesystem::path> DefaultDataDirs(
    const std::filesystem::path& program_dir = ProgramDir());

// The folder a file written by the program goes to: the last of the search
// list, which is the installation's data folder by default (never /usr/bin),
// the one folder of --data-dir, and the program's folder on Windows.
std::filesystem::path DataFolder(const std::vector<std::filesystem::path>& dirs);

// Path of the file in the first folder of dirs that has an entry of that
// name. Throws DataFileError when no folder has one ("找不到著者号码文件
// zzm.dat（查找位置：/usr/bin、/var/lib/libupgrade）") and when the entry
// found is not a file that can be opened for reading ("无法读取著者号码文件
// /usr/bin/zzm.dat"): a file that is there but unreadable is reported, never
// passed over for one further down the list. The message names each folder
// once, however often dirs repeats it ("C:\lib" and "C:\lib\" are one).
std::filesystem::path LocateDataFile(const std::vector<std::filesystem::path>& dirs, DataFile file);

// Every line of the located file without its line end (CR LF or LF); the
// errors of LocateDataFile, and DataFileError when reading fails part-way.
std::vector<std::string> ReadDataFile(const std::vector<std::filesystem::path>& dirs,
                                      DataFile file);

// The GBK message "<what><title> <path>" for errors on a located file, e.g.
// DataFileMessage("无法写入", DataFile::Zzm, p).
std::string DataFileMessage(const char* what_utf8, DataFile file,
                            const std::filesystem::path& path);

}  // namespace refdata
