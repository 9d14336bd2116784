"""Repeated calls must not leak: not Python objects, not references, not native memory.

Every function is called thousands of times on its success paths and on every
failure path (binding errors, each conversion error, kernel faults, resumed
faults and allocation failures).  Three things must stay flat from one round of
calls to the next, after a warm-up round:

* ``sys.getallocatedblocks()`` (objects of the interpreter's allocator);
* the reference counts of the argument objects and of their items, all fresh,
  non-immortal objects made for the test;
* the bytes in use in the C heap (``mallinfo2`` of the C library), which holds
  the module's native vectors and the worker threads' allocations.

Thresholds are tolerant of allocator noise but a leak of one object, one
reference or one small native block per call exceeds them.
"""

import ctypes
import ctypes.util
import gc
import sys

import pytest

import vyr_spectral_core as vsc
from conftest import UNDER_ASAN, quiet_stderr
from vyr_runtime import PanicException
from protocols import FailingIter, Float, Index, MyTypeError, NoIter, Num, Raising, Seq, Unprintable

ROUND = 1500  # calls per measured round
WARMUP = 300

# The interpreter's allocator: with PYTHONMALLOC=malloc every object lives in
# the C heap and sys.getallocatedblocks() stays 0.
PYMALLOC_ACTIVE = sys.getallocatedblocks() > 0


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


def load_mallinfo2():
    if UNDER_ASAN:
        return None  # the sanitizer's allocator does not keep these statistics
    try:
        fn = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = MallInfo2
    fn.argtypes = []
    return fn


mallinfo2 = load_mallinfo2()


def native_heap_in_use():
    """Bytes in use in the C heap (all arenas plus mmapped blocks), or None."""
    if mallinfo2 is None:
        return None
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# ---------------------------------------------------------------------------
# Fresh argument objects.  Floats made by arithmetic at run time are neither
# cached nor immortal, so their reference counts move if anyone keeps them.
# ---------------------------------------------------------------------------


def fresh_floats(n, start=0.25):
    return [float(i) + start for i in range(n)]


class CausedTypeError:
    """``__float__`` raising a TypeError chained to a cause."""

    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


def swallow_a_fault():
    try:
        vsc.octonion_mul_n([[1.0] * 8, [1.0] * 8], [[1.0] * 8, [1.0] * 3])
    except BaseException:  # noqa: BLE001
        pass


def dense(n, d, seed):
    return [[float((i * 7 + j * 13 + seed) % 11) - 5.0 + 0.125 for j in range(d)] for i in range(n)]


# ---------------------------------------------------------------------------
# The cases: (id, function, args, kwargs, expected exception type or None).
# Args are built by a factory so that each case owns fresh objects.
# ---------------------------------------------------------------------------

P = "PANIC"  # stands for the fault exception type, resolved at run time


