#!/usr/bin/env bash
# Builds an sdist and a wheel from it, installs the wheel into a fresh virtual
# environment and runs the test suite against that installation.
# Usage: bash scripts/dist_check.sh [PYTHON]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
python=${1:-$(first_python)}
work=$(mktemp -d /tmp/vyr-dist.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== building the sdist, then a wheel from it"
"$python" -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install --quiet --upgrade pip build
"$work/build-env/bin/python" -m build --outdir "$work/dist" "$here"
ls -l "$work/dist"
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)
tar -tzf "$sdist" >"$work/sdist-files.txt"
grep -q '/vyr_spectral_core-stubs/__init__.pyi$' "$work/sdist-files.txt"
grep -q '/vyr_spectral_arrays-stubs/__init__.pyi$' "$work/sdist-files.txt"
grep -q '/arrays/module.cpp$' "$work/sdist-files.txt"

echo "== pip wheel . gives a wheel too"
"$work/build-env/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$work/pip-wheel" "$here"
ls "$work"/pip-wheel/*.whl

echo "== installing the wheel into a fresh venv and running the tests there"
"$python" -m venv "$work/test-env"
"$work/test-env/bin/python" -m pip install --quiet --upgrade pip
"$work/test-env/bin/python" -m pip install --quiet "$wheel[test]"
cd "$here"
"$work/test-env/bin/python" -m pytest -q -p no:cacheprovider tests \
  --ignore=tests/reliability
