// A 16-bit stereo PCM WAV file written under a temporary name and renamed into place only when complete.

#include "PendingWavFile.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>

#include "WaveHeader.h"

namespace merolune {

namespace {

// The samples are handed to fwrite as they lie in memory.
static_assert(std::endian::native == std::endian::little, "WAV data is little-endian");

// The RIFF size field holds 36 + data size; larger data cannot be described by a canonical header.
constexpr std::uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) / 4 * 4;
constexpr std::size_t kBufferSize = 1 << 16;

std::array<std::uint8_t, kWaveHeaderSize> CanonicalHeader(std::uint32_t sampleRate, std::uint32_t dataBytes) {
  return MakeWaveHeader(PcmWaveFormat(2, sampleRate, 16), 36 + dataBytes, dataBytes);
}

}  // namespace

PendingWavFile::~PendingWavFile() { Discard(); }

bool PendingWavFile::Create(const std::string& destination) {
  Discard();
  error_ = 0;
  if (!file_.Create(destination)) {
    error_ = errno;
    return false;
  }
  std::setvbuf(file_.Stream(), nullptr, _IOFBF, kBufferSize);
  // A placeholder until Commit() knows the sizes.
  const auto header = CanonicalHeader(0, 0);
  if (std::fwrite(header.data(), 1, header.size(), file_.Stream()) != header.size()) Fail();
  return !failed_;
}

bool PendingWavFile::Write(const std::int16_t* interleaved, std::size_t frames) {
  return WriteBytes(reinterpret_cast<const unsigned char*>(interleaved), frames * kBytesPerFrame);
}

bool PendingWavFile::WriteBytes(const unsigned char* bytes, std::size_t size) {
  if (!file_.Stream() || failed_ || size % kBytesPerFrame != 0) return false;
  if (size > kMaxDataBytes - dataBytes_) {
    failed_ = true;
    return false;
  }
  if (size != 0 && std::fwrite(bytes, 1, size, file_.Stream()) != size) {
    Fail();
    return false;
  }
  dataBytes_ += size;
  return true;
}

bool PendingWavFile::Commit(std::uint32_t sampleRate) {
  // A WAV header cannot state a rate of 0, nor one whose bytes a second overflow its 32-bit field
  // (a damaged source may claim a billion hertz).
  if (!file_.Stream() || failed_ || sampleRate == 0 || sampleRate > UINT32_MAX / kBytesPerFrame) {
    Discard();
    return false;
  }
  const auto header = CanonicalHeader(sampleRate, static_cast<std::uint32_t>(dataBytes_));
  std::FILE* stream = file_.Stream();
  if (std::fseek(stream, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), stream) != header.size()) {
    Fail();
  }
  if (failed_ || !file_.Commit()) {
    if (!failed_) Fail();
    Discard();
    return false;
  }
  return true;
}

void PendingWavFile::Fail() {
  failed_ = true;
  if (error_ == 0) error_ = errno;
}

void PendingWavFile::Discard() {
  file_.Discard();
  dataBytes_ = 0;
  failed_ = false;
}

}  // namespace merolune
