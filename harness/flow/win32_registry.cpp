#include "flow/win32_registry.h"

#include <utility>

#include "emu/root_keys.h"
#include "platform/win_api.h"

namespace qvi::flow {

namespace {

using platform::HKey;
namespace win32 = platform::win32;

// The root handle and the path below it; no root for an unknown name.
std::pair<HKey, std::string> Split(const std::string& full_path) {
  const auto slash = full_path.find('\\');
  const auto root = emu::RootKeyByName(full_path.substr(0, slash));
  return {root.value_or(platform::kNoKey), slash == std::string::npos ? "" : full_path.substr(slash + 1)};
}

void Walk(platform::Platform& os, platform::RegistryReader& reader, HKey key, const std::string& path,
          std::vector<emu::RegistryKey>& out) {
  emu::RegistryKey entry{path, {}};
  for (std::uint32_t index = 0;; ++index) {
    char name[16384];
    std::uint32_t name_size = sizeof name;
    std::uint32_t type = 0;
    std::uint32_t data_size = 0;
    if (reader.RegEnumValueA(key, index, name, &name_size, &type, nullptr, &data_size) != win32::kSuccess) break;
    std::vector<std::uint8_t> data(data_size + 1);
    name_size = sizeof name;
    std::uint32_t size = data_size + 1;
    if (reader.RegEnumValueA(key, index, name, &name_size, &type, data.data(), &size) != win32::kSuccess) break;
    data.resize(size);
    entry.values.push_back({std::string(name, name_size), type, std::move(data)});
  }
  out.push_back(std::move(entry));
  for (std::uint32_t index = 0;; ++index) {
    char name[256];
    if (os.RegEnumKeyA(key, index, name, sizeof name) != win32::kSuccess) break;
    HKey child = platform::kNoKey;
    if (os.RegOpenKeyExA(key, name, 0, platform::kKeyAllAccess, &child) != win32::kSuccess) continue;
    Walk(os, reader, child, path + "\\" + name, out);
    os.RegCloseKey(child);
  }
}

}  // namespace

std::vector<emu::RegistryKey> SnapshotTree(platform::Platform& os, platform::RegistryReader& reader,
                                           const std::string& full_path) {
  std::vector<emu::RegistryKey> keys;
  const auto [root, sub_key] = Split(full_path);
  HKey key = platform::kNoKey;
  if (root == platform::kNoKey || os.RegOpenKeyExA(root, sub_key.c_str(), 0, platform::kKeyAllAccess, &key) != 0) {
    return keys;
  }
  Walk(os, reader, key, full_path, keys);
  os.RegCloseKey(key);
  return keys;
}

bool WriteKeys(platform::Platform& os, const std::vector<emu::RegistryKey>& keys) {
  for (const emu::RegistryKey& entry : keys) {
    const auto [root, sub_key] = Split(entry.path);
    HKey key = platform::kNoKey;
    if (root == platform::kNoKey || os.RegCreateKeyA(root, sub_key.c_str(), &key) != win32::kSuccess) return false;
    for (const emu::RegistryValue& value : entry.values) {
      if (os.RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(),
                            static_cast<std::uint32_t>(value.data.size())) != win32::kSuccess) {
        return false;
      }
    }
    if (!platform::IsPredefinedKey(key)) os.RegCloseKey(key);
  }
  return true;
}

void RemoveTree(platform::Platform& os, const std::string& full_path) {
  const auto [root, sub_key] = Split(full_path);
  if (root != platform::kNoKey) platform::DeleteRegistryTree(os, root, sub_key);
}

}  // namespace qvi::flow
