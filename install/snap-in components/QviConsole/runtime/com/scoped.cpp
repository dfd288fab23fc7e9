#include "runtime/com/scoped.h"

namespace qvi::com {

void ScopedExcepInfo::Fill() noexcept {
  if (const auto fill = std::exchange(info_.pfnDeferredFillIn, nullptr)) fill(&info_);
}

void ScopedExcepInfo::Reset() noexcept {
  SysFreeString(info_.bstrSource);
  SysFreeString(info_.bstrDescription);
  SysFreeString(info_.bstrHelpFile);
  info_ = EXCEPINFO{};
}

DispatchArguments::DispatchArguments(std::size_t count) : args_(count) {
  for (VARIANT& arg : args_) VariantInit(&arg);
}

DispatchArguments::~DispatchArguments() {
  for (VARIANT& arg : args_) VariantClear(&arg);
}

DISPPARAMS* DispatchArguments::params() noexcept {
  params_ = DISPPARAMS{args_.data(), nullptr, static_cast<UINT>(args_.size()), 0};
  return &params_;
}

}  // namespace qvi::com
