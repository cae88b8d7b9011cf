// The classification file other.dat, loaded into lib_fenlei.
//
// Format. GBK text, one class a line, lines ended by CR LF, no header:
//
//   line := code "@" level "@" caption
//
// The code runs to the first "@", the level to the next; the caption is the
// rest of the line, "@" and blanks included. A line without "@" is all
// caption; a line with one "@" has no level. The code is stored with a
// trailing "/", the level behind a leading "0".
//
// A class that already has a caption of its own keeps it; new classes are
// inserted, and classes without a caption (or captioned with their own code)
// take the file's.
#include "refdata/other.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/ledger.h"
#include "refdata/data_files.h"
#include "text/gbk.h"
#include "text/isbn.h"
#include "text/sql_text.h"

namespace refdata {
namespace {


struct ClassLine {
  std::string code;  // with its trailing "/"
  std::string level;
  std::string caption;
};

ClassLine Cut(const std::string& line) {
  ClassLine c;
  std::string rest = line;
  const std::size_t first = rest.find('@');
  if (first == std::string::npos) {
    c.caption = rest;
  } else {
    c.code = rest.substr(0, first);
    rest.erase(0, first + 1);
    const std::size_t second = rest.find('@');
    if (second == std::string::npos) {
      c.caption = rest;
    } else {
      c.level = rest.substr(0, second);
      c.caption = rest.substr(second + 1);
    }
  }
  c.code = text::Trim(c.code) + "/";
  c.level = text::Trim(c.level);
  return c;
}

}  // namespace

void InputOtherData(db::StepContext& ctx) {
  const std::vector<std::string> lines = ReadDataFile(ctx.data_dirs, DataFile::Other);
  for (const std::string& line : lines) {
    ctx.view.ProcessMessages();
    const ClassLine c = Cut(line);
    const std::string code = text::EscapeQuotes(c.code);
    const std::string caption = text::EscapeQuotes(c.caption);

    db::OpenQuery(ctx.qrTmp, {"select fl_fenlei from lib_fenlei", "where fl_code='" + code + "'"});
    const bool found = !ctx.qrTmp.Eof();
    const std::string current = found ? text::Trim(ctx.qrTmp.AsString("fl_fenlei")) : std::string();
    ctx.qrTmp.Close();

    if (current.empty() || current == c.code) {
      if (!found) {
        // The level goes into the statement as a number; anything but digits
        // would fail the insert anyway, so such a line is skipped unsent.
        if (text::IsAllDigits(c.level)) {
          db::RunTolerated(ctx.qrTmp, {"insert into lib_fenlei(fl_code,fl_mark,fl_degree,fl_fenlei,fl_keyword,fl_curnum) values(",
                                       "'" + code + "',", "'0',", "0" + c.level + ",", "'" + caption + "',",
                                       "'" + caption + "',", "0)"});
        }
      } else {
        db::RunTolerated(ctx.qrTmp, {"update lib_fenlei set", "fl_fenlei='" + caption + "',",
                                     "fl_keyword='" + caption + "'", "where fl_code='" + code + "'"});
      }
    }
    db::ProgressTick(ctx.view, 1);
  }
}

}  // namespace refdata
