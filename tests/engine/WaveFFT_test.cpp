// The transforms and the FFT objects against naive DFTs and literal extended-precision references.
#include "WaveFFT.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Exception.h"
#include "SimdPath.h"
#include "Reference.h"

namespace merolune {
namespace {

using LongVec = std::vector<long double>;

constexpr long double kTwoPiL = 6.283185307179586476925286766559005768L;
constexpr double kPi = std::numbers::pi;

// Our transforms must agree with the extended-precision references to this fraction of the
// reference's largest component. Double rounding in an n log n algorithm gives about
// 1e-16 * log2(n) * a small constant; 1e-12 leaves room for that at every size and still
// catches a wrong twiddle or a misplaced butterfly, which show up at the 1e-3 level or worse.
constexpr double kTransformTolerance = 1e-12;
// Against the defining sum we hold ourselves to more: the error of a well-made FFT grows at most
// like log2(n) ulps (measured at 1e-16 to 3e-16 up to 32768 points); 16 ulps of the largest
// value covers n = 2^15 with a margin.
constexpr double kDefiningSumTolerance = 16 * 2.2e-16;

// --------------------------------------------------------------------------- references

// The bit-reversal permutation of the split-radix and radix-2 routines, step by step.
void LiteralBitReverse(int n, LongVec& x, LongVec& y) {
  int j = 0;
  for (int i = 1; i <= n - 2; ++i) {
    int k = n / 2;
    j ^= k;
    while (k > j) {
      k /= 2;
      j ^= k;
    }
    if (i < j) {
      std::swap(x[static_cast<std::size_t>(i)], x[static_cast<std::size_t>(j)]);
      std::swap(y[static_cast<std::size_t>(i)], y[static_cast<std::size_t>(j)]);
    }
  }
}

// The slow reference for Radix2Transform: the radix-2 decimation-in-time transform in its plain
// form (bit reversal first, then butterflies with twiddles from cos/sin of k theta; the inverse
// form divides by n at the end), in extended precision.
void LiteralRadix2(int n, LongVec& x, LongVec& y, bool inverse) {
  LiteralBitReverse(n, x, y);
  long double theta = static_cast<double>(n * static_cast<double>(-kTwoPiL / n));
  if (inverse) theta = -theta;
  for (int m = 1; 2 * m <= n; m *= 2) {
    theta /= 2;
    for (int k = 0; k < m; ++k) {
      const long double c = std::cos(k * theta), s = std::sin(k * theta);
      for (int t = k; t < n; t += 2 * m) {
        const auto lo = static_cast<std::size_t>(t), hi = static_cast<std::size_t>(t + m);
        const long double tr = c * x[hi] - s * y[hi];
        const long double ti = c * y[hi] + s * x[hi];
        x[hi] = x[lo] - tr;
        y[hi] = y[lo] - ti;
        x[lo] += tr;
        y[lo] += ti;
      }
    }
  }
  if (inverse) {
    for (std::size_t t = 0; t < x.size(); ++t) {
      x[t] /= n;
      y[t] /= n;
    }
  }
}

// Series of the modified Bessel function: sum ((x/2)^k / k!)^2, accurate in extended precision.
long double BesselI0Series(long double x) {
  long double term = 1, sum = 1;
  for (int k = 1; k < 500; ++k) {
    term *= (x / 2) / k;
    sum += term * term;
  }
  return sum;
}

// --------------------------------------------------------------------------- helpers

std::vector<double> RandomBlock(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& value : v) value = uniform(random);
  return v;
}

LongVec Widen(const double* v, std::size_t n) { return LongVec(v, v + n); }

// Largest |ours - reference| over both parts, divided by the reference's largest component.
double RelativeError(const double* re, const double* im, const LongVec& refRe, const LongVec& refIm) {
  long double worst = 0, scale = 0;
  for (std::size_t k = 0; k < refRe.size(); ++k) {
    worst = std::max({worst, std::fabs(re[k] - refRe[k]), std::fabs(im[k] - refIm[k])});
    scale = std::max({scale, std::fabs(refRe[k]), std::fabs(refIm[k])});
  }
  return static_cast<double>(scale > 0 ? worst / scale : worst);
}

// A pair of split arrays with guard values before and after, placed one double past a 64-byte
// boundary so that the vector kernels see unaligned addresses.
class GuardedArrays {
 public:
  static constexpr std::size_t kGuard = 9;
  static constexpr double kSentinel = -7.25e77;

  explicit GuardedArrays(std::size_t n) : n_(n), re_(n + 2 * kGuard, kSentinel), im_(n + 2 * kGuard, kSentinel) {}

  double* Re() { return re_.data() + kGuard; }
  double* Im() { return im_.data() + kGuard; }
  void Fill(const std::vector<double>& re, const std::vector<double>& im) {
    std::copy(re.begin(), re.end(), Re());
    std::copy(im.begin(), im.end(), Im());
  }
  bool GuardsIntact() const {
    for (std::size_t g = 0; g < kGuard; ++g) {
      for (const auto* v : {&re_, &im_}) {
        if ((*v)[g] != kSentinel || (*v)[kGuard + n_ + g] != kSentinel) return false;
      }
    }
    return true;
  }

 private:
  std::size_t n_;
  std::vector<double> re_, im_;
};

template <class F>
void ExpectThrowsWith(F&& f, const char* message) {
  try {
    f();
    ADD_FAILURE() << "expected Exception(\"" << message << "\")";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), message);
  }
}

void NoTransform(int, double*, double*) {}

std::string PathName(SimdPath path) {
  switch (path) {
    case SimdPath::kAuto: return "Auto";
    case SimdPath::kPortable: return "Portable";
    case SimdPath::kAvx2Fma: return "Avx2Fma";
  }
  return "Unknown";
}

using PathAndSize = std::tuple<SimdPath, int>;

std::string PathAndLog2SizeName(const ::testing::TestParamInfo<PathAndSize>& param) {
  return PathName(std::get<0>(param.param)) + "_n" + std::to_string(1 << std::get<1>(param.param));
}

std::string PathAndSizeName(const ::testing::TestParamInfo<PathAndSize>& param) {
  return PathName(std::get<0>(param.param)) + "_n" + std::to_string(std::get<1>(param.param));
}

// Runs each test on one kernel path and restores automatic selection afterwards.
class KernelPathFixture {
 protected:
  bool Select(SimdPath path) { return SelectSimdPath(path); }
  ~KernelPathFixture() { SelectSimdPath(SimdPath::kAuto); }
};

// --------------------------------------------------------------------------- the references

TEST(WaveFFTReferences, LiteralSplitRadixAndRadix2AgreeWithTheDefiningSum) {
  for (int n : {1, 2, 4, 8, 16, 64, 256}) {
    const auto size = static_cast<std::size_t>(n);
    const std::vector<double> re = RandomBlock(size, 1), im = RandomBlock(size, 2);
    LongVec sr = Widen(re.data(), size), si = Widen(im.data(), size);
    LongVec rr = sr, ri = si, nr = sr, ni = si;
    test::ReferenceForward(sr, si);
    LiteralRadix2(n, rr, ri, false);
    test::NaiveDft(nr, ni, false);
    for (std::size_t k = 0; k < size; ++k) {
      EXPECT_NEAR(static_cast<double>(sr[k]), static_cast<double>(nr[k]), 1e-13) << "n=" << n << " k=" << k;
      EXPECT_NEAR(static_cast<double>(si[k]), static_cast<double>(ni[k]), 1e-13) << "n=" << n << " k=" << k;
      EXPECT_NEAR(static_cast<double>(rr[k]), static_cast<double>(nr[k]), 1e-13) << "n=" << n << " k=" << k;
      EXPECT_NEAR(static_cast<double>(ri[k]), static_cast<double>(ni[k]), 1e-13) << "n=" << n << " k=" << k;
    }
  }
}

// --------------------------------------------------------------------------- transforms

class WaveFFTAccuracy : public KernelPathFixture,
                          public ::testing::TestWithParam<PathAndSize> {
 protected:
  void SetUp() override {
    if (!Select(std::get<0>(GetParam()))) GTEST_SKIP() << "processor lacks this kernel path";
    n_ = 1 << std::get<1>(GetParam());
    size_ = static_cast<std::size_t>(n_);
    re_ = RandomBlock(size_, 100 + size_);
    im_ = RandomBlock(size_, 200 + size_);
  }
  int n_ = 0;
  std::size_t size_ = 0;
  std::vector<double> re_, im_;
};

TEST_P(WaveFFTAccuracy, ForwardMatchesLiteralSplitRadixAndLeavesGuardsAlone) {
  GuardedArrays a(size_);
  a.Fill(re_, im_);
  SplitRadixForward(n_, a.Re(), a.Im());
  LongVec rr = Widen(re_.data(), size_), ri = Widen(im_.data(), size_);
  test::ReferenceForward(rr, ri);
  EXPECT_LT(RelativeError(a.Re(), a.Im(), rr, ri), kTransformTolerance);
  EXPECT_TRUE(a.GuardsIntact());
}

// The O(n^2) defining sum is too slow past 8192 points; the literal references cover the rest.
class WaveFFTDefiningSum : public WaveFFTAccuracy {};

TEST_P(WaveFFTDefiningSum, ForwardMatchesDefiningSum) {
  std::vector<double> re = re_, im = im_;
  SplitRadixForward(n_, re.data(), im.data());
  LongVec rr = Widen(re_.data(), size_), ri = Widen(im_.data(), size_);
  test::NaiveDft(rr, ri, false);
  EXPECT_LT(RelativeError(re.data(), im.data(), rr, ri), kDefiningSumTolerance);
}

TEST_P(WaveFFTAccuracy, InverseMatchesLiteralRadix2AndLeavesGuardsAlone) {
  GuardedArrays a(size_);
  a.Fill(re_, im_);
  Radix2Transform(n_, a.Re(), a.Im(), true);
  LongVec rr = Widen(re_.data(), size_), ri = Widen(im_.data(), size_);
  LiteralRadix2(n_, rr, ri, true);
  EXPECT_LT(RelativeError(a.Re(), a.Im(), rr, ri), kTransformTolerance);
  EXPECT_TRUE(a.GuardsIntact());
}

TEST_P(WaveFFTDefiningSum, InverseRoutineMatchesDefiningSum) {
  std::vector<double> re = re_, im = im_;
  Radix2Inverse(n_, re.data(), im.data());
  LongVec rr = Widen(re_.data(), size_), ri = Widen(im_.data(), size_);
  test::NaiveDft(rr, ri, true);
  EXPECT_LT(RelativeError(re.data(), im.data(), rr, ri), kDefiningSumTolerance);
}

TEST_P(WaveFFTAccuracy, Radix2ForwardFormMatchesLiteralRadix2) {
  GuardedArrays a(size_);
  a.Fill(re_, im_);
  Radix2Transform(n_, a.Re(), a.Im(), false);
  LongVec rr = Widen(re_.data(), size_), ri = Widen(im_.data(), size_);
  LiteralRadix2(n_, rr, ri, false);
  EXPECT_LT(RelativeError(a.Re(), a.Im(), rr, ri), kTransformTolerance);
  EXPECT_TRUE(a.GuardsIntact());
}

TEST_P(WaveFFTAccuracy, ForwardThenInverseRestoresTheInput) {
  std::vector<double> re = re_, im = im_;
  SplitRadixForward(n_, re.data(), im.data());
  Radix2Inverse(n_, re.data(), im.data());
  for (std::size_t t = 0; t < size_; ++t) {
    EXPECT_NEAR(re[t], re_[t], 1e-13) << "t=" << t;
    EXPECT_NEAR(im[t], im_[t], 1e-13) << "t=" << t;
  }
}

INSTANTIATE_TEST_SUITE_P(AllPowersOfTwoUpTo32768, WaveFFTAccuracy,
                         ::testing::Combine(::testing::Values(SimdPath::kPortable, SimdPath::kAvx2Fma),
                                            ::testing::Range(0, 16)),
                         PathAndLog2SizeName);
INSTANTIATE_TEST_SUITE_P(PowersOfTwoUpTo8192, WaveFFTDefiningSum,
                         ::testing::Combine(::testing::Values(SimdPath::kPortable, SimdPath::kAvx2Fma),
                                            ::testing::Range(0, 14)),
                         PathAndLog2SizeName);

TEST(WaveFFTTransforms, SizesOfOneOrLessAreLeftUnchanged) {
  double re[2] = {3.5, 7.0}, im[2] = {-1.25, 9.0};
  SplitRadixForward(1, re, im);
  SplitRadixForward(0, re, im);
  SplitRadixForward(-4, re, im);
  Radix2Transform(0, re, im, true);
  Radix2Transform(1, re, im, true);
  EXPECT_EQ(re[0], 3.5);
  EXPECT_EQ(im[0], -1.25);
  EXPECT_EQ(re[1], 7.0);
  EXPECT_EQ(im[1], 9.0);
}

TEST(WaveFFTTransforms, SizesThatAreNotPowersOfTwoGiveTheDefiningSum) {
  for (int n : {3, 6, 7, 12, 27, 100}) {
    const auto size = static_cast<std::size_t>(n);
    const std::vector<double> re0 = RandomBlock(size, 7), im0 = RandomBlock(size, 8);
    for (const bool inverse : {false, true}) {
      GuardedArrays a(size);
      a.Fill(re0, im0);
      if (inverse) {
        Radix2Inverse(n, a.Re(), a.Im());
      } else {
        SplitRadixForward(n, a.Re(), a.Im());
      }
      LongVec rr = Widen(re0.data(), size), ri = Widen(im0.data(), size);
      test::NaiveDft(rr, ri, inverse);
      EXPECT_LT(RelativeError(a.Re(), a.Im(), rr, ri), 1e-15) << "n=" << n << " inverse=" << inverse;
      EXPECT_TRUE(a.GuardsIntact());
    }
  }
}

