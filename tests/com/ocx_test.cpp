// The control library as a COM client and a container see it: the file
// "QviConsole.ocx" beside this program, loaded (by this Windows's loader, or
// as Windows 95 or NT 4.0 would load it), registered and created.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "personality/personality.h"
#include "runtime/com/class_factory.h"
#include "runtime/com/scoped.h"
#include "testing/beside_program.h"
#include "testing/com_fake_kit/fake_kit.h"

namespace {

using namespace qvi::testing;
using qvi::com::ComPtr;
using qvi::com::Make;
using qvi::com::ScopedBstr;
using qvi::personality::System;

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

std::wstring OcxPath() { return BesideProgram(L"QviConsole.ocx"); }

// Every key and value under HKEY_CLASSES_ROOT\`path`, one line each, in
// name order: "key" or "key|value=data".
void Collect(const std::wstring& path, std::vector<std::wstring>& lines) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  lines.push_back(path);
  std::set<std::wstring> values, children;
  wchar_t name[256], data[1024];
  DWORD name_size = 256, data_size = sizeof data, type = 0;
  for (DWORD i = 0; RegEnumValueW(key, i, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                  &data_size) == ERROR_SUCCESS;
       ++i, name_size = 256, data_size = sizeof data) {
    values.insert(path + L"|" + name + L"=" + (type == REG_SZ ? data : L"<binary>"));
  }
  for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i) children.insert(name);
  RegCloseKey(key);
  lines.insert(lines.end(), values.begin(), values.end());
  for (const std::wstring& child : children) Collect(path + L"\\" + child, lines);
}

// The same for each of `roots` in turn.
std::vector<std::wstring> Keys(std::initializer_list<std::wstring> roots) {
  std::vector<std::wstring> lines;
  for (const std::wstring& root : roots) Collect(root, lines);
  return lines;
}

// What registration may touch: the class, its ProgIDs, the type library and
// its interfaces.
std::vector<std::wstring> Snapshot() {
  const std::wstring c = L"CLSID\\", i = L"Interface\\";
  return Keys({c + kClassId, c + kFormClassId, L"QviConsole.QVConsole", L"QviConsole.QVConsole.1",
               L"TypeLib\\" + std::wstring(kLibId), i + kInterfaceId, i + kEventsId, i + kFormInterfaceId});
}

// Creates the key, and sets its default value unless there is none.
void SetDefault(const std::wstring& key_name, const std::optional<std::wstring>& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key_name.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (value) {
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                   static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

// A ProgID of the host kit pointed at `clsid` for the life of the object;
// whatever the machine held before comes back afterwards.
struct ProgIdOverride {
  ProgIdOverride(const std::wstring& prog_id, const wchar_t* clsid) : prog_id_(prog_id), before_(Keys({prog_id})) {
    SetDefault(prog_id + L"\\CLSID", clsid);
  }
  ~ProgIdOverride() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, prog_id_.c_str());
    for (const std::wstring& line : before_) {  // "key" or "key|=value": a ProgID has default values only
      const std::size_t bar = line.find(L"|=");
      SetDefault(line.substr(0, bar), bar == std::wstring::npos ? std::nullopt : std::optional(line.substr(bar + 2)));
    }
  }
  const std::wstring prog_id_;
  const std::vector<std::wstring> before_;
};

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(WINAPI*)();

class OcxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    module_ = Load(OcxPath());
    ASSERT_NE(module_, nullptr) << "cannot load QviConsole.ocx beside the test program";
    get_class_object_ = Export<GetClassObjectFn>("DllGetClassObject");
    can_unload_now_ = Export<NoArgumentFn>("DllCanUnloadNow");
    register_ = Export<NoArgumentFn>("DllRegisterServer");
    unregister_ = Export<NoArgumentFn>("DllUnregisterServer");
    ASSERT_TRUE(get_class_object_ && can_unload_now_ && register_ && unregister_);
  }
  // Unregistering what is not registered is no error.
  void TearDown() override {
    if (module_) {
      EXPECT_EQ(unregister_(), S_OK);
    }
    CoUninitialize();
    if (module_) FreeLibrary(module_);
  }

  virtual HMODULE Load(const std::wstring& path) { return LoadLibraryW(path.c_str()); }

  template <class Function>
  Function Export(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

  HMODULE module_ = nullptr;
  GetClassObjectFn get_class_object_ = nullptr;
  NoArgumentFn can_unload_now_ = nullptr;
  NoArgumentFn register_ = nullptr;
  NoArgumentFn unregister_ = nullptr;
};

