// The block reducer against the long-double reference model, and the reference model's own checks.

#include "SpectralReduction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ReductionSettings.h"
#include "Reference.h"
#include "SimdPath.h"
#include "Signals.h"

namespace merolune::test {
namespace {

constexpr long double kPiL = std::numbers::pi_v<long double>;
constexpr int kBlockSizes[] = {2048, 4096, 8192, 16384, 32768};

// P for a position of the tuning dialog's P control (0 .. 900).
double PForPosition(int position) { return position * std::numbers::pi / 1800.0; }

ReductionSettings Defaults() { return ReductionSettings{}; }

std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Our reducer driven over the whole signal the way the job drives it: block i starts at frame
// i*H, zeros past the end, and contributes its first min(H, F - i*H) output frames (and as many
// frames of the removed part to `removed`, when given).
std::vector<std::int16_t> ReduceWithEngine(const std::vector<std::int16_t>& in, int blockSize,
                                           const ReductionSettings& settings, double sampleRate,
                                           std::vector<std::int16_t>* removed = nullptr) {
  SpectralReducer reducer(blockSize, settings, sampleRate);
  const std::size_t frames = FrameCount(in);
  const std::size_t h = U(blockSize / 2);
  std::vector<std::int16_t> result(in.size());
  std::vector<std::int16_t> out(2 * h), removedOut(removed ? 2 * h : 0);
  if (removed) removed->resize(in.size());
  const std::size_t blocks = ReferenceBlockCount(frames, blockSize);
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::vector<std::int16_t> block = ReferenceBlock(in, blockSize, i);
    std::fill(out.begin(), out.end(), std::int16_t{0});
    reducer.ProcessBlock(block, out, removedOut);
    const std::size_t start = i * h;
    const std::size_t count = std::min(h, frames - start);
    std::copy_n(out.begin(), 2 * count, result.begin() + static_cast<std::ptrdiff_t>(2 * start));
    if (removed)
      std::copy_n(removedOut.begin(), 2 * count, removed->begin() + static_cast<std::ptrdiff_t>(2 * start));
  }
  return result;
}

// Samples more than `tolerance` apart, with the first few named by frame and channel.
::testing::AssertionResult WithinLsb(const std::vector<std::int16_t>& actual,
                                     const std::vector<std::int16_t>& expected, int tolerance,
                                     int blockSize) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure() << "lengths differ: " << actual.size() << " vs " << expected.size();
  }
  std::size_t bad = 0;
  std::size_t ones = 0;
  int worst = 0;
  std::ostringstream where;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const int diff = std::abs(int{actual[i]} - int{expected[i]});
    worst = std::max(worst, diff);
    if (diff == 1) ++ones;
    if (diff > tolerance) {
      if (bad < 8) {
        const std::size_t frame = i / 2;
        where << "\n  frame " << frame << " (block " << frame / U(blockSize / 2) << ") "
              << (i % 2 == 0 ? "left" : "right") << ": " << actual[i] << " vs " << expected[i];
      }
      ++bad;
    }
  }
  if (bad == 0)
    return ::testing::AssertionSuccess() << "max diff " << worst << ", " << ones << " samples 1 off";
  return ::testing::AssertionFailure() << bad << " of " << actual.size() << " samples differ by more than "
                                       << tolerance << " (max " << worst << ")" << where.str();
}

// <a, b> / <b, b> over frames [from, end): how much of b is left in a.
double Projection(const std::vector<double>& a, const std::vector<double>& b, std::size_t from) {
  long double ab = 0.0L;
  long double bb = 0.0L;
  for (std::size_t i = from; i < a.size(); ++i) {
    ab += static_cast<long double>(a[i]) * b[i];
    bb += static_cast<long double>(b[i]) * b[i];
  }
  return bb > 0.0L ? static_cast<double>(ab / bb) : 0.0;
}

double Energy(const std::vector<double>& a, std::size_t from) {
  long double e = 0.0L;
  for (std::size_t i = from; i < a.size(); ++i) e += static_cast<long double>(a[i]) * a[i];
  return static_cast<double>(e);
}

// Magnitudes of bins 0 .. N/2 - 1 of the N frames of one channel from frame `start` on.
std::vector<long double> SegmentMagnitudes(const std::vector<std::int16_t>& signal, int channel,
                                           std::size_t start, int blockSize) {
  std::vector<long double> re(U(blockSize)), im(U(blockSize), 0.0L);
  for (std::size_t t = 0; t < re.size(); ++t) re[t] = signal[2 * (start + t) + U(channel)];
  ReferenceForward(re, im);
  std::vector<long double> m(re.size() / 2);
  for (std::size_t k = 0; k < m.size(); ++k) m[k] = std::hypot(re[k], im[k]);
  return m;
}

