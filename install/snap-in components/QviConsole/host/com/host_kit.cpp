#include "host/com/host_kit.h"

namespace qvi::host::com {

HRESULT CreateKitControl(const wchar_t* prog_id, IDispatch** control) {
  *control = nullptr;
  CLSID clsid;
  const HRESULT hr = CLSIDFromProgID(prog_id, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(control));
}

}  // namespace qvi::host::com
