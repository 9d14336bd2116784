"""The array functions as numpy ufuncs: numpy's keywords and methods give the
bits of the plain call (or of a left fold, for reductions), other array types
get the call through their own protocol, and algebras are cached, hashable,
picklable objects."""

import pickle

import pytest

np = pytest.importorskip("numpy")

import vyr_spectral_arrays as va  # noqa: E402

F64 = np.float64
RNG = np.random.default_rng(11)
X = RNG.normal(size=(6, 8))
Y = RNG.normal(size=(6, 8))
CL3 = va.algebra([1, 1, 1])


def bits(x):
    return np.ascontiguousarray(np.asarray(x, dtype=F64)).view(np.uint64)


def same_bits(got, want):
    assert np.shape(got) == np.shape(want)
    assert np.array_equal(bits(got), bits(want)), f"\n got: {got!r}\nwant: {want!r}"


@pytest.mark.parametrize("ufunc, nin, signature", [
    (va.add, 2, None),
    (va.octonion_mul, 2, "(8),(8)->(8)"),
    (va.octonion_norm, 1, "(n)->()"),
    (va.norms_squared, 1, "(n)->()"),
    (va.spectral_flow_step, 1, "(2)->(2)"),
    (va.flow_trajectories, 1, "(2)->(m,2)"),
    (CL3.geometric_product, 2, "(8),(8)->(8)"),
    (CL3.sandwich, 2, "(8),(8)->(8)"),
])
def test_they_are_ufuncs(ufunc, nin, signature):
    assert isinstance(ufunc, np.ufunc)
    assert (ufunc.nin, ufunc.nout, ufunc.signature) == (nin, 1, signature)


# (call with numpy's keywords, the same result without them)
KEYWORDS = [
    (lambda: va.add(X, Y, out=(np.empty((6, 8)),)), lambda: va.add(X, Y)),
    (lambda: va.add(X, 1.0, where=X > 0, out=np.zeros((6, 8))),
     lambda: np.where(X > 0, va.add(X, 1.0), 0.0)),
    (lambda: va.octonion_mul(X.T, Y.T, axes=[(0,), (0,), (0,)]), lambda: va.octonion_mul(X, Y).T),
    (lambda: va.octonion_norm(X, axis=0), lambda: va.octonion_norm(X.T)),
    (lambda: va.norms_squared(X.T.copy(), axes=[(0,), ()]), lambda: va.norms_squared(X)),
    (lambda: CL3.geometric_product(X.T, Y.T, axes=[(0,), (0,), (0,)]),
     lambda: CL3.geometric_product(X, Y).T),
    (lambda: va.add(X.astype(np.float32), 1, dtype=F64), lambda: va.add(X.astype(np.float32), 1)),
    (lambda: va.add(X, Y, order="F"), lambda: va.add(X, Y)),
    (lambda: va.add(np.arange(4), 1.5, casting="same_kind"), lambda: np.arange(4) + 1.5),
    (lambda: va.add.outer(X[0], Y[0]), lambda: va.add(X[0][:, None], Y[0])),
]


@pytest.mark.parametrize("call, plain", KEYWORDS)
def test_numpy_keywords_give_the_plain_bits(call, plain):
    same_bits(call(), plain())


def test_order_and_subok_are_numpys():
    assert va.add(X, Y, order="F").flags.f_contiguous

    class Tagged(np.ndarray):
        pass

    tagged = X.view(Tagged)
    assert type(va.octonion_mul(tagged, Y)) is Tagged
    assert type(va.octonion_mul(tagged, Y, subok=False)) is np.ndarray


def left_fold(values):
    total = values[0]
    for v in values[1:]:
        total = total + v
    return total


def test_add_reduce_and_accumulate_are_left_folds():
    data = RNG.normal(size=1000) * 10.0 ** RNG.integers(-8, 8, size=1000)
    same_bits(va.add.reduce(data), left_fold(data.tolist()))
    same_bits(va.add.accumulate(data), [left_fold(data[: k + 1].tolist()) for k in range(1000)])
    matrix = data.reshape(10, 100)
    same_bits(va.add.reduce(matrix, axis=1), [left_fold(row) for row in matrix.tolist()])
    same_bits(va.add.reduceat(data, [0, 10, 500]),
              [left_fold(data[a:b].tolist()) for a, b in ((0, 10), (10, 500), (500, 1000))])
    counts = np.zeros(3)
    va.add.at(counts, [0, 2, 2, 2], [1.0, 0.5, 0.25, 0.125])
    same_bits(counts, [1.0, 0.0, 0.875])


