// MURELLO_VECTOR_CLONES: compiles a hot loop for the baseline target and again for the
// x86-64-v3 (AVX2, FMA) and x86-64-v4 (AVX-512) levels, picking one when the program
// loads (GCC function multiversioning). The baseline x86-64 target lacks the wide integer
// multiplies of the FLAC prediction loops and the fused multiply-add of the resampler's
// dot products.
#pragma once

// Not under ThreadSanitizer: it instruments the resolvers that pick a clone, and the
// dynamic loader runs those before the sanitizer's runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define MURELLO_VECTOR_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
// Kernels whose versions need bodies of their own (a wider register layout for AVX-512)
// write them by hand as target("arch=x86-64-v4"), target("arch=x86-64-v3") and
// target("default") overloads, which the same mechanism picks from when the program
// loads; they do so only where this is defined.
#define MURELLO_VECTOR_VERSIONS 1
#else
#define MURELLO_VECTOR_CLONES
#endif
