// The test host kit: COM servers standing in for the setup host's controls
// QviPublic ("QVISERVERLibCtl.QviPublic") and QviNTNWSvc
// ("QVISVRNTNWSVCLibCtl.QviNTNWSvc"), both served by one DLL, qviServer.ocx.
// Every object of either class in a process answers from the one replacement
// host of that process, so the calls of the snap-in's control and of its
// hidden form land in one record, as on the emulated path.
//
// A driver configures the host, raises the host's events and reads the run
// back through the DLL's exports (KitClient below wraps them):
//   QviKitLoad(scenario)        a fresh host from an embedded scenario's name
//                               or a scenario file; the record starts empty.
//                               Until then the host answers as a default
//                               configuration says.
//   QviKitRaise(event, arg, n)  begins the event and, but for "creation" (the
//                               driver's own creation of the control, which
//                               follows), fires it on every sink advised on
//                               any QviPublic object; *n is how many sinks
//                               heard it. A sink's failure is the event's
//                               outcome ("number: description").
//   QviKitReport(buf, size)     JSON {"events", "host_calls", "host_state"} in
//                               the shape of qvihost's report; the answer is
//                               the size the text needs with its NUL (0 when
//                               the report cannot be made).
//   QviKitLastError(buf, size)  why the last failing export failed.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace qvi::hostkit {

inline constexpr const char* kQviPublicProgId = "QVISERVERLibCtl.QviPublic";
inline constexpr const char* kQviNTNWSvcProgId = "QVISVRNTNWSVCLibCtl.QviNTNWSvc";

using LoadFn = HRESULT(WINAPI*)(const char* scenario);
using RaiseFn = HRESULT(WINAPI*)(const char* event, const char* argument, int* sinks);
using TextFn = UINT(WINAPI*)(char* buffer, UINT size);

class KitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The kit's exports in a module already loaded, or loaded from `path`.
class KitClient {
 public:
  explicit KitClient(const std::string& path) : module_(LoadLibraryA(path.c_str())) {
    if (module_ == nullptr) throw KitError("the host kit " + path + " does not load");
    load_ = reinterpret_cast<LoadFn>(reinterpret_cast<void*>(GetProcAddress(module_, "QviKitLoad")));
    raise_ = reinterpret_cast<RaiseFn>(reinterpret_cast<void*>(GetProcAddress(module_, "QviKitRaise")));
    report_ = reinterpret_cast<TextFn>(reinterpret_cast<void*>(GetProcAddress(module_, "QviKitReport")));
    last_error_ = reinterpret_cast<TextFn>(reinterpret_cast<void*>(GetProcAddress(module_, "QviKitLastError")));
    if (!load_ || !raise_ || !report_ || !last_error_) {
      FreeLibrary(module_);
      throw KitError(path + " is not the host kit: an export is missing");
    }
  }
  ~KitClient() { FreeLibrary(module_); }
  KitClient(const KitClient&) = delete;
  KitClient& operator=(const KitClient&) = delete;

  // Where the registration of QviPublic puts the kit.
  static std::string RegisteredPath() {
    CLSID clsid;
    const std::string progid = kQviPublicProgId;
    if (FAILED(CLSIDFromProgID(std::wstring(progid.begin(), progid.end()).c_str(), &clsid))) {
      throw KitError("the host kit is not registered: no class " + progid);
    }
    wchar_t wide[40];
    StringFromGUID2(clsid, wide, 40);
    std::string key = "CLSID\\";
    for (const wchar_t* c = wide; *c != 0; ++c) key += static_cast<char>(*c);  // a GUID's text is ASCII
    key += "\\InprocServer32";
    char path[MAX_PATH * 2];
    DWORD size = sizeof path;
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS) {
      throw KitError("the registration of " + progid + " names no server");
    }
    return path;
  }

  void Load(const std::string& scenario) {
    if (FAILED(load_(scenario.c_str()))) throw KitError(LastError());
  }
  int Raise(const std::string& event, const std::string& argument) {
    int sinks = 0;
    if (FAILED(raise_(event.c_str(), argument.c_str(), &sinks))) throw KitError(LastError());
    return sinks;
  }
  std::string Report() const {
    if (report_(nullptr, 0) == 0) throw KitError(LastError());
    return Text(report_);
  }
  std::string LastError() const { return Text(last_error_); }

 private:
  static std::string Text(TextFn fn) {
    std::string text(fn(nullptr, 0), '\0');
    fn(text.data(), static_cast<UINT>(text.size()));
    if (!text.empty()) text.pop_back();
    return text;
  }

  HMODULE module_;
  LoadFn load_;
  RaiseFn raise_;
  TextFn report_;
  TextFn last_error_;
};

}  // namespace qvi::hostkit
