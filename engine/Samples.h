#pragma once
// Arithmetic on 16-bit samples.

#include <algorithm>
#include <cstdint>

namespace merolune {

// v limited to the 16-bit range.
constexpr std::int16_t ClampToInt16(std::int32_t v) {
  return static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

// A whole-numbered v (already rounded) limited to the 16-bit range.
inline std::int16_t LimitToInt16(double v) { return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0)); }

}  // namespace merolune
