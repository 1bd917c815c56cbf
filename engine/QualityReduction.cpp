// The quality mode: short-time spectra with their neighbourhood statistics, the centre's
// reverberation measured over the whole signal, and the per-cell centre cancellation.

#include "QualityReduction.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Samples.h"

namespace merolune {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegree = kPi / 180.0;
// Twice the cells of a neighbourhood (5 frames by 3 bins): the fit's shrinkage.
constexpr double kFitCells = 30.0;

// The periodic Hann window of n points: its shifts by n/4 add up to 1.5 when squared.
std::vector<double> PeriodicHann(int n) {
  std::vector<double> w(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) w[static_cast<std::size_t>(i)] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / n);
  return w;
}

// The gate 1 / (1 + (q^2 / tan^2 W)^2) of a cell with |M|^2 = m and |S|^2 = s: 1 for a centred
// cell, falling off as the side signal grows; 0 where the mid signal is silent.
double Gate(double m, double s, double tan2) {
  if (!(m > 0.0)) return 0.0;
  const double ratio = s / m / tan2;
  return 1.0 / (1.0 + ratio * ratio);
}

}  // namespace

QualityParameters QualityParameters::For(const ReductionSettings& settings, double sampleRate, double beta) {
  QualityParameters p;
  p.N = sampleRate > 48000.0 ? 8192 : 4096;
  p.H = p.N / 4;
  const int half = p.N / 2;
  if (settings.RangeRestricted) {
    p.KLow = half + 1;
    p.KHigh = -1;
    for (int k = 0; k <= half; ++k) {
      const double f = static_cast<double>(static_cast<long double>(k) * sampleRate / p.N);
      if (f >= settings.LowHz && f <= settings.HighHz) {
        p.KLow = std::min(p.KLow, k);
        p.KHigh = k;
      }
    }
  } else {
    p.KLow = 0;
    p.KHigh = half;
  }
  const double w = 0.4 * settings.PThreshold;
  const double wr = w + 10.0 * kDegree;
  p.Tan2W = std::tan(w) * std::tan(w);
  p.Tan2Wr = std::tan(wr) * std::tan(wr);
  // cot(W / 2); a zero phase limit allows no fit at all.
  p.KappaMax = w > 0.0 ? 1.0 / std::tan(0.5 * w) : 0.0;
  p.Beta = std::clamp(beta, 0.0, 1.0);
  p.Inverse = settings.Inverse;
  p.Bypass = settings.SubtractionBypass;
  p.Enhancer = settings.Enhancer;
  p.KeySemitones = settings.Inverse ? 0 : settings.KeySemitones;
  return p;
}

// ============================================================================ StftFrames

StftFrames::StftFrames(int n) : n_(n), h_(n / 4), bins_(n / 2 + 1), window_(PeriodicHann(n)) {
  binCount_.assign(static_cast<std::size_t>(bins_), 3.0);
  binCount_.front() = 2.0;
  binCount_.back() = 2.0;
  // The leading padding: the first frame is all zeros.
  padL_.assign(static_cast<std::size_t>(n_), 0.0);
  padR_.assign(static_cast<std::size_t>(n_), 0.0);
  for (Frame& f : ring_) {
    for (auto* v : {&f.reL, &f.imL, &f.reR, &f.imR}) v->assign(static_cast<std::size_t>(bins_), 0.0);
    for (auto* v : {&f.sumPm, &f.sumPs, &f.sumCRe, &f.sumCIm}) v->assign(static_cast<std::size_t>(bins_), 0.0);
  }
  for (auto* v : {&zr_, &zi_, &br_, &bi_}) v->assign(static_cast<std::size_t>(n_), 0.0);
  for (auto* v : {&pm_, &ps_, &cRe_, &cIm_}) v->assign(static_cast<std::size_t>(bins_), 0.0);
}

