"""The array module against the list module: the same bits for the same
doubles, whatever the dtype, byte order, strides and broadcasting of the
inputs; every refused input with its exception; out= and its overlaps."""

import struct

import pytest

np = pytest.importorskip("numpy")
hnp = pytest.importorskip("hypothesis.extra.numpy")
from hypothesis import given, strategies as st  # noqa: E402

import vyr_spectral_arrays as va  # noqa: E402
import vyr_spectral_core as vc  # noqa: E402
from conftest import run_snippet  # noqa: E402

F64 = np.float64


def same_bits(got, want):
    """Equal shapes and equal bit patterns (NaN payloads and zero signs count)."""
    assert type(got) in (np.ndarray, F64) and got.dtype == F64, (type(got), getattr(got, "dtype", None))
    want = np.asarray(want, dtype=F64)
    assert got.shape == want.shape
    assert np.array_equal(np.array(got, order="C").view(np.uint64), want.view(np.uint64)), (
        f"\n got: {got!r}\nwant: {want!r}"
    )


def doubles(bit_patterns):
    return np.array(bit_patterns, dtype=np.uint64).view(F64)


# NaNs with payloads and signs, infinities, signed zeros, subnormals, extremes.
SPECIALS = np.concatenate([
    doubles([0x7FF8000000000001, 0xFFF80000000ABCDE, 0x7FF4000000000000, 0x7FF8000000000000]),
    np.array([np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 1e308, -1e308, 1.0, -2.5, 709.78,
              709.79, 1e-300]),
])


# --------------------------------------------------------------------------
# The list module, on the broadcast doubles, item by item
# --------------------------------------------------------------------------

def as_rows(x, batch, core):
    x = np.broadcast_to(np.asarray(x, dtype=F64), batch + (core,))
    return x.reshape(int(np.prod(batch, dtype=np.int64)), core).tolist()


def core_batch(*arrays):
    return np.broadcast_shapes(*(np.shape(a)[:-1] for a in arrays))


def list_add(a, b):
    a, b = np.broadcast_arrays(np.asarray(a, dtype=F64), np.asarray(b, dtype=F64))
    return np.array(vc.add_n(a.ravel().tolist(), b.ravel().tolist()), dtype=F64).reshape(a.shape)


def list_octonion_mul(a, b):
    batch = core_batch(a, b)
    rows = vc.octonion_mul_n(as_rows(a, batch, 8), as_rows(b, batch, 8))
    return np.array(rows, dtype=F64).reshape(batch + (8,))


def list_reduction(function):
    def reduce(a):
        batch, length = np.shape(a)[:-1], np.shape(a)[-1]
        return np.array(function(as_rows(a, batch, length)), dtype=F64).reshape(batch)

    return reduce


def list_geometric_product(a, b, signature):
    batch, dim = core_batch(a, b), 2 ** len(signature)
    rows = vc.geometric_product_n(as_rows(a, batch, dim), as_rows(b, batch, dim), signature)
    return np.array(rows, dtype=F64).reshape(batch + (dim,))


def list_flow_step(points):
    batch = np.shape(points)[:-1]
    pairs = [vc.spectral_flow_step(x, y) for x, y in as_rows(points, batch, 2)]
    return np.array(pairs, dtype=F64).reshape(batch + (2,))


def list_flow(starts, n_steps):
    batch = np.shape(starts)[:-1]
    trajectories = vc.spectral_flow_batch([tuple(p) for p in as_rows(starts, batch, 2)], n_steps)
    return np.array(trajectories, dtype=F64).reshape(batch + (n_steps + 1, 2))


# --------------------------------------------------------------------------
# Inputs: every real dtype and byte order, several layouts, special values
# --------------------------------------------------------------------------

DTYPES = [F64, np.dtype(">f8"), np.float32, np.float16, np.longdouble, np.int64, np.int32,
          np.uint8, np.bool_, np.dtype(">i4")]
LAYOUTS = ["contiguous", "fortran", "reversed", "every_second"]


