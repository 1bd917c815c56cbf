// Compiled with -mavx2 -mfma: this file includes no C++ library header, so no inline function
// built for AVX2 can be shared with (and picked over) the baseline build of the same function.
#include "VectorMathAvx2.h"

#include <immintrin.h>

// glibc's vector math entry points (libmvec): "d" is the AVX2 variant with 4 lanes, "b" the
// SSE variant with 2 lanes for the tail.
extern "C" {
__m256d _ZGVdN4v_asin(__m256d);
__m256d _ZGVdN4v_log10(__m256d);
__m256d _ZGVdN4v_cos(__m256d);
__m128d _ZGVbN2v_asin(__m128d);
__m128d _ZGVbN2v_log10(__m128d);
__m128d _ZGVbN2v_cos(__m128d);
}

namespace merolune::avx2 {

namespace {

template <__m256d (*F4)(__m256d), __m128d (*F2)(__m128d)>
void Apply4(const double* x, double* y, int n) {
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

void VectorAsin(const double* x, double* y, int n) { Apply4<_ZGVdN4v_asin, _ZGVbN2v_asin>(x, y, n); }
void VectorLog10(const double* x, double* y, int n) { Apply4<_ZGVdN4v_log10, _ZGVbN2v_log10>(x, y, n); }
void VectorCos(const double* x, double* y, int n) { Apply4<_ZGVdN4v_cos, _ZGVbN2v_cos>(x, y, n); }

}  // namespace merolune::avx2
