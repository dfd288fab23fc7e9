// Test doubles on the COM side of the host seam: a dispatch control that
// records its calls and answers from a table, and that, as the host kit's
// public control, offers its type information and a connection point for the
// events of the FakeKit type library (embedded in the test program).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qvi::testing {

// The DISPIDs FakeKit gives the host's events.
inline constexpr DISPID kFakePostPageNotification = 0x65;
inline constexpr DISPID kFakeUpgrade = 7;
inline constexpr DISPID kFakeSetup = 0x1F4;
inline constexpr DISPID kFakeUninstall = 3;
inline constexpr DISPID kFakePostSetup = 42;
inline constexpr DISPID kFakeOtherEvent = 9;

extern const IID kFakeEventsIid;

// FakeKit's coclass and its event interface, from the test program's
// embedded type library.
ITypeInfo* FakeCoclassInfo();
ITypeInfo* FakeEventsInfo();

// One call the fake received: its DISPID and arguments in call order, each
// as its VARIANT type and its value as text ("" for empty).
struct ReceivedCall {
  DISPID id;
  WORD flags;
  std::vector<VARTYPE> types;
  std::vector<std::wstring> values;
};

class FakeDispatch : public IDispatch, public IProvideClassInfo, public IConnectionPointContainer,
                     public IConnectionPoint {
 public:
  // Runs for a call: may change by-reference arguments (rgvarg, reversed),
  // fill the result and the exception; its HRESULT is the call's.
  using Reply = std::function<HRESULT(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception)>;

  FakeDispatch() = default;
  virtual ~FakeDispatch();

  void Answer(DISPID id, Reply answer) { answers_[id] = std::move(answer); }
  const std::vector<ReceivedCall>& calls() const { return calls_; }
  std::vector<DISPID> CallIds() const;
  // The sink advised on the connection point, null when none is.
  IDispatch* sink() const { return sink_; }
  // Fires an event at the advised sink: arguments in call order.
  HRESULT Fire(DISPID id, std::vector<VARIANT> args, EXCEPINFO* exception = nullptr);
  LONG refs() const { return refs_; }
  // A control without type information cannot have its events found.
  void WithoutClassInfo() { offers_class_info_ = false; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

 private:
  LONG refs_ = 1;
  std::map<DISPID, Reply> answers_;
  std::vector<ReceivedCall> calls_;
  IDispatch* sink_ = nullptr;
  bool offers_class_info_ = true;
};

// A VARIANT holding text, a 32-bit or 16-bit number.
VARIANT Text(const wchar_t* text);
VARIANT Int32(LONG value);
VARIANT Int16(SHORT value);

}  // namespace qvi::testing
