// Picks the instruction-set variant of the hot loops once per process; the loops are in
// simd_kernels.inl, compiled per target. Only x86-64 has more than the portable variant.
#include <cstdlib>
#include <string_view>

#include "simd_kernels.hpp"

namespace kestrum::simd {

namespace {

#if defined(__x86_64__)

bool supported(const KernelSet& k) {
  if (&k == &kAvx512Kernels) return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  if (&k == &kAvx2Kernels) return __builtin_cpu_supports("avx2");
  return true;
}

const KernelSet& choose() {
  __builtin_cpu_init();
  const KernelSet* const by_preference[] = {&kAvx512Kernels, &kAvx2Kernels, &kBaselineKernels};
  // A variant named in the environment wins when this CPU can run it; any other value
  // (unknown, or unsupported here) falls back to the best supported one, so the setting
  // can never select code the CPU would fault on.
  if (const char* wanted = std::getenv("KESTRUM_KERNEL")) {
    for (const KernelSet* k : by_preference) {
      if (std::string_view(wanted) == k->name && supported(*k)) return *k;
    }
  }
  for (const KernelSet* k : by_preference) {
    if (supported(*k)) return *k;
  }
  return kBaselineKernels;
}

#else

// The portable variant is the only one built: every KESTRUM_KERNEL value, the x86 names
// included, is a name of no variant here and falls back to it, as unknown names do on x86-64.
const KernelSet& choose() { return kBaselineKernels; }

#endif

}  // namespace

const KernelSet& active_kernels() {
  static const KernelSet& chosen = choose();  // thread-safe static initialisation
  return chosen;
}

}  // namespace kestrum::simd