std::size_t ArgMax(const std::vector<long double>& v) {
  return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

// ---------------------------------------------------------------------------------------------
// The reference model's own checks: the transforms against a plain DFT, and the reduction's
// documented properties. They run without the engine.

std::vector<long double> RandomValues(std::size_t n, std::uint64_t seed) {
  TestRandom random(seed);
  std::vector<long double> v(n);
  for (auto& x : v) x = 65536.0L * static_cast<long double>(random.Uniform()) - 32768.0L;
  return v;
}

long double MaxAbs(const std::vector<long double>& re, const std::vector<long double>& im) {
  long double m = 0.0L;
  for (std::size_t i = 0; i < re.size(); ++i) m = std::max(m, std::hypot(re[i], im[i]));
  return m;
}

long double MaxDiff(const std::vector<long double>& re1, const std::vector<long double>& im1,
                    const std::vector<long double>& re2, const std::vector<long double>& im2) {
  long double m = 0.0L;
  for (std::size_t i = 0; i < re1.size(); ++i) m = std::max(m, std::hypot(re1[i] - re2[i], im1[i] - im2[i]));
  return m;
}

TEST(ReferenceSelfCheck, ForwardMatchesNaiveDft) {
  for (std::size_t n = 1; n <= 4096; n *= 2) {
    SCOPED_TRACE(n);
    std::vector<long double> re = RandomValues(n, 11 + n), im = RandomValues(n, 12 + n);
    std::vector<long double> dre = re, dim = im;
    ReferenceForward(re, im);
    NaiveDft(dre, dim, false);
    EXPECT_LE(MaxDiff(re, im, dre, dim), 1e-15L * MaxAbs(dre, dim));
  }
}

TEST(ReferenceSelfCheck, InverseMatchesNaiveDft) {
  for (std::size_t n = 1; n <= 4096; n *= 2) {
    SCOPED_TRACE(n);
    std::vector<long double> re = RandomValues(n, 21 + n), im = RandomValues(n, 22 + n);
    std::vector<long double> dre = re, dim = im;
    ReferenceInverse(re, im);
    NaiveDft(dre, dim, true);
    EXPECT_LE(MaxDiff(re, im, dre, dim), 1e-15L * MaxAbs(dre, dim));
  }
}

TEST(ReferenceSelfCheck, ForwardThenInverseRoundTrips) {
  for (std::size_t n : {2048u, 32768u}) {
    SCOPED_TRACE(n);
    const std::vector<long double> re0 = RandomValues(n, 31), im0 = RandomValues(n, 32);
    std::vector<long double> re = re0, im = im0;
    ReferenceForward(re, im);
    ReferenceInverse(re, im);
    EXPECT_LE(MaxDiff(re, im, re0, im0), 1e-15L * MaxAbs(re0, im0));
  }
}

TEST(ReferenceSelfCheck, ImpulseGivesFlatSpectrum) {
  ReferenceSpectrum spectrum(2048, 44100.0);
  std::vector<long double> block(2048, 0.0L);
  block[0] = 1.0L;
  spectrum.Execute(block);
  for (int k = 0; k < 1024; ++k) {
    EXPECT_NEAR(static_cast<double>(spectrum.Magnitude(k)), 1.0, 1e-18) << k;
    EXPECT_NEAR(static_cast<double>(spectrum.Phase(k)), 0.0, 1e-18) << k;
  }
}

TEST(ReferenceSelfCheck, BinCosineAndFrequencies) {
  const int n = 4096;
  ReferenceSpectrum spectrum(n, 44100.0);
  std::vector<long double> block(U(n));
  for (int t = 0; t < n; ++t) block[U(t)] = 1000.0L * std::cos(2.0L * kPiL * 37.0L * t / n);
  spectrum.Execute(block);
  EXPECT_NEAR(static_cast<double>(spectrum.Magnitude(37)), 1000.0 * n / 2, 1e-9);
  for (int k : {0, 1, 36, 38, 2047}) EXPECT_LT(static_cast<double>(spectrum.Magnitude(k)), 1e-9) << k;
  EXPECT_EQ(static_cast<double>(spectrum.Frequency(37)), 37.0 * 44100.0 / n);
  EXPECT_EQ(static_cast<double>(spectrum.Frequency(n / 2)), -22050.0);
}

TEST(ReferenceSelfCheck, HalfInverseRestoresBlockWithoutNyquist) {
  const std::size_t n = 8192;
  std::vector<long double> x = RandomValues(n, 41);
  // Take out the Nyquist component, which the half spectrum cannot carry.
  long double nyquist = 0.0L;
  for (std::size_t t = 0; t < n; ++t) nyquist += (t % 2 == 0 ? 1.0L : -1.0L) * x[t];
  for (std::size_t t = 0; t < n; ++t)
    x[t] -= (t % 2 == 0 ? 1.0L : -1.0L) * nyquist / static_cast<long double>(n);
  std::vector<long double> re = x, im(n, 0.0L);
  ReferenceForward(re, im);
  re.resize(n / 2);
  im.resize(n / 2);
  const std::vector<long double> y = ReferenceHalfInverse(re, im);
  ASSERT_EQ(y.size(), n);
  long double worst = 0.0L;
  for (std::size_t t = 0; t < n; ++t) worst = std::max(worst, std::fabs(y[t] - x[t]));
  EXPECT_LT(static_cast<double>(worst), 1e-11);
}

TEST(ReferenceSelfCheck, WrapNearestClamp) {
  EXPECT_NEAR(static_cast<double>(ReferenceWrapAngle(3.0L * kPiL / 2.0L)), -std::numbers::pi / 2, 1e-15);
  EXPECT_EQ(static_cast<double>(ReferenceWrapAngle(0.0L)), 0.0);
  EXPECT_NEAR(static_cast<double>(ReferenceWrapAngle(5.0L * kPiL / 2.0L)), std::numbers::pi / 2, 1e-15);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(0.5L)), 0.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(1.5L)), 2.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(2.5L)), 2.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(-1.5L)), -2.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(-2.5L)), -2.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(2.4999L)), 2.0);
  EXPECT_EQ(static_cast<double>(ReferenceNearest(-0.5001L)), -1.0);
  EXPECT_EQ(ReferenceClampToInt16(40000.0L), 32767);
  EXPECT_EQ(ReferenceClampToInt16(-40000.0L), -32768);
  EXPECT_EQ(ReferenceClampToInt16(-32768.0L), -32768);
}

