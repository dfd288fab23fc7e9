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

#include "control/events.h"
#include "host/variant.h"

namespace qvi::com {

// Runs the snap-in's handler for one event. A qvi::Error that leaves the
// page notification's handler goes back to the host; any other handler's
// failure stays in the snap-in.
using EventHandler = std::function<void(Event event, const host::Variant& argument)>;

// The [default, source] interface of a coclass: its type info and IID.
HRESULT DefaultSourceInterface(ITypeInfo* coclass, ITypeInfo** source, IID* iid);

class EventSink final : public IDispatch {
 public:
  // `source` describes the event interface `iid`; the sink starts with one
  // reference.
  static HRESULT Create(ITypeInfo* source, const IID& iid, EventHandler handler, EventSink** sink);

  // After this every event is refused with E_UNEXPECTED: the snap-in that
  // owned the handler is gone, whatever the host still holds.
  void Detach() { handler_ = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;

 private:
  EventSink(ITypeInfo* source, const IID& iid, EventHandler handler);
  ~EventSink();

  LONG refs_ = 1;
  ITypeInfo* source_;
  IID iid_;
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

  HRESULT Connect(IUnknown* control, EventHandler handler);
  // Unadvises and detaches the sink; harmless when not connected.
  void Disconnect();

 private:
  IConnectionPoint* point_ = nullptr;
  EventSink* sink_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace qvi::com
