// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
#pragma once

#include <filesystem>

namespace qvi::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace qvi::testing
