#!/usr/bin/env bash
# Reliability stages: the test suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# the test suite under the interpreter's debug allocator, and a bounded fuzzing run.
#
# Usage: .ci/reliability.sh PYTHON
#   PYTHON  interpreter to build and test with (3.12 or later)
# Environment:
#   VYR_REL_WORK       work directory (default: a new directory under /tmp)
#   VYR_FUZZ_SECONDS   fuzzing time (default 60)
#   VYR_REL_STAGES     stages to run, any of "asan debug fuzz" (default all three)
#   VYR_REL_WHEEL      a wheel of the module built without sanitizers for the
#                      interpreter above, which the debug-allocator stage then
#                      installs instead of building the module again
#
# Under AddressSanitizer a C++ allocation that cannot be satisfied ends the
# process (the sanitizer's operator new does not throw std::bad_alloc), so the
# tests that ask for impossible amounts of memory on purpose (marked huge_alloc)
# are deselected there.  Every sanitizer report fails the stage.
set -euo pipefail

PY=${1:?usage: .ci/reliability.sh PYTHON}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${VYR_REL_WORK:-$(mktemp -d /tmp/vyr-reliability.XXXXXX)}
FUZZ_SECONDS=${VYR_FUZZ_SECONDS:-60}
STAGES=${VYR_REL_STAGES:-asan debug fuzz}
mkdir -p "$WORK"
START=$SECONDS
STATUS=0
SUMMARY=()

log() { printf '\n=== reliability: %s (%ds)\n' "$*" $((SECONDS - START)); }
want() { [[ " $STAGES " == *" $1 "* ]]; }

make_venv() {  # make_venv DIR [extra packages...]
  local dir=$1
  shift
  if [[ ! -x "$dir/bin/python" ]]; then
    "$PY" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    pytest hypothesis scikit-build-core ninja cmake numpy "$@" >"$dir.pip.log" 2>&1 || {
    cat "$dir.pip.log"
    return 1
  }
}

build_module() {  # build_module VENV BUILD_DIR [extra -C options...]
  local venv=$1 build=$2
  shift 2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --force-reinstall --no-deps "-Cbuild-dir=$build" "$@" "$ROOT" >"$build.log" 2>&1 || {
    tail -60 "$build.log"
    return 1
  }
}

# Counts from pytest's closing line: passed failed skipped (errors count as failed).
summary_counts() {
  tail -1 "$1" | awk '{
    for (i = 2; i <= NF; i++) {
      w = $i; gsub(/[^a-z]/, "", w); n = $(i - 1) + 0
      if (w == "passed" || w == "xpassed") p += n
      else if (w == "failed" || w == "error" || w == "errors") f += n
      else if (w == "skipped" || w == "xfailed") s += n
    }
  } END { printf "%d %d %d\n", p, f, s }'
}

# run_suite LABEL VENV [NAME=VALUE...] -- [PYTEST OPTIONS...]: the whole test
# suite in that environment; a run that dies or leaves sanitizer reports (of
# the process or of its children) counts as a failure.
run_suite() {
  local label=$1 venv=$2 out="$WORK/$1-pytest.log" env_args=() rc p f s
  shift 2
  while [[ $1 != -- ]]; do
    env_args+=("$1")
    shift
  done
  shift
  rm -f "$WORK"/san/report*
  set +e
  (cd "$ROOT" && env "${env_args[@]}" timeout 900 "$venv/bin/python" -m pytest \
    -p no:cacheprovider -v -rfE "$@" >"$out" 2>&1)
  rc=$?
  set -e
  read -r p f s < <(summary_counts "$out")
  grep -E '^(FAILED|ERROR) ' "$out" || true
  tail -1 "$out"
  if [[ $rc -ne 0 && $rc -ne 1 && $rc -ne 5 ]]; then
    echo "$label run died (exit $rc) after: $(grep -E '^tests/.*::' "$out" | tail -1)"
    tail -60 "$out"
    f=$((f + 1))
  fi
  if compgen -G "$WORK/san/report*" >/dev/null; then
    echo "sanitizer reports:"
    cat "$WORK"/san/report* | head -200
    f=$((f + 1))
  fi
  ((f)) && STATUS=1
  echo "$label: $p passed, $f failed, $s skipped"
  SUMMARY+=("$label: $p passed, $f failed, $s skipped")
}

SANITIZER_ENV=()
sanitizer_env() {
  local libasan libubsan
  libasan=$(g++ -print-file-name=libasan.so)
  libubsan=$(g++ -print-file-name=libubsan.so)
  SANITIZER_ENV=(
    "LD_PRELOAD=$libasan:$libubsan"
    "PYTHONMALLOC=malloc"
    "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:exitcode=86:log_path=$WORK/san/report"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$WORK/san/report"
    "VYR_UNDER_ASAN=1"
  )
}

# ---------------------------------------------------------------------------
# (a) the whole suite under ASan + UBSan
# ---------------------------------------------------------------------------
stage_asan() {
  log "building with -fsanitize=address,undefined"
  make_venv "$WORK/venv-asan" atheris || make_venv "$WORK/venv-asan"
  build_module "$WORK/venv-asan" "$WORK/build-asan" "-Ccmake.define.VYR_SANITIZE=address,undefined"
  sanitizer_env
  mkdir -p "$WORK/san"
  log "test suite under AddressSanitizer + UndefinedBehaviorSanitizer"
  run_suite asan "$WORK/venv-asan" "${SANITIZER_ENV[@]}" -- -m "not huge_alloc"
}