def success_cases():
    return [
        ("octonion_mul", lambda: (vsc.octonion_mul, (fresh_floats(8), fresh_floats(8, 0.5)), {}, None)),
        ("octonion_mul_kw_tuple", lambda: (vsc.octonion_mul, (), {"b": tuple(fresh_floats(9)), "a": fresh_floats(8)}, None)),
        ("octonion_mul_dunders", lambda: (vsc.octonion_mul, ([Float(float(i) + 0.5) for i in range(8)], Seq([Index(i + 300) for i in range(8)])), {}, None)),
        ("octonion_mul_n", lambda: (vsc.octonion_mul_n, (dense(16, 8, 1), dense(17, 8, 2)), {}, None)),
        ("octonion_mul_n_empty", lambda: (vsc.octonion_mul_n, ([], dense(3, 8, 2)), {}, None)),
        ("octonion_norm_n", lambda: (vsc.octonion_norm_n, (dense(20, 8, 3) + [[], fresh_floats(3)],), {}, None)),
        ("spectral_flow_step", lambda: (vsc.spectral_flow_step, (float(7) / 3, Float(float(1) / 3)), {}, None)),
        ("spectral_flow_n", lambda: (vsc.spectral_flow_n, (float(1) / 7, float(2) / 7, Index(40)), {}, None)),
        ("spectral_flow_n_kw", lambda: (vsc.spectral_flow_n, (), {"n_steps": 5, "y0": float(3) / 7, "x0": Float(float(1) / 9)}, None)),
        ("spectral_flow_batch", lambda: (vsc.spectral_flow_batch, ([(float(i) / 3, float(i) / 5 + 0.5) for i in range(12)], 9), {}, None)),
        ("spectral_flow_batch_one", lambda: (vsc.spectral_flow_batch, ((( Float(float(1) / 3), 2.5),), 3), {}, None)),
        ("e8_norms_squared_n", lambda: (vsc.e8_norms_squared_n, (dense(9, 8, 4) + [[], range(24), b"\x01\x02"],), {}, None)),
        ("e8_min_norm_squared", lambda: (vsc.e8_min_norm_squared, (), {}, None)),
        ("leech_min_norm_squared", lambda: (vsc.leech_min_norm_squared, (), {}, None)),
        ("geometric_product_n", lambda: (vsc.geometric_product_n, (dense(6, 8, 5), dense(7, 8, 6), [1, -1, Index(2)]), {}, None)),
        ("geometric_product_n_sparse", lambda: (vsc.geometric_product_n, ([[0.0, 1.0, 0.0, 0.0]] * 3, [[0.0, 0.0, 1.0, 0.0]] * 3, (1, 1)), {}, None)),
        ("add_n", lambda: (vsc.add_n, (fresh_floats(100), tuple(fresh_floats(90))), {}, None)),
        ("add_n_mixed", lambda: (vsc.add_n, (Seq([Float(float(i) + 0.5) for i in range(10)]), range(10)), {}, None)),
        ("add_n_len_raises", lambda: (vsc.add_n, (Seq(fresh_floats(5), len_exc=ValueError), fresh_floats(5)), {}, None)),
        ("add_n_lying_len", lambda: (vsc.add_n, (Seq(fresh_floats(3), length=1000), fresh_floats(3)), {}, None)),
        ("callback_into_module", lambda: (vsc.add_n, ([Num(1.5, lambda: vsc.add_n([0.5, 1.0], [1.0, 1.0])), float(1) / 3], fresh_floats(2)), {}, None)),
        ("callback_swallows_fault", lambda: (vsc.add_n, ([Num(2.5, swallow_a_fault)], fresh_floats(1)), {}, None)),
    ]


