// merolune-bench-separation: how well the block reduction and the quality mode take the centre voice
// out of mixes whose stems are known, and how fast each runs.
//
// The mixes are made here from a fixed seed: a sung line (vibrato, harmonics under moving formants,
// phrases with gaps) in the centre over synthetic instruments at known constant-power pan positions
// (gains cos a, sin a with a = 0 hard left, 45 degrees the centre), dry and with a diffuse synthetic
// reverb; and the same voice over a real stereo recording (the first seconds of a track of Debian's
// wesnoth-1.16-music, fetched and unpacked at run time, or --recording).
//
// Each reducer runs on the mix with its operator observer set: per block the block reduction's
// per-bin scales, per frame the quality mode's keep, cancel and fit. The benchmark applies that
// frozen operator, through the same blocks or frames, windows, hops and cross-fade or overlap-add,
// to each stem alone: by linearity, op(mix) = op(voice) + op(accompaniment), so the voice's
// suppression and the accompaniment's distortion are measured exactly. A self-check applies the
// operator to the mix itself and compares it with the reducer's own output.
//
// Output: one line per figure, "name key=value ...", then a Markdown summary with the goals.
//   mix name=M seconds=.. voice_db=.. accompaniment_db=..        (levels in dBFS RMS)
//   selfcheck mode=X mix=M max_lsb=.. ok=yes|NO
//   separation mode=X mix=M suppression_db=.. acc_sdr_db=.. bass_sdr_db=.. corr_true=.. corr_out=..
//       inverse_vocal_sdr_db=.. [beta=..] [loss_<instrument>_db=.. sdr_<instrument>_db=.. ...]
//   speed mode=X song_s=.. reps=R median_s=.. x_realtime=.. cpu_x_realtime=..

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BenchChild.h"
#include "FftKernels.h"
#include "QualityReduction.h"
#include "ReductionSettings.h"
#include "SpectralReduction.h"
#include "WaveFFT.h"

#ifndef MEROLUNE_SOURCE_DIR
#define MEROLUNE_SOURCE_DIR "."
#endif

namespace {

using namespace merolune;
namespace fs = std::filesystem;
using bench::Median;

constexpr double kPi = std::numbers::pi;
constexpr double kRate = 44100.0;
constexpr double kBassHz = 150.0;
constexpr int kBlockSize = 8192;  // the block reduction at the default precision
constexpr const char* kMusicPackage = "wesnoth-1.16-music";
constexpr const char* kTrack = "traveling_minstrels.ogg";

constexpr const char* kUsage = R"(Usage: merolune-bench-separation [options]

Scores the block reduction and the quality mode on mixes with known stems (a synthetic centre
voice over synthetic instruments or a real recording, dry and reverberated) and times both on a
generated song.

  --seconds S       length of each mix (default 30)
  --recording PATH  the real accompaniment (any file ffmpeg reads; its first S seconds) instead
                    of a track of wesnoth-1.16-music fetched with apt-get
  --write-wavs      write the real-recording mixes and both modes' results to --out
  --out DIR         where --write-wavs writes (default: out/separation in the source tree)
  --speed-seconds S length of the song the speed is measured on (default 240)
  --reps N          timed runs per mode, the median is reported (default 3)
  --help            this text
)";

struct Options {
  double Seconds = 30.0;
  std::string Recording;
  bool WriteWavs = false;
  std::string Out = std::string(MEROLUNE_SOURCE_DIR) + "/out/separation";
  double SpeedSeconds = 240.0;
  int Reps = 3;
};

// ============================================================================ signals

struct Stereo {
  std::vector<double> L, R;
  explicit Stereo(std::size_t frames = 0) : L(frames, 0.0), R(frames, 0.0) {}
  std::size_t Frames() const { return L.size(); }
  double Energy() const {
    double e = 0;
    for (std::size_t i = 0; i < L.size(); ++i) e += L[i] * L[i] + R[i] * R[i];
    return e;
  }
  Stereo& operator+=(const Stereo& o) {
    for (std::size_t i = 0; i < L.size(); ++i) L[i] += o.L[i], R[i] += o.R[i];
    return *this;
  }
  void Scale(double g) {
    for (std::size_t i = 0; i < L.size(); ++i) L[i] *= g, R[i] *= g;
  }
};

Stereo Difference(const Stereo& a, const Stereo& b) {
  Stereo d(a.Frames());
  for (std::size_t i = 0; i < a.Frames(); ++i) d.L[i] = a.L[i] - b.L[i], d.R[i] = a.R[i] - b.R[i];
  return d;
}

double Db(double ratio) { return 10.0 * std::log10(ratio); }
double Sdr(const Stereo& truth, const Stereo& estimate) {
  return Db(truth.Energy() / Difference(truth, estimate).Energy());
}

// A deterministic generator (SplitMix64), so that the mixes are the same on every machine.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double Between(double a, double b) { return a + (b - a) * Uniform(); }
  double Normal() { return std::sqrt(-2.0 * std::log(1.0 - Uniform())) * std::cos(2.0 * kPi * Uniform()); }

 private:
  std::uint64_t state_;
};

double MidiHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }
double Rms(const std::vector<double>& v) {
  double e = 0;
  for (double x : v) e += x * x;
  return std::sqrt(e / static_cast<double>(v.size()));
}
void ScaleToRms(std::vector<double>& v, double rms) {
  const double g = rms / Rms(v);
  for (double& x : v) x *= g;
}

// A mono source panned with constant power: angle 0 hard left, 45 degrees the centre, 90 hard right.
Stereo Pan(const std::vector<double>& mono, double degrees) {
  Stereo s(mono.size());
  const double gl = std::cos(degrees * kPi / 180.0), gr = std::sin(degrees * kPi / 180.0);
  for (std::size_t i = 0; i < mono.size(); ++i) s.L[i] = gl * mono[i], s.R[i] = gr * mono[i];
  return s;
}

// In-place complex transform of a power-of-two length; the inverse divides by the length.
void Transform(std::vector<double>& re, std::vector<double>& im, bool inverse) {
  if (inverse)
    Radix2Transform(static_cast<int>(re.size()), re.data(), im.data(), true);
  else
    SplitRadixForward(static_cast<int>(re.size()), re.data(), im.data());
}