void StftFrames::Push(std::span<const std::int16_t> frames) {
  const std::size_t count = frames.size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    padL_.push_back(frames[2 * i]);
    padR_.push_back(frames[2 * i + 1]);
    ++pushed_;
    // Frame j needs the padded samples up to j*H + N - 1; frame t is visited once t + 2 exists.
    if (padL_.size() >= static_cast<std::size_t>(n_)) MakeFrameAndVisit();
  }
}

void StftFrames::Finish() {
  if (pushed_ == 0) return;
  // The frames that reach the signal: j * H < N + length.
  const std::int64_t frames = (n_ + pushed_ - 1) / h_ + 1;
  while (made_ < frames) {
    padL_.resize(static_cast<std::size_t>(n_), 0.0);
    padR_.resize(static_cast<std::size_t>(n_), 0.0);
    MakeFrameAndVisit();
  }
  while (visited_ < frames) VisitFrame(visited_, frames - 1);
}

// Frame t is visited once frame t + 2 exists, with the frames made so far.
void StftFrames::MakeFrameAndVisit() {
  MakeFrame();
  if (made_ >= 3 && visited_ == made_ - 3) VisitFrame(made_ - 3, made_ - 1);
}

// Frame made_ from the first N samples in padL_/padR_, which then lose their first H samples.
void StftFrames::MakeFrame() {
  Frame& f = ring_[static_cast<std::size_t>(made_ % kDepth)];
  for (int i = 0; i < n_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    zr_[u] = window_[u] * padL_[u];
    zi_[u] = window_[u] * padR_[u];
  }
  // Both channels in one complex transform: Z = L + iR, separated by conjugate symmetry.
  SplitRadixForward(n_, zr_.data(), zi_.data());
  const std::size_t half = static_cast<std::size_t>(n_ / 2);
  br_[0] = zi_[0];
  bi_[0] = 0.0;
  zi_[0] = 0.0;
  br_[half] = zi_[half];
  bi_[half] = 0.0;
  zi_[half] = 0.0;
  detail::SeparateSpectra(static_cast<std::size_t>(n_), zr_.data(), zi_.data(), br_.data(), bi_.data());
  std::copy_n(zr_.begin(), bins_, f.reL.begin());
  std::copy_n(zi_.begin(), bins_, f.imL.begin());
  std::copy_n(br_.begin(), bins_, f.reR.begin());
  std::copy_n(bi_.begin(), bins_, f.imR.begin());

  // |M|^2, |S|^2 and M S* of each bin, then their sums over k-1 .. k+1.
  for (int k = 0; k < bins_; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double mr = 0.5 * (f.reL[u] + f.reR[u]), mi = 0.5 * (f.imL[u] + f.imR[u]);
    const double sr = 0.5 * (f.reL[u] - f.reR[u]), si = 0.5 * (f.imL[u] - f.imR[u]);
    pm_[u] = mr * mr + mi * mi;
    ps_[u] = sr * sr + si * si;
    cRe_[u] = mr * sr + mi * si;
    cIm_[u] = mi * sr - mr * si;
  }
  const auto sum3 = [this](const std::vector<double>& v, std::vector<double>& out) {
    for (int k = 0; k < bins_; ++k) {
      double s = v[static_cast<std::size_t>(k)];
      if (k > 0) s += v[static_cast<std::size_t>(k - 1)];
      if (k + 1 < bins_) s += v[static_cast<std::size_t>(k + 1)];
      out[static_cast<std::size_t>(k)] = s;
    }
  };
  sum3(pm_, f.sumPm);
  sum3(ps_, f.sumPs);
  sum3(cRe_, f.sumCRe);
  sum3(cIm_, f.sumCIm);

  padL_.erase(padL_.begin(), padL_.begin() + h_);
  padR_.erase(padR_.begin(), padR_.begin() + h_);
  ++made_;
}

