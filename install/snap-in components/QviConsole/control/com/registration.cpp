#include "control/com/registration.h"

#include <oleauto.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "QviConsole.h"
#include "control/com/qv_console_object.h"
#include "runtime/com/com_ptr.h"
#include "runtime/com/scoped.h"

namespace qvi::com {

namespace {

constexpr const wchar_t* kClassName = L"QVConsole";
constexpr const wchar_t* kDefault = L"";

// One value written under HKEY_CLASSES_ROOT; a key with no value of its own
// has an entry with a null value.
struct Entry {
  std::wstring key;
  std::wstring name;
  const wchar_t* null_or_value;
  std::wstring value;
};

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_QVConsole); }

std::vector<Entry> ClassEntries(const std::wstring& module_path) {
  const std::wstring key = ClassKey();
  const std::wstring clsid = GuidText(CLSID_QVConsole);
  const wchar_t* v = L"";
  return {
      {key, kDefault, v, kVersionIndependentProgId},
      {key + L"\\InprocServer32", kDefault, v, module_path},
      {key + L"\\InprocServer32", L"ThreadingModel", v, L"Apartment"},
      {key + L"\\ProgID", kDefault, v, kProgId},
      {key + L"\\VersionIndependentProgID", kDefault, v, kVersionIndependentProgId},
      {key + L"\\Control", kDefault, nullptr, L""},
      {key + L"\\TypeLib", kDefault, v, GuidText(LIBID_QviConsole)},
      {key + L"\\Version", kDefault, v, L"1.0"},
      {key + L"\\MiscStatus", kDefault, v, L"0"},
      {key + L"\\MiscStatus\\1", kDefault, v, std::to_wstring(kMiscStatus)},
  };
}

std::vector<Entry> ProgIdEntries(const std::wstring& prog_id, bool current_version) {
  const wchar_t* v = L"";
  std::vector<Entry> entries = {
      {prog_id, kDefault, v, kClassName},
      {prog_id + L"\\CLSID", kDefault, v, GuidText(CLSID_QVConsole)},
  };
  if (current_version) entries.push_back({prog_id + L"\\CurVer", kDefault, v, kProgId});
  return entries;
}

bool Write(const Entry& entry) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG status = ERROR_SUCCESS;
  if (entry.null_or_value) {
    status = RegSetValueExW(key, entry.name.empty() ? nullptr : entry.name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(entry.value.c_str()),
                            static_cast<DWORD>((entry.value.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The default (or named) string value of a key; false when there is none.
bool ReadString(const std::wstring& key_name, const wchar_t* value_name, std::wstring& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key_name.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
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
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, it->key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
      continue;
    }
    const wchar_t* name = it->name.empty() ? nullptr : it->name.c_str();
    std::wstring current;
    if (it->null_or_value && ReadString(it->key, name, current) && current == it->value) {
      RegDeleteValueW(key, name);
    }
    DWORD sub_keys = 0;
    DWORD values = 0;
    const LONG status =
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && sub_keys == 0 && values == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, it->key.c_str());
  }
}

// Paths name the same file whatever their letter case, and with or without
// the long-path prefix "\\?\" that type library registration may add.
bool SameFile(std::wstring a, std::wstring b) {
  for (std::wstring* path : {&a, &b}) {
    if (path->rfind(L"\\\\?\\", 0) == 0) path->erase(0, 4);
  }
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// True while the type library registered for this version is the one in
// `module_path`.
bool OwnsTypeLibrary(const std::wstring& module_path) {
  ScopedBstr registered;
  if (FAILED(QueryPathOfRegTypeLib(LIBID_QviConsole, 1, 0, LANG_NEUTRAL, registered.ReleaseAndGetAddressOf()))) {
    return false;
  }
  return SameFile(std::wstring(registered.Get(), registered.Length()), module_path);
}

void RemoveClass(const std::wstring& module_path) {
  std::wstring server;
  if (ReadString(ClassKey() + L"\\InprocServer32", nullptr, server) && SameFile(server, module_path)) {
    Remove(ClassEntries(module_path));
  }
  const std::wstring clsid = GuidText(CLSID_QVConsole);
  for (const bool independent : {false, true}) {
    const std::wstring prog_id = independent ? kVersionIndependentProgId : kProgId;
    std::wstring owner;
    if (ReadString(prog_id + L"\\CLSID", nullptr, owner) && owner == clsid) Remove(ProgIdEntries(prog_id, independent));
  }
}

constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

}  // namespace

HRESULT Register(const std::wstring& module_path) {
  // Registered with the module's own path, as InprocServer32 names it: left
  // to LoadTypeLibEx, Wine records the long-path form "\\?\Z:\...", which
  // hosts that compare paths do not recognise.
  ComPtr<ITypeLib> library;
  std::wstring registered_path = module_path;
  if (FAILED(LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, library.ReleaseAndGetAddressOf())) ||
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

HRESULT Unregister(const std::wstring& module_path) {
  RemoveClass(module_path);
  // A type library that is not registered, or registered for another copy of
  // the file, is not this file's to remove.
  if (!OwnsTypeLibrary(module_path)) return S_OK;
  if (FAILED(UnRegisterTypeLib(LIBID_QviConsole, 1, 0, LANG_NEUTRAL, kSysKind))) return SELFREG_E_TYPELIB;
  return S_OK;
}

}  // namespace qvi::com
