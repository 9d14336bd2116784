"""Calls across the process's life: a daemon thread inside a long call when
the interpreter exits, and a child forked by a signal handler while an array
call is on the pool.  Each scenario runs in a child interpreter with a
time limit, so that a crash or a hang stays there."""

import os

import pytest

from conftest import run_snippet

pytest.importorskip("numpy")

LONG_CALLS = {
    "trajectories": "va.spectral_flow(np.zeros((64, 2)), 200_000)",
    "products": "va.geometric_product(np.ones((4, 4096)), np.ones((4, 4096)), [1] * 12)",
    "in-place add": "va.add(big, 1.0, out=big)",
    # A list function whose conversion runs Python code that releases the
    # interpreter lock (and so may be ended by the interpreter there).
    "list conversion": "vsc.add_n([Sleeps()] * 1000, [1.0] * 1000)",
}


@pytest.mark.parametrize("call", list(LONG_CALLS), ids=list(LONG_CALLS))
def test_interpreter_exit_during_a_call_on_a_daemon_thread(call):
    """The interpreter ends a thread that takes its lock back while it
    finalizes; that must neither crash the process nor leave workers writing
    into a frame that is gone."""
    for _ in range(3):
        proc = run_snippet(
            f"""
            import threading, time
            import numpy as np
            import vyr_spectral_arrays as va
            import vyr_spectral_core as vsc

            big = np.ones(2**24)
            inside = threading.Event()

            class Sleeps:
                def __float__(self):
                    time.sleep(0.001)
                    return 1.0

            def work():
                inside.set()
                while True:
                    {LONG_CALLS[call]}

            threading.Thread(target=work, daemon=True).start()
            inside.wait()
            print("exiting", flush=True)
            """,
            check=False,
        )
        assert (proc.returncode, proc.stdout) == (0, "exiting\n"), proc.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "fresh output"])
def test_child_forked_by_a_handler_applies_no_item_twice(in_place):
    """A signal handler forks while the pool adds 1 to every element.  A
    child that cannot tell which elements the parent's workers had already
    updated (the output is the input) ends the call with RuntimeError rather
    than adding 1 twice; with a fresh output it finishes the call on a pool
    of its own.  The parent is unaffected either way.  A fork that lands
    just after the call has returned proves nothing, so the scenario repeats
    (a bounded number of times) until a child was made inside the call."""
    out = run_snippet(
        f"""
        import os, signal, sys, warnings
        import numpy as np
        import vyr_spectral_arrays as va

        # fork() warns about the pool's threads; the warning runs Python code
        # inside fork(), where a nested handler could fork again.
        warnings.simplefilter("ignore", DeprecationWarning)
        in_place = {in_place!r}
        n = 2**24
        expected = np.arange(float(n)) + 1.0
        forked, in_call, in_the_child = [], [False], []
        IN_CALL, AFTER_CALL, WRONG = 0, 3, 1

        def handler(signum, frame):
            if not in_call[0] or forked or in_the_child:
                return
            forked.append(None)
            sys.stdout.flush()
            pid = os.fork()
            if pid == 0:
                in_the_child.append(True)
                signal.setitimer(signal.ITIMER_REAL, 0)
            forked[0] = pid

        signal.signal(signal.SIGALRM, handler)
        codes = []
        for attempt in range(2000):
            a = np.arange(float(n))
            forked.clear()
            signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            in_call[0] = True
            try:
                got = va.add(a, 1.0, out=a if in_place else None)
            except RuntimeError as e:
                got = e
            in_call[0] = False
            signal.setitimer(signal.ITIMER_REAL, 0)
            if in_the_child:
                if isinstance(got, RuntimeError):
                    code = IN_CALL if in_place and "forked" in str(got) else WRONG
                elif np.array_equal(got, expected):
                    code = AFTER_CALL if in_place else IN_CALL
                else:
                    code = WRONG
                # The child's own pool serves the next calls.
                if not np.array_equal(va.add(np.ones(n), 1.0), np.full(n, 2.0)):
                    code = WRONG
                os._exit(code)
            assert np.array_equal(got, expected)
            if forked:
                _, status = os.waitpid(forked[0], 0)
                codes.append(os.waitstatus_to_exitcode(status))
                if codes[-1] != AFTER_CALL or len(codes) == 50:
                    break
        print(codes[-1], WRONG in codes)
        """,
        timeout=300,
    ).stdout.split()
    assert out == ["0", "False"], out
