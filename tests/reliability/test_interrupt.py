"""Interrupting a long batch call.

A batch call holds the interpreter lock while the worker pool computes, but it
polls for signals while it waits: a signal whose Python handler raises (Ctrl-C
raising KeyboardInterrupt) ends the call within a fraction of a second, and a
handler that returns lets the call go on.  Afterwards the module works as
before.

The long call is a geometric product of ~2000 dense pairs with a 10-entry
signature (D = 1024): several seconds of work without interruption.  One
entry of the signature is 2, which keeps the products on the scalar routine:
the lane kernels would make the same work too short for these tests.  The goal
for the answer to a signal is 0.1 s; the assertions allow 1 s.  No test assumes
that a call outlasts its timer: each repeats its call until the handler has run.
"""

import ctypes
import math
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vyr_spectral_core as vsc
from conftest import expect_fault, subprocess_env
from vyr_runtime import PanicException

LATENCY_LIMIT = 1.0  # seconds; the goal is 0.1
REPEATS = 1000  # calls at most until a signal handler has run
INSIDE_REPEATS = 30  # calls at most until a handler has run inside one (below)
CHILD_REPEATS = 20  # of the children's calls of several seconds each
SIGNATURE = [1, -1, 1, 1, -1, 1, 0, 1, -1, 2]
D = 2 ** len(SIGNATURE)

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX interval timers")


def dense_rows(count, seed):
    rng = random.Random(seed)
    return [[rng.uniform(-1.0, 1.0) for _ in range(D)] for _ in range(count)]


ROWS_A = dense_rows(8, 1)
ROWS_B = dense_rows(8, 2)


def pairs(n):
    """n dense pairs, sharing a few row objects (conversion copies them anyway)."""
    return [ROWS_A[i % 8] for i in range(n)], [ROWS_B[(i * 3) % 8] for i in range(n)]


def seconds_per_pair():
    a, b = pairs(16)
    start = time.perf_counter()
    vsc.geometric_product_n(a, b, SIGNATURE)
    return (time.perf_counter() - start) / 16


def long_call_size():
    """At least 2000 pairs, and enough for >= 4 s of uninterrupted work."""
    per_pair = seconds_per_pair()
    return max(2000, int(4.0 / max(per_pair, 1e-6)) + 1)


@pytest.fixture(scope="module")
def long_args():
    n = long_call_size()
    a, b = pairs(n)
    return a, b


@pytest.fixture(scope="module")
def reference():
    """A short call's result, computed before any interruption."""
    a, b = pairs(24)
    return (a, b), vsc.geometric_product_n(a, b, SIGNATURE)


@pytest.fixture
def alarm():
    """Arms SIGALRM after a delay (and then every ``interval``) with a given
    handler; restores everything after."""
    previous = signal.getsignal(signal.SIGALRM)

    def arm(delay, handler, interval=0.0):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, delay, interval)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


class Interrupted(Exception):
    pass


def call_until_interrupted(a, b, fired, signature=SIGNATURE):
    """Repeats the call until the signal handler, which appends to ``fired``,
    has run (a call may end before its signal comes); the handler's exception
    must then end the call it ran in."""
    for _ in range(REPEATS):
        vsc.geometric_product_n(a, b, signature)
        if fired:
            pytest.fail("the handler ran, but its exception did not end the call")
    pytest.fail(f"the handler never ran during {REPEATS} calls")


