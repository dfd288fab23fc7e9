#include "control/com/kit_controls.h"

#include "host/com/host_kit.h"
#include "runtime/com/automation_error.h"
#include "runtime/errors.h"

namespace qvi::com {

HRESULT KitControls::Place() {
  ComPtr<IDispatch> ntnwsvc;
  ComPtr<IDispatch> qvi_public;
  HRESULT hr = host::com::CreateKitControl(host::com::kQviNTNWSvcProgId, ntnwsvc);
  if (SUCCEEDED(hr)) hr = host::com::CreateKitControl(host::com::kQviPublicProgId, qvi_public);
  if (FAILED(hr)) return hr;
  qvi_ntnwsvc_.emplace(std::move(ntnwsvc));
  qvi_public_.emplace(std::move(qvi_public));
  return S_OK;
}

HostControls ComFormControls::PlaceOnFrmCommon() {
  if (!controls_.placed()) {
    const HRESULT hr = controls_.Place();
    if (FAILED(hr)) throw Error(static_cast<std::int32_t>(hr), DescribeHresult(hr));
  }
  return controls_.controls();
}

}  // namespace qvi::com
