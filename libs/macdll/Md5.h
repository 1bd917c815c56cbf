#pragma once
// MD5 message digest (RFC 1321), incremental: the checksum Monkey's Audio files carry.

#include <array>
#include <cstddef>
#include <cstdint>

namespace merolune {

// Feed any number of byte runs with Update, then take the 16-byte digest once with Final. Not
// thread-safe; copyable (a copy continues independently).
class Md5 {
 public:
  Md5() noexcept;
  void Update(const std::uint8_t* bytes, std::size_t size) noexcept;
  // Pads, processes the last block and returns the digest. The object is spent afterwards.
  std::array<std::uint8_t, 16> Final() noexcept;

 private:
  void ProcessBlock(const std::uint8_t* block) noexcept;

  std::array<std::uint32_t, 4> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace merolune