def check_module_still_works(reference):
    (a, b), expected = reference
    assert vsc.geometric_product_n(a, b, SIGNATURE) == expected
    assert vsc.add_n([1.0, 2.0], [3.0, 4.0]) == [4.0, 6.0]
    assert vsc.spectral_flow_batch([(0.0, 1.0)] * 3, 1) == [[(0.0, 1.0), (1.0, 1.0)]] * 3
    expect_fault(vsc.octonion_mul_n, [[1.0] * 8] * 5, [[1.0] * 8] * 4 + [[1.0]])


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, Interrupted])
@pytest.mark.parametrize("delay", [0.3, 0.05])
def test_signal_handler_exception_ends_a_long_call_quickly(long_args, reference, alarm, exc_type, delay):
    a, b = long_args
    fired = []

    def handler(signum, frame):
        fired.append(time.perf_counter())
        raise exc_type("stop")

    start = time.perf_counter()
    alarm(delay, handler)
    with pytest.raises(exc_type):
        call_until_interrupted(a, b, fired)
    end = time.perf_counter()
    assert end - (start + delay) < LATENCY_LIMIT, (
        f"the call ended {end - start - delay:.3f} s after the signal (goal 0.1 s)"
    )
    check_module_still_works(reference)


def test_repeated_interruptions_leave_the_module_correct(long_args, reference, alarm):
    a, b = long_args
    rng = random.Random(5)
    for _ in range(6):
        fired = []

        def handler(signum, frame):
            fired.append(signum)
            raise Interrupted

        alarm(rng.uniform(0.01, 0.15), handler)
        with pytest.raises(Interrupted):
            call_until_interrupted(a, b, fired)
        check_module_still_works(reference)


NESTED_CALLS = {
    "add_n": (lambda: vsc.add_n([float(i) for i in range(500)], [0.5] * 500), [i + 0.5 for i in range(500)]),
    "octonion_mul_n": (lambda: vsc.octonion_mul_n([[1.0] * 8] * 64, [[2.0] * 8] * 64), [[-12.0] + [4.0] * 7] * 64),
    "octonion_norm_n": (lambda: vsc.octonion_norm_n([[3.0, 4.0]] * 64), [5.0] * 64),
    "e8_norms_squared_n": (lambda: vsc.e8_norms_squared_n([[1.0, 2.0]] * 64), [5.0] * 64),
    "spectral_flow_batch": (lambda: vsc.spectral_flow_batch([(0.0, 1.0)] * 16, 2), [[(0.0, 1.0), (1.0, 1.0), (1.0, 2.718281828459045)]] * 16),
    "geometric_product_n": (lambda: vsc.geometric_product_n([[0.0, 1.0, 0.0, 0.0]] * 64, [[0.0, 0.0, 1.0, 0.0]] * 64, [1, 1]), [[0.0, 0.0, 0.0, 1.0]] * 64),
}


@pytest.fixture(scope="module")
def medium_call():
    """About a quarter of a second of work (on this machine), and its result."""
    n = max(16, int(0.25 / max(seconds_per_pair(), 1e-6)))
    a, b = pairs(n)
    return (a, b), vsc.geometric_product_n(a, b, SIGNATURE)


@pytest.mark.parametrize("name", list(NESTED_CALLS), ids=list(NESTED_CALLS))
def test_handler_calling_a_batch_function_while_the_outer_call_waits(medium_call, alarm, name):
    (a, b), expected = medium_call
    call, nested_expected = NESTED_CALLS[name]
    in_call, ran, results = [False], [], []

    def handler(signum, frame):
        # The timer repeats (also while this handler runs); one signal that
        # comes during the call makes the nested calls.
        if in_call[0] and not ran:
            ran.append(signum)
            results.extend([call(), call()])

    alarm(0.02, handler, interval=0.02)
    for _ in range(REPEATS):
        in_call[0] = True
        got = vsc.geometric_product_n(a, b, SIGNATURE)
        in_call[0] = False
        assert got == expected
        if results:
            break
    assert results == [nested_expected, nested_expected], "the handler never ran while the call waited"


def test_handler_that_calls_in_and_then_raises(medium_call, reference, alarm):
    (a, b), _ = medium_call
    nested = []

    def handler(signum, frame):
        nested.append(vsc.octonion_mul_n([[1.0] * 8] * 32, [[2.0] * 8] * 32))
        raise Interrupted("after a nested call")

    alarm(0.1, handler)
    with pytest.raises(Interrupted, match="after a nested call"):
        call_until_interrupted(a, b, nested)
    assert nested == [NESTED_CALLS["octonion_mul_n"][1][:32]]
    check_module_still_works(reference)


