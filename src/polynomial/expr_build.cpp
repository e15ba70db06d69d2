// Building, copying, measuring and destroying trees. Every walk here is iterative, so
// trees of any depth are safe; no other operation lives in this file.
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCacheNodes = false;  // every node goes through the checked allocator
#else
constexpr bool kCacheNodes = true;
#endif

/// Freed nodes of one size kept for reuse by this thread, at most kMaxCached of them (a few
/// MiB), so freeing a huge tree gives its memory back. Drained when the thread ends; a node
/// freed after that goes straight back to the allocator.
class NodeCache {
 public:
  static constexpr std::size_t kMaxCached = 1 << 16;

  void* take() noexcept {
    if (head_ == nullptr) return nullptr;
    FreeNode* n = head_;
    head_ = n->next;
    --count_;
    return n;
  }
  bool give(void* p) noexcept {
    if (closed_ || count_ == kMaxCached) return false;
    head_ = new (p) FreeNode{head_};
    ++count_;
    return true;
  }
  ~NodeCache() {
    closed_ = true;
    while (void* p = take()) ::operator delete(p);
  }

 private:
  struct FreeNode {
    FreeNode* next;
  };
  FreeNode* head_ = nullptr;
  std::size_t count_ = 0;
  bool closed_ = false;
};

template <Element T>
NodeCache& node_cache() noexcept {
  static_assert(sizeof(Expr<T>) >= sizeof(void*));
  thread_local NodeCache cache;
  return cache;
}

/// Puts a detached subtree on the work list. Destructors must not throw: if the list cannot
/// grow, the subtree is freed right here instead (its own destructor is iterative again).
template <Element T>
void push_detached(std::vector<ExprPtr<T>>& stack, ExprPtr<T>& child) noexcept {
  if (!child) return;
  try {
    stack.push_back(std::move(child));
  } catch (...) {
    child.reset();
  }
}

/// Moves the children of `e` (if any) onto `stack`, leaving `e` childless.
template <Element T>
void detach_children(Expr<T>& e, std::vector<ExprPtr<T>>& stack) noexcept {
  std::visit(
      [&stack](auto& n) {
        using N = std::decay_t<decltype(n)>;
        if constexpr (requires { n.left; }) {
          push_detached(stack, n.left);
          push_detached(stack, n.right);
        } else if constexpr (!std::is_same_v<N, LeafNode<T>>) {
          push_detached(stack, n.child);
        }
      },
      e.node);
}

/// Frees a list of subtrees without recursion: each node is emptied of its children before
/// it is destroyed.
template <Element T>
void destroy_iteratively(std::vector<ExprPtr<T>>& stack) {
  while (!stack.empty()) {
    ExprPtr<T> top = std::move(stack.back());
    stack.pop_back();
    detach_children(*top, stack);
  }  // `top` is childless here, so its destructor does not recurse
}

}  // namespace

template <Element T>
Expr<T>::~Expr() {
  std::vector<ExprPtr<T>> stack;
  detach_children(*this, stack);
  destroy_iteratively(stack);
}

template <Element T>
void* Expr<T>::operator new(std::size_t size) {
  if constexpr (kCacheNodes) {
    if (size == sizeof(Expr<T>)) {
      if (void* p = node_cache<T>().take()) return p;
    }
  }
  return ::operator new(size);
}

template <Element T>
void Expr<T>::operator delete(void* p, std::size_t size) noexcept {
  if constexpr (kCacheNodes) {
    if (size == sizeof(Expr<T>) && node_cache<T>().give(p)) return;
  }
  ::operator delete(p);
}

template <Element T>
Expr<T>& Expr<T>::operator=(Expr&& other) noexcept {
  if (this != &other) {
    std::vector<ExprPtr<T>> stack;
    detach_children(*this, stack);
    node = std::move(other.node);
    destroy_iteratively(stack);
  }
  return *this;
}

template <Element T> Expr<T> make_leaf(Polynomial<T> coeffs) {
  return Expr<T>(LeafNode<T>{std::move(coeffs)});
}

template <Element T> Expr<T> make_binary(Kind kind, Expr<T> left, Expr<T> right) {
  auto l = boxed(std::move(left));
  auto r = boxed(std::move(right));
  switch (kind) {
    case Kind::Add: return Expr<T>(BinaryNode<T, Kind::Add>{std::move(l), std::move(r)});
    case Kind::Sub: return Expr<T>(BinaryNode<T, Kind::Sub>{std::move(l), std::move(r)});
    case Kind::Mul: return Expr<T>(BinaryNode<T, Kind::Mul>{std::move(l), std::move(r)});
    case Kind::Div: return Expr<T>(BinaryNode<T, Kind::Div>{std::move(l), std::move(r)});
    default: internal_failure("make_binary called with a kind that has not two children");
  }
}

