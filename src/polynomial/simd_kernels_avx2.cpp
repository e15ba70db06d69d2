// The hot loops for AVX2 (without FMA, which is a separate extension); flags from
// CMakeLists.txt. Empty on other architectures.
#if defined(__x86_64__)
#define KS_VEC_BYTES 32
#define KS_KERNEL_SET kAvx2Kernels
#define KS_KERNEL_NAME "avx2"
#include "simd_kernels.inl"
#endif
