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
# Each module with its usage file; the list module's file also uses vyr_runtime.
MODULES = {
    "vyr_spectral_core": os.path.join(TESTS_DIR, "support", "typing_usage.py"),
    "vyr_spectral_arrays": os.path.join(TESTS_DIR, "support", "typing_usage_arrays.py"),
}
# Each module with the stubbed modules that its usage file needs.
STUBBED = {
    "vyr_spectral_core": ["vyr_spectral_core", "vyr_runtime"],
    "vyr_spectral_arrays": ["vyr_spectral_arrays"],
}


def source_stub(module):
    return os.path.join(ROOT, f"{module}-stubs", "__init__.pyi")


@pytest.fixture(scope="module", params=list(MODULES))
def module(request):
    pytest.importorskip("numpy", reason="numpy is not installed")
    return request.param


@pytest.fixture(scope="module")
def mypy_dirs(tmp_path_factory):
    """A search path holding the source tree's stubs, and a cache shared by the runs.

    mypy only looks for `<name>-stubs` packages among installed packages, so each
    source stub is offered as a plain `<name>.pyi`; a MYPYPATH entry takes
    precedence over what is installed.
    """
    base = tmp_path_factory.mktemp("typing")
    stub_dir = base / "stubs"
    stub_dir.mkdir()
    for names in STUBBED.values():
        for name in names:
            shutil.copyfile(source_stub(name), stub_dir / f"{name}.pyi")
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


def test_source_stub_matches_runtime_and_accepts_typed_usage(mypy_dirs, module):
    stub_dir, cache, cwd = mypy_dirs
    rc, out = run_mypy_tool(["mypy.stubtest", *STUBBED[module]], cwd, stub_dir)
    assert rc == 0, out
    rc, out = run_mypy_tool(
        ["mypy", "--strict", "--cache-dir", cache, "--no-error-summary", MODULES[module]], cwd,
        stub_dir,
    )
    assert rc == 0, out


def test_typed_usage_runs(module):
    """Every call the stubs accept in the usage file is also accepted at run time."""
    proc = subprocess.run(
        [sys.executable, MODULES[module]], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "typing usage ran" in proc.stdout


def test_checker_refuses_misuse(mypy_dirs, module, tmp_path):
    """The wrong calls in the usage file are errors once their ignores are removed."""
    stub_dir, cache, cwd = mypy_dirs
    with open(MODULES[module], encoding="utf-8") as f:
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


def test_installed_package_ships_the_stubs(mypy_dirs, module):
    """An installed wheel carries the stub packages, and mypy finds them there."""
    install_dirs = {
        os.path.abspath(sysconfig.get_path(name)) for name in ("purelib", "platlib")
    }
    for name in STUBBED[module]:
        spec = importlib.util.find_spec(name)
        assert spec is not None and spec.origin
        module_dir = os.path.dirname(os.path.abspath(spec.origin))
        if module_dir not in install_dirs:
            pytest.skip(f"the module is not installed as a wheel here ({module_dir})")
        installed = os.path.join(module_dir, f"{name}-stubs", "__init__.pyi")
        assert os.path.isfile(installed), f"the wheel lacks {name}-stubs/__init__.pyi"
        assert filecmp.cmp(installed, source_stub(name), shallow=False), (
            "the installed stubs differ from the source tree's; reinstall the module"
        )
    _, _, cwd = mypy_dirs
    rc, out = run_mypy_tool(["mypy.stubtest", *STUBBED[module]], cwd)
    assert rc == 0, out
