// The value walk: values of a tree at points (eval_tree) and of its lazy derivatives
// (eval_derivative), by the rules of differentiation applied to values. The walk turns the
// tree into a value program (value_program.hpp) and runs it; symbolic trees are built only
// where a rule needs one (expr_deriv.cpp).
//
// A request is a node with either "its value" or "its derivative by an order list". Each
// request is resolved once per call, whoever asks for it: a product's general Leibniz sum
// asks its factors for every order β ≤ o, and those factors, when products themselves, ask
// theirs, so each node ends up with one value per order it is asked for (its "jet"), and a
// chain of n products costs O(n · terms²) steps instead of a number of terms that grows
// combinatorially with n. Requests are resolved in the order the rules evaluate them, so the
// first failure met is the one the rules give; nothing is computed before all requests are
// resolved, and every failure is structural (shapes, orders, node kinds), so no value is
// computed for a call that fails.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "calculus_rules.hpp"
#include "expr.hpp"
#include "value_program.hpp"
#include "worker_pool.hpp"

namespace kestrum {

namespace {

/// Most bytes of differentiated arrays one evaluation keeps for its whole run; the others
/// are differentiated again for each chunk they are evaluated on.
constexpr u64 kKeptBudgetBytes = u64{64} << 20;

template <Element T>
class ValueWalk {
 public:
  explicit ValueWalk(const View<T>& points) : points_(points), program_(points) {}

  /// The values of `root` (no orders) or of its derivative by *orders.
  EvalResult<Array<T>> values(const Expr<T>& root, const std::vector<i64>* orders) {
    const Request request{&root, orders == nullptr ? kPlain : orders_id(*orders)};
    if (auto resolved = resolve(request); !resolved) return fail(std::move(resolved).error());
    return program_.run(emit(request));
  }

 private:
  using Value = typename ValueProgram<T>::Value;
  static constexpr u64 kPlain = ~u64{0};  // the orders id of "the node's value"

  struct Request {
    const Expr<T>* node;
    u64 orders;  // kPlain, or an id from orders_id()
    bool operator==(const Request&) const = default;
  };
  struct RequestHash {
    std::size_t operator()(const Request& r) const noexcept {
      return std::hash<const void*>{}(r.node) ^ (std::hash<u64>{}(r.orders) * 0x9e3779b97f4a7c15ull);
    }
  };

  /// How a request's value is formed from the values of the requests it needs.
  enum class Form { Polynomial, Same, Binary, Scale, Power, ProductRule, Leibniz };
  struct Recipe {
    Form form;
    std::vector<Request> needs;  // in the order the rules evaluate them
    const Polynomial<T>* coeffs = nullptr;  // Polynomial: the array, or null when derived per chunk
    typename ValueProgram<T>::Derived derived{};  // Polynomial derived per chunk (coeffs null)
    Kind kind = Kind::Add;                  // Binary
    T factor{};                             // Scale
    u64 exponent = 0;                       // Power
    std::vector<u64> coefficients{};        // Leibniz: C(o, β) per term; needs hold D^β(a), D^(o−β)(b) pairs
  };
  /// What the walk knows of a node: the orders it is asked for, in the order first asked,
  /// and the tree its inner derivative became, for a Deriv node that needed one.
  struct NodeRequests {
    std::vector<u64> orders;
    const Expr<T>* concrete = nullptr;
  };

  u64 orders_id(const std::vector<i64>& orders) {
    auto [it, added] = order_ids_.try_emplace(orders, order_lists_.size());
    if (added) order_lists_.push_back(&it->first);
    return it->second;
  }
  const std::vector<i64>& orders_of(u64 id) const { return *order_lists_[id]; }

  /// Works out every request the root needs, and how each is formed, in the order the rules
  /// evaluate them (an explicit stack: any depth); the first failure met is returned.
  EvalResult<void> resolve(Request root) {
    struct Frame {
      Request request;
      Recipe recipe;
      std::size_t next = 0;  // needs[0 .. next) are resolved
    };
    std::vector<Frame> frames;
    auto push = [&](Request request) -> EvalResult<void> {
      auto recipe = open(request);
      if (!recipe) return fail(std::move(recipe).error());
      frames.push_back({request, std::move(*recipe)});
      return {};
    };
    if (auto opened = push(root); !opened) return opened;
    while (!frames.empty()) {
      Frame& top = frames.back();
      if (top.next < top.recipe.needs.size()) {
        const Request need = top.recipe.needs[top.next++];
        if (!recipes_.contains(need)) {
          if (auto opened = push(need); !opened) return opened;  // `top` is not used again
        }
        continue;
      }
      nodes_[top.request.node].orders.push_back(top.request.orders);
      recipes_.emplace(top.request, std::move(top.recipe));
      frames.pop_back();
    }
    return {};
  }