# ---------------------------------------------------------------------------
# (b) the whole suite with the interpreter's debug allocator
# ---------------------------------------------------------------------------
stage_debug() {
  make_venv "$WORK/venv-debugmalloc" atheris || make_venv "$WORK/venv-debugmalloc"
  if [[ -n ${VYR_REL_WHEEL:-} ]]; then
    log "installing $(basename "$VYR_REL_WHEEL")"
    "$WORK/venv-debugmalloc/bin/python" -m pip install -q --disable-pip-version-check \
      --force-reinstall --no-deps "$VYR_REL_WHEEL"
  else
    log "building without sanitizers"
    build_module "$WORK/venv-debugmalloc" "$WORK/build-plain"
  fi
  log "test suite with PYTHONMALLOC=debug"
  run_suite debugmalloc "$WORK/venv-debugmalloc" PYTHONMALLOC=debug PYTHONFAULTHANDLER=1 --
}

# ---------------------------------------------------------------------------
# (c) fuzzing under ASan + UBSan
# ---------------------------------------------------------------------------
stage_fuzz() {
  if [[ ! -x "$WORK/venv-asan/bin/python" ]]; then
    make_venv "$WORK/venv-asan" atheris || make_venv "$WORK/venv-asan"
    build_module "$WORK/venv-asan" "$WORK/build-asan" "-Ccmake.define.VYR_SANITIZE=address,undefined"
  fi
  sanitizer_env
  mkdir -p "$WORK/san" "$WORK/corpus"
  rm -f "$WORK"/san/report*
  log "fuzzing for ${FUZZ_SECONDS}s under AddressSanitizer + UndefinedBehaviorSanitizer"
  local out="$WORK/fuzz.log" rc=0 runs
  # The sanitizer runtime preloaded into the interpreter shadows the coverage
  # hooks that guide atheris, so a corpus is first grown with coverage on the
  # plain build, then replayed and mutated further under the sanitizers.
  "$WORK/venv-asan/bin/python" - "$WORK/corpus" <<'SEEDS'
import os, sys
for i in range(32):
    path = os.path.join(sys.argv[1], f"seed{i}")
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(os.urandom(32 + 24 * i))
SEEDS
  set +e
  if "$WORK/venv-asan/bin/python" -c "import atheris" 2>/dev/null; then
    if [[ -x "$WORK/venv-debugmalloc/bin/python" ]] && "$WORK/venv-debugmalloc/bin/python" -c "import atheris" 2>/dev/null; then
      (cd "$WORK" && timeout $((FUZZ_SECONDS / 2 + 300)) "$WORK/venv-debugmalloc/bin/python" \
        "$ROOT/tests/fuzz/fuzz_all.py" "$WORK/corpus" -max_total_time=$((FUZZ_SECONDS / 2)) \
        -timeout=60 -rss_limit_mb=8192 >"$WORK/fuzz-coverage.log" 2>&1)
      rc=$?
      grep -E '^#[0-9]+ +DONE' "$WORK/fuzz-coverage.log" | sed 's/^/coverage-guided: /' || true
    fi
    if [[ $rc -eq 0 ]]; then
      (cd "$WORK" && env "${SANITIZER_ENV[@]}" timeout $((FUZZ_SECONDS + 300)) \
        "$WORK/venv-asan/bin/python" "$ROOT/tests/fuzz/fuzz_all.py" "$WORK/corpus" \
        -max_total_time="$FUZZ_SECONDS" -timeout=60 -rss_limit_mb=8192 >"$out" 2>&1)
      rc=$?
    else
      cp "$WORK/fuzz-coverage.log" "$out"
    fi
    runs=$(( $(grep -hoE '^Done [0-9]+ runs' "$WORK/fuzz-coverage.log" "$out" 2>/dev/null | grep -oE '[0-9]+' | paste -sd+ - || echo 0) + 0 ))
  else
    echo "atheris is not available for this interpreter: seeded random inputs instead"
    (cd "$WORK" && env "${SANITIZER_ENV[@]}" timeout $((FUZZ_SECONDS + 300)) \
      "$WORK/venv-asan/bin/python" "$ROOT/tests/fuzz/fuzz_all.py" --random-seconds "$FUZZ_SECONDS" >"$out" 2>&1)
    rc=$?
    runs=$(grep -oE '^fuzz: [0-9]+ calls' "$out" | grep -oE '[0-9]+' || echo 0)
  fi
  set -e
  if [[ $rc -ne 0 ]] || compgen -G "$WORK/san/report*" >/dev/null; then
    echo "fuzzing found a failure (exit $rc); the input is saved under $WORK"
    grep -vE '^(thread |index out of bounds|capacity overflow|note: run the program|Traceback|  File|    |vyr_runtime\.PanicException|vyr_spectral_core: resuming|Python stack trace|$)' "$out" | tail -60
    cat "$WORK"/san/report* 2>/dev/null | head -200 || true
    STATUS=1
    SUMMARY+=("fuzz: 0 passed, 1 failed")
  else
    echo "fuzz: $runs inputs, no failure"
    SUMMARY+=("fuzz: 1 passed, 0 failed")
  fi
}

want asan && stage_asan
want debug && stage_debug
want fuzz && stage_fuzz

log "done"
printf '%s\n' "${SUMMARY[@]}"
exit $STATUS
