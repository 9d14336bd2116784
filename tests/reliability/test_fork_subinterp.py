"""Processes made by fork, and interpreters other than the first.

A child forked after the worker pool exists inherits none of the pool's
threads; it must still get working batch calls (a pool of its own, of the
configured size), also when it forks again, when it is made by
multiprocessing, and when the fork happens while a batch call of the parent is
in flight.  The parent's pool goes on as before.  Every scenario runs in a
child interpreter with a time limit, so that a hang or a crash stays there.

A second interpreter of the same process cannot import the module: every
attempt raises ImportError, and the first interpreter's module keeps working.
"""

import importlib.util
import sys
import textwrap

import pytest

from conftest import run_snippet

pytestmark = pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")

THREADS = 3  # the pool size of every scenario

# Defines batch_results(): one result per batch function and a fault's
# message, deterministic.
BATCH_RESULTS = """
import vyr_spectral_core as vsc

def batch_results(seed=0):
    s = float(seed)
    vec = [s + i * 0.25 for i in range(20000)]
    batch = [[s + i + j * 0.5 for j in range(8)] for i in range(300)]
    try:
        vsc.octonion_mul_n(batch, batch[:150] + [[1.0]] * 150)
    except BaseException as e:
        fault = str(e)
    return [
        vsc.add_n(vec, vec[::-1]),
        vsc.octonion_mul_n(batch, batch[::-1]),
        vsc.octonion_norm_n(batch),
        vsc.e8_norms_squared_n(batch),
        vsc.geometric_product_n(batch, batch[1:], [1, -1, 1]),
        vsc.spectral_flow_batch([(s + i / 10, 1.0 + i) for i in range(64)], 20),
        fault,
    ]
"""

# THREADS is the configured pool size; threads() counts this process's
# threads; wait_child() waits for a forked child with a limit (a hung child is
# killed and reported); in_child(check) forks, runs check() in the child and
# returns the child's exit code (0: check returned true).
HELPERS = """
import os, signal, sys, time, traceback, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
THREADS = int(os.environ["VYR_NUM_THREADS"])

def threads():
    return len(os.listdir("/proc/self/task"))

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

def in_child(check, limit=60.0):
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if check() else 1
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
    return wait_child(pid, limit)
"""


def run_scenario(body):
    code = HELPERS + BATCH_RESULTS + textwrap.dedent(body)
    return run_snippet(code, env={"VYR_NUM_THREADS": str(THREADS)}, timeout=180).stdout.split()


def test_fork_after_batch_calls_gives_the_child_a_pool_of_its_own():
    # Forks right after batch calls, and forks with no call in between.
    out = run_scenario(
        """
        expected = batch_results(1)
        base = threads()
        codes = []
        for k in range(12):
            if k % 2:
                batch_results(k)
            codes.append(in_child(lambda: batch_results(1) == expected and threads() == base))
        print(*codes)
        print(batch_results(1) == expected, threads() == base == 1 + THREADS)
        """
    )
    assert out == ["0"] * 12 + ["True", "True"]


def test_fork_before_any_batch_call_and_child_creates_the_pool():
    out = run_scenario(
        """
        code = in_child(lambda: batch_results(2) == batch_results(2) and threads() == 1 + THREADS)
        print(code, threads(), batch_results(2) == batch_results(2), threads())
        """
    )
    assert out == ["0", "1", "True", str(1 + THREADS)]


def test_nested_fork():
    out = run_scenario(
        """
        expected = batch_results(3)
        def check(depth):
            if batch_results(3) != expected or threads() != 1 + THREADS:
                return False
            if depth < 3 and in_child(lambda: check(depth + 1), 120 - 30 * depth) != 0:
                return False
            return batch_results(3) == expected
        print(check(0))
        """
    )
    assert out == ["True"]