// The key change rounds b * ratio to a bin. If a product lay next to a half, a ratio or a
// product off by an ulp could move a whole bin, and no 1-LSB comparison would hold; none does.
TEST(ReferenceSelfCheck, KeyTargetsAreFarFromTies) {
  for (int s = -5; s <= 5; ++s) {
    if (s == 0) continue;
    const double ratio = ReferenceKeyRatio(s);
    EXPECT_EQ(ratio, std::pow(2.0, s / 12.0)) << s;
    long double closest = 1.0L;
    for (int b = 0; b < 16384; ++b) {
      const long double product = static_cast<long double>(b) * ratio;
      closest = std::min(closest, std::fabs(product - std::floor(product) - 0.5L));
      EXPECT_EQ(static_cast<double>(ReferenceNearest(product)), std::nearbyint(b * ratio)) << s << " " << b;
    }
    EXPECT_GT(static_cast<double>(closest), 1e-7) << s;
  }
  EXPECT_EQ(ReferenceNearest(3.0L * ReferenceKeyRatio(5)), 4.0L);
}

TEST(ReferenceSelfCheck, ShiftKeyMovesBinsAndFillsGaps) {
  const int n = 2048;
  const int h = n / 2;
  std::vector<long double> block = RandomValues(U(n), 51);
  ReferenceSpectrum original(n, 44100.0);
  original.Execute(block);

  ReferenceSpectrum up = original;
  ReferenceShiftKey(5, up);
  const double ratio = ReferenceKeyRatio(5);
  // Mapped bins carry their source; the last source landing on a target wins.
  std::vector<int> source(U(h), -1);
  for (int b = 0; b < h; ++b) {
    const long double c = ReferenceNearest(b * static_cast<long double>(ratio));
    if (c < h) source[static_cast<std::size_t>(c)] = b;
  }
  for (int j = 0; j < h; ++j) {
    const int b = source[U(j)];
    if (b >= 0) {
      EXPECT_NEAR(static_cast<double>(up.Magnitude(j)), static_cast<double>(original.Magnitude(b)), 1e-9)
          << j;
    } else if (j > 0 && j < h - 1 && source[U(j + 1)] >= 0) {
      const long double mean = (up.Magnitude(j - 1) + up.Magnitude(j + 1)) / 2.0L;
      EXPECT_NEAR(static_cast<double>(up.Magnitude(j)), static_cast<double>(mean), 1e-9) << j;
    }
  }
  EXPECT_EQ(source[4], 3);
  // The upper half of the spectrum is untouched.
  for (int k = h; k < n; ++k) {
    ASSERT_EQ(up.RealPart(k), original.RealPart(k));
    ASSERT_EQ(up.ImagPart(k), original.ImagPart(k));
  }

  // Down: nothing lands above nearest((h - 1) ratio); from there the magnitudes halve towards
  // the sentinel, and the last bin is never interpolated.
  ReferenceSpectrum down = original;
  ReferenceShiftKey(-5, down);
  const int top =
      static_cast<int>(ReferenceNearest((h - 1) * static_cast<long double>(ReferenceKeyRatio(-5))));
  for (int j = top + 1; j < h - 1; ++j) {
    EXPECT_NEAR(static_cast<double>(down.Magnitude(j)),
                static_cast<double>((down.Magnitude(j - 1) + 1e-100L) / 2.0L),
                1e-12 * static_cast<double>(down.Magnitude(j - 1)) + 1e-120)
        << j;
  }
  EXPECT_NEAR(static_cast<double>(down.Magnitude(h - 1)), 1e-100, 1e-110);
}

TEST(ReferenceSelfCheck, OutputLengthFollowsInput) {
  const ReductionSettings settings = Defaults();
  EXPECT_TRUE(ReferenceReduce({}, 2048, settings, 44100.0).empty());
  EXPECT_EQ(ReferenceBlockCount(0, 2048), 0u);
  EXPECT_EQ(ReferenceBlockCount(1, 2048), 1u);
  EXPECT_EQ(ReferenceBlockCount(1024, 2048), 1u);
  EXPECT_EQ(ReferenceBlockCount(1025, 2048), 2u);
  for (std::size_t frames :
       {std::size_t{1}, std::size_t{1000}, std::size_t{1024}, std::size_t{4000}, std::size_t{7 * 1024 / 2}}) {
    const auto in = SongLike(frames, 44100.0, 3);
    EXPECT_EQ(ReferenceReduce(in, 2048, settings, 44100.0).size(), in.size()) << frames;
  }
}

