"""The list functions (or, with --arrays, the array functions) in two installs
of the module, side by side.

Each install is named by the interpreter of a virtual environment that has the
module (and nothing else needed).  Every case runs in a child of each
interpreter in turn, several rounds interleaved, so that both see the same
machine load; the table gives the best time of each and their ratio.

    python bench/compare_installs.py OLD/bin/python NEW/bin/python [--rounds 5] [--arrays]

A ratio above 1 means the second install is faster.  Timings depend on the
machine and its load; they are not tests.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap

SETUP = """
import random, time
import vyr_spectral_core as vsc
rng = random.Random(7)
def vec(n): return [rng.uniform(-2.0, 2.0) for _ in range(n)]
def rows(n, w): return [vec(w) for _ in range(n)]
"""

# name -> (setup, call): lists made once, the call timed
CASES = {
    "add_n 10^5": ("a, b = vec(10**5), vec(10**5)", "vsc.add_n(a, b)"),
    "octonion_mul_n 10^4": ("a, b = rows(10**4, 8), rows(10**4, 8)", "vsc.octonion_mul_n(a, b)"),
    "octonion_norm_n 10^5": ("a = rows(10**5, 8)", "vsc.octonion_norm_n(a)"),
    "e8_norms_squared_n 10^5": ("a = rows(10**5, 8)", "vsc.e8_norms_squared_n(a)"),
    "geometric_product_n Cl(3,0) 10^4": (
        "a, b = rows(10**4, 8), rows(10**4, 8)",
        "vsc.geometric_product_n(a, b, [1, 1, 1])",
    ),
    "geometric_product_n Cl(4,1) 10^4": (
        "a, b = rows(10**4, 32), rows(10**4, 32)",
        "vsc.geometric_product_n(a, b, [1, 1, 1, 1, -1])",
    ),
    "geometric_product_n [1,1,1,0] 10^4": (
        "a, b = rows(10**4, 16), rows(10**4, 16)",
        "vsc.geometric_product_n(a, b, [1, 1, 1, 0])",
    ),
    "geometric_product_n Cl(4,4) 10^3": (
        "a, b = rows(10**3, 256), rows(10**3, 256)",
        "vsc.geometric_product_n(a, b, [1, 1, 1, 1, -1, -1, -1, -1])",
    ),
    "geometric_product_n [2]*8 10^3": (
        "a, b = rows(10**3, 256), rows(10**3, 256)",
        "vsc.geometric_product_n(a, b, [2] * 8)",
    ),
    "spectral_flow_batch 10^3 x 10^3": (
        "s = [(rng.uniform(0.1, 3.0), rng.uniform(-1.0, 1.0)) for _ in range(10**3)]",
        "vsc.spectral_flow_batch(s, 10**3)",
    ),
}

ARRAY_SETUP = """
import time
import numpy as np
import vyr_spectral_arrays as va
rng = np.random.default_rng(7)
"""

# The array functions through calls that every version of the module takes.
ARRAY_CASES = {
    "add 10^6": ("a, b = rng.normal(size=10**6), rng.normal(size=10**6)", "va.add(a, b)"),
    "add 10^3": ("a, b = rng.normal(size=10**3), rng.normal(size=10**3)", "va.add(a, b)"),
    "octonion_mul 10^5": ("a, b = rng.normal(size=(10**5, 8)), rng.normal(size=(10**5, 8))",
                          "va.octonion_mul(a, b)"),
    "octonion_norm 10^5": ("a = rng.normal(size=(10**5, 8))", "va.octonion_norm(a)"),
    "geometric_product Cl(3,0) 10^4": (
        "a, b = rng.normal(size=(10**4, 8)), rng.normal(size=(10**4, 8))",
        "va.geometric_product(a, b, [1, 1, 1])",
    ),
    "geometric_product Cl(4,1) 10^4": (
        "a, b = rng.normal(size=(10**4, 32)), rng.normal(size=(10**4, 32))",
        "va.geometric_product(a, b, [1, 1, 1, 1, -1])",
    ),
    "sandwich Cl(3,0) 10^4 by one rotor": (
        "r, x = rng.normal(size=8), rng.normal(size=(10**4, 8))",
        "va.sandwich(r, x, [1, 1, 1])",
    ),
    "spectral_flow 10^3 x 10^3": ("s = rng.normal(size=(10**3, 2))", "va.spectral_flow(s, 10**3)"),
}

CHILD = """
import json, sys, time
{setup}
{case_setup}
best = float("inf")
for _ in range({repeats}):
    t0 = time.perf_counter()
    {call}
    best = min(best, time.perf_counter() - t0)
print(json.dumps(best))
"""


def time_case(python: str, name: str, repeats: int, arrays: bool = False) -> float:
    case_setup, call = (ARRAY_CASES if arrays else CASES)[name]
    code = CHILD.format(setup=ARRAY_SETUP if arrays else SETUP, case_setup=case_setup, call=call,
                        repeats=repeats)
    out = subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         check=True, cwd="/")
    return json.loads(out.stdout)


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--arrays", action="store_true", help="the array functions")
    args = parser.parse_args()
    cases = ARRAY_CASES if args.arrays else CASES
    best = {name: [float("inf"), float("inf")] for name in cases}
    for _ in range(args.rounds):
        for name in cases:
            for side, python in enumerate((args.old, args.new)):
                best[name][side] = min(best[name][side],
                                       time_case(python, name, args.repeats, args.arrays))
    print(f"{args.rounds} rounds of best-of-{args.repeats}, interleaved\n")
    print("| case | first | second | first / second |")
    print("|---|---|---|---|")
    for name, (old, new) in best.items():
        print(f"| {name} | {fmt(old)} | {fmt(new)} | {old / new:.2f}× |")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
