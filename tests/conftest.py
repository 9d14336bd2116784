"""Shared helpers for the ``vyr_spectral_core`` test suite."""

import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

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


def panic(fn, *args):
    """Call ``fn(*args)``, which must fault; return the fault's message."""
    try:
        fn(*args)
    except Exception as e:
        pytest.fail(f"expected PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:  # noqa: B036
        assert type(e).__name__ == "PanicException"
        return str(e)
    pytest.fail("no fault")


def oob(n):
    """The message of a read at index n of a vector of length n."""
    return f"index out of bounds: the len is {n} but the index is {n}"


def subprocess_env(env=None, drop_pool_vars=True):
    base = dict(os.environ)
    if drop_pool_vars:
        for name in POOL_ENV_VARS:
            base.pop(name, None)
    base.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    path = base.get("PYTHONPATH")
    base["PYTHONPATH"] = TESTS_DIR + (os.pathsep + path if path else "")
    if env:
        for key, value in env.items():
            if value is None:
                base.pop(key, None)
            else:
                base[key] = value
    return base


def run_snippet(code, env=None, timeout=120, check=True, preexec_fn=None):
    """Run ``code`` in a fresh interpreter; return the CompletedProcess.

    ``env`` overlays the current environment (a value of None removes the
    variable); the pool variables are removed unless given.  With ``check`` a
    non-zero exit fails the calling test and shows both streams.
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=subprocess_env(env),
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=preexec_fn,
    )
    if check and proc.returncode != 0:
        pytest.fail(
            f"snippet exited with {proc.returncode}\n--- stdout ---\n{proc.stdout}"
            f"\n--- stderr ---\n{proc.stderr}"
        )
    return proc


@pytest.fixture
def run_py():
    """Fixture form of :func:`run_snippet`."""
    return run_snippet