TEST(WaveFFTTransforms, KernelPathsAgreeToRounding) {
  const SimdPath automatic = ActiveSimdPath();
  if (!SelectSimdPath(SimdPath::kAvx2Fma)) GTEST_SKIP() << "processor lacks AVX2 and FMA";
  const std::size_t n = 8192;
  const std::vector<double> re0 = RandomBlock(n, 31), im0 = RandomBlock(n, 32);
  std::vector<double> vr = re0, vi = im0, pr = re0, pi = im0;
  SplitRadixForward(8192, vr.data(), vi.data());
  ASSERT_TRUE(SelectSimdPath(SimdPath::kPortable));
  EXPECT_EQ(ActiveSimdPath(), SimdPath::kPortable);
  SplitRadixForward(8192, pr.data(), pi.data());
  SelectSimdPath(SimdPath::kAuto);
  EXPECT_EQ(ActiveSimdPath(), automatic);
  for (std::size_t k = 0; k < n; ++k) {
    ASSERT_NEAR(vr[k], pr[k], 1e-11) << k;
    ASSERT_NEAR(vi[k], pi[k], 1e-11) << k;
  }
}

TEST(WaveFFTTransforms, ConcurrentFirstUsesOfNewSizesGiveTheSameResultsAsOneThread) {
  const std::vector<double> re0 = RandomBlock(1 << 15, 41), im0 = RandomBlock(1 << 15, 42);
  auto run = [&](int log2n) {
    const auto size = static_cast<std::size_t>(1) << log2n;
    std::vector<double> re(re0.begin(), re0.begin() + static_cast<std::ptrdiff_t>(size));
    std::vector<double> im(im0.begin(), im0.begin() + static_cast<std::ptrdiff_t>(size));
    SplitRadixForward(1 << log2n, re.data(), im.data());
    Radix2Inverse(1 << log2n, re.data(), im.data());
    SplitRadixForward(1 << log2n, re.data(), im.data());
    re.insert(re.end(), im.begin(), im.end());
    return re;
  };
  constexpr int kThreads = 4;
  std::vector<std::vector<std::vector<double>>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 16; ++i) results[static_cast<std::size_t>(t)].push_back(run((i + 5 * t) % 16));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(results[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)], run((i + 5 * t) % 16))
          << "thread " << t << " size 2^" << (i + 5 * t) % 16;
    }
  }
}

// --------------------------------------------------------------------------- module functions

TEST(WaveFFTIsPowerOfRadix, AcceptsPowersAndRejectsOtherSizes) {
  EXPECT_FALSE(IsPowerOfRadix(1000, 2));
  EXPECT_TRUE(IsPowerOfRadix(1024, 2));
  EXPECT_TRUE(IsPowerOfRadix(1, 2));
  EXPECT_TRUE(IsPowerOfRadix(2, 2));
  EXPECT_FALSE(IsPowerOfRadix(3, 2));
  EXPECT_TRUE(IsPowerOfRadix(1 << 30, 2));
  EXPECT_FALSE(IsPowerOfRadix((1 << 30) - 1, 2));
  EXPECT_FALSE(IsPowerOfRadix((1 << 30) + 1, 2));
  EXPECT_TRUE(IsPowerOfRadix(1000, 10));
  EXPECT_TRUE(IsPowerOfRadix(27, 3));
  EXPECT_FALSE(IsPowerOfRadix(26, 3));
  EXPECT_TRUE(IsPowerOfRadix(59049, 3));
}

TEST(WaveFFTIsPowerOfRadix, NonPositiveSizeOrRadixTurnsTheCheckOff) {
  EXPECT_TRUE(IsPowerOfRadix(0, 2));
  EXPECT_TRUE(IsPowerOfRadix(-8, 2));
  EXPECT_TRUE(IsPowerOfRadix(1000, 0));
  EXPECT_TRUE(IsPowerOfRadix(1000, -3));
}

TEST(WaveFFTIsPowerOfRadix, RadixOneAcceptsNoPositiveSize) {
  // log(n) / log(1) is infinite or undefined, never a whole number.
  EXPECT_FALSE(IsPowerOfRadix(1, 1));
  EXPECT_FALSE(IsPowerOfRadix(8, 1));
}

TEST(WaveFFTWrapAngle, FoldsAnglesIntoMinusPiToPi) {
  EXPECT_NEAR(WrapAngle(3 * kPi / 2), -kPi / 2, 1e-15);
  EXPECT_EQ(WrapAngle(0.0), 0.0);
  EXPECT_NEAR(WrapAngle(5 * kPi / 2), kPi / 2, 1e-15);
  EXPECT_NEAR(WrapAngle(-kPi / 2), -kPi / 2, 1e-15);
  EXPECT_NEAR(WrapAngle(kPi / 2 + 2 * kPi * 10), kPi / 2, 1e-13);
  EXPECT_NEAR(WrapAngle(0.25), 0.25, 1e-15);
  EXPECT_NEAR(WrapAngle(-3.0), -3.0, 1e-15);
}

TEST(WaveFFTBesselI0, IsOneAtZeroAndEven) {
  EXPECT_EQ(BesselI0(0.0), 1.0);
  for (double x : {0.5, 3.0, 3.75, 7.0, 26.703537555513243}) EXPECT_EQ(BesselI0(x), BesselI0(-x)) << x;
}

TEST(WaveFFTBesselI0, MatchesTheSeriesWithinThePolynomialsAccuracy) {
  // The two polynomials are accurate to 1.6e-7 and 1.9e-7 relative.
  for (double x = 0.0; x <= 40.0; x += 0.125) {
    const auto exact = static_cast<double>(BesselI0Series(x));
    EXPECT_NEAR(BesselI0(x) / exact, 1.0, 2e-7) << "x=" << x;
  }
}

TEST(WaveFFTBesselI0, UsesFormula981BelowThreeAndThreeQuartersAnd982FromThere) {
  const double t = 3.7 / 3.75, t2 = t * t;
  const double small = 1 + 3.5156229 * t2 + 3.0899424 * std::pow(t2, 2) + 1.2067492 * std::pow(t2, 3) +
                       0.2659732 * std::pow(t2, 4) + 0.0360768 * std::pow(t2, 5) + 0.0045813 * std::pow(t2, 6);
  EXPECT_NEAR(BesselI0(3.7), small, 1e-13 * small);
  const double u = 3.75 / 5.0;
  const double poly = 0.39894228 + 0.01328592 * u + 0.00225319 * u * u - 0.00157565 * std::pow(u, 3) +
                      0.00916281 * std::pow(u, 4) - 0.02057706 * std::pow(u, 5) + 0.02635537 * std::pow(u, 6) -
                      0.01647633 * std::pow(u, 7) + 0.00392377 * std::pow(u, 8);
  const double large = std::exp(5.0) / std::sqrt(5.0) * poly;
  EXPECT_NEAR(BesselI0(5.0), large, 1e-13 * large);
}

// --------------------------------------------------------------------------- windows

