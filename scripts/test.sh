#!/usr/bin/env bash
# Installs the module with its test extras into a fresh virtual environment and
# runs the test suite.  Usage: bash scripts/test.sh [PYTHON]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
python=${1:-$(first_python)}
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$here/build/venv-test-$version"
echo "== tests on Python $version ($python)"
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
VYR_WERROR=${VYR_WERROR:-ON} "$venv/bin/python" -m pip install --quiet "$here[test]"
cd "$here"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests
