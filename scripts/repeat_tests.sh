#!/usr/bin/env bash
# Runs the whole test suite many times in a row, to show that it passes every
# time: RUNS times on every Python 3.12 or later found here (3.12 and 3.13),
# then LOADED_RUNS more times (taking the interpreters in turn) while two busy
# processes keep both cores occupied.  Each interpreter's virtual environment is
# built once, by scripts/test.sh, which is also the first of its runs.
# Usage: bash scripts/repeat_tests.sh [RUNS] [LOADED_RUNS]   (default 10 and 5)
# Logs are kept under build/repeat-tests/; the exit status is 1 if any run failed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$here/scripts/find_python.sh"
runs=${1:-10}
loaded_runs=${2:-5}
logs="$here/build/repeat-tests"
mkdir -p "$logs"
cd "$here"

mapfile -t pythons < <(find_pythons)
if [ "${#pythons[@]}" -eq 0 ]; then
  first_python  # prints the reason
  exit 1
fi

busy=()
stop_busy() {
  if [ "${#busy[@]}" -gt 0 ]; then
    kill "${busy[@]}" 2>/dev/null || true
    wait "${busy[@]}" 2>/dev/null || true
  fi
  busy=()
}
trap stop_busy EXIT

results=()
failures=0
# run_once LABEL PYTHON-VERSION RUN-NUMBER COMMAND...: one run of the suite,
# reported as "LABEL: passed failed skipped seconds".
run_once() {
  local label=$1 version=$2 n=$3 log xml status counts start=$SECONDS
  shift 3
  log="$logs/$version-$label-$n.log"
  xml="$logs/$version-$label-$n.xml"
  rm -f "$xml"
  set +e
  PYTEST_ADDOPTS="--junitxml=$xml" "$@" >"$log" 2>&1
  status=$?
  set -e
  counts=$("${pythons[0]}" - "$xml" <<'COUNT'
import sys
import xml.etree.ElementTree as ET
try:
    suite = ET.parse(sys.argv[1]).getroot()
    suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
    n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
    print(n["tests"] - n["failures"] - n["errors"] - n["skipped"], n["failures"] + n["errors"], n["skipped"])
except Exception:
    print("0 1 0")
COUNT
  )
  read -r passed failed skipped <<<"$counts"
  if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1  # the run ended without a report of its own
  fi
  failures=$((failures + failed))
  results+=("$(printf '%-7s %-6s %3d %7d %7d %8d %6ds' "$label" "$version" "$n" "$passed" "$failed" "$skipped" $((SECONDS - start)))")
  echo "${results[-1]}"
  if [ "$failed" -ne 0 ]; then
    grep -E '^(FAILED|ERROR) ' "$log" || tail -20 "$log"
  fi
}

versions=()
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  versions+=("$version")
  echo "== $runs runs on Python $version ($python)"
  run_once idle "$version" 1 bash scripts/test.sh "$python"
  for n in $(seq 2 "$runs"); do
    run_once idle "$version" "$n" "build/venv-test-$version/bin/python" -m pytest -q -p no:cacheprovider tests
  done
done

echo "== $loaded_runs runs with both cores kept busy"
"${pythons[0]}" -c 'while True: pass' &
busy+=($!)
"${pythons[0]}" -c 'while True: pass' &
busy+=($!)
for n in $(seq 1 "$loaded_runs"); do
  version=${versions[$(((n - 1) % ${#versions[@]}))]}
  run_once loaded "$version" "$n" "build/venv-test-$version/bin/python" -m pytest -q -p no:cacheprovider tests
done
stop_busy

echo
echo "load    python run  passed  failed  skipped   time"
printf '%s\n' "${results[@]}"
echo "total failures: $failures"
[ "$failures" -eq 0 ]
