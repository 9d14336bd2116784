"""The array functions as ufuncs, against numpy's own, on every kernel path
this processor has: small calls against np.add of the same shape, and
components read along axis 0 (axes=) against items stored row by row.

    python bench/ufunc_bench.py [--repeats 200]

Each kernel path runs in a child interpreter (VYR_KERNEL_PATH), one after
the other; ratios compare times measured in the same child.  Timings depend
on the machine and its load; they are not tests.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import textwrap

# The timing helper of every child: the best of `repeats` calls after one
# warm-up call.
BEST = """
import json, time
import numpy as np
import vyr_spectral_arrays as va

def best(call, repeats):
    call()
    result = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        call()
        result = min(result, time.perf_counter() - t0)
    return result
"""

CHILD = BEST + """
rng = np.random.default_rng(5)
rows = {{}}
for n in (10, 1000):
    a, b = rng.normal(size=n), rng.normal(size=n)
    out = np.empty(n)
    ours = best(lambda: va.add(a, b, out=out), {repeats})
    numpys = best(lambda: np.add(a, b, out=out), {repeats})
    rows[f"add {{n}} elements (out=)"] = (ours, numpys)
    ours = best(lambda: va.add(a, b), {repeats})
    numpys = best(lambda: np.add(a, b), {repeats})
    rows[f"add {{n}} elements"] = (ours, numpys)
for signature in ([1, 1, 1], [1, 1, 1, 0], [1, 1, 1, 1, -1]):
    alg = va.algebra(signature)
    d = alg.dimension
    items = rng.normal(size=(10**5, d)), rng.normal(size=(10**5, d))
    columns = [np.ascontiguousarray(x.T) for x in items]
    out_rows, out_columns = np.empty((10**5, d)), np.empty((d, 10**5))
    by_rows = best(lambda: alg.geometric_product(*items, out=out_rows), max(3, {repeats} // 20))
    by_columns = best(lambda: alg.geometric_product(*columns, out=out_columns,
                                                    axes=[(0,), (0,), (0,)]),
                      max(3, {repeats} // 20))
    rows[f"geometric_product {{signature}} 10^5: axes=(0,) vs rows"] = (by_columns, by_rows)
print(json.dumps({{"path": va.kernel_path, "rows": rows}}))
"""


def processor() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def paths() -> list[str]:
    flags = set()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    found = ["portable"]
    if "avx2" in flags:
        found.append("avx2")
    if {"avx512f", "avx512dq"} <= flags:
        found.append("avx512")
    return found


def fmt(seconds: float) -> str:
    for unit, scale in (("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=200)
    args = parser.parse_args()
    print(f"{processor()}, Python {platform.python_version()}\n")
    print("| path | case | ours | reference | ours / reference |")
    print("|---|---|---|---|---|")
    for path in paths():
        env = dict(os.environ, VYR_KERNEL_PATH=path)
        code = textwrap.dedent(CHILD.format(repeats=args.repeats))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=True)
        result = json.loads(out.stdout)
        for case, (ours, reference) in result["rows"].items():
            print(f"| {result['path']} | {case} | {fmt(ours)} | {fmt(reference)} "
                  f"| {ours / reference:.2f}× |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
