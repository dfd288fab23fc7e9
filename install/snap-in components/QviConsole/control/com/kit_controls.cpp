#include "control/com/kit_controls.h"

#include "host/com/com_variant.h"
#include "host/com/host_kit.h"
#include "runtime/errors.h"

namespace qvi::com {

namespace {

HRESULT Create(const wchar_t* prog_id, std::unique_ptr<host::com::DispatchHostControl>& control) {
  IDispatch* dispatch = nullptr;
  const HRESULT hr = host::com::CreateKitControl(prog_id, &dispatch);
  if (FAILED(hr)) return hr;
  try {
    control = std::make_unique<host::com::DispatchHostControl>(dispatch);
  } catch (const std::bad_alloc&) {
    dispatch->Release();
    return E_OUTOFMEMORY;
  }
  dispatch->Release();
  return S_OK;
}

}  // namespace

HRESULT KitControls::Place() {
  std::unique_ptr<host::com::DispatchHostControl> ntnwsvc;
  std::unique_ptr<host::com::DispatchHostControl> qvi_public;
  HRESULT hr = Create(host::com::kQviNTNWSvcProgId, ntnwsvc);
  if (SUCCEEDED(hr)) hr = Create(host::com::kQviPublicProgId, qvi_public);
  if (FAILED(hr)) return hr;
  qvi_ntnwsvc_ = std::move(ntnwsvc);
  qvi_public_ = std::move(qvi_public);
  return S_OK;
}

HostControls ComFormControls::PlaceOnFrmCommon() {
  if (!controls_.placed()) {
    const HRESULT hr = controls_.Place();
    if (FAILED(hr)) throw Error(static_cast<std::int32_t>(hr), host::com::DescribeHresult(hr));
  }
  return controls_.controls();
}

}  // namespace qvi::com