void StftFrames::VisitFrame(std::int64_t t, std::int64_t last) {
  const std::int64_t first = std::max<std::int64_t>(0, t - 2);
  const std::int64_t end = std::min(last, t + 2);
  const double frames = static_cast<double>(end - first + 1);
  std::fill(pm_.begin(), pm_.end(), 0.0);
  std::fill(ps_.begin(), ps_.end(), 0.0);
  std::fill(cRe_.begin(), cRe_.end(), 0.0);
  std::fill(cIm_.begin(), cIm_.end(), 0.0);
  for (std::int64_t j = first; j <= end; ++j) {
    const Frame& f = ring_[static_cast<std::size_t>(j % kDepth)];
    for (int k = 0; k < bins_; ++k) {
      const auto u = static_cast<std::size_t>(k);
      pm_[u] += f.sumPm[u];
      ps_[u] += f.sumPs[u];
      cRe_[u] += f.sumCRe[u];
      cIm_[u] += f.sumCIm[u];
    }
  }
  for (int k = 0; k < bins_; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double cells = frames * binCount_[u];
    pm_[u] /= cells;
    ps_[u] /= cells;
    cRe_[u] /= cells;
    cIm_[u] /= cells;
  }
  const Frame& f = ring_[static_cast<std::size_t>(t % kDepth)];
  Visit(t, Cell{f.reL.data(), f.imL.data(), f.reR.data(), f.imR.data(), pm_.data(), ps_.data(), cRe_.data(),
                cIm_.data()});
  visited_ = t + 1;
}

// ============================================================================ CentreReverbMeter

CentreReverbMeter::CentreReverbMeter(const QualityParameters& parameters)
    : StftFrames(parameters.N), p_(parameters), tan2Gate_(std::pow(std::tan(25.0 * kDegree), 2)) {}

void CentreReverbMeter::Visit(std::int64_t, const Cell& c) {
  for (int k = std::max(p_.KLow, 0); k <= p_.KHigh; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double mr = 0.5 * (c.reL[u] + c.reR[u]), mi = 0.5 * (c.imL[u] + c.imR[u]);
    const double sr = 0.5 * (c.reL[u] - c.reR[u]), si = 0.5 * (c.imL[u] - c.imR[u]);
    const double g = Gate(mr * mr + mi * mi, sr * sr + si * si, tan2Gate_);
    const double pm = c.pm[u], ps = c.ps[u];
    const double direct = g * std::max(0.0, pm - ps);
    total_ += pm + ps;
    direct_ += direct;
    if (!(pm > 0.0)) continue;
    // What of the side signal the mid signal does not explain: diffuse sound around the centre.
    const double residue = std::max(0.0, ps - (c.cRe[u] * c.cRe[u] + c.cIm[u] * c.cIm[u]) / pm);
    weightedResidue_ += direct * direct * residue / pm;
    weight_ += direct * direct;
  }
}

double CentreReverbMeter::Beta() const {
  if (!(Share() > 0.3)) return 0.0;
  return std::clamp((Rho() - 0.010) / 0.010, 0.0, 1.0);
}

// ============================================================================ QualityReducer

QualityReducer::QualityReducer(const QualityParameters& parameters)
    : StftFrames(parameters.N), p_(parameters), synthesis_(PeriodicHann(parameters.N)) {
  // Hann analysis and synthesis at a hop of N/4 add up to 1.5: 2/3 gives back the input.
  for (double& w : synthesis_) w *= 2.0 / 3.0;
  olaL_.assign(static_cast<std::size_t>(p_.N), 0.0);
  olaR_.assign(static_cast<std::size_t>(p_.N), 0.0);
  for (auto* v : {&yr_, &yi_}) v->assign(static_cast<std::size_t>(p_.N), 0.0);
  for (auto* v : {&ar_, &ai_, &br_, &bi_}) v->assign(static_cast<std::size_t>(p_.N / 2 + 1), 0.0);
  if (p_.KeySemitones != 0) key_.emplace(p_.N / 2 + 1, p_.H, p_.KeySemitones);
  keep_.assign(static_cast<std::size_t>(p_.N / 2 + 1), 1.0);
  for (auto* v : {&cancel_, &kappaRe_, &kappaIm_}) v->assign(static_cast<std::size_t>(p_.N / 2 + 1), 0.0);
}

