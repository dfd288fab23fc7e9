// Between the VARIANTs of a dispatch call and the replacement host's
// arguments, results and errors. Text crosses as code page 1252, the
// snap-in's own.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "host/host_control.h"
#include "runtime/errors.h"

namespace qvi::hostkit {

std::wstring Widen(const std::string& ansi);
std::string Narrow(const wchar_t* text, UINT length);
// "" for a null BSTR, as automation treats one.
std::string Narrow(BSTR text);
BSTR ToBstr(const std::string& ansi);

// The arguments of a call in call order (rgvarg holds them last first).
// Values: VT_EMPTY, VT_I2, VT_I4 and VT_BSTR, by value or (but VT_EMPTY) by
// reference. DISP_E_TYPEMISMATCH with *bad_arg the rgvarg index of the first
// one of another type.
HRESULT ReadArguments(const DISPPARAMS& params, std::vector<host::Argument>& args, UINT* bad_arg);

// Stores the by-reference arguments' values into the caller's variables,
// each converted to its variable's type. Every value is converted before the
// first is stored, so a value that does not fit (qvi::Error) changes nothing.
void WriteBack(const std::vector<host::Argument>& args, const DISPPARAMS& params);

// Empty, VT_I2, VT_I4 or VT_BSTR.
void ToVariant(const host::Variant& value, VARIANT* out);

// The exception a failing call raises: scode 0x800A0000 | number (an error
// of an automation object) for a number of 1 to 65535, otherwise the number
// itself, taken as an HRESULT.
void FillException(const Error& error, const wchar_t* source, EXCEPINFO* info);

// One IDispatch::Invoke on a control of the replacement host.
HRESULT InvokeHost(host::HostControl& control, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* info, UINT* bad_arg, const wchar_t* source);

// What a failed Invoke of an event sink means: its number and description
// ("number: description" in the record of events). Frees the BSTRs of `info`.
Error SinkFailure(HRESULT hr, EXCEPINFO& info);

}  // namespace qvi::hostkit