template <Element T> Expr<T> make_scale(T factor, Expr<T> child) {
  return Expr<T>(ScaleNode<T>{factor, boxed(std::move(child))});
}

template <Element T> Expr<T> make_deriv(Expr<T> child, std::vector<i64> orders) {
  return Expr<T>(DerivNode<T>{boxed(std::move(child)), std::move(orders)});
}

template <Element T> Expr<T> make_pow(Expr<T> child, u64 exponent) {
  return Expr<T>(PowNode<T>{boxed(std::move(child)), exponent});
}

template <Element T> const Expr<T>* first_child(const Expr<T>& e) noexcept {
  return std::visit(
      [](const auto& n) -> const Expr<T>* {
        if constexpr (requires { n.left; }) return n.left.get();
        else if constexpr (requires { n.child; }) return n.child.get();
        else return nullptr;
      },
      e.node);
}

template <Element T> u64 tree_dimension(const Expr<T>& e) noexcept {
  const Expr<T>* node = &e;
  while (const Expr<T>* next = first_child(*node)) node = next;
  return std::get<LeafNode<T>>(node->node).coeffs.ndim();
}

template <Element T> std::vector<const Polynomial<T>*> leaf_arrays(const Expr<T>& e) {
  std::vector<const Polynomial<T>*> leaves;
  visit_preorder(e, [&](const Expr<T>& node) {
    if (const auto* leaf = std::get_if<LeafNode<T>>(&node.node)) leaves.push_back(&leaf->coeffs);
  });
  return leaves;
}

template <Element T> Expr<T> clone_tree(const Expr<T>& e) {
  // Copies node by node with an explicit work list. Each task copies one source node into
  // a destination slot; a node's own fields are copied before its children are queued. The
  // right child is copied first: trees built by repeated `t = t op x` lean left, and their
  // work list then stays a few entries long instead of holding every right child.
  struct Task {
    const Expr<T>* source;
    ExprPtr<T>* slot;
  };
  auto shallow = [](const Expr<T>& src, std::vector<Task>& tasks) -> ExprPtr<T> {
    ExprPtr<T> out = std::visit(
        [](const auto& n) -> ExprPtr<T> {
          using N = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<N, LeafNode<T>>) return boxed(Expr<T>(LeafNode<T>{n.coeffs}));
          else if constexpr (requires { n.left; }) return boxed(Expr<T>(N{nullptr, nullptr}));
          else if constexpr (std::is_same_v<N, ScaleNode<T>>) return boxed(Expr<T>(N{n.factor, nullptr}));
          else if constexpr (std::is_same_v<N, DerivNode<T>>) return boxed(Expr<T>(N{nullptr, n.orders}));
          else return boxed(Expr<T>(N{nullptr, n.exponent}));
        },
        src.node);
    std::visit(
        [&](auto& dst) {
          const auto& from = std::get<std::decay_t<decltype(dst)>>(src.node);
          if constexpr (requires { dst.left; }) {
            tasks.push_back({from.left.get(), &dst.left});
            tasks.push_back({from.right.get(), &dst.right});  // popped first
          } else if constexpr (requires { dst.child; }) {
            tasks.push_back({from.child.get(), &dst.child});
          }
        },
        out->node);
    return out;
  };

  std::vector<Task> tasks;
  ExprPtr<T> root = shallow(e, tasks);
  while (!tasks.empty()) {
    Task t = tasks.back();
    tasks.pop_back();
    *t.slot = shallow(*t.source, tasks);
  }
  return std::move(*root);
}

template <Element T>
EvalResult<Expr<T>> binary_node(Kind kind, const Expr<T>& left, const Expr<T>& right) {
  if (tree_dimension(left) != tree_dimension(right)) return fail(EvalError::incompatible_composition());
  Expr<T> l = clone_tree(left);
  Expr<T> r = clone_tree(right);
  return make_binary(kind, std::move(l), std::move(r));
}

#define KS_INSTANTIATE(T)                                                              \
  template struct Expr<T>;                                                             \
  template Expr<T> make_leaf(Polynomial<T>);                                           \
  template Expr<T> make_binary(Kind, Expr<T>, Expr<T>);                                \
  template Expr<T> make_scale(T, Expr<T>);                                             \
  template Expr<T> make_deriv(Expr<T>, std::vector<i64>);                              \
  template Expr<T> make_pow(Expr<T>, u64);                                             \
  template const Expr<T>* first_child(const Expr<T>&) noexcept;                        \
  template u64 tree_dimension(const Expr<T>&) noexcept;                                \
  template std::vector<const Polynomial<T>*> leaf_arrays(const Expr<T>&);              \
  template Expr<T> clone_tree(const Expr<T>&);                                         \
  template EvalResult<Expr<T>> binary_node(Kind, const Expr<T>&, const Expr<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