  /// The failure a polynomial's values would have at these points, if any. A batch creates
  /// the worker pool even when it has no row to evaluate.
  std::optional<EvalError> points_failure() {
    if (points_.ndim() == 0) return EvalError::message("Failed to get new len");
    if (points_.ndim() >= 2) {
      const Shape batch(points_.shape.begin(), points_.shape.end() - 1);
      if (checked_element_count(batch, sizeof(T)) == 0) {
        run_indexed(0, [](std::size_t) {});
        return EvalError::message("Failed to concatenate values after eval");
      }
    }
    return std::nullopt;
  }

  EvalResult<Recipe> values_of(const Polynomial<T>& coeffs) {
    if (auto f = points_failure()) return fail(std::move(*f));
    Recipe r{Form::Polynomial, {}};
    r.coeffs = &coeffs;
    return r;
  }
  /// The values of a derivative of `coeffs`. The differentiated array is kept for the run
  /// while the kept arrays stay within kKeptBudgetBytes; past that, the run differentiates
  /// again per chunk, so a product of large leaves with many Leibniz terms needs a bounded
  /// amount of memory, not every derivative array at once. `owned`, when given, is `coeffs`
  /// itself, which the caller lets go: it is kept if the run needs it.
  EvalResult<Recipe> values_of_derivative(const Polynomial<T>& coeffs, const std::vector<i64>& orders,
                                          Polynomial<T>* owned = nullptr) {
    auto derived = differentiate(coeffs, orders);
    if (!derived) return fail(std::move(derived).error());
    if (auto f = points_failure()) return fail(std::move(*f));
    Recipe r{Form::Polynomial, {}};
    const u64 bytes = derived->size() * sizeof(T);
    if (bytes <= kKeptBudgetBytes - kept_bytes_) {
      kept_bytes_ += bytes;
      kept_.push_back(std::move(*derived));
      r.coeffs = &kept_.back();
      return r;
    }
    if (owned != nullptr) kept_.push_back(std::move(*owned));
    r.derived = {owned != nullptr ? &kept_.back() : &coeffs, orders};
    return r;
  }

  EvalResult<Recipe> open(Request request) {
    const Expr<T>& node = *request.node;
    const bool plain = request.orders == kPlain;
    const u64 o = request.orders;
    switch (node.kind()) {
      case Kind::Leaf: {
        const Polynomial<T>& coeffs = std::get<LeafNode<T>>(node.node).coeffs;
        return plain ? values_of(coeffs) : values_of_derivative(coeffs, orders_of(o));
      }
      case Kind::Add:
      case Kind::Sub:
      case Kind::Div: {
        if (node.kind() == Kind::Div && !plain) return fail(EvalError::message(kRationalsRefused));
        auto [l, r] = children(node);
        Recipe f{Form::Binary, {{l, o}, {r, o}}};
        f.kind = node.kind();
        return f;
      }
      case Kind::Mul: {
        auto [l, r] = children(node);
        if (plain) {
          Recipe f{Form::Binary, {{l, kPlain}, {r, kPlain}}};
          f.kind = Kind::Mul;
          return f;
        }
        return open_product_derivative(request, l, r);
      }
      case Kind::Scale: {
        const auto& s = std::get<ScaleNode<T>>(node.node);
        Recipe f{Form::Scale, {{s.child.get(), o}}};
        f.factor = s.factor;
        return f;
      }
      case Kind::Deriv: {
        const auto& d = std::get<DerivNode<T>>(node.node);
        if (plain) return Recipe{Form::Same, {{d.child.get(), orders_id(d.orders)}}};
        const std::vector<i64>& outer = orders_of(o);
        if (!integrates_a_derivative(d.orders, outer)) {
          return Recipe{Form::Same, {{d.child.get(), orders_id(sum_orders(outer, d.orders))}}};
        }
        // An antiderivative of a derivative: the inner derivative is made concrete first
        // (once per node, whatever orders ask for it).
        NodeRequests& info = nodes_[&node];
        if (info.concrete == nullptr) {
          auto concrete = derive_tree(*d.child, d.orders);
          if (!concrete) return fail(std::move(concrete).error());
          concrete_.push_back(boxed(std::move(*concrete)));
          info.concrete = concrete_.back().get();
        }
        return Recipe{Form::Same, {{info.concrete, o}}};
      }
      case Kind::Pow: {
        if (!plain) return fail(EvalError::message(kPowersRefused));
        const auto& p = std::get<PowNode<T>>(node.node);
        Recipe f{Form::Power, {{p.child.get(), kPlain}}};
        f.exponent = p.exponent;
        return f;
      }
    }
    internal_failure("the value walk met an unknown node kind");
  }

