// Whole files as bytes, for tests that set up or inspect a machine folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qvi::testing {

// The file's bytes; "" when it cannot be read.
inline std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes `bytes` as the whole file, making its folders first.
inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace qvi::testing
