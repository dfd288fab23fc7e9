#include "runtime/com/bstr_text.h"

#include <new>

namespace qvi::com {

namespace {
constexpr UINT kCodePage = 1252;
}  // namespace

ScopedBstr ToBstr(std::string_view ansi) {
  const int size = static_cast<int>(ansi.size());
  const int wide = size == 0 ? 0 : MultiByteToWideChar(kCodePage, 0, ansi.data(), size, nullptr, 0);
  ScopedBstr text(SysAllocStringLen(nullptr, static_cast<UINT>(wide)));
  if (!text.Get()) throw std::bad_alloc();
  if (wide != 0) MultiByteToWideChar(kCodePage, 0, ansi.data(), size, text.Get(), wide);
  return text;
}

std::string FromBstr(BSTR text) {
  const int size = static_cast<int>(SysStringLen(text));
  if (size == 0) return {};
  const int bytes = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, nullptr, 0, "?", nullptr);
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, ansi.data(), bytes, "?", nullptr);
  return ansi;
}

}  // namespace qvi::com
