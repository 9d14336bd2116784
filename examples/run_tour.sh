#!/usr/bin/env bash
# Builds and installs vyr_spectral_core into a fresh virtual environment and runs
# the tour. Usage: bash examples/run_tour.sh [PYTHON]
# Without an argument it looks for Python 3.12 or later itself (pyenv versions,
# python3.12, python3.13, /usr/bin/python3.13, ...; VYR_PYTHON overrides).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"

python=$(pick_python "${1:-}") || exit 1

version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
venv="$here/build/venv-tour"
echo "== Python $version ($python)"
echo "== fresh virtual environment in $venv"
rm -rf "$venv"
"$python" -m venv "$venv"
echo "== building and installing vyr_spectral_core (C++20 compiler and CMake needed; a minute or so)"
PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --quiet "$here[arrays]"
echo "== tour"
cd "$here"
"$venv/bin/python" examples/tour.py
