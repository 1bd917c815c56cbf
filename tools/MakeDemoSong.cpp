// merolune-demosong: writes a short pop song whose singer sits exactly in the centre.
//
// The song is demo and test material for the reduction. The singer is the same samples in both
// channels, which is what the reduction removes; the guitar (left), the electric piano (right),
// the hi-hat (a little right) and a stereo room are what it has to keep. A centred bass, kick
// and snare make the task as hard as in a real mix. --voice-only and --no-voice write the two
// parts at the full mix's gain, so that a test can tell how much of each a reduction took away.
//
// Every run writes the same bytes on every x86-64 machine. glibc picks its sin/exp variants by
// CPU at load time (with or without FMA), and those may differ in the last bit; so the signal
// path computes sines and exponentials with the short series below, made of IEEE basic
// operations only, and its noise comes from fixed-seed integer generators.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#if defined(__SSE2__)
#include <pmmintrin.h>
#include <xmmintrin.h>
#endif

#include "Samples.h"
#include "Stream.h"
#include "WaveHeader.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    R"(Usage: merolune-demosong [--seconds S] [--rate HZ] [--no-voice | --voice-only] OUT.wav

Writes a demo song to OUT.wav: 16-bit stereo PCM, S seconds long (default 20) at HZ
samples per second (default 44100, 8000..192000), the same bytes on every run.
The singer is exactly centred (left = right); the instruments are spread across.

  --no-voice    the mix without the singer (the singer's room echo stays: it is not centred)
  --voice-only  only the dry singer
Both keep the full mix's gain: voice-only plus no-voice is the full mix to within rounding.

Exit status: 0 written, 1 failed, 2 bad usage.
)";

// ---------------------------------------------------------------------------------------------
// Math that gives the same bits on every CPU.

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kLn2 = 0.69314718055994530942;
constexpr double kLog2E = 1.44269504088896340736;
constexpr double kLog2Of10 = 3.32192809488736234787;

// sin(x) for |x| <= pi/2 by its Taylor series to x^15 (error below 1e-11).
double SinCore(double x) {
  const double x2 = x * x;
  double p = -1.0 / 1307674368000.0;
  p = p * x2 + 1.0 / 6227020800.0;
  p = p * x2 - 1.0 / 39916800.0;
  p = p * x2 + 1.0 / 362880.0;
  p = p * x2 - 1.0 / 5040.0;
  p = p * x2 + 1.0 / 120.0;
  p = p * x2 - 1.0 / 6.0;
  p = p * x2 + 1.0;
  return x * p;
}

double Sin(double x) {
  x -= kTwoPi * std::floor(x / kTwoPi + 0.5);  // now in [-pi, pi]
  if (x > 0.5 * kPi) {
    x = kPi - x;
  } else if (x < -0.5 * kPi) {
    x = -kPi - x;
  }
  return SinCore(x);
}

double Cos(double x) { return Sin(x + 0.5 * kPi); }

// 2^x: the whole part by ldexp (exact), the fraction by the series of e^y, y < ln 2, to y^13.
double Exp2(double x) {
  x = std::clamp(x, -1000.0, 1000.0);
  const double whole = std::floor(x);
  const double y = (x - whole) * kLn2;
  double p = 1.0 / 6227020800.0;
  p = p * y + 1.0 / 479001600.0;
  p = p * y + 1.0 / 39916800.0;
  p = p * y + 1.0 / 3628800.0;
  p = p * y + 1.0 / 362880.0;
  p = p * y + 1.0 / 40320.0;
  p = p * y + 1.0 / 5040.0;
  p = p * y + 1.0 / 720.0;
  p = p * y + 1.0 / 120.0;
  p = p * y + 1.0 / 24.0;
  p = p * y + 1.0 / 6.0;
  p = p * y + 0.5;
  p = p * y + 1.0;
  p = p * y + 1.0;
  return std::ldexp(p, static_cast<int>(whole));
}

double Exp(double x) { return Exp2(x * kLog2E); }

// Frequency of a (possibly fractional) MIDI note; A4 = 69 = 440 Hz.
double NoteHz(double note) { return 440.0 * Exp2((note - 69.0) / 12.0); }

// Per-sample factor of an exponential decay with time constant `seconds`.
double DecayFactor(double seconds, double rate) { return Exp(-1.0 / (seconds * rate)); }

// Per-sample step of a one-pole smoother that covers 63 % of the way in `seconds`.
double SmoothingStep(double seconds, double rate) { return 1.0 - DecayFactor(seconds, rate); }

// One cycle of sine for the oscillators, read with linear interpolation (error about 3e-7,
// far below the 16-bit floor) because the song needs tens of millions of them.
class SineTable {
 public:
  SineTable() {
    for (int i = 0; i <= kSize; ++i) table_[i] = Sin(kTwoPi * i / kSize);
    table_[kSize + 1] = table_[1];
  }

  // sin(2 pi cycles) for any cycles.
  double operator()(double cycles) const { return Wrapped(cycles - std::floor(cycles)); }

  // sin(2 pi cycles) for cycles in [0, 1].
  double Wrapped(double cycles) const {
    const double position = cycles * kSize;
    const int index = static_cast<int>(position);  // kSize only for 1, which the guard entry covers
    return table_[index] + (position - index) * (table_[index + 1] - table_[index]);
  }

 private:
  static constexpr int kSize = 4096;
  std::array<double, kSize + 2> table_{};
};

const SineTable& Sine() {
  static const SineTable table;
  return table;
}

// SplitMix64: small, fast and the same everywhere; each part of the band owns one, so that
// the parts do not disturb each other's noise.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  // Uniform in [-1, 1).
  double Bipolar() { return 2.0 * Unit() - 1.0; }

 private:
  std::uint64_t state_;
};

// ---------------------------------------------------------------------------------------------
// Filters.

// A biquad from the audio-EQ cookbook, in transposed direct form II.
class Biquad {
 public:
  enum class Kind { LowPass, HighPass, BandPass };

  void Set(Kind kind, double hz, double q, double rate) {
    const double w = kTwoPi * std::min(hz, 0.45 * rate) / rate;
    const double cosw = Cos(w);
    const double alpha = Sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    switch (kind) {
      case Kind::LowPass:
        b0_ = 0.5 * (1.0 - cosw);
        b1_ = 1.0 - cosw;
        b2_ = b0_;
        break;
      case Kind::HighPass:
        b0_ = 0.5 * (1.0 + cosw);
        b1_ = -(1.0 + cosw);
        b2_ = b0_;
        break;
      case Kind::BandPass:  // 0 dB at the centre
        b0_ = alpha;
        b1_ = 0.0;
        b2_ = -alpha;
        break;
    }
    b0_ /= a0;
    b1_ /= a0;
    b2_ /= a0;
    a1_ = -2.0 * cosw / a0;
    a2_ = (1.0 - alpha) / a0;
  }

