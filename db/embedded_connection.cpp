// The embedded backend: a connection is one open engine::Database. User name
// and password mean nothing to a database file and are not checked.
#include <chrono>
#include <filesystem>
#include <system_error>

#include "db/result_set.h"
#include "engine/engine.h"
#include "text/gbk.h"

namespace db {

namespace {

class EmbeddedConnection : public Connection {
 public:
  explicit EmbeddedConnection(std::unique_ptr<engine::Database> d) : db_(std::move(d)) {}

  std::unique_ptr<Cursor> Send(const std::string& sql) override {
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
          .count();
    };
    std::vector<engine::StatementResult> results;
    try {
      results = db_->execute(sql);
    } catch (const engine::Error& e) {
      const std::string message = e.what();
      Report(sql, elapsed(), false, -1, message);
      throw Error(e.number(), message);
    } catch (const std::exception& e) {
      // The storage layer's own failures (a full disk, a damaged file).
      const std::string message = e.what();
      Report(sql, elapsed(), false, -1, message);
      throw Error(0, message);
    }
    // The first result set is the one a query opens; rows affected add up
    // over the statements that report a count, as the server's do.
    ResultSet r;
    bool have_set = false;
    for (auto& s : results) {
      if (s.has_result_set && !have_set) {
        have_set = true;
        for (const auto& c : s.columns) r.columns.push_back(c.name);
        r.rows = std::move(s.rows);
      } else if (!s.has_result_set && s.rows_affected >= 0) {
        r.rows_affected = (r.rows_affected < 0 ? 0 : r.rows_affected) + s.rows_affected;
      }
    }
    const std::int64_t rows = have_set ? static_cast<std::int64_t>(r.rows.size()) : r.rows_affected;
    Report(sql, elapsed(), true, rows, std::string());
    return std::make_unique<ResultSetCursor>(std::move(r));
  }

  // A batch of statements is sent one statement at a time (the default
  // SendBatch): there is no round trip to save here, and each statement
  // parsed alone costs less than the batch text with a check of @@error
  // after every statement, which a server needs to end the batch at its
  // first failure.

  void Checkpoint() override {
    try {
      db_->checkpoint();
    } catch (const engine::Error& e) {
      throw Error(e.number(), e.what());
    }
  }

 private:
  std::unique_ptr<engine::Database> db_;
};

}  // namespace

std::unique_ptr<Connection> ConnectEmbedded(const std::string& path) {
  if (path.empty()) throw Error(0, "embedded data source names no database file");
  // The engine answers a missing file as a server answers a database it does
  // not have, with a refused login; here the file is named as missing.
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !ec)
    throw Error(0, text::Gbk("找不到数据库文件 ") + path + " (the database file does not exist)");
  try {
    return std::make_unique<EmbeddedConnection>(
        engine::Database::open(path, engine::Database::OpenMode::MustExist));
  } catch (const engine::Error& e) {
    throw Error(e.number(), e.what());
  }
}

}  // namespace db
