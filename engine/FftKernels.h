#pragma once
// The complex transforms on split arrays that the FFT objects run, and the kernels that pack two
// real channels into one complex transform and separate them again.

#include <cstddef>
#include <new>
#include <vector>

namespace merolune {

namespace detail {
// 64-byte aligned storage: the transform kernels' vector loads then never straddle a cache line.
template <class T>
struct AlignedAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlignment{64};
  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlignment); }
  template <class U>
  bool operator==(const AlignedAllocator<U>&) const noexcept {
    return true;
  }
};
using AlignedDoubles = std::vector<double, AlignedAllocator<double>>;
}  // namespace detail

// In-place complex transform of n points on split arrays x (real parts) and y (imaginary parts).
// The transforms below are thread-safe (each thread has its own scratch; the twiddle tables of a
// size are built once, under a lock, on its first use). They take the kernels SimdPath selects.
using TransformRoutine = void (*)(int n, double* x, double* y);

// X[k] = sum_t x[t] e^(-2 pi i k t / n), unscaled (n <= 1: no change). Powers of two take the
// fast path; any other n (possible only with the size check off or another radix) is computed
// by the direct O(n^2) sum.
void SplitRadixForward(int n, double* x, double* y);
// inverse = false: the same transform as SplitRadixForward; inverse = true:
// x[t] = (1/n) sum_k X[k] e^(+2 pi i k t / n). Sizes as for SplitRadixForward.
void Radix2Transform(int n, double* x, double* y, bool inverse);
// Radix2Transform in its inverse form, as a TransformRoutine.
void Radix2Inverse(int n, double* x, double* y);

// True when n <= 0 or radix <= 0, or when n is an integral power of radix.
bool IsPowerOfRadix(int n, int radix);

namespace detail {
// Forward pair: (zr, zi) holds Z = A + iB, the n-point spectrum of two real blocks a + ib.
// A[k] = (Z[k] + conj Z[n-k]) / 2 and B[k] = (Z[k] - conj Z[n-k]) / 2i for 1 <= k < (n + 1) / 2
// and their mirror bins n - k: A replaces Z, B goes to (br, bi). Bins 0 and n/2 are the
// caller's.
void SeparateSpectra(std::size_t n, double* zr, double* zi, double* br, double* bi);
// Inverse pair: bins m and 2n - m, 1 <= m < n, of Z = FullA + i FullB, where FullA and FullB
// are the conjugate-symmetric 2n-bin spectra of the half spectra (ar, ai) and (br, bi). Bins 0
// and n are the caller's.
void PackSpectra(std::size_t n, const double* ar, const double* ai, const double* br, const double* bi, double* zr,
                 double* zi);
}  // namespace detail

}  // namespace merolune
