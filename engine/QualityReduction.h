#pragma once
// The quality mode: the centre voice cancelled per time-frequency cell by a least-squares fit of the
// mid signal to the side signal, the rest of the stereo image kept.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "FftKernels.h"
#include "KeyChange.h"
#include "ReductionSettings.h"

namespace merolune {

// What the quality mode works with, derived from the job's settings and the sample rate.
struct QualityParameters {
  int N = 4096;  // transform length: 4096 up to 48 kHz, 8192 above
  int H = 1024;  // hop, N / 4
  // Bins in the processing range, kLow .. kHigh inclusive within 0 .. N/2 (empty when kLow > kHigh).
  int KLow = 0;
  int KHigh = -1;
  double Tan2W = 0;      // tan^2 of the gate's width W = 0.4 P
  double Tan2Wr = 0;     // tan^2 of the reverberant mask's width Wr = W + 10 degrees
  double KappaMax = 0;   // the fit's largest magnitude, cot(W / 2)
  double Beta = 0;       // the share of the reverberant mask, 0 .. 1
  bool Inverse = false;  // output mix - Y
  bool Bypass = false;   // Y = X everywhere (the subtraction bypassed)
  bool Enhancer = false;
  int KeySemitones = 0;  // the key change after the reduction (a phase vocoder); 0 in inverse mode

  static QualityParameters For(const ReductionSettings& settings, double sampleRate, double beta);
};

// The short-time spectra of a stereo signal, frame by frame, with the box statistics of each
// frame's neighbourhood (frames t-2 .. t+2, bins k-1 .. k+1, renormalised where the signal or the
// spectrum ends). The signal is padded with N zeros at both ends; frame j covers padded samples
// j*H .. j*H + N - 1 through a periodic Hann window; the frames are those that reach the signal,
// j = 0 .. floor((N + length - 1) / H). A frame is handed to Visit once the frames it needs exist.
class StftFrames {
 public:
  explicit StftFrames(int n);
  virtual ~StftFrames() = default;
  StftFrames(const StftFrames&) = delete;
  StftFrames& operator=(const StftFrames&) = delete;

  // Feeds interleaved 16-bit frames.
  void Push(std::span<const std::int16_t> frames);
  // After the last Push: makes and visits the remaining frames.
  void Finish();

 protected:
  // One frame's spectra and neighbourhood: X_L, X_R for bins 0 .. N/2 and the box means
  // PM = <|M|^2>, PS = <|S|^2>, C = <M S*> (M = (L+R)/2, S = (L-R)/2).
  struct Cell {
    const double* reL;
    const double* imL;
    const double* reR;
    const double* imR;
    const double* pm;
    const double* ps;
    const double* cRe;
    const double* cIm;
  };
  // Frame `t` (0-based, counted from the start of the padding), its first padded sample t*H.
  virtual void Visit(std::int64_t t, const Cell& cell) = 0;

  int N() const { return n_; }
  int H() const { return h_; }
  std::int64_t SamplesPushed() const { return pushed_; }

 private:
  static constexpr int kDepth = 5;  // frames t-2 .. t+2
  struct Frame {
    detail::AlignedDoubles reL, imL, reR, imR;  // N/2 + 1 bins each
    std::vector<double> sumPm, sumPs, sumCRe, sumCIm;  // over bins k-1 .. k+1
  };

  void MakeFrame();
  void MakeFrameAndVisit();
  void VisitFrame(std::int64_t t, std::int64_t last);

