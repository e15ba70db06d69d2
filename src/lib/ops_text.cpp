// The text form behind str(): the tree's text plus its element-type suffix, as a new str.
// Argument handling and the receiver borrow stay in the entry that calls this.
#include <string>
#include <string_view>

#include "ops.hpp"

namespace kestrum::py {

namespace {

[[nodiscard]] constexpr std::string_view dtype_suffix(Tag tag) noexcept {
  switch (tag) {
    case Tag::F64: return ", dtype = f64";
    case Tag::C64: return ", dtype = c64";
    case Tag::I64: return ", dtype = i64";
  }
  __builtin_unreachable();
}

}  // namespace

PyResult<OwnedRef> display_typed(const TypedExpr& tree) {
  // The whole text grows in one buffer, so the cost stays linear in its length.
  std::string text;
  visit_typed(tree, [&text](const auto& e) { format_tree(text, e); });
  text.append(dtype_suffix(tag_of(tree)));
  OwnedRef out = OwnedRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!out) return py_fail_fetch();
  return out;
}

}  // namespace kestrum::py
