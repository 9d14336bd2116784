# The Python part of vyr_spectral_arrays, run in the module's namespace by its
# initialiser: the Clifford algebras as objects whose operations are gufuncs,
# and the functions that are no ufunc themselves (their arguments are no
# arrays, or their output's shape comes from an integer).  The ufuncs and
# _algebra_ufuncs are the native part, already in this namespace.

import ast as _ast
import operator as _operator

import numpy as _np

_MODULE = __name__
# A multivector of 2**62 components is the largest an array axis can hold.
_MAX_BASIS_VECTORS = 62


def _integer(function, what, value):
    """value.__index__(): TypeError naming `what` when it has none.  Only a
    TypeError becomes that message; KeyboardInterrupt, RecursionError and
    every other error from __index__ pass unchanged."""
    try:
        return _operator.index(value)
    except TypeError:
        raise TypeError(
            f"{function}: {what} must be an integer, not {type(value).__name__!r}"
        ) from None


def _signature_of(function, signature):
    """The signature as a tuple of ints in -128..127, checked."""
    if isinstance(signature, _np.ndarray):
        if signature.ndim != 1:
            raise ValueError(
                f"{function}: signature must have one axis, but has shape {signature.shape}"
            )
        if signature.dtype.kind not in "biuO":
            raise TypeError(
                f"{function}: signature entries must be integers, not {signature.dtype}"
            )
        signature = signature.tolist()
    elif isinstance(signature, (str, bytes, bytearray)) or not hasattr(signature, "__len__") \
            and not hasattr(signature, "__iter__"):
        raise TypeError(
            f"{function}: signature must be a sequence of integers, "
            f"not {type(signature).__name__!r}"
        )
    # The entries are held apart from the caller's sequence: reading an entry
    # runs its __index__, which may change that sequence.
    entries = tuple(signature)
    checked = []
    for position, entry in enumerate(entries):
        value = _integer(function, "a signature entry", entry)
        if not -128 <= value <= 127:
            raise ValueError(
                f"{function}: signature entry {position} is {value}, "
                "outside the signed 8-bit range -128..127"
            )
        checked.append(value)
    if len(checked) > _MAX_BASIS_VECTORS:
        n = len(checked)
        raise ValueError(
            f"{function}: a signature of {n} entries makes multivectors of 2**{n} "
            "components, more than an array axis can hold"
        )
    return tuple(checked)


def _blade_name(mask, n):
    if mask == 0:
        return "1"
    indices = [str(m) for m in range(n) if mask >> m & 1]
    return "e" + ("".join(indices) if n <= 10 else "_".join(indices))


def _grade_order(n, within):
    """Blade masks by grade, each grade ordered by `within(mask)`."""
    return sorted(range(1 << n), key=lambda mask: (mask.bit_count(), within(mask)))


