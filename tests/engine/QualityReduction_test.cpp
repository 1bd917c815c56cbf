// The quality mode against a slow literal reference of its steps (direct DFTs, every cell's box
// means summed afresh), its identities, and its length and alignment at every rate.

#include "QualityReduction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "Signals.h"

namespace merolune {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;

// The steps as the mode's description gives them, one cell at a time, in double precision.
class Reference {
 public:
  Reference(const QualityParameters& p, const std::vector<std::int16_t>& in) : p_(p), len_(in.size() / 2) {
    const int n = p.N, half = n / 2;
    cosTable_.resize(static_cast<std::size_t>(n));
    sinTable_.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      cosTable_[static_cast<std::size_t>(i)] = std::cos(2 * kPi * i / n);
      sinTable_[static_cast<std::size_t>(i)] = std::sin(2 * kPi * i / n);
    }
    // N zeros before and after the signal; the frames that reach it.
    std::vector<double> l(len_ + 2 * static_cast<std::size_t>(n), 0.0), r(l.size(), 0.0);
    for (std::size_t i = 0; i < len_; ++i) {
      l[i + static_cast<std::size_t>(n)] = in[2 * i];
      r[i + static_cast<std::size_t>(n)] = in[2 * i + 1];
    }
    frames_ = static_cast<int>((static_cast<std::size_t>(n) + len_ - 1) / static_cast<std::size_t>(p.H)) + 1;
    for (int j = 0; j < frames_; ++j) {
      std::vector<double> fl(static_cast<std::size_t>(n)), fr(fl.size());
      for (int i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * i / n);
        fl[static_cast<std::size_t>(i)] = w * l[static_cast<std::size_t>(j * p.H + i)];
        fr[static_cast<std::size_t>(i)] = w * r[static_cast<std::size_t>(j * p.H + i)];
      }
      L_.push_back(Dft(fl, half));
      R_.push_back(Dft(fr, half));
    }
  }

  // The box mean of f(M, S) over frames t-2 .. t+2 and bins k-1 .. k+1 that exist.
  template <class F>
  auto BoxMean(int t, int k, F f) const {
    decltype(f(Complex{}, Complex{})) sum{};
    int count = 0;
    for (int j = std::max(0, t - 2); j <= std::min(frames_ - 1, t + 2); ++j)
      for (int b = std::max(0, k - 1); b <= std::min(p_.N / 2, k + 1); ++b) {
        const Complex m = (L_[j][b] + R_[j][b]) / 2.0, s = (L_[j][b] - R_[j][b]) / 2.0;
        sum += f(m, s);
        ++count;
      }
    return sum / static_cast<double>(count);
  }

  double Gate(const Complex& m, const Complex& s, double tan2) const {
    if (std::norm(m) == 0) return 0;
    const double q2 = std::norm(s) / std::norm(m);
    return 1.0 / (1.0 + std::pow(q2 / tan2, 2));
  }

  std::vector<std::int16_t> Output() const {
    const int n = p_.N, half = n / 2;
    std::vector<double> yl(len_ + 2 * static_cast<std::size_t>(n), 0.0), yr(yl.size(), 0.0);
    for (int t = 0; t < frames_; ++t) {
      std::vector<Complex> outL(static_cast<std::size_t>(half + 1)), outR(outL.size());
      for (int k = 0; k <= half; ++k) {
        const Complex x[2] = {L_[t][k], R_[t][k]};
        Complex y[2] = {x[0], x[1]};
        if (!p_.Bypass && k >= p_.KLow && k <= p_.KHigh) {
          const double pm = BoxMean(t, k, [](Complex m, Complex) { return std::norm(m); });
          const double ps = BoxMean(t, k, [](Complex, Complex s) { return std::norm(s); });
          const Complex c = BoxMean(t, k, [](Complex m, Complex s) { return m * std::conj(s); });
          const double eps = 1e-9 * (pm + ps) + 1e-9;
          const double residue = std::max(0.0, pm - std::norm(c) / (ps + eps));
          Complex kappa = c / (ps + residue / 30.0 + eps);
          if (std::abs(kappa) > p_.KappaMax) kappa *= p_.KappaMax / std::abs(kappa);
          const Complex m = (x[0] + x[1]) / 2.0, s = (x[0] - x[1]) / 2.0;
          const Complex e = m - kappa * s;
          const double g = Gate(m, s, p_.Tan2W);
          const double c2 = Gate(m, s, p_.Tan2Wr);
          for (int ch = 0; ch < 2; ++ch) y[ch] = (1 - p_.Beta) * (x[ch] - g * e) + p_.Beta * (1 - c2) * x[ch];
        }
        if (p_.Enhancer && k < half) y[1] *= Complex(0, 1);
        if (p_.Inverse) {
          y[0] = x[0] - y[0];
          y[1] = x[1] - y[1];
        }
        outL[static_cast<std::size_t>(k)] = y[0];
        outR[static_cast<std::size_t>(k)] = y[1];
      }
      const auto timeL = InverseDft(outL), timeR = InverseDft(outR);
      for (int i = 0; i < n; ++i) {
        const double w = (0.5 - 0.5 * std::cos(2 * kPi * i / n)) * 2.0 / 3.0;
        yl[static_cast<std::size_t>(t * p_.H + i)] += w * timeL[static_cast<std::size_t>(i)];
        yr[static_cast<std::size_t>(t * p_.H + i)] += w * timeR[static_cast<std::size_t>(i)];
      }
    }
    std::vector<std::int16_t> out;
    for (std::size_t i = 0; i < len_; ++i) {
      for (const auto* y : {&yl, &yr}) {
        const double v = std::nearbyint((*y)[i + static_cast<std::size_t>(n)]);
        out.push_back(static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0)));
      }
    }
    return out;
  }

  // The meter's figures: rho and the centre's share.
  std::pair<double, double> RhoAndShare() const {
    double a = 0, b = 0, direct = 0, total = 0;
    const double tan2 = std::pow(std::tan(25 * kPi / 180), 2);
    for (int t = 0; t < frames_; ++t)
      for (int k = std::max(0, p_.KLow); k <= p_.KHigh; ++k) {
        const double pm = BoxMean(t, k, [](Complex m, Complex) { return std::norm(m); });
        const double ps = BoxMean(t, k, [](Complex, Complex s) { return std::norm(s); });
        const Complex c = BoxMean(t, k, [](Complex m, Complex s) { return m * std::conj(s); });
        const Complex m = (L_[t][k] + R_[t][k]) / 2.0, s = (L_[t][k] - R_[t][k]) / 2.0;
        const double d = Gate(m, s, tan2) * std::max(0.0, pm - ps);
        direct += d;
        total += pm + ps;
        if (pm > 0) {
          a += d * d * std::max(0.0, ps - std::norm(c) / pm) / pm;
          b += d * d;
        }
      }
    return {b > 0 ? a / b : 0, total > 0 ? direct / total : 0};
  }

 private:
  std::vector<Complex> Dft(const std::vector<double>& x, int half) const {
    const int n = p_.N;
    std::vector<Complex> out(static_cast<std::size_t>(half + 1));
    for (int k = 0; k <= half; ++k) {
      double re = 0, im = 0;
      for (int i = 0; i < n; ++i) {
        const auto at = static_cast<std::size_t>((static_cast<long>(k) * i) % n);
        re += x[static_cast<std::size_t>(i)] * cosTable_[at];
        im -= x[static_cast<std::size_t>(i)] * sinTable_[at];
      }
      out[static_cast<std::size_t>(k)] = {re, im};
    }
    return out;
  }
  // The real signal of a half spectrum; the imaginary parts of bins 0 and N/2 play no part.
  std::vector<double> InverseDft(const std::vector<Complex>& y) const {
    const int n = p_.N, half = n / 2;
    std::vector<double> out(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      double v = y[0].real() + (i % 2 ? -1 : 1) * y[static_cast<std::size_t>(half)].real();
      for (int k = 1; k < half; ++k) {
        const auto at = static_cast<std::size_t>((static_cast<long>(k) * i) % n);
        v += 2 * (y[static_cast<std::size_t>(k)].real() * cosTable_[at] - y[static_cast<std::size_t>(k)].imag() * sinTable_[at]);
      }
      out[static_cast<std::size_t>(i)] = v / n;
    }
    return out;
  }

  QualityParameters p_;
  std::size_t len_;
  int frames_ = 0;
  std::vector<double> cosTable_, sinTable_;
  std::vector<std::vector<Complex>> L_, R_;
};

