// The lazy expression tree Expr<T>, Expansion<T> and the declarations of every tree
// operation; definitions live in expr_*.cpp, one concept per file. No Python here.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "polynomial.hpp"

namespace kestrum {

/// Node kinds; the number is the variant index of Expr<T>::Node.
enum class Kind : unsigned { Leaf, Add, Sub, Mul, Div, Scale, Deriv, Pow };

template <Element T> struct Expr;
template <Element T> using ExprPtr = std::unique_ptr<Expr<T>>;

template <Element T> struct LeafNode { Polynomial<T> coeffs; };
/// Add, Sub, Mul, Div: left then right (numerator then denominator).
template <Element T, Kind K> struct BinaryNode { ExprPtr<T> left; ExprPtr<T> right; };
template <Element T> struct ScaleNode { T factor; ExprPtr<T> child; };
/// orders: one signed order per parameter (>0 differentiates, <0 integrates); its length is
/// not checked when the node is built.
template <Element T> struct DerivNode { ExprPtr<T> child; std::vector<i64> orders; };
template <Element T> struct PowNode { ExprPtr<T> child; u64 exponent; };

/// One node of a tree of element type T. Owns its children exclusively; nothing is shared.
/// Destruction is iterative, so a tree of any depth is freed without deep recursion.
/// Not copyable: copies are made explicitly with clone_tree (also iterative).
template <Element T>
struct Expr {
  using Node = std::variant<LeafNode<T>, BinaryNode<T, Kind::Add>, BinaryNode<T, Kind::Sub>,
                            BinaryNode<T, Kind::Mul>, BinaryNode<T, Kind::Div>, ScaleNode<T>,
                            DerivNode<T>, PowNode<T>>;
  Node node;

  explicit Expr(Node n) : node(std::move(n)) {}
  Expr(Expr&&) noexcept = default;
  Expr& operator=(Expr&&) noexcept;
  Expr(const Expr&) = delete;
  Expr& operator=(const Expr&) = delete;
  ~Expr();

  /// Nodes come from a small per-thread cache of freed nodes: operators copy whole trees,
  /// and the general-purpose allocator is several times slower for that pattern. Any thread
  /// may free a node that another thread allocated.
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(node.index()); }
};

static_assert(std::variant_size_v<Expr<f64>::Node> == 8);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(Kind::Deriv), Expr<f64>::Node>,
                             DerivNode<f64>>);

// --- builders (expr_build.cpp) -----------------------------------------------------------
// Each takes its parts by value and moves them into the new node; no dimension is checked
// (binary_node does that for trees from outside). Cannot fail but by running out of memory.
template <Element T> [[nodiscard]] Expr<T> make_leaf(Polynomial<T> coeffs);
/// kind must be Add, Sub, Mul or Div (anything else is an internal failure).
template <Element T> [[nodiscard]] Expr<T> make_binary(Kind kind, Expr<T> left, Expr<T> right);
template <Element T> [[nodiscard]] Expr<T> make_scale(T factor, Expr<T> child);
template <Element T> [[nodiscard]] Expr<T> make_deriv(Expr<T> child, std::vector<i64> orders);
template <Element T> [[nodiscard]] Expr<T> make_pow(Expr<T> child, u64 exponent);
/// The same tree moved into its own allocation, ready to be a child.
template <Element T> [[nodiscard]] ExprPtr<T> boxed(Expr<T> e) { return std::make_unique<Expr<T>>(std::move(e)); }

/// The first child of an inner node (left, numerator, or only child); null for a leaf.
template <Element T> [[nodiscard]] const Expr<T>* first_child(const Expr<T>& e) noexcept;

/// Calls visit(node) for every node of `e`, each before its children, left child before
/// right, with an explicit stack so any depth is fine.
template <Element T, class Visit> void visit_preorder(const Expr<T>& e, Visit&& visit) {
  std::vector<const Expr<T>*> pending{&e};
  while (!pending.empty()) {
    const Expr<T>* node = pending.back();
    pending.pop_back();
    visit(*node);
    std::visit(
        [&](const auto& n) {
          if constexpr (requires { n.left; }) {
            pending.push_back(n.right.get());
            pending.push_back(n.left.get());  // popped first
          } else if constexpr (requires { n.child; }) {
            pending.push_back(n.child.get());
          }
        },
        node->node);
  }
}

/// Number of axes of the leftmost leaf. Iterative. Cannot fail.
template <Element T> [[nodiscard]] u64 tree_dimension(const Expr<T>& e) noexcept;

/// The coefficient arrays of every leaf, leftmost first (the order of a left-to-right walk).
/// Iterative. The pointers point into `e` and stay valid while it lives. Cannot fail.
template <Element T> [[nodiscard]] std::vector<const Polynomial<T>*> leaf_arrays(const Expr<T>& e);

