// The embedded backend: a connection is one open engine::Database. User name
// and password mean nothing to a database file and are not checked.
#include <chrono>
#include <filesystem>
#include <optional>
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

  std::vector<BatchOutcome> SendBatch(std::span<const BatchStatement> statements) override {
    const auto start = std::chrono::steady_clock::now();
    const BatchText batch = JoinBatch(statements);
    std::vector<engine::StatementResult> results;
    std::optional<Error> failure;
    std::size_t failed_at = 0;
    try {
      results = db_->execute(batch.text);
    } catch (engine::Error& e) {
      if (e.results.empty()) {
        // Nothing ran: the batch did not compile. The error is the first
        // statement's when it is on its lines; otherwise the statements
        // before it go alone, and it is sent again after them.
        const std::size_t at = batch.StatementAt(e.line());
        if (at > 0) return SendBatch(statements.first(at));
      } else {
        // The statements that ran, the failed one last.
        results = std::move(e.results);
        results.pop_back();
        failed_at = results.size();
      }
      failure.emplace(e.number(), e.what());
    } catch (const std::exception& e) {
      // The storage layer's own failures (a full disk, a damaged file),
      // which name no statement.
      failure.emplace(0, e.what());
    }
    std::vector<BatchOutcome> out(failure ? failed_at + 1 : results.size());
    if (!failure && results.size() != statements.size())
      throw Error(0, "a batch of statements gave " + std::to_string(results.size()) +
                         " results for " + std::to_string(statements.size()) + " statements");
    for (std::size_t i = 0; i < results.size() && i < out.size(); ++i) {
      const engine::StatementResult& r = results[i];
      out[i].rows = r.has_result_set ? static_cast<std::int64_t>(r.rows.size()) : r.rows_affected;
    }
    if (failure) out.back().error = std::move(failure);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) ReportBatch(statements[i], ms, out[i]);
    return out;
  }

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