  double Process(double x) {
    const double y = b0_ * x + z1_;
    z1_ = b1_ * x - a1_ * y + z2_;
    z2_ = b2_ * x - a2_ * y;
    return y;
  }

 private:
  double b0_ = 1.0, b1_ = 0.0, b2_ = 0.0, a1_ = 0.0, a2_ = 0.0;
  double z1_ = 0.0, z2_ = 0.0;
};

// A two-pole resonator with unity gain at 0 Hz, as cascade formant synthesisers use: chained,
// the resonators shape the vowel while the overall level stays put when the formants move.
class Resonator {
 public:
  void Set(double hz, double bandwidth, double rate) {
    const double r = Exp(-kPi * bandwidth / rate);
    c_ = -r * r;
    b_ = 2.0 * r * Cos(kTwoPi * std::min(hz, 0.45 * rate) / rate);
    a_ = 1.0 - b_ - c_;
  }

  double Process(double x) {
    const double y = a_ * x + b_ * y1_ + c_ * y2_;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  double a_ = 1.0, b_ = 0.0, c_ = 0.0, y1_ = 0.0, y2_ = 0.0;
};

// Removes what is below ~30 Hz: envelopes and plucks leave a little offset that a mix would not.
class DcBlocker {
 public:
  explicit DcBlocker(double rate) : keep_(DecayFactor(1.0 / (kTwoPi * 30.0), rate)) {}
  double Process(double x) {
    const double y = x - x1_ + keep_ * y1_;
    x1_ = x;
    y1_ = y;
    return y;
  }

 private:
  double keep_;
  double x1_ = 0.0, y1_ = 0.0;
};

// ---------------------------------------------------------------------------------------------
// The arrangement: 96 beats a minute in 4/4 on a grid of sixteenth notes; one bar of band,
// then a 16-bar cycle of verse and chorus that repeats for as long as the song runs.

constexpr double kBeatsPerMinute = 96.0;
constexpr int kTicksPerBeat = 4;
constexpr int kTicksPerBar = 4 * kTicksPerBeat;
constexpr int kIntroTicks = kTicksPerBar;
constexpr int kCycleBars = 16;
constexpr int kCycleTicks = kCycleBars * kTicksPerBar;
constexpr int kChorusFirstBar = 8;

struct Chord {
  int bass;                   // root in the bass register
  std::array<int, 6> guitar;  // open-position shape, lowest string first; -1: not played
  std::array<int, 4> piano;   // close voicing around middle C
};

constexpr Chord kG{43, {43, 47, 50, 55, 59, 67}, {55, 59, 62, 67}};
constexpr Chord kEm{40, {40, 47, 52, 55, 59, 64}, {52, 59, 64, 67}};
constexpr Chord kC{36, {-1, 48, 52, 55, 60, 64}, {52, 55, 60, 64}};
constexpr Chord kD{38, {-1, -1, 50, 57, 62, 66}, {54, 57, 62, 66}};

// Verse: G Em C D twice; chorus: C D G Em, C D G G.
// clang-format off
constexpr std::array<const Chord*, kCycleBars> kProgression{
    &kG, &kEm, &kC, &kD, &kG, &kEm, &kC, &kD, &kC, &kD, &kG, &kEm, &kC, &kD, &kG, &kG};
// clang-format on

// One sung note: where it starts in the cycle and how long it lasts (sixteenths), its pitch
// and its syllable (an optional consonant, then the vowel that the last letter names).
struct Syllable {
  int tick;
  int ticks;
  int note;
  const char* text;
};

// clang-format off
constexpr std::array kMelody{
    // Verse, first half.
    Syllable{0, 4, 67, "ha"}, Syllable{4, 2, 69, "ru"}, Syllable{6, 6, 71, "no"}, Syllable{12, 3, 74, "so"},
    Syllable{16, 4, 71, "ra"}, Syllable{20, 2, 67, "ni"}, Syllable{22, 6, 64, "ka"}, Syllable{30, 2, 64, "ze"},
    Syllable{32, 2, 64, "ga"}, Syllable{34, 2, 67, "fu"}, Syllable{36, 4, 72, "ku"}, Syllable{40, 2, 71, "to"},
    Syllable{42, 6, 69, "ki"}, Syllable{48, 4, 69, "ma"}, Syllable{52, 2, 71, "ta"}, Syllable{54, 2, 69, "a"},
    Syllable{56, 7, 66, "su"},
    // Verse, second half.
    Syllable{64, 4, 67, "yo"}, Syllable{68, 2, 69, "ru"}, Syllable{70, 6, 71, "no"}, Syllable{76, 3, 74, "u"},
    Syllable{80, 4, 76, "mi"}, Syllable{84, 2, 74, "ni"}, Syllable{86, 6, 71, "ka"}, Syllable{94, 2, 71, "e"},
    Syllable{96, 2, 72, "ru"}, Syllable{98, 2, 71, "to"}, Syllable{100, 4, 69, "o"}, Syllable{104, 2, 67, "ku"},
    Syllable{106, 4, 64, "no"}, Syllable{112, 4, 66, "ho"}, Syllable{116, 2, 67, "shi"},
    Syllable{118, 9, 69, "a"},
    // Chorus.
    Syllable{128, 6, 76, "a"}, Syllable{134, 2, 74, "o"}, Syllable{136, 4, 72, "i"}, Syllable{140, 3, 74, "so"},
    Syllable{144, 4, 74, "ra"}, Syllable{148, 2, 72, "e"}, Syllable{150, 2, 71, "to"}, Syllable{152, 7, 69, "bu"},
    Syllable{160, 4, 71, "ki"}, Syllable{164, 4, 74, "mi"}, Syllable{168, 2, 74, "no"}, Syllable{170, 5, 71, "u"},
    Syllable{176, 4, 67, "ta"}, Syllable{180, 2, 69, "ga"}, Syllable{182, 4, 71, "ki"}, Syllable{186, 4, 67, "ko"},
    Syllable{192, 6, 76, "e"}, Syllable{198, 2, 74, "ru"}, Syllable{200, 4, 72, "ma"}, Syllable{204, 3, 76, "de"},
    Syllable{208, 4, 74, "to"}, Syllable{212, 2, 76, "o"}, Syllable{214, 2, 74, "ku"}, Syllable{216, 7, 69, "e"},
    Syllable{224, 4, 71, "ha"}, Syllable{228, 2, 69, "ru"}, Syllable{230, 17, 67, "ka"},
};
// clang-format on

// ---------------------------------------------------------------------------------------------
// The singer: a band-limited sawtooth (the glottal buzz) through a cascade of four formant
// resonators, with vibrato, glides between notes and a few consonants made of filtered noise.

enum class Consonant { None, Sibilant, Plosive, Aspirate, Murmur };

struct Formants {
  double f1, f2, f3;
};

// Vowels of a light female voice.
Formants VowelFormants(char vowel) {
  switch (vowel) {
    case 'a':
      return {800.0, 1250.0, 2700.0};
    case 'i':
      return {320.0, 2450.0, 3100.0};
    case 'u':
      return {380.0, 1400.0, 2500.0};
    case 'e':
      return {500.0, 2000.0, 2700.0};
    default:
      return {500.0, 900.0, 2700.0};  // 'o'
  }
}

// The closed mouth of n, m, r and y: low first formant and a weak, dull sound.
constexpr Formants kMurmur{280.0, 1300.0, 2500.0};
constexpr std::array<double, 4> kBandwidths{90.0, 110.0, 170.0, 250.0};
constexpr double kFourthFormant = 3400.0;

class Singer {
 public:
  explicit Singer(double rate)
      : rate_(rate),
        random_(0x5EED0001),
        dc_(rate),
        attack_(SmoothingStep(0.015, rate)),
        release_(SmoothingStep(0.030, rate)),
        noiseStep_(SmoothingStep(0.003, rate)),
        formantStep_(1.0 - DecayFactor(0.030, rate / kControlInterval)),
        driftKeep_(DecayFactor(0.3, rate / kControlInterval)) {
    current_ = VowelFormants('a');
    target_ = current_;
    consonantFilter_.Set(Biquad::Kind::BandPass, 6500.0, 1.5, rate);
    presence_.Set(Biquad::Kind::BandPass, 5000.0, 0.7, rate);
    UpdateFormants(0.0);
  }

