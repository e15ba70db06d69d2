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

/// The lowest address a walk may reach on a stack starting at `lowest` of `size` bytes: a
/// margin above the end, and for a small thread stack (Python threads may have 256 KiB or
/// less) half of itself rather than no guard at all.
std::uintptr_t floor_of(std::uintptr_t lowest, std::size_t size) {
  constexpr std::uintptr_t kMargin = 256 * 1024;
  return lowest + std::min<std::uintptr_t>(kMargin, size / 2);
}

// Lowest usable stack address of the current thread plus a margin, found once per thread.
// Zero means the bounds could not be read; the guard then never fires.
//
// The bounds come from the thread library: pthread_getattr_np on Linux, the stack's top and
// size on macOS. Elsewhere only the current position is known, so the guard assumes no more
// than kAssumedStack below the first check on the thread: deep trees may then be refused
// earlier than needed, but never walk off the stack of a thread at least that large.
std::uintptr_t stack_floor() {
#if defined(__linux__)
  std::uintptr_t floor = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) floor = floor_of(reinterpret_cast<std::uintptr_t>(addr), size);
    pthread_attr_destroy(&attr);
  }
  return floor;
#elif defined(__APPLE__)
  // pthread_get_stackaddr_np gives the highest address; the stack grows down from it.
  const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
  const std::size_t size = pthread_get_stacksize_np(pthread_self());
  return size > 0 && top > size ? floor_of(top - size, size) : 0;
#else
  constexpr std::uintptr_t kAssumedStack = 512 * 1024;
  char probe;
  const auto here = reinterpret_cast<std::uintptr_t>(&probe);
  return here > kAssumedStack ? floor_of(here - kAssumedStack, kAssumedStack) : 0;
#endif
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
