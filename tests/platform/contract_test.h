// The platform contract suite, run unchanged on every backend. Registry
// tests work below a key of their own under HKEY_CURRENT_USER\Software, named
// QviConsoleTest-<test>-<run>, made before and removed after each test, so
// the suite is safe on a real registry and two runs at once never share a
// key.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/contract_backend.h"

namespace qvi::platform::contract {

class PlatformContract : public ::testing::TestWithParam<BackendFactory> {
 protected:
  void SetUp() override;
  void TearDown() override;

  Platform& os() { return backend_->platform(); }
  RegistryReader& reader() { return backend_->reader(); }

  // A key below the test's own key, created (all levels) and opened.
  HKey Create(const std::string& sub_key);
  // True when the key below the test's own key opens.
  bool Exists(const std::string& sub_key);
  // Sets a REG_SZ with its NUL.
  void SetString(HKey key, const std::string& name, const std::string& text);
  // Subkey names of an open key in enumeration order; the enumeration must
  // end with ERROR_NO_MORE_ITEMS.
  std::vector<std::string> SubKeys(HKey key);
  // Values of an open key in enumeration order as "name=data" (data up to its
  // first NUL); the enumeration must end with ERROR_NO_MORE_ITEMS.
  std::vector<std::string> Values(HKey key);
  std::string Scratch(const std::string& file) { return backend_->scratch_folder() + "\\" + file; }
  // GetPrivateProfileStringA into a buffer of `size`.
  std::string Read(const char* section, const char* key, const char* fallback, const std::string& file,
                   std::uint32_t size = 256);

  // Writes applied in order to a file (none: it does not exist), and the bytes
  // the file holds after them. A null pointer is passed as such.
  struct WriteCase {
    const char* name;
    std::optional<std::string> initial;
    std::vector<std::array<const char*, 3>> writes;  // section, key, value
    std::string expected;
  };
  void ExpectWrites(const WriteCase& c);

  std::unique_ptr<Backend> backend_;
  std::string root_path_;  // below HKEY_CURRENT_USER
  HKey root_ = kNoKey;     // open handle on root_path_
};

}  // namespace qvi::platform::contract
