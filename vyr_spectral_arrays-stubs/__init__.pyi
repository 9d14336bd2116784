"""The functions of vyr_spectral_core on numpy arrays, as numpy ufuncs.

The array functions are numpy ufuncs (gufuncs where an operand has an axis
of components): numpy broadcasts, casts every real dtype to float64, and
takes ``out=``, ``where=``, ``axes=``, ``dtype=``, ``casting=``, ``order=``
and ``subok=``; other array types get the call through ``__array_ufunc__``.
Every number is bit for bit what the matching list function of
``vyr_spectral_core`` gives.  A Clifford algebra is an object,
``algebra(signature)``, whose operations are gufuncs.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsIndex, TypeAlias, final, type_check_only

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
    "flow_trajectories",
    "algebra",
    "Algebra",
    "octonion_conjugate",
    "octonion_inverse",
    "octonion_exp",
    "octonion_log",
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
_Out: TypeAlias = NDArray[np.float64] | tuple[NDArray[np.float64]] | None

@type_check_only
class _Ufunc(Protocol):
    @property
    def __name__(self) -> str: ...
    @property
    def nin(self) -> int: ...
    @property
    def nout(self) -> int: ...
    @property
    def nargs(self) -> int: ...
    @property
    def signature(self) -> str | None: ...
    @property
    def types(self) -> list[str]: ...

@type_check_only
class _UnaryUfunc(_Ufunc, Protocol):
    def __call__(
        self, a: _RealArrayLike, /, out: _Out = None, **kwargs: Any
    ) -> NDArray[np.float64]: ...

@type_check_only
class _BinaryUfunc(_Ufunc, Protocol):
    def __call__(
        self, a: _RealArrayLike, b: _RealArrayLike, /, out: _Out = None, **kwargs: Any
    ) -> NDArray[np.float64]: ...

@type_check_only
class _ElementwiseUfunc(_BinaryUfunc, Protocol):
    def reduce(self, array: _RealArrayLike, /, *args: Any, **kwargs: Any) -> Any: ...
    def accumulate(self, array: _RealArrayLike, /, *args: Any, **kwargs: Any) -> NDArray[np.float64]: ...
    def reduceat(self, array: _RealArrayLike, /, *args: Any, **kwargs: Any) -> NDArray[np.float64]: ...
    def outer(self, a: _RealArrayLike, b: _RealArrayLike, /, **kwargs: Any) -> NDArray[np.float64]: ...
    def at(self, a: NDArray[Any], indices: Any, b: _RealArrayLike = ..., /) -> None: ...

# Element-wise a + b; add.reduce is a left fold.
add: _ElementwiseUfunc
# (8),(8)->(8): octonion products.
octonion_mul: _BinaryUfunc
# (n)->(): Euclidean norm; an empty axis gives -0.0.
octonion_norm: _UnaryUfunc
# (n)->(): sum of squares from -0.0.
norms_squared: _UnaryUfunc
# (2)->(2): one step of the planar map.
spectral_flow_step: _UnaryUfunc
# (2)->(m,2): trajectories of m points; out= must be given (see spectral_flow).
flow_trajectories: _UnaryUfunc
# (8)->(8): functions of one octonion.
octonion_conjugate: _UnaryUfunc
octonion_inverse: _UnaryUfunc
octonion_exp: _UnaryUfunc
octonion_log: _UnaryUfunc

@final
class Algebra:
    """The Clifford algebra whose basis vector e_m squares to signature[m]."""

    # Made by algebra(signature) only; calling the class raises TypeError.
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...

    @property
    def signature(self) -> tuple[int, ...]: ...
    @property
    def dimension(self) -> int: ...
    @property
    def operations(self) -> tuple[str, ...]: ...
    @property
    def blades(self) -> tuple[str, ...]: ...
    # (2**n),(2**n)->(2**n)
    geometric_product: _BinaryUfunc
    sandwich: _BinaryUfunc
    def __getattr__(self, name: str) -> Any: ...
    def index(self, name: str) -> int: ...
    def component(self, a: _RealArrayLike, name: str) -> Any: ...
    def format(self, a: _RealArrayLike) -> str: ...
    def to_layout(self, a: _RealArrayLike, layout: str) -> NDArray[Any]: ...
    def from_layout(self, a: _RealArrayLike, layout: str) -> NDArray[Any]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def algebra(signature: _Signature) -> Algebra:
    """The algebra of that signature, made once per signature."""

def geometric_product(
    a: _RealArrayLike, b: _RealArrayLike, signature: _Signature, out: _Out = None
) -> NDArray[np.float64]:
    """algebra(signature).geometric_product(a, b, out=out)."""

def sandwich(
    r: _RealArrayLike, x: _RealArrayLike, signature: _Signature, out: _Out = None
) -> NDArray[np.float64]:
    """algebra(signature).sandwich(r, x, out=out): r x r~, bit for bit two products."""

def spectral_flow(
    starts: _RealArrayLike, n_steps: SupportsIndex, out: NDArray[np.float64] | None = None
) -> NDArray[np.float64]:
    """Trajectories of shape starts.shape[:-1] + (n_steps + 1, 2)."""
