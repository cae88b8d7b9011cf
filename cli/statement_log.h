// The statement log of libupgrade-cli --log: one JSON object per statement
// sent, in order, UTF-8, one per line:
//   {"step":"Do2007_03_12","sql":"...","ms":1.25,"outcome":"ok","rows":3}
// outcome is "ok", "error" or "tolerated"; rows is left out when not known;
// error holds the server's message when there is one.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "db/connection.h"

namespace cli {

class StatementLog {
 public:
  // Creates (or empties) the file. Throws std::runtime_error naming it.
  explicit StatementLog(const std::filesystem::path& file);
  ~StatementLog();
  StatementLog(const StatementLog&) = delete;
  StatementLog& operator=(const StatementLog&) = delete;

  // Writes one line and flushes it, so that the log is complete up to a crash.
  void Write(std::string_view step, const db::StatementEvent& e);

 private:
  std::FILE* f_;
};

// A GBK text as a JSON string literal (quotes included), UTF-8.
std::string JsonString(std::string_view gbk);

}  // namespace cli
