// The vector arcsine, logarithm and cosine against extended-precision libm, on both kernel paths.
#include "VectorMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "SimdPath.h"

namespace merolune {
namespace {

using VectorFunction = void (*)(const double*, double*, int);

struct Function {
  const char* Name;
  VectorFunction Vector;
  long double (*Reference)(long double);
  double Low, High;  // the arguments drawn lie in [Low, High]
  std::vector<double> Special;  // arguments always included (ends of the domain, exact cases)
};

long double ReferenceAsin(long double x) { return std::asin(x); }
long double ReferenceLog10(long double x) { return std::log10(x); }
long double ReferenceCos(long double x) { return std::cos(x); }

// The reduction's arguments: sines of phase differences, level ratios from 1e-300 up, and cubed
// and clamped angles within a quarter turn (cosine also far outside, where range reduction works).
const Function kFunctions[] = {
    {"Asin", VectorAsin, ReferenceAsin, -1.0, 1.0, {-1.0, -0.5, 0.0, 0.5, 1.0, 1e-300}},
    {"Log10", VectorLog10, ReferenceLog10, 1e-6, 1e6, {1e-300, 1.0, 10.0, 1e300}},
    {"Cos", VectorCos, ReferenceCos, -100.0, 100.0, {0.0, -1.5707963267948966, 1.5707963267948966, 3.0}},
};

// glibc documents its vector variants to within 4 ulp of the correctly rounded value.
constexpr double kUlps = 4.0;
// Lengths around the 2- and 4-lane widths and the reduction's chunk of 256 bins.
constexpr int kLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 255, 256, 257};
constexpr double kGuard = -12345.0;

std::vector<double> Arguments(const Function& f, int n) {
  std::vector<double> x;
  std::mt19937_64 rng(static_cast<std::uint64_t>(n) * 7919u + 17u);
  std::uniform_real_distribution<double> uniform(f.Low, f.High);
  for (int i = 0; i < n; ++i) {
    const auto k = static_cast<std::size_t>(i);
    x.push_back(k < f.Special.size() ? f.Special[k] : uniform(rng));
  }
  return x;
}

// Distance in units of the last place of the correctly rounded value.
double UlpError(double actual, long double exact) {
  const auto rounded = static_cast<double>(exact);
  const double ulp = std::nextafter(std::fabs(rounded), std::numeric_limits<double>::infinity()) - std::fabs(rounded);
  return static_cast<double>(std::fabs(static_cast<long double>(actual) - exact)) / ulp;
}

// Runs f over x on one path; the output has two guard values past its end.
std::vector<double> RunOnPath(const Function& f, SimdPath path, const std::vector<double>& x) {
  EXPECT_TRUE(SelectSimdPath(path));
  std::vector<double> y(x.size() + 2, kGuard);
  f.Vector(x.data(), y.data(), static_cast<int>(x.size()));
  SelectSimdPath(SimdPath::kAuto);
  return y;
}

using FunctionAndLength = std::tuple<int, int>;

class VectorMathPaths : public ::testing::TestWithParam<FunctionAndLength> {
 protected:
  void SetUp() override {
    function_ = &kFunctions[std::get<0>(GetParam())];
    n_ = std::get<1>(GetParam());
    x_ = Arguments(*function_, n_);
  }
  void ExpectWithinFourUlpAndGuards(const std::vector<double>& y) const {
    for (std::size_t i = 0; i < x_.size(); ++i) {
      EXPECT_LE(UlpError(y[i], function_->Reference(x_[i])), kUlps) << "x=" << x_[i];
    }
    EXPECT_EQ(y[x_.size()], kGuard);
    EXPECT_EQ(y[x_.size() + 1], kGuard);
  }

  const Function* function_ = nullptr;
  int n_ = 0;
  std::vector<double> x_;
};

TEST_P(VectorMathPaths, PortablePathWithinFourUlpAndLeavesGuardsAlone) {
  ExpectWithinFourUlpAndGuards(RunOnPath(*function_, SimdPath::kPortable, x_));
}

TEST_P(VectorMathPaths, Avx2FmaPathWithinFourUlpAndLeavesGuardsAlone) {
  if (!SelectSimdPath(SimdPath::kAvx2Fma)) GTEST_SKIP() << "processor lacks AVX2 and FMA";
  ExpectWithinFourUlpAndGuards(RunOnPath(*function_, SimdPath::kAvx2Fma, x_));
}

// Each path is within 4 ulp of the exact value, so they are within 8 of each other.
TEST_P(VectorMathPaths, PathsAgreeWithinEightUlp) {
  if (!SelectSimdPath(SimdPath::kAvx2Fma)) GTEST_SKIP() << "processor lacks AVX2 and FMA";
  const std::vector<double> wide = RunOnPath(*function_, SimdPath::kAvx2Fma, x_);
  const std::vector<double> portable = RunOnPath(*function_, SimdPath::kPortable, x_);
  for (std::size_t i = 0; i < x_.size(); ++i) {
    EXPECT_LE(UlpError(wide[i], portable[i]), 2 * kUlps) << "x=" << x_[i];
  }
}

TEST_P(VectorMathPaths, InPlaceGivesTheSameValues) {
  for (const SimdPath path : {SimdPath::kPortable, SimdPath::kAvx2Fma}) {
    if (!SelectSimdPath(path)) continue;
    std::vector<double> y(x_.size());
    function_->Vector(x_.data(), y.data(), n_);
    std::vector<double> inPlace = x_;
    function_->Vector(inPlace.data(), inPlace.data(), n_);
    SelectSimdPath(SimdPath::kAuto);
    EXPECT_EQ(inPlace, y);
  }
}

std::string Name(const ::testing::TestParamInfo<FunctionAndLength>& info) {
  return std::string(kFunctions[std::get<0>(info.param)].Name) + "_n" + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(FunctionsAndLengths, VectorMathPaths,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::ValuesIn(kLengths)), Name);

}  // namespace
}  // namespace merolune
