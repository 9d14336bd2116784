"""Peer implementations measured beside vyr_spectral_core.

Every peer computes the same thing as the module on the same inputs:

* pure Python, written plainly (math.exp/math.log for the planar map, the
  octonion product from its basis table, the Clifford product by bitmask rules,
  sums of squares);
* numpy, the way a numpy user writes it: either from the same Python lists
  (np.asarray, a vectorised operation, .tolist()) or from arrays already made;
* clifford and kingdon for the geometric product.

Multivectors are held in ascending bitmask order: component K is the
coefficient of the product, in ascending index order, of the basis vectors
e_m whose bit m is set in K.
"""

from __future__ import annotations

import math

import numpy as np

def py_add_n(a, b):
    return [x + y for x, y in zip(a, b)]


# --------------------------------------------------------------------------
# Octonions
# --------------------------------------------------------------------------

# e_p e_q = e_r for each positive triple; cyclic shifts too; swapping flips sign.
OCT_TRIPLES = [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]


def _octonion_table():
    t = [[None] * 8 for _ in range(8)]
    for i in range(8):
        t[0][i] = (1, i)
        t[i][0] = (1, i)
    for i in range(1, 8):
        t[i][i] = (-1, 0)
    for p, q, r in OCT_TRIPLES:
        t[p][q] = (1, r)
        t[q][r] = (1, p)
        t[r][p] = (1, q)
        t[q][p] = (-1, r)
        t[r][q] = (-1, p)
        t[p][r] = (-1, q)
    return t


OCT_TABLE = _octonion_table()
# Row i: (j, sign, k) for every right unit j, meaning e_i e_j = sign e_k.
OCT_ROWS = [[(j, float(s), k) for j, (s, k) in enumerate(OCT_TABLE[i])] for i in range(8)]
# Component k: its terms (i, j, sign) in ascending i.
OCT_TERMS = [[] for _ in range(8)]
for _i in range(8):
    for _j in range(8):
        _s, _k = OCT_TABLE[_i][_j]
        OCT_TERMS[_k].append((_i, _j, _s))
OCT_MATRIX = np.zeros((64, 8))
OCT_TENSOR = np.zeros((8, 8, 8))
for _i in range(8):
    for _j in range(8):
        _s, _k = OCT_TABLE[_i][_j]
        OCT_MATRIX[_i * 8 + _j, _k] = _s
        OCT_TENSOR[_i, _j, _k] = _s


def py_octonion_mul(a, b):
    c = [0.0] * 8
    for i in range(8):
        x = a[i]
        if x != 0.0:
            for j, s, k in OCT_ROWS[i]:
                y = b[j]
                if y != 0.0:
                    c[k] += y * (s * x)
    return c


def py_octonion_mul_n(a_batch, b_batch):
    return [py_octonion_mul(a, b) for a, b in zip(a_batch, b_batch)]


def py_octonion_norm_n(batch):
    hypot = math.hypot
    return [hypot(*v) for v in batch]


def py_e8_norms_squared_n(points):
    sumprod = math.sumprod
    return [sumprod(p, p) for p in points]


def model_sum_of_squares(p):
    """Exact-order model (left to right from -0.0), used to check bits."""
    s = -0.0
    for x in p:
        s = x * x + s
    return s


def np_oct_columns(A, B):
    """The 64 terms written out on columns, in the kernel's term order."""
    a = np.ascontiguousarray(A.T)
    b = np.ascontiguousarray(B.T)
    C = np.empty_like(a)
    for k in range(8):
        terms = OCT_TERMS[k]
        i, j, _ = terms[0]
        acc = a[i] * b[j]
        for i, j, s in terms[1:]:
            if s > 0:
                acc += a[i] * b[j]
            else:
                acc -= a[i] * b[j]
        C[k] = acc
    return C.T


def np_oct_outer_matmul(A, B):
    """All 64 pairwise products, then a (64 x 8) sign matrix."""
    return (A[:, :, None] * B[:, None, :]).reshape(-1, 64) @ OCT_MATRIX


def np_oct_einsum(A, B):
    return np.einsum("ni,nj,ijk->nk", A, B, OCT_TENSOR, optimize=True)


NP_OCT_MUL = {"columns": np_oct_columns, "outer@matrix": np_oct_outer_matmul, "einsum": np_oct_einsum}


def np_norm_linalg(A):
    return np.linalg.norm(A, axis=1)


def np_norm_einsum(A):
    return np.sqrt(np.einsum("ij,ij->i", A, A))


NP_OCT_NORM = {"linalg.norm": np_norm_linalg, "sqrt(einsum)": np_norm_einsum}


def np_sq_einsum(A):
    return np.einsum("ij,ij->i", A, A)