// SubtractionBypass without key change or enhancer: the input again, apart from rounding, the
// first half-block's fade-in and each block's Nyquist component, which the half spectrum drops.
TEST(ReferenceSelfCheck, BypassReproducesInput) {
  const int n = 2048;
  const std::size_t h = U(n / 2);
  const std::size_t frames = 7 * h;
  const auto in = SongLike(frames, 44100.0, 5);
  ReductionSettings settings = Defaults();
  settings.SubtractionBypass = true;
  const auto out = ReferenceReduce(in, n, settings, 44100.0);
  ASSERT_EQ(out.size(), in.size());

  // Nyquist amplitude per block and channel: |sum (-1)^t x[t]| / N.
  const std::size_t blocks = ReferenceBlockCount(frames, n);
  std::vector<long double> nyq(2 * blocks);
  for (std::size_t i = 0; i < blocks; ++i) {
    const auto block = ReferenceBlock(in, n, i);
    for (std::size_t c = 0; c < 2; ++c) {
      long double sum = 0.0L;
      for (std::size_t t = 0; t < U(n); ++t) sum += (t % 2 == 0 ? 1.0L : -1.0L) * block[2 * t + c];
      nyq[2 * i + c] = std::fabs(sum) / n;
    }
  }
  for (std::size_t f = 0; f < frames; ++f) {
    const std::size_t i = f / h;
    const std::size_t k = f % h;
    const long double theta = k * (kPiL / 2.0L) / static_cast<long double>(h - 1);
    const long double a = std::sin(theta) * std::sin(theta);
    for (std::size_t c = 0; c < 2; ++c) {
      const long double x = in[2 * f + c];
      const long double y = out[2 * f + c];
      if (i == 0) {
        ASSERT_LE(std::fabs(y - a * x), a * nyq[c] + 0.5L + 1e-9L) << f;
      } else {
        ASSERT_LE(std::fabs(y - x), std::max(nyq[2 * i + c], nyq[2 * i - 2 + c]) + 0.5L + 1e-9L) << f;
      }
    }
  }
}

TEST(ReferenceSelfCheck, CentreOnlyGivesSilence) {
  const int n = 2048;
  const std::size_t frames = 7 * U(n) / 2;
  for (bool synthetic : {false, true}) {
    ReductionSettings settings = Defaults();
    settings.Synthetic = synthetic;
    settings.RangeRestricted = false;
    for (const auto& in : {IdenticalChannels(frames, 44100.0, 6), OppositeChannels(frames, 44100.0, 7)}) {
      const auto out = ReferenceReduce(in, n, settings, 44100.0);
      for (std::size_t i = 2 * U(n / 2); i < out.size(); ++i)
        ASSERT_EQ(out[i], 0) << synthetic << " sample " << i;
    }
  }
}

TEST(ReferenceSelfCheck, OneSilentChannelIsLeftAlone) {
  const int n = 4096;
  const std::size_t frames = 7 * U(n) / 2;
  ReductionSettings bypass = Defaults();
  bypass.SubtractionBypass = true;
  for (bool silentRight : {false, true}) {
    const auto in = OneSilentChannel(frames, 44100.0, 8, silentRight);
    const auto expected = ReferenceReduce(in, n, bypass, 44100.0);
    for (bool synthetic : {false, true}) {
      ReductionSettings settings = Defaults();
      settings.Synthetic = synthetic;
      settings.RangeRestricted = false;
      EXPECT_EQ(ReferenceReduce(in, n, settings, 44100.0), expected) << silentRight << synthetic;
    }
  }
}

TEST(ReferenceSelfCheck, PZeroMatchesBypass) {
  const int n = 2048;
  const auto in = SongLike(7 * U(n) / 2, 44100.0, 9);
  ReductionSettings bypass = Defaults();
  bypass.SubtractionBypass = true;
  for (bool synthetic : {false, true}) {
    ReductionSettings settings = Defaults();
    settings.Synthetic = synthetic;
    settings.PThreshold = 0.0;
    EXPECT_EQ(ReferenceReduce(in, n, settings, 44100.0), ReferenceReduce(in, n, bypass, 44100.0))
        << synthetic;
  }
}

// Inverse mode gives x - y where the normal mode gives y, both whole numbers: they add up to
// the input exactly (as long as nothing is clamped).
TEST(ReferenceSelfCheck, InversePlusNormalIsInput) {
  const int n = 2048;
  const auto in = SongLike(7 * U(n) / 2, 44100.0, 10, 0.4);
  for (bool synthetic : {false, true}) {
    ReductionSettings settings = Defaults();
    settings.Synthetic = synthetic;
    const auto normal = ReferenceReduce(in, n, settings, 44100.0);
    settings.Inverse = true;
    const auto inverse = ReferenceReduce(in, n, settings, 44100.0);
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(normal[i] + inverse[i], in[i]) << i;
  }
}

TEST(ReferenceSelfCheck, CentreRemovedSidesKept) {
  const int n = 4096;
  const std::size_t frames = 7 * U(n) / 2;
  const SongParts parts = MakeSongParts(frames, 44100.0, 12);
  const MixGains gains;
  const double scale = PeakScale(parts, gains, 0.5);
  const auto in = Mix(parts, gains, scale);
  for (bool synthetic : {false, true}) {
    ReductionSettings settings = Defaults();
    settings.Synthetic = synthetic;
    const auto out = ReferenceReduce(in, n, settings, 44100.0);
    const std::vector<double> l = ChannelOf(out, 0), r = ChannelOf(out, 1);
    const std::size_t from = U(n / 2);
    EXPECT_GT(Projection(ChannelOf(in, 0), parts.centre, from), 0.95 * scale * gains.Centre);
    EXPECT_LT(std::fabs(Projection(l, parts.centre, from)), 0.1 * scale * gains.Centre) << synthetic;
    EXPECT_LT(std::fabs(Projection(r, parts.centre, from)), 0.1 * scale * gains.Centre) << synthetic;
    EXPECT_GT(Projection(l, parts.leftOnly, from), 0.4 * scale * gains.LeftOnly) << synthetic;
    EXPECT_GT(Projection(r, parts.rightOnly, from), 0.8 * scale * gains.RightOnly) << synthetic;
  }
}