def failure_cases():
    v8 = fresh_floats  # shorthand
    return [
        # argument binding
        ("too_many_positional", lambda: (vsc.octonion_mul, (v8(8), v8(8), v8(1)), {}, TypeError)),
        ("multiple_values", lambda: (vsc.octonion_mul, (v8(8),), {"a": v8(8)}, TypeError)),
        ("unexpected_keyword", lambda: (vsc.add_n, (v8(2),), {"c": v8(2)}, TypeError)),
        ("surrogate_keyword", lambda: (vsc.add_n, (v8(2),), {"\udcff": v8(2)}, TypeError)),
        ("missing_arguments", lambda: (vsc.spectral_flow_n, (float(1) / 3,), {}, TypeError)),
        ("noarg_given_arg", lambda: (vsc.e8_min_norm_squared, (v8(1),), {}, TypeError)),
        # sequence conversions
        ("str_vector", lambda: (vsc.add_n, ("a" * 5, v8(3)), {}, TypeError)),
        ("str_batch_item", lambda: (vsc.e8_norms_squared_n, ([v8(3), "ab"],), {}, TypeError)),
        ("str_signature", lambda: (vsc.geometric_product_n, ([v8(2)], [v8(2)], "+-"), {}, TypeError)),
        ("not_a_sequence_int", lambda: (vsc.add_n, (v8(3), 10**30), {}, TypeError)),
        ("not_a_sequence_dict", lambda: (vsc.octonion_norm_n, ({1: v8(1)},), {}, TypeError)),
        ("not_a_sequence_generator", lambda: (vsc.e8_norms_squared_n, ((x for x in [v8(2)]),), {}, TypeError)),
        ("no_iterator", lambda: (vsc.add_n, (NoIter(), v8(2)), {}, TypeError)),
        ("iterator_raises_value_error", lambda: (vsc.add_n, (FailingIter(v8(6), 3, ValueError), v8(6)), {}, ValueError)),
        ("iterator_raises_type_error", lambda: (vsc.octonion_norm_n, (FailingIter(dense(4, 8, 1), 2, TypeError),), {}, TypeError)),
        ("batch_item_not_sequence", lambda: (vsc.octonion_mul_n, (dense(3, 8, 1) + [float(1) / 3], dense(4, 8, 2)), {}, TypeError)),
        # float conversions
        ("float_of_str", lambda: (vsc.add_n, (v8(3) + ["x" * 3], v8(4)), {}, TypeError)),
        ("float_of_none", lambda: (vsc.spectral_flow_step, (None, 1.0), {}, TypeError)),
        ("float_raises_value_error", lambda: (vsc.add_n, (v8(2) + [Raising(ValueError)], v8(3)), {}, ValueError)),
        ("float_raises_type_error_subclass", lambda: (vsc.spectral_flow_step, (1.0, Raising(MyTypeError)), {}, MyTypeError)),
        ("float_returns_non_float", lambda: (vsc.octonion_mul, ([Float(12345678901234567890)] * 8, v8(8)), {}, TypeError)),
        ("float_type_error_with_cause", lambda: (vsc.add_n, ([CausedTypeError()], v8(1)), {}, TypeError)),
        ("float_unprintable_type_error", lambda: (vsc.add_n, ([Raising(lambda: TypeError(Unprintable()))], v8(1)), {}, TypeError)),
        ("int_too_large_for_double", lambda: (vsc.add_n, ([10**400], v8(1)), {}, OverflowError)),
        # point pairs
        ("pair_not_tuple", lambda: (vsc.spectral_flow_batch, ([(1.0, 2.0), [float(1) / 3, 1.0]], 3), {}, TypeError)),
        ("pair_wrong_length", lambda: (vsc.spectral_flow_batch, ([(float(1) / 3, 1.0, 2.0)], 3), {}, ValueError)),
        ("pair_item_fails", lambda: (vsc.spectral_flow_batch, ([(float(1) / 3, "y")], 3), {}, TypeError)),
        # sizes
        ("n_steps_negative", lambda: (vsc.spectral_flow_n, (0.5, 0.5, -(10**20)), {}, OverflowError)),
        ("n_steps_too_large", lambda: (vsc.spectral_flow_batch, ([(0.5, 0.5)], 2**64 + 12345), {}, OverflowError)),
        ("n_steps_float", lambda: (vsc.spectral_flow_n, (0.5, 0.5, float(1) / 3), {}, TypeError)),
        ("n_steps_index_raises", lambda: (vsc.spectral_flow_n, (0.5, 0.5, Index(None)), {}, TypeError)),
        # signed 8-bit
        ("signature_out_of_range", lambda: (vsc.geometric_product_n, ([v8(2)], [v8(2)], [1, 200 + 10**0]), {}, OverflowError)),
        ("signature_beyond_c_long", lambda: (vsc.geometric_product_n, ([v8(2)], [v8(2)], [10**30]), {}, OverflowError)),
        ("signature_float_entry", lambda: (vsc.geometric_product_n, ([v8(2)], [v8(2)], [float(1) / 3]), {}, TypeError)),
        # kernel faults (on the calling thread and on workers)
        ("octonion_short_a", lambda: (vsc.octonion_mul, (v8(7), v8(8)), {}, P)),
        ("octonion_short_b", lambda: (vsc.octonion_mul, (v8(8), v8(3)), {}, P)),
        ("octonion_n_fault", lambda: (vsc.octonion_mul_n, (dense(40, 8, 1), dense(39, 8, 2) + [v8(3)]), {}, P)),
        ("octonion_n_many_faults", lambda: (vsc.octonion_mul_n, (dense(40, 8, 1), [v8(i % 8) for i in range(40)]), {}, P)),
        ("geometric_short", lambda: (vsc.geometric_product_n, (dense(10, 4, 1) + [v8(3)], dense(11, 4, 2), [1, 1]), {}, P)),
        ("geometric_capacity", lambda: (vsc.geometric_product_n, ([v8(1)], [v8(1)], [1] * 60), {}, P)),
        ("flow_capacity", lambda: (vsc.spectral_flow_n, (0.5, 0.5, 2**59 - 1), {}, P)),
        ("flow_batch_capacity", lambda: (vsc.spectral_flow_batch, ([(float(i), 1.0) for i in range(8)], 2**64 - 1), {}, P)),
        ("hint_capacity", lambda: (vsc.add_n, (Seq(v8(2), length=2**62), v8(2)), {}, P)),
        ("resumed_fault", lambda: (vsc.add_n, ([Num(0.0, lambda: vsc.octonion_mul([1.0], [1.0] * 8))], v8(1)), {}, P)),
    ]