std::size_t PowerOfTwoAtLeast(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p *= 2;
  return p;
}

// Both channels through one long transform (Z = L + iR), keeping the bins where keep(Hz) holds: a
// real, symmetric mask filters each channel on its own.
Stereo FftMask(const Stereo& x, const std::function<bool(double)>& keep) {
  const std::size_t n = PowerOfTwoAtLeast(x.Frames() + 65536);
  std::vector<double> re(n, 0.0), im(n, 0.0);
  std::copy(x.L.begin(), x.L.end(), re.begin());
  std::copy(x.R.begin(), x.R.end(), im.begin());
  Transform(re, im, false);
  for (std::size_t k = 0; k < n; ++k) {
    if (!keep(static_cast<double>(std::min(k, n - k)) * kRate / static_cast<double>(n))) re[k] = im[k] = 0.0;
  }
  Transform(re, im, true);
  Stereo y(x.Frames());
  std::copy_n(re.begin(), x.Frames(), y.L.begin());
  std::copy_n(im.begin(), x.Frames(), y.R.begin());
  return y;
}
Stereo LowPass(const Stereo& x) {
  return FftMask(x, [](double hz) { return hz < kBassHz; });
}
Stereo HighPass(const Stereo& x) {
  return FftMask(x, [](double hz) { return hz >= kBassHz; });
}

double Correlation(const Stereo& x) {
  double lr = 0, ll = 0, rr = 0;
  for (std::size_t i = 0; i < x.Frames(); ++i)
    lr += x.L[i] * x.R[i], ll += x.L[i] * x.L[i], rr += x.R[i] * x.R[i];
  return lr / std::sqrt(ll * rr);
}

// ============================================================================ the sources

// A sung line: phrases of notes with gaps, glides between notes, vibrato, harmonics up to 8 kHz
// shaped by vowel formants that move from note to note.
std::vector<double> MakeVoice(std::size_t frames, Random& rnd) {
  struct Vowel {
    double F[3];
  };
  static constexpr Vowel kVowels[] = {
      {{800, 1200, 2500}}, {{400, 2000, 2600}}, {{300, 2300, 3000}}, {{500, 900, 2400}}, {{350, 800, 2300}}};
  static constexpr int kScale[] = {57, 60, 62, 64, 67, 69, 72};  // A minor pentatonic
  std::vector<double> f0(frames, 0.0), env(frames, 0.0), vowel(frames * 3, 0.0);
  std::size_t t = static_cast<std::size_t>(0.4 * kRate);
  int degree = 3;
  while (t < frames) {
    const std::size_t phraseEnd =
        std::min(frames, t + static_cast<std::size_t>(rnd.Between(2.2, 3.6) * kRate));
    const double loud = rnd.Between(0.7, 1.0);
    double previousHz = MidiHz(kScale[degree]);
    const std::size_t phraseStart = t;
    while (t < phraseEnd) {
      static constexpr double kLengths[] = {0.25, 0.375, 0.5, 0.75};
      const std::size_t end =
          std::min(phraseEnd, t + static_cast<std::size_t>(kLengths[rnd.Next() % 4] * kRate));
      degree = std::clamp(degree + static_cast<int>(rnd.Next() % 5) - 2, 0, 6);
      const double hz = MidiHz(kScale[degree]);
      const Vowel& v = kVowels[rnd.Next() % 5];
      const double vibratoPhase = rnd.Between(0, 2 * kPi);
      for (std::size_t i = t; i < end; ++i) {
        const double age = static_cast<double>(i - t) / kRate;
        const double glide = std::exp(-age / 0.03);  // 30 ms portamento from the previous note
        const double vibrato = 0.4 * std::min(1.0, std::max(0.0, age - 0.15) / 0.2) *
                               std::sin(2 * kPi * 5.5 * age + vibratoPhase);
        f0[i] = (hz + (previousHz - hz) * glide) * std::pow(2.0, vibrato / 12.0);
        const double in = static_cast<double>(i - phraseStart) / kRate,
                     out = static_cast<double>(phraseEnd - i) / kRate;
        env[i] = loud * std::min({1.0, in / 0.04, out / 0.08}) * (0.85 + 0.15 * std::min(1.0, age / 0.05));
        for (int f = 0; f < 3; ++f) {
          double& slot = vowel[3 * i + static_cast<std::size_t>(f)];
          const double before = i > 0 ? vowel[3 * (i - 1) + static_cast<std::size_t>(f)] : v.F[f];
          slot = before + (v.F[f] - before) * (1.0 / (0.05 * kRate));  // 50 ms formant glide
          if (before == 0.0) slot = v.F[f];
        }
      }
      previousHz = hz;
      t = end;
    }
    t += static_cast<std::size_t>(rnd.Between(0.4, 1.0) * kRate);  // the breath between phrases
  }
  std::vector<double> voice(frames, 0.0), amplitude;
  double phase = 0.0;
  constexpr std::size_t kControl = 32;  // harmonic amplitudes follow the formants every 32 samples
  for (std::size_t i = 0; i < frames; ++i) {
    phase += 2 * kPi * f0[i] / kRate;
    if (env[i] == 0.0) continue;
    const int harmonics = static_cast<int>(8000.0 / f0[i]);
    if (i % kControl == 0 || amplitude.size() < static_cast<std::size_t>(harmonics)) {
      amplitude.assign(static_cast<std::size_t>(harmonics), 0.0);
      for (int h = 1; h <= harmonics; ++h) {
        const double hz = h * f0[i];
        static constexpr double kWidth[] = {110, 130, 190}, kGain[] = {1.0, 0.6, 0.35};
        double shape = 0.04;
        for (int f = 0; f < 3; ++f) {
          const double d = (hz - vowel[3 * i + static_cast<std::size_t>(f)]) / kWidth[f];
          shape += kGain[f] / (1.0 + d * d);
        }
        amplitude[static_cast<std::size_t>(h - 1)] = shape * std::sqrt(300.0 / (hz + 300.0));
      }
    }
    double s = 0.0;
    for (int h = 1; h <= harmonics; ++h)
      s += amplitude[static_cast<std::size_t>(h - 1)] * std::sin(h * phase);
    voice[i] = env[i] * s;
  }
  return voice;
}

