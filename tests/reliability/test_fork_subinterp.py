"""Processes made by fork, and interpreters other than the first.

A child forked after the worker pool exists inherits none of the pool's
threads; it must still get working batch calls (a pool of its own), also when
it forks again, when it is made by multiprocessing, and when the fork happens
while a batch call of the parent is in flight.  Every scenario runs in a child
interpreter with a time limit, so that a hang or a crash stays there.

A second interpreter of the same process cannot import the module: every
attempt raises ImportError, and the first interpreter's module keeps working.
"""

import sys
import textwrap

import pytest

from reliability_support import run_python

pytestmark = pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")

# Defines batch_results(): one result per batch function, deterministic.
BATCH_RESULTS = """
import vyr_spectral_core as vsc

def batch_results(seed=0):
    s = float(seed)
    vec = [s + i * 0.25 for i in range(64)]
    batch = [[s + i + j * 0.5 for j in range(8)] for i in range(40)]
    return [
        vsc.add_n(vec, vec[::-1]),
        vsc.octonion_mul_n(batch, batch[::-1]),
        vsc.octonion_norm_n(batch),
        vsc.e8_norms_squared_n(batch),
        vsc.geometric_product_n(batch, batch[1:], [1, -1, 1]),
        vsc.spectral_flow_batch([(s + i / 10, 1.0 + i) for i in range(30)], 20),
    ]
"""

# Waits for a forked child with a limit; a hung child is killed and reported.
WAIT_CHILD = """
import os, time, signal

def wait_child(pid, limit=60.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"
"""

PRELUDE = "import warnings\nwarnings.simplefilter('ignore', DeprecationWarning)\n" + BATCH_RESULTS + WAIT_CHILD


def run_scenario(body, timeout=180):
    proc = run_python(PRELUDE + textwrap.dedent(body), timeout=timeout)
    return proc.stdout.split()


def test_fork_right_after_batch_calls():
    out = run_scenario(
        """
        expected = batch_results(1)
        codes = []
        for k in range(12):
            batch_results(k)  # the pool is busy up to the fork
            pid = os.fork()
            if pid == 0:
                ok = batch_results(1) == expected and batch_results(k) == batch_results(k)
                os._exit(0 if ok else 1)
            codes.append(wait_child(pid))
        print(*codes)
        print(batch_results(1) == expected)
        """
    )
    assert out == ["0"] * 12 + ["True"]


def test_fork_before_any_batch_call_and_child_creates_the_pool():
    out = run_scenario(
        """
        pid = os.fork()
        if pid == 0:
            os._exit(0 if batch_results(2) == batch_results(2) else 1)
        code = wait_child(pid)
        print(code, batch_results(2) == batch_results(2))
        """
    )
    assert out == ["0", "True"]


def test_nested_fork():
    out = run_scenario(
        """
        expected = batch_results(3)
        pid = os.fork()
        if pid == 0:
            ok = batch_results(3) == expected
            grandchild = os.fork()
            if grandchild == 0:
                ok2 = batch_results(3) == expected
                great = os.fork()
                if great == 0:
                    os._exit(0 if batch_results(3) == expected else 1)
                os._exit(0 if ok2 and wait_child(great) == 0 else 2)
            code = wait_child(grandchild)
            os._exit(0 if ok and code == 0 and batch_results(3) == expected else 3)
        print(wait_child(pid, 120), batch_results(3) == expected)
        """
    )
    assert out == ["0", "True"]