TEST(OcxFileTest, EveryStringOfTheVersionBlockReadsBack) {
  const std::wstring path = OcxPath();
  DWORD handle = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &handle));
  ASSERT_TRUE(!block.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  const auto query = [&block](const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    return VerQueryValueW(block.data(), name.c_str(), &value, &length) ? value : nullptr;
  };
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
    const auto* value = static_cast<const wchar_t*>(query(std::wstring(L"\\StringFileInfo\\040904B0\\") + name));
    ASSERT_NE(value, nullptr) << name;
    EXPECT_STREQ(value, expected) << name;
  }
  const auto* translation = static_cast<const DWORD*>(query(L"\\VarFileInfo\\Translation"));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(query(L"\\"));
  ASSERT_TRUE(translation && fixed);
  EXPECT_EQ(*translation, 0x04B00409u);
  EXPECT_EQ(std::tuple(fixed->dwFileVersionMS, fixed->dwFileType), std::tuple(0x00010000u, DWORD{VFT_DLL}));
}

TEST_F(OcxTest, UnregistrationLeavesWhatItDidNotWrite) {
  const std::wstring clsid = std::wstring(L"CLSID\\") + kClassId;
  const std::wstring category = clsid + L"\\Implemented Categories\\{40FC6ED4-2438-11CF-A3DB-080036F12502}";
  ASSERT_EQ(register_(), S_OK);
  // Since then another program has added a category and changed a value,
  // and another class has taken the version-independent ProgID.
  SetDefault(category, L"");
  SetDefault(clsid + L"\\Version", L"2.0");
  SetDefault(L"QviConsole.QVConsole\\CLSID", kFakePublicClass);
  const std::vector<std::wstring> taken = Keys({L"QviConsole.QVConsole"});
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(Keys({clsid, L"QviConsole.QVConsole.1"}),
            (std::vector<std::wstring>{clsid, clsid + L"\\Implemented Categories", category, category + L"|=",
                                       clsid + L"\\Version", clsid + L"\\Version|=2.0"}));
  EXPECT_EQ(Keys({L"QviConsole.QVConsole"}), taken);

  // A class registered for another copy of the file is that copy's.
  ASSERT_EQ(register_(), S_OK);
  SetDefault(clsid + L"\\InprocServer32", L"C:\\elsewhere\\QviConsole.ocx");
  const std::vector<std::wstring> elsewhere = Keys({clsid});
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(Keys({clsid}), elsewhere);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, clsid.c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"QviConsole.QVConsole");
}

// The name, GUID, kind, flags and number of functions of a type.
struct TypeSeen {
  std::wstring name, guid;
  TYPEKIND kind;
  WORD flags, functions;
};

TypeSeen Describe(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  ScopedBstr name;
  info->GetDocumentation(MEMBERID_NIL, name.ReleaseAndGetAddressOf(), nullptr, nullptr, nullptr);
  TypeSeen seen{name.Get(), GuidText(attr->guid), attr->typekind, attr->wTypeFlags, attr->cFuncs};
  info->ReleaseTypeAttr(attr);
  return seen;
}

class OcxWithHostKitTest : public OcxTest {
 protected:
  void SetUp() override {
    OcxTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(register_(), S_OK);
    for (auto [kit, clsid] : {std::pair{&public_, kFakePublicClass}, std::pair{&service_, kFakeServiceClass}}) {
      ASSERT_EQ(CoRegisterClassObject(Guid(clsid), kit->factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                      &kit->cookie),
                S_OK);
    }
  }
  void TearDown() override {
    CoRevokeClassObject(public_.cookie);
    CoRevokeClassObject(service_.cookie);
    OcxTest::TearDown();
  }

  HRESULT Create(ComPtr<IUnknown>& object) {
    return CoCreateInstance(Guid(kClassId), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                            object.ReleaseAndGetVoidAddressOf());
  }

