#include "host/com/dispatch_host_control.h"

#include <optional>

#include "host/com/com_variant.h"
#include "runtime/com/automation_error.h"
#include "runtime/com/bstr_text.h"
#include "runtime/com/scoped.h"

namespace qvi::host::com {

namespace {

using qvi::com::ScopedBstr;
using qvi::com::ScopedVariant;

// The variables behind the arguments of one call. A by-reference VARIANT
// points into `slots_`, which never grows once the call is built.
class CallFrame {
 public:
  explicit CallFrame(const std::vector<Argument>& args) : args_(args), passed_(args.size()), slots_(args.size()) {
    for (std::size_t i = 0; i < args.size(); ++i) Bind(args[i], slots_[i], passed_[i]);
  }

  DISPPARAMS* params() { return passed_.params(); }

  // What the host left in the by-reference argument `i`, in its own type.
  Variant ValueAfterCall(std::size_t i) const {
    const Slot& slot = slots_[i];
    switch (args_[i].value.type()) {
      case Variant::Type::kInt16: return Variant(static_cast<std::int16_t>(slot.int16));
      case Variant::Type::kInt32: return Variant(static_cast<std::int32_t>(slot.int32));
      case Variant::Type::kString: return Variant(qvi::com::FromBstr(slot.text.Get()));
      case Variant::Type::kEmpty: break;
    }
    return FromVariant(slot.variant.Get());
  }

 private:
  struct Slot {
    SHORT int16 = 0;
    LONG int32 = 0;
    ScopedBstr text;
    ScopedVariant variant;
  };

  static void Bind(const Argument& arg, Slot& slot, VARIANT& v) {
    if (!arg.by_ref) return ToVariant(arg.value, v);
    switch (arg.value.type()) {
      case Variant::Type::kInt16:
        slot.int16 = arg.value.ToInt16();
        V_VT(&v) = VT_BYREF | VT_I2;
        V_I2REF(&v) = &slot.int16;
        return;
      case Variant::Type::kInt32:
        slot.int32 = arg.value.ToInt32();
        V_VT(&v) = VT_BYREF | VT_I4;
        V_I4REF(&v) = &slot.int32;
        return;
      case Variant::Type::kString:
        slot.text = qvi::com::ToBstr(arg.value.ToString());
        V_VT(&v) = VT_BYREF | VT_BSTR;
        V_BSTRREF(&v) = slot.text.GetAddressOf();
        return;
      case Variant::Type::kEmpty:
        V_VT(&v) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&v) = slot.variant.GetAddressOf();
        return;
    }
  }

  const std::vector<Argument>& args_;
  qvi::com::DispatchArguments passed_;
  std::vector<Slot> slots_;
};

}  // namespace

Variant DispatchHostControl::Invoke(DispId id, std::vector<Argument>& args) {
  CallFrame frame(args);
  ScopedVariant result;
  qvi::com::ScopedExcepInfo info;
  UINT arg_error = 0;
  const HRESULT hr = control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, frame.params(),
                                      result.ReleaseAndGetAddressOf(), info.ReleaseAndGetAddressOf(), &arg_error);
  if (FAILED(hr)) throw qvi::com::ErrorFromInvoke(hr, info);
  Variant value = FromVariant(result.Get());
  // Every write-back value is converted before the first one is stored, so a
  // value the snap-in cannot take leaves all the variables as they were.
  std::vector<std::optional<Variant>> after(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].by_ref) after[i] = frame.ValueAfterCall(i);
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (after[i]) args[i].value = std::move(*after[i]);
  }
  return value;
}

}  // namespace qvi::host::com
