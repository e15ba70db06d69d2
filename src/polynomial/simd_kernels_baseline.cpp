// The hot loops for any x86-64 (SSE2 vectors); compiled with the default flags.
#define KS_VEC_BYTES 16
#define KS_KERNEL_SET kBaselineKernels
#define KS_KERNEL_NAME "baseline"
#include "simd_kernels.inl"
