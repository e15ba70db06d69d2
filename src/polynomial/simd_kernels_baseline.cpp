// The portable hot loops with 16-byte vectors (SSE2 on any x86-64, Advanced SIMD on aarch64,
// plain code where the compiler has none); compiled with the default flags.
#define KS_VEC_BYTES 16
#define KS_KERNEL_SET kBaselineKernels
#define KS_KERNEL_NAME "baseline"
#include "simd_kernels.inl"
