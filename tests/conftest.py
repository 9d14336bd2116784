"""Shared helpers for the ``vyr_spectral_core`` test suite."""

import contextlib
import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest

from vyr_runtime import PanicException

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
# The suite's helper modules (models, hostile protocol classes, workloads).
SUPPORT_DIR = os.path.join(TESTS_DIR, "support")
for _folder in (SUPPORT_DIR, TESTS_DIR):
    if _folder not in sys.path:
        sys.path.insert(0, _folder)

import models  # noqa: E402 - found through the path set above

try:
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "suite",
        max_examples=50,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.register_profile(
        "thorough",
        max_examples=2000,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "suite"))
except ImportError:  # pragma: no cover - hypothesis is a test requirement
    pass

POOL_ENV_VARS = ("VYR_NUM_THREADS", "VYR_NUM_CPUS")

# Run under AddressSanitizer (see .ci/reliability.sh): its allocator keeps no
# heap statistics, holds freed memory back and makes everything slower.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("VYR_UNDER_ASAN"))


def bits(x):
    """Bit pattern of a float; every NaN maps to one marker, zeros keep their sign."""
    assert type(x) is float, f"expected a float, got {type(x).__name__}"
    if math.isnan(x):
        return "nan"
    return struct.pack("<d", x).hex()


def tree_bits(obj):
    """``bits`` applied through nested lists and tuples, keeping their types."""
    if isinstance(obj, list):
        return ("list", [tree_bits(v) for v in obj])
    if isinstance(obj, tuple):
        return ("tuple", tuple(tree_bits(v) for v in obj))
    return bits(obj)


def assert_same(got, expected):
    """Bit-for-bit equality of nested results (lists, tuples, floats)."""
    assert tree_bits(got) == tree_bits(expected), f"\n got: {got!r}\nwant: {expected!r}"


def raised(fn, *args, **kwargs):
    """The exception, of any type, that ``fn(*args, **kwargs)`` raises; fails the test if none."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - faults and KeyboardInterrupt too
        return e
    pytest.fail(f"{getattr(fn, '__name__', fn)} raised nothing")


def expect_fault(fn, *args, **kwargs):
    """Call ``fn``, which must raise the module's fault exception; return the fault."""
    e = raised(fn, *args, **kwargs)
    if type(e) is not PanicException:
        pytest.fail(f"expected PanicException, got {type(e).__name__}: {e}")
    return e


def assert_same_outcome(call, model, *args):
    """The module's ``call`` and its ``model`` agree on ``args``: the same result
    bit for bit, or a fault with the same message (``PanicException`` from the
    module, ``models.Fault`` from the model)."""

    def outcome(fn):
        try:
            return ("ok", fn(*args))
        except (PanicException, models.Fault) as e:
            return ("fault", str(e))

    got, want = outcome(call), outcome(model)
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert_same(got[1], want[1])
    else:
        assert got[1] == want[1]


@contextlib.contextmanager
def quiet_stderr():
    """Silence standard error: fault reports (fd 2) and printed tracebacks (sys.stderr)."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_stream = sys.stderr
    try:
        os.dup2(devnull, 2)
        with open(os.devnull, "w") as sink:
            sys.stderr = sink
            try:
                yield
            finally:
                sys.stderr = saved_stream
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def oob(n):
    """The message of a read at index n of a vector of length n."""
    return f"index out of bounds: the len is {n} but the index is {n}"


def subprocess_env(env=None):
    """The current environment without the pool variables, overlaid with ``env``
    (a value of None removes the variable), and the tests folder and its
    helpers on the path."""
    base = {k: v for k, v in os.environ.items() if k not in POOL_ENV_VARS}
    base.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    path = base.get("PYTHONPATH")
    base["PYTHONPATH"] = os.pathsep.join([TESTS_DIR, SUPPORT_DIR] + ([path] if path else []))
    for key, value in (env or {}).items():
        if value is None:
            base.pop(key, None)
        else:
            base[key] = value
    return base


def run_snippet(code, env=None, timeout=120, check=True, preexec_fn=None):
    """Run ``code`` in a fresh interpreter, so that a crash or hang stays there;
    return the CompletedProcess.

    With ``check`` a non-zero exit fails the calling test and shows both
    streams; a child that outlives ``timeout`` seconds fails it too.
    """
    try:
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=subprocess_env(env),
            capture_output=True,
            text=True,
            timeout=timeout,
            preexec_fn=preexec_fn,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(
            f"child interpreter hung for {timeout} s\n--- stdout ---\n{exc.stdout}"
            f"\n--- stderr ---\n{exc.stderr}"
        )
    if check and proc.returncode != 0:
        pytest.fail(
            f"snippet exited with {proc.returncode}\n--- stdout ---\n{proc.stdout}"
            f"\n--- stderr ---\n{proc.stderr}"
        )
    return proc
