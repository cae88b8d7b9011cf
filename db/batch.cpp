// Queued statements of a row walk, sent several at a time.
#include "db/batch.h"

#include "db/ledger.h"
#include "text/gbk.h"

namespace db {

Batch::Batch(Query& q) : q_(q) {
  Connection& c = q.connection();
  if (c.open_batch_ != nullptr) throw Error(0, "a batch of statements is open already");
  c.open_batch_ = this;
}

Batch::~Batch() {
  q_.connection().open_batch_ = nullptr;
}

void Batch::Run(const std::vector<std::string>& lines, std::function<void()> done) {
  Queue(lines, false, std::move(done));
}

void Batch::RunTolerated(const std::vector<std::string>& lines, std::function<void()> done) {
  Queue(lines, true, std::move(done));
}

void Batch::Queue(const std::vector<std::string>& lines, bool tolerated,
                  std::function<void()> done) {
  BatchStatement s;
  s.tolerated = tolerated;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) s.sql += '\n';
    s.sql += lines[i];
  }
  bytes_ += s.sql.size();
  queued_.push_back(std::move(s));
  done_.push_back(std::move(done));
  if (queued_.size() >= kStatements || bytes_ >= kBytes) Flush();
}

void Batch::Flush() {
  // Taken out first: what a failure sends (GoOnAfter's question) must not
  // send them again.
  std::vector<BatchStatement> statements = std::move(queued_);
  std::vector<std::function<void()>> done = std::move(done_);
  queued_.clear();
  done_.clear();
  bytes_ = 0;
  Connection& c = q_.connection();
  std::size_t i = 0;
  while (i < statements.size()) {
    std::vector<BatchOutcome> outcomes = c.ExecuteBatch(std::span(statements).subspan(i));
    if (outcomes.empty()) throw Error(0, "a batch of statements came back without any outcome");
    for (BatchOutcome& o : outcomes) {
      const BatchStatement& s = statements[i];
      if (o.injected) throw InjectedFault();
      if (o.error) {
        if (!s.tolerated) {
          throw Error(o.error->number(),
                      std::string(o.error->what()) + "\n" + text::Gbk("出错的语句：") + s.sql,
                      o.error->connection_lost());
        }
        GoOnAfter(q_, *o.error);  // throws when the step cannot go on
      }
      if (done[i]) done[i]();
      ++i;
    }
  }
}

}  // namespace db
