#include "VectorMath.h"

#include <emmintrin.h>

#include <atomic>
#include <cmath>

#include "VectorMathAvx2.h"

// glibc's vector math entry points (libmvec), named by the vector function ABI: "b" is the
// SSE variant with 2 lanes.
extern "C" {
__m128d _ZGVbN2v_asin(__m128d);
__m128d _ZGVbN2v_log10(__m128d);
__m128d _ZGVbN2v_cos(__m128d);
}

namespace merolune {

namespace {

std::atomic<bool> forceSse{false};

bool UseAvx2() {
  static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return available && !forceSse.load(std::memory_order_relaxed);
}

template <__m128d (*F)(__m128d), double (*Scalar)(double)>
void Apply2(const double* x, double* y, int n) {
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(y + i, F(_mm_loadu_pd(x + i)));
  for (; i < n; ++i) y[i] = Scalar(x[i]);
}

double Asin(double v) { return std::asin(v); }
double Log10(double v) { return std::log10(v); }
double Cos(double v) { return std::cos(v); }

}  // namespace

void VectorMathForceSse(bool force) { forceSse.store(force, std::memory_order_relaxed); }

void VectorAsin(const double* x, double* y, int n) {
  if (UseAvx2()) return avx2::VectorAsin(x, y, n);
  Apply2<_ZGVbN2v_asin, Asin>(x, y, n);
}

void VectorLog10(const double* x, double* y, int n) {
  if (UseAvx2()) return avx2::VectorLog10(x, y, n);
  Apply2<_ZGVbN2v_log10, Log10>(x, y, n);
}

void VectorCos(const double* x, double* y, int n) {
  if (UseAvx2()) return avx2::VectorCos(x, y, n);
  Apply2<_ZGVbN2v_cos, Cos>(x, y, n);
}

}  // namespace merolune
