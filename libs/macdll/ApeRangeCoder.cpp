#include "ApeRangeCoder.h"

#include <algorithm>
#include <array>
#include <bit>

namespace merolune {
namespace {

constexpr std::uint32_t kTop = 1U << 31;
constexpr std::uint32_t kBottom = 1U << 23;
constexpr int kShift = 23;
// Below this `low` can no longer carry into the byte about to leave.
constexpr std::uint32_t kCarryFree = 0xFFU << kShift;

// The distribution of the quotient q = u / pivot: its cumulative starts and widths over 2^16, for
// q = 0...20; from 21 on each symbol has width 1 and starts at 65472 + q, and 63 is the escape to
// a raw 32-bit quotient.
constexpr int kEscape = 63;
constexpr std::array<std::uint16_t, 21> kQuotientStart = {0,     19578, 36160, 48417, 56323, 60899, 63265,
                                                          64435, 64971, 65232, 65351, 65416, 65447, 65466,
                                                          65476, 65482, 65485, 65488, 65490, 65491, 65492};
constexpr std::array<std::uint16_t, 21> kQuotientWidth = {19578, 16582, 12257, 7906, 4576, 2366, 1170,
                                                          536,   261,   119,   65,   31,   19,   10,
                                                          6,     3,     3,     2,    1,    1,    1};

}  // namespace

ApeWordPacker::ApeWordPacker(Drain drain) : drain_(std::move(drain)), buffer_(kCapacity) {}

void ApeWordPacker::DrainBuffer() {
  drain_(buffer_.data(), fill_);
  drained_ += fill_;
  fill_ = 0;
}

void ApeWordPacker::Finish() {
  const std::uint64_t end = (Length() / 4 + 1) * 4;
  while (Length() < end) Put(0);
  DrainBuffer();
}

void ApeRangeCoder::Begin() noexcept {
  low_ = 0;
  range_ = kTop;
  pending_ = 0;
  follow_ = 0;
}

void ApeRangeCoder::EmitWithFollow(std::uint8_t first, std::uint8_t follower) {
  out_.Put(first);
  for (; follow_ > 0; --follow_) out_.Put(follower);
}

void ApeRangeCoder::Normalize() {
  while (range_ <= kBottom) {
    if (low_ < kCarryFree) {
      EmitWithFollow(pending_, 0xFF);
      pending_ = static_cast<std::uint8_t>(low_ >> kShift);
    } else if (low_ >= kTop) {
      // The carry ripples through the held 0xFF bytes, turning them into zeros.
      EmitWithFollow(static_cast<std::uint8_t>(pending_ + 1), 0x00);
      pending_ = static_cast<std::uint8_t>(low_ >> kShift);
    } else {
      ++follow_;
    }
    low_ = (low_ << 8) & (kTop - 1);
    range_ <<= 8;
  }
}

void ApeRangeCoder::EncodeFrequency(std::uint32_t start, std::uint32_t width) {
  Normalize();
  const std::uint32_t r = range_ >> 16;
  low_ += r * start;
  range_ = r * width;
}

void ApeRangeCoder::EncodeRaw16(std::uint32_t value) {
  Normalize();
  range_ >>= 16;
  low_ += range_ * value;
}

void ApeRangeCoder::EncodeUniform(std::uint32_t value, std::uint32_t total) {
  Normalize();
  range_ /= total;
  low_ += range_ * value;
}

void ApeRangeCoder::EncodeResidual(std::int32_t residual, ApeResidualState& state) {
  // Zig-zag order 0, 1, -1, 2, -2, ... in unsigned arithmetic, so that no value can overflow.
  const std::uint32_t r = static_cast<std::uint32_t>(residual);
  const std::uint32_t u = residual > 0 ? 2 * r - 1 : 0U - 2 * r;
  const std::uint32_t pivot = std::max(state.Sum / 32, 1U);
  const std::uint32_t q = u / pivot;
  const std::uint32_t base = u - q * pivot;
  // The state follows the values it has seen; the pivot above used the state before this value.
  state.Sum += (u >> 1) + (u & 1) - (state.Sum + 16) / 32;

  if (q < kQuotientStart.size()) {
    EncodeFrequency(kQuotientStart[q], kQuotientWidth[q]);
  } else if (q < kEscape) {
    EncodeFrequency(65472 + q, 1);
  } else {
    EncodeFrequency(65472 + kEscape, 1);
    EncodeRaw16(q >> 16);
    EncodeRaw16(q & 0xFFFF);
  }

  if (pivot < 0x10000) {
    EncodeUniform(base, pivot);
  } else {
    // A uniform total must stay within 16 bits: the high part first, then the low bits raw.
    const int lowBits = std::bit_width(pivot) - 16;
    EncodeUniform(base >> lowBits, (pivot >> lowBits) + 1);
    EncodeUniform(base & ((1U << lowBits) - 1), 1U << lowBits);
  }
}

void ApeRangeCoder::End() {
  Normalize();
  const std::uint32_t last = (low_ >> kShift) + 1;
  if (last > 0xFF) {
    EmitWithFollow(static_cast<std::uint8_t>(pending_ + 1), 0x00);
  } else {
    EmitWithFollow(pending_, 0xFF);
  }
  // A decoder reads one byte more than the coder wrote at the start and three more to widen its first
  // range; these zeros are those bytes, so that it stops exactly at the end of this frame.
  out_.Put(static_cast<std::uint8_t>(last));
  out_.Put(0);
  out_.Put(0);
  out_.Put(0);
}

}  // namespace merolune