  int n_;
  int h_;
  int bins_;
  std::vector<double> window_;
  std::vector<double> binCount_;         // 3, or 2 at the spectrum's ends
  std::vector<double> padL_, padR_;      // the last N padded samples, oldest first
  int filled_ = 0;                       // padded samples in padL_/padR_ since the last frame (N at most)
  std::int64_t made_ = 0;                // frames made
  std::int64_t visited_ = 0;             // frames visited
  std::int64_t pushed_ = 0;              // signal samples pushed
  std::array<Frame, kDepth> ring_;
  detail::AlignedDoubles zr_, zi_, br_, bi_;
  std::vector<double> pm_, ps_, cRe_, cIm_;  // the box means of the frame being visited
};

// How reverberant the centre source is over a whole signal: the first pass that sets Beta for the
// auto setting. Feed it with Push/Finish, then read Beta().
class CentreReverbMeter final : public StftFrames {
 public:
  explicit CentreReverbMeter(const QualityParameters& parameters);
  // clip((rho - 0.010) / 0.010, 0, 1) when the centre's share exceeds 0.3, else 0.
  double Beta() const;
  double Rho() const { return weight_ > 0 ? weightedResidue_ / weight_ : 0.0; }
  double Share() const { return total_ > 0 ? direct_ / total_ : 0.0; }

 private:
  void Visit(std::int64_t t, const Cell& cell) override;

  QualityParameters p_;
  double tan2Gate_;
  double weightedResidue_ = 0, weight_ = 0, direct_ = 0, total_ = 0;
};

// The reduction of one frame t (first padded sample t*H) as an operator on its spectra, for callers
// that apply it to another signal: with M = (X_L + X_R)/2, S = (X_L - X_R)/2 and e = M - Kappa S,
// bin k of the result is Y_L = Keep X_L - Cancel e, Y_R = Keep X_R - Cancel e (before the key
// change, the enhancer and the inverse). Keep = 1 - Beta c, Cancel = (1 - Beta) g; outside the
// range, or bypassed, Keep = 1 and Cancel = Kappa = 0. Arrays of N/2 + 1 bins, valid during the
// call only.
struct QualityFrameOperator {
  std::int64_t Frame = 0;
  const double* Keep = nullptr;
  const double* Cancel = nullptr;
  const double* KappaRe = nullptr;
  const double* KappaIm = nullptr;
};

// The quality mode's reduction as a stream: frames in, the same number of frames out, lined up
// (zero lag). One object per job; not thread-safe.
class QualityReducer final : public StftFrames {
 public:
  explicit QualityReducer(const QualityParameters& parameters);

  // Feeds interleaved frames and appends the output frames that are complete to `out`. `removed`,
  // when given (to every call of a job, or to none), receives as many frames: what `out` lacks of the
  // input, input minus output, so that the two add up to the input exactly until the 16-bit limit
  // cuts one of them (in inverse mode it is the processed signal).
  void Process(std::span<const std::int16_t> frames, std::vector<std::int16_t>& out,
               std::vector<std::int16_t>* removed = nullptr);
  // After the last Process: appends the rest, so that `out` (and `removed`) received as many frames
  // as went in.
  void Finish(std::vector<std::int16_t>& out, std::vector<std::int16_t>* removed = nullptr);

  // Called once per frame, when set, with the frame's operator (the benchmark freezes it and
  // applies it to a mix's stems). Unset in a job, where the operator is not even stored.
  std::function<void(const QualityFrameOperator&)> FrameObserver;

 private:
  void Visit(std::int64_t t, const Cell& cell) override;
  void Emit(std::int64_t upTo);

  QualityParameters p_;
  std::vector<double> synthesis_;   // the Hann window times 2/3
  std::vector<double> olaL_, olaR_;  // overlap-add of padded samples from olaStart_ on, N long
  std::int64_t olaStart_ = 0;        // the padded sample olaL_[0] holds
  std::int64_t emitted_ = 0;         // padded samples emitted or dropped (the leading padding)
  detail::AlignedDoubles yr_, yi_, ar_, ai_, br_, bi_;
  std::vector<double> keep_, cancel_, kappaRe_, kappaIm_;  // the operator, for FrameObserver
  std::vector<std::int16_t>* out_ = nullptr;
  std::vector<std::int16_t>* removed_ = nullptr;
  // For the removed part: the input frames not emitted yet, from sourceRead_ on (interleaved).
  std::vector<std::int16_t> source_;
  std::size_t sourceRead_ = 0;
  std::optional<PhaseVocoderShift> key_;
};

}  // namespace merolune
