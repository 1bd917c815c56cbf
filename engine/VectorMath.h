#pragma once
// Element-wise arcsine, base-10 logarithm and cosine over arrays, several values per instruction.

// Builds a function twice, for AVX2 with FMA and for the baseline, and picks one when the
// program loads. For loops that the compiler vectorises; with ISO C++ floating-point contraction
// stays off, so both builds compute the same values. ThreadSanitizer instruments the picking
// code, which runs before its runtime is up, so its builds keep the baseline only.
#if defined(__SANITIZE_THREAD__)
#define MEROLUNE_SIMD_CLONES
#else
#define MEROLUNE_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

namespace merolune {

// y[i] := f(x[i]) for i = 0 .. n - 1, through glibc's vector math library: its AVX2 variants
// when the processor has AVX2 and FMA, its SSE variants otherwise. glibc documents these
// variants to within 4 ulp of the correctly rounded result, against 1 ulp for its scalar
// functions; the reduction feeds them into weights that are cubed and cosined, so the output
// moves by far less than the half LSB that rounding to 16 bits allows. `x` and `y` may be
// the same array. Thread-safe, real-time safe (no allocation).
void VectorAsin(const double* x, double* y, int n);
void VectorLog10(const double* x, double* y, int n);
void VectorCos(const double* x, double* y, int n);

// Forces the SSE variants even on an AVX2 machine (for tests of both paths).
void VectorMathForceSse(bool force);

}  // namespace merolune