  /// The derivative of a product by orders o: the two-term rule for a single first
  /// derivative; the general Leibniz sum of the factors' derivative values while it applies;
  /// otherwise the derivative of the product's expansion, which must be one polynomial.
  EvalResult<Recipe> open_product_derivative(Request request, const Expr<T>* a, const Expr<T>* b) {
    const std::vector<i64>& orders = orders_of(request.orders);
    if (is_single_first_derivative(orders)) {
      // D(a·b) = D(a)·b + a·D(b): D(a), b, a, D(b) in this order.
      return Recipe{Form::ProductRule, {{a, request.orders}, {b, kPlain}, {a, kPlain}, {b, request.orders}}};
    }
    if (auto terms = leibniz_terms(orders)) {
      Recipe f{Form::Leibniz, {}};
      f.needs.reserve(2 * terms->size());
      for (const LeibnizTerm& term : *terms) {
        f.needs.push_back({a, orders_id(term.left_orders)});
        f.needs.push_back({b, orders_id(term.right_orders)});
        f.coefficients.push_back(term.coefficient);
      }
      return f;
    }
    auto expanded = expand_tree(*request.node);
    if (!expanded) return fail(std::move(expanded).error());
    auto* single = std::get_if<typename Expansion<T>::Single>(&expanded->value);
    if (single == nullptr) return fail(EvalError::message(kRationalsRefused));
    return values_of_derivative(single->p, orders, &single->p);
  }

  static std::pair<const Expr<T>*, const Expr<T>*> children(const Expr<T>& node) {
    return std::visit(
        [](const auto& n) -> std::pair<const Expr<T>*, const Expr<T>*> {
          if constexpr (requires { n.left; }) return {n.left.get(), n.right.get()};
          else internal_failure("a node without two children was taken for one");
        },
        node.node);
  }

  /// The nodes whose values the resolved requests read, below `node`: its children, or for
  /// a Deriv node its child and the tree its inner derivative became. Only nodes the walk
  /// asked for anything count.
  std::vector<const Expr<T>*> asked_children(const Expr<T>* node) const {
    std::vector<const Expr<T>*> out;
    auto add = [&](const Expr<T>* c) {
      if (c != nullptr && nodes_.contains(c)) out.push_back(c);
    };
    std::visit(
        [&](const auto& n) {
          if constexpr (requires { n.left; }) {
            add(n.left.get());
            add(n.right.get());
          } else if constexpr (requires { n.child; }) {
            add(n.child.get());
          }
        },
        node->node);
    if (auto it = nodes_.find(node); it != nodes_.end()) add(it->second.concrete);
    return out;
  }

  /// Writes the steps of every resolved request into the program and returns the value of
  /// `root`. A node's requests (its jet) are written together, after those of the nodes it
  /// reads, so a node's values live only until its parent's are formed. Children are taken
  /// tallest first, which keeps few jets alive at a time on deep chains of either hand; an
  /// i64 tree keeps left before right, since there the order of steps decides which of two
  /// failing divisions is reported.
  Value emit(Request root) {
    // Heights, by a post-order walk over the nodes that were asked for values.
    std::unordered_map<const Expr<T>*, u64> height;
    std::vector<std::pair<const Expr<T>*, bool>> stack{{root.node, false}};
    while (!stack.empty()) {
      auto [node, expanded] = stack.back();
      stack.pop_back();
      if (!expanded) {
        stack.push_back({node, true});
        for (const Expr<T>* c : asked_children(node)) stack.push_back({c, false});
        continue;
      }
      u64 h = 0;
      for (const Expr<T>* c : asked_children(node)) h = std::max(h, height[c] + 1);
      height[node] = h;
    }

    std::unordered_map<Request, Value, RequestHash> value;
    stack.push_back({root.node, false});
    while (!stack.empty()) {
      auto [node, expanded] = stack.back();
      stack.pop_back();
      if (!expanded) {
        stack.push_back({node, true});
        std::vector<const Expr<T>*> kids = asked_children(node);
        if constexpr (!std::same_as<T, i64>) {
          std::stable_sort(kids.begin(), kids.end(),
                           [&](const Expr<T>* x, const Expr<T>* y) { return height[x] > height[y]; });
        }
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, false});  // first on top
        continue;
      }
      const std::vector<u64>& asked = nodes_.at(node).orders;
      // The node's polynomial values (a leaf and its derivatives, or the derivatives of a
      // product's expansion) come from one step, which shares their powers and monomials.
      std::vector<const Polynomial<T>*> arrays;
      std::vector<u64> array_orders;
      std::vector<typename ValueProgram<T>::Derived> derived;
      std::vector<u64> derived_orders;
      for (u64 o : asked) {
        const Recipe& recipe = recipes_.at({node, o});
        if (recipe.form != Form::Polynomial) continue;
        if (recipe.coeffs != nullptr) {
          arrays.push_back(recipe.coeffs);
          array_orders.push_back(o);
        } else {
          derived.push_back(recipe.derived);
          derived_orders.push_back(o);
        }
      }
      auto bind = [&](const std::vector<Value>& values, const std::vector<u64>& orders) {
        for (std::size_t i = 0; i < values.size(); ++i) value.emplace(Request{node, orders[i]}, values[i]);
      };
      if (!arrays.empty()) bind(program_.polynomials(std::move(arrays)), array_orders);
      if (!derived.empty()) bind(program_.derived_polynomials(std::move(derived)), derived_orders);
      for (u64 o : asked) {
        const Request request{node, o};
        const Recipe& recipe = recipes_.at(request);
        if (recipe.form == Form::Polynomial) continue;
        std::vector<Value> got;
        got.reserve(recipe.needs.size());
        for (const Request& need : recipe.needs) got.push_back(value.at(need));
        value.emplace(request, form(recipe, got));
      }
    }
    return value.at(root);
  }

