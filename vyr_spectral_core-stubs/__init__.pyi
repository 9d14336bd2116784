"""Octonions, Clifford products, a planar exp/ln map and lattice norms on plain
Python sequences, computed natively.

Inputs are copied into native doubles before any arithmetic; every result is a
new Python object. The ``*_n`` and ``*_batch`` functions spread their items over
a process-wide worker pool and return results in input order, bit for bit the
same for every number of threads.

Kernel faults (a vector read past its end, a result too large to reserve) raise
``PanicException``, which derives from ``BaseException``, not ``Exception``.
It is not an attribute of this module: ``from vyr_runtime import
PanicException`` to catch it.
"""

from collections.abc import Buffer, Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

__all__ = [
    "octonion_mul",
    "octonion_mul_n",
    "octonion_norm_n",
    "spectral_flow_step",
    "spectral_flow_n",
    "spectral_flow_batch",
    "e8_norms_squared_n",
    "e8_min_norm_squared",
    "leech_min_norm_squared",
    "geometric_product_n",
    "add_n",
]

# A number converted as a float: float, int, bool, or any object with
# __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# A float vector: any sequence other than str (list, tuple, range, bytes, ...),
# or an object with the buffer protocol (a numpy array, array.array,
# memoryview).  A buffer is a vector when it has one dimension and a batch when
# it has two; the checker cannot tell these apart, the module does.
_FloatVector: TypeAlias = Sequence[_Float] | Buffer
# A batch: a sequence of float vectors, or a two-dimensional buffer.
_Batch: TypeAlias = Sequence[_FloatVector] | Buffer
# A point pair arrives only as a tuple of exactly two numbers (a list is refused).
_PointIn: TypeAlias = tuple[_Float, _Float]
_Point: TypeAlias = tuple[float, float]

def octonion_mul(a: _FloatVector, b: _FloatVector) -> list[float]:
    """Multiply two octonions. Inputs are 8-element float vectors.

    Component k is the coefficient of e_k (e0 = 1). Components past the eighth
    are ignored; a shorter input that is read past its end raises
    PanicException ("index out of bounds: ...").
    """

def octonion_mul_n(a_batch: _Batch, b_batch: _Batch) -> list[list[float]]:
    """Batch octonion multiply, thread-parallel.

    Pairs a_batch[i] with b_batch[i] for i < min(len(a_batch), len(b_batch)).
    """

def octonion_norm_n(batch: _Batch) -> list[float]:
    """Batch octonion norm, thread-parallel.

    The Euclidean norm of each vector, of any length; an empty vector gives -0.0.
    """

def spectral_flow_step(x: _Float, y: _Float) -> _Point:
    """One Φ step: returns (x', y')."""

def spectral_flow_n(x0: _Float, y0: _Float, n_steps: SupportsIndex) -> list[_Point]:
    """Generate a length-(n_steps+1) trajectory starting from (x0, y0).

    n_steps must be a non-negative integer (OverflowError otherwise).
    """

def spectral_flow_batch(starts: Sequence[_PointIn], n_steps: SupportsIndex) -> list[list[_Point]]:
    """Generate one trajectory per starting point — thread-parallel over starts.

    Each start must be a tuple (x, y); trajectory k equals
    spectral_flow_n(*starts[k], n_steps) bit for bit.
    """

def e8_norms_squared_n(points: _Batch) -> list[float]:
    """Batch ‖x‖² for points (thread-parallel; works for any dimension)."""

def e8_min_norm_squared() -> float:
    """E₈ minimum-vector squared norm (= 2.0)."""

def leech_min_norm_squared() -> float:
    """Leech minimum-vector squared norm (= 4.0)."""

def geometric_product_n(
    a: _Batch, b: _Batch, signature: Sequence[SupportsIndex] | Buffer
) -> list[list[float]]:
    """Batch geometric product for Cl(p, q) — thread-parallel.

    signature[m] is the square of basis vector e_m, an integer in -128..127.
    Multivectors hold 2**len(signature) components in blade-mask order
    (1, e0, e1, e0e1, e2, ...). Basis vectors count from e0 here, so e0 is the
    first basis vector (for octonions e0 is the scalar unit); clifford and
    kingdon count from e1.
    """

def add_n(a: _FloatVector, b: _FloatVector) -> list[float]:
    """Vector-add helper exposed for sanity checks (thread-parallel).

    Adds a[i] + b[i] for i < min(len(a), len(b)).
    """
