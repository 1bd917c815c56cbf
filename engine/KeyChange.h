#pragma once
// The key change and the enhancer's phase turn, applied to one channel's spectrum.

#include <span>
#include <vector>

namespace merolune {

class TWaveFFT;

// Key change of one channel's spectrum in place, `semitones` (non-zero) up or down: bins move to
// nearest(b * 2^(semitones/12)), gaps take the mean of their neighbours.
void ShiftKey(int semitones, TWaveFFT& transform);

// The enhancer: phases[k] := WrapAngle(phases[k] + pi/2) for k = 0 .. highest. Throws Exception
// when `highest` lies beyond the array.
void RotatePhases(std::span<double> phases, int highest);

// The quality mode's key change: a phase vocoder over consecutive short-time spectra of a stereo
// signal at a fixed hop. Each output bin k takes the magnitude of input bin k / ratio (linearly
// between the two nearest) and a phase that advances by ratio times that bin's measured frequency
// per hop, so a partial keeps a steady pitch ratio times its own. The mid signal's phase sets the
// advance and each channel keeps its offset from it, so the stereo image is not smeared. Frames
// must come in order; one object per stream.
class PhaseVocoderShift {
 public:
  // `bins` = N/2 + 1 of an N-point transform at hop `hop`; `semitones` up or down.
  PhaseVocoderShift(int bins, int hop, int semitones);
  // Shifts the half spectra of one frame in place.
  void Shift(double* reL, double* imL, double* reR, double* imR);

 private:
  int bins_;
  double ratio_;
  double expected_;  // the phase advance of bin 1 per hop: 2 pi hop / N
  std::vector<double> lastPhase_, sumPhase_;
  std::vector<double> magL_, magR_, offL_, offR_, freq_;
};

}  // namespace merolune
