// Reading the reference-data files: lines of GBK bytes, as the library's
// programs wrote them (CR LF or LF line ends).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace refdata {

// Every line of the file without its line end. Throws std::runtime_error
// naming the file when it cannot be opened or read.
std::vector<std::string> ReadLines(const std::filesystem::path& path);

}  // namespace refdata
