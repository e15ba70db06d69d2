"""Text form of trees: number text, coefficient terms, node layout and the dtype suffix."""
import math
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kestrum import ExpressionTree

# --- a small reference of the text rules -------------------------------------------------

SUPERSCRIPT = ["\u2070", "\u00b9", "\u00b2", "\u00b3", "\u2074",
               "\u2075", "\u2076", "\u2077", "\u2078", "\u2079"]
SUBSCRIPT = [chr(0x2080 + d) for d in range(10)]
SUFFIX = {np.float64: ", dtype = f64", np.complex128: ", dtype = c64", np.int64: ", dtype = i64"}


def script(n, table):
    return "".join(table[int(d)] for d in str(n))


def f64_text(x):
    """Shortest round-trip digits (those of repr), laid out without an exponent."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if math.isinf(x):
        return sign + "inf"
    if x == 0:
        return sign + "0"
    mantissa, _, exponent = repr(abs(x)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = whole + frac
    e = len(whole) + int(exponent or 0)  # value = 0.digits * 10**e
    stripped = digits.lstrip("0")
    e -= len(digits) - len(stripped)
    digits = stripped.rstrip("0")
    n = len(digits)
    if e <= 0:
        return sign + "0." + "0" * -e + digits
    if e < n:
        return sign + digits[:e] + "." + digits[e:]
    return sign + digits + "0" * (e - n)


def c64_text(z):
    return f64_text(z.real) + ("" if z.imag < 0 else "+") + f64_text(z.imag) + "i"


def number_text(x, dtype):
    if dtype is np.int64:
        return str(int(x))
    if dtype is np.float64:
        return f64_text(float(x))
    return c64_text(complex(x))


def terms_text(arr):
    """Non-zero coefficients in row-major order, joined with " + ", or "0"."""
    terms = []
    for idx in np.ndindex(*arr.shape):
        c = arr[idx]
        if c == 0:  # +-0.0 and (0, +-0) are zero; NaN parts are not
            continue
        factors = "".join("x" + script(a + 1, SUBSCRIPT) + script(k, SUPERSCRIPT)
                          for a, k in enumerate(idx) if k != 0)
        terms.append(number_text(c, arr.dtype.type) + factors)
    return " + ".join(terms) if terms else "0"


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


# --- numbers -------------------------------------------------------------------------------

@pytest.mark.parametrize("value, text", [
    (1.0, "1"),
    (100.0, "100"),
    (2.5, "2.5"),
    (0.1, "0.1"),
    (1 / 3, "0.3333333333333333"),
    (-1.5, "-1.5"),
    (1e21, "1" + "0" * 21),
    (1e-7, "0.0000001"),
    (1e300, "1" + "0" * 300),
    (5e-324, "0." + "0" * 323 + "5"),
    (-5e-324, "-0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (2.0 ** 53 + 2, "9007199254740994"),
    (2.0 ** 70, "1180591620717411300000"),
    (123.456, "123.456"),
    (0.0, "0"),
    (-0.0, "-0"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
])
def test_f64_number_text_as_scale_factor(value, text):
    assert str(ExpressionTree.one(0) * value) == text + " * (1), dtype = f64"


@pytest.mark.parametrize("value, text", [
    (complex(1, 2), "1+2i"),
    (complex(1.5, -2), "1.5-2i"),
    (complex(-1, -1), "-1-1i"),
    (complex(0, 0), "0+0i"),
    (complex(-0.0, 1), "-0+1i"),
    (complex(1, -0.0), "1+-0i"),
    (complex(1, math.nan), "1+NaNi"),
    (complex(1, -math.nan), "1+NaNi"),
    (complex(math.inf, -math.inf), "inf-infi"),
    (complex(0.1, -1e-7), "0.1-0.0000001i"),
])
def test_c64_number_text_as_scale_factor(value, text):
    # A complex factor always makes a c64 tree; the leaf 1 is cast along with it.
    assert str(ExpressionTree.one(0) * value) == text + " * (1+0i), dtype = c64"


@pytest.mark.parametrize("value, text", [
    (0, "0"), (42, "42"), (-7, "-7"),
    (2 ** 63 - 1, "9223372036854775807"),
    (-2 ** 63, "-9223372036854775808"),
])
def test_i64_number_text_as_scale_factor_and_leaf(value, text):
    leaf = ExpressionTree(np.int64(value))
    assert str(leaf) == text + ", dtype = i64"  # a leaf without axes, 0 prints "0" as well
    assert str(ExpressionTree(np.int64(1)) * value) == text + " * (1), dtype = i64"


@pytest.fixture(scope="module")
def awkward_doubles():
    rng = np.random.default_rng(20240605)
    raw = rng.integers(0, 2 ** 64, size=60000, dtype=np.uint64).view(np.float64)
    special = [5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e300, 1e-7,
               1e21, 1e22, 1e23, 0.1, 1 / 3, 9007199254740993.0, 1.7976931348623157e308]
    values = np.concatenate([
        raw,
        rng.uniform(-1e6, 1e6, 20000),
        rng.random(20000) * 10.0 ** rng.integers(-323, 308, 20000),
        rng.integers(2 ** 53, 2 ** 63, 20000).astype(np.float64),  # integers above 2**53
        np.ldexp(1.0, np.arange(-1074, 1024)),                     # every power of two
        np.array(special), -np.array(special),
    ])
    return values[(values != 0) & ~np.isnan(values)]


def test_f64_text_matches_repr_digits_and_round_trips(awkward_doubles):
    # One leaf prints every value as a coefficient; strip the factor after each number.
    text = str(ExpressionTree(awkward_doubles))
    assert text.endswith(", dtype = f64")
    numbers = [re.sub("x.*$", "", term) for term in text[: -len(", dtype = f64")].split(" + ")]
    assert len(numbers) == len(awkward_doubles)
    mismatched = [(v, t) for v, t in zip(awkward_doubles.tolist(), numbers) if t != f64_text(v)]
    assert mismatched[:5] == []
    assert "e" not in "".join(numbers)
    np.testing.assert_array_equal(bits([float(t) for t in numbers]), bits(awkward_doubles))


# --- coefficient arrays ----------------------------------------------------------------------

def one_at(shape, index, dtype=np.int64):
    a = np.zeros(shape, dtype=dtype)
    a[index] = 1
    return a


@pytest.mark.parametrize("vals, text", [
    (np.array([1.0, 2.0]), "1 + 2x₁¹, dtype = f64"),
    (np.array([0.0, 2.5, 0.0, -1.0]), "2.5x₁¹ + -1x₁³, dtype = f64"),
    (np.array([[0, 1], [2, 0]]), "1x₂¹ + 2x₁¹, dtype = i64"),
    (np.array([[1, 0], [0, 3]]), "1 + 3x₁¹x₂¹, dtype = i64"),
    (np.array([0.0, -0.0, 0.0]), "0, dtype = f64"),
    (np.zeros((2, 0)), "0, dtype = f64"),
    (np.zeros((0,), dtype=np.int64), "0, dtype = i64"),
    (np.array([math.nan]), "NaN, dtype = f64"),
    (np.array([0.0, math.inf]), "infx₁¹, dtype = f64"),
    (np.array([1 + 0j, 2j]), "1+0i + 0+2ix₁¹, dtype = c64"),
    (np.array([complex(0.0, -0.0), complex(-0.0, 0.0)]), "0, dtype = c64"),
    (np.array([0j, complex(0.0, math.nan)]), "0+NaNix₁¹, dtype = c64"),
    (np.array([0j, complex(math.nan, 0.0)]), "NaN+0ix₁¹, dtype = c64"),
    (np.int64(5), "5, dtype = i64"),
    (np.int64(0), "0, dtype = i64"),
    (np.float64(-2.5), "-2.5, dtype = f64"),
    (np.array([-2 ** 63, 1]), "-9223372036854775808 + 1x₁¹, dtype = i64"),
    (one_at((1,) * 9 + (2,), (0,) * 9 + (1,)), "1x₁₀¹, dtype = i64"),
    (one_at((1,) * 10 + (2,), (0,) * 10 + (1,)), "1x₁₁¹, dtype = i64"),
    (one_at((11,), 10), "1x₁¹⁰, dtype = i64"),
    (one_at((124,), 123), "1x₁¹²³, dtype = i64"),
    (np.arange(6).reshape(2, 1, 3), "1x₃¹ + 2x₃² + 3x₁¹ + 4x₁¹x₃¹ + 5x₁¹x₃², dtype = i64"),
])
def test_leaf_text(vals, text):
    assert str(ExpressionTree(vals)) == text


@pytest.mark.parametrize("shape, index, factor", [
    ((2,) * 9, (1,) * 9, "".join("x" + chr(0x2080 + a) + "\u00b9" for a in range(1, 10))),
    ((1,) * 19 + (10001,), (0,) * 19 + (10000,), "x\u2082\u2080\u00b9\u2070\u2070\u2070\u2070"),
    ((1,) * 11 + (1235,), (0,) * 11 + (1234,), "x\u2081\u2082\u00b9\u00b2\u00b3\u2074"),
    ((5679,), (5678,), "x\u2081\u2075\u2076\u2077\u2078"),
    ((1,) * 30 + (9877,), (0,) * 30 + (9876,), "x\u2083\u2081\u2079\u2078\u2077\u2076"),
])
def test_script_digits_are_the_specified_code_points(shape, index, factor):
    assert str(ExpressionTree(one_at(shape, index))) == "1" + factor + ", dtype = i64"


@pytest.mark.parametrize("dimension, text", [
    (100, "1x\u2081\u2080\u2080\u00b9, dtype = f64"),
    (120, "1x\u2081\u2082\u2080\u00b9, dtype = f64"),
])
def test_parameter_numbers_beyond_numpy_axis_limit(dimension, text):
    # More axes than NumPy allows: integrate the last parameter of one(n) and expand.
    orders = [0] * (dimension - 1) + [1]
    assert str(ExpressionTree.one(dimension).integ(orders).expand()) == text


coefficient = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 1e22]),
    st.floats(allow_nan=True, allow_infinity=True),
)
shapes = st.lists(st.integers(0, 3), min_size=0, max_size=4).map(tuple)


@settings(max_examples=150, deadline=None)
@given(shape=shapes, data=st.data(), kind=st.sampled_from([np.int64, np.float64, np.complex128]))
def test_leaf_text_matches_reference(shape, data, kind):
    size = math.prod(shape)
    if kind is np.int64:
        flat = data.draw(st.lists(st.sampled_from([0, 1, -1, 7, 2 ** 63 - 1, -2 ** 63]),
                                  min_size=size, max_size=size))
    elif kind is np.float64:
        flat = data.draw(st.lists(coefficient, min_size=size, max_size=size))
    else:
        parts = data.draw(st.lists(coefficient, min_size=2 * size, max_size=2 * size))
        flat = [complex(re_, im) for re_, im in zip(parts[::2], parts[1::2])]
    arr = np.array(flat, dtype=kind).reshape(shape)
    assert str(ExpressionTree(arr)) == terms_text(arr) + SUFFIX[kind]


# --- trees ---------------------------------------------------------------------------------

A = np.array([[1.0, 2.0]])      # "1 + 2x₂¹"
B = np.array([[0.0], [3.0]])    # "3x₁¹"
C = np.array([[5.0]])           # "5"


def leaf(vals, dtype=np.float64):
    return ExpressionTree(np.asarray(vals, dtype=dtype))


def neg_int_indices():
    return np.array([-2 ** 63, 0], dtype=np.int64)


@pytest.mark.parametrize("build, text", [
    (lambda: leaf(A) + leaf(B), "(1 + 2x₂¹) + (3x₁¹), dtype = f64"),
    (lambda: leaf(A) - leaf(B) * leaf(C), "(1 + 2x₂¹) - ((3x₁¹) * (5)), dtype = f64"),
    (lambda: (leaf(A) - leaf(B)) * leaf(C), "((1 + 2x₂¹) - (3x₁¹)) * (5), dtype = f64"),
    (lambda: leaf(A, np.int64) * -3, "-3 * (1 + 2x₂¹), dtype = i64"),
    (lambda: leaf(A, np.int64) / leaf(B, np.int64), "(1 + 2x₂¹) / (3x₁¹), dtype = i64"),
    (lambda: (leaf(A) * 0.5) / leaf(B).deriv([1, -1]),
     "(0.5 * (1 + 2x₂¹)) / (deriv(3x₁¹, [1, -1])), dtype = f64"),
    (lambda: leaf(B).integ([1, 0]), "deriv(3x₁¹, [-1, 0]), dtype = f64"),
    (lambda: leaf(B).integ(neg_int_indices()), "deriv(3x₁¹, [-9223372036854775808, 0]), dtype = f64"),
    (lambda: leaf(B).deriv([0, 2, 0]), "deriv(3x₁¹, [0, 2, 0]), dtype = f64"),
    (lambda: ExpressionTree.one(0).deriv(np.array([], dtype=np.int64)), "deriv(1, []), dtype = f64"),
    (lambda: leaf(A).deriv([1, 0]).deriv([0, 1]), "deriv(deriv(1 + 2x₂¹, [1, 0]), [0, 1]), dtype = f64"),
    # i64 trees become f64 trees under deriv, and under a float factor or a division
    (lambda: leaf(A, np.int64).deriv([0, 1]), "deriv(1 + 2x₂¹, [0, 1]), dtype = f64"),
    (lambda: leaf(A, np.int64) * 2.5, "2.5 * (1 + 2x₂¹), dtype = f64"),
    (lambda: leaf(A, np.int64) / 4, "0.25 * (1 + 2x₂¹), dtype = f64"),
    (lambda: leaf(A, np.int64) / 0, "inf * (1 + 2x₂¹), dtype = f64"),
    (lambda: leaf(A) * True, "1 * (1 + 2x₂¹), dtype = f64"),
    # promotion: the narrower operand is cast, the left one stays on the left
    (lambda: leaf([[2 ** 53 + 1]], np.int64) + leaf(B), "(9007199254740992) + (3x₁¹), dtype = f64"),
    (lambda: leaf(B) - leaf(A, np.complex128), "(3+0ix₁¹) - (1+0i + 2+0ix₂¹), dtype = c64"),
    (lambda: leaf(A) * 2j, "0+2i * (1+0i + 2+0ix₂¹), dtype = c64"),
    (lambda: leaf(A) / 2j, "0-0.5i * (1+0i + 2+0ix₂¹), dtype = c64"),
    (lambda: leaf(C) / 0j, "NaN+NaNi * (5+0i), dtype = c64"),
    (lambda: leaf(C, np.complex128) * 3, "3+0i * (5+0i), dtype = c64"),
    (lambda: ExpressionTree.zero(2) + ExpressionTree.one(2), "(0) + (1), dtype = f64"),
    # Pow nodes come only from the quotient rule, made concrete here by partial
    (lambda: (leaf(A) / leaf([[1.0], [3.0]])).deriv([0, 1]).partial([0], [2.0]),
     "(((2) * (7)) - ((0) * (1 + 2x₂¹))) / (pow(7, 2)), dtype = f64"),
    (lambda: (leaf(A, np.complex128) / leaf([[1.0], [3.0]])).deriv([0, 1]).partial([0], [2.0]),
     "(((2+0i) * (7+0i)) - ((0) * (1+0i + 2+0ix₂¹))) / (pow(7+0i, 2)), dtype = c64"),
])
def test_tree_text(build, text):
    assert str(build()) == text


def random_tree(draw, kind, depth):
    """Draws (tree, expected text) over 2-parameter leaves of one element type."""
    if depth == 0 or draw(st.booleans()):
        arr = np.array(draw(st.lists(st.sampled_from([0, 1, -2, 3]), min_size=4, max_size=4)),
                       dtype=kind).reshape(2, 2)
        return ExpressionTree(arr), terms_text(arr)
    op = draw(st.sampled_from(["+", "-", "*", "/", "scale", "deriv"]))
    t, s = random_tree(draw, kind, depth - 1)
    if op == "scale":
        factor = draw(st.sampled_from([-3, 2, 7]) if kind is np.int64
                      else st.floats(allow_nan=False, width=32))
        shown = factor if kind is not np.complex128 else complex(factor, 0.0)
        return t * factor, number_text(shown, kind) + " * (" + s + ")"
    if op == "deriv":
        if kind is np.int64:  # deriv turns an integer tree into a float tree
            return t, s
        orders = draw(st.lists(st.integers(-3, 3), min_size=2, max_size=2))
        return t.deriv(orders), "deriv(" + s + ", [" + ", ".join(map(str, orders)) + "])"
    u, r = random_tree(draw, kind, depth - 1)
    node = {"+": t + u, "-": t - u, "*": t * u, "/": t / u}[op]
    return node, "(" + s + ") " + op + " (" + r + ")"


@settings(max_examples=100, deadline=None)
@given(data=st.data(), kind=st.sampled_from([np.int64, np.float64, np.complex128]))
def test_random_tree_text_matches_reference(data, kind):
    tree, text = random_tree(data.draw, kind, depth=4)
    assert str(tree) == text + SUFFIX[kind]


# --- size and depth ----------------------------------------------------------------------------

def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=600)


def test_deep_tree_prints_on_a_small_thread_stack():
    # Building costs quadratic time (every operator copies its operand), so the depth stays
    # moderate and the stack small instead: a walk that recursed once per level would
    # overflow, or refuse, a 128 KiB stack at this depth.
    proc = run_python("""
        import threading
        import numpy as np
        from kestrum import ExpressionTree
        depth = 4000
        t = ExpressionTree(np.array([1.0, 2.0]))
        for _ in range(depth // 2):
            t = t * 2.0
            t = t.deriv([1])
        out = {}
        threading.stack_size(128 * 1024)
        worker = threading.Thread(target=lambda: out.setdefault("text", str(t)))
        worker.start()
        worker.join()
        text = out["text"]
        expected = ("deriv(2 * (" * (depth // 2)) + "1 + 2x₁¹" + (")" + ", [1])") * (depth // 2)
        print(text == expected + ", dtype = f64")
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"
