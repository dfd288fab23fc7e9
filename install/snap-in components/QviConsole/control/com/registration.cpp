#include "control/com/registration.h"

#include <oleauto.h>
#include <olectl.h>

#include <cstring>
#include <string>
#include <vector>

#include "QviConsole.h"
#include "control/com/qv_console_object.h"
#include "runtime/com/com_ptr.h"
#include "runtime/com/scoped.h"

namespace qvi::com {

namespace {

constexpr const char* kClassName = "QVConsole";
constexpr const char* kDefault = "";

// One value written under HKEY_CLASSES_ROOT; a key with no value of its own
// has an entry with a null value.
struct Entry {
  std::string key;
  std::string name;
  const char* null_or_value;
  std::string value;
};

std::string GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return ToAnsi(text);
}

std::string ClassKey() { return "CLSID\\" + GuidText(CLSID_QVConsole); }

std::vector<Entry> ClassEntries(const std::string& module_path) {
  const std::string key = ClassKey();
  const char* v = "";
  return {
      {key, kDefault, v, kVersionIndependentProgId},
      {key + "\\InprocServer32", kDefault, v, module_path},
      {key + "\\InprocServer32", "ThreadingModel", v, "Apartment"},
      {key + "\\ProgID", kDefault, v, kProgId},
      {key + "\\VersionIndependentProgID", kDefault, v, kVersionIndependentProgId},
      {key + "\\Control", kDefault, nullptr, ""},
      {key + "\\TypeLib", kDefault, v, GuidText(LIBID_QviConsole)},
      {key + "\\Version", kDefault, v, "1.0"},
      {key + "\\MiscStatus", kDefault, v, "0"},
      {key + "\\MiscStatus\\1", kDefault, v, std::to_string(kMiscStatus)},
  };
}

std::vector<Entry> ProgIdEntries(const std::string& prog_id, bool current_version) {
  const char* v = "";
  std::vector<Entry> entries = {
      {prog_id, kDefault, v, kClassName},
      {prog_id + "\\CLSID", kDefault, v, GuidText(CLSID_QVConsole)},
  };
  if (current_version) entries.push_back({prog_id + "\\CurVer", kDefault, v, kProgId});
  return entries;
}

const char* NameOrDefault(const std::string& name) { return name.empty() ? nullptr : name.c_str(); }

bool Write(const Entry& entry) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG status = ERROR_SUCCESS;
  if (entry.null_or_value) {
    status =
        RegSetValueExA(key, NameOrDefault(entry.name), 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.value.c_str()),
                       static_cast<DWORD>(entry.value.size() + 1));
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The default (or named) string value of a key; false when there is none.
bool ReadString(const std::string& key_name, const char* value_name, std::string& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key_name.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExA(key, value_name, nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    // One byte more than asked for: a value stored without its terminator
    // still reads as a whole string.
    std::string buffer(size + 1, '\0');
    size = static_cast<DWORD>(buffer.size());
    status = RegQueryValueExA(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    buffer.resize(strnlen(buffer.c_str(), buffer.size()));
    value = buffer;
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ;
}

// Removes the values of `entries` that still hold what registration wrote,
// deepest key first, and each key that is left empty.
void Remove(const std::vector<Entry>& entries) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, it->key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
      continue;
    }
    const char* name = NameOrDefault(it->name);
    std::string current;
    if (it->null_or_value && ReadString(it->key, name, current) && current == it->value) RegDeleteValueA(key, name);
    DWORD sub_keys = 0;
    DWORD values = 0;
    const LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr,
                                         nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && sub_keys == 0 && values == 0) RegDeleteKeyA(HKEY_CLASSES_ROOT, it->key.c_str());
  }
}

// Paths name the same file whatever their letter case, and with or without
// the long-path prefix "\\?\" that type library registration may add.
// Upper-cased by the system's table and then compared byte for byte, as the
// file system compares names: a linguistic comparison would take names that
// differ only in a hyphen for one.
bool SameFile(std::string a, std::string b) {
  for (std::string* path : {&a, &b}) {
    if (path->rfind("\\\\?\\", 0) == 0) path->erase(0, 4);
    if (!path->empty()) CharUpperBuffA(path->data(), static_cast<DWORD>(path->size()));
  }
  return a == b;
}

// True while the type library registered for this version is the one in
// `module_path`.
bool OwnsTypeLibrary(const std::string& module_path) {
  ScopedBstr registered;
  if (FAILED(QueryPathOfRegTypeLib(LIBID_QviConsole, 1, 0, LANG_NEUTRAL, registered.ReleaseAndGetAddressOf()))) {
    return false;
  }
  return SameFile(ToAnsi(std::wstring(registered.Get(), registered.Length())), module_path);
}

void RemoveClass(const std::string& module_path) {
  std::string server;
  if (ReadString(ClassKey() + "\\InprocServer32", nullptr, server) && SameFile(server, module_path)) {
    Remove(ClassEntries(module_path));
  }
  const std::string clsid = GuidText(CLSID_QVConsole);
  for (const bool independent : {false, true}) {
    const std::string prog_id = independent ? kVersionIndependentProgId : kProgId;
    std::string owner;
    if (ReadString(prog_id + "\\CLSID", nullptr, owner) && owner == clsid) Remove(ProgIdEntries(prog_id, independent));
  }
}

constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

}  // namespace

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  std::string ansi(
      static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, ansi.data(), static_cast<int>(ansi.size()), nullptr, nullptr);
  return ansi;
}

HRESULT Register(const std::string& module_path) {
  // Registered with the module's own path, as InprocServer32 names it: left
  // to LoadTypeLibEx, Wine records the long-path form "\\?\Z:\...", which
  // hosts that compare paths do not recognise.
  ComPtr<ITypeLib> library;
  std::wstring registered_path = FromAnsi(module_path);
  if (FAILED(LoadTypeLibEx(registered_path.c_str(), REGKIND_NONE, library.ReleaseAndGetAddressOf())) ||
      FAILED(RegisterTypeLib(library.Get(), registered_path.data(), nullptr))) {
    return SELFREG_E_TYPELIB;
  }

  std::vector<Entry> entries = ClassEntries(module_path);
  for (auto& entry : ProgIdEntries(kProgId, false)) entries.push_back(entry);
  for (auto& entry : ProgIdEntries(kVersionIndependentProgId, true)) entries.push_back(entry);
  for (const Entry& entry : entries) {
    if (!Write(entry)) {
      RemoveClass(module_path);
      UnRegisterTypeLib(LIBID_QviConsole, 1, 0, LANG_NEUTRAL, kSysKind);
      return SELFREG_E_CLASS;
    }
  }
  return S_OK;
}

HRESULT Unregister(const std::string& module_path) {
  RemoveClass(module_path);
  // A type library that is not registered, or registered for another copy of
  // the file, is not this file's to remove.
  if (!OwnsTypeLibrary(module_path)) return S_OK;
  if (FAILED(UnRegisterTypeLib(LIBID_QviConsole, 1, 0, LANG_NEUTRAL, kSysKind))) return SELFREG_E_TYPELIB;
  return S_OK;
}

}  // namespace qvi::com