// The weights written out again from their definitions, in extended precision.
long double ReferenceWeight(TWindowType type, int n, int i) {
  const long double m = n - 1, li = i;
  const int d = i - n / 2;
  const long double c1 = std::cos(kTwoPiL * li / m), c2 = std::cos(2 * kTwoPiL * li / m);
  switch (type) {
    case TWindowType::wtHANNING: return 0.5L - 0.5L * c1;
    case TWindowType::wtHAMMING: return 0.53836L - 0.46164L * c1;
    case TWindowType::wtBLACKMAN: return 0.42L - 0.5L * c1 + 0.08L * c2;
    case TWindowType::wtBLACKMANHARRIS: return 0.423L - 0.498L * c1 + 0.0792L * c2;
    case TWindowType::wtGAUSSIAN: return std::exp(-32 * std::pow(li - 0.5L - m / 2, 2) / (m * m));
    case TWindowType::wtRECTANGULAR: return 1;
    case TWindowType::wtSINE: return std::sin(kTwoPiL * li / (2 * m));
    case TWindowType::wtCUBICSINE: return std::pow(std::sin(kTwoPiL * li / (2 * m)), 3);
    case TWindowType::wtFLATTOP: return 0.2810639L - 0.5208972L * c1 + 0.1980399L * c2;
    case TWindowType::wtKAISER: {
      const long double r = 2.0L * d / m;
      const long double beta = 26.703537555513243;
      return static_cast<long double>(BesselI0(static_cast<double>(beta * std::sqrt(std::max(0.0L, 1 - r * r))))) /
             BesselI0(static_cast<double>(beta));
    }
    case TWindowType::wtLANCZOS: {
      const long double x = kTwoPiL * d / m;
      return d == 0 ? 1 : std::sin(x) / x;
    }
    case TWindowType::wtLOGGEDSQUARESINE: {
      const long double s = std::sin(kTwoPiL * d / m);
      return d == 0 ? 1 : std::log2(s * s + 1);
    }
    case TWindowType::wtCUSTOM: return 0;
  }
  return 0;
}

const TWindowType kComputedWindows[] = {
    TWindowType::wtHANNING,      TWindowType::wtHAMMING,          TWindowType::wtBLACKMAN,
    TWindowType::wtBLACKMANHARRIS, TWindowType::wtGAUSSIAN,       TWindowType::wtRECTANGULAR,
    TWindowType::wtSINE,         TWindowType::wtCUBICSINE,        TWindowType::wtFLATTOP,
    TWindowType::wtKAISER,       TWindowType::wtLANCZOS,          TWindowType::wtLOGGEDSQUARESINE,
};

using WindowAndSize = std::tuple<TWindowType, int>;

std::string WindowAndSizeName(const ::testing::TestParamInfo<WindowAndSize>& param) {
  return "type" + std::to_string(static_cast<int>(std::get<0>(param.param))) + "_n" +
         std::to_string(std::get<1>(param.param));
}

class WaveFFTWindowShapes : public ::testing::TestWithParam<WindowAndSize> {};

TEST_P(WaveFFTWindowShapes, WeightsMatchTheirDefinitions) {
  const auto [type, n] = GetParam();
  for (int i = 0; i < n; ++i) {
    const long double expected = ReferenceWeight(type, n, i);
    // Both sides are rounded once from extended precision; allow a couple of double ulps.
    EXPECT_NEAR(WindowWeight(type, n, i, nullptr), static_cast<double>(expected), 4e-16) << "i=" << i;
  }
}

TEST_P(WaveFFTWindowShapes, ExecuteMultipliesTheBlockByTheWeights) {
  const auto [type, n] = GetParam();
  TWaveFFT fft;
  fft.SetRadix(0);
  fft.SetWindowType(type);
  fft.Transform = NoTransform;
  const std::vector<double> block = RandomBlock(static_cast<std::size_t>(n), 5);
  fft.SetData(block);
  for (int round = 0; round < 2; ++round) {  // the second round runs on the cached weights
    fft.Execute();
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i);
      EXPECT_EQ(fft.Re()[k], WindowWeight(type, n, i, nullptr) * block[k]) << "i=" << i;
      EXPECT_EQ(fft.Im()[k], 0.0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllComputedWindows, WaveFFTWindowShapes,
                         ::testing::Combine(::testing::ValuesIn(kComputedWindows), ::testing::Values(16, 33, 2048)),
                         WindowAndSizeName);

TEST(WaveFFTWindows, EndAndCentreValues) {
  const int n = 2048;
  EXPECT_EQ(WindowWeight(TWindowType::wtHANNING, n, 0, nullptr), 0.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtHANNING, n, n - 1, nullptr), 0.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtLANCZOS, n, n / 2, nullptr), 1.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtLOGGEDSQUARESINE, n, n / 2, nullptr), 1.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtKAISER, n, n / 2, nullptr), 1.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtRECTANGULAR, n, 17, nullptr), 1.0);
  EXPECT_EQ(WindowWeight(TWindowType::wtSINE, n, 0, nullptr), 0.0);
  const double custom[] = {0.25, -2.0, 8.0};
  EXPECT_EQ(WindowWeight(TWindowType::wtCUSTOM, 3, 1, custom), -2.0);
}

TEST(WaveFFTWindows, BlackmanHarrisAndFlatTopUseTheirThreeTermCoefficients) {
  const int n = 9;  // M = 8: sample 2 is a quarter turn, where cos(2 pi i / M) = 0 and cos(4 pi i / M) = -1
  EXPECT_NEAR(WindowWeight(TWindowType::wtBLACKMANHARRIS, n, 2, nullptr), 0.423 - 0.0792, 1e-16);
  EXPECT_NEAR(WindowWeight(TWindowType::wtFLATTOP, n, 2, nullptr), 0.2810639 - 0.1980399, 1e-16);
  EXPECT_NEAR(WindowWeight(TWindowType::wtBLACKMANHARRIS, n, 0, nullptr), 0.423 - 0.498 + 0.0792, 1e-16);
}

TEST(WaveFFTWindows, CustomWindowIsReadAtEveryExecute) {
  TWaveFFT fft;
  fft.SetWindowType(TWindowType::wtCUSTOM);
  fft.Transform = NoTransform;
  fft.SetData(std::vector<double>{1.0, 2.0, 3.0, 4.0});
  fft.CustomWindow() = {0.5, 0.25, 2.0, 0.0};
  fft.Execute();
  EXPECT_EQ(std::vector<double>(fft.Re(), fft.Re() + 4), (std::vector<double>{0.5, 0.5, 6.0, 0.0}));
  fft.CustomWindow()[3] = -1.0;
  fft.Execute();
  EXPECT_EQ(fft.Re()[3], -4.0);
}

TEST(WaveFFTWindows, CustomWindowShorterThanCountIsOutOfRange) {
  TWaveFFT fft;
  fft.SetWindowType(TWindowType::wtCUSTOM);
  fft.SetCount(8);
  fft.CustomWindow().resize(4);
  ExpectThrowsWith([&] { fft.Execute(); }, kIndexOutOfRange);
}

TEST(WaveFFTWindows, ChangingTypeOrCountRecomputesTheCachedWeights) {
  TWaveFFT fft;
  fft.Transform = NoTransform;
  fft.SetData(std::vector<double>(64, 1.0));
  fft.Execute();
  EXPECT_EQ(fft.Re()[5], WindowWeight(TWindowType::wtHANNING, 64, 5, nullptr));
  fft.SetWindowType(TWindowType::wtHAMMING);
  fft.Execute();
  EXPECT_EQ(fft.Re()[5], WindowWeight(TWindowType::wtHAMMING, 64, 5, nullptr));
  fft.SetData(std::vector<double>(32, 1.0));
  fft.Execute();
  EXPECT_EQ(fft.Re()[5], WindowWeight(TWindowType::wtHAMMING, 32, 5, nullptr));
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  fft.Execute();
  EXPECT_EQ(fft.Re()[5], 1.0);
  fft.SetWindowType(TWindowType::wtHAMMING);
  fft.Execute();
  EXPECT_EQ(fft.Re()[5], WindowWeight(TWindowType::wtHAMMING, 32, 5, nullptr));
}

