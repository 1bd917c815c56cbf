// ShiftKey and RotatePhases.

#include "KeyChange.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "Stream.h"
#include "TempDir.h"
#include "WaveFFT.h"

namespace merolune {
namespace {

// ---------------------------------------------------------------------------------------------
// RotatePhases

constexpr double kPi = std::numbers::pi;

TEST(RotatePhases, AddsAQuarterTurnAndWrapsUpToTheHighestIndex) {
  std::vector<double> phases = {0.0, kPi / 2, kPi, -kPi / 2, 3.0, -3.0, 1.0, 2.0};
  RotatePhases(phases, 5);
  const std::vector<double> expected = {kPi / 2, kPi, -kPi / 2, 0.0, 3.0 + kPi / 2 - 2 * kPi, -3.0 + kPi / 2, 1.0, 2.0};
  for (std::size_t k = 0; k < phases.size(); ++k) EXPECT_NEAR(phases[k], expected[k], 1e-12) << "k=" << k;
  EXPECT_EQ(phases[6], 1.0);
  EXPECT_EQ(phases[7], 2.0);
}

TEST(RotatePhases, StaysWithinMinusPiToPi) {
  std::vector<double> phases;
  for (int i = -400; i <= 400; ++i) phases.push_back(i * kPi / 400);
  RotatePhases(phases, static_cast<int>(phases.size()) - 1);
  for (double p : phases) {
    EXPECT_GE(p, -kPi);
    EXPECT_LE(p, kPi);
  }
}

TEST(RotatePhases, NegativeHighestChangesNothing) {
  std::vector<double> phases = {0.5, 1.5};
  RotatePhases(phases, -1);
  EXPECT_EQ(phases, (std::vector<double>{0.5, 1.5}));
}

TEST(RotatePhases, HighestBeyondTheArrayThrowsAndChangesNothing) {
  std::vector<double> phases = {0.5, 1.5};
  EXPECT_THROW(RotatePhases(phases, 2), Exception);
  EXPECT_EQ(phases, (std::vector<double>{0.5, 1.5}));
}

// ---------------------------------------------------------------------------------------------
// ShiftKey

constexpr double kSentinel = 1e-100;

// A transform of `count` bins with bin b (b < count/2) set to magnitude mags[b] and phase
// phases[b], and the upper half set to distinct values that must survive the shift.
TWaveFFT SpectrumOf(int count, const std::vector<double>& mags, const std::vector<double>& phases) {
  TWaveFFT fft;
  fft.SetCount(count);
  for (int b = 0; b < count; ++b) {
    if (b < count / 2) {
      const auto i = static_cast<std::size_t>(b);
      fft.SetBin(b, {mags[i] * std::cos(phases[i]), mags[i] * std::sin(phases[i])});
    } else {
      fft.SetBin(b, {100.0 + b, -200.0 - b});
    }
  }
  return fft;
}

void ExpectBins(const TWaveFFT& fft, const std::vector<double>& mags, const std::vector<double>& phases) {
  for (int j = 0; j < fft.Count() / 2; ++j) {
    const auto i = static_cast<std::size_t>(j);
    EXPECT_NEAR(fft.RealPart(j), mags[i] * std::cos(phases[i]), 1e-12) << "bin " << j;
    EXPECT_NEAR(fft.ImagPart(j), mags[i] * std::sin(phases[i]), 1e-12) << "bin " << j;
  }
}

void ExpectUpperHalfUntouched(const TWaveFFT& fft) {
  for (int b = fft.Count() / 2; b < fft.Count(); ++b) {
    EXPECT_EQ(fft.Re()[b], 100.0 + b) << "bin " << b;
    EXPECT_EQ(fft.Im()[b], -200.0 - b) << "bin " << b;
  }
}

// Eight bins with magnitude b + 1 and phase b / 10.
std::vector<double> Ramp() { return {1, 2, 3, 4, 5, 6, 7, 8}; }
std::vector<double> RampPhases() { return {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7}; }

TEST(ShiftKey, UpFiveMovesBinsAndFillsTheGapsWithTheMeanOfTheNeighbours) {
  // ratio 1.33484: 0->0 1->1 2->3 3->4 4->5 5->7, 6 and 7 land on 8 and 9 and are dropped;
  // bins 2 and 6 receive nothing and take the mean of their neighbours.
  TWaveFFT fft = SpectrumOf(16, Ramp(), RampPhases());
  ShiftKey(5, fft);
  ExpectBins(fft, {1, 2, 2.5, 3, 4, 5, 5.5, 6}, {0.0, 0.1, 0.15, 0.2, 0.3, 0.4, 0.45, 0.5});
  ExpectUpperHalfUntouched(fft);
}

TEST(ShiftKey, DownFiveKeepsTheHighestSourceBinAndLeavesTheTopToTheSentinel) {
  // ratio 0.74915: 0->0 1->1 2->1 3->2 4->3 5->4 6->4 7->5; bin 6 is the mean of bin 5 and the
  // sentinel, and bin 7, the last, keeps the sentinel with phase 0.
  TWaveFFT fft = SpectrumOf(16, Ramp(), RampPhases());
  ShiftKey(-5, fft);
  ExpectBins(fft, {1, 3, 4, 5, 7, 8, 4, 0}, {0.0, 0.2, 0.3, 0.4, 0.6, 0.7, 0.35, 0.0});
  EXPECT_EQ(fft.RealPart(7), kSentinel);
  EXPECT_EQ(fft.ImagPart(7), 0.0);
  ExpectUpperHalfUntouched(fft);
}

TEST(ShiftKey, DownAnOctaveRoundsHalvesToEven) {
  // ratio 0.5: 1 -> 0.5 -> 0, 3 -> 1.5 -> 2, 5 -> 2.5 -> 2, 7 -> 3.5 -> 4.
  // So bin 0 gets source 1, bin 1 source 2, bin 2 source 5 (after 3 and 4), bin 3 source 6,
  // bin 4 source 7; bins 5 and 6 halve towards the sentinel, bin 7 keeps it.
  TWaveFFT fft = SpectrumOf(16, Ramp(), RampPhases());
  ShiftKey(-12, fft);
  ExpectBins(fft, {2, 3, 6, 7, 8, 4, 2, kSentinel}, {0.1, 0.2, 0.5, 0.6, 0.7, 0.35, 0.175, 0.0});
}

TEST(ShiftKey, BinsMappedPastTheHalfAreDropped) {
  std::vector<double> mags(8, 0.0);
  mags[6] = 50;
  mags[7] = 60;
  TWaveFFT fft = SpectrumOf(16, mags, std::vector<double>(8, 0.3));
  ShiftKey(5, fft);
  for (int j = 0; j < 8; ++j) EXPECT_LT(fft.Magnitude(j), 1e-99) << "bin " << j;
  ExpectUpperHalfUntouched(fft);
}

TEST(ShiftKey, DownFiveDecaysGeometricallyAboveTheLastMappedBin) {
  // With 32 bins the highest target is nearest(31 * 0.74915) = 23; bins 24 .. 30 each take half
  // of the bin below (plus half the sentinel), and bin 31 keeps the sentinel.
  std::vector<double> mags(32), phases(32);
  for (std::size_t b = 0; b < 32; ++b) {
    mags[b] = 1000.0 + static_cast<double>(b);
    phases[b] = 0.9;
  }
  TWaveFFT fft = SpectrumOf(64, mags, phases);
  ShiftKey(-5, fft);
  EXPECT_NEAR(fft.Magnitude(23), 1031.0, 1e-9);
  for (int j = 24; j <= 30; ++j) {
    const double expected = 1031.0 / std::pow(2.0, j - 23);
    EXPECT_NEAR(fft.Magnitude(j), expected, 1e-9) << "bin " << j;
    EXPECT_NEAR(fft.Phase(j), 0.9 / std::pow(2.0, j - 23), 1e-12) << "bin " << j;
  }
  EXPECT_DOUBLE_EQ(fft.Magnitude(31), kSentinel);
  ExpectUpperHalfUntouched(fft);
}

TEST(ShiftKey, UpFiveMovesACosineAtBin3ToBin4) {
  constexpr int kCount = 64;
  constexpr double kAmplitude = 1000.0;
  std::vector<double> samples(kCount);
  for (int t = 0; t < kCount; ++t) samples[static_cast<std::size_t>(t)] = kAmplitude * std::cos(2 * kPi * 3 * t / kCount);
  TWaveFFT fft;
  fft.SetWindowType(TWindowType::wtRECTANGULAR);
  fft.SetData(samples);
  fft.Execute();
  ASSERT_NEAR(fft.Magnitude(3), kAmplitude * kCount / 2, 1e-6);
  ShiftKey(5, fft);
  int loudest = 0;
  for (int j = 1; j < kCount / 2; ++j) {
    if (fft.Magnitude(j) > fft.Magnitude(loudest)) loudest = j;
  }
  EXPECT_EQ(loudest, 4);
  EXPECT_NEAR(fft.Magnitude(4), kAmplitude * kCount / 2, 1e-6);
  EXPECT_NEAR(fft.Phase(4), 0.0, 1e-9);
}

// The shift written out once more, plainly, to compare with on random spectra.
void ReferenceShift(int semitones, std::vector<double> mags, std::vector<double> phases, std::vector<double>& outM,
                    std::vector<double>& outP) {
  const int h = static_cast<int>(mags.size());
  const double ratio = std::pow(2.0, semitones / 12.0);
  outM.assign(mags.size(), 1e-100);
  outP.assign(mags.size(), 0.0);
  for (int b = 0; b < h; ++b) {
    const double c = std::nearbyint(b * ratio);
    if (c < h) {
      outM[static_cast<std::size_t>(c)] = mags[static_cast<std::size_t>(b)];
      outP[static_cast<std::size_t>(c)] = phases[static_cast<std::size_t>(b)];
    }
  }
  for (std::size_t j = 1; j + 1 < mags.size(); ++j) {
    if (std::fabs(outM[j] - 1e-100) <= 1e-16) {
      outM[j] = (outM[j - 1] + outM[j + 1]) / 2;
      outP[j] = (outP[j - 1] + outP[j + 1]) / 2;
    }
  }
}

class ShiftKeyRandom : public ::testing::TestWithParam<int> {};

TEST_P(ShiftKeyRandom, MatchesAPlainTranscriptionOfTheMapping) {
  std::mt19937 random(static_cast<unsigned>(1234 + GetParam()));
  std::uniform_real_distribution<double> magnitude(0.0, 500.0);
  std::uniform_real_distribution<double> angle(-kPi, kPi);
  constexpr int kCount = 128;
  std::vector<double> mags(kCount / 2), phases(kCount / 2);
  for (std::size_t b = 0; b < mags.size(); ++b) {
    // Every fifth bin silent, so that received zeros count as gaps as well.
    mags[b] = b % 5 == 2 ? 0.0 : magnitude(random);
    phases[b] = angle(random);
  }
  TWaveFFT fft = SpectrumOf(kCount, mags, phases);
  // The transform hands out magnitude and phase recomputed from re/im; the reference starts
  // from the same values.
  for (int b = 0; b < kCount / 2; ++b) {
    mags[static_cast<std::size_t>(b)] = fft.Magnitude(b);
    phases[static_cast<std::size_t>(b)] = fft.Phase(b);
  }
  std::vector<double> expectedM, expectedP;
  ReferenceShift(GetParam(), mags, phases, expectedM, expectedP);
  ShiftKey(GetParam(), fft);
  ExpectBins(fft, expectedM, expectedP);
  ExpectUpperHalfUntouched(fft);
}

INSTANTIATE_TEST_SUITE_P(Semitones, ShiftKeyRandom, ::testing::Values(-12, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 12),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return (param.param < 0 ? "Down" : "Up") + std::to_string(std::abs(param.param));
                         });

}  // namespace
}  // namespace merolune