def np_sq_sum(A):
    return (A * A).sum(axis=1)


NP_SQNORM = {"einsum": np_sq_einsum, "(A*A).sum": np_sq_sum}

# --------------------------------------------------------------------------
# Clifford algebra by bitmask rules
# --------------------------------------------------------------------------


def blade_factor(j, k, signature):
    """Sign and metric factor of e_J e_K = factor * e_(J xor K)."""
    swaps = 0
    kk, p = k, 0
    while kk:
        if kk & 1:
            swaps += (j >> (p + 1)).bit_count()
        kk >>= 1
        p += 1
    g = -1.0 if swaps & 1 else 1.0
    m, p = j & k, 0
    while m:
        if m & 1:
            g *= signature[p]
        m >>= 1
        p += 1
    return g


def gp_table(signature):
    """For each left blade j: [(k, j^k, factor)] over all right blades k."""
    D = 1 << len(signature)
    return [[(k, j ^ k, blade_factor(j, k, signature)) for k in range(D)] for j in range(D)]


def py_geometric_product_n(a, b, table):
    D = len(table)
    out = []
    for A, B in zip(a, b):
        c = [0.0] * D
        for j in range(D):
            x = A[j]
            if x != 0.0:
                for k, r, g in table[j]:
                    y = B[k]
                    if y != 0.0:
                        c[r] += y * (g * x)
        out.append(c)
    return out


class NumpyClifford:
    """Dense products with numpy, tables made once per algebra."""

    def __init__(self, signature):
        n = len(signature)
        self.D = D = 1 << n
        ar = np.arange(D)
        # perm[j][r] = j ^ r (the right blade meeting left blade j in output r)
        self.perm = [j ^ ar for j in range(D)]
        self.factor = np.array(
            [[blade_factor(j, j ^ r, signature) for r in range(D)] for j in range(D)]
        )
        self.G = None
        if D <= 32:
            G = np.zeros((D, D, D))  # G[j, r, k]
            for j in range(D):
                for k in range(D):
                    G[j, j ^ k, k] = blade_factor(j, k, signature)
            self.G = G.reshape(D, D * D)

    def permuted_rows(self, A, B):
        """out[:, r] += A[:, j] * B[:, j^r] * factor, one left blade j at a time."""
        out = np.zeros((A.shape[0], self.D))
        for j in range(self.D):
            out += A[:, j, None] * (B[:, self.perm[j]] * self.factor[j])
        return out

    def dense_tensor(self, A, B):
        N = A.shape[0]
        return np.einsum("nrk,nk->nr", (A @ self.G).reshape(N, self.D, self.D), B)

    def formulations(self):
        f = {"permuted rows": self.permuted_rows}
        if self.G is not None:
            f["dense tensor"] = self.dense_tensor
        return f


# --------------------------------------------------------------------------
# Planar map
# --------------------------------------------------------------------------

EXP_ARG_LIMIT = 709.78
Y_FLOOR = 1e-300


def py_spectral_flow_step(x, y):
    if x > EXP_ARG_LIMIT:
        x = math.log(x)
    if y <= 0.0:
        y = max(-y, Y_FLOOR)
    return (y, math.exp(x) - math.log(y))


def py_spectral_flow_n(x, y, n):
    exp, log = math.exp, math.log
    t = [(x, y)]
    append = t.append
    for _ in range(n):
        if x > EXP_ARG_LIMIT:
            x = log(x)
        if y <= 0.0:
            y = max(-y, Y_FLOOR)
        x, y = y, exp(x) - log(y)
        append((x, y))
    return t


def py_spectral_flow_batch(starts, n):
    return [py_spectral_flow_n(x, y, n) for x, y in starts]


def np_spectral_flow_batch(X, Y, n):
    """All starts advanced together; returns an (N, n+1, 2) array."""
    N = X.shape[0]
    T = np.empty((n + 1, N, 2))
    T[0, :, 0] = X
    T[0, :, 1] = Y
    x, y = X, Y
    with np.errstate(invalid="ignore", divide="ignore"):
        for k in range(1, n + 1):
            x = np.where(x > EXP_ARG_LIMIT, np.log(x), x)
            y = np.where(y <= 0.0, np.maximum(np.abs(y), Y_FLOOR), y)
            x, y = y, np.exp(x) - np.log(y)
            T[k, :, 0] = x
            T[k, :, 1] = y
    return T.transpose(1, 0, 2)


def np_spectral_flow_batch_lists(starts, n):
    S = np.asarray(starts, dtype=float)
    T = np_spectral_flow_batch(S[:, 0], S[:, 1], n)
    return [list(map(tuple, t)) for t in T.tolist()]
