// A host control reached through its IDispatch: every operation is a method
// call by DISPID with positional arguments.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "host/host_control.h"
#include "runtime/com/com_ptr.h"

namespace qvi::host::com {

class DispatchHostControl final : public HostControl {
 public:
  explicit DispatchHostControl(qvi::com::ComPtr<IDispatch> control) : control_(std::move(control)) {}

  // IDispatch::Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD):
  // the arguments in reverse order, by value as VT_I4, VT_I2 or VT_BSTR, by
  // reference as VT_BYREF to a variable of the argument's type (VT_VARIANT
  // for an empty one). The by-reference arguments take the host's values
  // only when the call and the conversion of its result succeed; a failure
  // raises qvi::Error (qvi::com::ErrorFromInvoke) and leaves them as they
  // were.
  Variant Invoke(DispId id, std::vector<Argument>& args) override;

  IDispatch* control() const { return control_.Get(); }

 private:
  qvi::com::ComPtr<IDispatch> control_;
};

}  // namespace qvi::host::com
