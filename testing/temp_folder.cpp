#include "testing/temp_folder.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qvi::testing {

TempFolder::TempFolder(std::string_view prefix) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937_64 random(seed());
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) throw std::runtime_error("no temporary directory: " + ec.message());
  // create_directory answers false for a name that exists already, so two
  // processes never share a folder.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name(prefix);
    for (int i = 0; i < 10; ++i) name += kLetters[pick(random)];
    const std::filesystem::path candidate = base / name;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
    if (ec) break;
  }
  throw std::runtime_error("cannot make a temporary folder under " + base.string() +
                           (ec ? ": " + ec.message() : std::string()));
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qvi::testing