def test_handler_whose_nested_call_faults(medium_call, alarm):
    """A fault in the handler's call, let through, ends the outer call with that fault."""
    (a, b), _ = medium_call
    fired = []

    def handler(signum, frame):
        fired.append(signum)
        vsc.octonion_mul_n([[1.0] * 8] * 4, [[1.0] * 8] * 3 + [[1.0] * 2])

    alarm(0.1, handler)
    with pytest.raises(PanicException, match="index out of bounds: the len is 2 but the index is 2"):
        call_until_interrupted(a, b, fired)


# ---------------------------------------------------------------------------
# Every part of a call answers: conversion, result building, and work that
# the calling thread or a single worker does alone
# ---------------------------------------------------------------------------


def dense(n, seed):
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


def one_long_vector(function):
    """One vector of just under 2^20 components, handed over as an array: its
    copy is one piece, which looks for no signal (copies look between pieces
    of 2^20 values), so a handler that runs inside the call ran where the norm
    kernel looked for one (every 2^18 components)."""
    np = pytest.importorskip("numpy")
    return function, ([np.full((1 << 20) - 1, 0.5)],)


# name -> (() -> (function, args), where in the call its part lies as a
# fraction of the call's time).
PARTS = {
    "conversion": (lambda: (vsc.add_n, ([i * 0.5 for i in range(3_000_000)], [0.0])), 0.5),
    "result_building": (lambda: (vsc.spectral_flow_batch, ([(0.5, 0.25), (1.5, 2.0)], 500_000)), 0.7),
    "one_product": (lambda: (vsc.geometric_product_n, ([dense(2**13, 1)], [dense(2**13, 2)], [1, -1] * 6 + [1])), 0.5),
    "one_trajectory": (lambda: (vsc.spectral_flow_batch, ([(0.5, 0.25)], 1_000_000)), 0.2),
    "trajectory_outside_a_map": (lambda: (vsc.spectral_flow_n, (0.5, 0.25, 1_000_000)), 0.2),
    "one_octonion_norm": (lambda: one_long_vector(vsc.octonion_norm_n), 0.5),
    "one_squared_norm": (lambda: one_long_vector(vsc.e8_norms_squared_n), 0.5),
    "buffer_copy": (lambda: (vsc.add_n, (__import__("numpy").full(1 << 25, 0.5), [0.0])), 0.5),
}


@pytest.mark.parametrize("part", list(PARTS), ids=list(PARTS))
def test_signal_handler_runs_inside_every_part_of_a_call(part, reference, alarm):
    """A handler that raises runs while the call is still in progress, and its
    exception ends the call.  Whether it ran inside is read from a profile of
    the call: between the call's start and its exception, not after its
    return.  (Without a look at signals in that part, it could only run once
    the call had returned.)  The signal is timed for the part, from the
    shortest call seen; a call that ends before its signal comes is repeated."""
    make_call, fraction = PARTS[part]
    fn, args = make_call()
    events = []  # (event, time), each appended whole: the handler may run anywhere

    def profile(frame, event, arg):
        if arg is fn and event in ("c_call", "c_return", "c_exception"):
            events.append((event, time.perf_counter()))

    def handler(signum, frame):
        events.append(("handler", 0.0))
        raise Interrupted

    duration = float("inf")
    for _ in range(INSIDE_REPEATS):
        events.clear()
        try:
            if duration < float("inf"):
                alarm(fraction * duration, handler)
            sys.setprofile(profile)
            try:
                fn(*args)
            finally:
                sys.setprofile(None)
                signal.setitimer(signal.ITIMER_REAL, 0)
        except Interrupted:
            pass
        names = [name for name, _ in events]
        if names[:3] == ["c_call", "handler", "c_exception"]:
            break
        if names[:2] == ["c_call", "c_return"]:  # the call ended before its signal
            duration = min(duration, events[1][1] - events[0][1])
    else:
        pytest.fail(f"the handler never ran inside the call in {INSIDE_REPEATS} calls: last {names}")
    check_module_still_works(reference)


def test_cancelled_map_stops_its_long_elements(reference, alarm):
    """Two products of >= 4 s each (on this machine), one per worker, stop
    soon after the handler has cancelled their map."""
    start = time.perf_counter()
    vsc.geometric_product_n([dense(2**12, 3)], [dense(2**12, 4)], [1] * 12)
    per_term = (time.perf_counter() - start) / 4**12
    n = next(n for n in range(12, 18) if per_term * 4**n >= 4.0 or n == 17)
    fired = []

    def handler(signum, frame):
        fired.append(time.perf_counter())
        raise Interrupted

    alarm(0.05, handler)
    with pytest.raises(Interrupted):
        call_until_interrupted([dense(2**n, 5)] * 2, [dense(2**n, 6)] * 2, fired, [1] * n)
    assert time.perf_counter() - fired[0] < LATENCY_LIMIT
    check_module_still_works(reference)


# ---------------------------------------------------------------------------
# Real SIGINT, in a child interpreter (Ctrl-C must not reach the test runner)
# ---------------------------------------------------------------------------

CHILD_PRELUDE = """
import random, signal, sys, time
import vyr_spectral_core as vsc
# Ctrl-C raises KeyboardInterrupt, also in a child of a shell that started the
# tests in the background (with SIGINT ignored, which the child inherits).
signal.signal(signal.SIGINT, signal.default_int_handler)
SIGNATURE = {signature!r}
D = 2 ** len(SIGNATURE)
rng = random.Random(1)
rows = [[rng.uniform(-1.0, 1.0) for _ in range(D)] for _ in range(8)]
def pairs(n):
    return [rows[i % 8] for i in range(n)], [rows[(i * 3) % 8] for i in range(n)]
sa, sb = pairs(16)
t = time.perf_counter(); expected = vsc.geometric_product_n(sa, sb, SIGNATURE)
per_pair = (time.perf_counter() - t) / 16
a, b = pairs(max(2000, int(4.0 / max(per_pair, 1e-6)) + 1))

def call_until_interrupted():
    for _ in range({repeats}):
        vsc.geometric_product_n(a, b, SIGNATURE)
"""

CHILD_AFTER = """
ok = vsc.geometric_product_n(sa, sb, SIGNATURE) == expected and vsc.add_n([1.0], [2.0]) == [3.0]
print("after", ok, flush=True)
"""


def run_child(body, timeout=120):
    code = CHILD_PRELUDE.format(signature=SIGNATURE, repeats=CHILD_REPEATS) + textwrap.dedent(body) + CHILD_AFTER
    try:
        proc = subprocess.run(
            [sys.executable, "-c", code], env=subprocess_env(), capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"child hung\n{exc.stdout}\n{exc.stderr}")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return dict(line.split(" ", 1) for line in proc.stdout.splitlines() if " " in line), proc


def have_native_timer():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return hasattr(libc, "timer_create") and hasattr(ctypes.pythonapi, "PyErr_SetInterruptEx")
    except OSError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux") or not have_native_timer(), reason="Linux timers")
@pytest.mark.parametrize("signum", ["SIGINT", "SIGUSR1"])
def test_interrupt_main_from_a_native_timer_thread(signum):
    """What ``_thread.interrupt_main(signum)`` does, from a thread that needs no interpreter lock.

    A POSIX timer starts a native thread that calls ``PyErr_SetInterruptEx``,
    the function behind ``_thread.interrupt_main``.  (A Python thread could not
    run at all while the call holds the interpreter lock.)
    """
    body = f"""
    import ctypes
    class SigEvent(ctypes.Structure):
        _fields_ = [("value", ctypes.c_void_p), ("signo", ctypes.c_int), ("notify", ctypes.c_int),
                    ("function", ctypes.c_void_p), ("attribute", ctypes.c_void_p), ("pad", ctypes.c_int * 8)]
    class TimeSpec(ctypes.Structure):
        _fields_ = [("sec", ctypes.c_long), ("nsec", ctypes.c_long)]
    class ITimerSpec(ctypes.Structure):
        _fields_ = [("interval", TimeSpec), ("value", TimeSpec)]
    libc = ctypes.CDLL(None, use_errno=True)
    signum = signal.{signum}
    if signum != signal.SIGINT:
        def handler(s, f):
            raise KeyboardInterrupt
        signal.signal(signum, handler)
    sev = SigEvent()
    sev.notify = 2  # SIGEV_THREAD
    sev.value = int(signum)
    sev.function = ctypes.cast(ctypes.pythonapi.PyErr_SetInterruptEx, ctypes.c_void_p).value
    timer = ctypes.c_void_p()
    assert libc.timer_create(1, ctypes.byref(sev), ctypes.byref(timer)) == 0, ctypes.get_errno()
    spec = ITimerSpec(TimeSpec(0, 0), TimeSpec(0, 300_000_000))
    start = time.perf_counter()
    assert libc.timer_settime(timer, 0, ctypes.byref(spec), None) == 0
    try:
        call_until_interrupted()
        print("outcome completed", flush=True)
    except KeyboardInterrupt:
        print("outcome interrupted", flush=True)
    print("latency", time.perf_counter() - start - 0.3, flush=True)
    libc.timer_delete(timer)
    """
    out, proc = run_child(body)
    assert out["outcome"] == "interrupted", proc.stderr
    assert float(out["latency"]) < LATENCY_LIMIT, f"answered {float(out['latency']):.3f} s after the signal"
    assert out["after"] == "True"


def test_ctrl_c_from_another_process():
    """A real SIGINT (Ctrl-C) sent from outside while the call runs."""
    code = CHILD_PRELUDE.format(signature=SIGNATURE, repeats=CHILD_REPEATS) + textwrap.dedent(
        """
        start = time.perf_counter()
        try:
            print("ready", flush=True)
            call_until_interrupted()
            print("outcome completed", flush=True)
        except KeyboardInterrupt:
            print("outcome interrupted", flush=True)
        print("elapsed", time.perf_counter() - start, flush=True)
        """
    ) + CHILD_AFTER
    proc = subprocess.Popen(
        [sys.executable, "-c", code], env=subprocess_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # most likely into the first call; a later one does as well
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        outcome = proc.stdout.readline().strip()
        answered = time.perf_counter() - sent
        rest, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert outcome == "outcome interrupted", err
    assert answered < LATENCY_LIMIT, f"answered {answered:.3f} s after SIGINT"
    assert "after True" in rest, rest + err
    assert proc.returncode == 0


# ---------------------------------------------------------------------------
# The array module's norms: one item whose sum alone runs for seconds
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("function", ["octonion_norm", "norms_squared"])
def test_a_long_norm_of_one_item_stops_soon_after_the_handler(reference, alarm, function):
    """One item of 2^31 components (one value broadcast, so no memory): the
    norm's chain of additions stops between components once its call has
    been cancelled, well before it would have ended."""
    np = pytest.importorskip("numpy")
    va = pytest.importorskip("vyr_spectral_arrays")
    norm = getattr(va, function)
    x = np.broadcast_to(np.float64(0.5), (1 << 31,))
    fired = []

    def handler(signum, frame):
        fired.append(time.perf_counter())
        raise Interrupted

    alarm(0.05, handler)
    with pytest.raises(Interrupted):
        for _ in range(REPEATS):
            norm(x)
            if fired:
                pytest.fail("the handler ran, but its exception did not end the call")
    assert time.perf_counter() - fired[0] < LATENCY_LIMIT
    check_module_still_works(reference)
    assert norm(x[: (1 << 20) + 1]) == (math.sqrt(2.0**18 + 0.25) if function == "octonion_norm" else 2.0**18 + 0.25)