@st.composite
def real_arrays(draw, shape, dtype=None):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    layout = draw(st.sampled_from(LAYOUTS))
    full = (shape[0] * 2,) + tuple(shape[1:]) if layout == "every_second" and shape else shape
    elements = hnp.from_dtype(dtype, allow_nan=True, allow_infinity=True) if dtype.kind == "f" \
        else hnp.from_dtype(dtype)
    x = draw(hnp.arrays(dtype, full, elements=elements))
    if dtype == F64 and x.size and draw(st.booleans()):
        x.flat[draw(st.integers(0, x.size - 1))] = draw(st.sampled_from(list(SPECIALS)))
    if layout == "fortran":
        return np.asfortranarray(x)
    if layout == "reversed" and x.ndim:
        return x[..., ::-1]
    if layout == "every_second" and x.ndim:
        return x[::2]
    return x


def shapes_for(signature, max_batch=3):
    return hnp.mutually_broadcastable_shapes(signature=signature, max_dims=max_batch, max_side=4)


@given(st.data())
def test_add_matches_add_n(data):
    shapes = data.draw(hnp.mutually_broadcastable_shapes(num_shapes=2, max_dims=4, max_side=5))
    a = data.draw(real_arrays(shapes.input_shapes[0]))
    b = data.draw(real_arrays(shapes.input_shapes[1]))
    same_bits(va.add(a, b), list_add(a, b))


@given(st.data())
def test_octonion_mul_matches_octonion_mul_n(data):
    shapes = data.draw(shapes_for("(8),(8)->(8)"))
    a = data.draw(real_arrays(shapes.input_shapes[0]))
    b = data.draw(real_arrays(shapes.input_shapes[1]))
    same_bits(va.octonion_mul(a, b), list_octonion_mul(a, b))


@pytest.mark.parametrize("function, list_function", [
    (va.octonion_norm, vc.octonion_norm_n), (va.norms_squared, vc.e8_norms_squared_n)])
@given(data=st.data())
def test_reductions_match_the_list_norms(function, list_function, data):
    shape = data.draw(hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=9))
    a = data.draw(real_arrays(shape))
    same_bits(function(a), list_reduction(list_function)(a))


@given(st.data())
def test_geometric_product_matches_geometric_product_n(data):
    signature = data.draw(st.lists(st.sampled_from([1, -1, 0, 2, -128, 127]), max_size=3))
    dim = 2 ** len(signature)
    shapes = data.draw(shapes_for(f"({dim}),({dim})->({dim})"))
    a = data.draw(real_arrays(shapes.input_shapes[0]))
    b = data.draw(real_arrays(shapes.input_shapes[1]))
    given_signature = data.draw(st.sampled_from([signature, tuple(signature),
                                                 np.array(signature, dtype=np.int8)]))
    same_bits(va.geometric_product(a, b, given_signature), list_geometric_product(a, b, signature))


@given(st.data())
def test_sandwich_is_two_geometric_products(data):
    signature = data.draw(st.lists(st.sampled_from([1, -1, 0, 2]), max_size=4))
    dim = 2 ** len(signature)
    shapes = data.draw(shapes_for(f"({dim}),({dim})->({dim})"))
    r = data.draw(real_arrays(shapes.input_shapes[0], dtype=F64))
    x = data.draw(real_arrays(shapes.input_shapes[1]))
    left = va.geometric_product(r, x, signature)
    # The reverse flips the signs of grades 2 and 3 (mod 4); np.negative flips
    # a NaN's sign too, where -1.0 * r would keep it.
    flipped = np.array([bin(k).count("1") % 4 >= 2 for k in range(dim)])
    r_reverse = np.where(flipped, np.negative(r), r)
    same_bits(va.sandwich(r, x, signature), va.geometric_product(left, r_reverse, signature))


@given(st.data())
def test_planar_map_matches_the_list_functions(data):
    shape = data.draw(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=4)) + (2,)
    points = data.draw(real_arrays(shape))
    n_steps = data.draw(st.integers(0, 6))
    same_bits(va.spectral_flow_step(points), list_flow_step(points))
    same_bits(va.spectral_flow(points, n_steps), list_flow(points, n_steps))


