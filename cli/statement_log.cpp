#include "cli/statement_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "text/gbk.h"

namespace cli {

std::string JsonString(std::string_view gbk) {
  const std::string utf8 = text::Utf8(gbk);
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

StatementLog::StatementLog(const std::filesystem::path& file) : f_(std::fopen(file.string().c_str(), "w")) {
  if (!f_)
    throw std::runtime_error("cannot write the statement log " + file.string() + ": " +
                             std::strerror(errno));
}

StatementLog::~StatementLog() {
  std::fclose(f_);
}

void StatementLog::Write(std::string_view step, const db::StatementEvent& e) {
  std::string line = "{\"step\":" + JsonString(step) + ",\"sql\":" + JsonString(e.sql);
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f", e.ms);
  line += ",\"ms\":";
  line += ms;
  line += ",\"outcome\":\"";
  line += e.ok ? "ok" : (e.tolerated ? "tolerated" : "error");
  line += '"';
  if (e.rows >= 0) line += ",\"rows\":" + std::to_string(e.rows);
  if (!e.error.empty()) line += ",\"error\":" + JsonString(e.error);
  line += "}\n";
  std::fputs(line.c_str(), f_);
  std::fflush(f_);
}

}  // namespace cli
