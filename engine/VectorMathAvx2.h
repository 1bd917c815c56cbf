#pragma once
// The AVX2 variants behind VectorMath; call only when the processor has AVX2 and FMA.

namespace merolune::avx2 {

void VectorAsin(const double* x, double* y, int n);
void VectorLog10(const double* x, double* y, int n);
void VectorCos(const double* x, double* y, int n);

}  // namespace merolune::avx2