def test_special_values_and_nan_payloads():
    """Every pairing of the special values, in each function."""
    a, b = np.meshgrid(SPECIALS, SPECIALS)
    same_bits(va.add(a, b), list_add(a, b))
    # One operand repeated along the other's items, on either side.
    for left, right in ((SPECIALS[:, None], SPECIALS), (SPECIALS, SPECIALS[:, None]),
                        (SPECIALS[:, None], np.tile(SPECIALS, 300))):
        same_bits(va.add(left, right), list_add(left, right))
    octs = np.resize(SPECIALS, (len(SPECIALS), 8))
    octs[::3] = 0.0
    same_bits(va.octonion_mul(octs, octs[::-1]), list_octonion_mul(octs, octs[::-1]))
    same_bits(va.octonion_norm(octs), list_reduction(vc.octonion_norm_n)(octs))
    same_bits(va.norms_squared(octs), list_reduction(vc.e8_norms_squared_n)(octs))
    same_bits(va.geometric_product(octs, octs[:, ::-1], [1, 0, -1]),
              list_geometric_product(octs, octs[:, ::-1], [1, 0, -1]))
    pairs = np.stack([a.ravel(), b.ravel()], axis=-1)
    same_bits(va.spectral_flow(pairs, 3), list_flow(pairs, 3))


def test_conversion_is_numpys():
    """Python scalars, nested lists, long doubles and integers beyond 2**53
    become the doubles that numpy's casts make; object arrays go through
    numpy's cast where the caller allows it (casting="unsafe")."""
    class Half:
        def __float__(self):
            return 0.5

    cases = [1, True, [1, 2**53 + 1], [[1.5], [2.0**70]], np.longdouble(1) / 3,
             np.arange(6, dtype=np.uint64) * (2**62)]
    same_bits(va.add(np.array([Half(), 3], dtype=object), 0.0, casting="unsafe"), [0.5, 3.0])
    for x in cases:
        same_bits(va.add(x, 0.0), np.asarray(x, dtype=F64) + 0.0)
    same_bits(va.add(1.0, 2.0), np.array(3.0))


# --------------------------------------------------------------------------
# Shapes and signatures the kernels could not take, refused up front
# --------------------------------------------------------------------------

X8 = np.zeros((3, 8))


class Interrupting:
    """An integer whose conversion is interrupted (Ctrl-C while it is read)."""

    def __index__(self):
        raise KeyboardInterrupt("while converting")


class TooDeep:
    def __index__(self):
        raise RecursionError("too deep")


