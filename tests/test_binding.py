"""Argument binding, argument conversion and result building."""

import array
import collections
import ctypes
import itertools
import sys

import pytest

import vyr_spectral_core as vsc
from conftest import assert_same, bits, expect_fault, raised
from protocols import FailingIter, Float, GetItemOnly, Index, MyTypeError, NoIter, Num, Raising, Seq, Unprintable
from exported import PARAMETERS


# The functions that take arguments: name -> parameter names.
PARAMS = {name: params for name, params in PARAMETERS.items() if params}

VALID = {
    "octonion_mul": ([1.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 3.0], [0.5] * 8),
    "octonion_mul_n": ([[1.0] * 8, [2.0] * 8], [[0.5] * 8, [0.25] * 8]),
    "octonion_norm_n": ([[3.0, 4.0], [1.0]],),
    "spectral_flow_step": (0.5, 1.5),
    "spectral_flow_n": (0.5, 1.5, 3),
    "spectral_flow_batch": ([(0.5, 1.5), (0.0, 1.0)], 3),
    "e8_norms_squared_n": ([[1.0, 2.0], [3.0]],),
    "geometric_product_n": ([[1.0, 2.0, 3.0, 4.0]], [[0.5, 1.0, -1.0, 2.0]], [1, -1]),
    "add_n": ([1.0, 2.0], [0.5, 0.25]),
}

BAD = object()  # a value that fails every conversion


def call(name, *args, **kwargs):
    return getattr(vsc, name)(*args, **kwargs)


# --- the interpreter's own conversion calls, for their exact messages ------

def _capi(name, restype):
    fn = getattr(ctypes.pythonapi, name)
    fn.restype, fn.argtypes = restype, [ctypes.py_object]
    return fn


_PyFloat_AsDouble = _capi("PyFloat_AsDouble", ctypes.c_double)
_PyLong_AsLong = _capi("PyLong_AsLong", ctypes.c_long)
_PyNumber_Index = _capi("PyNumber_Index", ctypes.py_object)
_PyLong_AsULL = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)


def interp_error(fn, obj):
    e = raised(fn, obj)
    return type(e), str(e)


def float_error(obj):
    return interp_error(_PyFloat_AsDouble, obj)


def size_error(obj):
    if isinstance(obj, int):
        return interp_error(_PyLong_AsULL, obj)
    return interp_error(lambda o: _PyLong_AsULL(_PyNumber_Index(o)), obj)


def long_error(obj):
    return interp_error(_PyLong_AsLong, obj)


# ---------------------------------------------------------------------------
# Binding
# ---------------------------------------------------------------------------