def allocation_failure_cases():
    return [
        ("flow_out_of_memory", lambda: (vsc.spectral_flow_n, (0.5, 0.5, 2**58), {}, MemoryError)),
        ("flow_batch_out_of_memory", lambda: (vsc.spectral_flow_batch, ([(0.5, 0.5), (1.0, 1.0), (2.0, 2.0)], 2**58), {}, MemoryError)),
        ("geometric_out_of_memory", lambda: (vsc.geometric_product_n, ([[1.0]], [[1.0]], [1] * 50), {}, MemoryError)),
        ("hint_out_of_memory_is_ignored", lambda: (vsc.add_n, (Seq(fresh_floats(3), length=2**58), fresh_floats(3)), {}, None)),
    ]


ALL_CASES = [pytest.param(c, id=c[0]) for c in success_cases() + failure_cases()] + [
    pytest.param(c, id=c[0], marks=pytest.mark.huge_alloc) for c in allocation_failure_cases()
]


def tracked_objects(args, kwargs):
    """The argument objects and, one level down, their items (excluding shared ones)."""
    objs = list(args) + list(kwargs.values())
    out = []
    for obj in objs:
        out.append(obj)
        items = obj.items if isinstance(obj, Seq) else obj
        if isinstance(items, (list, tuple)):
            for item in items:
                out.append(item)
                if isinstance(item, (list, tuple)):
                    out.extend(item)
    # Only objects whose count says something: not immortal, not interned.
    return [o for o in out if sys.getrefcount(o) < 1_000_000]


def run_round(fn, args, kwargs, expected, count):
    for _ in range(count):
        try:
            fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            if expected is None or type(exc) is not expected:
                raise
        else:
            if expected is not None:
                pytest.fail(f"expected {expected.__name__}, the call succeeded")


def measure(fn, args, kwargs, expected, count):
    gc.collect()
    blocks = sys.getallocatedblocks()
    heap = native_heap_in_use()
    run_round(fn, args, kwargs, expected, count)
    gc.collect()
    heap_after = native_heap_in_use()
    return (
        sys.getallocatedblocks() - blocks,
        None if heap is None else heap_after - heap,
    )


@pytest.fixture
def no_unraisable_output(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)


@pytest.mark.parametrize("case", ALL_CASES)
def test_repeated_calls_do_not_leak(case, no_unraisable_output):
    fn, args, kwargs, expected = case[1]()
    if expected == P:
        expected = PanicException
    tracked = tracked_objects(args, kwargs)
    refcounts = [sys.getrefcount(o) for o in tracked]

    with quiet_stderr():
        run_round(fn, args, kwargs, expected, WARMUP)
        first = measure(fn, args, kwargs, expected, ROUND)
        second = measure(fn, args, kwargs, expected, ROUND)

    after = [sys.getrefcount(o) for o in tracked]
    leaked_refs = [
        (type(o).__name__, before, now)
        for o, before, now in zip(tracked, refcounts, after)
        if now != before
    ]
    assert not leaked_refs, f"argument reference counts changed: {leaked_refs[:5]}"

    if PYMALLOC_ACTIVE:
        # A leak of one object per call grows by ROUND blocks in each round.
        assert min(first[0], second[0]) < ROUND // 10, (
            f"allocated blocks grew by {first[0]} then {second[0]} over {ROUND} calls"
        )
    if first[1] is not None:
        # A leak of the smallest heap chunk (32 bytes) per call adds 48 KiB.
        limit = 16 * ROUND
        assert min(first[1], second[1]) < limit, (
            f"native heap grew by {first[1]} then {second[1]} bytes over {ROUND} calls"
        )


def test_large_results_are_released():
    """Big native results and their Python lists go away with the list."""
    a = fresh_floats(200_000)
    b = fresh_floats(200_000, 0.5)
    batch = dense(2000, 24, 7)
    starts = [(float(i) / 100, 1.0 + i) for i in range(200)]
    calls = [
        lambda: vsc.add_n(a, b),
        lambda: vsc.e8_norms_squared_n(batch),
        lambda: vsc.octonion_mul_n(batch, batch),
        lambda: vsc.spectral_flow_batch(starts, 200),
        lambda: vsc.geometric_product_n(batch[:300], batch[:300], [1, -1, 0, 2]),
    ]
    for call in calls:
        call()
    gc.collect()
    blocks = sys.getallocatedblocks()
    heap = native_heap_in_use()
    for _ in range(20):
        for call in calls:
            call()
    gc.collect()
    if PYMALLOC_ACTIVE:
        assert sys.getallocatedblocks() - blocks < 1000
    if heap is not None:
        # One leaked result of the smallest call is 1.6 MB; 20 of them 32 MB.
        assert native_heap_in_use() - heap < 4 * 2**20