// The output, and the removed part into `removed` when given.
std::vector<std::int16_t> Reduce(const QualityParameters& p, const std::vector<std::int16_t>& in,
                                 std::size_t chunk = 4096, std::vector<std::int16_t>* removed = nullptr) {
  QualityReducer reducer(p);
  std::vector<std::int16_t> out;
  for (std::size_t at = 0; at < in.size(); at += 2 * chunk) {
    const std::size_t count = std::min(2 * chunk, in.size() - at);
    reducer.Process(std::span(in).subspan(at, count), out, removed);
  }
  reducer.Finish(out, removed);
  return out;
}

int MaxDifference(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
  int worst = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

ReductionSettings Defaults() { return ReductionSettings{}; }

// Every path of a cell against the reference, on a song-like mix of 0.25 s. The removed part beside
// the output adds up with it to the input exactly and is within 1 LSB of what the opposite inverse
// setting writes (each is the input minus the other's output, rounded before or after).
TEST(QualityReductionTest, CellsFollowTheLiteralSteps) {
  const auto song = test::SongLike(11025, 44100, 31);
  struct Case {
    const char* name;
    double beta;
    bool inverse, enhancer, bypass, wholeRange;
  };
  for (const Case& c : {Case{"dry", 0.0, false, false, false, false}, Case{"reverberant", 0.6, false, false, false, false},
                        Case{"inverse", 0.3, true, false, false, false}, Case{"enhancer", 0.0, false, true, false, true},
                        Case{"inverse enhancer", 0.0, true, true, false, false},
                        Case{"bypass", 0.0, false, false, true, false}}) {
    SCOPED_TRACE(c.name);
    ReductionSettings s = Defaults();
    s.Inverse = c.inverse;
    s.Enhancer = c.enhancer;
    s.SubtractionBypass = c.bypass;
    s.RangeRestricted = !c.wholeRange;
    const QualityParameters p = QualityParameters::For(s, 44100, c.beta);
    std::vector<std::int16_t> removed;
    const auto ours = Reduce(p, song, 777, &removed);
    const auto expected = Reference(p, song).Output();
    ASSERT_EQ(ours.size(), song.size());
    EXPECT_LE(MaxDifference(ours, expected), 1);
    ASSERT_EQ(removed.size(), song.size());
    for (std::size_t i = 0; i < song.size(); ++i) ASSERT_EQ(ours[i] + removed[i], song[i]) << i;
    s.Inverse = !s.Inverse;
    EXPECT_LE(MaxDifference(removed, Reduce(QualityParameters::For(s, 44100, c.beta), song, 4096)), 1);
    if (!c.bypass && !c.inverse) {
      EXPECT_GT(MaxDifference(ours, song), 100);  // it did reduce
    }
  }
}

TEST(QualityReductionTest, TheMeterFollowsTheLiteralSums) {
  // A centre line with independent noise around it: some diffuse sound near the centre.
  const auto parts = test::MakeSongParts(11025, 44100, 5);
  test::MixGains gains;
  gains.Noise = 0.05;
  const auto song = test::Mix(parts, gains, test::PeakScale(parts, gains, 0.5));
  const QualityParameters p = QualityParameters::For(Defaults(), 44100, 0);
  CentreReverbMeter meter(p);
  meter.Push(song);
  meter.Finish();
  const auto [rho, share] = Reference(p, song).RhoAndShare();
  EXPECT_NEAR(meter.Rho(), rho, 1e-9 * std::max(1.0, rho));
  EXPECT_NEAR(meter.Share(), share, 1e-9);
  EXPECT_GT(share, 0.3);
  // One channel copied to the other has no side signal, so nothing diffuse: beta 0.
  CentreReverbMeter dry(p);
  dry.Push(test::IdenticalChannels(11025, 44100, 5));
  dry.Finish();
  EXPECT_LT(dry.Rho(), 1e-12);
  EXPECT_EQ(dry.Beta(), 0.0);
}

// No reduction (an empty range, or the subtraction bypassed) gives the input back; karaoke and inverse
// add up to the source; at every rate the output has the input's length and no lag, however the
// input is cut into pieces.
TEST(QualityReductionTest, IdentitiesLengthsAndAlignmentAtEveryRate) {
  for (const double rate : {8000.0, 22050.0, 44100.0, 48000.0, 88200.0, 96000.0}) {
    for (const std::size_t frames : {std::size_t{1}, std::size_t{1000}, std::size_t{4097}, std::size_t{30011}}) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << frames << " frames");
      const auto song = test::SongLike(frames, rate, 17);
      ReductionSettings empty = Defaults();
      empty.LowHz = 200000;
      empty.HighHz = 300000;
      const auto same = Reduce(QualityParameters::For(empty, rate, 0), song, 1 + frames / 3);
      ASSERT_EQ(same.size(), song.size());
      EXPECT_LE(MaxDifference(same, song), 1);

      ReductionSettings s = Defaults();
      std::vector<std::int16_t> removed;
      const auto karaoke = Reduce(QualityParameters::For(s, rate, 0.5), song, 1 + frames / 5, &removed);
      s.Inverse = true;
      const auto vocal = Reduce(QualityParameters::For(s, rate, 0.5), song, 333);
      ASSERT_EQ(karaoke.size(), song.size());
      ASSERT_EQ(vocal.size(), song.size());
      ASSERT_EQ(removed.size(), song.size());
      int worst = 0;
      for (std::size_t i = 0; i < song.size(); ++i) worst = std::max(worst, std::abs(karaoke[i] + vocal[i] - song[i]));
      EXPECT_LE(worst, 1);
      EXPECT_LE(MaxDifference(removed, vocal), 1);
    }
  }
}

