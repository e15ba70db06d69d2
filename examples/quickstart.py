"""Build a few polynomial expression trees, then evaluate them at a batch of points."""

import numpy as np

from kestrum import ExpressionTree

# p(x1, x2) = 1 + 2*x2 + 3*x1 + 4*x1*x2: axis a holds the powers of x(a+1).
p = ExpressionTree(np.array([[1.0, 2.0],
                             [3.0, 4.0]]))
# q(x1, x2) = x1**2 - x2, with integer coefficients.
q = ExpressionTree(np.array([[0, -1],
                             [0, 0],
                             [1, 0]]))

# Arithmetic is lazy: these build trees, nothing is computed yet.
combined = (p * q - 2 * p) / 4
slope = p.deriv([1, 0])           # d/dx1
area = q.integ([0, 1])            # antiderivative in x2
rotated = p * 1j                  # a complex number makes a complex tree

# A batch of 10,000 points in the plane: the last axis holds (x1, x2).
rng = np.random.default_rng(0)
points = rng.uniform(-1.0, 1.0, size=(10_000, 2))

for name, tree in [("p", p), ("q", q), ("(p*q - 2p)/4", combined),
                   ("dp/dx1", slope), ("integral of q dx2", area), ("p * 1j", rotated)]:
    values = tree(points)
    print(f"{name:>18}: dtype={values.dtype}, shape={values.shape}, first={values[0]:.6g}")

# An integer tree at integer points stays integer; a single point gives a 0-d array.
print("q at (3, 4):", q(np.array([3, 4])))
# Points may have any leading shape: here a 2 x 3 grid of points.
grid = np.stack(np.meshgrid([0.0, 1.0, 2.0], [0.5, 1.5], indexing="xy"), axis=-1)
print("p on a 2 x 3 grid:\n", p(grid))
