#pragma once
// Little-endian integers in byte buffers: the one set of loads and stores for file headers and samples.

#include <cstdint>

namespace merolune {

// Each reads or writes exactly the bytes of its width at `p`; no alignment is needed. Stores take a
// 32-bit value and keep its low bits, as the header fields they fill are narrower than the arithmetic
// that produces them.

constexpr std::uint16_t LoadU16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

constexpr std::uint32_t LoadU32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A 16-bit sample: the two's-complement reading of LoadU16.
constexpr std::int16_t LoadS16(const std::uint8_t* p) noexcept { return static_cast<std::int16_t>(LoadU16(p)); }

// A 24-bit sample, sign-extended: the three bytes are placed in bits 8-31, so that shifting them
// back down carries the sign along.
constexpr std::int32_t LoadS24(const std::uint8_t* p) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]) << 16 |
                                   static_cast<std::uint32_t>(p[2]) << 24) >>
         8;
}

// A 32-bit sample.
constexpr std::int32_t LoadS32(const std::uint8_t* p) noexcept { return static_cast<std::int32_t>(LoadU32(p)); }

constexpr void StoreU16(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v & 0xFFU);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFFU);
}

constexpr void StoreU32(std::uint8_t* p, std::uint32_t v) noexcept {
  StoreU16(p, v & 0xFFFFU);
  StoreU16(p + 2, v >> 16);
}

}  // namespace merolune
