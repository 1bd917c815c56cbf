#pragma once
// Element-wise arcsine, base-10 logarithm and cosine over arrays, several values per instruction.

namespace merolune {

// y[i] := f(x[i]) for i = 0 .. n - 1, through glibc's vector math library: its AVX2 variants
// on the AVX2 + FMA path of SimdPath, its SSE variants on the portable path. glibc documents
// these variants to within 4 ulp of the correctly rounded result, against 1 ulp for its scalar
// functions, so the two paths may differ by a few ulps; the reduction feeds them into weights
// that are cubed and cosined, so the output moves by far less than the half LSB that rounding
// to 16 bits allows. `x` and `y` may be the same array. Thread-safe, real-time safe (no
// allocation).
void VectorAsin(const double* x, double* y, int n);
void VectorLog10(const double* x, double* y, int n);
void VectorCos(const double* x, double* y, int n);

}  // namespace merolune
