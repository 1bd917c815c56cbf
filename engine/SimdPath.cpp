// The one switch between the engine's baseline kernels and their AVX2 + FMA versions.
#include "SimdPath.h"

#include <atomic>
#include <cstdlib>
#include <string_view>

namespace merolune {

namespace {

bool CpuHasAvx2Fma() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
}

bool PortableRequested() {
  const char* value = std::getenv("MEROLUNE_SIMD");
  return value != nullptr && std::string_view(value) == "portable";
}

bool Wide(SimdPath path) {
  switch (path) {
    case SimdPath::kPortable: return false;
    case SimdPath::kAvx2Fma: return true;
    case SimdPath::kAuto: break;
  }
  static const bool automatic = CpuHasAvx2Fma() && !PortableRequested();
  return automatic;
}

std::atomic<bool>& UseWide() {
  static std::atomic<bool> wide{Wide(SimdPath::kAuto)};
  return wide;
}

}  // namespace

bool SelectSimdPath(SimdPath path) {
  if (path == SimdPath::kAvx2Fma && !CpuHasAvx2Fma()) return false;
  UseWide().store(Wide(path), std::memory_order_relaxed);
  return true;
}

SimdPath ActiveSimdPath() noexcept { return UseAvx2Fma() ? SimdPath::kAvx2Fma : SimdPath::kPortable; }

bool UseAvx2Fma() noexcept { return UseWide().load(std::memory_order_relaxed); }

}  // namespace merolune