// Identical tones at bins just outside and exactly on the range ends (3000 and 6000 Hz at
// 48000 Hz, N = 2048: bins 128 and 256): the ends are processed, the bins beyond are not.
TEST(ReferenceSelfCheck, RangeEndsAreIncluded) {
  const int n = 2048;
  const double amp = 2000.0;
  const auto in = BinTones(4 * U(n), n, {127, 128, 256, 257}, amp, amp, 2.0, 13);
  ReductionSettings settings = Defaults();
  settings.Synthetic = false;
  settings.LowHz = 3000;
  settings.HighHz = 6000;
  const auto out = ReferenceReduce(in, n, settings, 48000.0);
  const auto m = SegmentMagnitudes(out, 0, U(n), n);
  const long double full = amp * n / 2.0;
  EXPECT_GT(static_cast<double>(m[127] / full), 0.95);
  EXPECT_GT(static_cast<double>(m[257] / full), 0.95);
  EXPECT_LT(static_cast<double>(m[128] / full), 0.02);
  EXPECT_LT(static_cast<double>(m[256] / full), 0.02);
}

// Source bins whose targets are even: the block hop is half a block, so a tone on an odd bin
// comes out with opposite signs from consecutive blocks and the cross-fade smears it over its
// neighbours.
TEST(ReferenceSelfCheck, KeyChangeMovesTone) {
  const int n = 2048;
  struct Move {
    int Key, From, To;
  };
  for (const Move move : {Move{5, 60, 80}, Move{-5, 64, 48}}) {
    SCOPED_TRACE(move.Key);
    const auto in = BinTones(4 * U(n), n, {move.From}, 5000.0, 5000.0, 0.0, 14);
    ReductionSettings settings = Defaults();
    settings.SubtractionBypass = true;
    settings.KeySemitones = move.Key;
    const auto out = ReferenceReduce(in, n, settings, 44100.0);
    EXPECT_EQ(ReferenceNearest(move.From * static_cast<long double>(ReferenceKeyRatio(move.Key))), move.To);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(ArgMax(SegmentMagnitudes(out, c, U(n), n)), U(move.To));
  }
}

TEST(ReferenceSelfCheck, EnhancerTurnsRightChannelByQuarter) {
  const int n = 2048;
  const int bin = 50;
  const double amp = 8000.0;
  const std::size_t frames = 4 * U(n);
  const auto in = BinTones(frames, n, {bin}, amp, amp, 0.0, 15);
  ReductionSettings settings = Defaults();
  settings.SubtractionBypass = true;
  settings.Enhancer = true;
  const auto out = ReferenceReduce(in, n, settings, 44100.0);
  std::vector<double> sine(frames), cosine(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    const long double angle = 2.0L * kPiL * static_cast<long double>((U(bin) * f) % U(n)) / n;
    sine[f] = static_cast<double>(std::sin(angle));
    cosine[f] = static_cast<double>(std::cos(angle));
  }
  const std::size_t from = U(n / 2);
  std::vector<double> r = ChannelOf(out, 1);
  r.resize(frames - from);
  // cos turned a quarter forward is -sin.
  EXPECT_NEAR(Projection(r, sine, from), -amp, 1e-3 * amp);
  EXPECT_NEAR(Projection(r, cosine, from), 0.0, 1e-3 * amp);
  // The last block runs into the zeros past the end, where the turned tone is no longer a sine.
  for (std::size_t f = from; f < frames - U(n / 2); ++f) {
    ASSERT_NEAR(out[2 * f], in[2 * f], 1.0) << f;
    // The turned rounding error of the input adds a little.
    ASSERT_NEAR(out[2 * f + 1], -amp * sine[f], 2.0) << f;
  }
}

TEST(ReferenceSelfCheck, OverflowIsClamped) {
  const int n = 2048;
  const auto in = FullScaleSquares(7 * U(n) / 2, 44100.0, 16);
  ReductionSettings settings = Defaults();
  settings.SubtractionBypass = true;
  settings.Enhancer = true;
  const auto out = ReferenceReduce(in, n, settings, 44100.0);
  const std::vector<double> r = ChannelOf(out, 1);
  EXPECT_NE(std::find(r.begin(), r.end(), 32767.0), r.end());
  EXPECT_NE(std::find(r.begin(), r.end(), -32768.0), r.end());
}

// ---------------------------------------------------------------------------------------------
// Our reducer against the reference: every sample within 1 LSB.

enum class Source { Song, Identical, Opposite, SilentLeft, SilentRight, Squares, EdgeTones };

struct Case {
  std::string Name;
  int BlockSize = 8192;
  double Rate = 44100.0;
  ReductionSettings Settings;
  Source Signal = Source::Song;
  double Blocks = 3.5;  // signal length in units of N
  std::uint64_t Seed = 1;
};

// What a failing case prints instead of its bytes.
void PrintTo(const Case& c, std::ostream* os) {
  const ReductionSettings& s = c.Settings;
  *os << c.Name << " {N " << c.BlockSize << ", " << c.Rate << " Hz, Inverse " << s.Inverse << ", Bypass "
      << s.SubtractionBypass << ", Enhancer " << s.Enhancer << ", Synthetic " << s.Synthetic << ", P "
      << s.PThreshold << ", range " << s.RangeRestricted << " " << s.LowHz << ".." << s.HighHz << ", key "
      << s.KeySemitones << ", seed " << c.Seed << "}";
}

std::vector<std::int16_t> MakeSignal(const Case& c) {
  const std::size_t frames = static_cast<std::size_t>(c.Blocks * c.BlockSize);
  switch (c.Signal) {
    case Source::Song:
      return SongLike(frames, c.Rate, c.Seed);
    case Source::Identical:
      return IdenticalChannels(frames, c.Rate, c.Seed);
    case Source::Opposite:
      return OppositeChannels(frames, c.Rate, c.Seed);
    case Source::SilentLeft:
      return OneSilentChannel(frames, c.Rate, c.Seed, false);
    case Source::SilentRight:
      return OneSilentChannel(frames, c.Rate, c.Seed, true);
    case Source::Squares:
      return FullScaleSquares(frames, c.Rate, c.Seed);
    case Source::EdgeTones: {
      // Tones on the bins at and next to the range ends, identical in both channels.
      const double spacing = c.Rate / c.BlockSize;
      const int lo = static_cast<int>(std::lround(c.Settings.LowHz / spacing));
      const int hi = static_cast<int>(std::lround(c.Settings.HighHz / spacing));
      return BinTones(frames, c.BlockSize, {lo - 1, lo, hi, hi + 1}, 2000.0, 2000.0, 2.0, c.Seed);
    }
  }
  return {};
}

// Signal length in blocks: three full hops and a partial last block. The reference takes about
// 0.35 s for the largest size at this length.
constexpr double kBlocks = 3.5;

// Joins the pieces of a test name. (Not "literal" + std::string: g++ 12 warns falsely about
// that at -O3 with -Wrestrict.)
template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::ostringstream s;
  (s << ... << parts);
  return s.str();
}

std::vector<Case> Grid() {
  std::vector<Case> cases;
  auto add = [&cases](std::string name, int blockSize, double rate, ReductionSettings s,
                      Source signal = Source::Song) {
    Case c;
    c.Name = std::move(name);
    c.BlockSize = blockSize;
    c.Rate = rate;
    c.Settings = s;
    c.Signal = signal;
    c.Blocks = kBlocks;
    c.Seed = cases.size() + 1;
    cases.push_back(c);
  };
  const char* mode[] = {"Plain", "Synthetic"};

  // Every precision level, both subtraction modes, other settings at their defaults.
  for (int n : kBlockSizes) {
    for (int syn = 0; syn < 2; ++syn) {
      ReductionSettings s = Defaults();
      s.Synthetic = syn == 1;
      add(Cat("N", n, "_", mode[syn]), n, 44100.0, s);
    }
  }

  // Every key, paired with the block sizes and modes in turn; then each key alone (bypass), and
  // with the enhancer.
  for (int key = kKeyMin; key <= kKeyMax; ++key) {
    const std::string k = key < 0 ? Cat("Minus", -key) : Cat("Plus", key);
    const int n = kBlockSizes[U(key - kKeyMin) % 5];
    ReductionSettings s = Defaults();
    s.KeySemitones = key;
    s.Synthetic = (key % 2) == 0;
    add(Cat("Key", k, "_N", n, "_", mode[s.Synthetic ? 1 : 0]), n, 44100.0, s);
    ReductionSettings b = Defaults();
    b.KeySemitones = key;
    b.SubtractionBypass = true;
    add(Cat("Key", k, "_Bypass_N2048"), 2048, 44100.0, b);
    ReductionSettings e = Defaults();
    e.KeySemitones = key;
    e.Enhancer = true;
    e.Synthetic = (key % 2) != 0;
    add(Cat("Key", k, "_Enhancer_N4096_", mode[e.Synthetic ? 1 : 0]), 4096, 44100.0, e);
  }

  // Every P position, both modes, with and without the range.
  for (int pos : {0, 1, 150, 450, 899, 900}) {
    for (int syn = 0; syn < 2; ++syn) {
      ReductionSettings s = Defaults();
      s.PThreshold = PForPosition(pos);
      s.Synthetic = syn == 1;
      s.RangeRestricted = (pos / 150) % 2 == syn;
      add(Cat("P", pos, "_", mode[syn], s.RangeRestricted ? "_Range" : "_All"), syn ? 4096 : 2048, 44100.0,
          s);
    }
  }

  // Every range preset, a custom range, both modes, at two sizes and the three rates.
  struct Range {
    const char* Name;
    bool Restricted;
    std::int32_t Low, High;
  };
  const Range ranges[] = {{"All", false, 150, 14000},
                          {"100to12000", true, 100, 12000},
                          {"150to14000", true, 150, 14000},
                          {"250to15000", true, 250, 15000},
                          {"300to3000", true, 300, 3000}};
  int r = 0;
  for (const Range& range : ranges) {
    for (int syn = 0; syn < 2; ++syn) {
      ReductionSettings s = Defaults();
      s.RangeRestricted = range.Restricted;
      s.LowHz = range.Low;
      s.HighHz = range.High;
      s.Synthetic = syn == 1;
      const int n = syn ? 8192 : 4096;
      add(Cat("Range", range.Name, "_", mode[syn], "_N", n), n, 44100.0, s);
      const double rate = (r++ % 2 == 0) ? 48000.0 : 22050.0;
      add(Cat("Range", range.Name, "_", mode[syn], "_N2048_", static_cast<int>(rate)), 2048, rate, s);
    }
  }

  // Tones exactly on the range ends: 3000 and 6000 Hz are bins 128 and 256 at 48000 Hz and
  // N = 2048, and 11025 Hz is bin 512 at 44100 Hz.
  for (int syn = 0; syn < 2; ++syn) {
    ReductionSettings s = Defaults();
    s.Synthetic = syn == 1;
    s.LowHz = 3000;
    s.HighHz = 6000;
    add(Cat("EdgeTones_3000to6000_48000_", mode[syn]), 2048, 48000.0, s, Source::EdgeTones);
    s.LowHz = 11025;
    s.HighHz = 14000;
    add(Cat("EdgeTones_11025to14000_44100_", mode[syn]), 2048, 44100.0, s, Source::EdgeTones);
  }

  // Every combination of the three toggles, both modes.
  for (int bits = 0; bits < 8; ++bits) {
    for (int syn = 0; syn < 2; ++syn) {
      ReductionSettings s = Defaults();
      s.Inverse = (bits & 1) != 0;
      s.SubtractionBypass = (bits & 2) != 0;
      s.Enhancer = (bits & 4) != 0;
      s.Synthetic = syn == 1;
      std::string name = "Toggles";
      name += s.Inverse ? "_Inverse" : "";
      name += s.SubtractionBypass ? "_Bypass" : "";
      name += s.Enhancer ? "_Enhancer" : "";
      name += bits == 0 ? "_None" : "";
      add(Cat(name, "_", mode[syn]), syn ? 4096 : 2048, 44100.0, s);
    }
  }

  // Other rates with non-default settings.
  {
    ReductionSettings s = Defaults();
    s.KeySemitones = 3;
    s.Enhancer = true;
    add("Rate48000_KeyPlus3_Enhancer_N8192", 8192, 48000.0, s);
    s = Defaults();
    s.Inverse = true;
    s.Synthetic = false;
    s.PThreshold = PForPosition(150);
    add("Rate22050_Inverse_P150_Plain_N4096", 4096, 22050.0, s);
    s = Defaults();
    s.KeySemitones = -2;
    s.RangeRestricted = false;
    add("Rate22050_KeyMinus2_All_N16384", 16384, 22050.0, s);
    s = Defaults();
    s.Synthetic = false;
    s.LowHz = 250;
    s.HighHz = 15000;
    add("Rate48000_250to15000_Plain_N32768", 32768, 48000.0, s);
  }

  // The simple signals.
  for (int syn = 0; syn < 2; ++syn) {
    ReductionSettings s = Defaults();
    s.Synthetic = syn == 1;
    s.RangeRestricted = false;
    add(Cat("Identical_", mode[syn]), 2048, 44100.0, s, Source::Identical);
    // Every phase difference is 0 here: the strict test lets none of them through at P = 0.
    ReductionSettings p0 = s;
    p0.PThreshold = 0.0;
    add(Cat("Identical_P0_", mode[syn]), 2048, 44100.0, p0, Source::Identical);
    add(Cat("Opposite_", mode[syn]), 2048, 44100.0, s, Source::Opposite);
    add(Cat("SilentLeft_", mode[syn]), 4096, 44100.0, s, Source::SilentLeft);
    add(Cat("SilentRight_", mode[syn]), 2048, 48000.0, s, Source::SilentRight);
    add(Cat("Squares_", mode[syn]), 2048, 44100.0, s, Source::Squares);
    ReductionSettings e = s;
    e.Enhancer = true;
    add(Cat("Squares_Enhancer_", mode[syn]), 4096, 44100.0, e, Source::Squares);
    ReductionSettings inv = s;
    inv.Inverse = true;
    add(Cat("Squares_Inverse_", mode[syn]), 2048, 44100.0, inv, Source::Squares);
    ReductionSettings key = s;
    key.KeySemitones = syn ? 4 : -4;
    add(Cat("Squares_Key_", mode[syn]), 2048, 44100.0, key, Source::Squares);
  }
  return cases;
}

