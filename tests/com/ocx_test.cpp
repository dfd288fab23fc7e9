// The control library as a COM client and a container see it: the file
// "QviConsole.ocx" beside this program, loaded, registered and created.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testing/com_fake_kit/fake_kit.h"

namespace {

using namespace qvi::testing;

constexpr const wchar_t* kLibId = L"{C76C9860-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kInterfaceId = L"{C76C985B-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kClassId = L"{C76C985C-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kEventsId = L"{C76C985D-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kFormInterfaceId = L"{C76C985E-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kFormClassId = L"{C76C985F-781F-11D2-A8A9-00A0C95AD477}";
constexpr const wchar_t* kFakePublicClass = L"{6A41B5D0-0E7F-4C43-8F0A-5E1B9C7D3A01}";
constexpr const wchar_t* kFakeServiceClass = L"{6A41B5D0-0E7F-4C43-8F0A-5E1B9C7D3A02}";
constexpr const wchar_t* kUnregisteredClass = L"{6A41B5D0-0E7F-4C43-8F0A-5E1B9C7D3A03}";

GUID Guid(const wchar_t* text) {
  GUID guid{};
  CLSIDFromString(text, &guid);
  return guid;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring OcxPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"QviConsole.ocx";
}

// Every key and value under HKEY_CLASSES_ROOT\`root`, one line each, in
// name order: "key" or "key|value=data".
void Collect(HKEY parent, const std::wstring& path, std::vector<std::wstring>& lines) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  lines.push_back(path);
  std::map<std::wstring, std::wstring> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_size = 256;
    BYTE data[2048];
    DWORD data_size = sizeof(data);
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &name_size, nullptr, &type, data, &data_size) != ERROR_SUCCESS) break;
    std::wstring text = type == REG_SZ ? std::wstring(reinterpret_cast<wchar_t*>(data)) : L"<binary>";
    values[std::wstring(name, name_size)] = text;
  }
  for (const auto& [name, data] : values) lines.push_back(path + L"|" + name + L"=" + data);
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    if (RegEnumKeyW(key, i, name, 256) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(key);
  std::sort(children.begin(), children.end());
  for (const auto& child : children) Collect(parent, path + L"\\" + child, lines);
}

// What registration may touch: the class, its ProgIDs, the type library and
// its interfaces.
std::vector<std::wstring> Snapshot() {
  std::vector<std::wstring> lines;
  for (const std::wstring& root :
       {std::wstring(L"CLSID\\") + kClassId, std::wstring(L"CLSID\\") + kFormClassId,
        std::wstring(L"QviConsole.QVConsole"), std::wstring(L"QviConsole.QVConsole.1"),
        std::wstring(L"TypeLib\\") + kLibId, std::wstring(L"Interface\\") + kInterfaceId,
        std::wstring(L"Interface\\") + kEventsId, std::wstring(L"Interface\\") + kFormInterfaceId}) {
    Collect(HKEY_CLASSES_ROOT, root, lines);
  }
  return lines;
}

void SetDefault(const std::wstring& key_name, const std::wstring& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key_name.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// A ProgID of the host kit pointed at `clsid` for the life of the object;
// whatever the machine held before comes back afterwards.
class ProgIdOverride {
 public:
  ProgIdOverride(const wchar_t* prog_id, const wchar_t* clsid) : key_(std::wstring(prog_id) + L"\\CLSID") {
    HKEY probe = nullptr;
    existed_ = RegOpenKeyExW(HKEY_CLASSES_ROOT, prog_id, 0, KEY_READ, &probe) == ERROR_SUCCESS;
    if (probe) RegCloseKey(probe);
    prog_id_ = prog_id;
    wchar_t old[64] = L"";
    LONG size = sizeof(old);
    had_value_ = RegQueryValueW(HKEY_CLASSES_ROOT, key_.c_str(), old, &size) == ERROR_SUCCESS;
    old_ = old;
    SetDefault(key_, clsid);
  }
  ~ProgIdOverride() {
    if (had_value_) {
      SetDefault(key_, old_);
    } else if (existed_) {
      RegDeleteKeyW(HKEY_CLASSES_ROOT, key_.c_str());
    } else {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, prog_id_.c_str());
    }
  }

 private:
  std::wstring prog_id_;
  std::wstring key_;
  bool existed_ = false;
  bool had_value_ = false;
  std::wstring old_;
};

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(WINAPI*)();

class OcxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    module_ = LoadLibraryW(OcxPath().c_str());
    ASSERT_NE(module_, nullptr) << "cannot load QviConsole.ocx beside the test program";
    get_class_object_ = Export<GetClassObjectFn>("DllGetClassObject");
    can_unload_now_ = Export<NoArgumentFn>("DllCanUnloadNow");
    register_ = Export<NoArgumentFn>("DllRegisterServer");
    unregister_ = Export<NoArgumentFn>("DllUnregisterServer");
    ASSERT_TRUE(get_class_object_ && can_unload_now_ && register_ && unregister_);
  }
  void TearDown() override {
    if (registered_) {
      EXPECT_EQ(unregister_(), S_OK);
    }
    CoUninitialize();
    if (module_) FreeLibrary(module_);
  }

  template <class Function>
  Function Export(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

  void Register() {
    ASSERT_EQ(register_(), S_OK);
    registered_ = true;
  }

  HMODULE module_ = nullptr;
  GetClassObjectFn get_class_object_ = nullptr;
  NoArgumentFn can_unload_now_ = nullptr;
  NoArgumentFn register_ = nullptr;
  NoArgumentFn unregister_ = nullptr;
  bool registered_ = false;
};

TEST(OcxVersionTest, EveryStringOfTheVersionBlockReadsBack) {
  const std::wstring path = OcxPath();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileDescription", L"QviConsole Install Snap-in"},
      {L"ProductName", L"Quorvex Console Install Snap-In"},
      {L"FileVersion", L"1.00"},
      {L"ProductVersion", L"1.00"},
      {L"InternalName", L"QviConsole"},
      {L"OriginalFilename", L"QviConsole.ocx"},
      {L"OLESelfRegister", L""},
  };
  for (const auto& [name, expected] : strings) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << name;
    EXPECT_EQ(std::wstring(value), expected) << name;
  }
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                             &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

struct TypeExpectation {
  const wchar_t* name;
  const wchar_t* guid;
  TYPEKIND kind;
  WORD flags;  // the TYPEFLAGs that must be set
  WORD absent;  // and those that must not
};

TEST(OcxTypeLibraryTest, DescribesTheControlItsInterfacesAndTheHiddenForm) {
  ITypeLib* library = nullptr;
  ASSERT_EQ(LoadTypeLibEx(OcxPath().c_str(), REGKIND_NONE, &library), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(GuidText(attr->guid), kLibId);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  library->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(name, L"QviConsole");
  SysFreeString(name);

  const TypeExpectation types[] = {
      {L"QVConsole", kClassId, TKIND_COCLASS, TYPEFLAG_FCONTROL | TYPEFLAG_FCANCREATE, TYPEFLAG_FHIDDEN},
      {L"_QVConsole", kInterfaceId, TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN, 0},
      {L"__QVConsole", kEventsId, TKIND_DISPATCH, TYPEFLAG_FHIDDEN, TYPEFLAG_FDUAL},
      {L"frmCommon", kFormClassId, TKIND_COCLASS, TYPEFLAG_FHIDDEN, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL},
      {L"_frmCommon", kFormInterfaceId, TKIND_DISPATCH, TYPEFLAG_FHIDDEN, 0},
  };
  EXPECT_EQ(library->GetTypeInfoCount(), std::size(types));
  for (const TypeExpectation& expected : types) {
    ITypeInfo* info = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(Guid(expected.guid), &info), S_OK) << expected.name;
    TYPEATTR* type = nullptr;
    info->GetTypeAttr(&type);
    BSTR type_name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &type_name, nullptr, nullptr, nullptr);
    EXPECT_STREQ(type_name, expected.name);
    SysFreeString(type_name);
    EXPECT_EQ(type->typekind, expected.kind) << expected.name;
    EXPECT_EQ(type->wTypeFlags & expected.flags, expected.flags) << expected.name;
    EXPECT_EQ(type->wTypeFlags & expected.absent, 0) << expected.name;
    if (expected.kind == TKIND_DISPATCH && (type->wTypeFlags & TYPEFLAG_FDUAL)) {
      // The interface side of a dual interface: nothing of its own.
      HREFTYPE ref = 0;
      ITypeInfo* vtable = nullptr;
      ASSERT_EQ(info->GetRefTypeOfImplType(-1, &ref), S_OK);
      ASSERT_EQ(info->GetRefTypeInfo(ref, &vtable), S_OK);
      TYPEATTR* vtable_attr = nullptr;
      vtable->GetTypeAttr(&vtable_attr);
      EXPECT_EQ(vtable_attr->cFuncs, 0) << expected.name;
      vtable->ReleaseTypeAttr(vtable_attr);
      vtable->Release();
    }
    if (expected.kind == TKIND_DISPATCH && !(type->wTypeFlags & TYPEFLAG_FDUAL)) {
      EXPECT_EQ(type->cFuncs, 0) << expected.name;
    }
    info->ReleaseTypeAttr(type);
    info->Release();
  }

  // The control's default interface, then its default source.
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(library->GetTypeInfoOfGuid(Guid(kClassId), &coclass), S_OK);
  const std::pair<const wchar_t*, INT> implemented[] = {
      {kInterfaceId, IMPLTYPEFLAG_FDEFAULT},
      {kEventsId, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
  };
  for (UINT i = 0; i < std::size(implemented); ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ITypeInfo* info = nullptr;
    ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, implemented[i].second) << i;
    coclass->GetRefTypeOfImplType(i, &ref);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &info), S_OK);
    TYPEATTR* type = nullptr;
    info->GetTypeAttr(&type);
    EXPECT_EQ(GuidText(type->guid), implemented[i].first) << i;
    info->ReleaseTypeAttr(type);
    info->Release();
  }
  coclass->Release();
  library->Release();
}