  // Starts a note `seconds` long, onset to onset; the singer lets go a little before its end,
  // so that back-to-back syllables stay apart.
  void NoteOn(const Syllable& syllable, double seconds) {
    const bool legato = active_ && age_ < gateLength_ + Samples(0.15);
    active_ = true;
    age_ = 0;
    gateLength_ = Samples(seconds - std::min(0.06, 0.25 * seconds));
    pitchTarget_ = syllable.note;
    // A fresh phrase starts a little flat and slides up, as singers do.
    if (!legato) pitch_ = pitchTarget_ - 0.8;
    glideStep_ = 1.0 - DecayFactor(legato ? 0.035 : 0.06, rate_ / kControlInterval);
    velocity_ = 0.85 + 0.15 * random_.Unit();
    vibratoRate_ = 5.3 + 0.5 * random_.Unit();
    vibratoDepth_ = 0.30 + 0.15 * random_.Unit();  // semitones: 30 to 45 cents

    const std::string_view text(syllable.text);
    vowel_ = VowelFormants(text.back());
    consonant_ = Consonant::None;
    voicingStart_ = 0;
    murmurEnd_ = 0;
    burstLength_ = 0;
    if (text.size() > 1) {
      switch (text.front()) {
        case 's':
        case 'z':
          consonant_ = Consonant::Sibilant;
          voicingStart_ = Samples(std::min(0.07, 0.3 * seconds));
          consonantFilter_.Set(Biquad::Kind::BandPass, 6500.0, 1.5, rate_);
          break;
        case 't':
        case 'd':
        case 'k':
        case 'g':
        case 'b':
        case 'p': {
          consonant_ = Consonant::Plosive;
          voicingStart_ = Samples(0.025);
          burstLength_ = Samples(0.008);
          const char c = text.front();
          const double burstHz = (c == 't' || c == 'd') ? 4200.0 : (c == 'k' || c == 'g') ? 2000.0 : 1000.0;
          consonantFilter_.Set(Biquad::Kind::BandPass, burstHz, 1.2, rate_);
          break;
        }
        case 'h':
        case 'f':
          consonant_ = Consonant::Aspirate;
          voicingStart_ = Samples(0.045);
          break;
        default:  // n, m, r, y, w
          consonant_ = Consonant::Murmur;
          murmurEnd_ = Samples(text.front() == 'r' ? 0.025 : 0.05);
          break;
      }
    }
  }

  // Writes the next `count` samples.
  void Render(double* out, int count) {
    for (int i = 0; i < count; ++i) {
      if (countdown_ == 0) {
        UpdateControls();
        countdown_ = kControlInterval;
      }
      --countdown_;

      const bool gate = active_ && age_ < gateLength_;
      const bool voiced = gate && age_ >= voicingStart_;
      const double levelTarget = voiced ? velocity_ * (age_ < murmurEnd_ ? 0.35 : 1.0) : 0.0;
      level_ += (levelTarget - level_) * (levelTarget > level_ ? attack_ : release_);

      // Consonant noise: a hiss or a burst outside the vocal tract, breath through it.
      double hissTarget = 0.0;
      double breathTarget = 0.05 * level_;  // every voiced sound is a little breathy
      if (gate && age_ < voicingStart_) {
        switch (consonant_) {
          case Consonant::Sibilant:
            hissTarget = 0.10;
            break;
          case Consonant::Plosive:
            hissTarget = age_ < burstLength_ ? 0.25 : 0.0;
            breathTarget = 0.12;
            break;
          case Consonant::Aspirate:
            breathTarget = 0.3;
            break;
          default:
            break;
        }
      }
      hiss_ += (hissTarget - hiss_) * noiseStep_;
      breath_ += (breathTarget - breath_) * noiseStep_;

      const double noise = random_.Bipolar();
      const double t = phase_;
      double buzz = 2.0 * t - 1.0;
      // PolyBLEP: smooths the sawtooth's jump so that its harmonics stop at the Nyquist limit.
      if (t < step_) {
        const double u = t / step_;
        buzz -= u + u - u * u - 1.0;
      } else if (t > 1.0 - step_) {
        const double u = (t - 1.0) / step_;
        buzz -= u * u + u + u + 1.0;
      }
      phase_ += step_;
      if (phase_ >= 1.0) phase_ -= 1.0;

      const double source = buzz * level_ * tremolo_ + noise * breath_;
      double y = source;
      for (Resonator& r : formants_) y = r.Process(y);
      // The cascade alone falls off too steeply above the fourth formant; a little of the
      // source through a broad band-pass gives the air a real voice has up to ~10 kHz.
      y += 0.06 * presence_.Process(source);
      y += consonantFilter_.Process(noise) * hiss_;
      out[i] = dc_.Process(y);
      ++age_;
    }
  }

