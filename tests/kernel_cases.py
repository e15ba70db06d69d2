"""Inputs shared by tests/test_kernels.py and the interpreters it starts, one per kernel variant:
both sides build the same arrays and trees from fixed seeds, so the parent can compare what each
variant computed with the reference."""

from __future__ import annotations

import numpy as np

from conftest import random_points, random_twin, random_values, twin
from reference import KINDS

# Coefficient shapes: exponents up to 16 (powers built from several squarings and products),
# groups of one term and of many, and more axes than vector lanes of complex values.
SHAPES = [(17,), (1, 9), (6, 5), (3, 1, 4), (4, 3, 5), (2, 3, 2, 3)]
# Row counts around the chunk length and the register blocks (none of them a multiple of 64).
ROWS = [1, 7, 4999, 5000, 5001, 12000]
SPECIALS = {"f64": [np.inf, -np.inf, np.nan, -0.0, 0.0, 1e300, -1e-300],
            "c64": [complex(np.inf, 0.0), complex(0.0, np.nan), complex(-0.0, -0.0), 1e200j]}


def _layouts(points: np.ndarray):
    """The same points in row order, column-major, reversed, as every other row of a larger
    array, and with a 3-axis batch."""
    rows, dim = points.shape
    yield "c", points
    yield "f", np.asfortranarray(points)
    yield "rev", np.ascontiguousarray(points[::-1])[::-1]
    wide = np.zeros((2 * rows, dim + 2), points.dtype)
    wide[::2, 1:dim + 1] = points
    yield "strided", wide[::2, 1:dim + 1]
    if rows % 7 == 0:
        yield "3d", points.reshape(rows // 7, 7, dim).transpose(1, 0, 2)


def eval_cases():
    """(name, coefficients, points) for single-leaf evaluation."""
    for kind in KINDS:
        for s, shape in enumerate(SHAPES):
            rng = np.random.default_rng(100 * s + KINDS.index(kind))
            coeffs = random_values(rng, shape, kind, zero_fraction=0.3)
            for rows in ROWS:
                if rows > 5001 and len(shape) > 2:
                    continue  # the reference is slow on many terms and rows
                points = random_points(rng, (rows,), len(shape), kind)
                if kind == "f64":
                    points = points / 1.5  # powers up to 16 stay finite
                if kind in SPECIALS and rows >= 7:
                    spots = rng.integers(0, rows, size=len(SPECIALS[kind]))
                    points[spots, rng.integers(0, len(shape), size=len(spots))] = SPECIALS[kind]
                for layout, pts in _layouts(points) if rows == 4999 or rows == 7 else [("c", points)]:
                    yield f"{kind}-{shape}-{rows}-{layout}", coeffs, pts
            yield f"{kind}-{shape}-single", coeffs, random_points(rng, (), len(shape), kind)
    # One-axis lines with no zero coefficient, of lengths up to one past the longest whose
    # powers are kept in registers, with an infinite coefficient among the floats.
    for kind in KINDS:
        for length in (2, 3, 9, 16, 17, 18):
            rng = np.random.default_rng(700 + length + 50 * KINDS.index(kind))
            coeffs = random_values(rng, (length,), kind, zero_fraction=0.0)
            coeffs[coeffs == 0] = 1
            if kind in SPECIALS:
                coeffs[rng.integers(0, length)] = SPECIALS[kind][0]
            for rows in (7, 23, 4999, 5001):
                points = random_points(rng, (rows,), 1, kind)
                if kind == "f64":
                    points = points / 1.5  # powers up to 17 stay finite
                if kind in SPECIALS:
                    points[rng.integers(0, rows, size=len(SPECIALS[kind])), 0] = SPECIALS[kind]
                for layout, pts in _layouts(points) if rows in (7, 4999) else [("c", points)]:
                    yield f"{kind}-full-{length}-{rows}-{layout}", coeffs, pts
    # Several axes whose last one is short: full lines along it (every last-axis coefficient
    # non-zero) take the powers of the last coordinate from registers, beside lines with a
    # zero, leads of one and of two factors, with and without a constant term, for last axes
    # up to one past the longest kept in registers.
    for kind in KINDS:
        for s, shape in enumerate([(3, 2), (2, 2, 3), (4, 4), (2, 3, 5), (3, 6), (2, 2, 7), (3, 8), (2, 9)]):
            rng = np.random.default_rng(800 + 10 * s + KINDS.index(kind))
            coeffs = random_values(rng, shape, kind, zero_fraction=0.0)
            coeffs[coeffs == 0] = 1
            coeffs.reshape(-1, shape[-1])[-1, 1] = 0  # the last line is not full
            if s % 2:
                coeffs.reshape(-1)[0] = 0  # no constant term: the first line starts with a product
            if kind in SPECIALS:  # the non-zero ones, so that the lines stay full
                specials = [v for v in SPECIALS[kind] if v != 0][:max(1, coeffs.size // 5)]
                coeffs.reshape(-1)[rng.permutation(np.flatnonzero(coeffs))[:len(specials)]] = specials
            for rows in (7, 23, 4999, 5001):
                points = random_points(rng, (rows,), len(shape), kind)
                if kind == "f64":
                    points = points / 1.5
                if kind in SPECIALS and rows >= 7:
                    spots = rng.integers(0, rows, size=len(SPECIALS[kind]))
                    points[spots, rng.integers(0, len(shape), size=len(spots))] = SPECIALS[kind]
                for layout, pts in _layouts(points) if rows in (7, 4999) else [("c", points)]:
                    yield f"{kind}-last-{shape}-{rows}-{layout}", coeffs, pts
    # i64 powers that wrap, and coefficients that are zero except for one high power.
    big = np.zeros(40, np.int64)
    big[[0, 33, 39]] = [5, -7, 3]
    yield "i64-wrap", big, np.arange(-50, 50, dtype=np.int64).reshape(-1, 1)


def tree_cases():
    """(name, module tree, reference model, points) for random trees of every element type,
    and for derivatives of products, whose leaves are evaluated together with their
    derivatives (up to four polynomials per pass over the points, with terms some of them
    lack, special values among the coefficients and the points)."""
    for kind in KINDS:
        for seed in range(6):
            rng = np.random.default_rng(1000 + 10 * seed + KINDS.index(kind))
            dim = 1 + seed % 3
            tree, model, _ = random_twin(rng, kind, dim, depth=4)
            yield f"tree-{kind}-{seed}", tree, model, random_points(rng, (5003,), dim, model.kind)
    for kind in ("f64", "c64"):
        rng = np.random.default_rng(1100 + KINDS.index(kind))
        arrays = [random_values(rng, shape, kind, zero_fraction=0.3) for shape in [(5, 4), (4, 6), (3, 3)]]
        flat = arrays[0].reshape(-1)
        flat[rng.permutation(flat.size)[:len(SPECIALS[kind])]] = SPECIALS[kind]
        a, b, c = (twin(v) for v in arrays)
        points = random_points(rng, (5003,), 2, kind) / 1.5
        points[rng.integers(0, 5003, size=3), 1] = SPECIALS[kind][:3]
        ab = (a[0] * b[0], a[1] * b[1])
        abc = (ab[0] * c[0], ab[1] * c[1])
        for name, (t, m) in {
            "ab-21": (ab[0].deriv([2, 1]), ab[1].deriv([2, 1])),
            "abc-11": (abc[0].deriv([1, 1]), abc[1].deriv([1, 1])),
            "abc-02": (abc[0].deriv([0, 2]), abc[1].deriv([0, 2])),
            "ab-integ": (ab[0].integ([1, 0]) + a[0].deriv([3, 3]), ab[1].integ([1, 0]) + a[1].deriv([3, 3])),
        }.items():
            yield f"jet-{kind}-{name}", t, m, points
        # One axis: the powers are formed while the terms are summed, for several outputs at
        # once (the leaves and their derivatives), with zero coefficients between the terms.
        arrays = [random_values(rng, shape, kind, zero_fraction=0.3) for shape in [(12,), (9,)]]
        arrays[0][rng.permutation(12)[:len(SPECIALS[kind])]] = SPECIALS[kind]
        a, b = (twin(v) for v in arrays)
        points = random_points(rng, (5003,), 1, kind) / 1.5
        points[rng.integers(0, 5003, size=3), 0] = SPECIALS[kind][:3]
        yield f"jet-{kind}-line-ab-2", (a[0] * b[0]).deriv([2]), (a[1] * b[1]).deriv([2]), points


def product_cases():
    """(name, a, b, kind) for dense products: lines shorter and longer than the vectors."""
    for kind in KINDS:
        for s, (sa, sb) in enumerate([((20,), (37,)), ((3, 5), (4, 19)), ((2, 2, 9), (3, 2, 1))]):
            rng = np.random.default_rng(500 + 10 * s + KINDS.index(kind))
            yield f"{kind}-{sa}x{sb}", random_values(rng, sa, kind), random_values(rng, sb, kind), kind
    # Many b lines (blocks of them and a remainder), out lines ending inside a vector, and
    # a lines longer than b lines.
    for kind in KINDS:
        for s, (sa, sb) in enumerate([((4, 13), (19, 21)), ((2, 30), (10, 3)), ((1, 1), (17, 8))]):
            rng = np.random.default_rng(600 + 10 * s + KINDS.index(kind))
            yield f"{kind}-{sa}x{sb}", random_values(rng, sa, kind), random_values(rng, sb, kind), kind
    # b lines as vector lanes (8, 4, 2, 1 groups at once and a partial group; a lines shorter
    # and longer than the positions carried together; several runs of lines, runs that join
    # when a's middle axis has length 1, one-element b lines; runs of whole groups, whose sums
    # move from one a line's out lines to the next in registers, in one block or several, a's
    # out lines in one run or jumping), and windows along lines for many short runs (blocks
    # of 16 lines and a remainder, out lines ending inside a vector).
    for kind in KINDS:
        for s, (sa, sb) in enumerate([((3, 20), (64, 10)), ((2, 7), (36, 12)), ((2, 3, 4), (2, 9, 5)),
                                      ((2, 1, 4), (2, 8, 6)), ((3, 5), (9, 1)), ((3, 11), (8, 5)),
                                      ((2, 5), (88, 4)), ((2, 3, 4), (2, 8, 5)), ((2, 2, 11), (17, 2, 30)),
                                      ((2, 3, 6), (17, 1, 13))]):
            rng = np.random.default_rng(650 + 10 * s + KINDS.index(kind))
            yield f"{kind}-{sa}x{sb}", random_values(rng, sa, kind), random_values(rng, sb, kind), kind
    # Infinities and signed zeros: a lane outside a b line must never receive inf · 0 = nan,
    # and −0.0 products must land as the reference adds them.
    for kind in ("f64", "c64"):
        rng = np.random.default_rng(700 + KINDS.index(kind))
        a, b = random_values(rng, (3, 10), kind), random_values(rng, (12, 9), kind)
        for arr in (a, b):
            flat = arr.reshape(-1)
            picks = rng.permutation(flat.size)
            flat[picks[:3]] = np.inf
            flat[picks[3:5]] = -np.inf
            flat[picks[5:12]] = -0.0
        yield f"{kind}-specials", a, b, kind


def _from_bits(*patterns: int) -> np.ndarray:
    return np.array(patterns, np.uint64).view(np.float64)


# A signalling NaN, and quiet NaNs of both signs with payloads: an operation on one NaN gives
# that NaN, quieted, with its sign and payload, so every variant must give the same bits.
SNAN, NEG_NAN, POS_NAN = _from_bits(0x7FF0000000000005, 0xFFF8000000000123, 0x7FF80000000ABC00)


def nan_eval_cases():
    """(name, coefficients, points) in which every value meets at most one NaN, or copies of
    one NaN, so the result's raw bits (sign and payload included) are defined: a signalling
    NaN as the only non-zero coefficient, the constant (taken unchanged, never added to a
    starting value, though the array has other axes and terms), NaNs among
    the other coefficients, and NaN coordinates, at row counts that end inside a vector."""
    rng = np.random.default_rng(800)
    for kind in ("f64", "c64"):
        for shape in [(9,), (3, 4), (2, 2, 3)]:
            for rows in (13, 5003):
                points = random_points(rng, (rows,), len(shape), kind) / 1.5
                for name, special in [("snan-constant", SNAN), ("nan-term", NEG_NAN)]:
                    coeffs = random_values(rng, shape, kind, zero_fraction=0.0)
                    if name == "snan-constant":
                        coeffs[...] = 0  # any later term would quiet it in the add
                    flat = coeffs.reshape(-1)
                    at = 0 if name == "snan-constant" else flat.size - 2
                    # c64: the real part of the constant, the imaginary part of the other.
                    flat[at] = special if kind == "f64" else complex(special, 0.5) if at == 0 else complex(0.5, special)
                    yield f"{kind}-{shape}-{rows}-{name}", coeffs, points
                coeffs = random_values(rng, shape, kind, zero_fraction=0.0)
                nan_points = points.copy()
                spots = rng.permutation(rows)[:6]  # one NaN coordinate per point at most
                nan_points[spots[:3], -1] = NEG_NAN
                nan_points[spots[3:], 0] = POS_NAN if kind == "f64" else complex(1.0, POS_NAN)
                yield f"{kind}-{shape}-{rows}-nan-points", coeffs, nan_points


def nan_product_cases():
    """(name, a, b, points): dense products in which one coefficient of b is NaN, placed in
    the vector body or the tail of a line, evaluated at points (ones among them) where the
    NaN coefficients of the product decide the value; with few b lines (vectors along the
    lines) and with many (vectors across them). For c64, the NaN sits in the imaginary part,
    so the real part of the product subtracts it."""
    rng = np.random.default_rng(900)
    points = np.concatenate([np.ones((3, 2)), rng.uniform(-1, 1, (2, 2))])
    for kind in ("f64", "c64"):
        for a_run, b_lines in ((3, 3), (9, 16)):
            for at in (0, 5, 15, 17):
                for nan in (NEG_NAN, POS_NAN):
                    a = random_values(rng, (2, a_run), kind, zero_fraction=0.0)
                    b = random_values(rng, (b_lines, 19), kind, zero_fraction=0.0)
                    b[1, at] = nan if kind == "f64" else complex(1.0, nan)
                    name = f"{kind}-{b_lines}-{at}-{'neg' if nan is NEG_NAN else 'pos'}"
                    yield name, a, b, points.astype(a.dtype)
