#!/usr/bin/env bash
# Installs the module with its test extras into a fresh virtual environment and
# runs the test suite.  Usage: bash scripts/test.sh [PYTHON]
# Without PYTHON it looks for Python 3.12 or later itself (pyenv versions,
# python3.12, python3.13, ...; VYR_PYTHON overrides).  The network is needed
# only for the packages pip installs.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
python=$(pick_python "${1:-}") || exit 1
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="$here/build/venv-test-$version"
echo "== tests on Python $version ($python)"
rm -rf "$venv"
"$python" -m venv "$venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1
VYR_WERROR=${VYR_WERROR:-ON} "$venv/bin/python" -m pip install --quiet "$here[test]"
cd "$here"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests
