// The child process of RunAndKill (engine_helpers.h).
#include "tests/engine/engine_helpers.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "port/process.h"
#include "tests/support/child_process.h"

namespace engine_test {

namespace {

// The batches go to the child in a file: each as its length in bytes on a
// line, then its text.
void WriteBatches(const std::filesystem::path& file, const std::vector<std::string>& batches) {
  std::ofstream out(file, std::ios::binary);
  for (const std::string& b : batches) out << b.size() << '\n' << b;
}

std::vector<std::string> ReadBatches(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> batches;
  std::size_t size = 0;
  while (in >> size) {
    in.get();  // the line end
    std::string b(size, '\0');
    in.read(b.data(), static_cast<std::streamsize>(size));
    batches.push_back(std::move(b));
  }
  return batches;
}

// run-and-kill DATABASE BATCH-FILE ERRORS-IGNORED RESULTS-FILE CHECKPOINT
[[maybe_unused]] const bool registered = testing_support::RegisterChild(
    "run-and-kill", [](const std::vector<std::string>& args) -> int {
      if (args.size() != 5) return 2;
      auto db = engine::Database::open(args[0], engine::Database::OpenMode::MustExist);
      std::ofstream results;
      if (!args[3].empty()) results.open(args[3], std::ios::binary);
      for (const std::string& batch : ReadBatches(args[1])) {
        try {
          for (const auto& r : db->execute(batch))
            for (const auto& row : r.rows)
              for (const auto& cell : row) results << (cell ? *cell : "NULL") << "|";
        } catch (const engine::Error&) {
          if (args[2] != "1") return 3;
        }
      }
      results.close();
      if (args[4] == "1") {
        db->checkpoint();
        return 0;
      }
      port::KillThisProcess();
    });

}  // namespace

bool RunAndKill(const std::string& path, const KilledRun& run) {
  const std::filesystem::path batches =
      std::filesystem::temp_directory_path() /
      ("engine_test_batches_" + std::to_string(std::random_device()()));
  WriteBatches(batches, run.batches);
  testing_support::ChildOptions options;
  options.env = run.env;
  std::string output;
  const testing_support::ChildExit e = testing_support::RunChild(
      "run-and-kill",
      {path, batches.string(), run.errors_ignored ? "1" : "0", run.results,
       run.checkpoint_then_exit ? "1" : "0"},
      &output, options);
  std::filesystem::remove(batches);
  if (!e.killed) ADD_FAILURE() << "the child ended with " << e.code << ": " << output;
  return e.killed;
}

}  // namespace engine_test
