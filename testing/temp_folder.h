// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
#pragma once

#include <filesystem>
#include <string_view>

namespace qvi::testing {

class TempFolder {
 public:
  // The folder's name starts with `prefix` and ends in random letters.
  // Throws std::runtime_error when no folder can be made.
  explicit TempFolder(std::string_view prefix = "qvi-test-");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace qvi::testing
