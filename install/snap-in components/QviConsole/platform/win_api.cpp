#include "platform/win_api.h"

#include <array>
#include <vector>

#include "runtime/errors.h"
#include "runtime/text.h"

namespace qvi::platform {

namespace {

constexpr std::uint32_t kIniBufferChars = 1024;
constexpr std::uint32_t kKeyNameChars = 255;
// Subkey names collected per level before any is deleted.
constexpr std::size_t kNameTableEntries = 501;

// Enumerates up to a table's worth of subkey names of `key`. Sets `full` when
// the table filled up before the enumeration ended.
std::vector<std::string> CollectSubkeyNames(Platform& os, HKey key, bool& full) {
  std::vector<std::string> names;
  full = false;
  std::string entry(kKeyNameChars, ' ');
  for (std::uint32_t i = 0;; ++i) {
    if (names.size() == kNameTableEntries) {
      full = true;
      break;
    }
    entry.assign(kKeyNameChars, ' ');
    if (os.RegEnumKeyA(key, i, entry.data(), kKeyNameChars) != win32::kSuccess) break;
    names.emplace_back(text::UpToNul(entry));
  }
  return names;
}

// DeleteRegistryTree; `deleted` tells whether the key itself went, which a
// key that does not open (counted as removed) has not.
bool DeleteTree(Platform& os, HKey root, const std::string& sub_key, bool& deleted) {
  const OnError statement = OnError::ResumeNext();
  deleted = false;
  bool failed = false;
  HKey key = kNoKey;
  if (os.RegOpenKeyExA(root, sub_key.c_str(), 0, kKeyAllAccess, &key) != win32::kSuccess) return true;

  // A level with more subkeys than one table holds is worked through a table
  // at a time. Only a subkey actually deleted is progress: a pass that deletes
  // none ends the work, whatever the registry answers, and the key stays.
  for (bool more = true; more;) {
    bool full = false;
    std::vector<std::string> names;
    statement([&] { names = CollectSubkeyNames(os, key, full); });
    bool deleted_any = false;
    for (const std::string& name : names) {
      statement([&] {
        bool child_deleted = false;
        if (!DeleteTree(os, key, name, child_deleted)) failed = true;
        deleted_any = deleted_any || child_deleted;
      });
    }
    more = full && deleted_any;
  }
  statement([&] { os.RegCloseKey(key); });
  statement([&] {
    if (os.RegDeleteKeyA(root, sub_key.c_str()) == win32::kSuccess) {
      deleted = true;
    } else {
      failed = true;
    }
  });
  return !failed;
}

}  // namespace

std::int32_t ReadIniString(Platform& os, const std::string& section, const std::string& key,
                           const std::string& default_value, std::string& value, const std::string& file_name) {
  const OnError statement = OnError::ResumeNext();
  std::int32_t count = 0;
  statement([&] { value.assign(kIniBufferChars, ' '); });
  statement([&] {
    count = static_cast<std::int32_t>(os.GetPrivateProfileStringA(section.c_str(), key.c_str(),
                                                                   default_value.c_str(), value.data(),
                                                                   kIniBufferChars, file_name.c_str()));
  });
  statement([&] { value = text::Left(value, count); });
  return count;
}

std::int32_t WriteIniString(Platform& os, const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file_name) {
  const OnError statement = OnError::ResumeNext();
  std::int32_t result = 0;
  statement([&] {
    result = os.WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file_name.c_str());
  });
  return result;
}

bool DeleteRegistryTree(Platform& os, HKey root, const std::string& sub_key) {
  bool deleted = false;
  return DeleteTree(os, root, sub_key, deleted);
}

}  // namespace qvi::platform