void QualityReducer::Process(std::span<const std::int16_t> frames, std::vector<std::int16_t>& out,
                             std::vector<std::int16_t>* removed) {
  out_ = &out;
  removed_ = removed;
  if (removed_) {
    // The input stays until its output frames are emitted; what was emitted goes once per call.
    source_.erase(source_.begin(), source_.begin() + static_cast<std::ptrdiff_t>(sourceRead_));
    sourceRead_ = 0;
    source_.insert(source_.end(), frames.begin(), frames.end());
  }
  Push(frames);
  out_ = nullptr;
  removed_ = nullptr;
}

void QualityReducer::Finish(std::vector<std::int16_t>& out, std::vector<std::int16_t>* removed) {
  out_ = &out;
  removed_ = removed;
  StftFrames::Finish();
  // No frame adds to what is left in the buffer.
  Emit(olaStart_ + p_.N);
  out_ = nullptr;
  removed_ = nullptr;
}

void QualityReducer::Visit(std::int64_t t, const Cell& c) {
  const int half = p_.N / 2;
  const bool observed = static_cast<bool>(FrameObserver);
  for (int k = 0; k <= half; ++k) {
    const auto u = static_cast<std::size_t>(k);
    double yLr = c.reL[u], yLi = c.imL[u], yRr = c.reR[u], yRi = c.imR[u];
    if (!p_.Bypass && k >= p_.KLow && k <= p_.KHigh) {
      const double mr = 0.5 * (c.reL[u] + c.reR[u]), mi = 0.5 * (c.imL[u] + c.imR[u]);
      const double sr = 0.5 * (c.reL[u] - c.reR[u]), si = 0.5 * (c.imL[u] - c.imR[u]);
      const double m2 = mr * mr + mi * mi, s2 = sr * sr + si * si;
      // The least-squares fit M ~ kappa S over the neighbourhood, shrunk by its own uncertainty
      // and no larger than KappaMax: the residue's power Pe = PM - |C|^2/PS, over twice the
      // neighbourhood's 15 cells, joins PS. A side signal that explains the mid signal (one source
      // off centre, Pe ~ 0) is fitted in full, however near the centre; a faint side signal beside a
      // loud centre (Pe ~ PM) gets almost no fit, so the centre is not left behind in its image.
      const double pm = c.pm[u], ps = c.ps[u];
      const double eps = 1e-9 * (pm + ps) + 1e-9;
      const double residue = std::max(0.0, pm - (c.cRe[u] * c.cRe[u] + c.cIm[u] * c.cIm[u]) / (ps + eps));
      const double fitPower = ps + residue / kFitCells + eps;
      double kr = c.cRe[u] / fitPower, ki = c.cIm[u] / fitPower;
      const double size = std::sqrt(kr * kr + ki * ki);
      if (size > p_.KappaMax) {
        const double shrink = size > 0.0 ? p_.KappaMax / size : 0.0;
        kr *= shrink;
        ki *= shrink;
      }
      // The residue e = M - kappa S: the centred part that the side signal does not account for.
      const double er = mr - (kr * sr - ki * si), ei = mi - (kr * si + ki * sr);
      // Y = (1 - Beta)(X - g e) + Beta (1 - c) X, the dry cancellation mixed with a reverberant
      // centre's soft mask (1 - c) over the wider width Wr: Keep X - Cancel e.
      const double wide = p_.Beta > 0.0 ? Gate(m2, s2, p_.Tan2Wr) : 0.0;
      const double keep = 1.0 - p_.Beta * wide;
      const double cancel = (1.0 - p_.Beta) * Gate(m2, s2, p_.Tan2W);
      if (observed) {
        keep_[u] = keep;
        cancel_[u] = cancel;
        kappaRe_[u] = kr;
        kappaIm_[u] = ki;
      }
      yLr = keep * yLr - cancel * er;
      yLi = keep * yLi - cancel * ei;
      yRr = keep * yRr - cancel * er;
      yRi = keep * yRi - cancel * ei;
    }
    ar_[u] = yLr;
    ai_[u] = yLi;
    br_[u] = yRr;
    bi_[u] = yRi;
  }
  if (observed)
    FrameObserver(QualityFrameOperator{t, keep_.data(), cancel_.data(), kappaRe_.data(), kappaIm_.data()});
  // The key change, as a stage of its own after the reduction.
  if (key_) key_->Shift(ar_.data(), ai_.data(), br_.data(), bi_.data());
  // The enhancer turns the right channel's bins by a quarter turn: (re, im) -> (-im, re).
  if (p_.Enhancer) {
    for (int k = 0; k < half; ++k) {
      const auto u = static_cast<std::size_t>(k);
      const double r = br_[u];
      br_[u] = -bi_[u];
      bi_[u] = r;
    }
  }
  // Inverse mode keeps what the processing took away: X - Y.
  if (p_.Inverse) {
    for (int k = 0; k <= half; ++k) {
      const auto u = static_cast<std::size_t>(k);
      ar_[u] = c.reL[u] - ar_[u];
      ai_[u] = c.imL[u] - ai_[u];
      br_[u] = c.reR[u] - br_[u];
      bi_[u] = c.imR[u] - bi_[u];
    }
  }
  // Back to time: Z = Y_L + i Y_R over all N bins, one inverse transform for both channels.
  const auto h = static_cast<std::size_t>(half);
  yr_[0] = ar_[0];
  yi_[0] = br_[0];
  yr_[h] = ar_[h];
  yi_[h] = br_[h];
  detail::PackSpectra(h, ar_.data(), ai_.data(), br_.data(), bi_.data(), yr_.data(), yi_.data());
  Radix2Transform(p_.N, yr_.data(), yi_.data(), true);
  for (int i = 0; i < p_.N; ++i) {
    const auto u = static_cast<std::size_t>(i);
    olaL_[u] += synthesis_[u] * yr_[u];
    olaR_[u] += synthesis_[u] * yi_[u];
  }
  // The first H samples of the buffer are complete: no later frame reaches them.
  Emit(olaStart_ + p_.H);
  olaL_.erase(olaL_.begin(), olaL_.begin() + p_.H);
  olaR_.erase(olaR_.begin(), olaR_.begin() + p_.H);
  olaL_.resize(static_cast<std::size_t>(p_.N), 0.0);
  olaR_.resize(static_cast<std::size_t>(p_.N), 0.0);
  olaStart_ += p_.H;
}

