#!/usr/bin/env bash
# Checks that the C++ sources of the layers and the front-ends are formatted
# as .clang-format says.  clang-format comes from PyPI at a pinned version,
# installed into build/venv-format on first use, so that every machine formats
# alike.
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
mapfile -t sources < <(find core parallel src binding arrays -name '*.cpp' -o -name '*.hpp' | sort)
if [ "$fix" -eq 1 ]; then
  "$tool" -i "${sources[@]}"
else
  "$tool" --dry-run -Werror "${sources[@]}"
  echo "formatting: ${#sources[@]} files as .clang-format says (clang-format $version)"
fi