TEST_F(OcxTest, TheClassFactoryServesQVConsoleOnlyAndRefusesAggregation) {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(get_class_object_(Guid(kFormClassId), IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(get_class_object_(Guid(kClassId), IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IUnknown* object = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown,
                                    reinterpret_cast<void**>(&object)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);

  EXPECT_EQ(can_unload_now_(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(can_unload_now_(), S_OK);
  factory->Release();
}

TEST_F(OcxTest, RegistrationAddsTheseKeysAndUnregistrationRemovesExactlyThem) {
  const std::vector<std::wstring> before = Snapshot();
  Register();
  const std::wstring path = OcxPath();
  const std::wstring clsid = std::wstring(L"CLSID\\") + kClassId;
  std::vector<std::wstring> expected = {
      clsid,
      clsid + L"|=QviConsole.QVConsole",
      clsid + L"\\Control",
      clsid + L"\\InprocServer32",
      clsid + L"\\InprocServer32|=" + path,
      clsid + L"\\InprocServer32|ThreadingModel=Apartment",
      clsid + L"\\MiscStatus",
      clsid + L"\\MiscStatus|=0",
      clsid + L"\\MiscStatus\\1",
      clsid + L"\\MiscStatus\\1|=132497",
      clsid + L"\\ProgID",
      clsid + L"\\ProgID|=QviConsole.QVConsole.1",
      clsid + L"\\TypeLib",
      clsid + L"\\TypeLib|=" + kLibId,
      clsid + L"\\Version",
      clsid + L"\\Version|=1.0",
      clsid + L"\\VersionIndependentProgID",
      clsid + L"\\VersionIndependentProgID|=QviConsole.QVConsole",
      L"QviConsole.QVConsole",
      L"QviConsole.QVConsole|=QVConsole",
      L"QviConsole.QVConsole\\CLSID",
      std::wstring(L"QviConsole.QVConsole\\CLSID|=") + kClassId,
      L"QviConsole.QVConsole\\CurVer",
      L"QviConsole.QVConsole\\CurVer|=QviConsole.QVConsole.1",
      L"QviConsole.QVConsole.1",
      L"QviConsole.QVConsole.1|=QVConsole",
      L"QviConsole.QVConsole.1\\CLSID",
      std::wstring(L"QviConsole.QVConsole.1\\CLSID|=") + kClassId,
  };
  std::vector<std::wstring> classes;
  for (const std::wstring& root :
       {clsid, std::wstring(L"QviConsole.QVConsole"), std::wstring(L"QviConsole.QVConsole.1")}) {
    Collect(HKEY_CLASSES_ROOT, root, classes);
  }
  EXPECT_EQ(classes, expected);

  BSTR typelib_path = nullptr;
  ASSERT_EQ(QueryPathOfRegTypeLib(Guid(kLibId), 1, 0, 0, &typelib_path), S_OK);
  std::wstring registered_path = typelib_path;
  // Wine registers the long-path form of the same file.
  if (registered_path.rfind(L"\\\\?\\", 0) == 0) registered_path.erase(0, 4);
  EXPECT_EQ(CompareStringOrdinal(registered_path.c_str(), -1, path.c_str(), -1, TRUE), CSTR_EQUAL) << typelib_path;
  SysFreeString(typelib_path);

  EXPECT_EQ(unregister_(), S_OK);
  registered_ = false;
  EXPECT_EQ(Snapshot(), before);
  // Unregistering what is not registered changes nothing and succeeds.
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(OcxTest, UnregistrationLeavesKeysItDidNotWrite) {
  const std::wstring clsid = std::wstring(L"CLSID\\") + kClassId;
  const std::wstring category = clsid + L"\\Implemented Categories\\{40FC6ED4-2438-11CF-A3DB-080036F12502}";
  Register();
  SetDefault(category, L"");
  // Another class has taken the version-independent ProgID since.
  SetDefault(L"QviConsole.QVConsole\\CLSID", kFakePublicClass);
  EXPECT_EQ(unregister_(), S_OK);
  registered_ = false;

  std::vector<std::wstring> left;
  Collect(HKEY_CLASSES_ROOT, clsid, left);
  EXPECT_EQ(left, (std::vector<std::wstring>{clsid, clsid + L"\\Implemented Categories", category, category + L"|="}));
  std::wstring owner(64, L'\0');
  LONG size = static_cast<LONG>(owner.size() * sizeof(wchar_t));
  ASSERT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, L"QviConsole.QVConsole\\CLSID", owner.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(owner.c_str()), kFakePublicClass);
  HKEY gone = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"QviConsole.QVConsole.1", 0, KEY_READ, &gone), ERROR_SUCCESS);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, clsid.c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"QviConsole.QVConsole");
}

TEST_F(OcxTest, AClassRegisteredForAnotherFileIsNotUnregistered) {
  const std::wstring clsid = std::wstring(L"CLSID\\") + kClassId;
  Register();
  SetDefault(clsid + L"\\InprocServer32", L"C:\\elsewhere\\QviConsole.ocx");
  EXPECT_EQ(unregister_(), S_OK);
  registered_ = false;
  std::wstring server(MAX_PATH, L'\0');
  LONG size = static_cast<LONG>(server.size() * sizeof(wchar_t));
  EXPECT_EQ(RegQueryValueW(HKEY_CLASSES_ROOT, (clsid + L"\\InprocServer32").c_str(), server.data(), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(server.c_str()), L"C:\\elsewhere\\QviConsole.ocx");
  RegDeleteTreeW(HKEY_CLASSES_ROOT, clsid.c_str());
}

DWORD RunRegsvr32(const std::wstring& arguments) {
  std::wstring command = L"regsvr32.exe " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return 0xFFFFFFFF;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

TEST_F(OcxTest, Regsvr32RegistersAndUnregistersWithExitCodeZero) {
  const std::vector<std::wstring> before = Snapshot();
  const std::wstring quoted = L"\"" + OcxPath() + L"\"";
  ASSERT_EQ(RunRegsvr32(L"/s " + quoted), 0u);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(L"QviConsole.QVConsole", &clsid), S_OK);
  EXPECT_EQ(GuidText(clsid), kClassId);
  EXPECT_EQ(RunRegsvr32(L"/u /s " + quoted), 0u);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_NE(RunRegsvr32(L"/s \"" + OcxPath() + L".missing\""), 0u);
}

TEST_F(OcxTest, WithoutTheHostKitCreationFailsWithTheComError) {
  Register();
  ProgIdOverride unregistered_public(L"QVISERVERLibCtl.QviPublic", kUnregisteredClass);
  ProgIdOverride unregistered_service(L"QVISVRNTNWSVCLibCtl.QviNTNWSvc", kUnregisteredClass);
  IUnknown* object = nullptr;
  EXPECT_EQ(CoCreateInstance(Guid(kClassId), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(can_unload_now_(), S_OK);
}

// Hands out fake controls for one of the kit's classes and keeps each one it
// made, so a test can see what the control library did with them.
class FakeKitFactory final : public IClassFactory {
 public:
  ~FakeKitFactory() {
    for (FakeDispatch* made : made_) made->Release();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* made = new FakeDispatch();
    if (prepare_) prepare_(*made);
    made_.push_back(made);
    return made->QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  std::function<void(FakeDispatch&)> prepare_;
  std::vector<FakeDispatch*> made_;
};

class OcxWithHostKitTest : public OcxTest {
 protected:
  void SetUp() override {
    OcxTest::SetUp();
    Register();
    ASSERT_EQ(CoRegisterClassObject(Guid(kFakePublicClass), &public_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &public_cookie_),
              S_OK);
    ASSERT_EQ(CoRegisterClassObject(Guid(kFakeServiceClass), &service_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &service_cookie_),
              S_OK);
  }
  void TearDown() override {
    CoRevokeClassObject(public_cookie_);
    CoRevokeClassObject(service_cookie_);
    OcxTest::TearDown();
  }

  IUnknown* Create() {
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(Guid(kClassId), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    return object;
  }

  ProgIdOverride public_prog_id_{L"QVISERVERLibCtl.QviPublic", kFakePublicClass};
  ProgIdOverride service_prog_id_{L"QVISVRNTNWSVCLibCtl.QviNTNWSvc", kFakeServiceClass};
  FakeKitFactory public_;
  FakeKitFactory service_;
  DWORD public_cookie_ = 0;
  DWORD service_cookie_ = 0;
};

TEST_F(OcxWithHostKitTest, CreationByClassOrProgIdPlacesTheKitAndNamesTheSettingsFile) {
  CLSID by_name{};
  ASSERT_EQ(CLSIDFromProgID(L"QviConsole.QVConsole", &by_name), S_OK);
  EXPECT_EQ(GuidText(by_name), kClassId);
  ASSERT_EQ(CLSIDFromProgID(L"QviConsole.QVConsole.1", &by_name), S_OK);
  EXPECT_EQ(GuidText(by_name), kClassId);

  IUnknown* by_class = Create();
  IDispatch* by_prog_id = nullptr;
  ASSERT_EQ(CoCreateInstance(by_name, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(&by_prog_id)),
            S_OK);
  ASSERT_NE(by_class, nullptr);
  ASSERT_EQ(public_.made_.size(), 2u);
  ASSERT_EQ(service_.made_.size(), 2u);
  for (FakeDispatch* qvi_public : public_.made_) {
    ASSERT_EQ(qvi_public->calls().size(), 1u);
    EXPECT_EQ(qvi_public->calls()[0].id, 14);
    EXPECT_EQ(qvi_public->calls()[0].types, std::vector<VARTYPE>{VT_BSTR});
    EXPECT_EQ(qvi_public->calls()[0].values, std::vector<std::wstring>{L"QVIConsole.ini"});
    EXPECT_NE(qvi_public->sink(), nullptr);
  }
  for (FakeDispatch* service : service_.made_) EXPECT_TRUE(service->calls().empty());

  EXPECT_EQ(can_unload_now_(), S_FALSE);
  by_class->Release();
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  by_prog_id->Release();
  EXPECT_EQ(can_unload_now_(), S_OK);
  for (FakeDispatch* made : public_.made_) {
    EXPECT_EQ(made->sink(), nullptr);
    EXPECT_EQ(made->refs(), 1);
  }
}

TEST_F(OcxWithHostKitTest, AKitControlWhoseEventsCannotBeFoundFailsCreationAndIsLetGo) {
  public_.prepare_ = [](FakeDispatch& fake) { fake.WithoutClassInfo(); };
  IUnknown* object = nullptr;
  EXPECT_EQ(CoCreateInstance(Guid(kClassId), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  ASSERT_EQ(public_.made_.size(), 1u);
  EXPECT_TRUE(public_.made_[0]->calls().empty());
  EXPECT_EQ(public_.made_[0]->refs(), 1);
  EXPECT_EQ(service_.made_.at(0)->refs(), 1);
  EXPECT_EQ(can_unload_now_(), S_OK);
}

TEST_F(OcxWithHostKitTest, AFailingSettingsFileCallLeavesTheControlUsable) {
  public_.prepare_ = [](FakeDispatch& fake) {
    fake.Answer(14, [](DISPPARAMS*, VARIANT*, EXCEPINFO*) { return E_FAIL; });
  };
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(public_.made_.at(0)->Fire(kFakeUninstall, {}), S_OK);
  object->Release();
}

TEST_F(OcxWithHostKitTest, AnswersTheInterfacesOfAnInvisibleControl) {
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  const std::pair<const char*, IID> answered[] = {
      {"IDispatch", IID_IDispatch},
      {"_QVConsole", Guid(kInterfaceId)},
      {"IProvideClassInfo", IID_IProvideClassInfo},
      {"IProvideClassInfo2", IID_IProvideClassInfo2},
      {"IConnectionPointContainer", IID_IConnectionPointContainer},
      {"IOleObject", IID_IOleObject},
      {"IOleControl", IID_IOleControl},
      {"IOleWindow", IID_IOleWindow},
      {"IOleInPlaceObject", IID_IOleInPlaceObject},
      {"IOleInPlaceActiveObject", IID_IOleInPlaceActiveObject},
      {"IPersist", IID_IPersist},
      {"IPersistStreamInit", IID_IPersistStreamInit},
      {"IPersistPropertyBag", IID_IPersistPropertyBag},
      {"IViewObject", IID_IViewObject},
      {"IViewObject2", IID_IViewObject2},
  };
  for (const auto& [name, iid] : answered) {
    IUnknown* part = nullptr;
    ASSERT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&part)), S_OK) << name;
    // COM identity: every interface leads back to the same IUnknown.
    IUnknown* identity = nullptr;
    part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    EXPECT_EQ(identity, object) << name;
    identity->Release();
    part->Release();
  }
  IUnknown* none = nullptr;
  EXPECT_EQ(object->QueryInterface(Guid(kEventsId), reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(object->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  object->Release();
}

TEST_F(OcxWithHostKitTest, TypeInformationIsTheControlsAndItsDispatchHasNoMembers) {
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  IProvideClassInfo2* provider = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&provider)), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(provider->GetClassInfo(&info), S_OK);
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  EXPECT_EQ(GuidText(attr->guid), kClassId);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  info->ReleaseTypeAttr(attr);
  info->Release();
  GUID source{};
  ASSERT_EQ(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(GuidText(source), kEventsId);
  EXPECT_EQ(provider->GetGUID(0x42, &source), E_INVALIDARG);
  provider->Release();

  IDispatch* dispatch = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, &info), S_OK);
  info->GetTypeAttr(&attr);
  EXPECT_EQ(GuidText(attr->guid), kInterfaceId);
  info->ReleaseTypeAttr(attr);
  info->Release();
  wchar_t name_text[] = L"Setup";
  LPOLESTR names[] = {name_text};
  DISPID id = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  dispatch->Release();
  object->Release();
}

// A container's sink for the control's own events, which never come.
class ControlEventsSink final : public IDispatch {
 public:
  explicit ControlEventsSink(bool answers_events) : answers_events_(answers_events) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        (answers_events_ && IsEqualIID(riid, Guid(kEventsId)))) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    ++invoked_;
    return S_OK;
  }
  LONG refs_ = 1;
  int invoked_ = 0;
  bool answers_events_;
};

TEST_F(OcxWithHostKitTest, ContainersAdviseAndUnadviseOnTheControlsEvents) {
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
  IConnectionPoint* point = nullptr;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &point), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(Guid(kEventsId), &point), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(GuidText(iid), kEventsId);
  IConnectionPointContainer* back = nullptr;
  ASSERT_EQ(point->GetConnectionPointContainer(&back), S_OK);
  EXPECT_EQ(back, container);
  back->Release();

  ControlEventsSink sink(true);
  ControlEventsSink stranger(false);
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(&stranger, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(stranger.refs_, 1);
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(sink.refs_, 2);
  // The host's events reach the snap-in, never the container.
  EXPECT_EQ(public_.made_.at(0)->Fire(kFakeUninstall, {}), S_OK);
  EXPECT_EQ(sink.invoked_, 0);
  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(sink.refs_, 1);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  point->Release();
  container->Release();
  object->Release();
}

TEST_F(OcxWithHostKitTest, TheHostsEventsRunTheSnapInAndFrmCommonGetsItsOwnPair) {
  public_.prepare_ = [](FakeDispatch& fake) {
    fake.Answer(22, [](DISPPARAMS* params, VARIANT* result, EXCEPINFO*) {
      if (V_VT(&params->rgvarg[0]) != (VT_BYREF | VT_I4)) return DISP_E_TYPEMISMATCH;
      *V_I4REF(&params->rgvarg[0]) = 0x0004000A;
      V_VT(result) = VT_I4;
      V_I4(result) = 1;
      return S_OK;
    });
  };
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  FakeDispatch* qvi_public = public_.made_.at(0);
  ASSERT_EQ(qvi_public->Fire(kFakeSetup, {}), S_OK);
  ASSERT_GE(qvi_public->calls().size(), 2u);
  EXPECT_EQ(qvi_public->calls()[1].id, 22);
  EXPECT_EQ(qvi_public->calls()[1].types, std::vector<VARTYPE>{VT_BYREF | VT_I4});
  // frmCommon was created with a pair of its own, never advised.
  ASSERT_EQ(public_.made_.size(), 2u);
  ASSERT_EQ(service_.made_.size(), 2u);
  EXPECT_EQ(public_.made_[1]->sink(), nullptr);
  EXPECT_FALSE(public_.made_[1]->calls().empty());
  // A second qviSetup uses the same frmCommon.
  ASSERT_EQ(qvi_public->Fire(kFakeSetup, {}), S_OK);
  EXPECT_EQ(public_.made_.size(), 2u);
  object->Release();
  EXPECT_EQ(can_unload_now_(), S_OK);
  // Releasing the module-wide state let go of frmCommon's controls.
  EXPECT_EQ(public_.made_[1]->refs(), 1);
  EXPECT_EQ(service_.made_[1]->refs(), 1);
}

TEST_F(OcxWithHostKitTest, APageNotificationFailureGoesBackToTheHost) {
  public_.prepare_ = [](FakeDispatch& fake) {
    fake.Answer(13, [](DISPPARAMS*, VARIANT*, EXCEPINFO* info) {
      info->scode = static_cast<SCODE>(0x800A0044);
      info->bstrDescription = SysAllocString(L"Device unavailable");
      return DISP_E_EXCEPTION;
    });
  };
  IUnknown* object = Create();
  ASSERT_NE(object, nullptr);
  EXCEPINFO info{};
  EXPECT_EQ(public_.made_.at(0)->Fire(kFakePostPageNotification, {Text(L"qvigui.copy1")}, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<std::uint32_t>(info.scode), 0x800A0044u);
  EXPECT_STREQ(info.bstrDescription, L"Device unavailable");
  EXPECT_STREQ(info.bstrSource, L"QviConsole");
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  // Every other event keeps its failures.
  EXPECT_EQ(public_.made_.at(0)->Fire(kFakeUninstall, {}), S_OK);
  object->Release();
}

// Wine's control host, as a container that is not ours: it creates, sites,
// activates in place and on the window's end closes the control. Under Wine
// the prefix needs the null graphics driver (scripts/test-windows.sh).
TEST_F(OcxWithHostKitTest, AControlContainerNotOursCreatesSitesActivatesAndClosesIt) {
  HMODULE atl = LoadLibraryW(L"atl.dll");
  ASSERT_NE(atl, nullptr);
  using InitFn = BOOL(WINAPI*)();
  using CreateFn = HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**);
  using GetFn = HRESULT(WINAPI*)(HWND, IUnknown**);
  auto proc = [atl](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(atl, name)); };
  const auto init = reinterpret_cast<InitFn>(proc("AtlAxWinInit"));
  const auto create = reinterpret_cast<CreateFn>(proc("AtlAxCreateControl"));
  const auto get = reinterpret_cast<GetFn>(proc("AtlAxGetControl"));
  ASSERT_TRUE(init && create && get);
  ASSERT_TRUE(init());

  HWND window = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  IUnknown* container = nullptr;
  ASSERT_EQ(create(L"QviConsole.QVConsole", window, nullptr, &container), S_OK);
  IUnknown* control = nullptr;
  ASSERT_EQ(get(window, &control), S_OK);
  ASSERT_NE(control, nullptr);

  IOleObject* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  IOleClientSite* site = nullptr;
  ASSERT_EQ(ole->GetClientSite(&site), S_OK);
  ASSERT_NE(site, nullptr);
  IOleInPlaceSite* in_place = nullptr;
  EXPECT_EQ(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place)), S_OK);
  if (in_place) in_place->Release();
  site->Release();
  ASSERT_EQ(public_.made_.size(), 1u);
  EXPECT_EQ(public_.made_[0]->CallIds(), std::vector<DISPID>{14});

  control->Release();
  DestroyWindow(window);
  if (container) container->Release();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  // The container let go of the control when its window ended.
  ASSERT_EQ(ole->GetClientSite(&site), S_OK);
  EXPECT_EQ(site, nullptr);
  ole->Release();
  EXPECT_EQ(can_unload_now_(), S_OK);
}

}  // namespace