class Algebra:
    """The Clifford algebra whose basis vector e_m squares to signature[m].

    Made by vyr_spectral_arrays.algebra(signature), once per signature.  A
    multivector has 2**n components (n = len(signature)) in blade bit-mask
    order: component k is the coefficient of the blade whose mask is k (bit m
    set: e_m is a factor), so 1, e0, e1, e01, e2, e02, e12, e012, ...  Every
    operation is a numpy gufunc over an axis of those components (the last
    one, unless axes= says otherwise), with numpy's broadcasting, out=,
    where= and dispatch.
    """

    __slots__ = ("_signature", "_ufuncs", "_blades", "__weakref__")

    def __init__(self, *args, **kwargs):
        raise TypeError("use vyr_spectral_arrays.algebra(signature) to get an Algebra")

    @classmethod
    def _make(cls, signature):
        self = object.__new__(cls)
        ufuncs = _algebra_ufuncs(signature, f"algebra({list(signature)})")  # noqa: F821
        for ufunc in ufuncs.values():
            ufunc.__module__ = _MODULE
        object.__setattr__(self, "_signature", signature)
        object.__setattr__(self, "_ufuncs", ufuncs)
        object.__setattr__(self, "_blades", None)
        return self

    @property
    def signature(self):
        """The squares of the basis vectors, a tuple of ints."""
        return self._signature

    @property
    def dimension(self):
        """The number of components of a multivector, 2**len(signature)."""
        return 1 << len(self._signature)

    @property
    def operations(self):
        """The names of the algebra's gufuncs."""
        return tuple(self._ufuncs)

    def __getattr__(self, name):
        try:
            return self._ufuncs[name]
        except KeyError:
            raise AttributeError(
                f"{type(self).__name__} object of signature {list(self._signature)} "
                f"has no attribute {name!r}"
            ) from None

    def __setattr__(self, name, value):
        raise AttributeError(f"{type(self).__name__} objects are read-only")

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(self._ufuncs))

    def __repr__(self):
        return f"{_MODULE}.algebra({list(self._signature)})"

    def __reduce__(self):
        return (algebra, (list(self._signature),))

    def __eq__(self, other):
        if not isinstance(other, Algebra):
            return NotImplemented
        return self._signature == other._signature

    def __hash__(self):
        return hash((Algebra, self._signature))

    # -------------------------------------------------------------- blades

    @property
    def blades(self):
        """The name of each component, in component order: "1", then "e0",
        "e1", "e01", ... (indices joined by "_" when there are more than 10
        basis vectors)."""
        if self._blades is None:
            n = len(self._signature)
            object.__setattr__(self, "_blades", tuple(_blade_name(k, n) for k in range(1 << n)))
        return self._blades

    def index(self, name):
        """The component that holds the blade `name` (as in `blades`)."""
        try:
            return self.blades.index(name)
        except ValueError:
            raise KeyError(f"no blade named {name!r} in {self!r}") from None

    def component(self, a, name):
        """The coefficients of the blade `name` in the multivectors `a`
        (components on the last axis): a[..., index(name)]."""
        return _np.asarray(a)[..., self.index(name)]

    def format(self, a):
        """One multivector as text: its nonzero terms with their blade names,
        for instance "1.0 + 2.0 e0 - 0.5 e12" ("0.0" when every component is
        zero)."""
        a = _np.asarray(a, dtype=_np.float64)
        if a.shape != (self.dimension,):
            raise ValueError(
                f"format takes one multivector of {self.dimension} components, "
                f"not an array of shape {a.shape}"
            )
        text = ""
        for value, name in zip(a.tolist(), self.blades):
            if value == 0.0:
                continue
            magnitude = repr(abs(value)) if value == value else repr(value)
            term = magnitude if name == "1" else f"{magnitude} {name}"
            if not text:
                text = term if value >= 0 or value != value else "-" + term
            else:
                text += (" - " if value < 0 else " + ") + term
        return text or "0.0"

    # -------------------------------------------------------------- other layouts

    def _order(self, layout):
        n = len(self._signature)
        if layout == "kingdon":
            # kingdon keys blades by the same bit masks, ordered by grade, then
            # by mask.
            return _grade_order(n, lambda mask: mask)
        if layout == "clifford":
            # clifford orders by grade, then its index tuples lexicographically.
            return _grade_order(n, lambda mask: [m for m in range(n) if mask >> m & 1])
        raise ValueError(f"layout must be 'kingdon' or 'clifford', not {layout!r}")

    def to_layout(self, a, layout):
        """The components of `a` (last axis) in another package's order:
        "kingdon" (kingdon's default: by grade, then by bit mask) or
        "clifford" (clifford's layout: by grade, then by index tuple).  Both
        count basis vectors from e1 where this package counts from e0, and
        name the blades by ascending indices as here, so no sign changes."""
        return _np.asarray(a)[..., self._order(layout)]

    def from_layout(self, a, layout):
        """The inverse of to_layout: components in `layout`'s order back to
        bit-mask order."""
        order = self._order(layout)
        inverse = [0] * len(order)
        for position, mask in enumerate(order):
            inverse[mask] = position
        return _np.asarray(a)[..., inverse]


_algebras = {}


def algebra(signature):
    """The Clifford algebra whose basis vector e_m squares to signature[m]
    (integers in -128..127, at most 62 of them), made once per signature."""
    key = _signature_of("algebra", signature)
    found = _algebras.get(key)
    if found is None:
        found = _algebras.setdefault(key, Algebra._make(key))
    return found


