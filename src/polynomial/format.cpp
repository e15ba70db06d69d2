// Text of numbers and coefficient arrays (terms with script digits). Everything is appended
// in place to the caller's std::string; tree layout lives in expr_format.cpp.
#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "polynomial.hpp"

namespace kestrum {

namespace {

/// UTF-8 script characters for the digits 0–9. Superscripts 1, 2 and 3 live in Latin-1
/// (two bytes); every other character comes from the superscripts and subscripts block
/// (three bytes).
constexpr std::array<std::string_view, 10> kSuperscript = {
    "\u2070", "\u00B9", "\u00B2", "\u00B3", "\u2074", "\u2075", "\u2076", "\u2077", "\u2078", "\u2079"};
constexpr std::array<std::string_view, 10> kSubscript = {
    "\u2080", "\u2081", "\u2082", "\u2083", "\u2084", "\u2085", "\u2086", "\u2087", "\u2088", "\u2089"};

void append_script_digits(std::string& out, u64 n, bool subscript) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  (void)ec;  // 20 digits at most: the buffer always suffices
  const auto& table = subscript ? kSubscript : kSuperscript;
  for (const char* p = digits; p != end; ++p) out.append(table[static_cast<unsigned>(*p - '0')]);
}

/// Appends the terms of the coefficients visited in row-major order. Only axes of length 2
/// or more can carry a non-zero exponent, so the walk runs over those alone: a leaf with
/// many unit axes then costs no more than one without them.
template <Element T>
void append_terms(std::string& out, const Polynomial<T>& coeffs) {
  const Shape& shape = coeffs.shape();
  std::vector<std::size_t> axes;  // positions of the axes of length >= 2, ascending
  for (std::size_t ax = 0; ax < shape.size(); ++ax) {
    if (shape[ax] == 0) {  // no coefficient at all
      out.push_back('0');
      return;
    }
    if (shape[ax] >= 2) axes.push_back(ax);
  }
  std::vector<u64> index(axes.size(), 0);  // exponent along each axis of `axes`
  bool wrote_term = false;
  const u64 count = coeffs.size();
  for (u64 flat = 0; flat < count; ++flat) {
    const T c = coeffs[flat];
    if (!is_zero(c)) {
      if (wrote_term) out.append(" + ");
      wrote_term = true;
      format_number(out, c);
      for (std::size_t k = 0; k < axes.size(); ++k) {
        if (index[k] == 0) continue;
        out.push_back('x');
        append_script_digits(out, static_cast<u64>(axes[k]) + 1, true);
        append_script_digits(out, index[k], false);
      }
    }
    // Next multi-index, last axis fastest. Every length here is >= 2, so carries cost
    // amortised O(1) per coefficient.
    for (std::size_t k = axes.size(); k-- > 0;) {
      if (++index[k] < shape[axes[k]]) break;
      index[k] = 0;
    }
  }
  if (!wrote_term) out.push_back('0');
}

}  // namespace

void format_number(std::string& out, i64 x) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
  (void)ec;  // 20 characters at most, "-9223372036854775808" included
  out.append(buf, end);
}

void format_number(std::string& out, f64 x) {
  if (std::isnan(x)) {  // whatever its sign bit
    out.append("NaN");
    return;
  }
  if (std::signbit(x)) out.push_back('-');
  const f64 mag = std::fabs(x);
  if (std::isinf(mag)) {
    out.append("inf");
    return;
  }
  if (mag == 0.0) {
    out.push_back('0');
    return;
  }
  // Scientific form without a precision gives the shortest digit string that reads back as
  // the same double (nearest one on ties): "d[.ddd]e±X". Only its digits and exponent are
  // kept; the layout below is positional and never uses an exponent.
  char sci[40];
  const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, mag, std::chars_format::scientific);
  (void)ec;  // at most 17 digits, a point, and "e-324": the buffer always suffices
  char digits[24];
  int n = 0;
  const char* p = sci;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exp10 = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp10);
  // value = 0.d1…dn × 10^e
  const int e = exp10 + 1;
  if (e <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-e), '0');
    out.append(digits, static_cast<std::size_t>(n));
  } else if (e < n) {
    out.append(digits, static_cast<std::size_t>(e));
    out.push_back('.');
    out.append(digits + e, static_cast<std::size_t>(n - e));
  } else {
    out.append(digits, static_cast<std::size_t>(n));
    out.append(static_cast<std::size_t>(e - n), '0');
  }
}

void format_number(std::string& out, c64 x) {
  format_number(out, x.re);
  // A negative zero or a NaN imaginary part is not below zero: it gets the "+".
  if (!(x.im < 0.0)) out.push_back('+');
  format_number(out, x.im);
  out.push_back('i');
}

template <Element T>
void format_terms(std::string& out, const Polynomial<T>& coeffs) {
  append_terms(out, coeffs);
}

#define KS_INSTANTIATE(T) template void format_terms(std::string&, const Polynomial<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