class MatchesReference : public ::testing::TestWithParam<Case> {};

TEST_P(MatchesReference, WithinOneLsb) {
  const Case& c = GetParam();
  const std::vector<std::int16_t> in = MakeSignal(c);
  const std::vector<std::int16_t> expected = ReferenceReduce(in, c.BlockSize, c.Settings, c.Rate);
  ASSERT_EQ(expected.size(), in.size());
  const std::vector<std::int16_t> actual = ReduceWithEngine(in, c.BlockSize, c.Settings, c.Rate);
  ASSERT_EQ(actual.size(), in.size());
  const ::testing::AssertionResult result = WithinLsb(actual, expected, 1, c.BlockSize);
  EXPECT_TRUE(result);
  RecordProperty("comparison", result.message());
}

INSTANTIATE_TEST_SUITE_P(Grid, MatchesReference, ::testing::ValuesIn(Grid()),
                         [](const ::testing::TestParamInfo<Case>& test) { return test.param.Name; });

// The portable kernels and the AVX2 + FMA ones on the same inputs. They differ by a few ulps
// before rounding (FMA's single rounding in the transforms, the vector math library's 2- and
// 4-lane variants), which can move a sample across a rounding boundary but never further: 1 LSB.
class SimdPathsAgree : public ::testing::TestWithParam<Case> {
 protected:
  ~SimdPathsAgree() override { SelectSimdPath(SimdPath::kAuto); }
};

TEST_P(SimdPathsAgree, PortableAndAvx2FmaWithinOneLsb) {
  const Case& c = GetParam();
  const std::vector<std::int16_t> in = MakeSignal(c);
  ASSERT_TRUE(SelectSimdPath(SimdPath::kPortable));
  const std::vector<std::int16_t> portable = ReduceWithEngine(in, c.BlockSize, c.Settings, c.Rate);
  if (!SelectSimdPath(SimdPath::kAvx2Fma)) GTEST_SKIP() << "processor lacks AVX2 and FMA";
  const std::vector<std::int16_t> wide = ReduceWithEngine(in, c.BlockSize, c.Settings, c.Rate);
  ASSERT_EQ(portable.size(), in.size());
  const ::testing::AssertionResult result = WithinLsb(wide, portable, 1, c.BlockSize);
  EXPECT_TRUE(result);
  RecordProperty("comparison", result.message());
}

