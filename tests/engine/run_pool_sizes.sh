#!/bin/sh
# Runs every engine test executable of a build directory once per pool size
# of the process-wide pool (the private pools inside the tests have their
# sizes built in).  Usage: tests/engine/run_pool_sizes.sh BUILD_DIR [SIZES...]
set -u
build=${1:?usage: $0 BUILD_DIR [SIZES...]}
shift
sizes=${*:-1 2 3 4 8}
failed=0
for size in $sizes; do
  for test in "$build"/engine_*; do
    [ -x "$test" ] || continue
    if ! VYR_NUM_THREADS=$size "$test" >/dev/null; then
      echo "FAILED: VYR_NUM_THREADS=$size $test"
      failed=1
    fi
  done
  echo "pool size $size done"
done
exit $failed