def _list_names(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def missing_message(fname, names):
    word = "argument" if len(names) == 1 else "arguments"
    return f"{fname}() missing {len(names)} required positional {word}: {_list_names(names)}"


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_too_many_positional_arguments(name):
    n = len(PARAMS[name])
    args = VALID[name] + (1,)
    e = raised(call, name, *args)
    assert type(e) is TypeError
    assert str(e) == f"{name}() takes {n} positional arguments but {n + 1} were given"
    # keywords are not looked at once there are too many positional arguments
    e = raised(call, name, *args, 2, nope=1, **{PARAMS[name][0]: 1})
    assert type(e) is TypeError
    assert str(e) == f"{name}() takes {n} positional arguments but {n + 2} were given"


def test_too_many_positional_examples():
    e = raised(vsc.octonion_mul, [1.0] * 8, [1.0] * 8, 3)
    assert str(e) == "octonion_mul() takes 2 positional arguments but 3 were given"
    e = raised(vsc.octonion_norm_n, [], [])
    assert str(e) == "octonion_norm_n() takes 1 positional arguments but 2 were given"


@pytest.mark.parametrize(
    "name,index",
    [(name, i) for name in sorted(PARAMS) for i in range(len(PARAMS[name]))],
)
def test_keyword_repeating_a_positional_argument(name, index):
    pname = PARAMS[name][index]
    # Later slots stay empty: the duplicate is reported before the missing ones,
    # and no conversion runs (the values could not be converted).
    args = (BAD,) * (index + 1)
    e = raised(call, name, *args, **{pname: BAD})
    assert type(e) is TypeError
    assert str(e) == f"{name}() got multiple values for argument '{pname}'"


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_unexpected_keyword(name):
    e = raised(call, name, nope=BAD)
    assert type(e) is TypeError
    assert str(e) == f"{name}() got an unexpected keyword argument 'nope'"
    e = raised(call, name, *VALID[name], nope=1)
    assert str(e) == f"{name}() got an unexpected keyword argument 'nope'"


@pytest.mark.parametrize(
    "kwargs,message",
    [
        ({"A": [], "b": []}, "add_n() got an unexpected keyword argument 'A'"),
        ({"b": [], "zz": 1, "a": []}, "add_n() got an unexpected keyword argument 'zz'"),
        ({"zz": 1, "yy": 2}, "add_n() got an unexpected keyword argument 'zz'"),
        ({"yy": 2, "zz": 1}, "add_n() got an unexpected keyword argument 'yy'"),
        ({"a ": []}, "add_n() got an unexpected keyword argument 'a '"),
        ({"\u03a6": 1}, "add_n() got an unexpected keyword argument '\u03a6'"),
        ({"a\x00": 1}, "add_n() got an unexpected keyword argument 'a\x00'"),
    ],
)
def test_unexpected_keyword_cases(kwargs, message):
    e = raised(vsc.add_n, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


def test_keyword_with_lone_surrogate_is_unexpected():
    e = raised(vsc.add_n, [1.0], **{"\udcff": 1})
    assert type(e) is TypeError
    assert str(e) == "add_n() got an unexpected keyword argument '\ufffd'"


def test_keyword_order_decides_between_duplicate_and_unknown():
    e = raised(vsc.add_n, [1.0], a=[1.0], zz=1)
    assert str(e) == "add_n() got multiple values for argument 'a'"
    e = raised(vsc.add_n, [1.0], zz=1, a=[1.0])
    assert str(e) == "add_n() got an unexpected keyword argument 'zz'"


def test_unknown_keyword_before_missing_arguments():
    e = raised(vsc.octonion_mul, c=1)
    assert str(e) == "octonion_mul() got an unexpected keyword argument 'c'"
    e = raised(vsc.spectral_flow_n, 1.0, c=1)
    assert str(e) == "spectral_flow_n() got an unexpected keyword argument 'c'"


def _missing_cases():
    for name, params in sorted(PARAMS.items()):
        n = len(params)
        for given in itertools.product([False, True], repeat=n):
            if all(given):
                continue
            # a positional prefix, the rest of the given ones by keyword
            k = 0
            while k < n and given[k]:
                k += 1
            yield name, k, tuple(p for p, g in zip(params, given) if g and params.index(p) >= k)


@pytest.mark.parametrize("name,k,keywords", list(_missing_cases()))
def test_missing_arguments(name, k, keywords):
    params = PARAMS[name]
    e = raised(call, name, *(BAD,) * k, **{p: BAD for p in keywords})
    assert type(e) is TypeError
    missing = [p for i, p in enumerate(params) if i >= k and p not in keywords]
    assert str(e) == missing_message(name, missing)


@pytest.mark.parametrize(
    "fn,args,kwargs,message",
    [
        (vsc.spectral_flow_n, (), {},
         "spectral_flow_n() missing 3 required positional arguments: 'x0', 'y0', and 'n_steps'"),
        (vsc.spectral_flow_n, (1.0,), {},
         "spectral_flow_n() missing 2 required positional arguments: 'y0' and 'n_steps'"),
        (vsc.spectral_flow_n, (1.0,), {"n_steps": 3},
         "spectral_flow_n() missing 1 required positional argument: 'y0'"),
        (vsc.octonion_norm_n, (), {},
         "octonion_norm_n() missing 1 required positional argument: 'batch'"),
        (vsc.geometric_product_n, (), {"b": []},
         "geometric_product_n() missing 2 required positional arguments: 'a' and 'signature'"),
    ],
)
def test_missing_argument_examples(fn, args, kwargs, message):
    e = raised(fn, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_every_parameter_by_keyword(name):
    params = PARAMS[name]
    expected = call(name, *VALID[name])
    got = call(name, **dict(reversed(list(zip(params, VALID[name])))))
    assert_same(got, expected)
    # mixed: first by position, the rest by keyword
    got = call(name, VALID[name][0], **dict(zip(params[1:], VALID[name][1:])))
    assert_same(got, expected)


def test_keyword_example():
    assert_same(vsc.spectral_flow_n(n_steps=2, y0=1.0, x0=0.5), vsc.spectral_flow_n(0.5, 1.0, 2))


def test_keyword_arguments_through_a_dict_subclass():
    class D(dict):
        pass

    assert_same(vsc.add_n(**D(b=[2.0], a=[1.0])), [3.0])


def test_no_argument_functions_refuse_arguments():
    import os

    e1 = raised(os.getpid, 1)
    e2 = raised(os.getpid, x=1)
    for fn in (vsc.e8_min_norm_squared, vsc.leech_min_norm_squared):
        e = raised(fn, 1)
        assert type(e) is TypeError
        assert str(e) == str(e1).replace("posix.getpid", "vyr_spectral_core." + fn.__name__)
        e = raised(fn, x=1)
        assert type(e) is TypeError
        assert str(e) == str(e2).replace("posix.getpid", "vyr_spectral_core." + fn.__name__)


# ---------------------------------------------------------------------------
# Sequence conversions: str refusal and non-sequences
# ---------------------------------------------------------------------------

STR_MSG = "Can't extract `str` to `Vec`"


class MyStr(str):
    pass


def _str_cases():
    for s in ("abc", "", MyStr("12")):
        yield lambda s=s: vsc.add_n(s, [1.0]), "a"
        yield lambda s=s: vsc.add_n([1.0], s), "b"
        yield lambda s=s: vsc.octonion_mul(s, [1.0] * 8), "a"
        yield lambda s=s: vsc.octonion_mul([0.0] * 8, s), "b"
        yield lambda s=s: vsc.octonion_mul_n(s, []), "a_batch"
        yield lambda s=s: vsc.octonion_mul_n([], s), "b_batch"
        yield lambda s=s: vsc.octonion_mul_n([[1.0] * 8], [[1.0] * 8, s]), "b_batch"
        yield lambda s=s: vsc.octonion_norm_n(s), "batch"
        yield lambda s=s: vsc.octonion_norm_n([[1.0], s]), "batch"
        yield lambda s=s: vsc.e8_norms_squared_n(s), "points"
        yield lambda s=s: vsc.e8_norms_squared_n([s]), "points"
        yield lambda s=s: vsc.geometric_product_n(s, [], []), "a"
        yield lambda s=s: vsc.geometric_product_n([s], [], []), "a"
        yield lambda s=s: vsc.geometric_product_n([], [s], []), "b"
        yield lambda s=s: vsc.geometric_product_n([], [], s), "signature"
        yield lambda s=s: vsc.spectral_flow_batch(s, 1), "starts"


@pytest.mark.parametrize("fn,pname", list(_str_cases()))
def test_str_is_refused_as_a_sequence(fn, pname):
    e = raised(fn)
    assert type(e) is TypeError
    assert str(e) == f"argument '{pname}': {STR_MSG}"
    assert e.__cause__ is None


def test_str_examples():
    assert str(raised(vsc.add_n, "abc", [1.0])) == "argument 'a': Can't extract `str` to `Vec`"
    assert str(raised(vsc.e8_norms_squared_n, ["ab"])) == (
        "argument 'points': Can't extract `str` to `Vec`"
    )
    assert str(raised(vsc.geometric_product_n, [[1.0]], [[1.0]], "++")) == (
        "argument 'signature': Can't extract `str` to `Vec`"
    )


def test_str_items_of_point_pairs_and_signatures_are_not_str_checked():
    e = raised(vsc.spectral_flow_batch, ["ab"], 1)
    assert type(e) is TypeError
    assert str(e) == "argument 'starts': 'str' object cannot be converted to 'PyTuple'"
    e = raised(vsc.geometric_product_n, [], [], ["a"])
    assert type(e) is TypeError
    assert str(e) == "argument 'signature': " + long_error("a")[1]


def test_str_items_of_a_float_vector_are_floats_that_fail():
    e = raised(vsc.add_n, [1.0, "x"], [1.0, 2.0])
    assert type(e) is TypeError
    assert str(e) == "argument 'a': " + float_error("x")[1]
    e = raised(vsc.add_n, [1.0, 2.0], ["1.5"])
    assert str(e) == "argument 'b': " + float_error("1.5")[1]


class Outer:
    class Inner:
        pass


class DictWithGetitem(dict):
    def __getitem__(self, i):
        return 1.0


def _gen():
    yield 1.0


NON_SEQUENCES = [
    (5, "int"),
    (2.5, "float"),
    (None, "NoneType"),
    ({0: 1.0}, "dict"),
    ({1.0}, "set"),
    (frozenset(), "frozenset"),
    (_gen(), "generator"),
    (iter([1.0]), "list_iterator"),
    (DictWithGetitem(), "DictWithGetitem"),
    (Outer.Inner(), "Outer.Inner"),
    (collections.OrderedDict(), "OrderedDict"),
]


def _non_sequence_cases():
    for obj, tname in NON_SEQUENCES:
        yield (lambda o=obj: vsc.add_n(o, [1.0])), "a", tname
        yield (lambda o=obj: vsc.add_n([1.0], o)), "b", tname
        yield (lambda o=obj: vsc.octonion_mul_n([[0.0] * 8], o)), "b_batch", tname
        yield (lambda o=obj: vsc.octonion_norm_n([o])), "batch", tname
        yield (lambda o=obj: vsc.e8_norms_squared_n(o)), "points", tname
        yield (lambda o=obj: vsc.geometric_product_n([], [], o)), "signature", tname
        yield (lambda o=obj: vsc.spectral_flow_batch(o, 1)), "starts", tname


@pytest.mark.parametrize("fn,pname,tname", list(_non_sequence_cases()))
def test_non_sequence_is_refused(fn, pname, tname):
    e = raised(fn)
    assert type(e) is TypeError
    assert str(e) == f"argument '{pname}': '{tname}' object cannot be converted to 'Sequence'"
    assert e.__cause__ is None


def test_non_sequence_example():
    e = raised(vsc.add_n, 5, [1.0])
    assert str(e) == "argument 'a': 'int' object cannot be converted to 'Sequence'"


def test_sequence_without_iterator_fails_in_get_iter():
    _, msg = interp_error(iter, NoIter())
    e = raised(vsc.add_n, NoIter(), [1.0])
    assert type(e) is TypeError
    assert str(e) == "argument 'a': " + msg


# ---------------------------------------------------------------------------
# Accepted sequences and numbers
# ---------------------------------------------------------------------------


class IntWithFloat(int):
    def __float__(self):
        return 7.5


class IntWithIndex(int):
    def __index__(self):
        return 5


@pytest.mark.parametrize(
    "a,b,expected",
    [
        ((1, 2), range(2), [1.0, 3.0]),
        ([True, 2], [0.5, 0.5], [1.5, 2.5]),
        (b"\x01\x02", [0.0, 0.0], [1.0, 2.0]),
        (bytearray(b"\x03"), (0.5,), [3.5]),
        (GetItemOnly(1.0, 2.0), [1.0, 1.0], [2.0, 3.0]),
        ([Float(1.25)], [Index(3)], [4.25]),
        ([IntWithFloat(1)], [False], [7.5]),
        ([2**53 + 1], [0.0], [float(2**53 + 1)]),
        ([-1], [-1.0], [-2.0]),
        ([Float(-1.0)], [0.0], [-1.0]),
        (array.array("d", [0.5, 1.5]), [1.0, 1.0], [1.5, 2.5]),
        (memoryview(b"\x05"), [1.0], [6.0]),
    ],
)
def test_accepted_float_vectors(a, b, expected):
    assert_same(vsc.add_n(a, b), expected)


def test_numpy_values_are_accepted():
    np = pytest.importorskip("numpy")
    assert_same(vsc.add_n(np.array([1.5, 2.5]), [np.float32(0.5), np.int64(2)]), [2.0, 4.5])
    assert_same(vsc.spectral_flow_n(np.float64(0.0), 1, np.int64(1)), [(0.0, 1.0), (1.0, 1.0)])


@pytest.mark.parametrize("name", ["numpy.ndarray", "array.array"])
def test_buffer_of_a_class_named_like_an_array_is_not_read(name):
    # Only the real array types are read from their buffers.  Any other class
    # is iterated, and its iteration decides the values and the length.
    data = array.array("d", [100.0, 200.0, 300.0, 400.0])
    rows = memoryview(data).cast("B").cast("d", (2, 2))
    vector = type(name, (Seq,), {"__buffer__": lambda self, flags: memoryview(data)})
    batch = type(name, (Seq,), {"__buffer__": lambda self, flags: rows})
    assert_same(vsc.add_n(vector([1.0, 2.0]), [0.0, 0.0]), [1.0, 2.0])
    assert_same(vsc.octonion_norm_n(batch([[3.0, 4.0]])), [5.0])


def _strided(np, P):
    """Views of the 2-D array P that are not C-contiguous."""
    return {
        "every other row": P[::2],
        "every other column": P[:, ::2],
        "first columns": P[:, : P.shape[1] // 2],
        "transposed": P.T,
        "Fortran-ordered": np.asfortranarray(P),
        "reversed": P[::-1, ::-1],
    }


@pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "u1"])
def test_strided_arrays_give_the_values_that_iteration_gives(dtype):
    np = pytest.importorskip("numpy")
    P = np.random.default_rng(5).uniform(-100, 100, (12, 16)).astype(dtype)
    for X in _strided(np, P).values():
        assert_same(vsc.e8_norms_squared_n(X), vsc.e8_norms_squared_n(X.tolist()))
        column = X[:, 1]
        assert_same(vsc.add_n(column, column), vsc.add_n(column.tolist(), column.tolist()))
    view = memoryview(array.array("q", range(-9, 9)))[::-3]
    assert_same(vsc.add_n(view, [0.5] * 6), [x + 0.5 for x in view.tolist()])


def test_float_argument_of_minus_one_is_a_value():
    assert_same(vsc.spectral_flow_step(-1.0, -1.0), vsc.spectral_flow_step(-1.0, 1.0))
    assert_same(vsc.spectral_flow_step(-1, Float(-1.0)), vsc.spectral_flow_step(-1.0, -1.0))
    assert_same(vsc.spectral_flow_n(Index(-1), -1, 0), [(-1.0, -1.0)])


def test_float_argument_accepts_int_bool_index_and_dunder_float():
    assert_same(vsc.spectral_flow_step(0, True), (1.0, 1.0))
    assert_same(vsc.spectral_flow_step(Index(0), Float(1.0)), (1.0, 1.0))
    assert_same(vsc.spectral_flow_step(IntWithFloat(0), 1.0), vsc.spectral_flow_step(7.5, 1.0))


def test_batch_items_may_be_any_sequences():
    got = vsc.e8_norms_squared_n(((3, 4), b"\x03\x04", range(3), GetItemOnly(2.0), [True]))
    assert_same(got, [25.0, 25.0, 5.0, 4.0, 1.0])


@pytest.mark.parametrize(
    "obj,tname",
    [([0.0, 1.0], "list"), (5, "int"), (None, "NoneType"), ("ab", "str"), (Outer.Inner(), "Outer.Inner")],
)
def test_point_pair_must_be_a_tuple(obj, tname):
    e = raised(vsc.spectral_flow_batch, [(0.0, 1.0), obj], 3)
    assert type(e) is TypeError
    assert str(e) == f"argument 'starts': '{tname}' object cannot be converted to 'PyTuple'"


def test_point_pair_list_example():
    e = raised(vsc.spectral_flow_batch, [[0.0, 1.0]], 3)
    assert str(e) == "argument 'starts': 'list' object cannot be converted to 'PyTuple'"


@pytest.mark.parametrize("pair", [(), (1.0,), (0.0, 1.0, 2.0), tuple(range(10))])
def test_point_pair_of_wrong_length(pair):
    e = raised(vsc.spectral_flow_batch, [pair], 3)
    assert type(e) is ValueError
    assert str(e) == f"expected tuple of length 2, but got tuple of length {len(pair)}"


def test_point_pair_subclasses_and_numbers():
    Point = collections.namedtuple("Point", "x y")

    class T(tuple):
        pass

    got = vsc.spectral_flow_batch([Point(0, 1), T((0.5, True)), (Index(0), Float(1.0))], 1)
    assert_same(
        got,
        [vsc.spectral_flow_n(0.0, 1.0, 1), vsc.spectral_flow_n(0.5, 1.0, 1), vsc.spectral_flow_n(0.0, 1.0, 1)],
    )


def test_point_pair_items_convert_in_order():
    e = raised(vsc.spectral_flow_batch, [("a", None)], 1)
    assert type(e) is TypeError
    assert str(e) == "argument 'starts': " + float_error("a")[1]
    e = raised(vsc.spectral_flow_batch, [(1.0, None)], 1)
    assert str(e) == "argument 'starts': " + float_error(None)[1]
    e = raised(vsc.spectral_flow_batch, [(10**400, "a")], 1)
    assert type(e) is OverflowError
    assert str(e) == float_error(10**400)[1]


# ---------------------------------------------------------------------------
# Signed 8-bit integers
# ---------------------------------------------------------------------------

RANGE_MSG = "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [128, 200, -129, 255, 256, -256, 2**31, -(2**62)])
def test_signature_entry_out_of_range(value):
    e = raised(vsc.geometric_product_n, [[1.0]], [[1.0]], [1, value])
    assert type(e) is OverflowError
    assert str(e) == RANGE_MSG


def test_signature_entry_beyond_c_long():
    for value in (2**63, -(2**63) - 1, 2**70):
        e = raised(vsc.geometric_product_n, [[1.0]], [[1.0]], [value])
        assert type(e) is OverflowError
        assert str(e) == long_error(value)[1]


@pytest.mark.parametrize(
    "entry,square",
    [(127, 127.0), (-128, -128.0), (-1, -1.0), (True, 1.0), (False, 0.0),
     (Index(3), 3.0), (IntWithIndex(2), 2.0)],
)
def test_signature_entries_accepted(entry, square):
    # e_0 * e_0 = signature[0]
    assert_same(vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], [entry]), [[square, 0.0]])