// The accompaniment's chords: Am F C G, one a bar of 2 s at 120 beats a minute.
constexpr double kBeat = 0.5;
constexpr int kRoots[] = {45, 41, 48, 43};
constexpr int kThirds[] = {3, 4, 4, 4};
int Bar(double seconds) { return static_cast<int>(seconds / (4 * kBeat)) % 4; }

// A decaying harmonic note (partials 1/h^2, up to `partials`) added at `start`.
void AddNote(std::vector<double>& out, double start, double hz, double length, double decay, int partials,
             double detuneCents = 0.0, double phase = 0.0, double attack = 0.005) {
  const auto first = static_cast<std::size_t>(start * kRate);
  const auto count = static_cast<std::size_t>(length * kRate);
  hz *= std::pow(2.0, detuneCents / 1200.0);
  for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double env = std::min(1.0, t / attack) * std::exp(-t / decay) * std::min(1.0, (length - t) / 0.02);
    double s = 0;
    for (int h = 1; h <= partials && h * hz < 16000.0; ++h)
      s += std::sin(2 * kPi * h * hz * t + h * phase) / (h * h);
    out[first + i] += env * s;
  }
}

struct Instrument {
  std::string Name;
  Stereo Signal;
};

std::vector<Instrument> MakeAccompaniment(std::size_t frames, Random& rnd) {
  const double seconds = static_cast<double>(frames) / kRate;
  std::vector<double> kick(frames, 0.0), bass(frames, 0.0), keys(frames, 0.0), guitar(frames, 0.0),
      strings(frames, 0.0), hats(frames, 0.0);
  Stereo pad(frames);
  for (double beat = 0; beat < seconds; beat += kBeat) {
    // The kick: a sine falling from 120 to 45 Hz.
    const auto first = static_cast<std::size_t>(beat * kRate);
    double phase = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.4 * kRate) && first + i < frames; ++i) {
      const double t = static_cast<double>(i) / kRate;
      phase += 2 * kPi * (45.0 + 75.0 * std::exp(-t / 0.03)) / kRate;
      kick[first + i] += std::min(1.0, t / 0.003) * std::exp(-t / 0.12) * std::sin(phase);
    }
    // The bass: the root on every beat (the fifth on the fourth), all of it below 150 Hz: the
    // second partial only where it stays there.
    const int bar = Bar(beat);
    const double bassHz = MidiHz(kRoots[bar] - 12 + (static_cast<int>(beat / kBeat) % 4 == 3 ? 7 : 0));
    AddNote(bass, beat, bassHz, 0.48, 1.0, 2 * bassHz < 140.0 ? 2 : 1);
    // The hi-hat on the off-beats: differentiated noise.
    double previous = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.06 * kRate); ++i) {
      const std::size_t at = first + static_cast<std::size_t>(kBeat / 2 * kRate) + i;
      if (at >= frames) break;
      const double n = rnd.Normal();
      hats[at] += std::exp(-static_cast<double>(i) / kRate / 0.015) * (n - previous);
      previous = n;
    }
  }
  for (double barStart = 0; barStart < seconds; barStart += 4 * kBeat) {
    const int bar = Bar(barStart);
    const int chord[] = {kRoots[bar] + 12, kRoots[bar] + 12 + kThirds[bar], kRoots[bar] + 19};
    // Keys: the triad struck twice a bar. Strings: the triad an octave up, held, slow attack.
    for (int note : chord) {
      for (double strike : {0.0, 2 * kBeat})
        AddNote(keys, barStart + strike, MidiHz(note), 2 * kBeat, 0.6, 6);
      AddNote(strings, barStart, MidiHz(note + 12), 4 * kBeat, 1e9, 24, 0.0, 0.0, 0.3);
      // A wide pad: the chord an octave down, detuned and phased differently in each channel.
      AddNote(pad.L, barStart, MidiHz(note - 12), 4 * kBeat, 3.0, 4, +8.0, rnd.Between(0, 2 * kPi));
      AddNote(pad.R, barStart, MidiHz(note - 12), 4 * kBeat, 3.0, 4, -8.0, rnd.Between(0, 2 * kPi));
    }
    // Guitar: plucked (Karplus-Strong) eighth-note arpeggios of the chord.
    for (int step = 0; step < 8; ++step) {
      const double hz = MidiHz(chord[(step * 2 + step / 4) % 3] + (step % 4 == 3 ? 12 : 0));
      const auto delay = static_cast<std::size_t>(kRate / hz);
      std::vector<double> line(delay);
      for (double& x : line) x = rnd.Between(-1, 1);
      const auto first = static_cast<std::size_t>((barStart + step * kBeat / 2) * kRate);
      for (std::size_t i = 0; i < static_cast<std::size_t>(0.6 * kRate) && first + i < frames; ++i) {
        const std::size_t j = i % delay;
        const double y = line[j];
        line[j] = 0.996 * 0.5 * (line[j] + line[(j + 1) % delay]);
        guitar[first + i] += y;
      }
    }
  }
  ScaleToRms(kick, 0.45);
  ScaleToRms(bass, 0.45);
  ScaleToRms(keys, 0.30);
  ScaleToRms(guitar, 0.30);
  ScaleToRms(strings, 0.22);
  ScaleToRms(hats, 0.08);
  const double padGain = 0.18 / std::sqrt(pad.Energy() / static_cast<double>(2 * frames));
  pad.Scale(padGain);
  return {{"kick", Pan(kick, 45)},
          {"bass", Pan(bass, 45)},
          {"keys_5deg", Pan(keys, 40)},
          {"guitar_10deg", Pan(guitar, 55)},
          {"strings_left", Pan(strings, 0)},
          {"hats_30deg", Pan(hats, 75)},
          {"pad_wide", pad}};
}

