#include "Utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "Exception.h"
#include "WaveFFT.h"

namespace merolune {

namespace {

constexpr const char* kCannotCreateTemp = "一時ファイルを作成できません: ";
constexpr const char* kCannotGetCurrentDir = "現在のディレクトリを取得できません";

// Marks a bin of the key change that no source bin reached; a real magnitude this small is
// treated the same way, as silence to be filled from the neighbours.
constexpr double kGapSentinel = 1e-100;
constexpr double kGapTolerance = 1e-16;

// Other processes may pick the same number; after this many taken names something else is wrong.
constexpr int kTempNameAttempts = 1000;

std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void StoreU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

void StoreTag(std::uint8_t* p, const char* tag) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(tag[i]);
}

bool TagIs(const std::uint8_t* p, const char* tag) {
  return std::memcmp(p, tag, 4) == 0;
}

// Writers disagree on the case of chunk names ("DATA" turns up), so those compare without case;
// ASCII folding only, independent of the locale.
bool TagIsNoCase(const std::uint8_t* p, const char* tag) {
  for (int i = 0; i < 4; ++i) {
    auto fold = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    if (fold(p[i]) != fold(static_cast<unsigned char>(tag[i]))) return false;
  }
  return true;
}

// SplitMix64's finaliser: a bijection of 64-bit values, so distinct counters give distinct names
// within one process, while the seed spreads different processes over the whole range.
std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t ProcessSeed() {
  static const std::uint64_t seed = [] {
    std::uint64_t s = static_cast<std::uint64_t>(::getpid()) << 32;
    s ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    s ^= static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) * 0x9E3779B97F4A7C15ULL;
    try {
      std::random_device device;
      s ^= (static_cast<std::uint64_t>(device()) << 32) | device();
    } catch (const std::exception&) {
      // No entropy source: the pid and the clocks alone still separate processes well enough,
      // and the exclusive create catches the rest.
    }
    return s;
  }();
  return seed;
}

std::uint64_t NextTempNumber() {
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return Mix(ProcessSeed() + n * 0x9E3779B97F4A7C15ULL);
}

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env != nullptr && env[0] != '\0' ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return ExpandLongPath(dir);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

