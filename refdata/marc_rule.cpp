// Loader of the MARC rule file MarcRule.txt, and the cataloguing templates.
//
// The file is GBK text in three sections, each ended by a line that begins
// with "===":
//
//   line 1, line 2                      ignored
//   field rules ...                     -> lib_marc_rule
//   ===...
//   one line                            ignored
//   subfield rules ...                  -> lib_marc_field_rule
//   ===...
//   one line                            ignored
//   pinyin readings ...                 -> lib_pin_yin
//   ===...                              (or the end of the file)
//
// A data line is cut at "|"; the last field a section uses takes the rest of
// the line, further "|" included. A field without a "|" of its own is empty.
// Lines shorter than 10 bytes (6 in the pinyin section) are skipped.
#include "refdata/marc_rule.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "db/batch.h"
#include "db/ledger.h"
#include "refdata/data_files.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace refdata {
namespace {

// Cuts the first count-1 fields off the line at "|" and returns them with the
// rest of the line as the last one.
std::vector<std::string> CutFields(std::string_view line, std::size_t count) {
  std::vector<std::string> fields;
  fields.reserve(count);
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
      fields.emplace_back();
      continue;
    }
    fields.emplace_back(line.substr(0, bar));
    line.remove_prefix(bar + 1);
  }
  fields.emplace_back(line);
  return fields;
}

// Removes ASCII blanks, then full-width blanks (A1 A1) that stand as one GBK
// character, so that the trail byte of one character and the lead byte of the
// next are never taken for a blank.
std::string RemoveSpaces(std::string_view s) {
  std::string ascii;
  for (char c : s)
    if (c != ' ') ascii += c;
  std::string out;
  for (std::size_t i = 0; i < ascii.size();) {
    if (text::IsGbkPair(ascii, i)) {
      if (!(static_cast<unsigned char>(ascii[i]) == 0xA1 &&
            static_cast<unsigned char>(ascii[i + 1]) == 0xA1))
        out.append(ascii, i, 2);
      i += 2;
    } else {
      out += ascii[i++];
    }
  }
  return out;
}

std::string Quoted(std::string_view value) {
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  return "'" + text::EscapeQuotes(value) + "'";
#pragma GCC diagnostic pop
}

// An unquoted number field goes into the statement as it stands, so that the
// server judges it as before; anything that is not number-like is refused here
// rather than pasted into the statement.
bool NumberLike(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ' ' || c == '\t'))
      return false;
  return true;
}

bool IsMarker(std::string_view line) {
  return line.substr(0, 3) == "===";
}

class RuleFile {
 public:
  explicit RuleFile(const std::filesystem::path& path) : in_(path, std::ios::binary) {
    if (!in_) throw DataFileError(DataFileMessage("无法读取", DataFile::MarcRule, path));
  }
  bool AtEnd() { return in_.peek() == std::char_traits<char>::eof(); }
  // One line without its line break; "" at the end of the file.
  std::string ReadLine() {
    std::string line;
    if (!std::getline(in_, line)) return {};
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

 private:
  std::ifstream in_;
};

// Walks the data lines of one section, up to its marker or the end of the
// file, handing each line of at least min_length bytes to insert.
template <class Insert>
void Section(RuleFile& file, db::StepContext& ctx, std::size_t min_length, Insert insert) {
  while (!file.AtEnd()) {
    ctx.view.ProcessMessages();
    const std::string line = file.ReadLine();
    if (IsMarker(line)) break;
    if (line.size() < min_length) continue;
    insert(line);
  }
}

void FieldRule(db::Batch& batch, const std::string& line) {
  const auto f = CutFields(line, 8);
  batch.RunTolerated({
                                  "insert into lib_marc_rule(mr_code,mr_name,mr_sign1,mr_sign2,"
                                  "mr_must,mr_more,mr_remark) values(",
                                  Quoted(f[1]) + ",",
                                  Quoted(RemoveSpaces(f[2])) + ",",
                                  Quoted(f[4]) + ",",
                                  Quoted(f[5]) + ",",
                                  Quoted(f[6]) + ",",
                                  Quoted(f[7]) + ",",
                                  Quoted(f[3]) + ")",
                              });
}

void SubfieldRule(db::Batch& batch, const std::string& line) {
  const auto f = CutFields(line, 9);
  if (!NumberLike(f[4]) || !NumberLike(f[8])) return;
  batch.RunTolerated({
                                  "insert into lib_marc_field_rule(mf_code,mf_subcode,mf_name,"
                                  "mf_must,mf_more,mf_order,mf_chinese) values(",
                                  Quoted(f[1]) + ",",
                                  Quoted(f[2]) + ",",
                                  Quoted(RemoveSpaces(f[3])) + ",",
                                  Quoted(f[6]) + ",",
                                  Quoted(f[7]) + ",",
                                  f[4] + ",",
                                  f[8] + ")",
                              });
}

void PinYin(db::Batch& batch, const std::string& line) {
  const auto f = CutFields(line, 3);
  const std::string pinyin = text::Trim(f[2]);
  if (pinyin.empty() || !NumberLike(f[1])) return;
  batch.RunTolerated({
                                  "insert into lib_pin_yin(py_hanzi,py_pinyin,py_order) values(",
                                  Quoted(f[0]) + ",",
                                  Quoted(pinyin) + ",",
                                  f[1] + ")",
                              });
}

// One template entry: tag, 1E, subfield code, 1E, value, 1F.
struct Subfield {
  char code;
  const char* value;  // UTF-8
};
struct Field {
  const char* tag;
  const char* indicators;
  std::vector<Subfield> subfields;
};

std::string Model(const std::vector<Field>& fields, int year) {
  char number[16];
  std::snprintf(number, sizeof number, "01%04d000000", year);
  auto entry = [](std::string_view tag, std::string_view code, std::string_view value) {
    std::string e(tag);
    e += '\x1E';
    e += code;
    e += '\x1E';
    e += value;
    e += '\x1F';
    return e;
  };
  std::string out = entry("000", "", "nam0 ") + entry("001", "", number);
  for (const Field& f : fields) {
    out += entry(f.tag, "", f.indicators);
    for (const Subfield& s : f.subfields)
      out += entry("", std::string_view(&s.code, 1), text::Gbk(s.value));
  }
  return out;
}

}  // namespace

