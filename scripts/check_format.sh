#!/usr/bin/env bash
# Checks that every C++ file of the tree (the layers, the front-ends, the
# engine tests, the benchmarks: every *.cpp and *.hpp outside build folders
# and virtual environments) is formatted as .clang-format says, so that a new
# folder is checked without anyone listing it here.  clang-format comes from
# PyPI at a pinned version, installed into build/venv-format on first use, so
# that every machine formats alike.
# Usage: bash scripts/check_format.sh [PYTHON]    (add --fix to reformat)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
version=20.1.8
fix=0
if [ "${1:-}" = "--fix" ]; then
  fix=1
  shift
fi
venv="$here/build/venv-format"
tool="$venv/bin/clang-format"
if ! { [ -x "$tool" ] && "$tool" --version | grep -q "version $version"; }; then
  python=${1:-$(first_python)}
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "clang-format==$version"
fi
cd "$here"
# Build output (build/, _skbuild/, dist/), virtual environments (any folder
# holding a pyvenv.cfg, such as bench/.venv, whose build folders hold
# generated sources) and git's own folder are not the tree's sources.
mapfile -t sources < <(
  find . \( -name .git -o -name build -o -name 'build-*' -o -name _skbuild -o -name dist \
    -o \( -type d -exec test -e '{}/pyvenv.cfg' \; \) \) -prune \
    -o -type f \( -name '*.cpp' -o -name '*.hpp' \) -print | sed 's#^\./##' | LC_ALL=C sort
)
if [ "$fix" -eq 1 ]; then
  "$tool" -i "${sources[@]}"
else
  "$tool" --dry-run -Werror "${sources[@]}"
  echo "formatting: ${#sources[@]} files as .clang-format says (clang-format $version)"
fi