def test_signature_may_be_any_sequence():
    for sig in ((1, -1), range(1, 3), b"\x01\x02", bytearray(b"\x01\x01"), GetItemOnly(1, 1)):
        got = vsc.geometric_product_n([[0.0, 0.0, 0.0, 1.0]], [[0.0, 0.0, 0.0, 1.0]], sig)
        s = list(sig)
        assert_same(got, [[-float(s[0]) * s[1], 0.0, 0.0, 0.0]])


@pytest.mark.parametrize("entry", [1.0, "1", None, [1]])
def test_signature_entry_must_be_integer(entry):
    e = raised(vsc.geometric_product_n, [[1.0]], [[1.0]], [entry])
    assert type(e) is TypeError
    assert str(e) == "argument 'signature': " + long_error(entry)[1]


def test_signature_errors_come_before_any_product():
    # a short multivector would fault, but the signature fails first
    e = raised(vsc.geometric_product_n, [[1.0]], [[1.0]], [1, 1, 200])
    assert type(e) is OverflowError


# ---------------------------------------------------------------------------
# Unsigned sizes
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n_steps,length",
    [(True, 2), (False, 1), (Index(2), 3), (IntWithIndex(3), 4), (0, 1)],
)
def test_n_steps_accepted(n_steps, length):
    traj = vsc.spectral_flow_n(0.0, 1.0, n_steps)
    assert len(traj) == length
    assert_same(traj, vsc.spectral_flow_n(0.0, 1.0, length - 1))


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64)])
def test_n_steps_out_of_unsigned_range(value):
    etype, msg = size_error(value)
    for fn in (lambda: vsc.spectral_flow_n(0.0, 1.0, value), lambda: vsc.spectral_flow_batch([], value)):
        e = raised(fn)
        assert type(e) is OverflowError is etype
        assert str(e) == msg
        assert not str(e).startswith("argument")