// --------------------------------------------------------------------------- TWaveFFT

TEST(WaveFFTForwardObject, ConstructorSetsTheDefaults) {
  const TWaveFFT fft;
  EXPECT_EQ(fft.Count(), 2);
  EXPECT_EQ(fft.Radix(), 2);
  EXPECT_EQ(fft.SamplingRate(), 44100.0);
  EXPECT_FALSE(fft.Stabilize());
  EXPECT_EQ(fft.WindowType(), TWindowType::wtHANNING);
  EXPECT_EQ(fft.Transform, &SplitRadixForward);
}

TEST(WaveFFTForwardObject, CountThatIsNotAPowerOfTheRadixThrowsAndChangesNothing) {
  TWaveFFT fft;
  fft.SetCount(8);
  fft.SetBin(3, {1.5, -2.5});
  ExpectThrowsWith([&] { fft.SetCount(1000); }, kNotPowerOfRadix);
  EXPECT_EQ(fft.Count(), 8);
  EXPECT_EQ(fft.Re()[3], 1.5);
  EXPECT_EQ(fft.Im()[3], -2.5);
  for (int n : {1024, 0, 1}) {
    fft.SetCount(n);
    EXPECT_EQ(fft.Count(), n);
  }
  fft.SetRadix(0);
  fft.SetCount(1000);
  EXPECT_EQ(fft.Count(), 1000);
}

TEST(WaveFFTForwardObject, ChangingRadixDoesNotRecheckTheCount) {
  TWaveFFT fft;
  fft.SetCount(1024);
  fft.SetRadix(3);
  EXPECT_EQ(fft.Count(), 1024);
  ExpectThrowsWith([&] { fft.SetCount(512); }, kNotPowerOfRadix);
  fft.SetCount(81);
  EXPECT_EQ(fft.Count(), 81);
}

TEST(WaveFFTForwardObject, ResizeKeepsSurvivingBinsAndZeroesNewOnes) {
  TWaveFFT fft;
  fft.SetCount(8);
  for (int k = 0; k < 8; ++k) fft.SetBin(k, {k + 1.0, -k - 1.0});
  fft.SetCount(16);
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(fft.Re()[k], k < 8 ? k + 1.0 : 0.0) << k;
    EXPECT_EQ(fft.Im()[k], k < 8 ? -(k + 1.0) : 0.0) << k;
  }
  fft.SetCount(4);
  fft.SetCount(8);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(fft.Re()[k], k < 4 ? k + 1.0 : 0.0) << k;
}

TEST(WaveFFTForwardObject, SetDataOfAnotherLengthChangesCount) {
  TWaveFFT fft;
  fft.SetCount(8192);
  fft.SetData(RandomBlock(4096, 3));
  EXPECT_EQ(fft.Count(), 4096);
}

TEST(WaveFFTForwardObject, SetDataOfABadLengthThrowsBeforeCopying) {
  TWaveFFT fft;
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  fft.Transform = NoTransform;
  fft.SetData(std::vector<double>{1, 2, 3, 4});
  ExpectThrowsWith([&] { fft.SetData(std::vector<double>(6, 9.0)); }, kNotPowerOfRadix);
  EXPECT_EQ(fft.Count(), 4);
  fft.Execute();
  EXPECT_EQ(std::vector<double>(fft.Re(), fft.Re() + 4), (std::vector<double>{1, 2, 3, 4}));
}

TEST(WaveFFTForwardObject, ImpulseGivesUnitMagnitudeAndZeroPhaseInEveryReadableBin) {
  TWaveFFT fft;
  fft.SetRadix(0);
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  std::vector<double> block(2048, 0.0);
  block[0] = 1.0;
  fft.SetData(block);
  fft.Execute();
  for (int k = 0; k < 1024; ++k) {
    EXPECT_EQ(fft.Magnitude(k), 1.0) << k;
    EXPECT_EQ(fft.Phase(k), 0.0) << k;
  }
}

TEST(WaveFFTForwardObject, CosineWithWholeCyclesPeaksAtItsBin) {
  const int n = 8192, cycles = 37;
  const double amplitude = 0.75;
  std::vector<double> block(n);
  for (int t = 0; t < n; ++t) {
    block[static_cast<std::size_t>(t)] =
        amplitude * static_cast<double>(std::cos(kTwoPiL * cycles * t / n));
  }
  TWaveFFT fft;
  fft.SetRadix(0);
  fft.SetCount(n);
  fft.SetSamplingRate(48000.0);
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  fft.SetData(block);
  fft.Execute();
  for (int k = 0; k < n / 2; ++k) {
    EXPECT_NEAR(fft.Magnitude(k), k == cycles ? amplitude * n / 2 : 0.0, 1e-9) << k;
  }
  EXPECT_NEAR(fft.Phase(cycles), 0.0, 1e-12);
  EXPECT_DOUBLE_EQ(fft.Frequency(cycles), cycles * 48000.0 / n);
}

TEST(WaveFFTForwardObject, ExecuteMatchesTheLiteralTransformOfTheWindowedBlock) {
  for (int n : {2, 4, 1024, 8192}) {
    const auto size = static_cast<std::size_t>(n);
    TWaveFFT fft;
    fft.SetWindowType(TWindowType::wtBLACKMAN);
    const std::vector<double> block = RandomBlock(size, 77);
    fft.SetData(block);
    fft.Execute();
    LongVec rr(size), ri(size, 0.0L);
    for (std::size_t i = 0; i < size; ++i) {
      rr[i] = WindowWeight(TWindowType::wtBLACKMAN, n, static_cast<int>(i), nullptr) * block[i];
    }
    test::ReferenceForward(rr, ri);
    EXPECT_LT(RelativeError(fft.Re(), fft.Im(), rr, ri), kTransformTolerance) << n;
  }
}

TEST(WaveFFTForwardObject, ExecuteOnSizesThatAreNotPowersOfTwoGivesTheDefiningSum) {
  TWaveFFT fft;
  fft.SetRadix(3);
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  const std::vector<double> block = RandomBlock(27, 9);
  fft.SetData(block);
  fft.Execute();
  LongVec rr = Widen(block.data(), 27), ri(27, 0.0L);
  test::NaiveDft(rr, ri, false);
  EXPECT_LT(RelativeError(fft.Re(), fft.Im(), rr, ri), 1e-15);
}

TEST(WaveFFTForwardObject, OnlyTheLowerHalfIsReadable) {
  TWaveFFT fft;
  fft.SetCount(8192);
  EXPECT_NO_THROW(fft.Magnitude(4095));
  ExpectThrowsWith([&] { fft.Magnitude(4096); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.Phase(4096); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.RealPart(4096); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.ImagPart(4096); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.Magnitude(-1); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.RealPart(-1); }, kIndexOutOfRange);
}

TEST(WaveFFTForwardObject, AccessorsReadTheStoredBin) {
  TWaveFFT fft;
  fft.SetCount(16);
  fft.SetBin(3, {3.0, -4.0});
  EXPECT_EQ(fft.RealPart(3), 3.0);
  EXPECT_EQ(fft.ImagPart(3), -4.0);
  EXPECT_EQ(fft.Magnitude(3), 5.0);
  EXPECT_EQ(fft.Phase(3), std::atan2(-4.0, 3.0));
  fft.SetBin(5, {-1.0, 0.0});
  EXPECT_EQ(fft.Phase(5), kPi);
}

