#include <array>
#include <cstddef>
#include <string>

#include "control/qv_console.h"
#include "runtime/errors.h"
#include "provisioning/registry_string.h"

namespace qvi {

namespace {

constexpr const char* kProxyStubClsid = "{00000320-0000-0000-C000-000000000046}";
constexpr const char* kClassMonikerClsid = "{0000031A-0000-0000-C000-000000000046}";
constexpr const char* kFileMonikerClsid = "{00000303-0000-0000-C000-000000000046}";
constexpr const char* kInstalledVersionKey = "{bdc67890-4fc0-11d0-a805-00aa006d2ea4}\\InstalledVersion";
constexpr const char* kInstalledVersion = "4,71,0,426";

// Interfaces that only need their calls marshalled by the standard proxy/stub.
constexpr std::array<const char*, 7> kProxyStubOnlyIids = {
    "{0000010D-0000-0000-C000-000000000046}", "{0000011D-0000-0000-C000-000000000046}",
    "{0000011E-0000-0000-C000-000000000046}", "{00000126-0000-0000-C000-000000000046}",
    "{00000127-0000-0000-C000-000000000046}", "{00000128-0000-0000-C000-000000000046}",
    "{00000129-0000-0000-C000-000000000046}",
};

struct NamedInterface {
  const char* iid;
  const char* name;
  const char* num_methods;  // nullptr: no method count is registered
};

// The letter case of each IID and name is what earlier installations wrote
// and is kept as it is, "IFIllInfo" included.
constexpr std::array<NamedInterface, 25> kNamedInterfaces = {{
    {"{0000012A-0000-0000-C000-000000000046}", "IContinue", "4"},
    {"{00000131-0000-0000-C000-000000000046}", "IRemUnknown", nullptr},
    {"{00000132-0000-0000-C000-000000000046}", "IObjServer", nullptr},
    {"{00000133-0000-0000-C000-000000000046}", "IOSCM", nullptr},
    {"{00000134-0000-0000-C000-000000000046}", "IRunDown", nullptr},
    {"{00000135-0000-0000-C000-000000000046}", "IInterfaceFromWindowProp", nullptr},
    {"{00000136-0000-0000-C000-000000000046}", "IDSCM", nullptr},
    {"{00000138-0000-0000-C000-000000000046}", "IPropertyStorage", nullptr},
    {"{00000139-0000-0000-C000-000000000046}", "IEnumSTATPROPSTG", nullptr},
    {"{0000013a-0000-0000-C000-000000000046}", "IPropertySetStorage", nullptr},
    {"{0000013b-0000-0000-C000-000000000046}", "IEnumSTATPROPSETSTG", nullptr},
    {"{00000140-0000-0000-C000-000000000046}", "IClassActivator", "4"},
    {"{00000141-0000-0000-C000-000000000046}", "IDLLHost", nullptr},
    {"{0C733A30-2A1C-11CE-ADE5-00AA0044773D}", "ISequentialStream", "5"},
    {"{99caf010-415e-11cf-8814-00aa00b569f5}", "IFillLockBytes", nullptr},
    {"{4a8df970-8d9a-11cf-8827-00aa00b569f5}", "IDocfileAsyncConnectionPoint", nullptr},
    {"{260613d0-1655-11d0-af92-00aa00b50686}", "IRemoteActivator", nullptr},
    {"{a9d758a0-4617-11cf-95fc-00aa00680db4}", "IProgressNotify", nullptr},
    {"{B196B284-BAB4-101A-B69C-00AA00341D07}", "IConnectionPointContainer", "5"},
    {"{B196B285-BAB4-101A-B69C-00AA00341D07}", "IEnumConnectionPoints", "7"},
    {"{B196B286-BAB4-101A-B69C-00AA00341D07}", "IConnectionPoint", "8"},
    {"{B196B287-BAB4-101A-B69C-00AA00341D07}", "IEnumConnections", "7"},
    {"{de2eacd0-9c9d-11cf-882a-00aa00b569f5}", "IFIllInfo", nullptr},
    {"{F4F569D0-593B-101A-B569-08002B2DBF7A}", "IServerHandler", nullptr},
    {"{F4F569D1-593B-101A-B569-08002B2DBF7A}", "IClientSiteHandler", nullptr},
}};

constexpr std::size_t CountMethodCounts() {
  std::size_t count = 0;
  for (const NamedInterface& row : kNamedInterfaces) {
    if (row.num_methods != nullptr) ++count;
  }
  return count;
}

constexpr std::size_t kProxyStubSlots = kProxyStubOnlyIids.size() + kNamedInterfaces.size();
constexpr std::size_t kInterfaceSlots = kNamedInterfaces.size();
constexpr std::size_t kNumMethodsSlots = CountMethodCounts();
static_assert(kProxyStubSlots == 32 && kInterfaceSlots == 25 && kNumMethodsSlots == 7);

}  // namespace

void QVConsole::ProvisionOleDcom() {
  const OnError statement = OnError::ResumeNext();
  using platform::HKey;

  HKey clsid_root = platform::kNoKey;
  HKey class_moniker = platform::kNoKey;
  HKey inproc_server = platform::kNoKey;
  HKey prog_id = platform::kNoKey;
  HKey file_clsid = platform::kNoKey;
  HKey interface_root = platform::kNoKey;
  HKey ole = platform::kNoKey;
  HKey version_marker = platform::kNoKey;
  std::array<HKey, kProxyStubSlots> ProxyStubKeys{};
  std::array<HKey, kInterfaceSlots> InterfaceKeys{};
  std::array<HKey, kNumMethodsSlots> NumMethodsKeys{};

  // A key that cannot be made keeps its handle 0: what goes beneath it fails
  // without effect and the rest of the table is still written.
  const auto create = [&](HKey parent, const std::string& sub_key, HKey& handle) {
    statement([&] { os_.RegCreateKeyA(parent, sub_key.c_str(), &handle); });
  };
  const auto set = [&](HKey key, const char* value_name, const std::string& text) {
    statement([&] { SetRegistryString(os_, key, value_name, text); });
  };
  const auto close = [&](HKey key) {
    if (key != platform::kNoKey) statement([&] { os_.RegCloseKey(key); });
  };

  // Every key is open before the first value is written, and every value is
  // written before the first key is closed.
  create(platform::kHkeyClassesRoot, "CLSID", clsid_root);
  create(clsid_root, kClassMonikerClsid, class_moniker);
  create(class_moniker, "InprocServer32", inproc_server);
  create(class_moniker, "ProgID", prog_id);
  create(platform::kHkeyClassesRoot, "File\\CLSID", file_clsid);
  create(platform::kHkeyClassesRoot, "Interface", interface_root);
  for (std::size_t i = 0; i < kProxyStubOnlyIids.size(); ++i) {
    create(interface_root, std::string(kProxyStubOnlyIids[i]) + "\\ProxyStubClsid32", ProxyStubKeys[i]);
  }
  for (std::size_t row = 0; row < kNamedInterfaces.size(); ++row) {
    create(interface_root, kNamedInterfaces[row].iid, InterfaceKeys[row]);
  }
  for (std::size_t row = 0, slot = 0; row < kNamedInterfaces.size(); ++row) {
    if (kNamedInterfaces[row].num_methods != nullptr) create(InterfaceKeys[row], "NumMethods", NumMethodsKeys[slot++]);
  }
  for (std::size_t row = 0; row < kNamedInterfaces.size(); ++row) {
    create(InterfaceKeys[row], "ProxyStubClsid32", ProxyStubKeys[kProxyStubOnlyIids.size() + row]);
  }
  create(platform::kHkeyLocalMachine, "SOFTWARE\\Microsoft\\OLE", ole);
  create(clsid_root, kInstalledVersionKey, version_marker);

  set(clsid_root, "", kClassMonikerClsid);
  set(class_moniker, "", "ClassMoniker");
  set(inproc_server, "", "ole32.dll");
  set(prog_id, "", "clsid");
  set(file_clsid, "", kFileMonikerClsid);
  for (const HKey key : ProxyStubKeys) set(key, "", kProxyStubClsid);
  for (std::size_t row = 0, slot = 0; row < kNamedInterfaces.size(); ++row) {
    set(InterfaceKeys[row], "", kNamedInterfaces[row].name);
    if (kNamedInterfaces[row].num_methods != nullptr) {
      set(NumMethodsKeys[slot++], "", kNamedInterfaces[row].num_methods);
    }
  }
  set(ole, "EnableDCOM", "Y");
  set(ole, "EnableRemoteConnect", "N");
  set(version_marker, "", kInstalledVersion);

  for (auto key = ProxyStubKeys.rbegin(); key != ProxyStubKeys.rend(); ++key) close(*key);
  for (auto key = InterfaceKeys.rbegin(); key != InterfaceKeys.rend(); ++key) close(*key);
  close(version_marker);
  close(ole);
  for (auto key = NumMethodsKeys.rbegin(); key != NumMethodsKeys.rend(); ++key) close(*key);
  for (const HKey key : {interface_root, file_clsid, prog_id, inproc_server, class_moniker, clsid_root}) close(key);
}

}  // namespace qvi