  // Hands out fake controls for one of the kit's classes and keeps each one
  // it made, so a test can see what the control library did with them.
  struct FakeKitClass {
    std::function<void(FakeDispatch&)> prepare;
    std::vector<ComPtr<FakeDispatch>> made;
    const ComPtr<qvi::com::ClassFactory> factory = Make<qvi::com::ClassFactory>([this](REFIID riid, void** out) {
      made.push_back(Make<FakeDispatch>());
      if (prepare) prepare(*made.back());
      return made.back()->QueryInterface(riid, out);
    });
    DWORD cookie = 0;
  };
  ProgIdOverride public_prog_id_{L"QVISERVERLibCtl.QviPublic", kFakePublicClass};
  ProgIdOverride service_prog_id_{L"QVISVRNTNWSVCLibCtl.QviNTNWSvc", kFakeServiceClass};
  FakeKitClass public_;
  FakeKitClass service_;
};

// The file loaded by this Windows's loader, or as Windows 95 or NT 4.0 would
// load it.
class OcxLoadedAsTest : public OcxWithHostKitTest, public ::testing::WithParamInterface<std::optional<System>> {
 protected:
  void SetUp() override {
    if (GetParam() && sizeof(void*) != 4) GTEST_SKIP() << "there is no 64-bit Windows 95 or NT 4.0";
    OcxWithHostKitTest::SetUp();
  }
  void TearDown() override {
    if (!IsSkipped()) OcxWithHostKitTest::TearDown();
  }
  HMODULE Load(const std::wstring& path) override {
    HMODULE module = nullptr;
    EXPECT_NO_THROW(module = GetParam() ? qvi::personality::LoadAs(*GetParam(), path) : OcxTest::Load(path));
    return module;
  }
};

INSTANTIATE_TEST_SUITE_P(Loaders, OcxLoadedAsTest,
                         ::testing::Values(std::nullopt, System::kWindows95, System::kWindowsNT40),
                         [](const auto& info) -> std::string {
                           return info.param ? (*info.param == System::kWindows95 ? "Windows95" : "WindowsNT40")
                                             : "ThisWindows";
                         });

// Whichever loader loaded the file, registration writes these keys.
TEST_P(OcxLoadedAsTest, RegistrationAddsTheseKeysAndUnregistrationRemovesExactlyThem) {
  ASSERT_EQ(unregister_(), S_OK);
  const std::vector<std::wstring> before = Snapshot();
  ASSERT_EQ(register_(), S_OK);
  const std::wstring path = OcxPath();
  const std::wstring c = std::wstring(L"CLSID\\") + kClassId;
  const std::wstring p = L"QviConsole.QVConsole";
  const std::wstring p1 = p + L".1";
  const std::vector<std::wstring> expected = {
      c, c + L"|=" + p, c + L"\\Control", c + L"\\InprocServer32", c + L"\\InprocServer32|=" + path,
      c + L"\\InprocServer32|ThreadingModel=Apartment", c + L"\\MiscStatus", c + L"\\MiscStatus|=0",
      c + L"\\MiscStatus\\1", c + L"\\MiscStatus\\1|=132497", c + L"\\ProgID", c + L"\\ProgID|=" + p1,
      c + L"\\TypeLib", c + L"\\TypeLib|=" + kLibId, c + L"\\Version", c + L"\\Version|=1.0",
      c + L"\\VersionIndependentProgID", c + L"\\VersionIndependentProgID|=" + p,
      p, p + L"|=QVConsole", p + L"\\CLSID", p + L"\\CLSID|=" + kClassId, p + L"\\CurVer", p + L"\\CurVer|=" + p1,
      p1, p1 + L"|=QVConsole", p1 + L"\\CLSID", p1 + L"\\CLSID|=" + kClassId};
  EXPECT_EQ(Keys({c, p, p1}), expected);

  ScopedBstr typelib_path;
  ASSERT_EQ(QueryPathOfRegTypeLib(Guid(kLibId), 1, 0, 0, typelib_path.ReleaseAndGetAddressOf()), S_OK);
  // The same text as InprocServer32, not a long-path form of the same file.
  EXPECT_EQ(std::wstring(typelib_path.Get()), path);

  // A type library named in other letter case and in the long-path form is
  // still this file's.
  std::wstring other = L"\\\\?\\" + path;
  SetDefault(L"TypeLib\\" + std::wstring(kLibId) + (sizeof(void*) == 8 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32"),
             std::wstring(CharLowerW(other.data())));
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(Snapshot(), before);
  // Unregistering what is not registered changes nothing and succeeds.
  EXPECT_EQ(unregister_(), S_OK);
  EXPECT_EQ(Snapshot(), before);
}

TEST_P(OcxLoadedAsTest, EachControlPlacesAKitOfItsOwnAndLetsGoOfIt) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(get_class_object_(Guid(kFormClassId), IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()),
            CLASS_E_CLASSNOTAVAILABLE);
  ComPtr<IUnknown> first, second;
  ASSERT_EQ(Create(first), S_OK);
  ASSERT_EQ(Create(second), S_OK);
  ASSERT_EQ(std::tuple(public_.made.size(), service_.made.size()), std::tuple(2u, 2u));
  for (const ComPtr<FakeDispatch>& qvi_public : public_.made) EXPECT_EQ(qvi_public->Advised(), 1u);
  first.Reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  second.Reset();
  EXPECT_EQ(can_unload_now_(), S_OK);
  for (const FakeKitClass* kit : {&public_, &service_}) {
    for (const ComPtr<FakeDispatch>& made : kit->made) {
      EXPECT_EQ(std::tuple(made->Advised(), made->RefCount()), std::tuple(0u, 1u));
    }
  }
}