@pytest.mark.parametrize("value", [2.0, "3", None, [1], 1.5])
def test_n_steps_must_be_integer(value):
    etype, msg = size_error(value)
    assert etype is TypeError
    for fn in (lambda: vsc.spectral_flow_n(0.0, 1.0, value), lambda: vsc.spectral_flow_batch([], value)):
        e = raised(fn)
        assert type(e) is TypeError
        assert str(e) == "argument 'n_steps': " + msg


def test_n_steps_of_all_ones_is_a_value_not_an_error():
    assert str(expect_fault(vsc.spectral_flow_n, 0.0, 1.0, 2**64 - 1)) == "capacity overflow"


# ---------------------------------------------------------------------------
# Float conversion errors and the argument-name wrapping
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("value", ["a", None, [1.0], object()])
def test_float_argument_type_errors_name_the_argument(value):
    _, msg = float_error(value)
    for fn, pname in (
        (lambda: vsc.spectral_flow_step(value, 1.0), "x"),
        (lambda: vsc.spectral_flow_step(1.0, value), "y"),
        (lambda: vsc.spectral_flow_n(value, 1.0, 1), "x0"),
        (lambda: vsc.spectral_flow_n(1.0, value, 1), "y0"),
    ):
        e = raised(fn)
        assert type(e) is TypeError
        assert str(e) == f"argument '{pname}': {msg}"
        assert e.__cause__ is None