/// Deep copy, node by node. Iterative. Cannot fail (except by running out of memory).
template <Element T> [[nodiscard]] Expr<T> clone_tree(const Expr<T>& e);

/// Node of `kind` over copies of left and right after the leftmost-leaf dimension check.
/// Errors: IncompatibleComposition (nothing copied).
template <Element T>
[[nodiscard]] EvalResult<Expr<T>> binary_node(Kind kind, const Expr<T>& left, const Expr<T>& right);

// --- casts (expr_cast.cpp) ---------------------------------------------------------------
/// The same tree in the same or a wider element type, node by node. Cannot fail.
template <Element From, Element To> [[nodiscard]] Expr<To> cast_tree(const Expr<From>& e);
/// Scale(factor, cast_tree<T, c64>(e)): always a c64 tree. Cannot fail.
template <Element T> [[nodiscard]] Expr<c64> scale_node(const Expr<T>& e, c64 factor);

// --- evaluation (expr_eval.cpp) ----------------------------------------------------------
/// Values of the tree at the points (last axis = coordinates, checked by the caller).
/// Errors: those of eval_points and differentiate, the refusals of lazy derivatives of
/// quotients and powers, and the failures of the expansions and symbolic derivatives that
/// some lazy derivatives need; the first failure in the order of the evaluation rules.
/// i64 division by zero / overflow throw InternalFailure. Calling thread only.
template <Element T> [[nodiscard]] EvalResult<Array<T>> eval_tree(const Expr<T>& e, const View<T>& points);
/// Values of the derivative of the tree by `orders`, without building a new tree.
template <Element T>
[[nodiscard]] EvalResult<Array<T>> eval_derivative(const Expr<T>& e, const std::vector<i64>& orders,
                                                   const View<T>& points);

// --- text (expr_format.cpp) --------------------------------------------------------------
/// Appends the fully parenthesised one-line text of the tree.
template <Element T> void format_tree(std::string& out, const Expr<T>& e);

// --- shape and constant (expr_shape.cpp) -------------------------------------------------
/// Per-axis maximum of the leaf lengths. Cannot fail.
template <Element T> [[nodiscard]] Shape tree_shape(const Expr<T>& e);
/// The single number the tree stands for. Errors: Message "Attempted to get constant value
/// on non-atomic expression. Try expanding?", Message "Polynomial has non-constant terms".
/// Throws InternalFailure for a leaf without coefficients and for i64 division failures.
template <Element T> [[nodiscard]] EvalResult<T> tree_constant(const Expr<T>& e);

// --- symbolic derivative (expr_deriv.cpp) ------------------------------------------------
/// A new tree standing for the derivative of `e` by `orders`. Errors: those of
/// differentiate and expand_tree; the refusal of quotients whose denominator depends on a
/// parameter being differentiated or integrated; the refusal of antiderivatives of products
/// over quotients (and of their derivatives past the Leibniz limits); i64 "Couldn't convert
/// power". Recursive, guarded by check_stack_depth (TreeTooDeep).
template <Element T> [[nodiscard]] EvalResult<Expr<T>> derive_tree(const Expr<T>& e, const std::vector<i64>& orders);

// --- partial evaluation (expr_partial.cpp) -----------------------------------------------
/// Every leaf through partial_eval; Deriv nodes made concrete with derive_tree first.
template <Element T>
[[nodiscard]] EvalResult<Expr<T>> partial_tree(const Expr<T>& e, const std::vector<u64>& indices,
                                               std::span<const T> values);

// --- expansion (expr_expand.cpp) ---------------------------------------------------------
/// One polynomial, or a numerator and a denominator.
template <Element T>
struct Expansion {
  struct Single { Polynomial<T> p; };
  struct Rational { Polynomial<T> numerator; Polynomial<T> denominator; };
  std::variant<Single, Rational> value;
};
template <Element T> [[nodiscard]] EvalResult<Expansion<T>> expand_tree(const Expr<T>& e);
/// Leaf(p) or Div(Leaf(n), Leaf(d)). Errors: IncompatibleComposition when n and d differ
/// in their number of axes.
template <Element T> [[nodiscard]] EvalResult<Expr<T>> tree_from_expansion(const Expansion<T>& x);

// --- dropping parameters (expr_drop.cpp) -------------------------------------------------
/// Lengths of the axes whose position is not listed, in ascending order of position.
[[nodiscard]] Shape kept_lengths(const Shape& shape, const std::vector<u64>& positions);
/// Removes the listed axes (each of length ≤ 1 in every leaf). Errors: Message "Could not
/// get axis to drop", "Attempted to drop a non-empty axis", "Invalid shape in drop operation".
template <Element T> [[nodiscard]] EvalResult<Expr<T>> drop_axes(const Expr<T>& e, const std::vector<u64>& positions);

}  // namespace kestrum
