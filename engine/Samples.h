#pragma once
// Arithmetic on 16-bit samples.

#include <cstdint>

namespace merolune {

// v limited to the 16-bit range.
constexpr std::int16_t ClampToInt16(std::int32_t v) {
  return static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

}  // namespace merolune