 private:
  // Pitch, vibrato and formants move slowly; updating them every 16 samples keeps the
  // coefficient arithmetic off the per-sample path.
  static constexpr int kControlInterval = 16;

  std::int64_t Samples(double seconds) const { return std::llround(seconds * rate_); }

  void UpdateControls() {
    const double seconds = static_cast<double>(age_) / rate_;
    // Vibrato eases in once a note is held, so short notes stay straight.
    const double depth = vibratoDepth_ * std::clamp((seconds - 0.22) / 0.45, 0.0, 1.0);
    vibratoPhase_ += vibratoRate_ * kControlInterval / rate_;
    vibratoPhase_ -= std::floor(vibratoPhase_);
    const double vibrato = depth * Sine()(vibratoPhase_);
    // A slow wander of a few cents: no singer holds a pitch like an oscillator.
    drift_ = drift_ * driftKeep_ + 0.004 * random_.Bipolar();
    pitch_ += (pitchTarget_ - pitch_) * glideStep_;
    const double hz = NoteHz(pitch_ + vibrato + drift_);
    step_ = std::min(hz / rate_, 0.45);
    tremolo_ = 1.0 + 0.2 * vibrato;  // the voice swells a little with each vibrato cycle

    target_ = age_ < murmurEnd_ ? kMurmur : vowel_;
    UpdateFormants(hz);
  }

  void UpdateFormants(double hz) {
    current_.f1 += (target_.f1 - current_.f1) * formantStep_;
    current_.f2 += (target_.f2 - current_.f2) * formantStep_;
    current_.f3 += (target_.f3 - current_.f3) * formantStep_;
    // On high notes a singer opens the jaw so that the first formant stays above the pitch.
    formants_[0].Set(std::max(current_.f1, 1.1 * hz), kBandwidths[0], rate_);
    formants_[1].Set(current_.f2, kBandwidths[1], rate_);
    formants_[2].Set(current_.f3, kBandwidths[2], rate_);
    formants_[3].Set(kFourthFormant, kBandwidths[3], rate_);
  }

  double rate_;
  Random random_;
  DcBlocker dc_;
  double attack_, release_, noiseStep_, formantStep_, driftKeep_;
  std::array<Resonator, 4> formants_{};
  Biquad consonantFilter_, presence_;
  Formants current_{}, target_{}, vowel_{};

  bool active_ = false;
  std::int64_t age_ = 0, gateLength_ = 0, voicingStart_ = 0, murmurEnd_ = 0, burstLength_ = 0;
  Consonant consonant_ = Consonant::None;
  double velocity_ = 0.0;
  double pitch_ = 69.0, pitchTarget_ = 69.0, glideStep_ = 0.0;
  double vibratoPhase_ = 0.0, vibratoRate_ = 5.5, vibratoDepth_ = 0.0, drift_ = 0.0;
  double phase_ = 0.0, step_ = 0.0, tremolo_ = 1.0;
  double level_ = 0.0, hiss_ = 0.0, breath_ = 0.0;
  int countdown_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Guitar: six Karplus-Strong strings, picked one at a time.

class Guitar {
 public:
  Guitar(double rate, std::uint64_t seed) : rate_(rate), random_(seed), dc_(rate) {
    // The lowest string is E2 (82 Hz); room for a little below.
    const auto capacity = static_cast<std::size_t>(rate / 70.0) + 4;
    for (String& s : strings_) s.line.assign(capacity, 0.0);
    tone_.Set(Biquad::Kind::LowPass, 4500.0, 0.7, rate);
  }

  void Pluck(int index, int note, double velocity) {
    String& s = strings_[index];
    const double period = rate_ / NoteHz(note);
    // The loop delays by the line, half a sample of averaging and the tuning all-pass; the
    // all-pass takes the fraction, kept in [0.1, 1.1) where its delay is flat enough.
    const double delay = period - 0.5;
    s.length = static_cast<int>(delay - 0.1);
    const double fraction = delay - s.length;
    s.tuning = (1.0 - fraction) / (1.0 + fraction);
    s.loss = Exp2(-3.0 * kLog2Of10 * (period / rate_) / 2.4);  // rings for about 2.4 s (-60 dB)

    // The excitation: noise, duller for soft notes, with the comb of a pick near the bridge.
    const double brightness = 0.35 + 0.4 * velocity;
    std::vector<double>& line = s.line;
    double smooth = 0.0;
    for (int i = 0; i < s.length; ++i) {
      smooth += (random_.Bipolar() - smooth) * brightness;
      line[i] = smooth;
    }
    const int pick = std::max(1, s.length / 7);
    for (int i = s.length - 1; i >= pick; --i) line[i] -= line[i - pick];
    double mean = 0.0;
    for (int i = 0; i < s.length; ++i) mean += line[i];
    mean /= s.length;
    for (int i = 0; i < s.length; ++i) line[i] = (line[i] - mean) * velocity;

    s.position = 0;
    s.last = 0.0;
    s.allpassIn = 0.0;
    s.allpassOut = 0.0;
    s.quiet = 0;
    s.active = true;
  }

  // The fretting hand lets go: the string dies within a tenth of a second.
  void Damp(int index) {
    String& s = strings_[index];
    if (s.active) s.loss = Exp2(-3.0 * kLog2Of10 * (s.length / rate_) / 0.1);
  }

  // Renders `count` samples into `out`, which the caller has cleared.
  void Render(double* out, int count) {
    for (String& s : strings_) {
      if (!s.active) continue;
      // Locals, because stores to `out` and the line could otherwise alias the string's state.
      double* line = s.line.data();
      const double loss = 0.5 * s.loss, tuning = s.tuning;
      const int length = s.length;
      double last = s.last, allpassIn = s.allpassIn, allpassOut = s.allpassOut;
      int position = s.position, quiet = s.quiet;
      for (int i = 0; i < count; ++i) {
        const double y = line[position];
        const double averaged = loss * (y + last);
        last = y;
        const double tuned = tuning * averaged + allpassIn - tuning * allpassOut;
        allpassIn = averaged;
        allpassOut = tuned;
        line[position] = tuned;
        if (++position == length) position = 0;
        out[i] += y;
        // A string that stayed below -140 dB for a whole period is over.
        quiet = std::fabs(y) < 1e-7 ? quiet + 1 : 0;
        if (quiet > length) {
          s.active = false;
          break;
        }
      }
      s.last = last;
      s.allpassIn = allpassIn;
      s.allpassOut = allpassOut;
      s.position = position;
      s.quiet = quiet;
    }
    for (int i = 0; i < count; ++i) out[i] = dc_.Process(tone_.Process(out[i]));
  }