TEST(WaveFFTForwardObject, SetBinWritesTheWholeArrayAndNoFurther) {
  TWaveFFT fft;
  fft.SetCount(16);
  fft.SetBin(15, {2.0, 3.0});
  EXPECT_EQ(fft.Re()[15], 2.0);
  EXPECT_EQ(fft.Im()[15], 3.0);
  ExpectThrowsWith([&] { fft.SetBin(16, {1.0, 1.0}); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { fft.SetBin(-1, {1.0, 1.0}); }, kIndexOutOfRange);
}

TEST(WaveFFTForwardObject, FrequencyIsNegativeFromTheNyquistBinOn) {
  TWaveFFT fft;
  fft.SetCount(8192);
  EXPECT_EQ(fft.Frequency(0), 0.0);
  EXPECT_DOUBLE_EQ(fft.Frequency(100), 100 * 44100.0 / 8192);
  EXPECT_DOUBLE_EQ(fft.Frequency(4095), 4095 * 44100.0 / 8192);
  EXPECT_EQ(fft.Frequency(4096), -22050.0);
  EXPECT_DOUBLE_EQ(fft.Frequency(8191), -44100.0 / 8192);
}

TEST(WaveFFTForwardObject, StabilizeSmoothsTheLowerHalfWithThePreviousFrame) {
  TWaveFFT plain, smooth;
  smooth.SetStabilize(true);
  const std::vector<double> first = RandomBlock(64, 11), second = RandomBlock(64, 12), third = RandomBlock(64, 13);
  std::vector<double> prevRe(64, 0.0), prevIm(64, 0.0);
  for (const auto* block : {&first, &second, &third}) {
    plain.SetData(*block);
    plain.Execute();
    smooth.SetData(*block);
    smooth.Execute();
    for (std::size_t j = 0; j < 64; ++j) {
      if (j < 32) {
        const double re = std::sqrt(plain.Re()[j] * plain.Re()[j] + prevRe[j] * prevRe[j]) / std::sqrt(2.0);
        const double im = std::sqrt(plain.Im()[j] * plain.Im()[j] + prevIm[j] * prevIm[j]) / std::sqrt(2.0);
        EXPECT_NEAR(smooth.Re()[j], re, 1e-14 * (1 + re)) << j;
        EXPECT_NEAR(smooth.Im()[j], im, 1e-14 * (1 + im)) << j;
        EXPECT_GE(smooth.Re()[j], 0.0);
        EXPECT_GE(smooth.Im()[j], 0.0);
        prevRe[j] = smooth.Re()[j];
        prevIm[j] = smooth.Im()[j];
      } else {
        EXPECT_EQ(smooth.Re()[j], plain.Re()[j]) << j;
        EXPECT_EQ(smooth.Im()[j], plain.Im()[j]) << j;
      }
    }
  }
}

int g_calls = 0;
int g_lastCount = 0;
void CountingTransform(int n, double* x, double*) {
  ++g_calls;
  g_lastCount = n;
  x[0] = 42.0;
}

TEST(WaveFFTForwardObject, ExecuteRunsTheAssignedTransform) {
  TWaveFFT fft;
  fft.SetCount(16);
  fft.Transform = CountingTransform;
  g_calls = 0;
  fft.Execute();
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_lastCount, 16);
  EXPECT_EQ(fft.RealPart(0), 42.0);
}

// --------------------------------------------------------------------------- TWaveIFFT

// The full conjugate-symmetric spectrum (Nyquist bin 0) inverse-transformed by the literal
// algorithm; returns the real parts.
LongVec ReferenceInverse(const std::vector<double>& halfRe, const std::vector<double>& halfIm) {
  const std::size_t n = halfRe.size();
  LongVec re(2 * n, 0.0L), im(2 * n, 0.0L);
  for (std::size_t i = 0; i < n; ++i) {
    re[i] = halfRe[i];
    im[i] = halfIm[i];
  }
  for (std::size_t m = 1; m < n; ++m) {
    re[2 * n - m] = halfRe[m];
    im[2 * n - m] = -halfIm[m];
  }
  LiteralRadix2(static_cast<int>(2 * n), re, im, true);
  return re;
}

double RealError(const std::vector<double>& ours, const LongVec& reference) {
  long double worst = 0, scale = 0;
  for (std::size_t t = 0; t < reference.size(); ++t) {
    worst = std::max(worst, std::fabs(ours[t] - reference[t]));
    scale = std::max(scale, std::fabs(reference[t]));
  }
  return static_cast<double>(worst / scale);
}

TEST(WaveFFTInverseObject, ConstructorSetsTheDefaults) {
  const TWaveIFFT ifft;
  EXPECT_EQ(ifft.Count(), 2);
  EXPECT_EQ(ifft.Radix(), 2);
  EXPECT_FALSE(ifft.MutingCoef());
  EXPECT_EQ(ifft.Transform, &Radix2Inverse);
}

TEST(WaveFFTInverseObject, CountThatIsNotAPowerOfTheRadixThrowsAndChangesNothing) {
  TWaveIFFT ifft;
  ifft.SetCount(4);
  ExpectThrowsWith([&] { ifft.SetCount(1000); }, kNotPowerOfRadix);
  EXPECT_EQ(ifft.Count(), 4);
  std::vector<double> out(8);
  EXPECT_NO_THROW(ifft.GetRealOutput(out));
  for (int n : {1024, 0, 1}) {
    ifft.SetCount(n);
    EXPECT_EQ(ifft.Count(), n);
  }
  ifft.SetRadix(0);
  ifft.SetCount(1000);
  EXPECT_EQ(ifft.Count(), 1000);
}

// The expected values are rounded twice (the sine, then the product); ours once.
constexpr double kTwoUlps = 4.5e-16;

TEST(WaveFFTInverseObject, SetPolarConvertsToRealAndImaginaryParts) {
  TWaveIFFT ifft;
  ifft.SetCount(4);
  const std::vector<double> mags = {1.0, 2.0, 0.5, 3.0}, phases = {0.0, kPi / 2, -kPi, 1.0};
  ifft.SetPolar(mags, phases);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(ifft.HalfRe()[i], mags[i] * std::cos(phases[i]), kTwoUlps * mags[i]) << i;
    EXPECT_NEAR(ifft.HalfIm()[i], mags[i] * std::sin(phases[i]), kTwoUlps * mags[i]) << i;
  }
}

TEST(WaveFFTInverseObject, SetPolarMayConvertTheHalfSpectrumInPlace) {
  TWaveIFFT ifft;
  ifft.SetCount(4);
  const std::vector<double> mags = {1.0, 2.0, 0.5, 3.0}, phases = {0.3, kPi / 2, -2.0, 1.0};
  ifft.SetComplex(mags, phases);
  ifft.SetPolar(std::span<const double>(ifft.HalfRe(), 4), std::span<const double>(ifft.HalfIm(), 4));
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(ifft.HalfRe()[i], mags[i] * std::cos(phases[i]), kTwoUlps * mags[i]) << i;
    EXPECT_NEAR(ifft.HalfIm()[i], mags[i] * std::sin(phases[i]), kTwoUlps * mags[i]) << i;
  }
}

