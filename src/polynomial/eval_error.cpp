// EvalError texts, the internal-failure report, the stack guard and i64 division.
#include "eval_error.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "element.hpp"

namespace kestrum {

std::string EvalError::message() const {
  switch (variant_) {
    case Variant::IncompatibleComposition: return "Incompatible dimensions for composition";
    case Variant::IncompatibleEvaluation: return "Incompatibile dimensions for evaluation";
    case Variant::UnsupportedDtype: return "Unsupported data type for evaluation";
    case Variant::IncompatibleShape: return "Incompatible shape for evaluation";
    case Variant::Message: return text_;
  }
  return text_;
}

void internal_failure(const std::string& msg, std::source_location where) {
  std::fprintf(stderr, "kestrum: internal failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), msg.c_str());
  std::fflush(stderr);
  throw InternalFailure(msg);
}

namespace {

// Lowest usable stack address of the current thread plus a margin, found once per thread.
// Zero means the bounds could not be read; the guard then never fires.
std::uintptr_t stack_floor() {
  constexpr std::uintptr_t kMargin = 256 * 1024;
  std::uintptr_t floor = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
      // A small thread stack (Python threads may have 256 KiB or less) gets half of itself
      // as the margin rather than no guard at all.
      floor = reinterpret_cast<std::uintptr_t>(addr) + std::min<std::uintptr_t>(kMargin, size / 2);
    }
    pthread_attr_destroy(&attr);
  }
  return floor;
}

}  // namespace

void check_stack_depth() {
  thread_local const std::uintptr_t floor = stack_floor();
  char probe;
  if (reinterpret_cast<std::uintptr_t>(&probe) < floor) throw TreeTooDeep();
}

i64 div(i64 a, i64 b) {
  if (b == 0) internal_failure("attempt to divide by zero");
  if (a == std::numeric_limits<i64>::min() && b == -1) internal_failure("attempt to divide with overflow");
  return a / b;
}

}  // namespace kestrum