INSTANTIATE_TEST_SUITE_P(Grid, SimdPathsAgree, ::testing::ValuesIn(Grid()),
                         [](const ::testing::TestParamInfo<Case>& test) { return test.param.Name; });

// ---------------------------------------------------------------------------------------------
// The removed part, written beside the output in the same pass: output + removed = input for every
// sample the 16-bit limit leaves alone, the output as it is without it, and the removed part what
// the opposite inverse setting writes as its output (inverse + normal = input, whatever the other
// settings).

class RemovedPart : public ::testing::TestWithParam<Case> {};

TEST_P(RemovedPart, AddsUpToTheInputAndIsTheOppositeInverseOutput) {
  const Case& c = GetParam();
  const std::vector<std::int16_t> in = MakeSignal(c);
  std::vector<std::int16_t> removed;
  const std::vector<std::int16_t> out = ReduceWithEngine(in, c.BlockSize, c.Settings, c.Rate, &removed);
  EXPECT_EQ(out, ReduceWithEngine(in, c.BlockSize, c.Settings, c.Rate));
  const auto atLimit = [](std::int16_t v) { return v == 32767 || v == -32768; };
  std::size_t limited = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (atLimit(out[i]) || atLimit(removed[i])) ++limited;
    else ASSERT_EQ(out[i] + removed[i], in[i]) << "sample " << i;
  }
  EXPECT_TRUE(limited == 0 || c.Signal == Source::Squares) << "only the full-scale squares overshoot";
  ReductionSettings opposite = c.Settings;
  opposite.Inverse = !opposite.Inverse;
  EXPECT_TRUE(WithinLsb(removed, ReduceWithEngine(in, c.BlockSize, opposite, c.Rate), 1, c.BlockSize));
}

INSTANTIATE_TEST_SUITE_P(Grid, RemovedPart, ::testing::ValuesIn(Grid()),
                         [](const ::testing::TestParamInfo<Case>& test) { return test.param.Name; });

// ---------------------------------------------------------------------------------------------
// The 1-LSB agreement is not vacuous: our reducer takes the centre out and keeps the sides,
// and leaves the signal alone where it should.

class RemovesCentre : public ::testing::TestWithParam<int> {};

TEST_P(RemovesCentre, CentreGoneSidesKept) {
  const int n = GetParam();
  const std::size_t frames = static_cast<std::size_t>(kBlocks * n);
  const SongParts parts = MakeSongParts(frames, 44100.0, 100 + U(n));
  const MixGains gains;
  const double scale = PeakScale(parts, gains, 0.5);
  const auto in = Mix(parts, gains, scale);
  for (bool synthetic : {false, true}) {
    SCOPED_TRACE(synthetic ? "synthetic" : "plain");
    ReductionSettings s = Defaults();
    s.Synthetic = synthetic;
    const auto out = ReduceWithEngine(in, n, s, 44100.0);
    ASSERT_EQ(out.size(), in.size());
    const std::vector<double> l = ChannelOf(out, 0), r = ChannelOf(out, 1);
    const std::size_t from = U(n / 2);
    // The reference leaves at most 2 % of the centre, 56 % or more of the left-only part and
    // 93 % or more of the right-only part, and 5 to 7 % of the energy, at every size.
    EXPECT_LT(std::fabs(Projection(l, parts.centre, from)), 0.1 * scale * gains.Centre);
    EXPECT_LT(std::fabs(Projection(r, parts.centre, from)), 0.1 * scale * gains.Centre);
    EXPECT_GT(Projection(l, parts.leftOnly, from), 0.4 * scale * gains.LeftOnly);
    EXPECT_GT(Projection(r, parts.rightOnly, from), 0.8 * scale * gains.RightOnly);
    const double energy = Energy(l, from) + Energy(r, from);
    const double before = Energy(ChannelOf(in, 0), from) + Energy(ChannelOf(in, 1), from);
    EXPECT_LT(energy, 0.2 * before);
    EXPECT_GT(energy, 0.02 * before);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RemovesCentre, ::testing::ValuesIn(kBlockSizes),
                         [](const ::testing::TestParamInfo<int>& test) { return Cat("N", test.param); });

TEST(SpectralReducerProperties, IdenticalChannelsGiveSilenceAfterFadeIn) {
  const int n = 4096;
  const auto in = IdenticalChannels(7 * U(n) / 2, 44100.0, 200);
  for (bool synthetic : {false, true}) {
    ReductionSettings s = Defaults();
    s.Synthetic = synthetic;
    s.RangeRestricted = false;
    const auto out = ReduceWithEngine(in, n, s, 44100.0);
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 2 * U(n / 2); i < out.size(); ++i)
      ASSERT_LE(std::abs(int{out[i]}), 1) << synthetic << " " << i;
  }
}

TEST(SpectralReducerProperties, BypassKeepsSignalAndLength) {
  const int n = 2048;
  for (std::size_t frames :
       {std::size_t{0}, std::size_t{1}, std::size_t{1000}, std::size_t{4000}, std::size_t{7 * 1024 + 3}}) {
    const auto in = SongLike(frames, 44100.0, 300);
    ReductionSettings s = Defaults();
    s.SubtractionBypass = true;
    const auto out = ReduceWithEngine(in, n, s, 44100.0);
    ASSERT_EQ(out.size(), in.size());
    // Past the fade-in the input comes back within the dropped Nyquist term (a few LSB for
    // this signal) and rounding.
    for (std::size_t i = 2 * U(n / 2); i < out.size(); ++i)
      ASSERT_LE(std::abs(out[i] - in[i]), 8) << frames << " " << i;
  }
}

}  // namespace
}  // namespace merolune::test
