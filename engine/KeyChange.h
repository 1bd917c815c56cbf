#pragma once
// The key change and the enhancer's phase turn, applied to one channel's spectrum.

#include <span>

namespace merolune {

class TWaveFFT;

// Key change of one channel's spectrum in place, `semitones` (non-zero) up or down: bins move to
// nearest(b * 2^(semitones/12)), gaps take the mean of their neighbours.
void ShiftKey(int semitones, TWaveFFT& transform);

// The enhancer: phases[k] := WrapAngle(phases[k] + pi/2) for k = 0 .. highest. Throws Exception
// when `highest` lies beyond the array.
void RotatePhases(std::span<double> phases, int highest);

}  // namespace merolune