// A lone source is judged by its pan alone: in the centre it goes, and away from it it stays, from
// as near as 10 degrees (where the fit explains the mid signal by the side signal) to hard left.
// A plucked harmonic tone (220 Hz, six partials) panned by the sine-cosine law, 1 s at 44.1 kHz.
TEST(QualityReductionTest, ALoneSourceGoesInTheCentreAndStaysOffIt) {
  const double rate = 44100;
  struct Case {
    double degreesOffCentre;
    double minDb, maxDb;  // output energy against input energy, in the middle half second
  };
  const Case cases[] = {{0, -300, -30}, {10, -0.5, 0.5}, {20, -0.5, 0.5}, {45, -0.5, 0.5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.degreesOffCentre);
    const double angle = (45 - c.degreesOffCentre) * kPi / 180;
    std::vector<std::int16_t> in(2 * 44100);
    for (std::size_t i = 0; i < in.size() / 2; ++i) {
      const double t = static_cast<double>(i) / rate;
      double x = 0;
      for (int h = 1; h <= 6; ++h) x += std::sin(2 * kPi * 220 * h * t + h) / (h * h);
      x *= 9000 * std::exp(-t / 0.8);
      in[2 * i] = static_cast<std::int16_t>(std::lround(x * std::cos(angle)));
      in[2 * i + 1] = static_cast<std::int16_t>(std::lround(x * std::sin(angle)));
    }
    const auto out = Reduce(QualityParameters::For(Defaults(), rate, 0), in);
    ASSERT_EQ(out.size(), in.size());
    double inEnergy = 0, outEnergy = 0;
    for (std::size_t i = 2 * 11025; i < 2 * 33075; ++i) {
      inEnergy += static_cast<double>(in[i]) * in[i];
      outEnergy += static_cast<double>(out[i]) * out[i];
    }
    const double db = 10 * std::log10(std::max(outEnergy, 1e-30) / inEnergy);
    EXPECT_GE(db, c.minDb);
    EXPECT_LE(db, c.maxDb);
  }
}

