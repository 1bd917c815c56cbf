// Temporary WAV files with unique names, and paths made absolute.

#include "Paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "Exception.h"

namespace merolune {

namespace {

constexpr const char* kCannotCreateTemp = "一時ファイルを作成できません: ";
constexpr const char* kCannotGetCurrentDir = "現在のディレクトリを取得できません";

// Other processes may pick the same number; after this many taken names something else is wrong.
constexpr int kTempNameAttempts = 1000;

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

}  // namespace merolune
