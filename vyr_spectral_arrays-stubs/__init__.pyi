"""The functions of vyr_spectral_core on numpy arrays.

Inputs are array-likes of real numbers (any real dtype, byte order and
strides), converted to float64 as ``numpy.asarray(x, dtype=float64)`` would.
Leading axes broadcast as numpy broadcasts them; the last axis holds each
item's components where a function has them. Results are new C-contiguous
float64 arrays, or ``out`` (returned), which must be a writable float64 array
of exactly the result's shape. Every number is bit for bit what the matching
list function of ``vyr_spectral_core`` gives.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "add",
    "octonion_mul",
    "octonion_norm",
    "norms_squared",
    "geometric_product",
    "sandwich",
    "spectral_flow_step",
    "spectral_flow",
]

# The instruction set the kernels run on in this process: "avx512", "avx2",
# "portable" or "scalar" (see VYR_KERNEL_PATH).
kernel_path: str

# Real numbers, as scalars, arrays or nested sequences; complex numbers, text
# and dates are refused.
_RealScalar: TypeAlias = bool | int | float | np.bool_ | np.integer[Any] | np.floating[Any]
_RealArray: TypeAlias = NDArray[np.bool_ | np.integer[Any] | np.floating[Any]]
_RealArrayLike: TypeAlias = _RealArray | _RealScalar | Sequence["_RealArrayLike"]
# Squares of the basis vectors: integers from -128 to 127.
_Signature: TypeAlias = Sequence[SupportsIndex] | NDArray[np.bool_ | np.integer[Any]]
_Out: TypeAlias = NDArray[np.float64] | None

def add(a: _RealArrayLike, b: _RealArrayLike, out: _Out = None) -> NDArray[np.float64]:
    """Element-wise a + b over the broadcast of a and b."""

def octonion_mul(a: _RealArrayLike, b: _RealArrayLike, out: _Out = None) -> NDArray[np.float64]:
    """Octonion products over the last axis (length 8), broadcast over the others."""

def octonion_norm(a: _RealArrayLike, out: _Out = None) -> NDArray[np.float64]:
    """Euclidean norm over the last axis (any length; an empty axis gives -0.0)."""

def norms_squared(a: _RealArrayLike, out: _Out = None) -> NDArray[np.float64]:
    """Sum of squares over the last axis (any length; an empty axis gives -0.0)."""

def geometric_product(
    a: _RealArrayLike, b: _RealArrayLike, signature: _Signature, out: _Out = None
) -> NDArray[np.float64]:
    """Geometric products; the last axis holds the 2**len(signature) components."""

def sandwich(
    r: _RealArrayLike, x: _RealArrayLike, signature: _Signature, out: _Out = None
) -> NDArray[np.float64]:
    """r x r~ (r~ the reverse of r), bit for bit as two geometric products."""

def spectral_flow_step(points: _RealArrayLike) -> NDArray[np.float64]:
    """One step of the planar map for every point (x, y) on the last axis."""

def spectral_flow(
    starts: _RealArrayLike, n_steps: SupportsIndex, out: _Out = None
) -> NDArray[np.float64]:
    """Trajectories of shape starts.shape[:-1] + (n_steps + 1, 2)."""