 private:
  struct String {
    std::vector<double> line;
    int length = 1;
    int position = 0;
    double loss = 0.0, tuning = 0.0;
    double last = 0.0, allpassIn = 0.0, allpassOut = 0.0;
    int quiet = 0;
    bool active = false;
  };

  double rate_;
  Random random_;
  DcBlocker dc_;
  Biquad tone_;
  std::array<String, 6> strings_{};
};

// ---------------------------------------------------------------------------------------------
// Electric piano: two-operator FM, a bright attack that mellows, and a short bell-like tine.

class ElectricPiano {
 public:
  explicit ElectricPiano(double rate)
      : rate_(rate),
        decay_(DecayFactor(1.8, rate)),
        release_(DecayFactor(0.05, rate)),
        indexDecay_(DecayFactor(0.30, rate)),
        tineDecay_(DecayFactor(0.04, rate)) {}

  void NoteOn(int note, double velocity, double seconds) {
    // A free voice, else the quietest one.
    Voice* voice = &voices_[0];
    for (Voice& v : voices_) {
      if (!v.active) {
        voice = &v;
        break;
      }
      if (v.amplitude < voice->amplitude) voice = &v;
    }
    Voice& v = *voice;
    v.active = true;
    v.step = NoteHz(note) / rate_;
    v.carrier = 0.0;
    v.tine = 0.0;
    v.amplitude = velocity;
    v.index = 0.30 * velocity;  // in cycles of the carrier: about 1.9 radians at full force
    v.tineLevel = 0.12 * velocity;
    v.held = std::llround(seconds * rate_);
  }

  // Adds `count` samples to `out`.
  void Render(double* out, int count) {
    const SineTable& sine = Sine();
    for (Voice& v : voices_) {
      if (!v.active) continue;
      // Locals, because stores to `out` could otherwise alias the voice and keep it in memory.
      double carrier = v.carrier, tine = v.tine;
      double amplitude = v.amplitude, index = v.index, tineLevel = v.tineLevel;
      std::int64_t held = v.held;
      const double step = v.step, tineStep = 14.0 * v.step;
      for (int i = 0; i < count; ++i) {
        // The modulator runs at the carrier's frequency and phase, so one lookup serves both.
        const double modulator = sine.Wrapped(carrier);
        double y = sine(carrier + (0.04 + index) * modulator);
        // The tine is gone after a quarter of a second; from then on it costs nothing.
        if (tineLevel > 1e-5) {
          y += tineLevel * sine.Wrapped(tine);
          tine += tineStep;
          if (tine >= 1.0) tine -= 1.0;
          tineLevel *= tineDecay_;
        }
        out[i] += amplitude * y;
        carrier += step;
        if (carrier >= 1.0) carrier -= 1.0;
        index *= indexDecay_;
        amplitude *= held > 0 ? decay_ : release_;
        --held;
        // -80 dB below a full note: far under the last bit of the mix.
        if (amplitude < 1e-4) {
          v.active = false;
          break;
        }
      }
      v.carrier = carrier;
      v.tine = tine;
      v.amplitude = amplitude;
      v.index = index;
      v.tineLevel = tineLevel;
      v.held = held;
    }
  }

 private:
  struct Voice {
    bool active = false;
    double step = 0.0, carrier = 0.0, tine = 0.0;
    double amplitude = 0.0, index = 0.0, tineLevel = 0.0;
    std::int64_t held = 0;
  };

  double rate_;
  double decay_, release_, indexDecay_, tineDecay_;
  std::array<Voice, 12> voices_{};
};

// ---------------------------------------------------------------------------------------------
// Bass: one voice, a round tone of three harmonics that fades after the pluck.

class Bass {
 public:
  explicit Bass(double rate)
      : rate_(rate),
        smooth_(SmoothingStep(0.003, rate)),
        releaseSmooth_(SmoothingStep(0.02, rate)),
        decay_(DecayFactor(1.2, rate)),
        overtoneDecay_(DecayFactor(0.25, rate)) {}

  void NoteOn(int note, double velocity, double seconds) {
    step_ = NoteHz(note) / rate_;  // the phase runs on, so a new note starts without a click
    target_ = velocity;
    overtone_ = 0.6;
    held_ = std::llround(seconds * rate_);
  }

  // Adds `count` samples to `out`.
  void Render(double* out, int count) {
    const SineTable& sine = Sine();
    for (int i = 0; i < count; ++i) {
      if (held_ > 0) {
        level_ += (target_ - level_) * smooth_;
        target_ *= decay_;
        --held_;
      } else {
        level_ -= level_ * releaseSmooth_;
      }
      if (level_ < 1e-7 && held_ <= 0) continue;
      const double y = sine(phase_) + overtone_ * sine(2.0 * phase_) + 0.12 * sine(3.0 * phase_);
      out[i] += level_ * y;
      phase_ += step_;
      phase_ -= std::floor(phase_);
      overtone_ = 0.25 + (overtone_ - 0.25) * overtoneDecay_;
    }
  }

 private:
  double rate_;
  double smooth_, releaseSmooth_, decay_, overtoneDecay_;
  double step_ = 0.0, phase_ = 0.0, level_ = 0.0, target_ = 0.0, overtone_ = 0.0;
  std::int64_t held_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Drums: a swept-sine kick, a snare of tone and noise, and a noise hi-hat.

class Drums {
 public:
  Drums(double rate, std::uint64_t seed)
      : rate_(rate),
        random_(seed),
        kickSweep_(DecayFactor(0.03, rate)),
        kickDecay_(DecayFactor(0.22, rate)),
        clickDecay_(DecayFactor(0.004, rate)),
        snareToneDecay_(DecayFactor(0.06, rate)),
        snareNoiseDecay_(DecayFactor(0.13, rate)),
        closedHatDecay_(DecayFactor(0.035, rate)),
        openHatDecay_(DecayFactor(0.22, rate)) {
    snareFilter_.Set(Biquad::Kind::BandPass, 2500.0, 0.7, rate);
    hatFilter_.Set(Biquad::Kind::HighPass, 7500.0, 0.8, rate);
    hatFilter2_.Set(Biquad::Kind::HighPass, 7500.0, 0.8, rate);
  }

