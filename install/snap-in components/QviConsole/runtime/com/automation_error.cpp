#include "runtime/com/automation_error.h"

#include <memory>
#include <new>

#include "runtime/com/bstr_text.h"

namespace qvi::com {

namespace {

constexpr std::uint32_t kFacilityMask = 0xFFFF0000u;
constexpr std::uint32_t kControlErrors = 0x800A0000u;

struct LocalDeleter {
  void operator()(char* buffer) const noexcept { LocalFree(buffer); }
};

}  // namespace

HRESULT ScodeOf(std::int32_t number) noexcept {
  if (number < 0) return static_cast<HRESULT>(number);
  if (number <= 0xFFFF) return static_cast<HRESULT>(kControlErrors | static_cast<std::uint32_t>(number));
  return E_FAIL;
}

std::int32_t NumberOf(HRESULT scode) noexcept {
  const auto bits = static_cast<std::uint32_t>(scode);
  if ((bits & kFacilityMask) == kControlErrors) return static_cast<std::int32_t>(bits & 0xFFFFu);
  return static_cast<std::int32_t>(scode);
}

Error ErrorFromInvoke(HRESULT hr, ScopedExcepInfo& info) {
  if (hr != DISP_E_EXCEPTION) return Error(static_cast<std::int32_t>(hr), DescribeHresult(hr));
  info.Fill();
  const EXCEPINFO& exception = info.Get();
  const std::int32_t number = exception.wCode != 0 ? exception.wCode : NumberOf(exception.scode);
  std::string description = FromBstr(exception.bstrDescription);
  if (description.empty()) description = DescribeHresult(exception.scode != 0 ? exception.scode : hr);
  return Error(number, description);
}

HRESULT ReportToCaller(const Error& error, const wchar_t* source, EXCEPINFO* info) noexcept {
  const HRESULT scode = ScodeOf(error.number());
  if (!info) return scode;
  *info = EXCEPINFO{};
  info->scode = scode;
  info->bstrSource = SysAllocString(source);
  try {
    info->bstrDescription = ToBstr(error.what()).Detach();
  } catch (const std::bad_alloc&) {
  }
  return DISP_E_EXCEPTION;
}

std::string DescribeHresult(HRESULT hr) {
  char* raw = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&raw), 0, nullptr);
  const std::unique_ptr<char, LocalDeleter> buffer(raw);
  std::string text = length ? std::string(raw, length) : std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "Automation error" : text;
}

}  // namespace qvi::com