@pytest.mark.parametrize("child", ["exits", "returns", "raises"])
def test_fork_from_a_signal_handler_while_a_batch_call_is_in_flight(child):
    """The child is made while the parent's workers are busy with a map.  It
    exits from the handler, or goes back into the call it interrupted and
    must finish it (no worker of the parent's pool lives on in the child), or
    raises from the handler as a Ctrl-C would and must end the call with that
    exception."""
    out = run_scenario(
        f"""
        sig = [1, -1, 1, 1, -1, 1, 0, 1, 1]
        rows = [[float((i * 7 + j) % 5) - 2.0 for j in range(512)] for i in range(400)]
        reversed_rows = rows[::-1]
        expected_big = vsc.geometric_product_n(rows, reversed_rows, sig)
        expected = batch_results(4)
        in_call, forked, in_the_child = [False], [], []

        class Interrupted(Exception):
            pass

        def works():
            return batch_results(4) == expected and threads() == 1 + THREADS

        def handler(signum, frame):
            # The timer repeats, also while this handler forks or waits (a
            # fork can take longer than its interval): one signal that comes
            # during the call forks.
            if not in_call[0] or forked or in_the_child:
                return
            forked.append("forking")
            if {child!r} == "exits":
                forked[0] = in_child(works)
                return
            sys.stdout.flush()
            pid = os.fork()
            if pid != 0:
                forked[0] = pid
                return
            in_the_child.append(True)
            signal.setitimer(signal.ITIMER_REAL, 0)
            if {child!r} == "raises":
                raise Interrupted

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        same = True
        for _ in range(1000):
            in_call[0] = True
            try:
                got = vsc.geometric_product_n(rows, reversed_rows, sig)
            except Interrupted:
                got = "interrupted"
            in_call[0] = False
            if in_the_child:
                wanted = "interrupted" if {child!r} == "raises" else expected_big
                os._exit(0 if got == wanted and works() else 1)
            same = same and got == expected_big
            if forked:
                break
        signal.setitimer(signal.ITIMER_REAL, 0)
        code = forked[0] if {child!r} == "exits" else wait_child(forked[0])
        print(code, same, works())
        """
    )
    assert out == ["0", "True", "True"], out


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_pools_compute_the_parents_results(method, tmp_path):
    (tmp_path / "batch_worker.py").write_text(BATCH_RESULTS)
    code = f"""
    import sys, warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    sys.path.insert(0, {str(tmp_path)!r})
    import multiprocessing as mp
    from batch_worker import batch_results
    if __name__ == "__main__":
        expected = [batch_results(k) for k in range(6)]
        ctx = mp.get_context({method!r})
        with ctx.Pool(2) as pool:
            got = pool.map_async(batch_results, range(6)).get(timeout=120)
            got2 = pool.map_async(batch_results, range(6)).get(timeout=120)
        print(got == expected, got2 == expected)
        with ctx.Pool(1, maxtasksperchild=1) as pool:
            print(pool.map_async(batch_results, [5, 4]).get(timeout=120) == [expected[5], expected[4]])
        print(batch_results(0) == expected[0])
    """
    proc = run_snippet(code, timeout=180)
    assert proc.stdout.split() == ["True", "True", "True", "True"], proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# Sub-interpreters
# ---------------------------------------------------------------------------

SUBINTERP_SNIPPET = """
try:
    import {name}
    print("imported", flush=True)
except ImportError as exc:
    print("ImportError:", str(exc).replace(" ", "_"), flush=True)
except BaseException as exc:
    print("other:", type(exc).__name__, flush=True)
"""


# The interpreters module, its function that runs code in an interpreter, and
# how it makes an interpreter of either configuration.
if sys.version_info >= (3, 13):
    INTERPRETERS = "_interpreters", "exec", {"legacy": "'legacy'", "isolated": "'isolated'"}
else:
    INTERPRETERS = "_xxsubinterpreters", "run_string", {
        "legacy": "isolated=False",
        "isolated": "isolated=True",
    }


# What each module's own initialiser says when it refuses an interpreter.
REFUSALS = {
    "vyr_spectral_core": "ImportError: vyr_spectral_core_does_not_yet_support_subinterpreters,_see_",
    # The fault type belongs to the interpreter that the list module serves.
    "vyr_runtime": "ImportError: vyr_runtime_serves_only_the_interpreter_that_vyr_spectral_core_serves",
}


@pytest.mark.parametrize("name", list(REFUSALS))
@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreter_import_raises_import_error_every_time(config, name):
    module, run, how = INTERPRETERS
    if importlib.util.find_spec(module) is None:
        pytest.skip("no sub-interpreter module in this interpreter")
    code = (
        f"import sys\nimport {module} as interp\n"
        + BATCH_RESULTS
        + textwrap.dedent(
            f"""
            def attempt(i):
                interp.{run}(i, {SUBINTERP_SNIPPET.format(name=name)!r})
            def create():
                return interp.create({how[config]})
            before = batch_results(1)
            first = create()
            for _ in range(3):
                sys.stdout.flush(); attempt(first); sys.stdout.flush()
            second = create()
            attempt(second); sys.stdout.flush()
            interp.destroy(first)
            third = create()  # after one was destroyed
            attempt(third); sys.stdout.flush()
            interp.destroy(second); interp.destroy(third)
            import vyr_spectral_core as again
            print("main", again is vsc and batch_results(1) == before, len(vsc.__all__))
            """
        )
    )
    proc = run_snippet(code)
    lines = proc.stdout.splitlines()
    assert lines[-1] == "main True 11", proc.stdout + proc.stderr
    attempts = lines[:-1]
    assert len(attempts) == 5, proc.stdout + proc.stderr
    prefix = REFUSALS[name]
    for line in attempts:
        assert line.startswith("ImportError:"), proc.stdout + proc.stderr
        if config == "legacy":
            # The module's own initialiser refused the second interpreter, and
            # says where to read more.
            assert line.startswith(prefix) and len(line) > len(prefix), line
