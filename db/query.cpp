// The query component: a statement kept as lines, and a forward walk over the
// rows of its result.
#include "db/query.h"

#include <charconv>
#include <cmath>

#include "text/gbk.h"

namespace db {

void Query::Clear() {
  lines_.clear();
}

void Query::Add(std::string line) {
  lines_.push_back(std::move(line));
}

std::string Query::Text() const {
  std::string s;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i) s += '\n';
    s += lines_[i];
  }
  return s;
}

void Query::ExecSQL() {
  Close();
  rows_affected_ = connection_->Execute(Text())->RowsAffected();
}

void Query::Open() {
  Close();
  cursor_ = connection_->Execute(Text());
  eof_ = !cursor_->Fetch();
}

bool Query::Eof() const {
  return cursor_ == nullptr || eof_;
}

void Query::Next() {
  if (!Eof()) eof_ = !cursor_->Fetch();
}

void Query::Close() {
  cursor_.reset();
  eof_ = true;
}

std::size_t Query::FieldIndex(std::string_view field) const {
  if (cursor_ == nullptr)
    throw Error(0, text::Gbk("查询未打开，无法读取字段 ") + std::string(field));
  const auto& cols = cursor_->Columns();
  for (std::size_t i = 0; i < cols.size(); ++i)
    if (text::SameIgnoringAsciiCase(cols[i], field))
      return i;
  throw Error(0, text::Gbk("查询结果中没有字段 ") + std::string(field));
}

std::string Query::AsString(std::string_view field) const {
  const std::size_t i = FieldIndex(field);
  if (eof_) throw Error(0, text::Gbk("没有当前记录，无法读取字段 ") + std::string(field));
  const auto& v = cursor_->Value(i);
  return v ? *v : std::string();
}

bool Query::IsNull(std::string_view field) const {
  const std::size_t i = FieldIndex(field);
  if (eof_) throw Error(0, text::Gbk("没有当前记录，无法读取字段 ") + std::string(field));
  return !cursor_->Value(i).has_value();
}

std::int64_t Query::AsInteger(std::string_view field) const {
  const std::string raw = AsString(field);
  if (IsNull(field)) return 0;
  const std::string s = text::Trim(raw);
  std::int64_t v = 0;
  const char* end = s.data() + s.size();
  const char* first = s.data() + (!s.empty() && s[0] == '+' ? 1 : 0);
  auto [p, ec] = std::from_chars(first, end, v);
  if (ec == std::errc() && p == end && first != end) return v;
  // numeric and decimal values read as text ("12.00") round to an integer.
  double d = 0;
  auto [pd, ecd] = std::from_chars(first, end, d);
  if (ecd == std::errc() && pd == end && first != end && std::isfinite(d) && std::fabs(d) < 9.2e18)
    return std::llround(d);
  throw Error(0, text::Gbk("字段 ") + std::string(field) + text::Gbk(" 的值“") + raw +
                     text::Gbk("”不是有效的整数"));
}

}  // namespace db
