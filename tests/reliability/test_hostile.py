"""Hostile arguments: objects whose protocol methods misbehave.

Conversion runs Python code (``__float__``, ``__index__``, ``__len__``,
``__getitem__``, ``__iter__``) that may raise, return the wrong type, mutate
the very sequence being converted, drop the last reference to the item being
converted, or call back into the module.  None of it may crash, hang or leave
the module unusable; results equal what Python iteration over the same objects
gives.
"""

import faulthandler
import importlib.util
import math
import struct
import sys
import textwrap
import threading
import time
import warnings

import pytest

import vyr_spectral_core as vsc
from conftest import UNDER_ASAN, expect_fault, oob, raised, run_snippet
from protocols import Float, Index, Num, Raising, Seq


@pytest.fixture(autouse=True)
def hang_watchdog():
    """A deadlock in a call ends the run with every thread's traceback."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------------------
# Protocol methods that raise or return the wrong type
# ---------------------------------------------------------------------------


class Boom(Exception):
    pass


class BaseBoom(BaseException):
    pass


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "exc",
    [Boom("x"), ValueError("v"), OverflowError("o"), KeyboardInterrupt(), SystemExit(3), BaseBoom()],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize(
    "call",
    [
        lambda v: vsc.add_n([1.0, v], [1.0, 1.0]),
        lambda v: vsc.octonion_mul_n([[1.0] * 8], [[1.0] * 7 + [v]]),
        lambda v: vsc.e8_norms_squared_n([[v]]),
        lambda v: vsc.spectral_flow_step(v, 1.0),
        lambda v: vsc.spectral_flow_batch([(1.0, v)], 2),
        lambda v: vsc.geometric_product_n([[v]], [[1.0]], []),
    ],
    ids=["add_n", "octonion_mul_n", "e8_norms_squared_n", "spectral_flow_step", "spectral_flow_batch", "geometric_product_n"],
)
def test_errors_from_dunder_float_pass_unchanged(call, exc):
    got = raised(call, Raising(exc))
    assert got is exc
    assert vsc.add_n([1.0], [2.0]) == [3.0]


@pytest.mark.parametrize(
    "value",
    [1, "1.0", None, [1.0], 10**400],
    ids=["int", "str", "None", "list", "huge_int"],
)
def test_dunder_float_returning_a_non_float_is_a_named_type_error(value):
    got = raised(vsc.add_n, [Float(value)], [1.0])
    assert type(got) is TypeError
    assert str(got).startswith("argument 'a': ")


def test_dunder_float_returning_a_float_subclass():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert vsc.add_n([Float(FloatSub(2.5))], [1.0]) == [3.5]
    with warnings.catch_warnings():
        # The warning itself becomes the conversion's error and passes unchanged.
        warnings.simplefilter("error", DeprecationWarning)
        got = raised(vsc.add_n, [Float(FloatSub(2.5))], [1.0])
        assert type(got) is DeprecationWarning


@pytest.mark.parametrize(
    "obj, exc_type, prefixed",
    [
        (Index(3.0), TypeError, True),
        (Index("3"), TypeError, True),
        (Index(-1), OverflowError, False),
        (Index(2**64), OverflowError, False),
        (Raising(Boom("i")), Boom, False),
        (Raising(KeyboardInterrupt()), KeyboardInterrupt, False),
    ],
    ids=["float", "str", "negative", "too_big", "raises", "keyboard_interrupt"],
)
@pytest.mark.parametrize("where", ["n_steps", "batch_n_steps", "signature"])
def test_hostile_dunder_index(obj, exc_type, prefixed, where):
    if where == "n_steps":
        call = lambda: vsc.spectral_flow_n(0.0, 1.0, obj)  # noqa: E731
    elif where == "batch_n_steps":
        call = lambda: vsc.spectral_flow_batch([(0.0, 1.0)], obj)  # noqa: E731
    else:
        if isinstance(obj, Index) and obj.value == -1:
            # -1 is a valid signed 8-bit entry
            assert vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], [obj]) == [[-1.0, 0.0]]
            return
        call = lambda: vsc.geometric_product_n([[1.0]], [[1.0]], [obj])  # noqa: E731
    got = raised(call)
    assert type(got) is exc_type
    if prefixed:
        assert str(got).startswith("argument '")


# ---------------------------------------------------------------------------
# Sequences with hostile __len__, __getitem__ and __iter__
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "seq",
    [
        Seq([1.0, 2.0, 3.0], length=0),
        Seq([1.0, 2.0, 3.0], length=1),
        Seq([1.0, 2.0, 3.0], length=10**6),
        Seq([1.0, 2.0, 3.0], length=2**64),  # __len__ itself fails: no hint
        Seq([1.0, 2.0, 3.0], length=sys.maxsize + 1),
        Seq([1.0, 2.0, 3.0], len_exc=Boom("len")),
        Seq([1.0, 2.0, 3.0], len_exc=LookupError("len")),
        Seq([1.0, 2.0, 3.0], length=-5),
        Seq([1.0, 2.0, 3.0], length=2.5),
        Seq([1.0, 2.0, 3.0], length="3"),
    ],
    ids=["0", "1", "1e6", "2**64", "maxsize+1", "raises", "raises_lookup_error", "negative", "float", "str"],
)
def test_lying_len_is_only_a_hint(seq):
    assert vsc.add_n(seq, [10.0] * 5) == [11.0, 12.0, 13.0]
    assert vsc.e8_norms_squared_n(Seq([seq, seq], length=seq.length if isinstance(seq.length, int) else 0)) == [14.0, 14.0]
    assert vsc.spectral_flow_batch(Seq([(0.0, 1.0)], length=7), 0) == [[(0.0, 1.0)]]
    assert vsc.geometric_product_n([[2.0]], [[3.0]], Seq([], length=1000)) == [[6.0]]


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), BaseBoom()], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize(
    "call",
    [
        lambda s: vsc.add_n([1.0], s),
        lambda s: vsc.octonion_norm_n(s),
        lambda s: vsc.e8_norms_squared_n([[1.0], s]),
        lambda s: vsc.spectral_flow_batch(s, 1),
        lambda s: vsc.geometric_product_n([[1.0]], [[1.0]], s),
    ],
    ids=["float_vector", "batch", "batch_item", "point_pairs", "signature"],
)
def test_len_raising_what_is_no_exception_ends_the_call(call, exc):
    """A Ctrl-C or an exit request that lands in __len__ is not lost with the hint."""
    assert raised(call, Seq([], len_exc=exc)) is exc
    assert vsc.add_n([1.0], [1.0]) == [2.0]


@pytest.mark.huge_alloc
@pytest.mark.parametrize("claimed", [2**40, 2**58, 2**60 - 1])
def test_huge_claimed_len_converts_what_iteration_gives(claimed):
    seq = Seq([1.0, 2.0, 3.0], length=claimed)
    assert vsc.add_n(seq, [10.0] * 3) == [11.0, 12.0, 13.0]
    assert vsc.octonion_norm_n(Seq([[3.0, 4.0]], length=min(claimed, 2**58))) == [5.0]
    assert vsc.spectral_flow_batch(Seq([(0.0, 1.0)], length=min(claimed, 2**58)), 1) == [[(0.0, 1.0), (1.0, 1.0)]]
    # Signed 8-bit entries are one byte: even 2**62 is only a hint.
    assert vsc.geometric_product_n([[2.0, 0.0]], [[3.0, 0.0]], Seq([1], length=2**62)) == [[6.0, 0.0]]


@pytest.mark.parametrize("claimed", [2**60, 2**62, sys.maxsize])
@pytest.mark.parametrize(
    "call",
    [
        lambda s: vsc.add_n(s, []),
        lambda s: vsc.octonion_mul(s, [1.0] * 8),
        lambda s: vsc.octonion_norm_n(s),
        lambda s: vsc.e8_norms_squared_n([[1.0], s]),
        lambda s: vsc.spectral_flow_batch(Seq([(0.0, 1.0)], length=s.length), 3),
        lambda s: vsc.geometric_product_n(Seq([[1.0]], length=s.length), [[1.0]], []),
    ],
    ids=["float_vector", "octonion", "batch", "batch_item", "point_pairs", "geometric_batch"],
)
def test_len_beyond_reservation_bound_is_capacity_overflow(call, claimed):
    assert str(expect_fault(call, Seq([1.0], length=claimed))) == "capacity overflow"
    assert vsc.add_n([1.0], [1.0]) == [2.0]


def check_add_n(seq, other, expected, message=None):
    """add_n(seq, other) returns ``expected`` (a list) or raises it (a type); a
    TypeError names argument 'a' (and carries ``message``, when given)."""
    if isinstance(expected, list):
        assert vsc.add_n(seq, other) == expected
        return
    got = raised(vsc.add_n, seq, other)
    assert type(got) is expected
    if expected is TypeError:
        assert str(got) == f"argument 'a': {message}" if message else str(got).startswith("argument 'a': ")


class GetitemRaising:
    def __init__(self, good, exc):
        self.good, self.exc = good, exc

    def __len__(self):
        return self.good + 5

    def __getitem__(self, i):
        if i < self.good:
            return float(i)
        raise self.exc


@pytest.mark.parametrize(
    "exc, expected",
    [
        (IndexError("end"), [10.0, 11.0]),  # the end of an old-style sequence
        (StopIteration(), [10.0, 11.0]),  # ends __getitem__ iteration too
        (Boom("g"), Boom),
        (TypeError("g"), TypeError),
        (KeyboardInterrupt(), KeyboardInterrupt),
    ],
    ids=["IndexError", "StopIteration", "Boom", "TypeError", "KeyboardInterrupt"],
)
def test_getitem_raising(exc, expected):
    seq = GetitemRaising(2, exc)
    try:
        iterated = [float(x) + 10.0 for x in GetitemRaising(2, exc)]
    except BaseException as iteration_error:  # noqa: BLE001
        iterated = type(iteration_error)
    assert iterated == expected
    check_add_n(seq, [10.0] * 5, expected, "g")


class IterReturning:
    def __init__(self, it):
        self.it = it

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        return self.it


class NextRaising:
    def __init__(self, good, exc):
        self.k, self.good, self.exc = 0, good, exc

    def __iter__(self):
        return self

    def __next__(self):
        if self.k >= self.good:
            raise self.exc
        self.k += 1
        return float(self.k)


@pytest.mark.parametrize(
    "it, expected",
    [
        (5, TypeError),
        (None, TypeError),
        ([1.0, 2.0], TypeError),  # a list is iterable but not an iterator
        (iter([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
        (NextRaising(2, StopIteration()), [1.0, 2.0]),
        (NextRaising(2, Boom("n")), Boom),
        (NextRaising(0, ValueError("n")), ValueError),
        (NextRaising(1, TypeError("n")), TypeError),
    ],
    ids=["int", "None", "list", "iterator", "stop", "boom", "value_error_at_once", "type_error"],
)
def test_hostile_iter(it, expected):
    check_add_n(IterReturning(it), [0.0] * 5, expected)


def test_self_containing_and_deeply_nested_lists():
    loop = []
    loop.append(loop)
    got = raised(vsc.e8_norms_squared_n, loop)
    assert type(got) is TypeError and str(got).startswith("argument 'points': ")
    got = raised(vsc.add_n, loop, loop)
    assert type(got) is TypeError
    deep = [1.0]
    for _ in range(10_000):
        deep = [deep]
    got = raised(vsc.octonion_norm_n, deep)
    assert type(got) is TypeError


# ---------------------------------------------------------------------------
# Conversion callbacks that mutate what is being converted
# ---------------------------------------------------------------------------


def iterate_floats(seq):
    return [float(x) for x in seq]


def list_with(action_factory, n=6, at=2):
    """A list of n numbers whose item `at` runs `action_factory(list)` when converted."""
    lst = [float(i) + 0.5 for i in range(n)]
    lst[at] = Num(float(at) + 0.5, lambda: action_factory(lst), once=True)
    return lst


MUTATIONS = {
    "clear": lambda lst: lst.clear(),
    "del_tail": lambda lst: lst.__delitem__(slice(3, None)),
    "shrink_to_one": lambda lst: lst.__delitem__(slice(1, None)),
    "extend": lambda lst: lst.extend([100.5, 200.5]),
    "replace_self": lambda lst: lst.__setitem__(2, 99.5),  # drops the item being converted
    "replace_all": lambda lst: lst.__setitem__(slice(None), [7.5] * 9),
    "reverse": lambda lst: lst.reverse(),
    "insert_front": lambda lst: lst.insert(0, -1.5),
}


@pytest.mark.parametrize("mutation", list(MUTATIONS), ids=list(MUTATIONS))
def test_float_vector_mutated_by_its_own_element(mutation):
    expected = iterate_floats(list_with(MUTATIONS[mutation]))
    got = vsc.add_n(list_with(MUTATIONS[mutation]), [0.0] * 20)
    assert got == expected
    got = vsc.e8_norms_squared_n([list_with(MUTATIONS[mutation])])
    assert got == [sum_squares(expected)]


def sum_squares(values):
    s = -0.0
    for v in values:
        s = v * v + s
    return s


BATCH_MUTATIONS = {
    "clear": lambda lst: lst.clear(),
    "del_tail": lambda lst: lst.__delitem__(slice(2, None)),
    "extend": lambda lst: lst.extend([[100.5], [200.5, 1.0]]),
    "replace_self": lambda lst: lst.__setitem__(1, [9.5]),  # drops the vector being converted
    "replace_all": lambda lst: lst.__setitem__(slice(None), [[7.5]] * 9),
    "reverse": lambda lst: lst.reverse(),
    "insert_front": lambda lst: lst.insert(0, [-1.5]),
    "clear_inner": lambda lst: lst[1].clear(),
}


@pytest.mark.parametrize("mutation", list(BATCH_MUTATIONS), ids=list(BATCH_MUTATIONS))
def test_batch_mutated_by_an_inner_element(mutation):
    def build():
        outer = [[1.0, 2.0], None, [3.0], [4.0, 5.0]]
        inner = [0.5, Num(1.5, lambda: BATCH_MUTATIONS[mutation](outer), once=True), 2.5]
        outer[1] = inner
        return outer

    expected = [sum_squares(iterate_floats(v)) for v in build()]
    assert vsc.e8_norms_squared_n(build()) == expected


def test_only_reference_to_item_dropped_during_its_conversion():
    class Dropper:
        def __init__(self, holder, value):
            self.holder, self.value = holder, value

        def __float__(self):
            # The list held the only reference to self; the converter must hold its own.
            self.holder.clear()
            del self.holder
            junk = [object() for _ in range(1000)]  # reuse the freed memory
            del junk
            return self.value

    for _ in range(200):
        holder = [1.0]
        holder.append(Dropper(holder, 2.5))
        holder.append(3.0)
        assert vsc.add_n(holder, [1.0, 1.0, 1.0]) == [2.0, 3.5]


def test_point_pairs_and_signature_mutated_during_conversion():
    starts = [(0.0, 1.0), None, (2.0, 3.0)]
    starts[1] = (Num(0.5, lambda: starts.clear(), once=True), 0.5)
    assert vsc.spectral_flow_batch(starts, 0) == [[(0.0, 1.0)], [(0.5, 0.5)]]

    sig = [1, None, 1, 1]
    sig[1] = Num(-1, lambda: sig.clear(), once=True)
    # Two entries were converted: D = 4.
    got = vsc.geometric_product_n([[0.0, 0.0, 1.0, 0.0]], [[0.0, 0.0, 1.0, 0.0]], sig)
    assert got == [[-1.0, 0.0, 0.0, 0.0]]


def test_argument_mutated_by_a_later_argument_is_already_converted():
    a = [1.0, 2.0, 3.0]
    b = [10.0, Num(20.0, lambda: a.clear(), once=True), 30.0]
    assert vsc.add_n(a, b) == [11.0, 22.0, 33.0]
    assert a == []


# ---------------------------------------------------------------------------
# Conversion callbacks that call back into the module
# ---------------------------------------------------------------------------

EVERY_CALL = {
    "octonion_mul": lambda: vsc.octonion_mul([0, 1, 0, 0, 0, 0, 0, 0], [0, 0, 1, 0, 0, 0, 0, 0]),
    "octonion_mul_n": lambda: vsc.octonion_mul_n([[1.0] * 8] * 50, [[2.0] * 8] * 50),
    "octonion_norm_n": lambda: vsc.octonion_norm_n([[3.0, 4.0]] * 50),
    "spectral_flow_step": lambda: vsc.spectral_flow_step(0.0, 1.0),
    "spectral_flow_n": lambda: vsc.spectral_flow_n(0.0, 1.0, 5),
    "spectral_flow_batch": lambda: vsc.spectral_flow_batch([(0.0, 1.0), (0.5, 0.5)] * 20, 5),
    "e8_norms_squared_n": lambda: vsc.e8_norms_squared_n([[1.0, 2.0]] * 50),
    "e8_min_norm_squared": lambda: vsc.e8_min_norm_squared(),
    "leech_min_norm_squared": lambda: vsc.leech_min_norm_squared(),
    "geometric_product_n": lambda: vsc.geometric_product_n([[0, 1, 0, 0]] * 50, [[0, 0, 1, 0]] * 50, [1, 1]),
    "add_n": lambda: vsc.add_n([float(i) for i in range(2000)], [-2.0 * i for i in range(2000)]),
}
EXPECTED = {name: call() for name, call in EVERY_CALL.items()}


@pytest.mark.parametrize("inner", list(EVERY_CALL), ids=list(EVERY_CALL))
@pytest.mark.parametrize(
    "outer",
    [
        ("add_n", lambda cb: vsc.add_n([cb] * 3, [1.0] * 3), [2.0] * 3),
        ("octonion_mul_n", lambda cb: vsc.octonion_mul_n([[cb] + [0.0] * 7] * 2, [[1.0] + [0.0] * 7] * 2), [[1.0] + [0.0] * 7] * 2),
        ("spectral_flow_batch_n_steps", lambda cb: vsc.spectral_flow_batch([(0.0, 1.0)] * 3, cb), [[(0.0, 1.0), (1.0, 1.0)]] * 3),
        ("geometric_signature", lambda cb: vsc.geometric_product_n([[0.0, 1.0]] * 2, [[0.0, 1.0]] * 2, [cb]), [[1.0, 0.0]] * 2),
    ],
    ids=lambda o: o[0],
)
def test_conversion_callback_calls_the_module(outer, inner):
    name, call, expected = outer
    results = []
    assert call(Num(1.0, lambda: results.append(EVERY_CALL[inner]()))) == expected
    assert results and all(r == EXPECTED[inner] for r in results)


def test_nested_callbacks_many_levels_deep():
    def nest(depth):
        if depth == 0:
            return 1.0
        inner = nest(depth - 1)

        class Level:
            def __float__(self):
                return vsc.add_n([inner], [1.0])[0]

        return Level()

    assert vsc.add_n([nest(40)], [0.0]) == [41.0]
    assert vsc.octonion_norm_n([[nest(30)] * 8]) == [math.sqrt(8 * 31.0**2)]


# Each probe runs in a fork of a snippet that has made no fault yet, so that
# the fault type is made in the probe; a probe that dies shows as a signal.
FAILURES_WHILE_FAULTING = {
    # A chain of __float__ methods calling the module on the next link: the
    # deepest chain that works, then faults at the bottom of chains around it.
    "recursion_limit": """
        sys.setrecursionlimit(max(sys.getrecursionlimit(), 100_000))

        class Level:
            def __init__(self, inner):
                self.inner = inner

            def __float__(self):
                return vsc.add_n([self.inner], [1.0])[0]

        def chain(depth, bottom=0.5):
            for _ in range(depth):
                bottom = Level(bottom)
            return float(bottom)

        low, high = 1, 20_000  # past every interpreter's limit on calls from C
        probes = [lambda: chain(high)]
        while low + 1 < high:
            middle = (low + high) // 2
            try:
                chain(middle)
                low = middle
            except RecursionError:
                high = middle
        probes += [lambda d=d: chain(d, Raising(lambda: vsc.octonion_mul([], []))) for d in range(low - 12, low + 4)]
        """,
    # The interpreter's allocations while the fault is raised fail in turn.
    "out_of_memory": """
        import _testcapi

        def fault_with_failing_allocation(n):
            _testcapi.set_nomemory(n, n + 1)
            try:
                vsc.octonion_mul([], [])
            finally:
                _testcapi.remove_mem_hooks()

        vsc.add_n([1.0], [1.0])
        probes = [lambda n=n: fault_with_failing_allocation(n) for n in range(60)]
        """,
}


@pytest.mark.parametrize("failure", list(FAILURES_WHILE_FAULTING))
def test_failure_while_a_first_fault_is_raised_raises(failure):
    """Deep recursion through conversions ends in RecursionError, as through
    math.fsum; a first fault at the recursion limit or out of memory raises
    RecursionError, MemoryError or the fault.  Nothing aborts."""
    if failure == "out_of_memory" and importlib.util.find_spec("_testcapi") is None:
        pytest.skip("the interpreter has no _testcapi")
    proc = run_snippet(
        "import os, sys\nimport vyr_spectral_core as vsc\nfrom protocols import Raising\n"
        + textwrap.dedent(FAILURES_WHILE_FAULTING[failure])
        + textwrap.dedent(
            """
            for probe in probes:
                sys.stdout.flush()
                pid = os.fork()
                if pid == 0:
                    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # fault reports and tracebacks
                    try:
                        probe()
                        print("returned", flush=True)
                    except BaseException as e:
                        print(type(e).__name__, flush=True)
                    os._exit(0)
                print("exit", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
            """
        ),
        timeout=300,
    )
    lines = proc.stdout.split("\n")[:-1]
    assert set(lines[1::2]) == {"exit 0"}, proc.stdout + proc.stderr
    other = "RecursionError" if failure == "recursion_limit" else "MemoryError"
    assert set(lines[0::2]) == {other, "PanicException"}, proc.stdout


def test_callback_releasing_the_interpreter_lets_other_threads_call_in():
    """A ``__float__`` that sleeps lets other Python threads make whole module calls mid-conversion."""
    stop = threading.Event()
    errors, counts, stalled = [], [0], []

    def hammer():
        try:
            while not stop.is_set():
                assert vsc.octonion_mul_n([[1.0] * 8] * 20, [[2.0] * 8] * 20) == EXPECTED_MUL
                assert vsc.spectral_flow_batch([(0.0, 1.0)] * 9, 5) == [EXPECTED["spectral_flow_n"]] * 9
                counts[0] += 1
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    def sleep_until_another_thread_called_in():
        seen = counts[0]
        for _ in range(20_000):
            if counts[0] > seen or errors:
                return
            time.sleep(0.001)
        stalled.append(seen)

    waiting = Num(1.0, sleep_until_another_thread_called_in)
    threads = [threading.Thread(target=hammer) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for _ in range(2):
            assert vsc.add_n([waiting] * 5, [1.0] * 5) == [2.0] * 5
            assert vsc.e8_norms_squared_n([[waiting, 2.0]] * 3) == [5.0] * 3
    finally:
        stop.set()
        for t in threads:
            t.join(60)
    assert not errors, errors
    assert not stalled, "no other thread completed a call while a conversion slept"


EXPECTED_MUL = vsc.octonion_mul_n([[1.0] * 8] * 20, [[2.0] * 8] * 20)


# ---------------------------------------------------------------------------
# Size, NaN payloads and signed zeros
# ---------------------------------------------------------------------------


@pytest.mark.skipif(UNDER_ASAN, reason="hundreds of MB per list: too slow under AddressSanitizer")
def test_ten_million_element_vectors():
    n = 10**7
    a = range(n)
    b = [0.5] * n
    got = vsc.add_n(a, b)
    assert len(got) == n and type(got) is list
    for i in list(range(0, n, 99_991)) + [n - 1]:
        assert got[i] == i + 0.5
    del got
    got = vsc.add_n(b, b)
    assert got.count(1.0) == n
    del got
    points = vsc.e8_norms_squared_n([[]] * (n // 10))
    assert len(points) == n // 10 and all(math.copysign(1.0, x) == -1.0 and x == 0.0 for x in points[::1000])


def test_million_element_vectors():
    n = 10**6
    got = vsc.add_n(range(n), [0.25] * n)
    assert len(got) == n and got[n - 1] == n - 1 + 0.25 and got[12345] == 12345.25


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def to_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


NAN_PATTERNS = [
    0x7FF8000000000000,  # the default quiet NaN
    0xFFF8000000000001,  # negative quiet NaN with a payload
    0x7FF0000000000001,  # signalling NaN
    0x7FF4DEADBEEF1234,  # signalling NaN with a payload
    0xFFFFFFFFFFFFFFFF,  # all ones
]


@pytest.mark.parametrize("pattern", NAN_PATTERNS, ids=hex)
def test_nan_payloads_and_signed_zeros_pass_through_the_start_point(pattern):
    nan = from_bits(pattern)
    assert to_bits(nan) == pattern
    traj = vsc.spectral_flow_n(nan, -0.0, 2)
    assert to_bits(traj[0][0]) == pattern and to_bits(traj[0][1]) == to_bits(-0.0)
    assert math.isnan(traj[1][1]) and math.isnan(traj[2][0])
    batch = vsc.spectral_flow_batch([(-0.0, nan), (nan, nan)], 1)
    assert to_bits(batch[0][0][0]) == to_bits(-0.0) and to_bits(batch[0][0][1]) == pattern
    assert to_bits(batch[1][0][0]) == pattern and to_bits(batch[1][0][1]) == pattern
    assert all(math.isnan(v) for v in vsc.add_n([nan, 1.0, nan], [2.0, nan, -nan]))
    assert math.isnan(vsc.e8_norms_squared_n([[1.0, nan]])[0])
    assert math.isnan(vsc.octonion_norm_n([[nan]])[0])
    # Zero coefficients never meet a NaN partner.
    assert vsc.octonion_mul([0.0] * 8, [nan] * 8) == [0.0] * 8


@pytest.mark.parametrize(
    "call, expected_signs",
    [
        (lambda: vsc.add_n([-0.0, -0.0, 0.0], [-0.0, 0.0, -0.0]), [-1, 1, 1]),
        (lambda: vsc.e8_norms_squared_n([[], [-0.0], [0.0, -0.0]]), [-1, 1, 1]),
        (lambda: vsc.octonion_norm_n([[], [-0.0]]), [-1, 1]),
        (lambda: vsc.octonion_mul([-0.0] * 8, [-1.0] * 8), [1] * 8),
        (lambda: vsc.geometric_product_n([[0.0, -1.0]], [[0.0, 1.0]], [0])[0], [1, 1]),
    ],
    ids=["add_n", "e8_norms", "octonion_norm", "octonion_mul", "geometric"],
)
def test_signed_zeros(call, expected_signs):
    got = call()
    assert [math.copysign(1.0, x) for x in got] == expected_signs
    assert all(x == 0.0 for x in got)


# ---------------------------------------------------------------------------
# Many Python threads at once
# ---------------------------------------------------------------------------


def test_many_threads_calling_every_function():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    errors = []
    start = threading.Barrier(8)

    def worker(k):
        try:
            start.wait()
            for i in range(60):
                for name in list(EVERY_CALL)[k % 3 :] + list(EVERY_CALL)[: k % 3]:
                    assert EVERY_CALL[name]() == EXPECTED[name], name
                if i % 10 == k:
                    got = expect_fault(vsc.octonion_mul_n, [[1.0] * 8] * 9, [[1.0] * 8] * 4 + [[1.0] * 3] * 5)
                    assert str(got) == oob(3)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(240)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert not errors, errors[:3]


def test_first_batch_calls_race_from_many_threads():
    """In a fresh process, eight threads make the first batch calls at once."""
    proc = run_snippet(
        """
        import threading, sys
        import vyr_spectral_core as vsc
        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(8)
        out, errors = [], []
        def go(k):
            try:
                barrier.wait()
                for _ in range(50):
                    out.append(vsc.add_n([float(k)] * 64, [1.0] * 64) == [k + 1.0] * 64)
                    out.append(vsc.spectral_flow_batch([(0.0, 1.0)] * 5, 1) == [[(0.0, 1.0), (1.0, 1.0)]] * 5)
            except BaseException as exc:
                errors.append(repr(exc))
        ts = [threading.Thread(target=go, args=(k,)) for k in range(8)]
        for t in ts: t.start()
        for t in ts: t.join()
        print(len(out), all(out), errors)
        """,
        timeout=120,
    )
    assert proc.stdout.split() == ["800", "True", "[]"], proc.stdout + proc.stderr