  void Kick(double velocity) {
    kickLevel_ = velocity;
    kickBend_ = 1.0;
    click_ = 0.4 * velocity;
  }
  void Snare(double velocity) {
    snareTone_ = 0.5 * velocity;
    snareNoise_ = velocity;
  }
  void Hat(double velocity, bool open) {
    hatLevel_ = velocity;
    hatDecay_ = open ? openHatDecay_ : closedHatDecay_;
  }

  // Adds `count` samples of each drum to its own buffer.
  void Render(double* kick, double* snare, double* hat, int count) {
    const SineTable& sine = Sine();
    for (int i = 0; i < count; ++i) {
      const double noise = random_.Bipolar();
      if (kickLevel_ > 1e-6) {
        kick[i] += kickLevel_ * sine(kickPhase_) + click_ * noise;
        kickPhase_ += (45.0 + 85.0 * kickBend_) / rate_;
        kickPhase_ -= std::floor(kickPhase_);
        kickBend_ *= kickSweep_;
        kickLevel_ *= kickDecay_;
        click_ *= clickDecay_;
      }
      if (snareNoise_ > 1e-6) {
        snare[i] += snareTone_ * sine(snarePhase_) + snareNoise_ * snareFilter_.Process(noise);
        snarePhase_ += 185.0 / rate_;
        snarePhase_ -= std::floor(snarePhase_);
        snareTone_ *= snareToneDecay_;
        snareNoise_ *= snareNoiseDecay_;
      }
      // The hat's filters run always: restarting them would click.
      hat[i] += hatLevel_ * hatFilter2_.Process(hatFilter_.Process(noise));
      hatLevel_ *= hatDecay_;
    }
  }

 private:
  double rate_;
  Random random_;
  double kickSweep_, kickDecay_, clickDecay_, snareToneDecay_, snareNoiseDecay_;
  double closedHatDecay_, openHatDecay_;
  Biquad snareFilter_, hatFilter_, hatFilter2_;
  double kickLevel_ = 0.0, kickBend_ = 0.0, kickPhase_ = 0.0, click_ = 0.0;
  double snareTone_ = 0.0, snareNoise_ = 0.0, snarePhase_ = 0.0;
  double hatLevel_ = 0.0, hatDecay_ = 0.0;
};

// ---------------------------------------------------------------------------------------------
// A small room (Schroeder-Moorer, tuned like Freeverb): the two channels use combs and
// all-passes of different lengths, so that one mono send comes back wide and decorrelated.

class Room {
 public:
  explicit Room(double rate) {
    constexpr std::array<int, kCombs> kCombLengths{1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
    constexpr std::array<int, kAllpasses> kAllpassLengths{556, 441, 341, 225};
    constexpr int kSpread = 23;  // the right channel's extra delay, in samples at 44.1 kHz
    const double scale = rate / 44100.0;
    const auto size = [scale](int samples) {
      return static_cast<std::size_t>(std::max<long>(1, std::lround(samples * scale)));
    };
    for (int side = 0; side < 2; ++side) {
      for (int k = 0; k < kCombs; ++k)
        combs_[side][k].buffer.assign(size(kCombLengths[k] + side * kSpread), 0.0);
      for (int k = 0; k < kAllpasses; ++k)
        allpasses_[side][k].buffer.assign(size(kAllpassLengths[k] + side * kSpread), 0.0);
    }
  }

  // Adds the room's answer to `send` into `left` and `right`.
  void Process(const double* send, double* left, double* right, int count) {
    Channel(combs_[0], allpasses_[0], send, left, count);
    Channel(combs_[1], allpasses_[1], send, right, count);
  }

 private:
  static constexpr int kCombs = 8;
  static constexpr int kAllpasses = 4;
  static constexpr double kFeedback = 0.82;
  static constexpr double kDamping = 0.3;

  struct Delay {
    std::vector<double> buffer;
    std::size_t index = 0;
    double store = 0.0;  // the combs' damping filter
  };

  // The combs run side by side in one loop, so that their feedback chains overlap in the CPU
  // instead of waiting on each other.
  static void Channel(std::array<Delay, kCombs>& combs, std::array<Delay, kAllpasses>& allpasses,
                      const double* send, double* out, int count) {
    std::array<double*, kCombs> buffer{};
    std::array<std::size_t, kCombs> index{}, size{};
    std::array<double, kCombs> store{};
    for (int k = 0; k < kCombs; ++k) {
      buffer[k] = combs[k].buffer.data();
      index[k] = combs[k].index;
      size[k] = combs[k].buffer.size();
      store[k] = combs[k].store;
    }
    for (int i = 0; i < count; ++i) {
      const double x = send[i];
      double wet = 0.0;
      for (int k = 0; k < kCombs; ++k) {
        const double y = buffer[k][index[k]];
        store[k] = y * (1.0 - kDamping) + store[k] * kDamping;
        buffer[k][index[k]] = x + store[k] * kFeedback;
        if (++index[k] == size[k]) index[k] = 0;
        wet += y;
      }
      for (Delay& a : allpasses) {
        const double delayed = a.buffer[a.index];
        a.buffer[a.index] = wet + 0.5 * delayed;
        wet = delayed - wet;
        if (++a.index == a.buffer.size()) a.index = 0;
      }
      out[i] += wet;
    }
    for (int k = 0; k < kCombs; ++k) {
      combs[k].index = index[k];
      combs[k].store = store[k];
    }
  }

  std::array<std::array<Delay, kCombs>, 2> combs_;
  std::array<std::array<Delay, kAllpasses>, 2> allpasses_;
};

// ---------------------------------------------------------------------------------------------
// The band and its mix.

struct Pan {
  double left, right;
};

// Constant power: -1 hard left, +1 hard right.
Pan PanAt(double position) {
  const double angle = (position + 1.0) * 0.25 * kPi;
  return {Cos(angle), Sin(angle)};
}

class Song {
 public:
  static constexpr int kMaxBlock = 32768;

  Song(double rate, std::int64_t totalFrames)
      : rate_(rate),
        totalFrames_(totalFrames),
        fadeFrames_(std::max<std::int64_t>(1, std::min<std::int64_t>(std::llround(rate), totalFrames / 4))),
        samplesPerTick_(rate * 60.0 / (kBeatsPerMinute * kTicksPerBeat)),
        random_(0x5EED0002),
        singer_(rate),
        guitar_(rate, 0x5EED0003),
        piano_(rate),
        bass_(rate),
        drums_(rate, 0x5EED0004),
        room_(rate),
        guitarPan_(PanAt(-0.6)),
        pianoPan_(PanAt(0.55)),
        hatPan_(PanAt(0.3)) {
    for (std::vector<double>* b : {&guitarBuffer_, &pianoBuffer_, &bassBuffer_, &kickBuffer_, &snareBuffer_,
                                   &hatBuffer_, &sendBuffer_})
      b->assign(kMaxBlock, 0.0);
  }

