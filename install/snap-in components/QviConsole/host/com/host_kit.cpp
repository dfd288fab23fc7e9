#include "host/com/host_kit.h"

namespace qvi::host::com {

HRESULT CreateKitControl(const wchar_t* prog_id, qvi::com::ComPtr<IDispatch>& control) {
  control.Reset();
  CLSID clsid;
  const HRESULT hr = CLSIDFromProgID(prog_id, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.ReleaseAndGetVoidAddressOf());
}

}  // namespace qvi::host::com
