// qvicom SCENARIO [--watch KEY]... [--progid] [--personality win95|nt40 --ocx PATH]
//
// Runs a scenario through COM: QVConsole is created as a setup host creates
// it (by its CLSID, or with --progid by "QviConsole.QVConsole"), its host
// controls are the test host kit's, which must be registered (it registers
// nothing itself), and the scenario's events are raised through the kit.
// The machine is prepared and the run reported as qviflow does it
// (flow_run.h); the events, host calls and host state are the kit's.
//
// The scenario's "creation" is the creation of the control, and must come
// first and once: an event before it has no control to hear it.
//
// With --personality, the control library at PATH is loaded as Windows 95
// or NT 4.0 would load it (personality/personality.h) before COM starts,
// registered by its own DllRegisterServer, and found loaded by COM; once its
// control is released, DllCanUnloadNow must answer S_OK, and the library
// unregisters itself.
#include <windows.h>
#include <objbase.h>
#include <oleidl.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/flow_run.h"
#include "host_kit/host_kit.h"
#include "personality/personality.h"
#include "runtime/com/com_ptr.h"
#include "scenario/exit_codes.h"
#include "scenario/scenario.h"

namespace {

using namespace qvi;

// {C76C985C-781F-11D2-A8A9-00A0C95AD477}
constexpr CLSID kQVConsole = {0xC76C985C, 0x781F, 0x11D2, {0xA8, 0xA9, 0x00, 0xA0, 0xC9, 0x5A, 0xD4, 0x77}};
constexpr const wchar_t* kQVConsoleProgId = L"QviConsole.QVConsole";

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

class Apartment {
 public:
  Apartment() {
    if (const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); FAILED(hr)) {
      throw std::runtime_error("COM does not start: " + HresultText(hr));
    }
  }
  ~Apartment() { CoUninitialize(); }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
};

com::ComPtr<IUnknown> CreateControl(bool by_progid) {
  CLSID clsid = kQVConsole;
  if (by_progid) {
    if (const HRESULT hr = CLSIDFromProgID(kQVConsoleProgId, &clsid); FAILED(hr)) {
      throw std::runtime_error("QviConsole.QVConsole is not registered: " + HresultText(hr));
    }
  }
  com::ComPtr<IUnknown> control;
  if (const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          control.ReleaseAndGetVoidAddressOf());
      FAILED(hr)) {
    throw std::runtime_error("QVConsole cannot be created: " + HresultText(hr));
  }
  return control;
}

// The control library loaded as an old Windows would load it, registered by
// itself while this lives.
class OldWindowsLibrary {
 public:
  OldWindowsLibrary(personality::System system, const std::string& path) {
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    module_ = personality::LoadAs(system, wide);
  }
  ~OldWindowsLibrary() {
    if (registered_) Call("DllUnregisterServer");
    FreeLibrary(module_);
  }
  OldWindowsLibrary(const OldWindowsLibrary&) = delete;
  OldWindowsLibrary& operator=(const OldWindowsLibrary&) = delete;

  void Register() {
    Expect("DllRegisterServer");
    registered_ = true;
  }
  // Once its control is released: nothing may keep the library loaded.
  void Unregister() {
    Expect("DllCanUnloadNow");
    registered_ = false;
    Expect("DllUnregisterServer");
  }

 private:
  HRESULT Call(const char* name) const {
    return reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)))();
  }
  void Expect(const char* name) const {
    if (const HRESULT hr = Call(name); hr != S_OK) {
      throw std::runtime_error(std::string("QviConsole.ocx answers ") + HresultText(hr) + " to " + name);
    }
  }

  HMODULE module_ = nullptr;
  bool registered_ = false;
};

// Ends a control's life as a container does: closed, then released.
class PlacedControl {
 public:
  explicit PlacedControl(com::ComPtr<IUnknown> control) : control_(std::move(control)) {}
  ~PlacedControl() {
    com::ComPtr<IOleObject> object;
    if (SUCCEEDED(control_.As(IID_IOleObject, object))) object->Close(OLECLOSE_NOSAVE);
  }
  PlacedControl(const PlacedControl&) = delete;
  PlacedControl& operator=(const PlacedControl&) = delete;

 private:
  com::ComPtr<IUnknown> control_;
};

int Run(const std::vector<std::string>& args) {
  const auto parsed = flow::ParseFlowArgs(args, "qvicom", {"--progid"}, {"--personality", "--ocx"});
  if (!parsed) return scenario::kExitBadInput;
  const auto& options = parsed->options;
  const std::optional<personality::System> system =
      options.count("--personality") ? personality::SystemNamed(options.at("--personality")) : std::nullopt;
  if (options.count("--personality") != options.count("--ocx") || (options.count("--personality") && !system)) {
    std::cerr << "qvicom: --personality takes win95 or nt40, and --ocx PATH the control library it loads\n";
    return scenario::kExitBadInput;
  }
  const scenario::Scenario scenario = scenario::LoadScenario(parsed->scenario);
  if (scenario.events.empty() || scenario.events.front().event != Event::kCreation) {
    std::cerr << "qvicom: the scenario must begin with the creation of the control\n";
    return scenario::kExitBadInput;
  }
  for (std::size_t i = 1; i < scenario.events.size(); ++i) {
    if (scenario.events[i].event == Event::kCreation) {
      std::cerr << "qvicom: the control is created once; event " << i + 1 << " creates it again\n";
      return scenario::kExitBadInput;
    }
  }
  flow::MachineRun machine(scenario, parsed->watched);

  std::optional<OldWindowsLibrary> library;
  if (system) library.emplace(*system, options.at("--ocx"));
  Apartment com;
  if (library) library->Register();
  // The kit stays loaded until after the report: its host is the record.
  hostkit::KitClient kit(hostkit::KitClient::RegisteredPath());
  kit.Load(parsed->scenario);
  kit.Raise("creation", "");
  {
    const PlacedControl control(CreateControl(parsed->flags.count("--progid") != 0));
    for (std::size_t i = 1; i < scenario.events.size(); ++i) {
      const std::string name(EventName(scenario.events[i].event));
      if (kit.Raise(name, scenario.events[i].argument) == 0) {
        throw std::runtime_error(name + " reached no sink: QVConsole is not connected to its QviPublic1");
      }
    }
  }
  if (library) library->Unregister();

  const nlohmann::ordered_json heard = nlohmann::ordered_json::parse(kit.Report());
  nlohmann::ordered_json report = machine.Finish({});
  for (const char* part : {"events", "host_calls", "host_state"}) report[part] = heard[part];
  // Out before the control, the kit and COM are torn down, so nothing that
  // happens then can lose it; and a report that could not be written is no
  // success.
  std::cout << report.dump(2) << "\n" << std::flush;
  if (!std::cout) {
    std::cerr << "qvicom: cannot write the report to standard output\n";
    return scenario::kExitInternalError;
  }
  return scenario::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return qvi::flow::DriverMain("qvicom", [&] { return Run(std::vector<std::string>(argv + 1, argv + argc)); });
}
