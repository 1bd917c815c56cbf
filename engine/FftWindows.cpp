// Window weights of the forward FFT object, computed in extended precision and rounded once.
#include "FftWindows.h"

#include <algorithm>
#include <cmath>

namespace merolune {

namespace {

constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;
// 8.5 pi: the Kaiser window's shape parameter.
constexpr double kKaiserBeta = 26.703537555513243;

}  // namespace

double BesselI0(double x) {
  const long double ax = std::fabs(static_cast<long double>(x));
  if (ax < 3.75L) {
    const long double t = ax / 3.75L;
    const long double t2 = t * t;
    return static_cast<double>(
        1.0L +
        t2 * (3.5156229L +
              t2 * (3.0899424L + t2 * (1.2067492L + t2 * (0.2659732L + t2 * (0.0360768L + t2 * 0.0045813L))))));
  }
  const long double t = 3.75L / ax;
  const long double poly =
      0.39894228L +
      t * (0.01328592L +
           t * (0.00225319L +
                t * (-0.00157565L +
                     t * (0.00916281L +
                          t * (-0.02057706L + t * (0.02635537L + t * (-0.01647633L + t * 0.00392377L)))))));
  return static_cast<double>(std::exp(ax) / std::sqrt(ax) * poly);
}

double WindowWeight(TWindowType type, int n, int i, const double* custom) {
  const long double m = static_cast<long double>(n) - 1.0L;
  const int d = i - n / 2;
  const long double li = i;
  const long double twoPiI = kTwoPi * li / m;
  switch (type) {
    case TWindowType::wtHANNING:
      return static_cast<double>(0.5L - 0.5L * std::cos(twoPiI));
    case TWindowType::wtHAMMING:
      return static_cast<double>(0.53836L - 0.46164L * std::cos(twoPiI));
    case TWindowType::wtBLACKMAN:
      return static_cast<double>(0.42L - 0.5L * std::cos(twoPiI) + 0.08L * std::cos(2.0L * twoPiI));
    case TWindowType::wtBLACKMANHARRIS:
      return static_cast<double>(0.423L - 0.498L * std::cos(twoPiI) + 0.0792L * std::cos(2.0L * twoPiI));
    case TWindowType::wtGAUSSIAN: {
      const long double u = li - 0.5L - m / 2.0L;
      return static_cast<double>(std::exp(-32.0L * u * u / (m * m)));
    }
    case TWindowType::wtRECTANGULAR:
      return 1.0;
    case TWindowType::wtSINE:
      return static_cast<double>(std::sin(kTwoPi * li / (2.0L * m)));
    case TWindowType::wtCUBICSINE: {
      const long double s = std::sin(kTwoPi * li / (2.0L * m));
      return static_cast<double>(s * s * s);
    }
    case TWindowType::wtFLATTOP:
      return static_cast<double>(0.2810639L - 0.5208972L * std::cos(twoPiI) +
                                 0.1980399L * std::cos(2.0L * twoPiI));
    case TWindowType::wtKAISER: {
      const long double r = static_cast<long double>(2LL * d) / m;
      const long double arg = kKaiserBeta * std::sqrt(std::max(0.0L, 1.0L - r * r));
      return static_cast<double>(static_cast<long double>(BesselI0(static_cast<double>(arg))) /
                                 static_cast<long double>(BesselI0(kKaiserBeta)));
    }
    case TWindowType::wtLANCZOS: {
      if (d == 0) return 1.0;
      const long double x = kTwoPi * static_cast<long double>(d) / m;
      return static_cast<double>(std::sin(x) / x);
    }
    case TWindowType::wtLOGGEDSQUARESINE: {
      if (d == 0) return 1.0;
      const long double s = std::sin(kTwoPi * static_cast<long double>(d) / m);
      return static_cast<double>(std::log2(s * s + 1.0L));
    }
    case TWindowType::wtCUSTOM:
      return custom[i];
  }
  return 1.0;
}

}  // namespace merolune