def test_out_whose_items_overlap_is_filled_as_from_a_fresh_result():
    """An out whose items share memory (stride 0, sliding windows) gets a
    result computed into a fresh array and then copied: the same every time."""
    base = np.zeros(16)
    sliding = np.lib.stride_tricks.as_strided(base, shape=(6, 8), strides=(8, 8))
    runs = set()
    for _ in range(10):
        base[:] = 0.0
        va.octonion_mul(X, Y, out=sliding)
        runs.add(base.tobytes())
    expected = np.zeros(16)
    np.copyto(np.lib.stride_tricks.as_strided(expected, shape=(6, 8), strides=(8, 8)),
              va.octonion_mul(X, Y))
    assert runs == {expected.tobytes()}
    pinned = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(50_000,), strides=(0,))
    va.add(np.arange(50_000.0), 1.0, out=pinned)
    assert pinned[0] == 50_000.0


def test_other_array_types_decide():
    class Refuses:
        __array_ufunc__ = None

    for function in (va.add, va.octonion_mul, CL3.geometric_product):
        with pytest.raises(TypeError, match="does not support ufuncs"):
            function(Refuses(), X)
    masked = np.ma.masked_array(X, mask=X > 1.0)
    masked[0, 0] = np.ma.masked
    ours, numpys = va.octonion_norm(masked), np.vecdot(masked, masked)
    assert type(ours) is type(numpys) is np.ma.MaskedArray
    assert np.array_equal(np.ma.getmaskarray(ours), np.ma.getmaskarray(numpys))
    assert np.array_equal(np.ma.getmaskarray(va.add(masked, 1.0)),
                          np.ma.getmaskarray(np.add(masked, 1.0)))


def test_algebras_are_cached_hashable_and_picklable():
    again = va.algebra((1, 1, np.int8(1)))
    assert again is CL3 and hash(again) == hash(va.algebra(np.array([1, 1, 1])))
    assert repr(CL3) == "vyr_spectral_arrays.algebra([1, 1, 1])"
    assert (CL3.signature, CL3.dimension) == ((1, 1, 1), 8)
    assert va.algebra([1, -1]) != CL3 and va.algebra([]).dimension == 1
    for thing in (CL3, CL3.geometric_product, va.algebra([0, -1, 2]).sandwich, va.octonion_mul):
        assert pickle.loads(pickle.dumps(thing)) is thing
    with pytest.raises(TypeError):
        va.Algebra([1, 1, 1])
    with pytest.raises(AttributeError):
        CL3.dimension = 4
    with pytest.raises(AttributeError, match="no attribute 'wedge'"):
        CL3.wedge  # noqa: B018


def test_thin_functions_are_the_algebras():
    same_bits(va.geometric_product(X, Y, [1, 1, 1]), CL3.geometric_product(X, Y))
    same_bits(va.sandwich(X, Y, (1, 1, 1), out=np.empty((6, 8))), CL3.sandwich(X, Y))
    starts = RNG.normal(size=(3, 2))
    out = np.empty((3, 5, 2))
    assert va.spectral_flow(starts, 4, out=out) is out
    same_bits(out, va.flow_trajectories(starts, out=np.empty((3, 5, 2))))


def test_blades_names_and_other_layouts():
    pga = va.algebra([0, 1, 1, 1])
    assert CL3.blades == ("1", "e0", "e1", "e01", "e2", "e02", "e12", "e012")
    assert pga.index("e123") == 14 and pga.blades[pga.index("e02")] == "e02"
    same_bits(CL3.component(X, "e12"), X[:, 6])
    assert CL3.format([1.0, 2.0, 0, 0, 0, 0, -0.5, 0]) == "1.0 + 2.0 e0 - 0.5 e12"
    assert CL3.format(np.zeros(8)) == "0.0"
    four = va.algebra([1, 1, 1, 1])
    masks = np.arange(16.0)
    assert four.to_layout(masks, "kingdon").tolist() == [0, 1, 2, 4, 8, 3, 5, 6, 9, 10, 12, 7, 11,
                                                        13, 14, 15]
    assert four.to_layout(masks, "clifford").tolist() == [0, 1, 2, 4, 8, 3, 5, 9, 6, 10, 12, 7, 11,
                                                         13, 14, 15]
    for layout in ("kingdon", "clifford"):
        same_bits(four.from_layout(four.to_layout(X[:2, :8].repeat(2, 1), layout), layout),
                  X[:2, :8].repeat(2, 1))
