"""Helpers shared by the reliability tests (leaks, hostile input, interrupts, fork)."""

import contextlib
import ctypes
import ctypes.util
import os
import subprocess
import sys
import textwrap

import pytest

import vyr_spectral_core as vsc

PanicException = None


def panic_type():
    """The module's fault exception type, obtained from a real fault."""
    global PanicException
    if PanicException is None:
        with quiet_stderr():
            try:
                vsc.spectral_flow_n(0.0, 1.0, 2**64 - 1)
            except BaseException as exc:  # noqa: BLE001 - we want the type
                PanicException = type(exc)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "vyr_runtime"
    return PanicException


# Under AddressSanitizer a throwing `operator new` that cannot be satisfied
# ends the process instead of throwing std::bad_alloc, so requests for
# impossible amounts of memory cannot be tested there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "") or bool(
    os.environ.get("VYR_UNDER_ASAN")
)
needs_real_allocator = pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer aborts on unsatisfiable operator new"
)

# The interpreter's allocator: with PYTHONMALLOC=malloc every object lives in
# the C heap and sys.getallocatedblocks() stays 0.
PYMALLOC_ACTIVE = sys.getallocatedblocks() > 0


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


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _load_mallinfo2():
    if UNDER_ASAN:
        return None  # the sanitizer's allocator does not keep these statistics
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    return fn


_mallinfo2 = _load_mallinfo2()


def native_heap_in_use():
    """Bytes in use in the C heap (all arenas plus mmapped blocks), or None."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def subprocess_env(extra=None):
    env = dict(os.environ)
    for name in ("VYR_NUM_THREADS", "VYR_NUM_CPUS"):
        env.pop(name, None)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = here + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    if extra:
        for key, value in extra.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
    return env


def run_python(code, timeout=120, env=None, check=True):
    """Run ``code`` in a fresh interpreter, so that a crash or hang stays there."""
    try:
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=subprocess_env(env),
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(
            f"child interpreter hung for {timeout} s\n--- stdout ---\n{exc.stdout}"
            f"\n--- stderr ---\n{exc.stderr}"
        )
    if check and proc.returncode != 0:
        pytest.fail(
            f"child interpreter exited with {proc.returncode}\n--- stdout ---\n"
            f"{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc
