"""The array module on the worker pool: the same bits for every pool size,
other Python threads running while the pool computes, signals (Ctrl-C) that
stop a long call, several callers at once, forked children, and a pool that
cannot start."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

np = pytest.importorskip("numpy")

import vyr_spectral_arrays as va  # noqa: E402
from conftest import run_snippet, subprocess_env  # noqa: E402

# Large enough for every function to run on the pool; with special values,
# broadcast and strided operands.  Each function is checked against the list
# module on the same doubles.
POOL_WORKLOAD = """
import numpy as np
import vyr_spectral_arrays as va
import vyr_spectral_core as vc

rng = np.random.default_rng(11)
specials = np.array([np.nan, -np.inf, np.inf, 0.0, -0.0, 5e-324, 1e308, 709.79])

def sample(*shape):
    x = rng.normal(size=shape) * 4
    x.flat[rng.integers(0, x.size, x.size // 10)] = rng.choice(specials, x.size // 10)
    return x

def f64(x):
    return np.array(x, dtype=np.float64)

def rows(x, width):
    return np.ascontiguousarray(x).reshape(-1, width).tolist()

def same(got, want):
    return got.shape == want.shape and np.array_equal(got.view(np.uint64), want.view(np.uint64))

vec = sample(400_000)
octs = sample(30_000, 8)
rotor = sample(8)
ga, gb = sample(4000, 32), sample(4000, 32)
starts = sample(600, 2)
checks = {
    "add": same(va.add(vec[::2], vec[1::2]), f64(vc.add_n(vec[::2].tolist(), vec[1::2].tolist()))),
    "add broadcast": same(va.add(vec.reshape(2, -1), vec[:200_000]),
                          f64(vc.add_n(vec.tolist(), vec[:200_000].tolist() * 2)).reshape(2, -1)),
    "octonion_mul": same(va.octonion_mul(octs, rotor),
                         f64(vc.octonion_mul_n(octs.tolist(), [rotor.tolist()] * len(octs)))),
    "octonion_mul strided": same(va.octonion_mul(octs[:, ::-1], octs.T.copy().T),
                                 f64(vc.octonion_mul_n(rows(octs[:, ::-1], 8), octs.tolist()))),
    "octonion_norm": same(va.octonion_norm(octs), f64(vc.octonion_norm_n(octs.tolist()))),
    "norms_squared": same(va.norms_squared(octs.T.T[:, 1:]), f64(vc.e8_norms_squared_n(rows(octs[:, 1:], 7)))),
    "geometric_product": same(va.geometric_product(ga, gb, [1, -1, 1, 0, 2]),
                              f64(vc.geometric_product_n(ga.tolist(), gb.tolist(), [1, -1, 1, 0, 2]))),
    "spectral_flow_step": same(va.spectral_flow_step(octs.reshape(-1, 2)),
                               f64([vc.spectral_flow_step(x, y) for x, y in octs.reshape(-1, 2).tolist()])),
    "spectral_flow": same(va.spectral_flow(starts, 300),
                          f64(vc.spectral_flow_batch([tuple(p) for p in starts.tolist()], 300))),
}
"""


@pytest.mark.parametrize("threads", [None, "1", "3"])
def test_every_pool_size_gives_the_list_modules_bits(threads):
    proc = run_snippet(POOL_WORKLOAD + "print(sorted(k for k, ok in checks.items() if not ok))",
                       env={"VYR_NUM_THREADS": threads}, timeout=300)
    assert proc.stdout.strip() == "[]"


# --------------------------------------------------------------------------
# Long calls: about a minute of work on two cores, always cut short here
# --------------------------------------------------------------------------

# 4096 components; one dense product is ~10^7 terms.  The entry 2 keeps the
# products on the scalar routine, which the lane kernels would outrun.
LONG_SIGNATURE = [1, -1] * 5 + [1, 2]


def long_call_args(pairs=1500):
    rng = np.random.default_rng(5)
    dim = 2 ** len(LONG_SIGNATURE)
    left = np.broadcast_to(rng.normal(size=dim), (pairs, dim))
    right = rng.normal(size=(4, 1, dim))[:, 0]
    return left, np.broadcast_to(right[:1], (pairs, dim))


class Enough(Exception):
    pass


def test_other_threads_run_while_the_pool_computes_and_a_handler_ends_the_call():
    """A ticker thread counts while the call runs; a timer's handler, run by
    the waiting caller, ends the call once the ticker has moved on.  Were the
    interpreter lock held through the call, the ticker could not move and the
    call would run to its end."""
    left, right = long_call_args()
    ticks = [0]
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1

    seen = []

    def handler(signum, frame):
        seen.append(ticks[0])
        if seen[-1] - seen[0] >= 1000 and not stop.is_set():
            stop.set()
            raise Enough

    previous = signal.signal(signal.SIGALRM, handler)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        with pytest.raises(Enough):
            va.geometric_product(left, right, LONG_SIGNATURE)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        stop.set()
        thread.join()
    assert len(seen) >= 2
    # The module works as before.
    small = np.arange(8.0)
    assert va.octonion_norm(small) == np.sqrt(140.0)


def test_sigint_from_another_process_stops_a_long_call():
    child = textwrap.dedent(
        f"""
        import threading, numpy as np
        import vyr_spectral_arrays as va
        from test_arrays_pool import long_call_args, LONG_SIGNATURE
        left, right = long_call_args()
        started = threading.Event()

        def announce():
            started.wait()
            # Printing needs the interpreter lock, free only inside the call.
            print("in call", flush=True)

        threading.Thread(target=announce, daemon=True).start()
        started.set()
        try:
            va.geometric_product(left, right, LONG_SIGNATURE)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print("after", va.add(np.ones(3), 1.0).tolist(), flush=True)
        """
    )
    proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, text=True,
                            env=subprocess_env())
    try:
        assert proc.stdout.readline().strip() == "in call"
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        assert proc.stdout.readline().strip() == "interrupted"
        latency = time.monotonic() - sent
        assert proc.stdout.readline().strip() == "after [2.0, 2.0, 2.0]"
        assert proc.wait(timeout=60) == 0
    finally:
        proc.kill()
        proc.wait()
    assert latency < 5.0, f"the call ended {latency:.2f} s after SIGINT (goal 0.1 s)"


def test_concurrent_callers_each_get_their_own_bits():
    rng = np.random.default_rng(2)
    octs = rng.normal(size=(50_000, 8))
    vec = rng.normal(size=300_000)
    starts = rng.normal(size=(200, 2))
    calls = [
        lambda: va.octonion_mul(octs, octs[::-1]),
        lambda: va.add(vec, vec[::-1]),
        lambda: va.geometric_product(octs[:20_000], octs[1:20_001], [1, 1, -1]),
        lambda: va.spectral_flow(starts, 500),
        lambda: va.norms_squared(octs),
    ]
    expected = [call().view(np.uint64) for call in calls]
    failures = []

    def worker(k):
        for round_ in range(3):
            index = (k + round_) % len(calls)
            if not np.array_equal(calls[index]().view(np.uint64), expected[index]):
                failures.append((k, index))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_forked_children_compute_on_a_pool_of_their_own():
    proc = run_snippet(
        """
        import os, threading
        import numpy as np
        import vyr_spectral_arrays as va
        octs = np.random.default_rng(1).normal(size=(60_000, 8))
        expected = va.octonion_mul(octs, octs[::-1]).tobytes()
        # One fork while another thread's call is on the pool, one after.
        busy = threading.Thread(target=lambda: [va.octonion_mul(octs, octs) for _ in range(20)])
        codes = []
        for during_a_call in (True, False):
            if during_a_call:
                busy.start()
            pid = os.fork()
            if pid == 0:
                ok = all(va.octonion_mul(octs, octs[::-1]).tobytes() == expected for _ in range(3))
                os._exit(0 if ok else 1)
            codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        busy.join()
        print(codes, va.octonion_mul(octs, octs[::-1]).tobytes() == expected)
        """,
        timeout=300,
    )
    assert proc.stdout.strip() == "[0, 0] True"


def test_every_module_loads_the_one_engine_library_from_beside_itself():
    proc = run_snippet(
        """
        import os
        import vyr_runtime, vyr_spectral_arrays, vyr_spectral_core
        engines = {line.split()[-1] for line in open("/proc/self/maps")
                   if "libvyr_spectral_engine" in line}
        folders = {os.path.dirname(os.path.realpath(m.__file__))
                   for m in (vyr_runtime, vyr_spectral_arrays, vyr_spectral_core)}
        # Installed, the modules share a folder, and the engine sits there too.
        beside = len(folders) > 1 or {os.path.dirname(e) for e in engines} == folders
        print(len(engines), beside)
        """
    )
    assert proc.stdout.split() == ["1", "True"]


@pytest.mark.parametrize("first", ["arrays", "lists"])
def test_one_pool_per_process_whichever_module_starts_it(first):
    proc = run_snippet(
        f"""
        import os
        import numpy as np
        import vyr_spectral_arrays as va
        import vyr_spectral_core as vc

        def threads():
            return len(os.listdir("/proc/self/task"))

        def arrays():
            va.octonion_mul(np.ones((50_000, 8)), np.ones(8))

        def lists():
            vc.add_n([1.0] * 1000, [2.0] * 1000)

        base = threads()
        {first}()
        after_first = threads() - base
        arrays(), lists()
        print(after_first, threads() - base)
        """,
        env={"VYR_NUM_THREADS": "3"},
    )
    assert proc.stdout.split() == ["3", "3"]


def test_a_pool_that_cannot_start_fails_alike_for_both_modules():
    """The array functions raise RuntimeError with the engine's reason, every
    time; the list functions then fault with the same reason; small array
    calls, which never need the pool, still work."""
    proc = run_snippet(
        """
        import resource
        import numpy as np
        import vyr_spectral_arrays as va
        import vyr_spectral_core as vc
        big, small = np.ones((50_000, 8)), np.ones(10)
        def vmsize():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        # room for a few 2 MiB worker stacks, not for 64 of them
        limit = vmsize() + 24 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        messages = []
        for _ in range(2):
            try:
                va.octonion_mul(big, big, out=big)
            except RuntimeError as e:
                messages.append(str(e))
        try:
            vc.add_n([1.0], [2.0])
        except BaseException as e:
            messages.append(str(e))
            print(type(e).__name__)
        print(len(messages), len(set(messages)),
              messages[0].startswith("The global thread pool has not been initialized."))
        print(va.add(small, small).sum())
        """,
        env={"VYR_NUM_THREADS": "64"},
    )
    assert proc.stdout.split() == ["PanicException", "3", "1", "True", "20.0"]