TEST(WaveFFTInverseObject, ShortInputOrOutputArraysAreOutOfRange) {
  TWaveIFFT ifft;
  ifft.SetCount(4);
  const std::vector<double> three(3, 1.0), four(4, 1.0);
  ExpectThrowsWith([&] { ifft.SetPolar(three, four); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { ifft.SetPolar(four, three); }, kIndexOutOfRange);
  ExpectThrowsWith([&] { ifft.SetComplex(three, four); }, kIndexOutOfRange);
  std::vector<double> out(7);
  ExpectThrowsWith([&] { ifft.GetRealOutput(out); }, kIndexOutOfRange);
}

TEST(WaveFFTInverseObject, ExecuteMatchesTheLiteralInverseOfTheMirroredSpectrum) {
  for (int n : {1, 2, 1024, 4096, 16384}) {
    const auto size = static_cast<std::size_t>(n);
    TWaveIFFT ifft;
    ifft.SetCount(n);
    const std::vector<double> re = RandomBlock(size, 21), im = RandomBlock(size, 22);
    ifft.SetComplex(re, im);
    ifft.Execute();
    std::vector<double> out(2 * size + 5, 123.0);
    ifft.GetRealOutput(out);
    EXPECT_LT(RealError(out, ReferenceInverse(re, im)), kTransformTolerance) << n;
    for (std::size_t g = 2 * size; g < out.size(); ++g) EXPECT_EQ(out[g], 123.0) << "guard " << g;
  }
}

TEST(WaveFFTInverseObject, OutputHasNoNyquistTerm) {
  // Every half-spectrum bin k < n contributes to an output whose alternating sum is zero.
  TWaveIFFT ifft;
  ifft.SetCount(256);
  ifft.SetComplex(RandomBlock(256, 23), RandomBlock(256, 24));
  ifft.Execute();
  double alternating = 0;
  for (std::size_t t = 0; t < 512; ++t) alternating += (t % 2 == 0 ? 1 : -1) * ifft.OutRe()[t];
  EXPECT_NEAR(alternating, 0.0, 1e-14);
}

TEST(WaveFFTInverseObject, MutingCoefDividesTheOutputByTwoNOnceMore) {
  TWaveIFFT plain, muted;
  muted.SetMutingCoef(true);
  for (TWaveIFFT* ifft : {&plain, &muted}) {
    ifft->SetCount(64);
    ifft->SetComplex(RandomBlock(64, 25), RandomBlock(64, 26));
    ifft->Execute();
  }
  for (std::size_t t = 0; t < 128; ++t) EXPECT_EQ(muted.OutRe()[t], plain.OutRe()[t] / 128) << t;
}

TEST(WaveFFTInverseObject, ForwardThenInverseReturnsABlockWithoutNyquistComponent) {
  const int n = 8192;
  const auto size = static_cast<std::size_t>(n);
  std::vector<double> block = RandomBlock(size, 27);
  double nyquist = 0;
  for (std::size_t t = 0; t < size; ++t) nyquist += (t % 2 == 0 ? 1 : -1) * block[t];
  for (std::size_t t = 0; t < size; ++t) block[t] -= (t % 2 == 0 ? 1 : -1) * nyquist / n;

  TWaveFFT fft;
  fft.SetRadix(0);
  fft.SetCount(n);
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  fft.SetData(block);
  fft.Execute();
  std::vector<double> mags(size / 2), phases(size / 2);
  for (int k = 0; k < n / 2; ++k) {
    mags[static_cast<std::size_t>(k)] = fft.Magnitude(k);
    phases[static_cast<std::size_t>(k)] = fft.Phase(k);
  }
  TWaveIFFT ifft;
  ifft.SetCount(n / 2);
  ifft.SetPolar(mags, phases);
  ifft.Execute();
  std::vector<double> out(size);
  ifft.GetRealOutput(out);
  for (std::size_t t = 0; t < size; ++t) EXPECT_NEAR(out[t], block[t], 1e-13) << t;
}

// --------------------------------------------------------------------------- ExecutePair

class WaveFFTPairs : public KernelPathFixture,
                         public ::testing::TestWithParam<PathAndSize> {
 protected:
  void SetUp() override {
    if (!Select(std::get<0>(GetParam()))) GTEST_SKIP() << "processor lacks this kernel path";
    n_ = std::get<1>(GetParam());
    size_ = static_cast<std::size_t>(n_);
  }
  int n_ = 0;
  std::size_t size_ = 0;
};

// Separating two real spectra from one complex transform adds a few roundings of the packed
// spectrum's size: the error is bounded relative to the larger of the two spectra, not per bin.
// Measured at 2e-16 to 5e-16 for 16 to 32768 points; 4e-15 is about twenty ulps.
constexpr double kPairTolerance = 4e-15;

double SpectrumError(const TWaveFFT& a, const TWaveFFT& b, std::size_t n) {
  double worst = 0, scale = 0;
  for (std::size_t k = 0; k < n; ++k) {
    worst = std::max({worst, std::fabs(a.Re()[k] - b.Re()[k]), std::fabs(a.Im()[k] - b.Im()[k])});
    scale = std::max({scale, std::fabs(b.Re()[k]), std::fabs(b.Im()[k])});
  }
  return scale > 0 ? worst / scale : worst;
}

TEST_P(WaveFFTPairs, ForwardPairFillsBothSpectraAsSeparateExecutes) {
  TWaveFFT left, right, leftAlone, rightAlone;
  left.SetWindowType(TWindowType::wtRECTANGULAR);
  leftAlone.SetWindowType(TWindowType::wtRECTANGULAR);
  right.SetWindowType(TWindowType::wtHAMMING);
  rightAlone.SetWindowType(TWindowType::wtHAMMING);
  for (int round = 0; round < 2; ++round) {
    const std::vector<double> a = RandomBlock(size_, 51 + round), b = RandomBlock(size_, 61 + round);
    left.SetData(a);
    leftAlone.SetData(a);
    right.SetData(b);
    rightAlone.SetData(b);
    ExecutePair(left, right);
    leftAlone.Execute();
    rightAlone.Execute();
    EXPECT_LE(SpectrumError(left, leftAlone, size_), kPairTolerance);
    EXPECT_LE(SpectrumError(right, rightAlone, size_), kPairTolerance);
  }
}

TEST_P(WaveFFTPairs, ForwardPairAppliesEachObjectsStabilize) {
  TWaveFFT left, right, leftAlone, rightAlone;
  left.SetStabilize(true);
  leftAlone.SetStabilize(true);
  for (int round = 0; round < 3; ++round) {
    const std::vector<double> a = RandomBlock(size_, 71 + round), b = RandomBlock(size_, 81 + round);
    left.SetData(a);
    leftAlone.SetData(a);
    right.SetData(b);
    rightAlone.SetData(b);
    ExecutePair(left, right);
    leftAlone.Execute();
    rightAlone.Execute();
    EXPECT_LE(SpectrumError(left, leftAlone, size_), kPairTolerance);
    EXPECT_LE(SpectrumError(right, rightAlone, size_), kPairTolerance);
  }
}

TEST_P(WaveFFTPairs, InversePairGivesEachOutputAsSeparateExecutes) {
  const std::size_t half = size_ / 2;
  TWaveIFFT left, right, leftAlone, rightAlone;
  right.SetMutingCoef(true);
  rightAlone.SetMutingCoef(true);
  for (TWaveIFFT* o : {&left, &right, &leftAlone, &rightAlone}) o->SetCount(n_ / 2);
  // Non-zero imaginary DC parts: they must not leak from one channel into the other.
  const std::vector<double> ar = RandomBlock(half, 91), ai = RandomBlock(half, 92);
  const std::vector<double> br = RandomBlock(half, 93), bi = RandomBlock(half, 94);
  left.SetComplex(ar, ai);
  leftAlone.SetComplex(ar, ai);
  right.SetComplex(br, bi);
  rightAlone.SetComplex(br, bi);
  ExecutePair(left, right);
  leftAlone.Execute();
  rightAlone.Execute();
  for (const auto& [paired, alone] : {std::pair{&left, &leftAlone}, std::pair{&right, &rightAlone}}) {
    double worst = 0, scale = 0;
    for (std::size_t t = 0; t < size_; ++t) {
      worst = std::max(worst, std::fabs(paired->OutRe()[t] - alone->OutRe()[t]));
      scale = std::max(scale, std::fabs(alone->OutRe()[t]));
    }
    EXPECT_LE(worst, kPairTolerance * scale);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WaveFFTPairs,
                         ::testing::Combine(::testing::Values(SimdPath::kPortable, SimdPath::kAvx2Fma),
                                            ::testing::Values(2, 4, 8, 16, 32, 64, 2048, 8192, 32768)),
                         PathAndSizeName);

TEST(WaveFFTExecutePair, ForwardFallsBackToSeparateExecutesWhenATransformIsReplaced) {
  TWaveFFT left, right;
  left.SetCount(16);
  right.SetCount(16);
  right.Transform = CountingTransform;
  left.SetData(RandomBlock(16, 1));
  right.SetData(RandomBlock(16, 2));
  TWaveFFT leftAlone = left;
  leftAlone.Execute();
  g_calls = 0;
  ExecutePair(left, right);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(right.RealPart(0), 42.0);
  for (std::size_t k = 0; k < 16; ++k) EXPECT_EQ(left.Re()[k], leftAlone.Re()[k]) << k;
}

TEST(WaveFFTExecutePair, ForwardWithDifferentCountsRunsEachOnItsOwnCount) {
  TWaveFFT left, right, leftAlone, rightAlone;
  left.SetData(RandomBlock(16, 3));
  right.SetData(RandomBlock(32, 4));
  leftAlone = left;
  rightAlone = right;
  ExecutePair(left, right);
  leftAlone.Execute();
  rightAlone.Execute();
  EXPECT_EQ(std::vector<double>(left.Re(), left.Re() + 16), std::vector<double>(leftAlone.Re(), leftAlone.Re() + 16));
  EXPECT_EQ(std::vector<double>(right.Im(), right.Im() + 32),
            std::vector<double>(rightAlone.Im(), rightAlone.Im() + 32));
}

TEST(WaveFFTExecutePair, ForwardOnOneObjectTwiceIsTwoExecutes) {
  TWaveFFT fft, alone;
  fft.SetStabilize(true);
  alone.SetStabilize(true);
  fft.SetData(RandomBlock(32, 5));
  alone.SetData(RandomBlock(32, 5));
  ExecutePair(fft, fft);
  alone.Execute();
  alone.Execute();
  EXPECT_EQ(std::vector<double>(fft.Re(), fft.Re() + 32), std::vector<double>(alone.Re(), alone.Re() + 32));
}

TEST(WaveFFTExecutePair, ForwardWorksOnSizesThatAreNotPowersOfTwo) {
  for (int n : {3, 12, 27}) {
    const auto size = static_cast<std::size_t>(n);
    TWaveFFT left, right, leftAlone, rightAlone;
    for (TWaveFFT* f : {&left, &right, &leftAlone, &rightAlone}) f->SetRadix(0);
    left.SetData(RandomBlock(size, 101));
    right.SetData(RandomBlock(size, 102));
    leftAlone = left;
    rightAlone = right;
    ExecutePair(left, right);
    leftAlone.Execute();
    rightAlone.Execute();
    EXPECT_LE(SpectrumError(left, leftAlone, size), kPairTolerance) << n;
    EXPECT_LE(SpectrumError(right, rightAlone, size), kPairTolerance) << n;
  }
}

TEST(WaveFFTExecutePair, ForwardWithAShortCustomWindowThrowsAndLeavesBothSpectraAlone) {
  TWaveFFT left, right;
  left.SetData(RandomBlock(16, 103));
  right.SetData(RandomBlock(16, 104));
  ExecutePair(left, right);
  const std::vector<double> leftBefore(left.Re(), left.Re() + 16), rightBefore(right.Re(), right.Re() + 16);
  right.SetWindowType(TWindowType::wtCUSTOM);
  right.CustomWindow().resize(8);
  ExpectThrowsWith([&] { ExecutePair(left, right); }, kIndexOutOfRange);
  EXPECT_EQ(std::vector<double>(left.Re(), left.Re() + 16), leftBefore);
  EXPECT_EQ(std::vector<double>(right.Re(), right.Re() + 16), rightBefore);
}

void ReversingInverse(int n, double* x, double*) { std::reverse(x, x + n); }

TEST(WaveFFTExecutePair, InverseFallsBackWhenATransformIsReplacedOrCountsDiffer) {
  TWaveIFFT left, right;
  left.SetCount(4);
  right.SetCount(4);
  right.Transform = ReversingInverse;
  left.SetComplex(std::vector<double>{1, 2, 3, 4}, std::vector<double>{0, 1, 0, -1});
  right.SetComplex(std::vector<double>{5, 6, 7, 8}, std::vector<double>{0, 0, 0, 0});
  TWaveIFFT leftAlone = left;
  leftAlone.Execute();
  ExecutePair(left, right);
  // The replaced routine only reversed the mirrored spectrum: 5, 6, 7, 8, 0, 8, 7, 6 backwards.
  EXPECT_EQ(std::vector<double>(right.OutRe(), right.OutRe() + 8), (std::vector<double>{6, 7, 8, 0, 8, 7, 6, 5}));
  EXPECT_EQ(std::vector<double>(left.OutRe(), left.OutRe() + 8),
            std::vector<double>(leftAlone.OutRe(), leftAlone.OutRe() + 8));

  TWaveIFFT small, large, smallAlone, largeAlone;
  small.SetCount(4);
  large.SetCount(8);
  small.SetComplex(RandomBlock(4, 6), RandomBlock(4, 7));
  large.SetComplex(RandomBlock(8, 8), RandomBlock(8, 9));
  smallAlone = small;
  largeAlone = large;
  ExecutePair(small, large);
  smallAlone.Execute();
  largeAlone.Execute();
  EXPECT_EQ(std::vector<double>(small.OutRe(), small.OutRe() + 8),
            std::vector<double>(smallAlone.OutRe(), smallAlone.OutRe() + 8));
  EXPECT_EQ(std::vector<double>(large.OutRe(), large.OutRe() + 16),
            std::vector<double>(largeAlone.OutRe(), largeAlone.OutRe() + 16));
}

}  // namespace
}  // namespace merolune
