#pragma once
// The frame area of a Monkey's Audio file: its 32-bit word byte order, the range coder that writes
// the residuals, and the adaptive residual code of file version 3990.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace merolune {

// The frame area is one continuous run of logical bytes, stored in groups of four counted from the
// first frame's first byte, each group reversed (the decoders read it as little-endian 32-bit
// words and take their bytes from the most significant end). Put takes logical bytes; whole groups
// go to `drain` in file order, in runs of up to 64 KiB. Not thread-safe.
class ApeWordPacker {
 public:
  using Drain = std::function<void(const std::uint8_t*, std::size_t)>;
  explicit ApeWordPacker(Drain drain);

  void Put(std::uint8_t byte) {
    if (fill_ == kCapacity) DrainBuffer();
    buffer_[fill_ ^ 3] = byte;  // the position mirrored inside its group of four
    ++fill_;
  }
  // Logical bytes put so far.
  std::uint64_t Length() const noexcept { return drained_ + fill_; }
  // Pads with zero bytes up to the next group boundary, always adding at least one byte (an exact
  // group boundary gets a whole zero word, as the reference encoder writes), and drains everything.
  void Finish();

 private:
  static constexpr std::size_t kCapacity = 65536;  // a multiple of 4: only whole groups drain
  void DrainBuffer();

  Drain drain_;
  std::vector<std::uint8_t> buffer_;
  std::size_t fill_ = 0;
  std::uint64_t drained_ = 0;
};

// The adaptive state of one residual stream: a running sum that sets the divisor of the next value.
struct ApeResidualState {
  static constexpr std::uint32_t kInitialSum = 16384;
  std::uint32_t Sum = kInitialSum;
};

// A range coder with 32-bit code values whose output bytes go to an ApeWordPacker. Begin starts a
// frame's coded part (its first output byte is always 00); End writes the four-byte tail the
// decoders need to stay in step with the next frame. Not thread-safe.
class ApeRangeCoder {
 public:
  explicit ApeRangeCoder(ApeWordPacker& output) noexcept : out_(output) {}

  void Begin() noexcept;
  // One residual of the stream `state`, updating the state.
  void EncodeResidual(std::int32_t residual, ApeResidualState& state);
  void End();

 private:
  // The coding operations: a symbol [start, start + width) of a total of 2^16; a raw 16-bit value;
  // a value v < total of a uniform distribution.
  void EncodeFrequency(std::uint32_t start, std::uint32_t width);
  void EncodeRaw16(std::uint32_t value);
  void EncodeUniform(std::uint32_t value, std::uint32_t total);
  void Normalize();
  void EmitWithFollow(std::uint8_t first, std::uint8_t follower);

  ApeWordPacker& out_;
  std::uint32_t low_ = 0;
  std::uint32_t range_ = 0;
  std::uint8_t pending_ = 0;  // the last byte, held until no carry can reach it
  std::uint32_t follow_ = 0;  // 0xFF bytes held behind it
};

}  // namespace merolune