def test_fork_from_a_signal_handler_while_a_batch_call_is_in_flight():
    """The child is made while the parent's workers are busy with a map."""
    out = run_scenario(
        """
        import signal
        sig = [1, -1, 1, 1, -1, 1, 0, 1, 1]
        rows = [[float((i * 7 + j) % 5) - 2.0 for j in range(512)] for i in range(400)]
        expected_big = vsc.geometric_product_n(rows, rows[::-1], sig)
        expected = batch_results(4)
        codes = []
        def handler(signum, frame):
            pid = os.fork()
            if pid == 0:
                # Never returns into the parent's in-flight call.
                os._exit(0 if batch_results(4) == expected else 1)
            codes.append(wait_child(pid))
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.1)
        got = vsc.geometric_product_n(rows, rows[::-1], sig)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(codes) > 0, all(c == 0 for c in codes), codes[:3])
        print(got == expected_big)
        """
    )
    assert out[:2] == ["True", "True"], out
    assert out[-1] == "True"


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_pools_compute_the_parents_results(method, tmp_path):
    (tmp_path / "batch_worker.py").write_text(BATCH_RESULTS)
    code = f"""
    import sys
    sys.path.insert(0, {str(tmp_path)!r})
    import multiprocessing as mp
    from batch_worker import batch_results
    if __name__ == "__main__":
        expected = [batch_results(k) for k in range(6)]
        ctx = mp.get_context({method!r})
        with ctx.Pool(2) as pool:
            got = pool.map(batch_results, range(6))
            got2 = pool.map(batch_results, range(6))
        print(got == expected, got2 == expected)
        with ctx.Pool(1, maxtasksperchild=1) as pool:
            print(pool.map(batch_results, [5, 4]) == [expected[5], expected[4]])
        print(batch_results(0) == expected[0])
    """
    proc = run_python(
        "import warnings\nwarnings.simplefilter('ignore', DeprecationWarning)\n" + textwrap.dedent(code),
        timeout=180,
    )
    assert proc.stdout.split() == ["True", "True", "True", "True"], proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# Sub-interpreters
# ---------------------------------------------------------------------------

SUBINTERP_SNIPPET = """
try:
    import vyr_spectral_core
    print("imported", flush=True)
except ImportError as exc:
    print("ImportError:", str(exc).replace(" ", "_"), flush=True)
"""


def subinterpreter_driver(config):
    """Code that runs SUBINTERP_SNIPPET in new interpreters of the given configuration."""
    if sys.version_info >= (3, 13):
        make = f"interp.create({'legacy' if config == 'legacy' else 'isolated'!r})"
        return f"""
        import _interpreters as interp
        def attempt(i):
            interp.exec(i, {SUBINTERP_SNIPPET!r})
        def create():
            return {make}
        """
    make = f"interp.create(isolated={config != 'legacy'})"
    return f"""
    import _xxsubinterpreters as interp
    def attempt(i):
        interp.run_string(i, {SUBINTERP_SNIPPET!r})
    def create():
        return {make}
    """


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreter_import_raises_import_error_every_time(config):
    try:
        if sys.version_info >= (3, 13):
            import _interpreters  # noqa: F401
        else:
            import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("no sub-interpreter module in this interpreter")
    code = (
        "import sys\n"
        + BATCH_RESULTS
        + textwrap.dedent(subinterpreter_driver(config))
        + textwrap.dedent(
            """
            before = batch_results(1)
            first = create()
            for _ in range(3):
                sys.stdout.flush(); attempt(first); sys.stdout.flush()
            second = create()
            attempt(second); sys.stdout.flush()
            interp.destroy(first); interp.destroy(second)
            import vyr_spectral_core as again
            print("main", again is vsc and batch_results(1) == before, len(vsc.__all__))
            """
        )
    )
    proc = run_python(code, timeout=120)
    lines = proc.stdout.splitlines()
    assert lines[-1] == "main True 11", proc.stdout + proc.stderr
    attempts = lines[:-1]
    assert len(attempts) == 4, proc.stdout + proc.stderr
    for line in attempts:
        assert line.startswith("ImportError:"), proc.stdout + proc.stderr
        if config == "legacy":
            # The module's own initialiser refused the second interpreter.
            assert line.startswith("ImportError: vyr_spectral_core_does_not_yet_support_subinterpreters,_see_"), line
