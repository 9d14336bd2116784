#!/usr/bin/env bash
# Benchmark suite: makes (or reuses) bench/.venv, installs the module from the
# repository root together with the peers, and runs bench/bench.py, which writes
# bench/results/RESULTS.md and bench/results/time_per_element.png.
#
#   bash bench/run.sh              full run (about 8-10 minutes on 2 cores)
#   bash bench/run.sh --quick      small sizes, for working on the harness
#   bash bench/run.sh --arrays     the array module on ready arrays instead, against numpy,
#                                  kingdon, clifford, numpy-quaternion and the kernels'
#                                  C++ time (bench/arrays_bench.py), once on every kernel
#                                  path the processor has (ARRAYS-<path>.md, ROOFLINE-<path>.md),
#                                  then the ufuncs against numpy's (UFUNCS.md), the
#                                  algebra operations against kingdon's (ALGEBRA.md) and
#                                  sparse operands against their peers (SPARSE.md); a quarter
#                                  of an hour or so
#   VYR_BENCH_PYTHON=/path/python3.13 bash bench/run.sh
#   VYR_BENCH_SKIP_INSTALL=1 bash bench/run.sh   keep the module already in the venv
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
venv="$here/.venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1

is_ok_python() {
  [ -x "$1" ] && "$1" -c 'import sys, venv; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null
}

# The project's interpreter search; VYR_BENCH_PYTHON picks one explicitly.
source "$root/scripts/find_python.sh"
find_python() {
  if [ -n "${VYR_BENCH_PYTHON:-}" ]; then
    if is_ok_python "$VYR_BENCH_PYTHON"; then echo "$VYR_BENCH_PYTHON"; return 0; fi
    echo "VYR_BENCH_PYTHON=$VYR_BENCH_PYTHON is not a Python >= 3.12 with venv" >&2
    return 1
  fi
  first_python
}

quick=0
arrays=0
for a in "$@"; do
  [ "$a" = "--quick" ] && quick=1
  [ "$a" = "--arrays" ] && arrays=1
done

if [ -x "$venv/bin/python" ] && ! is_ok_python "$venv/bin/python"; then
  echo "bench/.venv holds an unusable interpreter; making it anew" >&2
  rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python)
  echo "making $venv with $py ($("$py" --version 2>&1))"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
vpy="$venv/bin/python"

if ! "$vpy" -c 'import numpy, clifford, kingdon, matplotlib, quaternion' 2>/dev/null; then
  echo "installing the peers: numpy clifford kingdon matplotlib numpy-quaternion"
  "$vpy" -m pip install -q numpy clifford kingdon matplotlib numpy-quaternion
fi

if [ "${VYR_BENCH_SKIP_INSTALL:-0}" != "1" ]; then
  echo "building and installing vyr_spectral_core from $root"
  if ! "$vpy" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="$venv/build" "$root" >"$here/results/install.log.tmp" 2>&1; then
    cat "$here/results/install.log.tmp" >&2
    echo "building the module failed (log above)" >&2
    exit 1
  fi
fi
# Import from outside the repository so that the installed module is the one used.
(cd /tmp && "$vpy" -c 'import vyr_spectral_core') || { echo "vyr_spectral_core does not import" >&2; exit 1; }

if [ "$arrays" = "1" ]; then
  echo "building the C++ timing of the kernels"
  "$vpy" -m pip install -q cmake ninja
  build="$venv/build-kernels"
  "$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DVYR_BUILD_MODULE=OFF -DVYR_BENCH_KERNELS=ON \
    -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" >"$here/results/kernels-build.log.tmp" 2>&1 &&
    "$venv/bin/cmake" --build "$build" >>"$here/results/kernels-build.log.tmp" 2>&1 || {
      cat "$here/results/kernels-build.log.tmp" >&2
      exit 1
    }
  cd /tmp
  quick_flag=()
  [ "$quick" = "1" ] && quick_flag=(--quick)
  # Every vector instruction set this processor has, measured in turn.
  flags=$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)
  paths=()
  [[ " $flags " == *" avx2 "* ]] && paths+=(avx2)
  [[ " $flags " == *" avx512f "* && " $flags " == *" avx512dq "* ]] && paths+=(avx512)
  [ "${#paths[@]}" -eq 0 ] && paths=(portable)
  for path in "${paths[@]}"; do
    echo "== kernel path $path"
    VYR_KERNEL_PATH=$path "$vpy" "$here/arrays_bench.py" --kernels "$build/vyr_kernel_bench" \
      "${quick_flag[@]}"
    for name in ARRAYS ROOFLINE; do
      cp "$here/results/$name.md" "$here/results/$name-$path.md"
    done
  done
  "$vpy" "$here/ufunc_bench.py" | tee "$here/results/UFUNCS.md"
  "$vpy" "$here/ga_bench.py" | tee "$here/results/ALGEBRA.md"
  for path in "${paths[@]}"; do
    echo "== kernel path $path"
    VYR_KERNEL_PATH=$path "$vpy" "$here/sparse_peers.py"
  done | tee "$here/results/SPARSE.md"
  exit 0
fi
cd /tmp
exec "$vpy" "$here/bench.py" "$@"
