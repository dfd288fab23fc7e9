#include "host/com/dispatch_host_control.h"

#include <optional>

#include "host/com/com_variant.h"

namespace qvi::host::com {

namespace {

// The variables behind the arguments of one call. The VARIANTs handed to the
// host point into `slots`, so neither vector may grow once the call is built.
class CallFrame {
 public:
  explicit CallFrame(const std::vector<Argument>& args) : args_(args), rgvarg_(args.size()), slots_(args.size()) {
    for (VARIANT& v : rgvarg_) VariantInit(&v);
    for (Slot& slot : slots_) VariantInit(&slot.variant);
    for (std::size_t i = 0; i < args.size(); ++i) Bind(args[i], slots_[i], rgvarg_[args.size() - 1 - i]);
  }
  ~CallFrame() {
    for (std::size_t i = 0; i < args_.size(); ++i) {
      if (!args_[i].by_ref) VariantClear(&rgvarg_[args_.size() - 1 - i]);
      SysFreeString(slots_[i].text);
      VariantClear(&slots_[i].variant);
    }
  }
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  DISPPARAMS params() {
    return DISPPARAMS{rgvarg_.data(), nullptr, static_cast<UINT>(rgvarg_.size()), 0};
  }

  // What the host left in the by-reference argument `i`, in its own type.
  Variant ValueAfterCall(std::size_t i) const {
    const Slot& slot = slots_[i];
    switch (args_[i].value.type()) {
      case Variant::Type::kInt16: return Variant(static_cast<std::int16_t>(slot.int16));
      case Variant::Type::kInt32: return Variant(static_cast<std::int32_t>(slot.int32));
      case Variant::Type::kString: return Variant(FromBstr(slot.text));
      case Variant::Type::kEmpty: break;
    }
    return FromVariant(slot.variant);
  }

 private:
  struct Slot {
    SHORT int16 = 0;
    LONG int32 = 0;
    BSTR text = nullptr;
    VARIANT variant;
  };

  static void Bind(const Argument& arg, Slot& slot, VARIANT& v) {
    const Variant& value = arg.value;
    switch (value.type()) {
      case Variant::Type::kInt16:
        slot.int16 = value.ToInt16();
        if (arg.by_ref) {
          V_VT(&v) = VT_BYREF | VT_I2;
          V_I2REF(&v) = &slot.int16;
        } else {
          V_VT(&v) = VT_I2;
          V_I2(&v) = slot.int16;
        }
        return;
      case Variant::Type::kInt32:
        slot.int32 = value.ToInt32();
        if (arg.by_ref) {
          V_VT(&v) = VT_BYREF | VT_I4;
          V_I4REF(&v) = &slot.int32;
        } else {
          V_VT(&v) = VT_I4;
          V_I4(&v) = slot.int32;
        }
        return;
      case Variant::Type::kString:
        if (arg.by_ref) {
          slot.text = ToBstr(value.ToString());
          V_VT(&v) = VT_BYREF | VT_BSTR;
          V_BSTRREF(&v) = &slot.text;
        } else {
          V_BSTR(&v) = ToBstr(value.ToString());
          V_VT(&v) = VT_BSTR;
        }
        return;
      case Variant::Type::kEmpty:
        if (arg.by_ref) {
          V_VT(&v) = VT_BYREF | VT_VARIANT;
          V_VARIANTREF(&v) = &slot.variant;
        }
        return;
    }
  }

  const std::vector<Argument>& args_;
  std::vector<VARIANT> rgvarg_;
  std::vector<Slot> slots_;
};

class ResultHolder {
 public:
  ResultHolder() { VariantInit(&value_); }
  ~ResultHolder() { VariantClear(&value_); }
  ResultHolder(const ResultHolder&) = delete;
  ResultHolder& operator=(const ResultHolder&) = delete;
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

}  // namespace

DispatchHostControl::DispatchHostControl(IDispatch* control) : control_(control) { control_->AddRef(); }

DispatchHostControl::~DispatchHostControl() { control_->Release(); }

Variant DispatchHostControl::Invoke(DispId id, std::vector<Argument>& args) {
  CallFrame frame(args);
  DISPPARAMS params = frame.params();
  ResultHolder result;
  EXCEPINFO info{};
  UINT arg_error = 0;
  const HRESULT hr = control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.get(),
                                      &info, &arg_error);
  if (FAILED(hr)) throw ErrorFromInvoke(hr, info);
  Variant value = FromVariant(*result.get());
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
