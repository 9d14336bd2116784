"""The lane kernels against the scalar routines: every kernel path this
processor can run gives the scalar path's bits, NaN payloads and signed zeros
included, from both front-ends (tests/support/lanes_battery.py makes the results)."""

import math
import pickle
import struct

import pytest

np = pytest.importorskip("numpy")

from conftest import run_snippet  # noqa: E402


def cpu_flags():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def runnable_paths():
    flags = cpu_flags()
    paths = ["scalar", "portable"]
    if "avx2" in flags:
        paths.append("avx2")
    if {"avx512f", "avx512dq"} <= flags:
        paths.append("avx512")
    return paths


PATHS = runnable_paths()
_results = {}


def battery(path):
    if path not in _results:
        proc = run_snippet(
            "import sys, lanes_battery; lanes_battery.main()",
            env={"VYR_KERNEL_PATH": path},
            timeout=300,
        )
        _results[path] = pickle.loads(bytes.fromhex(proc.stdout))
    return _results[path]


@pytest.mark.parametrize("path", [p for p in PATHS if p != "scalar"])
def test_every_path_gives_the_scalar_bits(path):
    reference, results = battery("scalar"), battery(path)
    assert results.keys() == reference.keys()
    for name, (ran, shape, data) in results.items():
        assert ran == path, name
        want = reference[name]
        if (shape, data) != want[1:]:
            got = np.frombuffer(data, np.uint64).reshape(shape)
            wanted = np.frombuffer(want[2], np.uint64).reshape(want[1])
            where = np.argwhere(got != wanted)[:3]
            pytest.fail(f"{name} on {path}: first differences at {where.tolist()}: "
                        f"{[hex(got[tuple(w)]) for w in where]} != "
                        f"{[hex(wanted[tuple(w)]) for w in where]}")


def test_zero_factors_make_no_nan():
    _, shape, data = battery("scalar")["zero factors"]
    values = np.frombuffer(data, np.float64).reshape(shape)
    assert not np.isnan(values).any()
    assert not (np.signbit(values) & (values == 0.0)).any()


KNOWN_PATHS = ["scalar", "portable", "avx2", "avx512"]
NO_PATH = "names no kernel path (scalar, portable, avx2, avx512)"
CANNOT_RUN = "cannot run on this processor"


@pytest.mark.parametrize("wanted, expected, reason", [
    ("", PATHS[-1], None),
    *[(path, path, None) for path in PATHS],
    # Only on a processor that lacks the instructions.
    *[(path, PATHS[-1], CANNOT_RUN) for path in KNOWN_PATHS if path not in PATHS],
    ("avx1024", PATHS[-1], NO_PATH),
    ("AVX2", PATHS[-1], NO_PATH),
])
def test_the_path_named_in_the_environment(wanted, expected, reason):
    """kernel_path starts with the path that runs; where the environment
    asked for another that cannot run, it says what was asked and why.
    Nothing is written to standard error."""
    for module in ("import vyr_spectral_arrays as va",
                   "import vyr_spectral_core as vc; vc.add_n([1.0], [2.0]); import vyr_spectral_arrays as va"):
        proc = run_snippet(f"{module}; print(va.kernel_path)", env={"VYR_KERNEL_PATH": wanted})
        said = expected if reason is None else f"{expected} (VYR_KERNEL_PATH={wanted} {reason})"
        assert proc.stdout.strip() == said
        assert proc.stderr == ""


@pytest.mark.parametrize("function", ["octonion_norm", "norms_squared"])
def test_long_items_with_components_apart_are_read_in_place(function):
    """Items of more than 2^20 components that lie apart are summed where they
    lie, a chunk at a time: the bits of the left-to-right sum of the model
    (NaN payloads included) and of the same items made adjacent."""
    va = pytest.importorskip("vyr_spectral_arrays")
    rng = np.random.default_rng(7)
    length = (1 << 20) + 5
    grid = rng.normal(size=(length, 3)) * np.exp2(rng.integers(-30, 30, size=(length, 3)))
    # Two NaNs meet in the second item's sum: its payload is the routine's.
    grid[[123_456, 777_777], 1] = np.array([0x7FF8000000000ABC, 0xFFF4000000000123],
                                           np.uint64).view(np.float64)
    items = grid.T  # three items whose components lie 24 bytes apart
    got = getattr(va, function)(items)
    adjacent = getattr(va, function)(np.ascontiguousarray(items))
    assert got.view(np.uint64).tolist() == adjacent.view(np.uint64).tolist()
    for item, value in zip(items.tolist(), got.tolist()):
        total = -0.0
        for x in item:
            total = total + x * x if function == "octonion_norm" else x * x + total
        want = math.sqrt(total) if function == "octonion_norm" else total
        if math.isnan(want):
            assert math.isnan(value)
        else:
            assert struct.pack("<d", value) == struct.pack("<d", want)