def test_dunder_float_returning_non_float_is_a_named_type_error():
    obj = Float("1.0")
    _, msg = float_error(obj)
    e = raised(vsc.add_n, [obj], [1.0])
    assert type(e) is TypeError
    assert str(e) == "argument 'a': " + msg


def test_int_too_large_for_a_double_passes_unchanged():
    for fn in (lambda: vsc.spectral_flow_step(10**400, 1.0), lambda: vsc.add_n([1.0], [-(10**400)])):
        e = raised(fn)
        assert type(e) is OverflowError
        assert str(e) == float_error(10**400)[1]


def test_type_error_is_rewrapped_with_cause_carried_over():
    root = KeyError("root")
    inner = TypeError("boom")
    inner.__cause__ = root
    e = raised(vsc.spectral_flow_step, 1.0, Raising(inner))
    assert type(e) is TypeError
    assert e is not inner
    assert str(e) == "argument 'y': boom"
    assert e.__cause__ is root
    assert e.__context__ is not inner


def test_type_error_with_several_args_uses_its_str():
    e = raised(vsc.add_n, [Raising(TypeError("x", 2))], [])
    assert str(e) == "argument 'a': " + str(TypeError("x", 2))


@pytest.mark.parametrize(
    "exc",
    [MyTypeError("sub"), ValueError("v"), OverflowError("o"), ZeroDivisionError("z"),
     KeyboardInterrupt("k"), ArithmeticError()],
)
def test_other_errors_pass_unchanged(exc):
    for fn in (
        lambda: vsc.spectral_flow_step(Raising(exc), 1.0),
        lambda: vsc.add_n([1.0], [Raising(exc)]),
        lambda: vsc.e8_norms_squared_n([[1.0], [Raising(exc)]]),
        lambda: vsc.spectral_flow_batch([(1.0, Raising(exc))], 1),
        lambda: vsc.spectral_flow_n(0.0, 1.0, Raising(exc)),
    ):
        e = raised(fn)
        assert e is exc


