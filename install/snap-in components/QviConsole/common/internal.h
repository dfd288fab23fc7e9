// Arithmetic shared by the routines of frmCommon, with the overflow rules of
// their 16-bit counters.
#pragma once

#include <cstdint>

namespace qvi::internal {

// The last index a 16-bit scan can reach.
inline constexpr std::int16_t kLastScanIndex = 32767;

// `index` + 1; raises Overflow past kLastScanIndex.
std::int16_t NextIndex(std::int16_t index);

// `value` as a 16-bit integer; raises Overflow when it does not fit.
std::int16_t ToInteger(std::int64_t value);

}  // namespace qvi::internal
