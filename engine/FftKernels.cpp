// The complex transforms on split arrays: Stockham kernels (portable, AVX2 + FMA), the direct sum, the pair kernels.
#include "FftKernels.h"

#include <immintrin.h>

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

#include "SimdPath.h"

namespace merolune {

namespace {

using detail::AlignedDoubles;

constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;
constexpr double kSqrtHalf = 0.70710678118654752440;

// Tells the vectoriser that a loop's stores do not overlap its loads (GCC's spelling; clang finds
// it for itself here).
#if defined(__clang__)
#define MEROLUNE_IVDEP
#else
#define MEROLUNE_IVDEP _Pragma("GCC ivdep")
#endif

bool IsPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

int Log2(int n) {
  int log = 0;
  while ((1 << log) < n) ++log;
  return log;
}

// e^(-2 pi i num / den), each part rounded once from extended precision.
void UnitRoot(long long num, long long den, double* re, double* im) {
  const long double angle = kTwoPi * static_cast<long double>(num) / static_cast<long double>(den);
  *re = static_cast<double>(std::cos(angle));
  *im = static_cast<double>(-std::sin(angle));
}

// ---------------------------------------------------------------------------------------------
// The power-of-two transform is a Stockham autosort FFT: every pass reads one pair of split
// arrays and writes the other, so the output comes out in natural order without a bit-reversal
// sweep (whose scattered accesses would cost about as much as a whole pass). A pass splits each
// sub-transform of length l at stride s = n / l into four of length l / 4:
//   Y[q + s(4p + r)] = w^(rp) * sum_j X[q + s(p + jl/4)] (-i)^(rj),   w = e^(-2 pi i / l).
// The general passes are radix 4; the last pass (l = 4, or l = 8 when log2 n is odd) needs no
// twiddles and writes to the same positions it reads, so it can run in place and apply the
// inverse's 1/n scale on the way out.

// Twiddles of a general pass are stored in groups of four p: for each group, w^p, w^2p and w^3p
// as four real parts then four imaginary parts each, so the first pass (s = 1, vectorised over
// p) loads them as vectors and the others broadcast single values.
constexpr int kTwiddleGroup = 24;

std::size_t TwiddleIndex(int p, int part) {
  return static_cast<std::size_t>(p >> 2) * kTwiddleGroup + static_cast<std::size_t>(part) * 4 +
         static_cast<std::size_t>(p & 3);
}

struct Pass {
  int m;  // l / 4
  int s;  // n / l
  const double* twiddles;
};

struct Plan {
  int n = 0;
  int finalRadix = 1;  // 1 (n = 1), 2, 4 or 8
  std::vector<Pass> passes;
  AlignedDoubles twiddles;
};

std::unique_ptr<Plan> BuildPlan(int log2n) {
  auto plan = std::make_unique<Plan>();
  const int n = 1 << log2n;
  plan->n = n;
  plan->finalRadix = log2n == 0 ? 1 : log2n == 1 ? 2 : log2n % 2 == 0 ? 4 : 8;
  std::vector<std::size_t> offsets;
  std::size_t size = 0;
  for (int l = n; l > plan->finalRadix; l /= 4) {
    offsets.push_back(size);
    size += static_cast<std::size_t>(l / 4) / 4 * kTwiddleGroup;
  }
  plan->twiddles.assign(size, 0.0);
  int l = n;
  for (const std::size_t offset : offsets) {
    double* table = plan->twiddles.data() + offset;
    const int m = l / 4;
    for (int p = 0; p < m; ++p) {
      for (int r = 1; r <= 3; ++r) {
        UnitRoot(static_cast<long long>(r) * p, l, &table[TwiddleIndex(p, 2 * r - 2)],
                 &table[TwiddleIndex(p, 2 * r - 1)]);
      }
    }
    plan->passes.push_back(Pass{m, n / l, table});
    l /= 4;
  }
  return plan;
}

constexpr int kMaxLog2 = 30;

// Plans are built once per size and shared by all threads; after the first use of a size the
// lookup is one atomic load.
const Plan& PlanFor(int log2n) {
  static std::array<std::atomic<const Plan*>, kMaxLog2 + 1> ready{};
  static std::array<std::unique_ptr<Plan>, kMaxLog2 + 1> owned;
  static std::mutex mutex;
  const auto index = static_cast<std::size_t>(log2n);
  if (const Plan* plan = ready[index].load(std::memory_order_acquire)) return *plan;
  const std::lock_guard lock(mutex);
  if (!owned[index]) {
    owned[index] = BuildPlan(log2n);
    ready[index].store(owned[index].get(), std::memory_order_release);
  }
  return *owned[index];
}

// Ping-pong buffer of the calling thread; it only grows, so repeated sizes allocate nothing.
double* Scratch(int n) {
  thread_local AlignedDoubles buffer;
  const auto size = 2 * static_cast<std::size_t>(n);
  if (buffer.size() < size) buffer.resize(size);
  return buffer.data();
}

// ------------------------------------------------------------------ portable kernels

void PassPortable(const Pass& pass, const double* __restrict xr, const double* __restrict xi,
                  double* __restrict yr, double* __restrict yi) {
  const int m = pass.m;
  const std::size_t s = static_cast<std::size_t>(pass.s);
  const std::size_t quarter = s * static_cast<std::size_t>(m);
  for (int p = 0; p < m; ++p) {
    const double* t = pass.twiddles;
    const double w1r = t[TwiddleIndex(p, 0)], w1i = t[TwiddleIndex(p, 1)];
    const double w2r = t[TwiddleIndex(p, 2)], w2i = t[TwiddleIndex(p, 3)];
    const double w3r = t[TwiddleIndex(p, 4)], w3i = t[TwiddleIndex(p, 5)];
    const std::size_t in = s * static_cast<std::size_t>(p);
    const std::size_t out = 4 * in;
    // The four output rows lie s apart and never overlap; without the hint the vectoriser gives
    // up on proving it.
    MEROLUNE_IVDEP
    for (std::size_t q = 0; q < s; ++q) {
      const std::size_t a = in + q, b = a + quarter, c = b + quarter, d = c + quarter;
      const double t0r = xr[a] + xr[c], t0i = xi[a] + xi[c];
      const double t1r = xr[a] - xr[c], t1i = xi[a] - xi[c];
      const double t2r = xr[b] + xr[d], t2i = xi[b] + xi[d];
      const double t3r = xi[b] - xi[d], t3i = xr[d] - xr[b];  // -i (b - d)
      const double u1r = t1r + t3r, u1i = t1i + t3i;
      const double u2r = t0r - t2r, u2i = t0i - t2i;
      const double u3r = t1r - t3r, u3i = t1i - t3i;
      const std::size_t o = out + q;
      yr[o] = t0r + t2r;
      yi[o] = t0i + t2i;
      yr[o + s] = u1r * w1r - u1i * w1i;
      yi[o + s] = u1r * w1i + u1i * w1r;
      yr[o + 2 * s] = u2r * w2r - u2i * w2i;
      yi[o + 2 * s] = u2r * w2i + u2i * w2r;
      yr[o + 3 * s] = u3r * w3r - u3i * w3i;
      yi[o + 3 * s] = u3r * w3i + u3i * w3r;
    }
  }
}

// The last passes: a DFT of 2, 4 or 8 points at stride s for every q, written back to the
// positions it was read from (so xr may equal yr), times `scale`. Each q touches only its own
// positions, which the ivdep hints tell the vectoriser.
void Final2Portable(std::size_t s, double scale, const double* xr, const double* xi, double* yr, double* yi) {
  MEROLUNE_IVDEP
  for (std::size_t q = 0; q < s; ++q) {
    const double ar = xr[q], ai = xi[q], br = xr[q + s], bi = xi[q + s];
    yr[q] = (ar + br) * scale;
    yi[q] = (ai + bi) * scale;
    yr[q + s] = (ar - br) * scale;
    yi[q + s] = (ai - bi) * scale;
  }
}

void Final4Portable(std::size_t s, double scale, const double* xr, const double* xi, double* yr, double* yi) {
  MEROLUNE_IVDEP
  for (std::size_t q = 0; q < s; ++q) {
    const double ar = xr[q], ai = xi[q], br = xr[q + s], bi = xi[q + s];
    const double cr = xr[q + 2 * s], ci = xi[q + 2 * s], dr = xr[q + 3 * s], di = xi[q + 3 * s];
    const double t0r = ar + cr, t0i = ai + ci, t1r = ar - cr, t1i = ai - ci;
    const double t2r = br + dr, t2i = bi + di, t3r = bi - di, t3i = dr - br;
    yr[q] = (t0r + t2r) * scale;
    yi[q] = (t0i + t2i) * scale;
    yr[q + s] = (t1r + t3r) * scale;
    yi[q + s] = (t1i + t3i) * scale;
    yr[q + 2 * s] = (t0r - t2r) * scale;
    yi[q + 2 * s] = (t0i - t2i) * scale;
    yr[q + 3 * s] = (t1r - t3r) * scale;
    yi[q + 3 * s] = (t1i - t3i) * scale;
  }
}

// A radix-2 split into two 4-point DFTs, the odd half turned by w8^j first:
// w8 = (1 - i)/sqrt2, w8^2 = -i, w8^3 = -(1 + i)/sqrt2.
void Final8Portable(std::size_t s, double scale, const double* xr, const double* xi, double* yr, double* yi) {
  MEROLUNE_IVDEP
  for (std::size_t q = 0; q < s; ++q) {
    const double a0r = xr[q] + xr[q + 4 * s], a0i = xi[q] + xi[q + 4 * s];
    const double a1r = xr[q + s] + xr[q + 5 * s], a1i = xi[q + s] + xi[q + 5 * s];
    const double a2r = xr[q + 2 * s] + xr[q + 6 * s], a2i = xi[q + 2 * s] + xi[q + 6 * s];
    const double a3r = xr[q + 3 * s] + xr[q + 7 * s], a3i = xi[q + 3 * s] + xi[q + 7 * s];
    const double b0r = xr[q] - xr[q + 4 * s], b0i = xi[q] - xi[q + 4 * s];
    const double u1r = xr[q + s] - xr[q + 5 * s], u1i = xi[q + s] - xi[q + 5 * s];
    const double u2r = xr[q + 2 * s] - xr[q + 6 * s], u2i = xi[q + 2 * s] - xi[q + 6 * s];
    const double u3r = xr[q + 3 * s] - xr[q + 7 * s], u3i = xi[q + 3 * s] - xi[q + 7 * s];
    const double b1r = (u1r + u1i) * kSqrtHalf, b1i = (u1i - u1r) * kSqrtHalf;
    const double b2r = u2i, b2i = -u2r;
    const double b3r = (u3i - u3r) * kSqrtHalf, b3i = -(u3r + u3i) * kSqrtHalf;
    // Even outputs from a, odd outputs from b, each a 4-point DFT.
    {
      const double t0r = a0r + a2r, t0i = a0i + a2i, t1r = a0r - a2r, t1i = a0i - a2i;
      const double t2r = a1r + a3r, t2i = a1i + a3i, t3r = a1i - a3i, t3i = a3r - a1r;
      yr[q] = (t0r + t2r) * scale;
      yi[q] = (t0i + t2i) * scale;
      yr[q + 2 * s] = (t1r + t3r) * scale;
      yi[q + 2 * s] = (t1i + t3i) * scale;
      yr[q + 4 * s] = (t0r - t2r) * scale;
      yi[q + 4 * s] = (t0i - t2i) * scale;
      yr[q + 6 * s] = (t1r - t3r) * scale;
      yi[q + 6 * s] = (t1i - t3i) * scale;
    }
    {
      const double t0r = b0r + b2r, t0i = b0i + b2i, t1r = b0r - b2r, t1i = b0i - b2i;
      const double t2r = b1r + b3r, t2i = b1i + b3i, t3r = b1i - b3i, t3i = b3r - b1r;
      yr[q + s] = (t0r + t2r) * scale;
      yi[q + s] = (t0i + t2i) * scale;
      yr[q + 3 * s] = (t1r + t3r) * scale;
      yi[q + 3 * s] = (t1i + t3i) * scale;
      yr[q + 5 * s] = (t0r - t2r) * scale;
      yi[q + 5 * s] = (t0i - t2i) * scale;
      yr[q + 7 * s] = (t1r - t3r) * scale;
      yi[q + 7 * s] = (t1i - t3i) * scale;
    }
  }
}

// Forward pair: Z = A + iB with A and B the spectra of real blocks, so
// A[k] = (Z[k] + conj Z[n-k]) / 2 and B[k] = (Z[k] - conj Z[n-k]) / 2i, and bins k and n - k of
// each are conjugates. Handles the pairs (k, n - k) for k in [from, to): A in place of Z, B into
// (br, bi).
void SeparatePortable(std::size_t n, std::size_t from, std::size_t to, double* zr, double* zi, double* br,
                      double* bi) {
  for (std::size_t k = from; k < to; ++k) {
    const std::size_t j = n - k;
    const double pr = 0.5 * (zr[k] + zr[j]);
    const double pi = 0.5 * (zi[k] - zi[j]);
    const double qr = 0.5 * (zi[k] + zi[j]);
    const double qi = 0.5 * (zr[j] - zr[k]);
    zr[k] = pr;
    zi[k] = pi;
    zr[j] = pr;
    zi[j] = -pi;
    br[k] = qr;
    bi[k] = qi;
    br[j] = qr;
    bi[j] = -qi;
  }
}

// Inverse pair: bins m and 2n - m of Z = FullA + i FullB for m in [from, n), where FullA and
// FullB mirror the half spectra (a and b) conjugately.
void PackPortable(std::size_t n, std::size_t from, const double* ar, const double* ai, const double* br,
                  const double* bi, double* zr, double* zi) {
  for (std::size_t m = from; m < n; ++m) {
    zr[m] = ar[m] - bi[m];
    zi[m] = ai[m] + br[m];
    zr[2 * n - m] = ar[m] + bi[m];
    zi[2 * n - m] = br[m] - ai[m];
  }
}

// ------------------------------------------------------------------ AVX2 + FMA kernels

struct V2 {
  __m256d r, i;
};

MEROLUNE_AVX2_FMA inline V2 Load(const double* re, const double* im, std::size_t k) {
  return {_mm256_loadu_pd(re + k), _mm256_loadu_pd(im + k)};
}
MEROLUNE_AVX2_FMA inline void Store(double* re, double* im, std::size_t k, V2 v) {
  _mm256_storeu_pd(re + k, v.r);
  _mm256_storeu_pd(im + k, v.i);
}
MEROLUNE_AVX2_FMA inline V2 Add(V2 a, V2 b) { return {_mm256_add_pd(a.r, b.r), _mm256_add_pd(a.i, b.i)}; }
MEROLUNE_AVX2_FMA inline V2 Sub(V2 a, V2 b) { return {_mm256_sub_pd(a.r, b.r), _mm256_sub_pd(a.i, b.i)}; }
// -i (a - b)
MEROLUNE_AVX2_FMA inline V2 SubTimesMinusI(V2 a, V2 b) {
  return {_mm256_sub_pd(a.i, b.i), _mm256_sub_pd(b.r, a.r)};
}
MEROLUNE_AVX2_FMA inline V2 Mul(V2 a, __m256d wr, __m256d wi) {
  return {_mm256_fmsub_pd(a.r, wr, _mm256_mul_pd(a.i, wi)), _mm256_fmadd_pd(a.r, wi, _mm256_mul_pd(a.i, wr))};
}
MEROLUNE_AVX2_FMA inline V2 Scale(V2 a, __m256d k) { return {_mm256_mul_pd(a.r, k), _mm256_mul_pd(a.i, k)}; }

// Rows r0..r3 (lane j = element j) become columns: out_j = (r0[j], r1[j], r2[j], r3[j]).
MEROLUNE_AVX2_FMA inline void Transpose4(__m256d& r0, __m256d& r1, __m256d& r2, __m256d& r3) {
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  r0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  r1 = _mm256_permute2f128_pd(t1, t3, 0x20);
  r2 = _mm256_permute2f128_pd(t0, t2, 0x31);
  r3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// The first pass (s = 1): vectorised over p, four butterflies at a time, whose outputs
// Y[4p + r] are transposed into contiguous stores.
MEROLUNE_AVX2_FMA void FirstPassAvx2(const Pass& pass, const double* xr, const double* xi, double* yr,
                                 double* yi) {
  const auto m = static_cast<std::size_t>(pass.m);
  for (std::size_t p = 0; p < m; p += 4) {
    const double* t = pass.twiddles + p / 4 * kTwiddleGroup;
    const V2 a = Load(xr, xi, p), b = Load(xr, xi, p + m), c = Load(xr, xi, p + 2 * m),
             d = Load(xr, xi, p + 3 * m);
    const V2 t0 = Add(a, c), t1 = Sub(a, c), t2 = Add(b, d), t3 = SubTimesMinusI(b, d);
    V2 y0 = Add(t0, t2);
    V2 y1 = Mul(Add(t1, t3), _mm256_load_pd(t), _mm256_load_pd(t + 4));
    V2 y2 = Mul(Sub(t0, t2), _mm256_load_pd(t + 8), _mm256_load_pd(t + 12));
    V2 y3 = Mul(Sub(t1, t3), _mm256_load_pd(t + 16), _mm256_load_pd(t + 20));
    Transpose4(y0.r, y1.r, y2.r, y3.r);
    Transpose4(y0.i, y1.i, y2.i, y3.i);
    Store(yr, yi, 4 * p, y0);
    Store(yr, yi, 4 * p + 4, y1);
    Store(yr, yi, 4 * p + 8, y2);
    Store(yr, yi, 4 * p + 12, y3);
  }
}

// Passes with s >= 4: vectorised over q with the twiddles of p broadcast.
MEROLUNE_AVX2_FMA void MiddlePassAvx2(const Pass& pass, const double* xr, const double* xi, double* yr,
                                  double* yi) {
  const auto m = static_cast<std::size_t>(pass.m);
  const auto s = static_cast<std::size_t>(pass.s);
  const std::size_t quarter = s * m;
  for (std::size_t p = 0; p < m; ++p) {
    const double* t = pass.twiddles + p / 4 * kTwiddleGroup + p % 4;
    const __m256d w1r = _mm256_broadcast_sd(t), w1i = _mm256_broadcast_sd(t + 4);
    const __m256d w2r = _mm256_broadcast_sd(t + 8), w2i = _mm256_broadcast_sd(t + 12);
    const __m256d w3r = _mm256_broadcast_sd(t + 16), w3i = _mm256_broadcast_sd(t + 20);
    const std::size_t in = s * p, out = 4 * in;
    for (std::size_t q = 0; q < s; q += 4) {
      const std::size_t ia = in + q;
      const V2 a = Load(xr, xi, ia), b = Load(xr, xi, ia + quarter), c = Load(xr, xi, ia + 2 * quarter),
               d = Load(xr, xi, ia + 3 * quarter);
      const V2 t0 = Add(a, c), t1 = Sub(a, c), t2 = Add(b, d), t3 = SubTimesMinusI(b, d);
      const std::size_t o = out + q;
      Store(yr, yi, o, Add(t0, t2));
      Store(yr, yi, o + s, Mul(Add(t1, t3), w1r, w1i));
      Store(yr, yi, o + 2 * s, Mul(Sub(t0, t2), w2r, w2i));
      Store(yr, yi, o + 3 * s, Mul(Sub(t1, t3), w3r, w3i));
    }
  }
}

MEROLUNE_AVX2_FMA void Final4Avx2(std::size_t s, double scale, const double* xr, const double* xi, double* yr,
                              double* yi) {
  const __m256d k = _mm256_set1_pd(scale);
  for (std::size_t q = 0; q < s; q += 4) {
    const V2 a = Load(xr, xi, q), b = Load(xr, xi, q + s), c = Load(xr, xi, q + 2 * s),
             d = Load(xr, xi, q + 3 * s);
    const V2 t0 = Add(a, c), t1 = Sub(a, c), t2 = Add(b, d), t3 = SubTimesMinusI(b, d);
    Store(yr, yi, q, Scale(Add(t0, t2), k));
    Store(yr, yi, q + s, Scale(Add(t1, t3), k));
    Store(yr, yi, q + 2 * s, Scale(Sub(t0, t2), k));
    Store(yr, yi, q + 3 * s, Scale(Sub(t1, t3), k));
  }
}

MEROLUNE_AVX2_FMA void Final8Avx2(std::size_t s, double scale, const double* xr, const double* xi, double* yr,
                              double* yi) {
  const __m256d k = _mm256_set1_pd(scale);
  const __m256d h = _mm256_set1_pd(kSqrtHalf);
  for (std::size_t q = 0; q < s; q += 4) {
    V2 a[4], b[4];
    for (std::size_t j = 0; j < 4; ++j) {
      const V2 lo = Load(xr, xi, q + j * s), hi = Load(xr, xi, q + (j + 4) * s);
      a[j] = Add(lo, hi);
      b[j] = Sub(lo, hi);
    }
    // b[j] *= w8^j: w8 = (1 - i)/sqrt2, w8^2 = -i, w8^3 = -(1 + i)/sqrt2.
    b[1] = {_mm256_mul_pd(_mm256_add_pd(b[1].r, b[1].i), h), _mm256_mul_pd(_mm256_sub_pd(b[1].i, b[1].r), h)};
    b[2] = {b[2].i, _mm256_sub_pd(_mm256_setzero_pd(), b[2].r)};
    b[3] = {_mm256_mul_pd(_mm256_sub_pd(b[3].i, b[3].r), h),
            _mm256_mul_pd(_mm256_sub_pd(_mm256_setzero_pd(), _mm256_add_pd(b[3].r, b[3].i)), h)};
    const V2* halves[2] = {a, b};
    for (std::size_t e = 0; e < 2; ++e) {
      const V2* v = halves[e];
      const V2 t0 = Add(v[0], v[2]), t1 = Sub(v[0], v[2]), t2 = Add(v[1], v[3]), t3 = SubTimesMinusI(v[1], v[3]);
      Store(yr, yi, q + e * s, Scale(Add(t0, t2), k));
      Store(yr, yi, q + (e + 2) * s, Scale(Add(t1, t3), k));
      Store(yr, yi, q + (e + 4) * s, Scale(Sub(t0, t2), k));
      Store(yr, yi, q + (e + 6) * s, Scale(Sub(t1, t3), k));
    }
  }
}

MEROLUNE_AVX2_FMA inline __m256d Reverse(__m256d v) { return _mm256_permute4x64_pd(v, 0x1B); }

// SeparatePortable four pairs at a time from k = 1 on, the high bins loaded and stored reversed;
// the same operations, so the same results. Returns where the portable loop takes over.
MEROLUNE_AVX2_FMA std::size_t SeparateAvx2(std::size_t n, std::size_t to, double* zr, double* zi, double* br,
                                       double* bi) {
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d zero = _mm256_setzero_pd();
  std::size_t k = 1;
  for (; k + 4 <= to; k += 4) {
    const std::size_t j = n - k - 3;  // bins n - k - 3 .. n - k, lane order reversed
    const __m256d zkr = _mm256_loadu_pd(zr + k), zki = _mm256_loadu_pd(zi + k);
    const __m256d zjr = Reverse(_mm256_loadu_pd(zr + j)), zji = Reverse(_mm256_loadu_pd(zi + j));
    const __m256d pr = _mm256_mul_pd(half, _mm256_add_pd(zkr, zjr));
    const __m256d pi = _mm256_mul_pd(half, _mm256_sub_pd(zki, zji));
    const __m256d qr = _mm256_mul_pd(half, _mm256_add_pd(zki, zji));
    const __m256d qi = _mm256_mul_pd(half, _mm256_sub_pd(zjr, zkr));
    _mm256_storeu_pd(zr + k, pr);
    _mm256_storeu_pd(zi + k, pi);
    _mm256_storeu_pd(zr + j, Reverse(pr));
    _mm256_storeu_pd(zi + j, Reverse(_mm256_sub_pd(zero, pi)));
    _mm256_storeu_pd(br + k, qr);
    _mm256_storeu_pd(bi + k, qi);
    _mm256_storeu_pd(br + j, Reverse(qr));
    _mm256_storeu_pd(bi + j, Reverse(_mm256_sub_pd(zero, qi)));
  }
  return k;
}

// PackPortable four bins at a time from m = 1 on. Returns where the portable loop takes over.
MEROLUNE_AVX2_FMA std::size_t PackAvx2(std::size_t n, const double* ar, const double* ai, const double* br,
                                   const double* bi, double* zr, double* zi) {
  std::size_t m = 1;
  for (; m + 4 <= n; m += 4) {
    const __m256d vr = _mm256_loadu_pd(ar + m), vi = _mm256_loadu_pd(ai + m);
    const __m256d wr = _mm256_loadu_pd(br + m), wi = _mm256_loadu_pd(bi + m);
    _mm256_storeu_pd(zr + m, _mm256_sub_pd(vr, wi));
    _mm256_storeu_pd(zi + m, _mm256_add_pd(vi, wr));
    const std::size_t mirror = 2 * n - m - 3;  // bins 2n - m - 3 .. 2n - m, lane order reversed
    _mm256_storeu_pd(zr + mirror, Reverse(_mm256_add_pd(vr, wi)));
    _mm256_storeu_pd(zi + mirror, Reverse(_mm256_sub_pd(wr, vi)));
  }
  return m;
}

// ------------------------------------------------------------------ transforms

// The vector kernels need at least four butterflies per pass along the vectorised index, which
// holds from 32 points on; smaller transforms are too short for vectors to pay anyway.
constexpr int kMinVectorSize = 32;

// Forward DFT of n = 2^log2n points on (re, im), each output times `scale`.
void StockhamTransform(int log2n, double* re, double* im, double scale) {
  const Plan& plan = PlanFor(log2n);
  const int n = plan.n;
  const bool vector = n >= kMinVectorSize && UseAvx2Fma();
  double* scratch = plan.passes.empty() ? nullptr : Scratch(n);
  const double* inR = re;
  const double* inI = im;
  double* outR = scratch;
  double* outI = scratch != nullptr ? scratch + n : nullptr;
  for (const Pass& pass : plan.passes) {
    if (!vector) {
      PassPortable(pass, inR, inI, outR, outI);
    } else if (pass.s == 1) {
      FirstPassAvx2(pass, inR, inI, outR, outI);
    } else {
      MiddlePassAvx2(pass, inR, inI, outR, outI);
    }
    inR = outR;
    inI = outI;
    outR = outR == re ? scratch : re;
    outI = outI == im ? scratch + n : im;
  }
  const int s = n / plan.finalRadix;
  if (plan.finalRadix == 1) {
    if (scale != 1.0) {
      re[0] *= scale;
      im[0] *= scale;
    }
  } else if (vector && plan.finalRadix == 4) {
    Final4Avx2(static_cast<std::size_t>(s), scale, inR, inI, re, im);
  } else if (vector && plan.finalRadix == 8) {
    Final8Avx2(static_cast<std::size_t>(s), scale, inR, inI, re, im);
  } else if (plan.finalRadix == 2) {
    Final2Portable(static_cast<std::size_t>(s), scale, inR, inI, re, im);
  } else if (plan.finalRadix == 4) {
    Final4Portable(static_cast<std::size_t>(s), scale, inR, inI, re, im);
  } else {
    Final8Portable(static_cast<std::size_t>(s), scale, inR, inI, re, im);
  }
}

// Any n: the defining sum, accumulated in extended precision. Only sizes that are not powers of
// two come here, which the program never uses, so O(n^2) is acceptable.
void DirectTransform(int n, double* x, double* y, bool inverse) {
  const auto size = static_cast<std::size_t>(n);
  std::vector<long double> cosines(size), sines(size);
  for (std::size_t k = 0; k < size; ++k) {
    const long double angle = kTwoPi * static_cast<long double>(k) / static_cast<long double>(n);
    cosines[k] = std::cos(angle);
    sines[k] = inverse ? std::sin(angle) : -std::sin(angle);
  }
  const std::vector<double> inR(x, x + size), inI(y, y + size);
  const long double scale = inverse ? 1.0L / static_cast<long double>(n) : 1.0L;
  for (std::size_t k = 0; k < size; ++k) {
    long double sumR = 0, sumI = 0;
    std::size_t index = 0;  // k t mod n
    for (std::size_t t = 0; t < size; ++t) {
      sumR += inR[t] * cosines[index] - inI[t] * sines[index];
      sumI += inR[t] * sines[index] + inI[t] * cosines[index];
      index += k;
      if (index >= size) index -= size;
    }
    x[k] = static_cast<double>(sumR * scale);
    y[k] = static_cast<double>(sumI * scale);
  }
}

}  // namespace

void SplitRadixForward(int n, double* x, double* y) {
  if (n <= 1) return;
  if (IsPowerOfTwo(n)) {
    StockhamTransform(Log2(n), x, y, 1.0);
  } else {
    DirectTransform(n, x, y, false);
  }
}

void Radix2Transform(int n, double* x, double* y, bool inverse) {
  if (!inverse) {
    SplitRadixForward(n, x, y);
    return;
  }
  if (n <= 0) return;
  if (IsPowerOfTwo(n)) {
    // Swapping the real and imaginary arrays turns the forward transform into the unscaled
    // inverse: swap(v) = i conj(v), and FFT(i conj(X)) = i conj(n IDFT(X)).
    StockhamTransform(Log2(n), y, x, 1.0 / n);
  } else {
    DirectTransform(n, x, y, true);
  }
}

void Radix2Inverse(int n, double* x, double* y) { Radix2Transform(n, x, y, true); }

bool IsPowerOfRadix(int n, int radix) {
  if (n <= 0 || radix <= 0) return true;
  // Rounding the quotient to double makes an exact power come out as a whole number even when
  // the extended-precision logarithms are off in their last bits.
  const auto q = static_cast<double>(std::log10(static_cast<long double>(n)) /
                                     std::log10(static_cast<long double>(radix)));
  return std::fabs(q - std::trunc(q)) <= 1e-16;
}

namespace detail {

void SeparateSpectra(std::size_t n, double* zr, double* zi, double* br, double* bi) {
  const std::size_t to = (n + 1) / 2;
  const std::size_t k = UseAvx2Fma() ? SeparateAvx2(n, to, zr, zi, br, bi) : 1;
  SeparatePortable(n, k, to, zr, zi, br, bi);
}

void PackSpectra(std::size_t n, const double* ar, const double* ai, const double* br, const double* bi, double* zr,
                 double* zi) {
  const std::size_t m = UseAvx2Fma() ? PackAvx2(n, ar, ai, br, bi, zr, zi) : 1;
  PackPortable(n, m, ar, ai, br, bi, zr, zi);
}

}  // namespace detail

}  // namespace merolune