// A diffuse reverberation of the voice: independent exponentially decaying noise tails in the two
// channels (RT60 1.5 s, 20 ms pre-delay), each scaled so that its energy is 7 dB below the dry
// voice's in that channel.
Stereo Reverberate(const Stereo& dry, Random& rnd) {
  const auto tail = static_cast<std::size_t>(1.6 * kRate);
  const std::size_t n = PowerOfTwoAtLeast(dry.Frames() + tail);
  std::vector<double> vr(n, 0.0), vi(n, 0.0), hr(n, 0.0), hi(n, 0.0);
  std::copy(dry.L.begin(), dry.L.end(), vr.begin());  // the centre: L = R
  const auto preDelay = static_cast<std::size_t>(0.02 * kRate);
  for (std::size_t i = preDelay; i < tail; ++i) {
    const double decay = std::exp(-6.9 * static_cast<double>(i - preDelay) / (1.5 * kRate));
    hr[i] = decay * rnd.Normal();
    hi[i] = decay * rnd.Normal();
  }
  Transform(vr, vi, false);
  Transform(hr, hi, false);
  for (std::size_t k = 0; k < n; ++k) {
    const std::complex<double> y = std::complex<double>(vr[k], vi[k]) * std::complex<double>(hr[k], hi[k]);
    vr[k] = y.real();
    vi[k] = y.imag();
  }
  Transform(vr, vi, true);
  Stereo wet(dry.Frames());
  std::copy_n(vr.begin(), dry.Frames(), wet.L.begin());
  std::copy_n(vi.begin(), dry.Frames(), wet.R.begin());
  const double target = std::pow(10.0, -0.7);
  double el = 0, er = 0, dl = 0, dr = 0;
  for (std::size_t i = 0; i < dry.Frames(); ++i)
    el += wet.L[i] * wet.L[i], er += wet.R[i] * wet.R[i], dl += dry.L[i] * dry.L[i],
        dr += dry.R[i] * dry.R[i];
  const double gl = std::sqrt(target * dl / el), gr = std::sqrt(target * dr / er);
  for (std::size_t i = 0; i < dry.Frames(); ++i)
    wet.L[i] = dry.L[i] + gl * wet.L[i], wet.R[i] = dry.R[i] + gr * wet.R[i];
  return wet;
}

// ============================================================================ the mixes

struct Mix {
  std::string Name;
  bool Reverberant = false;
  bool Real = false;
  Stereo Voice, Accompaniment;
  std::vector<Instrument> Instruments;  // the synthetic accompaniment's parts
  std::vector<std::int16_t> Samples;    // the mix, interleaved
  Stereo Rounded() const {              // the mix as the reducers see it
    Stereo s(Samples.size() / 2);
    for (std::size_t i = 0; i < s.Frames(); ++i) s.L[i] = Samples[2 * i], s.R[i] = Samples[2 * i + 1];
    return s;
  }
};

// Scales all stems alike so that the mix peaks at -2 dBFS, and rounds the mix.
void Finish(Mix& m) {
  Stereo sum = m.Voice;
  sum += m.Accompaniment;
  double peak = 0;
  for (std::size_t i = 0; i < sum.Frames(); ++i)
    peak = std::max({peak, std::fabs(sum.L[i]), std::fabs(sum.R[i])});
  const double g = 26000.0 / peak;
  for (Stereo* s : {&m.Voice, &m.Accompaniment, &sum}) s->Scale(g);
  for (Instrument& i : m.Instruments) i.Signal.Scale(g);
  m.Samples.resize(2 * sum.Frames());
  for (std::size_t i = 0; i < sum.Frames(); ++i) {
    m.Samples[2 * i] = static_cast<std::int16_t>(std::lround(sum.L[i]));
    m.Samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(sum.R[i]));
  }
}

// ============================================================================ applying the operators

// The block reduction's operator, block by block, on companion signals: blocks of N frames at hop
// N/2 from frame 0 (silent past the end), the rectangular window, the per-bin scales, the half-
// spectrum inverse and the sin^2/cos^2 cross-fade, as SpectralReducer does them.
class BlockCompanions {
 public:
  BlockCompanions(int n, std::vector<const Stereo*> stems) : n_(n), h_(n / 2), stems_(std::move(stems)) {
    for (TWaveFFT* t : {&fftL_, &fftR_}) {
      t->SetRadix(0);
      t->SetCount(n_);
      t->SetSamplingRate(kRate);
      t->SetWindowType(TWindowType::wtRECTANGULAR);
      t->SetStabilize(false);
    }
    ifftL_.SetCount(h_);
    ifftR_.SetCount(h_);
    for (int k = 0; k < h_; ++k) {
      const long double theta = k * (std::numbers::pi_v<long double> / 2) / (h_ - 1);
      fadeIn_.push_back(static_cast<double>(std::sin(theta) * std::sin(theta)));
      fadeOut_.push_back(static_cast<double>(std::cos(theta) * std::cos(theta)));
    }
    for (const Stereo* s : stems_) {
      Outputs.emplace_back(s->Frames());
      previous_.emplace_back(static_cast<std::size_t>(h_));
    }
  }

  void Apply(std::span<const double> scaleL, std::span<const double> scaleR) {
    const std::size_t first = block_++ * static_cast<std::size_t>(h_);
    std::vector<double> xL(static_cast<std::size_t>(n_)), xR(static_cast<std::size_t>(n_));
    for (std::size_t s = 0; s < stems_.size(); ++s) {
      const Stereo& in = *stems_[s];
      for (std::size_t i = 0; i < xL.size(); ++i) {
        xL[i] = first + i < in.Frames() ? in.L[first + i] : 0.0;
        xR[i] = first + i < in.Frames() ? in.R[first + i] : 0.0;
      }
      fftL_.SetData(xL);
      fftR_.SetData(xR);
      ExecutePair(fftL_, fftR_);
      for (int k = 0; k < h_; ++k) {
        const auto u = static_cast<std::size_t>(k);
        ifftL_.HalfRe()[k] = scaleL[u] * fftL_.Re()[k];
        ifftL_.HalfIm()[k] = scaleL[u] * fftL_.Im()[k];
        ifftR_.HalfRe()[k] = scaleR[u] * fftR_.Re()[k];
        ifftR_.HalfIm()[k] = scaleR[u] * fftR_.Im()[k];
      }
      ExecutePair(ifftL_, ifftR_);
      Stereo& out = Outputs[s];
      Stereo& prev = previous_[s];
      for (std::size_t k = 0; k < static_cast<std::size_t>(h_); ++k) {
        if (first + k < out.Frames()) {
          out.L[first + k] = ifftL_.OutRe()[k] * fadeIn_[k] + prev.L[k] * fadeOut_[k];
          out.R[first + k] = ifftR_.OutRe()[k] * fadeIn_[k] + prev.R[k] * fadeOut_[k];
        }
        prev.L[k] = ifftL_.OutRe()[k + static_cast<std::size_t>(h_)];
        prev.R[k] = ifftR_.OutRe()[k + static_cast<std::size_t>(h_)];
      }
    }
  }