// Goertzel: the power of `x` at `hz`.
double PowerAt(const std::vector<double>& x, double hz, double rate) {
  const double w = 2 * kPi * hz / rate;
  double s1 = 0, s2 = 0;
  for (double v : x) {
    const double s0 = v + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

// The key change moves a partial by the pitch ratio and keeps the length: a 440 Hz tone on the left
// only (which the reduction leaves) comes out at 440 * 2^(k/12) Hz, far above any trace at 440 Hz.
TEST(QualityReductionTest, TheKeyChangeMovesPitchByTheRatio) {
  const double rate = 44100;
  std::vector<std::int16_t> tone(2 * 88200, 0);
  for (std::size_t i = 0; i < tone.size() / 2; ++i)
    tone[2 * i] = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * kPi * 440 * static_cast<double>(i) / rate)));
  for (const int key : {-5, 3, 5}) {
    SCOPED_TRACE(key);
    ReductionSettings s = Defaults();
    s.KeySemitones = key;
    const auto out = Reduce(QualityParameters::For(s, rate, 0), tone);
    ASSERT_EQ(out.size(), tone.size());
    // The middle second, away from the ends.
    auto left = test::ChannelOf(out, 0);
    left = std::vector<double>(left.begin() + 22050, left.begin() + 66150);
    const double moved = PowerAt(left, 440 * std::pow(2.0, key / 12.0), rate);
    EXPECT_GT(moved, 1000 * PowerAt(left, 440, rate));
    // Most of the tone's energy is kept: 8000 amplitude, 44100 samples.
    EXPECT_GT(moved, 0.25 * std::pow(8000 * 44100 / 2.0, 2));
  }
}

}  // namespace
}  // namespace merolune