std::filesystem::path MarcRulePath(const db::StepContext& ctx) {
  return LocateDataFile(ctx.data_dirs, DataFile::MarcRule);
}

void CheckMarcRuleReadable(const db::StepContext& ctx) {
  RuleFile file(MarcRulePath(ctx));
}

void InputMarcRule(db::StepContext& ctx) {
  ctx.view.SetBarPosition(35);
  RuleFile file(MarcRulePath(ctx));
  db::Batch batch(ctx.qrTmp);
  file.ReadLine();
  file.ReadLine();
  Section(file, ctx, 10, [&](const std::string& line) { FieldRule(batch, line); });
  batch.Flush();

  ctx.view.SetBarPosition(45);
  file.ReadLine();
  Section(file, ctx, 10, [&](const std::string& line) { SubfieldRule(batch, line); });
  batch.Flush();

  ctx.view.SetBarPosition(55);
  file.ReadLine();
  Section(file, ctx, 6, [&](const std::string& line) { PinYin(batch, line); });
  batch.Flush();

  ctx.view.SetBarPosition(75);
}

std::string DefaultMarcModel(int year) {
  return Model({{"010", "  ", {{'a', ""}, {'b', "平装"}, {'d', ""}}},
                {"100", "  ", {{'a', ""}}},
                {"101", "0 ", {{'a', "chi"}}},
                {"200", "1 ", {{'a', ""}, {'e', ""}, {'f', ""}}},
                {"210", "  ", {{'a', ""}, {'c', ""}, {'d', ""}}},
                {"215", "  ", {{'a', ""}, {'d', "32开 19CM"}}},
                {"225", "1 ", {{'a', ""}, {'f', ""}}},
                {"330", "0 ", {{'a', ""}}},
                {"606", "0 ", {{'a', ""}}},
                {"690", "  ", {{'a', ""}}},
                {"905", "  ", {{'a', ""}, {'b', ""}, {'d', ""}, {'e', ""}}}},
               year);
}

std::string BriefMarcModel(int year) {
  return Model({{"010", "  ", {{'a', ""}, {'d', ""}}},
                {"200", "1 ", {{'a', ""}, {'e', ""}, {'f', ""}}},
                {"210", "  ", {{'a', ""}, {'c', ""}, {'d', ""}}},
                {"215", "  ", {{'a', ""}, {'d', "32开 19CM"}}},
                {"225", "1 ", {{'a', ""}, {'f', ""}}},
                {"690", "  ", {{'a', ""}}},
                {"905", "  ", {{'a', ""}, {'b', ""}, {'e', ""}}}},
               year);
}

}  // namespace refdata