// Emits the padded samples from emitted_ up to `upTo` that hold the signal (the padding is dropped),
// and their removed part when it is wanted.
void QualityReducer::Emit(std::int64_t upTo) {
  const std::int64_t from = std::max<std::int64_t>(emitted_, p_.N);
  const std::int64_t to = std::min<std::int64_t>(upTo, p_.N + SamplesPushed());
  emitted_ = std::max(emitted_, upTo);
  if (from >= to) return;
  const auto first = static_cast<std::size_t>(from - olaStart_);
  const auto count = static_cast<std::size_t>(to - from);
  std::vector<std::int16_t>& out = *out_;
  const std::size_t at = out.size();
  out.resize(at + 2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    out[at + 2 * i] = LimitToInt16(std::nearbyint(olaL_[first + i]));
    out[at + 2 * i + 1] = LimitToInt16(std::nearbyint(olaR_[first + i]));
  }
  if (!removed_) return;
  // Input minus the rounded output, both whole numbers: the two add up to the input exactly.
  const std::int16_t* x = source_.data() + sourceRead_;
  std::vector<std::int16_t>& removed = *removed_;
  const std::size_t removedAt = removed.size();
  removed.resize(removedAt + 2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    removed[removedAt + 2 * i] = LimitToInt16(x[2 * i] - std::nearbyint(olaL_[first + i]));
    removed[removedAt + 2 * i + 1] = LimitToInt16(x[2 * i + 1] - std::nearbyint(olaR_[first + i]));
  }
  sourceRead_ += 2 * count;
}

}  // namespace merolune
