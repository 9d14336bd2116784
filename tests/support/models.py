"""Independent pure-Python models of every function of ``vyr_spectral_core``.

Each model works on Python floats, whose arithmetic is IEEE-754 binary64 in
round-to-nearest with every operation rounded on its own, and uses the C
library's ``exp`` and ``log`` through :mod:`math`.  The models follow the
module's documented order of evaluation, so their results are expected to
agree with the module bit for bit.

Kernel faults are modelled by raising :class:`Fault` with the text that the
module's ``PanicException`` is expected to carry; allocations that are within
the capacity bound but cannot possibly be satisfied are modelled by
:class:`MemoryError`.
"""

import math

MAX_RESERVE_BYTES = 2**63 - 8

__all__ = [
    "Fault",
    "OCTONION_TABLE",
    "add_n",
    "clifford_product",
    "e8_norm_squared",
    "e8_norms_squared_n",
    "flow_trajectory",
    "geometric_product_n",
    "octonion_mul",
    "octonion_mul_n",
    "octonion_norm",
    "octonion_norm_n",
    "phi_step",
    "spectral_flow_batch",
]


class Fault(Exception):
    """A kernel fault; ``message`` is the text the module reports."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def index_fault(length):
    return Fault(f"index out of bounds: the len is {length} but the index is {length}")


def capacity_fault():
    return Fault("capacity overflow")


def _read(vec, i):
    if i >= len(vec):
        raise index_fault(len(vec))
    return vec[i]


# ---------------------------------------------------------------------------
# Element-wise add
# ---------------------------------------------------------------------------

def add_n(a, b):
    return [float(x) + float(y) for x, y in zip(a, b)]


# ---------------------------------------------------------------------------
# Octonions
# ---------------------------------------------------------------------------

# Row = left unit e_i, column = right unit e_j; entry (sign, k): e_i e_j = sign e_k.
_OCT_ROWS = """
 +0 +1 +2 +3 +4 +5 +6 +7
 +1 -0 +4 +7 -2 +6 -5 -3
 +2 -4 -0 +5 +1 -3 +7 -6
 +3 -7 -5 -0 +6 +2 -4 +1
 +4 +2 -1 -6 -0 +7 +3 -5
 +5 -6 +3 -2 -7 -0 +1 +4
 +6 +5 -7 +4 -3 -1 -0 +2
 +7 +3 +6 -1 +5 -4 -2 -0
"""

OCTONION_TABLE = tuple(
    tuple((1 if tok[0] == "+" else -1, int(tok[1:])) for tok in line.split())
    for line in _OCT_ROWS.strip().splitlines()
)


def octonion_table_from_triples():
    """The same table, derived from the seven positive triples e_i e_(i+1) = e_(i+3)."""
    table = [[None] * 8 for _ in range(8)]
    for i in range(8):
        table[0][i] = (1, i)
        table[i][0] = (1, i)
    for i in range(1, 8):
        table[i][i] = (-1, 0)
    for i in range(1, 8):
        p, q, r = i, (i % 7) + 1, ((i + 2) % 7) + 1
        for x, y, z in ((p, q, r), (q, r, p), (r, p, q)):
            table[x][y] = (1, z)
            table[y][x] = (-1, z)
    return tuple(tuple(row) for row in table)


def octonion_mul(a, b):
    """Product of two octonions, term by term, skipping zero factors."""
    c = [0.0] * 8
    for i in range(8):
        x = _read(a, i)
        if x == 0.0:
            continue
        for j in range(8):
            y = _read(b, j)
            if y == 0.0:
                continue
            s, k = OCTONION_TABLE[i][j]
            c[k] = c[k] + y * (x if s > 0 else -x)
    return c


def octonion_norm(v):
    s = -0.0
    for x in v:
        s = s + x * x
    return math.sqrt(s)


def octonion_mul_n(a_batch, b_batch):
    return [octonion_mul(a, b) for a, b in zip(a_batch, b_batch)]


def octonion_norm_n(batch):
    return [octonion_norm(v) for v in batch]


# ---------------------------------------------------------------------------
# Clifford geometric product
# ---------------------------------------------------------------------------

def _popcount(x):
    return bin(x).count("1")


def clifford_sign(j, k, n):
    """Reordering sign of blade j times blade k (bit masks)."""
    total = 0
    for p in range(n):
        if (k >> p) & 1:
            total += _popcount(j >> (p + 1))
    return -1.0 if total & 1 else 1.0


def clifford_product(A, B, signature):
    n = len(signature)
    if n >= 60:  # 2**n doubles exceed the reservation bound
        raise capacity_fault()
    if n >= 40:  # within the bound but far beyond any address space
        raise MemoryError
    D = 1 << n
    out = [0.0] * D
    for j in range(D):
        x = _read(A, j)
        if x == 0.0:
            continue
        for k in range(D):
            y = _read(B, k)
            if y == 0.0:
                continue
            g = clifford_sign(j, k, n)
            common = j & k
            for m in range(n):
                if (common >> m) & 1:
                    g = g * float(signature[m])
            r = j ^ k
            out[r] = y * (g * x) + out[r]
    return out


def geometric_product_n(a, b, signature):
    return [clifford_product(A, B, signature) for A, B in zip(a, b)]


# ---------------------------------------------------------------------------
# Planar map
# ---------------------------------------------------------------------------

EXP_ARG_LIMIT = 709.78
Y_FLOOR = 1e-300


def phi_step(x, y):
    if x > EXP_ARG_LIMIT:
        x = math.log(x)
    if y <= 0.0:
        y = max(abs(y), Y_FLOOR)
    e = math.exp(x)
    l = math.log(y)
    return (y, e - l)


def flow_trajectory(x0, y0, n_steps):
    if n_steps >= 2**59 - 1:
        raise capacity_fault()
    if n_steps >= 2**40:
        raise MemoryError
    traj = [(x0, y0)]
    x, y = x0, y0
    for _ in range(n_steps):
        x, y = phi_step(x, y)
        traj.append((x, y))
    return traj


def spectral_flow_batch(starts, n_steps):
    return [flow_trajectory(x, y, n_steps) for x, y in starts]


# ---------------------------------------------------------------------------
# Lattice norms
# ---------------------------------------------------------------------------

def e8_norm_squared(point):
    s = -0.0
    for x in point:
        s = x * x + s
    return s


def e8_norms_squared_n(points):
    return [e8_norm_squared(p) for p in points]
