// Hears the host's five events on QviPublic1's default source interface.
//
// The host chooses the DISPIDs of its events; the sink learns them from the
// host's own type information, by the events' names, when it is made.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <span>

#include "control/events.h"
#include "host/variant.h"
#include "runtime/com/object.h"

namespace qvi::com {

// Runs the snap-in's handler for one event. A qvi::Error that leaves the
// page notification's handler goes back to the host; any other handler's
// failure stays in the snap-in.
using EventHandler = std::function<void(Event event, const host::Variant& argument)>;

// The [default, source] interface of a coclass: its type info and IID.
HRESULT DefaultSourceInterface(ITypeInfo* coclass, ComPtr<ITypeInfo>& source, IID& iid);

class EventSink final : public Object<EventSink, IDispatch> {
 public:
  // `source` describes the event interface `iid`. `owner` is the object whose
  // handler runs: each event holds a reference on it while it runs, and none
  // between events, so the sink never keeps its owner alive.
  static HRESULT Create(ITypeInfo* source, const IID& iid, IUnknown* owner, EventHandler handler,
                        ComPtr<EventSink>& sink);

  static std::span<const InterfaceEntry> InterfaceTable() noexcept;
  void* OtherInterface(REFIID riid) noexcept;

  // After this every event is refused with E_UNEXPECTED: the owner is gone,
  // whatever the host still holds.
  void Detach() noexcept;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;

 private:
  EventSink(ITypeInfo* source, const IID& iid, IUnknown* owner, EventHandler handler);

  ComPtr<ITypeInfo> source_;
  IID iid_;
  IUnknown* owner_;
  EventHandler handler_;
  std::map<DISPID, Event> events_;
};

// One sink advised on a control's default source interface, found through
// the control's IProvideClassInfo and IConnectionPointContainer.
class EventConnection {
 public:
  EventConnection() = default;
  ~EventConnection() { Disconnect(); }
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;

  // `owner` and `handler` as for EventSink.
  HRESULT Connect(IUnknown* control, IUnknown* owner, EventHandler handler);
  // Unadvises and detaches the sink; harmless when not connected.
  void Disconnect();

 private:
  ComPtr<IConnectionPoint> point_;
  ComPtr<EventSink> sink_;
  DWORD cookie_ = 0;
};

}  // namespace qvi::com
