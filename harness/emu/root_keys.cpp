#include "emu/root_keys.h"

#include <array>

#include "runtime/code_page.h"

namespace qvi::emu {

using platform::HKey;
using platform::kHkeyClassesRoot;
using platform::kHkeyCurrentUser;
using platform::kHkeyLocalMachine;

namespace {

struct RootKey {
  HKey key;
  std::string_view name;
};

constexpr std::array<RootKey, 3> kRootKeys = {{
    {kHkeyClassesRoot, "HKEY_CLASSES_ROOT"},
    {kHkeyCurrentUser, "HKEY_CURRENT_USER"},
    {kHkeyLocalMachine, "HKEY_LOCAL_MACHINE"},
}};

}  // namespace

std::optional<HKey> RootKeyByName(std::string_view name) {
  for (const RootKey& root : kRootKeys) {
    // Nearly every name is spelled as here: a plain comparison settles it.
    if (name == root.name || code_page::EqualsNoCase(root.name, name)) return root.key;
  }
  return std::nullopt;
}

std::string_view RootKeyName(HKey key) {
  for (const RootKey& root : kRootKeys) {
    if (root.key == key) return root.name;
  }
  return {};
}

}  // namespace qvi::emu