  // Renders the next `count` (at most kMaxBlock) frames: the dry singer, the same in both
  // channels, and the rest of the mix per channel.
  void Render(double* voice, double* left, double* right, int count) {
    int done = 0;
    while (done < count) {
      if (frame_ == nextTickFrame_) {
        OnTick(tick_);
        ++tick_;
        nextTickFrame_ = std::llround(static_cast<double>(tick_) * samplesPerTick_);
      }
      const int n = static_cast<int>(std::min<std::int64_t>(count - done, nextTickFrame_ - frame_));
      RenderSegment(voice + done, left + done, right + done, n);
      done += n;
      frame_ += n;
    }
    // Fade the end out rather than stop mid-note.
    const std::int64_t first = frame_ - count;
    for (int i = 0; i < count; ++i) {
      const std::int64_t remaining = totalFrames_ - (first + i);
      if (remaining >= fadeFrames_) continue;
      const double g = static_cast<double>(remaining) / static_cast<double>(fadeFrames_);
      voice[i] *= g * g;
      left[i] *= g * g;
      right[i] *= g * g;
    }
  }

 private:
  double Seconds(int ticks) const { return ticks * samplesPerTick_ / rate_; }

  // Starts whatever begins on this sixteenth.
  void OnTick(std::int64_t tick) {
    const bool intro = tick < kIntroTicks;
    const int inCycle = intro ? 0 : static_cast<int>((tick - kIntroTicks) % kCycleTicks);
    const int inBar = static_cast<int>(intro ? tick : inCycle % kTicksPerBar);
    const int bar = intro ? 0 : inCycle / kTicksPerBar;
    const bool chorus = !intro && bar >= kChorusFirstBar;
    const Chord& chord = *kProgression[bar];

    if (inBar == 0) {
      for (int s = 0; s < 6; ++s) {
        if (chord.guitar[s] != guitarNotes_[s]) guitar_.Damp(s);
        guitarNotes_[s] = chord.guitar[s];
      }
    }

    // The singer.
    if (!intro) {
      if (inCycle == 0) nextSyllable_ = 0;
      while (nextSyllable_ < kMelody.size() && kMelody[nextSyllable_].tick == inCycle) {
        const Syllable& s = kMelody[nextSyllable_++];
        singer_.NoteOn(s, Seconds(s.ticks));
      }
    }

    // Guitar: fingerpicked eighths, the bass string on the beat, the alternate one on beat 3.
    if (inBar % 2 == 0) {
      int low = 0;
      while (chord.guitar[low] < 0) ++low;
      constexpr std::array<int, 8> kPattern{-1, 2, 3, 4, -2, 3, 5, 3};
      int string = kPattern[inBar / 2];
      if (string == -1) string = low;
      if (string == -2) string = low + 1;
      if (chord.guitar[string] >= 0) {
        const double accent = inBar % 4 == 0 ? 0.1 : 0.0;
        guitar_.Pluck(string, chord.guitar[string], 0.55 + accent + 0.1 * random_.Bipolar());
      }
    }

    // Electric piano: a syncopated 3 + 3 + 2 comp; the chorus adds a push into the next bar.
    if (inBar == 0 || inBar == 6 || inBar == 12 || (chorus && inBar == 14)) {
      const int length = inBar == 12 ? (chorus ? 2 : 4) : inBar == 14 ? 2 : 5;
      const double force = (inBar == 0 ? 0.8 : 0.65) + 0.05 * random_.Bipolar();
      for (int note : chord.piano) piano_.NoteOn(note, force, Seconds(length) - 0.03);
    }

    // Bass: root, root, fifth, octave, fifth.
    {
      constexpr std::array<int, 5> kAt{0, 6, 8, 12, 14};
      constexpr std::array<int, 5> kInterval{0, 0, 7, 12, 7};
      constexpr std::array<int, 5> kLength{5, 2, 3, 2, 2};
      for (std::size_t k = 0; k < kAt.size(); ++k) {
        if (inBar != kAt[k]) continue;
        const double force = (k == 0 ? 0.9 : 0.75) + 0.05 * random_.Bipolar();
        bass_.NoteOn(chord.bass + kInterval[k], force, Seconds(kLength[k]) - 0.02);
      }
    }

    // Drums: kick on 1, 3 and the "and" of 3; snare on 2 and 4; eighth hats, open before
    // every second bar line.
    if (inBar == 0 || inBar == 8 || (!intro && inBar == 10)) drums_.Kick(0.9 + 0.05 * random_.Bipolar());
    if (!intro && (inBar == 4 || inBar == 12)) drums_.Snare(0.8 + 0.05 * random_.Bipolar());
    if (inBar % 2 == 0) {
      const bool open = inBar == 14 && bar % 2 == 1;
      drums_.Hat((inBar % 4 == 0 ? 0.5 : 0.35) + 0.05 * random_.Bipolar(), open);
    }
  }

  void RenderSegment(double* voice, double* left, double* right, int n) {
    for (std::vector<double>* b :
         {&guitarBuffer_, &pianoBuffer_, &bassBuffer_, &kickBuffer_, &snareBuffer_, &hatBuffer_})
      std::fill(b->begin(), b->begin() + n, 0.0);
    singer_.Render(voice, n);
    guitar_.Render(guitarBuffer_.data(), n);
    piano_.Render(pianoBuffer_.data(), n);
    bass_.Render(bassBuffer_.data(), n);
    drums_.Render(kickBuffer_.data(), snareBuffer_.data(), hatBuffer_.data(), n);

    for (int i = 0; i < n; ++i) {
      const double g = kGuitar * guitarBuffer_[i];
      const double p = kPiano * pianoBuffer_[i];
      const double h = kHat * hatBuffer_[i];
      const double centre = kBass * bassBuffer_[i] + kKick * kickBuffer_[i] + kSnare * snareBuffer_[i];
      voice[i] *= kVoice;
      left[i] = centre + guitarPan_.left * g + pianoPan_.left * p + hatPan_.left * h;
      right[i] = centre + guitarPan_.right * g + pianoPan_.right * p + hatPan_.right * h;
      sendBuffer_[i] =
          kRoom * (0.35 * g + 0.4 * p + 0.4 * kSnare * snareBuffer_[i] + 0.1 * h + kVoiceSend * voice[i]);
    }
    room_.Process(sendBuffer_.data(), left, right, n);
  }

