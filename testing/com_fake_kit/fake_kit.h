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
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "runtime/com/connection_point.h"
#include "runtime/com/object.h"
#include "runtime/com/scoped.h"

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
com::ComPtr<ITypeInfo> FakeCoclassInfo();
com::ComPtr<ITypeInfo> FakeEventsInfo();

// An argument of a call made by a test, in call order: a 32-bit or 16-bit
// number, text, or a 32-bit variable passed by reference.
using FakeArg = std::variant<LONG, SHORT, std::wstring, LONG*>;

// Invokes `id` as a method on `target` with `args` (call order).
HRESULT InvokeWith(IDispatch* target, DISPID id, const std::vector<FakeArg>& args,
                   com::ScopedExcepInfo* exception = nullptr);

// One call the fake received: its DISPID and arguments in call order, each
// as its VARIANT type and its value as text ("" for empty).
struct ReceivedCall {
  DISPID id;
  std::vector<VARTYPE> types;
  std::vector<std::wstring> values;
};

class FakeDispatch final
    : public com::Object<FakeDispatch, IDispatch, IProvideClassInfo, IConnectionPointContainer> {
 public:
  // Runs for a call: may change by-reference arguments (rgvarg, reversed),
  // fill the result and the exception; its HRESULT is the call's.
  using Reply = std::function<HRESULT(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception)>;

  static std::span<const com::InterfaceEntry> InterfaceTable() noexcept;
  // IProvideClassInfo, unless WithoutClassInfo.
  void* OtherInterface(REFIID riid) noexcept;

  void Answer(DISPID id, Reply answer) { answers_[id] = std::move(answer); }
  const std::vector<ReceivedCall>& calls() const { return calls_; }
  // How many sinks are advised on the connection point.
  std::size_t Advised() const { return point_.Sinks().size(); }
  // Fires an event at every advised sink (E_UNEXPECTED when none is); the
  // last sink's HRESULT is the answer.
  HRESULT Fire(DISPID id, const std::vector<FakeArg>& args = {}, com::ScopedExcepInfo* exception = nullptr);
  // A control without type information cannot have its events found.
  void WithoutClassInfo() { offers_class_info_ = false; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

 private:
  std::map<DISPID, Reply> answers_;
  std::vector<ReceivedCall> calls_;
  bool offers_class_info_ = true;
  com::ConnectionPoint point_{*this, kFakeEventsIid};
};

}  // namespace qvi::testing