ERRORS = [
    # Shapes, dtypes and out= are numpy's to check: its own exceptions.
    (lambda: va.add(np.zeros(3), np.zeros(4)), ValueError, "could not be broadcast together"),
    (lambda: va.octonion_mul(np.zeros((3, 7)), X8), ValueError,
     "octonion_mul: Input operand 0 has a mismatch in its core dimension 0"),
    (lambda: va.octonion_mul(X8, np.zeros(())), ValueError, "does not have enough dimensions"),
    (lambda: va.octonion_norm(5.0), ValueError, "does not have enough dimensions"),
    (lambda: va.geometric_product(X8, np.zeros((3, 4)), [1, 1, 1]), ValueError,
     "algebra([1, 1, 1]).geometric_product: Input operand 1 has a mismatch"),
    (lambda: va.sandwich(X8, np.zeros((2, 8)), [1, 1, 1]), ValueError, "could not be broadcast"),
    (lambda: va.spectral_flow_step(np.zeros((4, 3))), ValueError, "mismatch in its core dimension"),
    (lambda: va.add(np.zeros(2, dtype=complex), 1.0), TypeError, "from dtype('complex128')"),
    (lambda: va.add(1.0, ["1.5"]), TypeError, "from dtype('<U3')"),
    (lambda: va.add(np.array(["x"], dtype=object), 1.0), TypeError, "from dtype('O')"),
    (lambda: va.add(None, 1.0), TypeError, "from dtype('O')"),
    (lambda: va.add(np.zeros(2, dtype="M8[s]"), 1.0), TypeError, "from dtype('<M8[s]')"),
    (lambda: va.add([[1.0], [1.0, 2.0]], 1.0), ValueError, "inhomogeneous shape"),
    (lambda: va.add(1.0), TypeError, "add() takes from 2 to 3 positional arguments but 1 was given"),
    (lambda: va.add(X8, X8, out=np.zeros((8, 3))), ValueError, "could not be broadcast"),
    (lambda: va.add(X8, X8, out=np.broadcast_to(np.zeros(8), (3, 8))), ValueError,
     "output array is read-only"),
    # Too large for any array: numpy's ValueError, never a TypeError.
    (lambda: va.norms_squared(np.empty((0, 2**61), np.int8)), ValueError, "array is too big"),
    (lambda: va.spectral_flow(np.zeros(2), 2**62), (ValueError, MemoryError), ""),
    # The arguments that are no arrays are the module's own to check.
    (lambda: va.geometric_product(X8, X8, [1, 200, 1]), ValueError,
     "geometric_product: signature entry 1 is 200, outside the signed 8-bit range -128..127"),
    (lambda: va.geometric_product(X8, X8, [1, 2**70, 1]), ValueError, "signature entry 1 is 1180591620717411303424"),
    (lambda: va.geometric_product(X8, X8, np.array([1, 1, 1.0])), TypeError,
     "geometric_product: signature entries must be integers, not float64"),
    (lambda: va.geometric_product(X8, X8, [1, 1.0, 1]), TypeError,
     "geometric_product: a signature entry must be an integer, not 'float'"),
    (lambda: va.algebra("+++"), TypeError, "algebra: signature must be a sequence of integers, not 'str'"),
    (lambda: va.algebra(3), TypeError, "algebra: signature must be a sequence of integers, not 'int'"),
    (lambda: va.geometric_product(X8, X8, np.ones((1, 3), dtype=int)), ValueError,
     "signature must have one axis, but has shape (1, 3)"),
    (lambda: va.geometric_product(X8, X8, [1] * 63), ValueError,
     "a signature of 63 entries makes multivectors of 2**63 components"),
    (lambda: va.spectral_flow(np.zeros(2), -1), ValueError, "spectral_flow: n_steps must not be negative, got -1"),
    (lambda: va.spectral_flow(np.zeros(2), 2.0), TypeError, "spectral_flow: n_steps must be an integer, not 'float'"),
    (lambda: va.spectral_flow(np.zeros(2), 2**63), ValueError, "spectral_flow: n_steps = 9223372036854775808 is too large"),
    (lambda: va.spectral_flow(np.zeros(2), 3, out=np.zeros((3, 2))), ValueError,
     "holds 3 points per trajectory, not n_steps + 1 = 4"),
]


@pytest.mark.parametrize("error", [Interrupting, TooDeep])
@pytest.mark.parametrize("call", [
    lambda bad: va.geometric_product(X8, X8, [1, bad, 1]),
    lambda bad: va.sandwich(X8, X8, (1, 1, bad)),
    lambda bad: va.algebra([bad]),
    lambda bad: va.spectral_flow(np.zeros(2), bad),
])
def test_integers_that_fail_with_no_type_error_pass_it_on(call, error):
    """Only a TypeError from __index__ becomes "must be an integer"."""
    with pytest.raises((KeyboardInterrupt, RecursionError)) as info:
        call(error())
    assert type(info.value) is {Interrupting: KeyboardInterrupt, TooDeep: RecursionError}[error]