  // Mix levels, set by measuring each part alone: the singer about 3 dB above the band, guitar and
  // piano alike, bass and kick under them, as in a pop mix.
  static constexpr double kVoice = 0.14;
  static constexpr double kGuitar = 0.82;
  static constexpr double kPiano = 0.13;
  static constexpr double kBass = 0.18;
  static constexpr double kKick = 0.33;
  static constexpr double kSnare = 0.9;
  static constexpr double kHat = 0.55;
  static constexpr double kRoom = 0.035;
  static constexpr double kVoiceSend = 0.1;

  double rate_;
  std::int64_t totalFrames_, fadeFrames_;
  double samplesPerTick_;
  Random random_;
  Singer singer_;
  Guitar guitar_;
  ElectricPiano piano_;
  Bass bass_;
  Drums drums_;
  Room room_;
  Pan guitarPan_, pianoPan_, hatPan_;
  std::array<int, 6> guitarNotes_{-1, -1, -1, -1, -1, -1};
  std::size_t nextSyllable_ = 0;

  std::int64_t frame_ = 0, tick_ = 0, nextTickFrame_ = 0;
  std::vector<double> guitarBuffer_, pianoBuffer_, bassBuffer_, kickBuffer_, snareBuffer_, hatBuffer_,
      sendBuffer_;
};

// ---------------------------------------------------------------------------------------------
// Rendering and writing.

enum class Part { Mix, VoiceOnly, NoVoice };

struct Options {
  double seconds = 20.0;
  std::uint32_t rate = 44100;
  Part part = Part::Mix;
  std::string output;
};

// Renders the song block by block and hands each block (voice, rest left, rest right) on.
template <typename Sink>
void RenderSong(const Options& options, std::int64_t frames, Sink&& sink) {
  Song song(options.rate, frames);
  std::vector<double> voice(Song::kMaxBlock), left(Song::kMaxBlock), right(Song::kMaxBlock);
  for (std::int64_t done = 0; done < frames;) {
    const int n = static_cast<int>(std::min<std::int64_t>(Song::kMaxBlock, frames - done));
    song.Render(voice.data(), left.data(), right.data(), n);
    sink(voice.data(), left.data(), right.data(), n);
    done += n;
  }
}

void WriteSong(const Options& options) {
  const std::int64_t frames = std::llround(options.seconds * options.rate);

  // The gain comes from the full mix's peak, whatever part is written, so that the parts add
  // up to the mix. Knowing the peak takes a first pass; holding a long song in memory instead
  // would cost far more than rendering it twice.
  double peak = 0.0;
  RenderSong(options, frames, [&peak](const double* voice, const double* left, const double* right, int n) {
    for (int i = 0; i < n; ++i)
      peak = std::max({peak, std::fabs(voice[i] + left[i]), std::fabs(voice[i] + right[i])});
  });
  constexpr double kMinusOneDb = 0.89125093813374552995;  // 10^(-1/20)
  const double gain = peak > 0.0 ? kMinusOneDb * 32767.0 / peak : 0.0;

  merolune::FileStream out(options.output, merolune::FileStream::Mode::Create);
  merolune::WaveFormatInfo format;
  format.FormatTag = 1;  // PCM
  format.SampleRate = options.rate;
  const auto dataSize = static_cast<std::uint32_t>(frames * 4);
  merolune::WriteWaveHeader(dataSize + merolune::kWaveHeaderSize - 8, dataSize, format, out);

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Song::kMaxBlock) * 4);
  const Part part = options.part;
  RenderSong(options, frames, [&](const double* voice, const double* left, const double* right, int n) {
    std::uint8_t* p = bytes.data();
    for (int i = 0; i < n; ++i) {
      double l = 0.0;
      double r = 0.0;
      switch (part) {
        case Part::Mix:
          l = voice[i] + left[i];
          r = voice[i] + right[i];
          break;
        case Part::VoiceOnly:
          l = voice[i];
          r = voice[i];
          break;
        case Part::NoVoice:
          l = left[i];
          r = right[i];
          break;
      }
      for (const double x : {l, r}) {
        const std::int16_t s = merolune::ClampToInt16(static_cast<std::int32_t>(std::lround(gain * x)));
        merolune::StoreU16(p, static_cast<std::uint16_t>(s));
        p += 2;
      }
    }
    out.Write(bytes.data(), static_cast<std::size_t>(n) * 4);
  });
  out.Close();
}

bool ParseNumber(std::string_view text, double& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

bool ParseNumber(std::string_view text, std::uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "merolune-demosong: %s\n\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool noVoice = false;
  bool voiceOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--seconds" || arg == "--rate") {
      if (i + 1 >= argc) return UsageError(std::string(arg) + " needs a value");
      const std::string_view value(argv[++i]);
      if (arg == "--seconds") {
        if (!ParseNumber(value, options.seconds) || !(options.seconds > 0.0))
          return UsageError("--seconds wants a positive number, not '" + std::string(value) + "'");
      } else if (!ParseNumber(value, options.rate) || options.rate < 8000 || options.rate > 192000) {
        return UsageError("--rate wants 8000..192000, not '" + std::string(value) + "'");
      }
    } else if (arg == "--no-voice") {
      noVoice = true;
    } else if (arg == "--voice-only") {
      voiceOnly = true;
    } else if (arg.size() > 1 && arg.front() == '-') {
      return UsageError("unknown option " + std::string(arg));
    } else if (options.output.empty()) {
      options.output = arg;
    } else {
      return UsageError("more than one output file");
    }
  }
  if (options.output.empty()) return UsageError("no output file");
  if (noVoice && voiceOnly) return UsageError("--no-voice and --voice-only exclude each other");
  options.part = noVoice ? Part::NoVoice : voiceOnly ? Part::VoiceOnly : Part::Mix;
  // The RIFF sizes are 32-bit.
  const double frames = std::round(options.seconds * options.rate);
  if (frames < 1.0 || frames * 4.0 + merolune::kWaveHeaderSize > 4294967295.0)
    return UsageError("--seconds gives no frames or more than a WAV file can hold");

#if defined(__SSE2__)
  // Every smoother and decay that settles towards zero ends in subnormal numbers, which the
  // CPU computes many times slower; a four-minute song took twice as long for them. Flushing
  // them to zero changes nothing audible and behaves alike on every x86-64 CPU.
  _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
  _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_ON);
#endif

  try {
    WriteSong(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "merolune-demosong: %s\n", e.what());
    merolune::DeleteFileIfExists(options.output);
    return kExitFailed;
  }
  return 0;
}
