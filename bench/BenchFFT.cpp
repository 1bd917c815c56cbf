// merolune-bench-fft: our transforms against FFTW's complex transform of the same size.
//
// Usage: merolune-bench-fft [--reps N] [--kernels auto|portable|avx2]
// Prints one "n=<size> <figure>=<value>" line per figure: the median over N repetitions of the
// mean time per call in microseconds, and the median of the repetitions' ratios ours / FFTW.
// FFTW runs out of place on split arrays (fftw_plan_guru_split_dft, FFTW_MEASURE), the same
// layout as ours; its interleaved out-of-place transform is printed as well. Every repetition
// runs all figures' calls interleaved, each call timed alone, so that a busy machine slows all
// of them alike. Our routines run in place; forward and inverse alternate, keeping the data
// bounded. "pair" is ExecutePair on two forward objects (n points) and on two inverse objects
// (n/2 bins); "separate" is the same four objects' Execute calls.

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "SimdPath.h"
#include "WaveFFT.h"

namespace {

using Clock = std::chrono::steady_clock;
using merolune::detail::AlignedDoubles;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Calls per repetition: about 4 ms of work at 20 ns per point, and never fewer than 20.
int CallsFor(int n) { return std::max(20, 200000 / n); }

void Print(int n, const char* figure, double value) { std::printf("n=%d %s=%.3f\n", n, figure, value); }

struct Figures {
  double forward = 0, inverse = 0, fftwForward = 0, fftwBackward = 0, fftwInterleaved = 0;
  double ratioForward = 0, ratioInverse = 0, pair = 0, separate = 0;
};

// Times `calls` runs of each step of `steps` (all steps once per round, each call timed alone)
// and adds the mean time per call of step i to samples[i].
template <std::size_t N, class Steps>
void TimeRound(int calls, const Steps& steps, std::array<std::vector<double>, N>& samples) {
  std::array<Clock::duration, N> total{};
  for (int c = 0; c < calls; ++c) {
    for (std::size_t i = 0; i < N; ++i) {
      const auto t0 = Clock::now();
      steps[i]();
      total[i] += Clock::now() - t0;
    }
  }
  for (std::size_t i = 0; i < N; ++i) samples[i].push_back(Microseconds(total[i]) / calls);
}

Figures Run(int n, int reps) {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const auto size = static_cast<std::size_t>(n);
  const int calls = CallsFor(n);

  AlignedDoubles re(size), im(size);
  for (std::size_t i = 0; i < size; ++i) {
    re[i] = uniform(random);
    im[i] = uniform(random);
  }

  double* ri = fftw_alloc_real(size);
  double* ii = fftw_alloc_real(size);
  double* ro = fftw_alloc_real(size);
  double* io = fftw_alloc_real(size);
  fftw_complex* ci = fftw_alloc_complex(size);
  fftw_complex* co = fftw_alloc_complex(size);
  fftw_iodim dim{n, 1, 1};
  fftw_plan splitForward = fftw_plan_guru_split_dft(1, &dim, 0, nullptr, ri, ii, ro, io, FFTW_MEASURE);
  // Swapping the real and imaginary pointers gives the backward (unscaled inverse) transform.
  fftw_plan splitBackward = fftw_plan_guru_split_dft(1, &dim, 0, nullptr, ii, ri, io, ro, FFTW_MEASURE);
  fftw_plan interleaved = fftw_plan_dft_1d(n, ci, co, FFTW_FORWARD, FFTW_MEASURE);
  for (std::size_t i = 0; i < size; ++i) {
    ri[i] = uniform(random);
    ii[i] = uniform(random);
    ci[i][0] = ri[i];
    ci[i][1] = ii[i];
  }

  // The job's shape: both channels' forward objects, then both inverse objects of half the size.
  merolune::TWaveFFT f1, f2;
  merolune::TWaveIFFT i1, i2;
  for (merolune::TWaveFFT* f : {&f1, &f2}) {
    f->SetRadix(0);
    f->SetWindowType(merolune::TWindowType::wtRECTANGULAR);
    std::vector<double> block(size);
    for (double& v : block) v = uniform(random);
    f->SetData(block);
  }
  std::vector<double> mags(size / 2), phases(size / 2);
  for (merolune::TWaveIFFT* i : {&i1, &i2}) {
    i->SetCount(n / 2);
    for (std::size_t k = 0; k < size / 2; ++k) {
      mags[k] = uniform(random);
      phases[k] = 3.0 * uniform(random);
    }
    i->SetPolar(mags, phases);
  }

  // Ours run in place: forward then inverse keeps the data bounded.
  const std::array<std::function<void()>, 7> steps = {
      [&] { merolune::SplitRadixForward(n, re.data(), im.data()); },
      [&] { merolune::Radix2Inverse(n, re.data(), im.data()); },
      [&] { fftw_execute(splitForward); },
      [&] { fftw_execute(splitBackward); },
      [&] { fftw_execute(interleaved); },
      [&] {
        merolune::ExecutePair(f1, f2);
        merolune::ExecutePair(i1, i2);
      },
      [&] {
        f1.Execute();
        f2.Execute();
        i1.Execute();
        i2.Execute();
      },
  };
  std::array<std::vector<double>, 7> samples;
  TimeRound(std::max(1, calls / 10), steps, samples);  // warm-up: plans, scratch, caches
  for (std::vector<double>& s : samples) s.clear();
  std::vector<double> ratioForward, ratioInverse;
  for (int rep = 0; rep < reps; ++rep) {
    TimeRound(calls, steps, samples);
    ratioForward.push_back(samples[0].back() / samples[2].back());
    ratioInverse.push_back(samples[1].back() / samples[3].back());
  }

  fftw_destroy_plan(splitForward);
  fftw_destroy_plan(splitBackward);
  fftw_destroy_plan(interleaved);
  fftw_free(ri);
  fftw_free(ii);
  fftw_free(ro);
  fftw_free(io);
  fftw_free(ci);
  fftw_free(co);

  Figures figures;
  figures.forward = Median(samples[0]);
  figures.inverse = Median(samples[1]);
  figures.fftwForward = Median(samples[2]);
  figures.fftwBackward = Median(samples[3]);
  figures.fftwInterleaved = Median(samples[4]);
  figures.pair = Median(samples[5]);
  figures.separate = Median(samples[6]);
  figures.ratioForward = Median(ratioForward);
  figures.ratioInverse = Median(ratioInverse);
  return figures;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: merolune-bench-fft [--reps N] [--kernels auto|portable|avx2]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 9;
  merolune::SimdPath path = merolune::SimdPath::kAuto;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--reps" && a + 1 < argc) {
      reps = std::atoi(argv[++a]);
      if (reps < 1) Usage();
    } else if (arg == "--kernels" && a + 1 < argc) {
      const std::string name = argv[++a];
      if (name == "auto") {
        path = merolune::SimdPath::kAuto;
      } else if (name == "portable") {
        path = merolune::SimdPath::kPortable;
      } else if (name == "avx2") {
        path = merolune::SimdPath::kAvx2Fma;
      } else {
        Usage();
      }
    } else {
      Usage();
    }
  }
  if (!merolune::SelectSimdPath(path)) {
    std::fprintf(stderr, "this processor lacks the instructions of the requested kernels\n");
    return 1;
  }
  std::printf("kernels=%s reps=%d\n",
              merolune::ActiveSimdPath() == merolune::SimdPath::kAvx2Fma ? "avx2" : "portable", reps);
  for (const int n : {2048, 8192, 32768}) {
    const Figures f = Run(n, reps);
    Print(n, "ours_forward_us", f.forward);
    Print(n, "ours_inverse_us", f.inverse);
    Print(n, "fftw_split_forward_us", f.fftwForward);
    Print(n, "fftw_split_backward_us", f.fftwBackward);
    Print(n, "fftw_interleaved_forward_us", f.fftwInterleaved);
    Print(n, "ratio_forward", f.ratioForward);
    Print(n, "ratio_inverse", f.ratioInverse);
    Print(n, "pair_forward_inverse_us", f.pair);
    Print(n, "separate_forward_inverse_us", f.separate);
  }
  return 0;
}
