#pragma once
// Analysis windows of the forward FFT object: their shapes and the weight of each sample.

#include <cstdint>

namespace merolune {

// Window shapes, in their stored order (one byte each).
enum class TWindowType : std::uint8_t {
  wtHANNING,
  wtHAMMING,
  wtBLACKMAN,
  wtBLACKMANHARRIS,
  wtGAUSSIAN,
  wtRECTANGULAR,
  wtSINE,
  wtCUBICSINE,
  wtFLATTOP,
  wtKAISER,
  wtLANCZOS,
  wtLOGGEDSQUARESINE,
  wtCUSTOM,
};

// Modified Bessel function I0 by the classical polynomial fits for |x| < 3.75 and beyond (relative
// error below 2e-7), enough for a window weight.
double BesselI0(double x);
// Weight of sample i of an n-point window; `custom` (n values) is read only for wtCUSTOM.
// Pure functions, thread-safe.
double WindowWeight(TWindowType type, int n, int i, const double* custom);

}  // namespace merolune
