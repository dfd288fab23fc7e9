#include "runtime/com/connection_point.h"

#include "runtime/com/object.h"

namespace qvi::com {

HRESULT ConnectionPoint::Find(REFIID iid, IConnectionPoint** point) noexcept {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (!IsEqualIID(iid, iid_)) return CONNECT_E_NOCONNECTION;
  AddRef();
  *point = this;
  return S_OK;
}

std::vector<ComPtr<IDispatch>> ConnectionPoint::Sinks() const {
  std::vector<ComPtr<IDispatch>> sinks;
  sinks.reserve(sinks_.size());
  for (const auto& [cookie, sink] : sinks_) sinks.push_back(sink);
  return sinks;
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
  AddRef();
  *out = static_cast<IConnectionPoint*>(this);
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  return ComPtr<IConnectionPointContainer>(&container_).CopyTo(container);
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(iid_, events.ReleaseAndGetVoidAddressOf()))) return CONNECT_E_CANNOTCONNECT;
  return CatchAll([&] {
    sinks_.emplace(next_cookie_, std::move(events));
    *cookie = next_cookie_++;
    return S_OK;
  });
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  const auto found = sinks_.find(cookie);
  if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
  // Released once the map no longer holds it: its Release may call back.
  const ComPtr<IDispatch> sink = std::move(found->second);
  sinks_.erase(found);
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections) *connections = nullptr;
  return E_NOTIMPL;
}

}  // namespace qvi::com
