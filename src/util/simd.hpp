// MURELLO_VECTOR_CLONES: compiles a hot loop for the baseline target and again for AVX2,
// picking one when the program loads (GCC function multiversioning). The baseline x86-64
// target lacks the wide integer multiplies the prediction loops need.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MURELLO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MURELLO_VECTOR_CLONES
#endif
