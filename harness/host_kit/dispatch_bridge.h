// Between the VARIANTs of a dispatch call and the replacement host's
// arguments, results and errors; and the firing of the host's events at the
// sinks advised on a control.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <vector>

#include "host/host_control.h"
#include "runtime/com/com_ptr.h"
#include "runtime/errors.h"

namespace qvi::hostkit {

// The arguments of a call in call order (rgvarg holds them last first).
// Values: VT_EMPTY, VT_I2, VT_I4 and VT_BSTR, by value or (but VT_EMPTY) by
// reference. DISP_E_TYPEMISMATCH with *bad_arg the rgvarg index of the first
// one of another type.
HRESULT ReadArguments(const DISPPARAMS& params, std::vector<host::Argument>& args, UINT* bad_arg);

// Stores the by-reference arguments' values into the caller's variables,
// each converted to its variable's type. Every value is converted before the
// first is stored, so a value that does not fit (qvi::Error) changes nothing.
void WriteBack(const std::vector<host::Argument>& args, const DISPPARAMS& params);

// One IDispatch::Invoke on a control of the replacement host. A host error
// reaches the caller as qvi::com::ReportToCaller gives it, from `source`.
HRESULT InvokeHost(host::HostControl& control, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* info, UINT* bad_arg, const wchar_t* source) noexcept;

// Invokes event `id` as a method on every sink, with `argument` (if any) by
// value. The first sink that fails gives the event's failure
// (qvi::com::ErrorFromInvoke); every sink hears the event all the same.
// Throws std::bad_alloc.
std::optional<Error> FireEvent(const std::vector<com::ComPtr<IDispatch>>& sinks, DISPID id,
                               const std::optional<host::Variant>& argument);

}  // namespace qvi::hostkit
