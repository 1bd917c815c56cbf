#pragma once
// Which instruction set the engine's vector kernels run on: one choice for all of them.

#include <cstdint>

// The engine is built for x86-64-v2; the kernels that gain from wider vectors also have a
// version built for AVX2 with FMA, and one flag, checked at every call, picks between the two.
// A kernel's wide version is an ordinary function carrying this attribute, in the same file as
// its portable one:
// - hand-written kernels use AVX2 intrinsics inside it;
// - loops that the compiler vectorises are written once, MEROLUNE_SIMD_KERNEL, and called
//   through RunSimdKernel, which builds them both ways.
// Unlike a file compiled with -mavx2, nothing built for AVX2 escapes into code shared with the
// baseline (an inline function emitted from such a file may be the copy the linker keeps), and
// unlike target_clones the choice can be changed at run time, so tests run both paths.
#define MEROLUNE_AVX2_FMA __attribute__((target("avx2,fma")))
// A kernel body for RunSimdKernel: inlined into both builds, never called as itself.
#define MEROLUNE_SIMD_KERNEL [[gnu::always_inline]] inline

namespace merolune {

// kAuto: AVX2 with FMA when the processor has them, unless the environment variable
// MEROLUNE_SIMD is "portable" at the first use (so whole test runs and jobs can be run on the
// baseline). kPortable: the baseline everywhere. kAvx2Fma: the wide kernels.
// The two paths give the same results except where a kernel states otherwise (FMA's single
// rounding in the transforms, the vector math library's variants): within a few ulps.
enum class SimdPath : std::uint8_t { kAuto, kPortable, kAvx2Fma };

// Selects the path of every kernel for every thread. Returns false, changing nothing, when the
// processor lacks the path's instructions. Meant for tests and benchmarks: a kernel running on
// another thread meanwhile may take either path. Thread-safe.
bool SelectSimdPath(SimdPath path);
// The path the kernels take now (never kAuto). Thread-safe, real-time safe.
SimdPath ActiveSimdPath() noexcept;
// ActiveSimdPath() == kAvx2Fma, as one relaxed atomic load.
bool UseAvx2Fma() noexcept;

// Runs Kernel(args...) in its AVX2 + FMA build or its baseline build, by UseAvx2Fma(). Kernel
// is declared MEROLUNE_SIMD_KERNEL; with ISO C++ floating-point contraction stays off, so both
// builds perform the same operations and give the same results.
template <auto Kernel, class... Args>
MEROLUNE_AVX2_FMA void RunAvx2FmaBuild(Args... args) {
  Kernel(args...);
}

template <auto Kernel, class... Args>
void RunSimdKernel(Args... args) {
  if (UseAvx2Fma()) {
    RunAvx2FmaBuild<Kernel>(args...);
  } else {
    Kernel(args...);
  }
}

}  // namespace merolune
