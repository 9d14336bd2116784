#!/usr/bin/env bash
# Profiles of the module on small workloads, to see where the time goes.
#
#   bash bench/profile.sh CASE [scale] [reps]     (cases: see bench/profile_cases.py)
#
# Builds an unstripped copy of the module (same optimisation as the release
# build, plus -g and frame pointers) into bench/.venv-prof, then writes
#   bench/results/profile_CASE.perf.txt       perf (cpu-clock sampling), flat by symbol
#   bench/results/profile_CASE.callgrind.txt  callgrind, instructions per function (inclusive and self)
# valgrind is used with a smaller scale (callgrind runs ~50x slower); it counts only
# inside the module's entry points and its worker threads.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
case_=${1:?case}
scale=${2:-1}
reps=${3:-3}
venv="$here/.venv-prof"
export PIP_DISABLE_PIP_VERSION_CHECK=1
if [ ! -x "$venv/bin/python" ]; then
  base=$("$here/.venv/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null || true)
  [ -x "$base" ] || { echo "run bench/run.sh once first (it finds the interpreter)" >&2; exit 1; }
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install -q numpy
fi
if [ "${VYR_PROF_SKIP_INSTALL:-0}" != "1" ]; then
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="$venv/build" \
    -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" "$root" \
    >"$here/results/profile-install.log.tmp" 2>&1 || { cat "$here/results/profile-install.log.tmp" >&2; exit 1; }
fi
out="$here/results"

# The reports name no folder of this machine: sources of the repository
# relative to its root, headers from their include folder on
# (include/python3.12/..., include/c++/12/...), the interpreter's own sources
# from its version on (Python-3.12.1/Objects/...), and any other file by its
# name alone.
root_pattern=$(printf '%s/' "$root" | sed -e 's/[][\\.*^$#]/\\&/g')
scrub_paths() {
  sed -E -e "s#$root_pattern##g" \
    -e 's#/[^ :]*/(include/)#\1#g' \
    -e 's#/[^ :]*/(Python-[0-9][0-9.]*/)#\1#g' \
    -e 's#(^|[ (])/([^ :/]+/)+#\1#g'
}
cd /tmp
if command -v perf >/dev/null; then
  if [ "${VYR_PROF_SKIP_PERF:-0}" != "1" ]; then
  perf record -q -e cpu-clock -F 4000 -o /tmp/vyr-prof.data -- "$venv/bin/python" "$here/profile_cases.py" "$case_" "$scale" "$reps" 2>/dev/null
  {
    echo "# perf cpu-clock samples, $case_ scale=$scale reps=$reps (all threads; includes building the inputs)"
    perf report -i /tmp/vyr-prof.data --stdio --no-children --sort dso,symbol --percent-limit 0.7 2>/dev/null | grep -v '^$' || true
    echo; echo "# by thread"
    perf report -i /tmp/vyr-prof.data --stdio --no-children --sort tid --percent-limit 1 2>/dev/null | grep -v '^#' | grep -v '^$' || true
  } | scrub_paths >"$out/profile_$case_.perf.txt"
  rm -f /tmp/vyr-prof.data
  echo "wrote $out/profile_$case_.perf.txt"
  fi
fi
if command -v valgrind >/dev/null; then
  cgscale=$("$venv/bin/python" -c "print($scale/20)")
  valgrind --tool=callgrind --callgrind-out-file=/tmp/vyr-cg.out --collect-atstart=no \
    --toggle-collect='vyr_*' --toggle-collect='*Pool::thread_main*' \
    "$venv/bin/python" "$here/profile_cases.py" "$case_" "$cgscale" 1 >/dev/null 2>&1 || true
  callgrind_annotate /tmp/vyr-cg.out >/tmp/vyr-cg-self.txt 2>/dev/null || true
  callgrind_annotate --inclusive=yes /tmp/vyr-cg.out >/tmp/vyr-cg-incl.txt 2>/dev/null || true
  {
    echo "# callgrind instructions inside the module call and its workers, $case_ scale=$cgscale, one call"
    echo "# self cost"
    sed -n '/^Ir/,$p' /tmp/vyr-cg-self.txt | sed -E 's/ \[[^]]*\]$//' | head -40
    echo; echo "# inclusive cost"
    sed -n '/^Ir/,$p' /tmp/vyr-cg-incl.txt | sed -E 's/ \[[^]]*\]$//' | grep -v -E 'libc-start|below main|python.c:main|Modules/main.c|pythonrun.c|ceval.c:PyEval_EvalCode' | head -40
  } | scrub_paths >"$out/profile_$case_.callgrind.txt"
  rm -f /tmp/vyr-cg-self.txt /tmp/vyr-cg-incl.txt
  rm -f /tmp/vyr-cg.out
  echo "wrote $out/profile_$case_.callgrind.txt"
fi
