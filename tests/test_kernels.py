"""Every instruction-set variant of the evaluation and dense-product loops gives the reference's
bits: single leaves of all three element types at row counts around the chunk length, strided
and reordered points, random trees, and dense products. KESTRUM_KERNEL is read once per process,
so each variant runs in its own interpreter; an unknown name must fall back to a working one."""

from __future__ import annotations

import json
import pathlib

import numpy as np
import pytest

import reference_expand as rx
from conftest import assert_bits_equal, random_points, random_values, run_python
from kernel_cases import eval_cases, nan_eval_cases, nan_product_cases, product_cases, tree_cases
from kestrum import ExpressionTree
from reference import eval_poly

VARIANTS = ["baseline", "avx2", "avx512", "no-such-variant"]

CHILD = """
    import json, sys
    import numpy as np
    from kestrum import ExpressionTree
    from kernel_cases import eval_cases, nan_eval_cases, nan_product_cases, product_cases, tree_cases
    values = {{name: ExpressionTree(c)(p) for name, c, p in eval_cases()}}
    values.update({{name: t(p) for name, t, _, p in tree_cases()}})
    raw = {{name: ExpressionTree(c)(p) for name, c, p in nan_eval_cases()}}
    raw.update({{name: (ExpressionTree(a) * ExpressionTree(b)).expand()(p) for name, a, b, p in nan_product_cases()}})
    np.savez({out!r}, **values)
    np.savez({raw_out!r}, **raw)
    texts = {{name: str((ExpressionTree(a) * ExpressionTree(b)).expand())
              for name, a, b, _ in product_cases()}}
    json.dump(texts, open({texts!r}, "w"))
"""


def cpu_flags() -> set:
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


@pytest.fixture(scope="module")
def expected():
    """Reference values, product texts and raw-bit NaN cases, computed once for all variants."""
    values = {name: eval_poly(c, p, rx.reference.kind_of_dtype(c.dtype)) for name, c, p in eval_cases()}
    values.update({name: m(p) for name, _, m, p in tree_cases()})
    texts = {name: str(ExpressionTree(rx.dense_mul(a, b, kind))) for name, a, b, kind in product_cases()}
    raw = {name: eval_poly(c, p, rx.reference.kind_of_dtype(c.dtype)) for name, c, p in nan_eval_cases()}
    for name, a, b, p in nan_product_cases():
        kind = rx.reference.kind_of_dtype(a.dtype)
        raw[name] = eval_poly(rx.dense_mul(a, b, kind), p, kind)
    return values, texts, raw


def assert_raw_bits_equal(actual, expected):
    """Same bits, NaN signs and payloads included."""
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    got, want = (np.ascontiguousarray(v).reshape(-1).view(np.uint64) for v in (actual, expected))
    bad = np.flatnonzero(got != want)
    assert bad.size == 0, [(int(i), hex(int(got[i])), hex(int(want[i]))) for i in bad[:4]]


@pytest.mark.parametrize("variant", VARIANTS)
def test_variant_gives_reference_bits(variant, expected, tmp_path):
    flags = cpu_flags()
    if variant == "avx2" and "avx2" not in flags or variant == "avx512" and not {"avx512f", "avx512dq"} <= flags:
        # The request falls back to the best supported variant; still checked, but say so.
        print(f"{variant} is not supported here; the fallback variant is checked")
    out, raw_out, texts = tmp_path / "values.npz", tmp_path / "raw.npz", tmp_path / "texts.json"
    r = run_python(CHILD.format(out=str(out), raw_out=str(raw_out), texts=str(texts)),
                   env={"KESTRUM_KERNEL": variant}, timeout=300)
    assert r.returncode == 0, r.stderr
    want_values, want_texts, want_raw = expected
    compare_saved(out, want_values, assert_bits_equal, variant)
    assert json.loads(texts.read_text()) == want_texts
    compare_saved(raw_out, want_raw, assert_raw_bits_equal, variant)


def compare_saved(path, wanted: dict, assert_equal, variant: str):
    """Every case saved by the child in `path` against its wanted values."""
    with np.load(path) as got:
        assert sorted(got.files) == sorted(wanted)
        for name, want in wanted.items():
            try:
                assert_equal(got[name], want)
            except AssertionError as exc:
                raise AssertionError(f"{variant}: case {name}") from exc

@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
def test_polynomial_too_large_for_the_tables_gives_reference_bits(kind):
    # 38000 distinct powers would need more than 16 MiB of table per worker: these points are
    # evaluated without one, in the same order.
    rng = np.random.default_rng(7)
    coeffs = random_values(rng, (48000,), kind, zero_fraction=0.2)
    points = random_points(rng, (5,), 1, kind)
    if kind != "i64":
        points = points / 2.0  # high powers underflow to zero instead of overflowing
    assert_bits_equal(ExpressionTree(coeffs)(points), eval_poly(coeffs, points, kind))
