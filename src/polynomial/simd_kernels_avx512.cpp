// The hot loops for AVX-512 F/DQ; flags from CMakeLists.txt, which keeps -ffp-contract=off
// on this file so the wide multiplies and adds are never fused. Empty on other architectures.
#if defined(__x86_64__)
#define KS_VEC_BYTES 64
#define KS_KERNEL_SET kAvx512Kernels
#define KS_KERNEL_NAME "avx512"
#include "simd_kernels.inl"
#endif