  /// The steps that form a request's value from its needs' values.
  Value form(const Recipe& f, const std::vector<Value>& g) {
    switch (f.form) {
      case Form::Polynomial: break;  // written per node, see emit()
      case Form::Same: return g[0];
      case Form::Binary:
        switch (f.kind) {
          case Kind::Add: return program_.add(g[0], g[1]);
          case Kind::Sub: return program_.sub(g[0], g[1]);
          case Kind::Mul: return program_.mul(g[0], g[1]);
          default: return program_.div(g[0], g[1]);
        }
      case Form::Scale: return program_.scale(g[0], f.factor);
      case Form::Power: return program_.power(g[0], f.exponent);
      case Form::ProductRule: {
        const Value first = program_.mul(g[0], g[1]);
        const Value second = program_.mul(g[2], g[3]);
        return program_.add(first, second);
      }
      case Form::Leibniz: {
        // Σ over β, left to right: D^β(a)·D^(o−β)(b), times C(o, β) where C is not 1, the
        // first term starting the sum.
        std::optional<Value> sum;
        for (std::size_t t = 0; t < f.coefficients.size(); ++t) {
          Value term = program_.mul(g[2 * t], g[2 * t + 1]);
          if (f.coefficients[t] != 1) term = program_.scale(term, count_as_element<T>(f.coefficients[t]));
          sum = sum ? program_.add(*sum, term) : term;
        }
        return *sum;  // there is always the term β = 0
      }
    }
    internal_failure("unknown value form");
  }

  const View<T>& points_;
  ValueProgram<T> program_;
  std::map<std::vector<i64>, u64> order_ids_;
  std::vector<const std::vector<i64>*> order_lists_;
  std::unordered_map<Request, Recipe, RequestHash> recipes_;
  std::unordered_map<const Expr<T>*, NodeRequests> nodes_;
  std::deque<Polynomial<T>> kept_;    // differentiated arrays; recipes point into it
  u64 kept_bytes_ = 0;                // of the differentiated arrays in kept_
  std::vector<ExprPtr<T>> concrete_;  // trees made concrete by the walk; requests point into them
};

}  // namespace

template <Element T>
EvalResult<Array<T>> eval_tree(const Expr<T>& e, const View<T>& points) {
  // A tree that is one polynomial needs no value program: eval_points gives the values the
  // program's one step would, with the same failures checked in the same order, without the
  // walk's maps and the program's buffers.
  if (const auto* leaf = std::get_if<LeafNode<T>>(&e.node)) return eval_points(leaf->coeffs, points);
  return ValueWalk<T>(points).values(e, nullptr);
}

template <Element T>
EvalResult<Array<T>> eval_derivative(const Expr<T>& e, const std::vector<i64>& orders, const View<T>& points) {
  return ValueWalk<T>(points).values(e, &orders);
}

#define KS_INSTANTIATE(T)                                                                          \
  template EvalResult<Array<T>> eval_tree(const Expr<T>&, const View<T>&);                         \
  template EvalResult<Array<T>> eval_derivative(const Expr<T>&, const std::vector<i64>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