// A kit whose events cannot be found, or no kit at all: creation fails with
// the COM error and leaves nothing behind.
TEST_F(OcxWithHostKitTest, CreationThatFailsLetsGoOfWhatItMade) {
  public_.prepare = [](FakeDispatch& fake) { fake.WithoutClassInfo(); };
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(object), E_NOINTERFACE);
  EXPECT_FALSE(object);
  ASSERT_EQ(public_.made.size(), 1u);
  EXPECT_TRUE(public_.made[0]->calls().empty());
  EXPECT_EQ(std::tuple(public_.made[0]->RefCount(), service_.made.at(0)->RefCount()), std::tuple(1u, 1u));
  EXPECT_EQ(can_unload_now_(), S_OK);

  ProgIdOverride unregistered_public(L"QVISERVERLibCtl.QviPublic", kUnregisteredClass);
  ProgIdOverride unregistered_service(L"QVISVRNTNWSVCLibCtl.QviNTNWSvc", kUnregisteredClass);
  EXPECT_EQ(Create(object), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(object);
  EXPECT_EQ(can_unload_now_(), S_OK);
}

TEST_F(OcxWithHostKitTest, AnswersTheInterfacesOfAnInvisibleControlWithItsTypeInformation) {
  ComPtr<IUnknown> object;
  ASSERT_EQ(Create(object), S_OK);
  const IID answered[] = {IID_IDispatch, Guid(kInterfaceId), IID_IProvideClassInfo, IID_IProvideClassInfo2,
                          IID_IConnectionPointContainer, IID_IOleObject, IID_IOleControl, IID_IOleWindow,
                          IID_IOleInPlaceObject, IID_IOleInPlaceActiveObject, IID_IPersist, IID_IPersistStreamInit,
                          IID_IPersistPropertyBag, IID_IViewObject, IID_IViewObject2};
  for (const IID& iid : answered) {
    ComPtr<IUnknown> part;
    ASSERT_EQ(object.As(iid, part), S_OK) << GuidText(iid);
    // COM identity: every interface leads back to the same IUnknown.
    ComPtr<IUnknown> identity;
    part.As(IID_IUnknown, identity);
    EXPECT_EQ(identity.Get(), object.Get()) << GuidText(iid);
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(object.As(Guid(kEventsId), none), E_NOINTERFACE);
  EXPECT_EQ(object.As(IID_IPersistStorage, none), E_NOINTERFACE);

  // Its own events, which it never raises, have a point a container may use.
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(object.As(IID_IConnectionPointContainer, container), S_OK);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(Guid(kEventsId), point.ReleaseAndGetAddressOf()), S_OK);

  ComPtr<IProvideClassInfo2> provider;
  ASSERT_EQ(object.As(IID_IProvideClassInfo2, provider), S_OK);
  GUID source{};
  ASSERT_EQ(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(GuidText(source), kEventsId);
  EXPECT_EQ(provider->GetGUID(0x42, &source), E_INVALIDARG);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(provider->GetClassInfo(coclass.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Describe(coclass.Get()).guid, kClassId);

  // The type library of the file, which describes the control, its
  // interfaces and the hidden form.
  ComPtr<ITypeLib> library;
  UINT index = 0;
  ASSERT_EQ(coclass->GetContainingTypeLib(library.ReleaseAndGetAddressOf(), &index), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(std::tuple(GuidText(attr->guid), attr->wMajorVerNum, attr->wMinorVerNum), std::tuple(kLibId, 1, 0));
  library->ReleaseTLibAttr(attr);
  ScopedBstr name;
  library->GetDocumentation(-1, name.ReleaseAndGetAddressOf(), nullptr, nullptr, nullptr);
  EXPECT_STREQ(name.Get(), L"QviConsole");
  // Each type's name, kind, the TYPEFLAGs that must be set and those that
  // must not.
  const std::tuple<const wchar_t*, const wchar_t*, TYPEKIND, WORD, WORD> types[] = {
      {L"QVConsole", kClassId, TKIND_COCLASS, TYPEFLAG_FCONTROL | TYPEFLAG_FCANCREATE, TYPEFLAG_FHIDDEN},
      {L"_QVConsole", kInterfaceId, TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN, 0},
      {L"__QVConsole", kEventsId, TKIND_DISPATCH, TYPEFLAG_FHIDDEN, TYPEFLAG_FDUAL},
      {L"frmCommon", kFormClassId, TKIND_COCLASS, TYPEFLAG_FHIDDEN, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL},
      {L"_frmCommon", kFormInterfaceId, TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN, 0},
  };
  EXPECT_EQ(library->GetTypeInfoCount(), std::size(types));
  for (const auto& [type_name, guid, kind, set, unset] : types) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfoOfGuid(Guid(guid), info.ReleaseAndGetAddressOf()), S_OK) << type_name;
    const TypeSeen seen = Describe(info.Get());
    // The dispatch side of a dual interface has IDispatch's members only.
    const WORD functions = kind == TKIND_DISPATCH && (set & TYPEFLAG_FDUAL) ? 7 : 0;
    EXPECT_EQ(std::tuple(seen.name, seen.kind, seen.flags & (set | unset), seen.functions),
              std::tuple(type_name, kind, set, functions));
  }
  // The control's default interface, then its default source.
  const std::tuple<std::wstring, INT> implemented[] = {
      {kInterfaceId, IMPLTYPEFLAG_FDEFAULT},
      {kEventsId, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
  };
  for (UINT i = 0; i < std::size(implemented); ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
    coclass->GetRefTypeOfImplType(i, &ref);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, info.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(std::tuple(Describe(info.Get()).guid, flags), implemented[i]) << i;
  }

  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(object.As(IID_IDispatch, dispatch), S_OK);
  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Describe(info.Get()).guid, kInterfaceId);
  wchar_t name_text[] = L"Setup";
  LPOLESTR names[] = {name_text};
  DISPID id = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  DISPPARAMS none_given{nullptr, nullptr, 0, 0};
  EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none_given, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

// The second qviSetup's first host call drops the container's last
// reference to the control: the event still runs to its end on a live
// control, which goes when the event has.
TEST_F(OcxWithHostKitTest, EventsRunTheSnapInWithFrmCommonsOwnPairAndHoldTheControlToTheirEnd) {
  ComPtr<IUnknown> object;
  bool drop = false;
  public_.prepare = [&](FakeDispatch& fake) {
    if (public_.made.size() != 1) return;  // QviPublic1's, not frmCommon's
    fake.Answer(22, [&](DISPPARAMS*, VARIANT*, EXCEPINFO*) {
      if (!std::exchange(drop, false)) return S_OK;
      object.Reset();
      EXPECT_EQ(can_unload_now_(), S_FALSE);
      EXPECT_EQ(fake.Advised(), 1u) << "the control ended inside its event";  // ending, it unadvises
      return S_OK;
    });
  };
  ASSERT_EQ(Create(object), S_OK);
  const ComPtr<FakeDispatch> qvi_public = public_.made.at(0);
  ASSERT_EQ(qvi_public->Fire(kFakeSetup), S_OK);
  ASSERT_GE(qvi_public->calls().size(), 2u);
  EXPECT_EQ(qvi_public->calls()[1].id, 22);
  EXPECT_EQ(qvi_public->calls()[1].types, std::vector<VARTYPE>{VT_BYREF | VT_I4});
  // frmCommon was created with a pair of its own, never advised.
  ASSERT_EQ(std::tuple(public_.made.size(), service_.made.size()), std::tuple(2u, 2u));
  EXPECT_EQ(public_.made[1]->Advised(), 0u);
  EXPECT_FALSE(public_.made[1]->calls().empty());

  const std::size_t calls = qvi_public->calls().size();
  drop = true;
  ASSERT_EQ(qvi_public->Fire(kFakeSetup), S_OK);
  EXPECT_FALSE(drop);
  EXPECT_EQ(qvi_public->calls().size() - calls, calls - 1) << "the second qviSetup ran as the first";
  EXPECT_EQ(public_.made.size(), 2u) << "with the same frmCommon";
  EXPECT_EQ(qvi_public->Advised(), 0u);
  EXPECT_EQ(can_unload_now_(), S_OK);
  // Releasing the module-wide state let go of frmCommon's controls.
  EXPECT_EQ(std::tuple(public_.made[1]->RefCount(), service_.made[1]->RefCount()), std::tuple(1u, 1u));
}

// A process may unload the library without asking DllCanUnloadNow first. The
// module-wide state then stays unreleased: releasing it would release the
// kit's controls inside DllMain.
TEST_F(OcxWithHostKitTest, UnloadedUnaskedTheLibraryReleasesNothingInDllMain) {
  {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get_class_object_(Guid(kClassId), IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()), S_OK);
    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.ReleaseAndGetVoidAddressOf()), S_OK);
    ASSERT_EQ(public_.made.at(0)->Fire(kFakeSetup), S_OK);
  }
  ASSERT_EQ(public_.made.size(), 2u) << "frmCommon has its pair";
  EXPECT_EQ(unregister_(), S_OK);
  // Loaded by this test only, not by COM: this unloads it.
  ASSERT_TRUE(FreeLibrary(std::exchange(module_, nullptr)));
  ASSERT_EQ(GetModuleHandleW(OcxPath().c_str()), nullptr);
  for (FakeKitClass* kit : {&public_, &service_}) {
    EXPECT_EQ(kit->made[1]->RefCount(), 2u) << "frmCommon's control was released in DllMain";
    // The reference the unloaded library kept.
    ComPtr<FakeDispatch> orphan;
    if (kit->made[1]->RefCount() == 2u) orphan.Attach(kit->made[1].Get());
  }
}

