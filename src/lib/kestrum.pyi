"""Lazy arithmetic on dense multivariate polynomials: the ExpressionTree class."""

from typing import Any, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["ExpressionTree"]

# Python numbers a tree can be scaled by; NumPy scalars count as their Python kind.
_Scalar = int | float | complex | np.number[Any] | np.bool_

@final
class ExpressionTree:
    """An abstract expression tree with concrete terms. Lazily evaluates arithmetic
    operations.

    Axis a of a coefficient array holds the powers of the parameter x(a+1). The element
    type (int64, float64 or complex128) is the narrowest one that holds the data.
    """

    def __new__(cls, vals: ArrayLike) -> ExpressionTree:
        """Build a one-leaf tree from a copy of the coefficient array ``vals``."""

    def __call__(self, vals: ArrayLike) -> NDArray[Any]:
        """Evaluate at points whose last axis holds one coordinate per parameter.

        Returns an int64, float64 or complex128 array shaped like ``vals`` without its
        last axis.
        """

    def __str__(self) -> str:
        """The text form, ending in ", dtype = i64", ", dtype = f64" or ", dtype = c64"."""

    # Sums, differences and quotients need a tree on the left; products take a number on
    # either side. The reflected +, - and / exist but only ever combine two trees.
    def __add__(self, other: ExpressionTree, /) -> ExpressionTree: ...
    def __radd__(self, other: ExpressionTree, /) -> ExpressionTree: ...
    def __sub__(self, other: ExpressionTree, /) -> ExpressionTree: ...
    def __rsub__(self, other: ExpressionTree, /) -> ExpressionTree: ...
    def __mul__(self, other: ExpressionTree | _Scalar, /) -> ExpressionTree: ...
    def __rmul__(self, other: ExpressionTree | _Scalar) -> ExpressionTree: ...
    def __truediv__(self, other: ExpressionTree | _Scalar, /) -> ExpressionTree: ...
    def __rtruediv__(self, other: ExpressionTree, /) -> ExpressionTree: ...
    @property
    def shape(self) -> NDArray[np.uint64]:
        """The maximum degree of any term in the expression tree"""

    @property
    def dimension(self) -> int:
        """The number of free parameters in the expression tree"""

    def expand(self) -> ExpressionTree:
        """Collapse the tree into one polynomial or a quotient of two polynomials."""

    def partial(self, indices: ArrayLike, values: ArrayLike) -> ExpressionTree:
        """Substitute ``values`` for the parameters at the positions ``indices``."""

    def deriv(self, indices: ArrayLike) -> ExpressionTree:
        """Lazy derivative: one signed order per parameter; negative orders integrate."""

    def integ(self, indices: ArrayLike) -> ExpressionTree:
        """Lazy antiderivative: one signed order per parameter; negative orders differentiate."""

    def drop_params(self, indices: NDArray[np.int64]) -> ExpressionTree:
        """Remove the listed parameters, whose axes must have length at most 1."""

    def squeeze(self) -> ExpressionTree:
        """Remove every parameter whose length in ``shape`` is 1."""

    def to_constant(self) -> int | float | complex:
        """The value of a tree that stands for a constant."""

    @classmethod
    def zero(cls, dimension: SupportsIndex) -> ExpressionTree:
        """The float64 constant 0 with ``dimension`` parameters."""

    @classmethod
    def one(cls, dimension: SupportsIndex) -> ExpressionTree:
        """The float64 constant 1 with ``dimension`` parameters."""