  std::vector<Stereo> Outputs;

 private:
  int n_, h_;
  std::vector<const Stereo*> stems_;
  std::size_t block_ = 0;
  TWaveFFT fftL_, fftR_;
  TWaveIFFT ifftL_, ifftR_;
  std::vector<double> fadeIn_, fadeOut_;
  std::vector<Stereo> previous_;
};

// The quality mode's operator, frame by frame, on companion signals: frame t covers signal samples
// t*H - N .. t*H - 1 through a periodic Hann window; Y_L = Keep X_L - Cancel e, Y_R = Keep X_R -
// Cancel e with e = M - Kappa S; overlap-add through the Hann window times 2/3.
class FrameCompanions {
 public:
  FrameCompanions(int n, std::vector<const Stereo*> stems)
      : n_(static_cast<std::size_t>(n)), stems_(std::move(stems)), window_(n_), re_(n_), im_(n_) {
    for (std::size_t i = 0; i < n_; ++i)
      window_[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(n_));
    for (const Stereo* s : stems_) Outputs.emplace_back(s->Frames());
  }

  void Apply(const QualityFrameOperator& op) {
    const auto start = static_cast<std::int64_t>(op.Frame) * static_cast<std::int64_t>(n_ / 4) -
                       static_cast<std::int64_t>(n_);
    const std::size_t half = n_ / 2;
    for (std::size_t s = 0; s < stems_.size(); ++s) {
      const Stereo& in = *stems_[s];
      const auto length = static_cast<std::int64_t>(in.Frames());
      for (std::size_t i = 0; i < n_; ++i) {
        const std::int64_t at = start + static_cast<std::int64_t>(i);
        const bool inside = at >= 0 && at < length;
        re_[i] = inside ? window_[i] * in.L[static_cast<std::size_t>(at)] : 0.0;
        im_[i] = inside ? window_[i] * in.R[static_cast<std::size_t>(at)] : 0.0;
      }
      Transform(re_, im_, false);
      // Separate Z = X_L + i X_R, apply the operator, and pack Y_L + i Y_R again (bins 0 and N/2
      // keep their real parts only, as the reducer's inverse does).
      std::vector<std::complex<double>> yl(half + 1), yr(half + 1);
      for (std::size_t k = 0; k <= half; ++k) {
        const std::complex<double> z(re_[k], im_[k]),
            w = std::conj(std::complex<double>(re_[(n_ - k) % n_], im_[(n_ - k) % n_]));
        const std::complex<double> xl = 0.5 * (z + w), xr = std::complex<double>(0, -0.5) * (z - w);
        const std::complex<double> e =
            0.5 * (xl + xr) - std::complex<double>(op.KappaRe[k], op.KappaIm[k]) * 0.5 * (xl - xr);
        yl[k] = op.Keep[k] * xl - op.Cancel[k] * e;
        yr[k] = op.Keep[k] * xr - op.Cancel[k] * e;
      }
      for (std::size_t k = 0; k <= half; ++k) {
        const bool edge = k == 0 || k == half;
        const std::complex<double> l = edge ? yl[k].real() : yl[k], r = edge ? yr[k].real() : yr[k];
        const std::complex<double> z = l + std::complex<double>(0, 1) * r;
        re_[k] = z.real();
        im_[k] = z.imag();
        if (!edge) {
          const std::complex<double> m = std::conj(l) + std::complex<double>(0, 1) * std::conj(r);
          re_[n_ - k] = m.real();
          im_[n_ - k] = m.imag();
        }
      }
      Transform(re_, im_, true);
      Stereo& out = Outputs[s];
      for (std::size_t i = 0; i < n_; ++i) {
        const std::int64_t at = start + static_cast<std::int64_t>(i);
        if (at < 0 || at >= length) continue;
        const double w = window_[i] * 2.0 / 3.0;
        out.L[static_cast<std::size_t>(at)] += w * re_[i];
        out.R[static_cast<std::size_t>(at)] += w * im_[i];
      }
    }
  }

  std::vector<Stereo> Outputs;

 private:
  std::size_t n_;
  std::vector<const Stereo*> stems_;
  std::vector<double> window_, re_, im_;
};

// ============================================================================ running the reducers

enum class Mode { Block, Quality };
const char* Name(Mode m) { return m == Mode::Block ? "block" : "quality"; }

ReductionSettings Settings(Mode mode, bool inverse) {
  ReductionSettings s;
  s.Quality = mode == Mode::Quality;
  s.Inverse = inverse;
  return s;
}

// The block reduction over a whole signal as the job runs it; `observe` receives each block's scales.
std::vector<std::int16_t> RunBlock(
    const std::vector<std::int16_t>& mix, bool inverse,
    std::function<void(std::span<const double>, std::span<const double>)> observe) {
  SpectralReducer reducer(kBlockSize, Settings(Mode::Block, inverse), kRate);
  reducer.ScalesObserver = std::move(observe);
  const std::size_t frames = mix.size() / 2, n = kBlockSize, h = n / 2;
  std::vector<std::int16_t> block(2 * n), result(2 * h), out;
  out.reserve(mix.size());
  for (std::size_t first = 0; first < frames; first += h) {
    for (std::size_t i = 0; i < 2 * n; ++i)
      block[i] = 2 * first + i < mix.size() ? mix[2 * first + i] : std::int16_t{0};
    reducer.ProcessBlock(block, result);
    out.insert(out.end(), result.begin(),
               result.begin() + static_cast<std::ptrdiff_t>(2 * std::min(h, frames - first)));
  }
  return out;
}

