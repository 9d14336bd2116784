"""Two pool threads against one, from 10 to 10^6 items, on every kernel path
this processor has: add, octonion_mul, and the geometric products of Cl(3,0)
and Cl(4,1).

    python bench/thread_sweep.py [--repeats 50]

Each (path, threads) pair runs in a child interpreter with VYR_KERNEL_PATH
and VYR_NUM_THREADS set, one and two threads taking turns for --rounds
rounds, so that a slow spell of the machine falls on both; the table gives
the best time of each and the ratio two threads / one (below 1: the second
thread helps; above 1: the call should have stayed on one thread).  Calls
too small for the pool run the same code either way, so their ratios show
the noise.  Timings depend on the machine and its load; they are not tests.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import textwrap

from ufunc_bench import BEST, fmt, paths, processor

SIZES = (10, 100, 1000, 10**4, 10**5, 10**6)

CHILD = BEST + """
rng = np.random.default_rng(7)
cases = {{
    "add": lambda n: (va.add, (rng.normal(size=n), rng.normal(size=n))),
    "octonion_mul": lambda n: (va.octonion_mul, (rng.normal(size=(n, 8)), rng.normal(size=(n, 8)))),
    "Cl(3,0) product": lambda n: (va.algebra([1, 1, 1]).geometric_product,
                                  (rng.normal(size=(n, 8)), rng.normal(size=(n, 8)))),
    "Cl(4,1) product": lambda n: (va.algebra([1, 1, 1, 1, -1]).geometric_product,
                                  (rng.normal(size=(n, 32)), rng.normal(size=(n, 32)))),
}}
rows = {{}}
for name, make in cases.items():
    for n in {sizes}:
        f, args = make(n)
        out = f(*args)
        repeats = max(3, {repeats} * 1000 // max(n, 1000))
        rows[f"{{name}} {{n}}"] = best(lambda: f(*args, out=out), repeats)
print(json.dumps({{"path": va.kernel_path, "rows": rows}}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--paths", default=",".join(paths()),
                        help="kernel paths to run, comma-separated (default: all this processor has)")
    args = parser.parse_args()
    print(f"{processor()}, Python {platform.python_version()}\n")
    print("| path | case | 1 thread | 2 threads | 2 / 1 |")
    print("|---|---|---|---|---|")
    code = textwrap.dedent(CHILD.format(repeats=args.repeats, sizes=SIZES))
    for path in args.paths.split(","):
        best: dict[int, dict[str, float]] = {1: {}, 2: {}}
        ran = path
        for _ in range(args.rounds):
            for threads in (1, 2):
                env = dict(os.environ, VYR_KERNEL_PATH=path, VYR_NUM_THREADS=str(threads))
                out = subprocess.run([sys.executable, "-c", code], env=env,
                                     capture_output=True, text=True, check=True)
                result = json.loads(out.stdout)
                ran = result["path"]
                for case, seconds in result["rows"].items():
                    best[threads][case] = min(seconds, best[threads].get(case, float("inf")))
        for case, one in best[1].items():
            two = best[2][case]
            print(f"| {ran} | {case} | {fmt(one)} | {fmt(two)} | {two / one:.2f}× |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
