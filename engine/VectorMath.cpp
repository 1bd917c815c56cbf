// Arcsine, base-10 logarithm and cosine over arrays through glibc's vector math library.
#include "VectorMath.h"

#include <immintrin.h>

#include <cmath>

#include "SimdPath.h"

// glibc's vector math entry points (libmvec), named by the vector function ABI: "b" is the SSE
// variant with 2 lanes, "d" the AVX2 variant with 4 lanes.
extern "C" {
__m128d _ZGVbN2v_asin(__m128d);
__m128d _ZGVbN2v_log10(__m128d);
__m128d _ZGVbN2v_cos(__m128d);
__m256d _ZGVdN4v_asin(__m256d);
__m256d _ZGVdN4v_log10(__m256d);
__m256d _ZGVdN4v_cos(__m256d);
}

namespace merolune {

namespace {

double Asin(double v) { return std::asin(v); }
double Log10(double v) { return std::log10(v); }
double Cos(double v) { return std::cos(v); }

template <__m128d (*F2)(__m128d), double (*Scalar)(double)>
void Apply2(const double* x, double* y, int n) {
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(y + i, F2(_mm_loadu_pd(x + i)));
  for (; i < n; ++i) y[i] = Scalar(x[i]);
}

template <__m256d (*F4)(__m256d), __m128d (*F2)(__m128d)>
MEROLUNE_AVX2_FMA void Apply4(const double* x, double* y, int n) {
  int i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, F4(_mm256_loadu_pd(x + i)));
  if (i < n) {
    // The tail goes through the 2-lane variant, padded with a harmless argument.
    double in[2] = {x[i], i + 1 < n ? x[i + 1] : 0.5};
    double out[2];
    _mm_storeu_pd(out, F2(_mm_loadu_pd(in)));
    y[i] = out[0];
    if (i + 1 < n) y[i + 1] = out[1];
    if (i + 2 < n) {
      in[0] = x[i + 2];
      _mm_storeu_pd(out, F2(_mm_loadu_pd(in)));
      y[i + 2] = out[0];
    }
  }
}

}  // namespace

void VectorAsin(const double* x, double* y, int n) {
  if (UseAvx2Fma()) return Apply4<_ZGVdN4v_asin, _ZGVbN2v_asin>(x, y, n);
  Apply2<_ZGVbN2v_asin, Asin>(x, y, n);
}

void VectorLog10(const double* x, double* y, int n) {
  if (UseAvx2Fma()) return Apply4<_ZGVdN4v_log10, _ZGVbN2v_log10>(x, y, n);
  Apply2<_ZGVbN2v_log10, Log10>(x, y, n);
}

void VectorCos(const double* x, double* y, int n) {
  if (UseAvx2Fma()) return Apply4<_ZGVdN4v_cos, _ZGVbN2v_cos>(x, y, n);
  Apply2<_ZGVbN2v_cos, Cos>(x, y, n);
}

}  // namespace merolune
