// The author-number exchange file zzm.dat: its reader (InputZzmCode) and its
// writer (the export button).
//
// Format. GBK text, one record a line, lines ended by CR LF, no header:
//
//   stored line  := reversed(record)
//   record       := marker field ("," field)*
//   marker       := 0xB4 lib_zzm_new | 0xB5 lib_zzm_hz | 0xB6 lib_zzm_old | 0xB7 lib_zzm_zst
//
// reversed() writes the bytes at the even positions of the line (the first
// byte is position 1, so the marker is odd and stays) in reverse order and
// leaves the odd positions in place; it is its own inverse. Fields carry no
// quoting: every field but the last of its record type runs to the next ","
// and the last takes whatever remains, commas included.
#include "refdata/zzm.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/batch.h"
#include "db/ledger.h"
#include "port/file.h"
#include "refdata/data_files.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace refdata {
namespace {

constexpr unsigned char kNew = 0xB4, kHz = 0xB5, kOld = 0xB6, kZst = 0xB7;

// Cuts `count` fields from the record text, from the left; see the format.
std::vector<std::string> CutFields(std::string rest, std::size_t count) {
  std::vector<std::string> fields;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const std::size_t comma = rest.find(',');
    if (comma == std::string::npos) {
      fields.emplace_back();
    } else {
      fields.push_back(rest.substr(0, comma));
      rest.erase(0, comma + 1);
    }
  }
  fields.push_back(rest);
  return fields;
}

std::string Quoted(const std::vector<std::string>& fields) {
  std::string s;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) s += ",";
    // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
    // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
    s += "'" + text::EscapeQuotes(fields[i]) + "'";
#pragma GCC diagnostic pop
  }
  return s;
}

}  // namespace

std::string ReverseEvenBytes(std::string_view line) {
  std::string out(line);
  const std::size_t m = line.size() - line.size() % 2;
  // Positions are 1-based in the format; even position i is index i-1.
  for (std::size_t i = 2; i <= m; i += 2) out[i - 1] = line[m + 2 - i - 1];
  return out;
}

void InputZzmCode(db::StepContext& ctx) {
  db::UpgradeView& view = ctx.view;
  view.SetBarVisible(true);
  const std::vector<std::string> lines = ReadDataFile(ctx.data_dirs, DataFile::Zzm);
  db::Batch batch(ctx.qrTmp);
  for (const std::string& stored : lines) {
    view.ProcessMessages();
    db::ProgressTick(view, 1);
    if (stored.size() < 2) continue;
    const std::string line = ReverseEvenBytes(stored);
    const unsigned char marker = static_cast<unsigned char>(line[0]);
    const std::string record = line.substr(1);
    std::vector<std::string> lines_sql;
    switch (marker) {
      case kNew:
      case kZst: {
        const auto f = CutFields(record, 6);
        if (text::Trim(f[0]).empty()) continue;
        const char* table = marker == kNew ? "lib_zzm_new" : "lib_zzm_zst";
        lines_sql = {std::string("insert into ") + table +
                         " (zz_zhuzhe,zz_pinyin,zz_code,zz_fufen,zz_begin,zz_end) values(",
                     Quoted(f) + ")"};
        break;
      }
      case kHz: {
        auto f = CutFields(record, 2);
        if (text::Trim(f[0]).empty()) continue;
        f[0] = f[0].substr(0, 2);
        lines_sql = {"insert into lib_zzm_hz (hz_hanzi,hz_pinyin) values(", Quoted(f) + ")"};
        break;
      }
      case kOld: {
        const auto f = CutFields(record, 2);
        if (text::Trim(f[0]).empty()) continue;
        lines_sql = {"insert into lib_zzm_old values(", Quoted(f) + ")"};
        break;
      }
      default:
        continue;
    }
    // A duplicate key or a value too long for its column skips the record.
    batch.RunTolerated(lines_sql);
  }
  batch.Flush();
  view.SetBarVisible(false);
}

std::filesystem::path ExportZzm(db::StepContext& ctx) {
  struct Section {
    const char* table;
    const char* select;
    unsigned char marker;
    std::vector<const char*> columns;
    int bar_after;
  };
  static const Section kSections[] = {
      {"lib_zzm_new", "select * from lib_zzm_new order by zz_zhuzhe,zz_begin", kNew,
       {"zz_zhuzhe", "zz_pinyin", "zz_code", "zz_fufen", "zz_begin", "zz_end"}, 30},
      {"lib_zzm_hz", "select * from lib_zzm_hz order by hz_hanzi", kHz, {"hz_hanzi", "hz_pinyin"}, 60},
      {"lib_zzm_old", "select * from lib_zzm_old order by zz_zhuzhe", kOld, {"zz_zhuzhe", "zz_code"}, 80},
      {"lib_zzm_zst", "select * from lib_zzm_zst order by zz_zhuzhe,zz_begin", kZst,
       {"zz_zhuzhe", "zz_pinyin", "zz_code", "zz_fufen", "zz_begin", "zz_end"}, 100},
  };

  // The new file is written beside the old one and replaces it only once it
  // is complete, so a failed export never costs the library its only copy.
  const std::filesystem::path folder = DataFolder(ctx.data_dirs);
  std::error_code made;  // a folder that cannot be made shows as the file that cannot be
  std::filesystem::create_directories(folder, made);
  const std::filesystem::path target = folder / FileName(DataFile::Zzm);
  std::filesystem::path partial = target;
  partial += ".new";
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  if (!out) throw DataFileError(DataFileMessage("无法创建", DataFile::Zzm, partial));
  db::UpgradeView& view = ctx.view;
  view.SetBarVisible(true);
  try {
    for (const Section& s : kSections) {
      db::OpenQuery(ctx.qrTmp, {s.select});
      while (!ctx.qrTmp.Eof()) {
        view.ProcessMessages();
        std::string record(1, static_cast<char>(s.marker));
        for (std::size_t i = 0; i < s.columns.size(); ++i) {
          const std::string value = text::Trim(ctx.qrTmp.AsString(s.columns[i]));
          // A comma in any field but the last would shift the fields after it;
          // a line break would cut the record.
          const bool last = i + 1 == s.columns.size();
          if ((!last && value.find(',') != std::string::npos) || value.find_first_of("\r\n") != std::string::npos)
            throw DataFileError(text::Gbk("著者号码文件 zzm.dat 存不下 ") + s.table + "." +
                                s.columns[i] + text::Gbk(" 的值“") + value +
                                text::Gbk("”：其中有逗号或换行"));
          if (i) record += ',';
          record += value;
        }
        out << ReverseEvenBytes(record) << "\r\n";
        if (!out) throw DataFileError(DataFileMessage("无法写入", DataFile::Zzm, partial));
        ctx.qrTmp.Next();
      }
      ctx.qrTmp.Close();
      view.SetBarPosition(s.bar_after);
    }
    out.close();
    if (!out) throw DataFileError(DataFileMessage("无法写入", DataFile::Zzm, partial));
    if (!port::ReplaceAtomically(partial.string(), target.string()))
      throw DataFileError(DataFileMessage("无法写入", DataFile::Zzm, target));
  } catch (...) {
    if (ctx.qrTmp.Active()) ctx.qrTmp.Close();
    out.close();
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }
  view.SetBarVisible(false);
  return target;
}

}  // namespace refdata