// Wine's control host, as a container that is not ours: it creates, sites,
// activates in place and on the window's end closes the control. Under Wine
// the prefix needs the null graphics driver (scripts/test-windows.sh).
TEST_P(OcxLoadedAsTest, AControlContainerNotOursCreatesSitesActivatesAndClosesIt) {
  const HMODULE atl = LoadLibraryW(L"atl.dll");
  ASSERT_NE(atl, nullptr);
  const auto proc = [atl](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(atl, name)); };
  const auto init = reinterpret_cast<BOOL(WINAPI*)()>(proc("AtlAxWinInit"));
  const auto create =
      reinterpret_cast<HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**)>(proc("AtlAxCreateControl"));
  const auto get = reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(proc("AtlAxGetControl"));
  // Once a process: Wine's second call fails, its window class registered.
  static const bool initialised = init && init();
  ASSERT_TRUE(create && get && initialised);

  HWND window = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  ComPtr<IUnknown> container;
  ASSERT_EQ(create(L"QviConsole.QVConsole", window, nullptr, container.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<IUnknown> control;
  ASSERT_EQ(get(window, control.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_TRUE(control);

  ComPtr<IOleObject> ole;
  ASSERT_EQ(control.As(IID_IOleObject, ole), S_OK);
  ComPtr<IOleClientSite> site;
  ASSERT_EQ(ole->GetClientSite(site.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<IOleInPlaceSite> in_place;
  ASSERT_TRUE(site);
  EXPECT_EQ(site.As(IID_IOleInPlaceSite, in_place), S_OK);
  ASSERT_EQ(public_.made.size(), 1u);
  ASSERT_EQ(public_.made[0]->calls().size(), 1u);
  EXPECT_EQ(public_.made[0]->calls()[0].id, 14);

  control.Reset();
  DestroyWindow(window);
  container.Reset();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  // The container let go of the control when its window ended.
  in_place.Reset();
  ASSERT_EQ(ole->GetClientSite(site.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_FALSE(site);
  ole.Reset();
  EXPECT_EQ(can_unload_now_(), S_OK);
  // The control host's OleInitialize keeps the apartment, and COM the file,
  // past this test: the next one may load it afresh.
  CoFreeUnusedLibrariesEx(0, 0);
}

}  // namespace
