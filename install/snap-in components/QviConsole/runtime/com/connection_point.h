// The one connection point: an outgoing dispinterface of a connectable
// object, on which sinks advise and unadvise and from which the object fires
// its events.
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include <map>
#include <vector>

#include "runtime/com/com_ptr.h"

namespace qvi::com {

class ConnectionPoint final : public IConnectionPoint {
 public:
  // The point for the dispinterface `iid` of `container`, a member of it:
  // its references are the container's.
  ConnectionPoint(IConnectionPointContainer& container, const IID& iid) noexcept
      : container_(container), iid_(iid) {}
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  // The container's FindConnectionPoint for this point: itself, with a
  // reference, for its IID; CONNECT_E_NOCONNECTION for any other.
  HRESULT Find(REFIID iid, IConnectionPoint** point) noexcept;
  // The sinks advised now, each held for the caller: a sink may unadvise, and
  // the container lose its last reference, while an event runs. Throws
  // std::bad_alloc.
  std::vector<ComPtr<IDispatch>> Sinks() const;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  // A sink that does not answer the point's IID is refused
  // (CONNECT_E_CANNOTCONNECT). Cookies start at 1 and are never reused.
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

 private:
  IConnectionPointContainer& container_;
  const IID iid_;
  // A dispinterface's sink answers its IID with its IDispatch.
  std::map<DWORD, ComPtr<IDispatch>> sinks_;
  DWORD next_cookie_ = 1;
};

}  // namespace qvi::com
