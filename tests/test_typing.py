"""The type stubs agree with the module: stubtest, mypy --strict, and the wheel."""

import filecmp
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS_DIR)
SOURCE_STUB = os.path.join(ROOT, "vyr_spectral_core-stubs", "__init__.pyi")
USAGE = os.path.join(TESTS_DIR, "typing_usage.py")


@pytest.fixture(scope="module")
def mypy_dirs(tmp_path_factory):
    """A search path holding the source tree's stub, and a cache shared by the runs.

    mypy only looks for `<name>-stubs` packages among installed packages, so the
    source stub is offered as a plain `vyr_spectral_core.pyi`; a MYPYPATH entry
    takes precedence over what is installed.
    """
    base = tmp_path_factory.mktemp("typing")
    stub_dir = base / "stubs"
    stub_dir.mkdir()
    shutil.copyfile(SOURCE_STUB, stub_dir / "vyr_spectral_core.pyi")
    return str(stub_dir), str(base / "cache"), str(base)


def run_mypy_tool(args, cwd, mypypath=None):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypypath:
        env["MYPYPATH"] = mypypath
    proc = subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return proc.returncode, proc.stdout + proc.stderr


def test_source_stub_matches_runtime_and_accepts_typed_usage(mypy_dirs):
    stub_dir, cache, cwd = mypy_dirs
    rc, out = run_mypy_tool(["mypy.stubtest", "vyr_spectral_core"], cwd, stub_dir)
    assert rc == 0, out
    rc, out = run_mypy_tool(
        ["mypy", "--strict", "--cache-dir", cache, "--no-error-summary", USAGE], cwd, stub_dir
    )
    assert rc == 0, out


def test_typed_usage_runs():
    """Every call the stubs accept in the usage file is also accepted at run time."""
    proc = subprocess.run(
        [sys.executable, USAGE], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "typing usage ran" in proc.stdout


def test_checker_refuses_misuse(mypy_dirs, tmp_path):
    """The wrong calls in the usage file are errors once their ignores are removed."""
    stub_dir, cache, cwd = mypy_dirs
    with open(USAGE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    stripped = [line.split("  # type: ignore")[0] for line in lines]
    expected = [i + 1 for i, line in enumerate(lines) if "  # type: ignore" in line]
    assert len(expected) >= 10
    probe = tmp_path / "misuse.py"
    probe.write_text("\n".join(stripped) + "\n", encoding="utf-8")
    rc, out = run_mypy_tool(
        ["mypy", "--strict", "--cache-dir", cache, "--no-error-summary", str(probe)],
        cwd,
        stub_dir,
    )
    assert rc == 1, out
    flagged = {
        int(line.split(":")[1])
        for line in out.splitlines()
        if line.startswith(str(probe)) and ": error:" in line
    }
    assert flagged == set(expected), out


def test_installed_package_ships_the_stubs(mypy_dirs):
    """An installed wheel carries the stub package, and mypy finds it there."""
    spec = importlib.util.find_spec("vyr_spectral_core")
    assert spec is not None and spec.origin
    module_dir = os.path.dirname(os.path.abspath(spec.origin))
    install_dirs = {
        os.path.abspath(sysconfig.get_path(name)) for name in ("purelib", "platlib")
    }
    if module_dir not in install_dirs:
        pytest.skip(f"the module is not installed as a wheel here ({module_dir})")
    installed = os.path.join(module_dir, "vyr_spectral_core-stubs", "__init__.pyi")
    assert os.path.isfile(installed), "the wheel lacks vyr_spectral_core-stubs/__init__.pyi"
    assert filecmp.cmp(installed, SOURCE_STUB, shallow=False), (
        "the installed stubs differ from the source tree's; reinstall the module"
    )
    _, _, cwd = mypy_dirs
    rc, out = run_mypy_tool(["mypy.stubtest", "vyr_spectral_core"], cwd)
    assert rc == 0, out
