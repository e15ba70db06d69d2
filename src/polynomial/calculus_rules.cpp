// Order lists and the Leibniz terms shared by the symbolic derivative and the value walk.
#include "calculus_rules.hpp"

#include <algorithm>

namespace kestrum {

namespace {

/// binom(n, k) if it is at most `limit`, else nothing. Each step forms binom(n − k + i, i)
/// from binom(n − k + i − 1, i − 1); the division is exact and the intermediate product
/// fits in 128 bits while the value stays below 2^64. The sequence only grows, so the first
/// value past the limit proves the final one is past it too.
std::optional<u64> bounded_binomial(u64 n, u64 k, u64 limit) {
  if (k > n - k) k = n - k;
  unsigned __int128 r = 1;
  for (u64 i = 1; i <= k; ++i) {
    r = r * (n - k + i) / i;
    if (r > limit) return std::nullopt;
  }
  return static_cast<u64>(r);
}

}  // namespace

std::vector<i64> sum_orders(const std::vector<i64>& outer, const std::vector<i64>& inner) {
  std::vector<i64> sum(std::min(outer.size(), inner.size()));
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = add(outer[i], inner[i]);
  return sum;
}

bool is_single_first_derivative(const std::vector<i64>& orders) noexcept {
  u64 ones = 0;
  for (i64 k : orders) {
    if (k == 1) ++ones;
    else if (k != 0) return false;
  }
  return ones == 1;
}

bool integrates_a_derivative(const std::vector<i64>& inner, const std::vector<i64>& outer) noexcept {
  const std::size_t n = std::min(inner.size(), outer.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (inner[i] > 0 && outer[i] < 0) return true;
  }
  return false;
}

std::optional<std::vector<LeibnizTerm>> leibniz_terms(const std::vector<i64>& orders) {
  // The term count and the largest coefficient, both bounded before anything is built:
  // orders beyond them are far past any degree a product could have, and a coefficient past
  // 2^53 would not be exact as an f64 factor.
  u64 count = 1;
  u64 largest = 1;
  std::vector<std::vector<u64>> rows(orders.size());  // row i: binom(o_i, 0 .. o_i)
  for (std::size_t i = 0; i < orders.size(); ++i) {
    if (orders[i] < 0) return std::nullopt;
    const u64 o = static_cast<u64>(orders[i]);
    if (o + 1 > kMaxLeibnizTerms / count) return std::nullopt;
    count *= o + 1;
    const auto middle = bounded_binomial(o, o / 2, kMaxLeibnizCoefficient / largest);
    if (!middle) return std::nullopt;
    largest *= *middle;
    // binom(o, b) ≤ binom(o, ⌊o/2⌋), so none of these can pass the limit.
    rows[i].resize(o + 1);
    for (u64 b = 0; b <= o; ++b) rows[i][b] = *bounded_binomial(o, b, kMaxLeibnizCoefficient);
  }

  std::vector<LeibnizTerm> terms;
  terms.reserve(count);
  std::vector<i64> beta(orders.size(), 0);
  for (u64 t = 0; t < count; ++t) {
    LeibnizTerm term{beta, orders, 1};
    for (std::size_t i = 0; i < orders.size(); ++i) {
      term.right_orders[i] = orders[i] - beta[i];
      term.coefficient *= rows[i][static_cast<u64>(beta[i])];  // ≤ largest ≤ 2^53
    }
    terms.push_back(std::move(term));
    // Next β in row-major order: the last position counts fastest.
    for (std::size_t i = orders.size(); i-- > 0;) {
      if (beta[i] < orders[i]) {
        ++beta[i];
        break;
      }
      beta[i] = 0;
    }
  }
  return terms;
}

}  // namespace kestrum