// The quality mode as the job runs it with the automatic reverb setting: the meter's pass, then the
// reduction in chunks. Returns the output; `beta` receives the meter's verdict.
std::vector<std::int16_t> RunQuality(const std::vector<std::int16_t>& mix, bool inverse, double& beta,
                                     std::function<void(const QualityFrameOperator&)> observe) {
  const ReductionSettings settings = Settings(Mode::Quality, inverse);
  CentreReverbMeter meter(QualityParameters::For(settings, kRate, 0.0));
  constexpr std::size_t kChunk = 2 * 8192;
  for (std::size_t i = 0; i < mix.size(); i += kChunk)
    meter.Push(std::span<const std::int16_t>(mix).subspan(i, std::min(kChunk, mix.size() - i)));
  meter.Finish();
  beta = meter.Beta();
  QualityReducer reducer(QualityParameters::For(settings, kRate, beta));
  reducer.FrameObserver = std::move(observe);
  std::vector<std::int16_t> out;
  out.reserve(mix.size());
  for (std::size_t i = 0; i < mix.size(); i += kChunk)
    reducer.Process(std::span<const std::int16_t>(mix).subspan(i, std::min(kChunk, mix.size() - i)), out);
  reducer.Finish(out);
  return out;
}

struct Scores {
  double Suppression = 0, AccSdr = 0, BassSdr = 0, CorrTrue = 0, CorrOut = 0, InverseSdr = 0, Beta = 0,
         SelfCheck = 0;
  std::map<std::string, double> Loss, InstrumentSdr;  // per instrument: energy lost, and SDR
};

Scores Score(Mode mode, const Mix& m) {
  const Stereo mixed = m.Rounded();
  std::vector<const Stereo*> stems{&mixed, &m.Voice, &m.Accompaniment};
  for (const Instrument& i : m.Instruments) stems.push_back(&i.Signal);
  std::vector<std::int16_t> output, inverse;
  std::vector<Stereo> processed;
  Scores s;
  if (mode == Mode::Block) {
    BlockCompanions companions(kBlockSize, stems);
    output = RunBlock(m.Samples, false, [&](auto l, auto r) { companions.Apply(l, r); });
    inverse = RunBlock(m.Samples, true, nullptr);
    processed = std::move(companions.Outputs);
  } else {
    FrameCompanions companions(QualityParameters::For(Settings(mode, false), kRate, 0.0).N, stems);
    output =
        RunQuality(m.Samples, false, s.Beta, [&](const QualityFrameOperator& op) { companions.Apply(op); });
    double beta = 0;
    inverse = RunQuality(m.Samples, true, beta, nullptr);
    processed = std::move(companions.Outputs);
  }
  if (output.size() != m.Samples.size() || inverse.size() != m.Samples.size())
    throw std::runtime_error(std::string(Name(mode)) + ": the output's length differs from the mix's");
  // The frozen operator applied to the mix against the reducer's own rounded output.
  for (std::size_t i = 0; i < mixed.Frames(); ++i) {
    s.SelfCheck = std::max({s.SelfCheck, std::fabs(std::nearbyint(processed[0].L[i]) - output[2 * i]),
                            std::fabs(std::nearbyint(processed[0].R[i]) - output[2 * i + 1])});
  }
  const Stereo& voiceOut = processed[1];
  const Stereo& accOut = processed[2];
  s.Suppression = Db(m.Voice.Energy() / voiceOut.Energy());
  s.AccSdr = Sdr(m.Accompaniment, accOut);
  s.BassSdr = Sdr(LowPass(m.Accompaniment), LowPass(accOut));
  s.CorrTrue = Correlation(HighPass(m.Accompaniment));
  s.CorrOut = Correlation(HighPass(accOut));
  Stereo inv(mixed.Frames());
  for (std::size_t i = 0; i < inv.Frames(); ++i) inv.L[i] = inverse[2 * i], inv.R[i] = inverse[2 * i + 1];
  s.InverseSdr = Sdr(m.Voice, inv);
  for (std::size_t i = 0; i < m.Instruments.size(); ++i) {
    s.Loss[m.Instruments[i].Name] = Db(m.Instruments[i].Signal.Energy() / processed[3 + i].Energy());
    s.InstrumentSdr[m.Instruments[i].Name] = Sdr(m.Instruments[i].Signal, processed[3 + i]);
  }
  return s;
}

// ============================================================================ files and the recording

// A scratch directory of our own, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir()
      : path_(fs::temp_directory_path() / ("merolune-bench-separation-" + std::to_string(getpid()))) {
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Any audio file as 16-bit stereo at 44.1 kHz, at most `seconds` long (ffmpeg decodes it).
std::vector<std::int16_t> Decode(const std::string& path, double seconds, const ScratchDir& scratch) {
  const std::string raw = scratch.File("decoded.raw");
  bench::RunChildChecked(
      {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-t", std::to_string(seconds), "-ac", "2",
       "-ar", "44100", "-f", "s16le", "-c:a", "pcm_s16le", raw},
      bench::ChildOutput::ToStandardError);
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(
        static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8)));
  fs::remove(raw);
  return samples;
}

// The track of Debian's game music package: apt-get download, dpkg -x. Empty (with the reason on
// stderr) when that is not possible here.
std::string FetchRecording(const ScratchDir& scratch) {
  const std::string dir = scratch.File("music");
  fs::create_directories(dir);
  bench::ChildRun got;
  try {
    got = bench::RunChild(
        {"sh", "-c", "cd \"$1\" && apt-get download -qq \"$2\" && dpkg -x ./*.deb unpacked && rm -f ./*.deb",
         "sh", dir, kMusicPackage},
        bench::ChildOutput::ToStandardError);
  } catch (const std::exception& e) {  // no shell here
    std::fprintf(stderr, "merolune-bench-separation: %s\n", e.what());
    return {};
  }
  if (!got.Succeeded()) {
    std::fprintf(stderr, "merolune-bench-separation: fetching %s failed (%s)\n", kMusicPackage,
                 got.Describe().c_str());
    return {};
  }
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(dir, error))
    if (entry.path().filename() == kTrack) return entry.path().string();
  std::fprintf(stderr, "merolune-bench-separation: %s holds no %s\n", kMusicPackage, kTrack);
  return {};
}