def test_index_type_error_names_n_steps():
    e = raised(vsc.spectral_flow_n, 0.0, 1.0, Raising(TypeError("idx")))
    assert type(e) is TypeError
    assert str(e) == "argument 'n_steps': idx"


def test_unprintable_type_error(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    e = raised(vsc.add_n, [Raising(TypeError(Unprintable()))], [])
    assert type(e) is TypeError
    assert str(e) == "argument 'a': <unprintable TypeError object>"
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError


# ---------------------------------------------------------------------------
# Size hints and iteration
# ---------------------------------------------------------------------------


def test_length_error_is_ignored():
    for exc in (ValueError("len"), TypeError("len"), OverflowError("len")):
        assert_same(vsc.add_n(Seq([1.0, 2.0], len_exc=exc), [1.0, 1.0]), [2.0, 3.0])
        assert_same(vsc.e8_norms_squared_n(Seq([Seq([3.0, 4.0], len_exc=exc)], len_exc=exc)), [25.0])
        assert_same(
            vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], Seq([2], len_exc=exc)), [[2.0, 0.0]]
        )
        assert_same(vsc.spectral_flow_batch(Seq([(0.0, 1.0)], len_exc=exc), 0), [[(0.0, 1.0)]])


@pytest.mark.parametrize("length", [0, 1, pytest.param(2**40, marks=pytest.mark.huge_alloc), -1, 2**63, 2**100])
def test_size_hint_is_only_a_hint(length):
    assert_same(vsc.add_n(Seq([1.0, 2.0, 3.0], length=length), [1.0] * 3), [2.0, 3.0, 4.0])
    assert_same(vsc.e8_norms_squared_n(Seq([[2.0], [3.0], []], length=length)), [4.0, 9.0, -0.0])
    assert_same(
        vsc.spectral_flow_batch(Seq([(0.0, 1.0)] * 3, length=length), 0), [[(0.0, 1.0)]] * 3
    )
    assert_same(
        vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], Seq([3], length=length)), [[3.0, 0.0]]
    )


@pytest.mark.huge_alloc
def test_largest_hints_below_the_reservation_bound_convert():
    assert_same(vsc.add_n(Seq([1.0, 2.0, 3.0], length=2**60 - 1), [0.0] * 3), [1.0, 2.0, 3.0])
    assert_same(vsc.spectral_flow_batch(Seq([(0.0, 1.0)], length=2**59 - 1), 0), [[(0.0, 1.0)]])
    assert_same(
        vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], Seq([3], length=2**63 - 8)),
        [[3.0, 0.0]],
    )


