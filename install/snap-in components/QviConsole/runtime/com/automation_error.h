// Between the snap-in's run-time errors (qvi::Error: a number and a
// description) and automation's exceptions (an EXCEPINFO whose scode the
// caller of IDispatch::Invoke reads).
//
// Numbers and scodes, one rule for every side:
//   0 to 65535   0x800A0000 + the number (FACILITY_CONTROL, where automation
//                objects raise their run-time errors), read back as the low
//                word;
//   negative     the number itself: it is an HRESULT, a failure already;
//   above 65535  E_FAIL. As an HRESULT such a number reads as success, and a
//                failure must never travel as a success; the facility's 16
//                bits cannot carry it either.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>

#include "runtime/com/scoped.h"
#include "runtime/errors.h"

namespace qvi::com {

HRESULT ScodeOf(std::int32_t number) noexcept;
// The number an scode stands for: the low word in FACILITY_CONTROL, else the
// scode itself.
std::int32_t NumberOf(HRESULT scode) noexcept;

// The error a failed IDispatch::Invoke means. For DISP_E_EXCEPTION (after any
// deferred fill-in) the number is the exception's wCode when set (automation
// fills in one of wCode and scode), else NumberOf(scode), and the description
// the exception's, or the system's text for its scode when it has none. Any
// other HRESULT is its own number with the system's text. Throws
// std::bad_alloc; `info` still frees its strings.
Error ErrorFromInvoke(HRESULT hr, ScopedExcepInfo& info);

// Hands `error` to the caller of IDispatch::Invoke: into `info` when it gave
// one (scode ScodeOf(number), the description and `source`; a string that
// cannot be allocated stays null), then DISP_E_EXCEPTION; without one, the
// scode itself.
HRESULT ReportToCaller(const Error& error, const wchar_t* source, EXCEPINFO* info) noexcept;

// The system's message for an HRESULT, "Automation error" when it has none.
// Throws std::bad_alloc.
std::string DescribeHresult(HRESULT hr);

}  // namespace qvi::com