def _algebra_for(function, signature):
    key = _signature_of(function, signature)
    found = _algebras.get(key)
    if found is None:
        found = _algebras.setdefault(key, Algebra._make(key))
    return found


def geometric_product(a, b, signature, out=None):
    """Geometric products in the Clifford algebra whose basis vectors square to
    the entries of signature; the last axis holds the 2**len(signature)
    components: algebra(signature).geometric_product(a, b, out=out)."""
    return _algebra_for("geometric_product", signature).geometric_product(a, b, out=out)


def sandwich(r, x, signature, out=None):
    """The sandwiches r x r~ in the Clifford algebra of signature (r~: the
    reverse of r, whose components of grades 2 and 3 mod 4 are negated), bit
    for bit geometric_product(geometric_product(r, x, signature), r~,
    signature): algebra(signature).sandwich(r, x, out=out)."""
    return _algebra_for("sandwich", signature).sandwich(r, x, out=out)


def _step_count(function, n_steps):
    n = _integer(function, "n_steps", n_steps)
    if n < 0:
        raise ValueError(f"{function}: n_steps must not be negative, got {n}")
    if n >= _np.iinfo(_np.intp).max:
        raise ValueError(
            f"{function}: n_steps = {n} is too large: a trajectory of n_steps + 1 points "
            "would not fit an array axis"
        )
    return n


def _is_other_array_type(x):
    kind = type(x)
    return not isinstance(x, _np.ndarray) and (
        getattr(kind, "__array_ufunc__", None) is not None
        or hasattr(kind, "__array_function__")
    )


def spectral_flow(starts, n_steps, out=None):
    """Trajectories of n_steps + 1 points from every start (x, y) on the last
    axis; the result has shape starts.shape[:-1] + (n_steps + 1, 2), or is
    out, filled (its axis -2 must hold n_steps + 1 points).  The gufunc
    flow_trajectories, (2)->(m,2), does the work."""
    n = _step_count("spectral_flow", n_steps)
    if out is None:
        if _is_other_array_type(starts):
            kind = type(starts)
            raise TypeError(
                f"spectral_flow: starts is a {kind.__module__}.{kind.__qualname__}, which this "
                "function would turn into a numpy array; map it over the blocks instead, for "
                "a dask array: da.apply_gufunc(va.spectral_flow, '(2)->(m,2)', starts, "
                "n_steps=n, output_sizes={'m': n + 1}, output_dtypes=float)"
            )
        starts = _np.asarray(starts)
        batch = starts.shape[:-1] if starts.ndim else ()
        out = _np.empty(batch + (n + 1, 2))
    elif getattr(out, "ndim", 0) >= 2 and out.shape[-2] != n + 1:
        raise ValueError(
            f"spectral_flow: out has shape {out.shape}, which holds {out.shape[-2]} points per "
            f"trajectory, not n_steps + 1 = {n + 1}"
        )
    return flow_trajectories(starts, out=out)  # noqa: F821


def __getattr__(name):
    # "algebra([1, 1, 1])" names the algebra of that signature: how pickle
    # finds an algebra's gufuncs, whose names start with it.
    if name.startswith("algebra(") and name.endswith(")"):
        try:
            signature = _ast.literal_eval(name[len("algebra("):-1])
        except (ValueError, SyntaxError):
            pass
        else:
            return algebra(signature)
    raise AttributeError(f"module {_MODULE!r} has no attribute {name!r}")


_ufunc = _name = None
for _ufunc in (add, octonion_mul, octonion_norm, norms_squared,  # noqa: F821
               spectral_flow_step, flow_trajectories):  # noqa: F821
    _ufunc.__module__ = _MODULE
_OCTONION_FUNCTIONS = [name for name in ("octonion_conjugate", "octonion_inverse",
                                         "octonion_exp", "octonion_log") if name in globals()]
for _name in _OCTONION_FUNCTIONS:
    globals()[_name].__module__ = _MODULE
del _ufunc, _name

__all__ = [
    "add", "octonion_mul", "octonion_norm", "norms_squared", "geometric_product", "sandwich",
    "spectral_flow_step", "spectral_flow", "flow_trajectories", "algebra", "Algebra",
    *_OCTONION_FUNCTIONS,
]