void WriteWav(const std::string& path, const std::vector<std::int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  const auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  const auto data = static_cast<std::uint32_t>(2 * samples.size());
  out.write("RIFF", 4);
  put(36 + data, 4);
  out.write("WAVEfmt ", 8);
  put(16, 4);  // PCM, 2 channels, 44.1 kHz, 4 bytes a frame, 16 bits
  put(1, 2);
  put(2, 2);
  put(44100, 4);
  put(44100 * 4, 4);
  put(4, 2);
  put(16, 2);
  out.write("data", 4);
  put(data, 4);
  for (std::int16_t s : samples) put(static_cast<std::uint16_t>(s), 2);
  if (!out) throw std::runtime_error("cannot write " + path);
}

// ============================================================================ speed

struct Speed {
  double Median = 0, Cpu = 0, SongSeconds = 0;
};

Speed TimeMode(Mode mode, const std::vector<std::int16_t>& song, int reps) {
  std::vector<double> wall, cpu;
  for (int r = 0; r < reps; ++r) {
    const std::clock_t c0 = std::clock();
    const auto t0 = std::chrono::steady_clock::now();
    double beta = 0;
    const std::vector<std::int16_t> out =
        mode == Mode::Block ? RunBlock(song, false, nullptr) : RunQuality(song, false, beta, nullptr);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    cpu.push_back(static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
  }
  return {Median(wall), Median(cpu), static_cast<double>(song.size() / 2) / kRate};
}

// ============================================================================ the run

struct Row {
  Mode M;
  std::string Mix;
  Scores S;
};

std::string Figure(double v, const char* format = "%.1f") {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

int Run(const Options& o) {
  ScratchDir scratch;
  const auto frames = static_cast<std::size_t>(o.Seconds * kRate);
  Random rnd(20260509);
  std::vector<double> voiceMono = MakeVoice(frames, rnd);
  ScaleToRms(voiceMono, 1.0);
  const Stereo dryVoice = Pan(voiceMono, 45);
  const Stereo wetVoice = Reverberate(dryVoice, rnd);
  const std::vector<Instrument> instruments = MakeAccompaniment(frames, rnd);
  Stereo synthetic(frames);
  for (const Instrument& i : instruments) synthetic += i.Signal;

  std::vector<Mix> mixes;
  for (bool wet : {false, true}) {
    Mix m{wet ? "synthetic-reverb" : "synthetic-dry",
          wet,
          false,
          wet ? wetVoice : dryVoice,
          synthetic,
          instruments,
          {}};
    Finish(m);
    mixes.push_back(std::move(m));
  }
  std::string recording = o.Recording.empty() ? FetchRecording(scratch) : o.Recording;
  if (!recording.empty()) {
    std::vector<std::int16_t> samples;
    try {
      samples = Decode(recording, o.Seconds, scratch);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "merolune-bench-separation: %s\n", e.what());
    }
    if (samples.size() / 2 < frames) {
      std::printf(
          "note: the recording %s could not be read or is shorter than %.0f s; its mixes are skipped\n",
          recording.c_str(), o.Seconds);
      recording.clear();
    } else {
      Stereo real(frames);
      for (std::size_t i = 0; i < frames; ++i) real.L[i] = samples[2 * i], real.R[i] = samples[2 * i + 1];
      // The voice as loud as the recording.
      for (bool wet : {false, true}) {
        Stereo voice = wet ? wetVoice : dryVoice;
        voice.Scale(std::sqrt(real.Energy() / dryVoice.Energy()));
        Mix m{wet ? "real-reverb" : "real-dry", wet, true, voice, real, {}, {}};
        Finish(m);
        mixes.push_back(std::move(m));
      }
    }
  } else {
    std::printf("note: no recording (see above); the real-recording mixes are skipped\n");
  }
  if (!recording.empty()) std::printf("recording path=%s seconds=%.1f\n", recording.c_str(), o.Seconds);

  std::vector<Row> rows;
  for (const Mix& m : mixes) {
    const double full = 2.0 * 32768.0 * 32768.0 * static_cast<double>(frames);
    std::printf("mix name=%s seconds=%.1f voice_db=%.1f accompaniment_db=%.1f\n", m.Name.c_str(), o.Seconds,
                Db(m.Voice.Energy() / full), Db(m.Accompaniment.Energy() / full));
    for (Mode mode : {Mode::Block, Mode::Quality}) {
      const Scores s = Score(mode, m);
      std::printf("selfcheck mode=%s mix=%s max_lsb=%.0f ok=%s\n", Name(mode), m.Name.c_str(), s.SelfCheck,
                  s.SelfCheck <= 3 ? "yes" : "NO");
      std::printf(
          "separation mode=%s mix=%s suppression_db=%.2f acc_sdr_db=%.2f bass_sdr_db=%.2f corr_true=%.3f "
          "corr_out=%.3f inverse_vocal_sdr_db=%.2f",
          Name(mode), m.Name.c_str(), s.Suppression, s.AccSdr, s.BassSdr, s.CorrTrue, s.CorrOut,
          s.InverseSdr);
      if (mode == Mode::Quality) std::printf(" beta=%.2f", s.Beta);
      for (const Instrument& i : m.Instruments)
        std::printf(" loss_%s_db=%.2f sdr_%s_db=%.1f", i.Name.c_str(), s.Loss.at(i.Name), i.Name.c_str(),
                    s.InstrumentSdr.at(i.Name));
      std::printf("\n");
      std::fflush(stdout);
      rows.push_back({mode, m.Name, s});
    }
    if (o.WriteWavs && m.Real) {
      fs::create_directories(o.Out);
      WriteWav(o.Out + "/" + m.Name + "-source.wav", m.Samples);
      WriteWav(o.Out + "/" + m.Name + "-block.wav", RunBlock(m.Samples, false, nullptr));
      double beta = 0;
      WriteWav(o.Out + "/" + m.Name + "-quality.wav", RunQuality(m.Samples, false, beta, nullptr));
      std::printf("wavs mix=%s dir=%s\n", m.Name.c_str(), o.Out.c_str());
    }
  }
  mixes.clear();

  // The speed on the demo song, each mode on one thread as the job runs it.
  const std::string song = scratch.File("song.wav");
  bench::RunChildChecked({MEROLUNE_DEMOSONG, "--seconds", Figure(o.SpeedSeconds, "%g"), song},
                         bench::ChildOutput::ToStandardError);
  const std::vector<std::int16_t> songSamples = Decode(song, o.SpeedSeconds + 1, scratch);
  std::map<Mode, Speed> speed;
  for (Mode mode : {Mode::Block, Mode::Quality}) {
    const Speed sp = speed[mode] = TimeMode(mode, songSamples, o.Reps);
    std::printf("speed mode=%s song_s=%.1f reps=%d median_s=%.3f x_realtime=%.1f cpu_x_realtime=%.1f\n",
                Name(mode), sp.SongSeconds, o.Reps, sp.Median, sp.SongSeconds / sp.Median,
                sp.SongSeconds / sp.Cpu);
    std::fflush(stdout);
  }

  // The summary.
  std::printf(
      "\n| mode | mix | suppression dB | acc SDR dB | bass SDR dB | corr out / true | inverse vocal SDR dB "
      "| loss 5° dB | loss 10° dB | loss hard-left dB | self-check LSB |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  const auto loss = [](const Scores& s, const char* name) {
    return s.Loss.count(name) ? Figure(s.Loss.at(name), "%.2f") : std::string("–");
  };
  for (const Row& r : rows) {
    std::printf("| %s | %s | %.1f | %.1f | %.1f | %.3f / %.3f | %.1f | %s | %s | %s | %.0f |\n", Name(r.M),
                r.Mix.c_str(), r.S.Suppression, r.S.AccSdr, r.S.BassSdr, r.S.CorrOut, r.S.CorrTrue,
                r.S.InverseSdr, loss(r.S, "keys_5deg").c_str(), loss(r.S, "guitar_10deg").c_str(),
                loss(r.S, "strings_left").c_str(), r.S.SelfCheck);
  }
  std::printf("| block | speed | %.0f× real time (processor time; wall %.0f×) |||||||||\n",
              speed[Mode::Block].SongSeconds / speed[Mode::Block].Cpu,
              speed[Mode::Block].SongSeconds / speed[Mode::Block].Median);
  std::printf("| quality | speed | %.0f× real time (processor time; wall %.0f×) |||||||||\n",
              speed[Mode::Quality].SongSeconds / speed[Mode::Quality].Cpu,
              speed[Mode::Quality].SongSeconds / speed[Mode::Quality].Median);

  // The quality mode's goals beside its figures.
  std::printf("\n| goal (quality mode) | mix | figure | met |\n|---|---|---|---|\n");
  const auto goal = [](const char* what, const std::string& mix, const std::string& figure, bool met) {
    std::printf("| %s | %s | %s | %s |\n", what, mix.c_str(), figure.c_str(), met ? "yes" : "no");
  };
  for (const Row& r : rows) {
    if (r.M != Mode::Quality) continue;
    const Scores& s = r.S;
    const bool wet = r.Mix.find("reverb") != std::string::npos;
    if (!wet) {
      goal("suppression ≥ 20 dB with accompaniment SDR ≥ 12 dB", r.Mix,
           Figure(s.Suppression) + " dB, " + Figure(s.AccSdr) + " dB", s.Suppression >= 20 && s.AccSdr >= 12);
      goal("bass SDR below 150 Hz ≥ 30 dB", r.Mix, Figure(s.BassSdr) + " dB", s.BassSdr >= 30);
      goal("stereo correlation above 150 Hz within 0.1", r.Mix,
           Figure(s.CorrOut, "%.3f") + " vs " + Figure(s.CorrTrue, "%.3f"),
           std::fabs(s.CorrOut - s.CorrTrue) <= 0.1);
      goal("inverse vocal SDR ≥ 10 dB", r.Mix, Figure(s.InverseSdr) + " dB", s.InverseSdr >= 10);
      if (s.Loss.count("keys_5deg")) {
        goal("5° off centre loses ≤ 3 dB", r.Mix, Figure(s.Loss.at("keys_5deg"), "%.2f") + " dB",
             s.Loss.at("keys_5deg") <= 3);
        goal("10° off centre loses ≤ 6 dB", r.Mix, Figure(s.Loss.at("guitar_10deg"), "%.2f") + " dB",
             s.Loss.at("guitar_10deg") <= 6);
        goal("hard left loses nothing (within ±0.1 dB)", r.Mix,
             Figure(s.Loss.at("strings_left"), "%.2f") + " dB (its SDR " +
                 Figure(s.InstrumentSdr.at("strings_left")) + " dB)",
             std::fabs(s.Loss.at("strings_left")) <= 0.1);
      }
    } else {
      goal("reverberant suppression ≥ 10 dB", r.Mix,
           Figure(s.Suppression) + " dB (beta " + Figure(s.Beta, "%.2f") + ")", s.Suppression >= 10);
    }
  }
  const double x = speed[Mode::Quality].SongSeconds / speed[Mode::Quality].Cpu;
  goal("speed ≥ 150× real time", "demo song", Figure(x, "%.0f") + "×", x >= 150);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    bench::WalkOptions(argc, argv, kUsage, [&](std::string_view option, const bench::OptionValue& value) {
      const auto number = [&](double low, double high) {
        const std::string text = value();
        std::size_t used = 0;
        double v = 0;
        try {
          v = std::stod(text, &used);
        } catch (const std::exception&) {
          used = 0;
        }
        if (used != text.size() || !(v >= low && v <= high))
          throw std::invalid_argument(std::string(option) + " wants a number from " + Figure(low, "%g") +
                                      " to " + Figure(high, "%g") + ", not '" + text + "'");
        return v;
      };
      if (option == "--seconds")
        o.Seconds = number(5, 600);
      else if (option == "--recording")
        o.Recording = value();
      else if (option == "--write-wavs")
        o.WriteWavs = true;
      else if (option == "--out")
        o.Out = value();
      else if (option == "--speed-seconds")
        o.SpeedSeconds = number(1, 3600);
      else if (option == "--reps")
        o.Reps = static_cast<int>(number(1, 100));
      else
        return false;
      return true;
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-separation: %s\nTry 'merolune-bench-separation --help'.\n",
                 e.what());
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-bench-separation: %s\n", e.what());
    return 1;
  }
}