@pytest.mark.parametrize("call, error, message", ERRORS, ids=[m[:40] or "size" for _, _, m in ERRORS])
def test_refused_inputs(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


class ClearsItsList:
    """A signature entry whose __index__ empties the list that holds it."""

    def __init__(self, holder):
        self.holder = holder

    def __index__(self):
        self.holder.clear()
        return -1


def test_signature_entries_that_change_their_list():
    signature = [1, 0]
    signature += [ClearsItsList(signature), 1]
    got = va.geometric_product(np.ones((2, 16)), np.arange(16.0), signature)
    same_bits(got, list_geometric_product(np.ones((2, 16)), np.arange(16.0), [1, 0, -1, 1]))
    assert signature == []


def test_signature_extremes_and_empty_batches():
    same_bits(va.geometric_product(np.ones((2, 4)), np.ones(4), np.array([-128, 127], np.int64)),
              list_geometric_product(np.ones((2, 4)), np.ones(4), [-128, 127]))
    # A batch of no items needs no product, however large the signature.
    empty = np.empty((0, 2**40))
    assert va.geometric_product(empty, empty, [1] * 40).shape == (0, 2**40)
    assert va.spectral_flow(np.zeros((0, 2)), 10**12).shape == (0, 10**12 + 1, 2)
    same_bits(va.octonion_norm(np.zeros((2, 0))), [-0.0, -0.0])


# --------------------------------------------------------------------------
# out=
# --------------------------------------------------------------------------

RNG = np.random.default_rng(7)
W = RNG.normal(size=(6, 8))
# (name, call(x, out), data, the out as a view of the data)
OVERLAPS = [
    # The out is an input exactly: computed in place.
    ("add in place", lambda x, out: va.add(x, W, out=out), (6, 8), lambda x: x),
    ("octonion_mul in place", lambda x, out: va.octonion_mul(W, x, out=out), (6, 8), lambda x: x),
    # The out overlaps an input in another layout.
    ("add reversed", lambda x, out: va.add(x, x[::-1], out=out), (6, 8), lambda x: x),
    ("add broadcast row", lambda x, out: va.add(x[:1], x, out=out), (6, 8), lambda x: x),
    ("octonion_mul shifted", lambda x, out: va.octonion_mul(x[:-1], x[:-1], out=out), (7, 8),
     lambda x: x[1:]),
    ("octonion_mul components reversed", lambda x, out: va.octonion_mul(x, W, out=out), (6, 8),
     lambda x: x[:, ::-1]),
    ("geometric_product in place", lambda x, out: va.geometric_product(x, W, [1, -1, 0], out=out),
     (6, 8), lambda x: x),
    ("norm into its input", lambda x, out: va.norms_squared(x, out=out), (6, 8), lambda x: x[:, 0]),
    ("flow over its starts", lambda x, out: va.spectral_flow(x[:6].reshape(3, 2), 2, out=out), (18,),
     lambda x: x.reshape(3, 3, 2)),
]


@pytest.mark.parametrize("name, call, shape, out_of", OVERLAPS, ids=[c[0] for c in OVERLAPS])
def test_out_overlapping_an_input_gives_the_fresh_result(name, call, shape, out_of):
    data = RNG.normal(size=shape)
    expected = call(data.copy(), None)
    out = out_of(data)
    assert call(data, out) is out
    same_bits(out, expected)


def test_out_is_returned_and_filled_in_any_layout():
    rng = np.random.default_rng(3)
    a, b = rng.normal(size=(4, 8)), rng.normal(size=(4, 8))
    want = va.octonion_mul(a, b)
    for out in (np.zeros((4, 8)), np.zeros((8, 4)).T, np.zeros((4, 16))[:, ::2],
                np.zeros((4, 8), dtype=">f8"), np.frombuffer(bytearray(8 * 32 + 1), F64, 32, 1).reshape(4, 8)):
        assert va.octonion_mul(a, b, out=out) is out
        same_bits(np.array(out, dtype=F64), want)


def test_inputs_are_held_for_the_call():
    """A temporary input (made by conversion) and a buffer-backed view stay alive."""
    raw = bytearray(struct.pack("<16d", *range(16)))
    view = np.frombuffer(raw, dtype=F64).reshape(2, 8)
    same_bits(va.octonion_norm(view), list_reduction(vc.octonion_norm_n)(view))
    with pytest.raises(BufferError):
        raw.extend(b"x")  # exported to numpy: cannot be resized under the call


def test_import_without_numpy_says_what_to_install():
    proc = run_snippet(
        """
        import sys
        sys.modules["numpy"] = None  # as if numpy were not installed
        try:
            import vyr_spectral_arrays
        except ImportError as e:
            print(type(e).__name__, "|", e, "|", type(e.__cause__).__name__)
        import vyr_spectral_core
        print(vyr_spectral_core.add_n([1.0], [2.0]))
        """
    )
    assert proc.stdout.splitlines() == [
        "ImportError | vyr_spectral_arrays needs numpy (2.0 or later), which is not installed: "
        "install it with pip install 'vyr_spectral_core[arrays]' (or pip install numpy) | "
        "ModuleNotFoundError",
        "[3.0]",
    ]
