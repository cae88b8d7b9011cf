// What the fuzz targets share: a private folder for the files an input is
// written to (in /dev/shm when there is one, so that the engine's fsyncs cost
// nothing), and the batches of a script split at lines holding only GO.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline const std::filesystem::path& ScratchDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    auto d = base / ("libupgrade-fuzz-" + std::to_string(::getpid()));
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d;
  }();
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchDir(), ec);
    });
    return true;
  }();
  (void)cleanup;
  return dir;
}

// Removes a database's snapshot, journal and checkpoint file.
inline void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-journal", ".tmp"}) std::filesystem::remove(path + suffix);
}

inline std::vector<std::string_view> SplitBatches(std::string_view script) {
  std::vector<std::string_view> batches;
  std::size_t start = 0, at = 0;
  while (at <= script.size()) {
    std::size_t end = script.find('\n', at);
    if (end == std::string_view::npos) end = script.size();
    std::string_view line = script.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == "GO" || line == "go") {
      batches.push_back(script.substr(start, at - start));
      start = end + 1;
    }
    at = end + 1;
  }
  if (start < script.size()) batches.push_back(script.substr(start));
  return batches;
}

}  // namespace fuzz
