// The host kit's two controls, created in-process by their ProgIDs.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "runtime/com/com_ptr.h"

namespace qvi::host::com {

inline constexpr const wchar_t* kQviPublicProgId = L"QVISERVERLibCtl.QviPublic";
inline constexpr const wchar_t* kQviNTNWSvcProgId = L"QVISVRNTNWSVCLibCtl.QviNTNWSvc";

// CLSIDFromProgID, then CoCreateInstance(CLSCTX_INPROC_SERVER, IID_IDispatch).
// A kit that is not registered gives CO_E_CLASSSTRING or REGDB_E_CLASSNOTREG;
// `control` is then null.
HRESULT CreateKitControl(const wchar_t* prog_id, qvi::com::ComPtr<IDispatch>& control);

}  // namespace qvi::host::com