@pytest.mark.parametrize(
    "fn",
    [
        lambda: vsc.add_n(Seq([1.0], length=2**60), [1.0]),
        lambda: vsc.add_n([1.0], Seq([1.0], length=sys.maxsize)),
        lambda: vsc.e8_norms_squared_n([Seq([1.0], length=2**60)]),
        lambda: vsc.e8_norms_squared_n(Seq([[1.0]], length=sys.maxsize)),
        lambda: vsc.spectral_flow_batch(Seq([(0.0, 1.0)], length=2**59), -1),
        lambda: vsc.octonion_mul(Seq([1.0] * 8, length=2**61), [1.0] * 8),
    ],
)
def test_size_hint_beyond_reservation_bound_is_a_capacity_fault(fn):
    assert str(expect_fault(fn)) == "capacity overflow"


def test_iterator_error_midway():
    inner = TypeError("mid")
    e = raised(vsc.add_n, FailingIter([1.0, 2.0, 3.0], 2, inner), [])
    assert type(e) is TypeError and e is not inner
    assert str(e) == "argument 'a': mid"
    exc = ValueError("mid")
    assert raised(vsc.add_n, FailingIter([1.0, 2.0], 1, exc), []) is exc
    exc = MyTypeError("mid")
    assert raised(vsc.e8_norms_squared_n, [[1.0], FailingIter([1.0], 1, exc)]) is exc
    e = raised(vsc.spectral_flow_batch, FailingIter([(0.0, 1.0)], 0, TypeError("p")), 1)
    assert str(e) == "argument 'starts': p"
    e = raised(vsc.geometric_product_n, [], [], FailingIter([1], 1, TypeError("s")))
    assert str(e) == "argument 'signature': s"


def test_iter_raising_type_error_is_named():
    class BadIter:
        def __getitem__(self, i):
            return 1.0

        def __iter__(self):
            raise TypeError("no iter")

    e = raised(vsc.octonion_norm_n, [BadIter()])
    assert str(e) == "argument 'batch': no iter"


# ---------------------------------------------------------------------------
# Conversion order
# ---------------------------------------------------------------------------


def logging_numbers(log):
    """Numbers that append their tag to ``log`` when converted."""
    return lambda tag, value=1.0: Num(value, lambda: log.append(tag))


def test_arguments_convert_in_order_and_completely():
    log = []
    L = logging_numbers(log)
    vsc.add_n([L("a0"), L("a1"), L("a2")], [L("b0")])
    assert log == ["a0", "a1", "a2", "b0"]

    log.clear()
    vsc.octonion_mul_n([[L(f"a{i}", 0.0) for i in range(8)]] * 2, [[L("b", 0.0)]])
    assert log == [f"a{i}" for i in range(8)] * 2 + ["b"]

    log.clear()
    vsc.geometric_product_n([[L("a"), 0.0]], [[L("b"), 0.0]], [L("s")])
    assert log == ["a", "b", "s"]

    log.clear()
    vsc.spectral_flow_batch([(L("x"), L("y"))], L("n", 1))
    assert log == ["x", "y", "n"]


def test_first_failing_argument_ends_the_call():
    log = []
    L = logging_numbers(log)
    e = raised(vsc.spectral_flow_n, "a", "b", -1)
    assert str(e) == "argument 'x0': " + float_error("a")[1]
    e = raised(vsc.spectral_flow_n, L("x"), "b", L("n"))
    assert str(e) == "argument 'y0': " + float_error("b")[1]
    assert log == ["x"]
    log.clear()
    e = raised(vsc.add_n, ["x"], [L("b")])
    assert log == []
    e = raised(vsc.geometric_product_n, "s", 5, [200])
    assert str(e) == "argument 'a': " + STR_MSG
    e = raised(vsc.spectral_flow_batch, [(0.0, 1.0, 2.0)], -1)
    assert type(e) is ValueError
    e = raised(vsc.spectral_flow_batch, [], -1)
    assert type(e) is OverflowError


def test_conversion_precedes_kernel_faults():
    # 'b' is too short for the product, but 'a' fails its conversion first
    e = raised(vsc.octonion_mul, [1.0] * 7 + ["x"], [1.0])
    assert type(e) is TypeError
    assert str(e).startswith("argument 'a': ")


# ---------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------


def _exact_types(obj):
    if type(obj) is list:
        return all(_exact_types(v) for v in obj)
    if type(obj) is tuple:
        return len(obj) == 2 and all(type(v) is float for v in obj)
    return type(obj) is float


@pytest.mark.parametrize("name", sorted(PARAMS) + ["e8_min_norm_squared", "leech_min_norm_squared"])
def test_results_are_new_objects_of_exact_types(name):
    args = VALID.get(name, ())
    r1 = call(name, *args)
    r2 = call(name, *args)
    assert _exact_types(r1)
    assert_same(r1, r2)
    assert r1 is not r2
    if isinstance(r1, list):
        for x, y in zip(r1, r2):
            if isinstance(x, (list, tuple)):
                assert x is not y


def test_result_shapes():
    assert type(vsc.spectral_flow_step(0.0, 1.0)) is tuple
    traj = vsc.spectral_flow_n(0.0, 1.0, 2)
    assert type(traj) is list and all(type(p) is tuple and len(p) == 2 for p in traj)
    prod = vsc.octonion_mul([1.0] * 8, [1.0] * 8)
    assert type(prod) is list and len(prod) == 8
    assert type(vsc.e8_min_norm_squared()) is float
    batch = vsc.spectral_flow_batch([(0.0, 1.0)] * 3, 2)
    assert len({id(t) for t in batch}) == 3