void ReadWaveHeader(Stream& stream, WaveFormatInfo& info) {
  std::array<std::uint8_t, 8> head{};
  if (!stream.ReadExact(head.data(), 4) || !TagIs(head.data(), "RIFF")) return;
  info.RiffFound = true;
  if (!stream.ReadExact(head.data(), 4)) return;
  info.RiffSize = LoadU32(head.data());
  if (!stream.ReadExact(head.data(), 4) || !TagIs(head.data(), "WAVE")) return;
  info.WaveFound = true;

  // Positions are 64-bit so that a stored size near 4 GiB cannot wrap around and send the scan
  // backwards into chunks already seen.
  const std::uint64_t end = stream.Size();
  std::uint64_t position = stream.Position();
  while (position < end && end - position >= 8) {
    if (!stream.ReadExact(head.data(), head.size())) return;
    const std::uint32_t size = LoadU32(head.data() + 4);
    const std::uint64_t body = position + 8;
    const std::uint64_t next = body + size + (size & 1U);

    if (TagIsNoCase(head.data(), "data")) {
      // DataStart cannot express a body beyond 4 GiB; such a chunk is as good as absent.
      if (body > UINT32_MAX) return;
      info.DataStart = static_cast<std::uint32_t>(body);
      info.DataSize = size;
      return;
    }
    if (TagIsNoCase(head.data(), "fmt ")) {
      info.FormatChunkSize = size;
      // Fewer than 16 bytes cannot hold the format block; whatever follows belongs to the
      // next chunk and must not be taken for it.
      std::array<std::uint8_t, 16> format{};
      if (size >= format.size()) {
        if (!stream.ReadExact(format.data(), format.size())) return;
        info.FormatTag = LoadU16(format.data());
        info.Channels = LoadU16(format.data() + 2);
        info.SampleRate = LoadU32(format.data() + 4);
        info.AvgBytesPerSec = LoadU32(format.data() + 8);
        info.BlockAlign = LoadU16(format.data() + 12);
        info.BitsPerSample = LoadU16(format.data() + 14);
      }
      // WAVE_FORMAT_EXTENSIBLE: cbSize 22, valid bits, channel mask, then the sub-format GUID,
      // whose first two bytes are a format tag when the rest is the standard KSDATAFORMAT tail.
      constexpr std::uint16_t kExtensible = 0xFFFE;
      constexpr std::array<std::uint8_t, 14> kGuidTail{0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      std::array<std::uint8_t, 24> extension{};
      if (info.FormatTag == kExtensible && size >= 16 + extension.size()) {
        if (!stream.ReadExact(extension.data(), extension.size())) return;
        if (LoadU16(extension.data()) >= 22 && std::equal(kGuidTail.begin(), kGuidTail.end(), extension.begin() + 10))
          info.SubFormatTag = LoadU16(extension.data() + 8);
      }
    }
    // The stored size, not an extension count inside the body, decides where the next chunk
    // starts: some writers get the count wrong, and following it would misalign the scan.
    if (next > end) return;
    stream.Seek(static_cast<std::int64_t>(next), SeekOrigin::Begin);
    position = next;
  }
}

void WriteWaveHeader(std::uint32_t riffSize, std::uint32_t dataSize, const WaveFormatInfo& format, Stream& stream) {
  constexpr std::uint16_t kChannels = 2;
  constexpr std::uint16_t kBitsPerSample = 16;
  constexpr std::uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;

  std::array<std::uint8_t, kWaveHeaderSize> header{};
  StoreTag(&header[0], "RIFF");
  StoreU32(&header[4], riffSize);
  StoreTag(&header[8], "WAVE");
  StoreTag(&header[12], "fmt ");
  StoreU32(&header[16], 16);
  StoreU16(&header[20], format.FormatTag);
  StoreU16(&header[22], kChannels);
  StoreU32(&header[24], format.SampleRate);
  StoreU32(&header[28], format.SampleRate * kBlockAlign);
  StoreU16(&header[32], kBlockAlign);
  StoreU16(&header[34], kBitsPerSample);
  StoreTag(&header[36], "data");
  StoreU32(&header[40], dataSize);

  stream.Seek(0, SeekOrigin::Begin);
  stream.Write(header.data(), header.size());
}

std::string MakeTempWavName() {
  const std::string dir = TempDirectory();
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "cc%llx.wav", static_cast<unsigned long long>(NextTempNumber()));
    const std::string path = JoinPath(dir, name);
    int fd = -1;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) throw Exception(std::string(kCannotCreateTemp) + dir + " (" + std::strerror(errno) + ")");
  }
  throw Exception(std::string(kCannotCreateTemp) + dir + " (" + std::strerror(EEXIST) + ")");
}

std::string ExpandLongPath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::vector<char> buffer(256);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) throw Exception(std::string(kCannotGetCurrentDir) + " (" + std::strerror(errno) + ")");
    buffer.resize(buffer.size() * 2);
  }
  return JoinPath(buffer.data(), path);
}

void ShiftKey(int semitones, TWaveFFT& transform) {
  const int half = transform.Count() / 2;
  if (half <= 0) return;
  const double ratio = std::pow(2.0, semitones / 12.0);

  // Called for every block while a key is set: the work arrays are kept between calls.
  thread_local std::vector<double> magnitude, phase;
  magnitude.assign(static_cast<std::size_t>(half), kGapSentinel);
  phase.assign(static_cast<std::size_t>(half), 0.0);
  for (int b = 0; b < half; ++b) {
    // nearbyint in the default rounding mode rounds halves to even.
    const double target = std::nearbyint(b * ratio);
    if (target >= half) continue;
    const auto c = static_cast<std::size_t>(target);
    magnitude[c] = transform.Magnitude(b);
    phase[c] = transform.Phase(b);
  }

  for (int j = 0; j < half; ++j) {
    const auto i = static_cast<std::size_t>(j);
    if (j > 0 && j < half - 1 && std::fabs(magnitude[i] - kGapSentinel) <= kGapTolerance) {
      magnitude[i] = (magnitude[i - 1] + magnitude[i + 1]) / 2;
      phase[i] = (phase[i - 1] + phase[i + 1]) / 2;
    }
    transform.SetBin(j, {magnitude[i] * std::cos(phase[i]), magnitude[i] * std::sin(phase[i])});
  }
}

void RotatePhases(std::span<double> phases, int highest) {
  if (highest < 0) return;
  if (static_cast<std::size_t>(highest) >= phases.size()) throw Exception(kIndexOutOfRange);
  for (std::size_t k = 0; k <= static_cast<std::size_t>(highest); ++k) {
    phases[k] = WrapAngle(phases[k] + std::numbers::pi / 2);
  }
}

}  // namespace merolune
