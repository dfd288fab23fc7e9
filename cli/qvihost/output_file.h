// Files qvihost writes for its reader (--html, --save-expect, --junit): made
// beside their target before the machine is touched, and renamed over it only
// once written whole, so a full disk or a bad path never costs the file that
// was there.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace qvi::cli {

class OutputFile {
 public:
  // Creates the temporary file beside `target`; throws ScenarioError naming
  // `target` when it cannot be made there or `target` is a folder.
  explicit OutputFile(const std::filesystem::path& target);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless it was committed.
  ~OutputFile();

  // Writes `bytes`, flushes them to the disk and renames the file over the
  // target; throws ScenarioError naming the target when any step fails (the
  // target is then as it was).
  void Commit(const std::string& bytes);

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::FILE* file_ = nullptr;
};

}  // namespace qvi::cli