def test_inputs_are_not_modified():
    a = [[1.0, 2.0], [3.0, 4.0]]
    b = [[0.5, 0.5], [1.0, 1.0]]
    vsc.geometric_product_n(a, b, [1])
    vsc.add_n(a[0], b[0])
    assert a == [[1.0, 2.0], [3.0, 4.0]] and b == [[0.5, 0.5], [1.0, 1.0]]


def test_bits_helper_distinguishes_signed_zero():
    assert bits(0.0) != bits(-0.0)
    assert bits(float("nan")) == bits(-float("nan"))


# ---------------------------------------------------------------------------
# References: arguments are borrowed, results hold exactly their own references
# ---------------------------------------------------------------------------


def _refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize(
    "make",
    [
        lambda: ("add_n", [[Num(1.0), Num(2.0)], (Num(3.0), Num(4.0))]),
        lambda: ("add_n", [[Num(1.0), Num(2.0)], [Num(1.0), "x"]]),
        lambda: ("octonion_mul", [[Num(1.0)] * 8, [Num(2.0)] * 3]),
        lambda: ("octonion_mul_n", [[[Num(1.0)] * 8], [[Num(2.0)] * 8, [Num(0.0)]]]),
        lambda: ("e8_norms_squared_n", [[Seq([Num(1.0)]), [Num(2.0), None]]]),
        lambda: ("spectral_flow_batch", [[(Num(0.0), Num(1.0))] * 3, Num(2)]),
        lambda: ("spectral_flow_batch", [[(Num(0.0), Num(1.0)), [1.0, 2.0]], Num(2)]),
        lambda: ("spectral_flow_n", [Num(0.0), Num(1.0), Num(3)]),
        lambda: ("spectral_flow_n", [Num(0.0), Num(1.0), -1]),
        lambda: ("geometric_product_n", [[[Num(1.0), Num(0.0)]], [[Num(1.0), Num(2.0)]], [Num(1)]]),
        lambda: ("geometric_product_n", [[[Num(1.0)]], [[Num(1.0)]], [Num(1), 300]]),
        lambda: ("geometric_product_n", [[[Num(1.0)]], [[Num(1.0)]], [Num(1)] * 61]),
    ],
)
def test_arguments_and_their_items_are_released(make):
    name, args = make()

    def walk(o):
        yield o
        if isinstance(o, (list, tuple)):
            for v in o:
                yield from walk(v)
        elif isinstance(o, Seq):
            for v in o.items:
                yield from walk(v)

    objs = [o for a in args for o in walk(a)]
    before = _refcounts(objs)
    for _ in range(3):
        try:
            call(name, *args)
        except BaseException:  # noqa: B036
            pass
    assert _refcounts(objs) == before


def test_result_objects_hold_only_their_own_references():
    # counts are taken outside assert statements, whose rewriting keeps temporaries
    r = vsc.octonion_mul_n([[1.0] * 8] * 2, [[2.0] * 8] * 2)
    t = vsc.spectral_flow_batch([(0.5, 1.5)], 2)
    p = vsc.spectral_flow_step(0.5, 1.5)
    g = vsc.geometric_product_n([[1.0, 2.0]], [[3.0, 4.0]], [1])
    x = vsc.e8_min_norm_squared()
    n = vsc.octonion_norm_n([[3.0, 4.0]])
    counts = [
        sys.getrefcount(r), sys.getrefcount(r[0]), sys.getrefcount(r[1][3]),
        sys.getrefcount(t), sys.getrefcount(t[0]), sys.getrefcount(t[0][1]), sys.getrefcount(t[0][1][0]),
        sys.getrefcount(p), sys.getrefcount(p[1]),
        sys.getrefcount(g[0]), sys.getrefcount(g[0][1]),
        sys.getrefcount(x), sys.getrefcount(n[0]),
    ]
    assert counts == [2] * len(counts)


def test_keyword_names_compare_by_text():
    assert_same(vsc.add_n(**{MyStr("a"): [1.0], "".join(["b"]): [2.0]}), [3.0])


def test_sequence_growing_or_shrinking_while_converted():
    grow = []

    class Grower:
        def __float__(self):
            grow.extend([2.0, 3.0, 4.0])
            return 1.0

    grow.extend([Grower(), 1.5])
    assert_same(vsc.add_n(grow, [0.0] * 10), [1.0, 1.5, 2.0, 3.0, 4.0])

    shrink = []

    class Shrinker:
        def __float__(self):
            del shrink[1:]
            return 1.0

    shrink.extend([Shrinker(), 1.0, 2.0, 3.0])
    assert_same(vsc.add_n(shrink, [0.0] * 10), [1.0])


def test_size_hint_far_below_the_item_count():
    items = [float(i) for i in range(20000)]
    assert_same(vsc.add_n(Seq(items, length=1), items), [2.0 * v for v in items])
    pts = [[v] for v in items[:3000]]
    assert_same(vsc.e8_norms_squared_n(Seq(pts, length=0)), [v * v for v in items[:3000]])
