"""Small workloads for profiling the module under perf or callgrind.

    python bench/profile_cases.py CASE [scale]

Each case builds its inputs first, then calls the module a few times; with
callgrind the inputs are built with instrumentation off (toggle-collect on
run_case), so the counts are those of the calls alone.
"""

import sys

import numpy as np

import vyr_spectral_core as V

rng = np.random.default_rng(5)


def inputs(case, scale):
    if case == "flow_batch":
        n = int(1000 * scale)
        S = list(zip(rng.uniform(-2, 2, n).tolist(), rng.uniform(0.1, 3, n).tolist()))
        return lambda: V.spectral_flow_batch(S, 1000)
    if case == "flow_n":
        return lambda: V.spectral_flow_n(0.5, 0.5, int(10**6 * scale))
    if case == "oct_mul_n":
        n = int(10**5 * scale)
        a, b = rng.uniform(-1, 1, (n, 8)).tolist(), rng.uniform(-1, 1, (n, 8)).tolist()
        return lambda: V.octonion_mul_n(a, b)
    if case == "add_n":
        n = int(10**6 * scale)
        a, b = rng.uniform(-1, 1, n).tolist(), rng.uniform(-1, 1, n).tolist()
        return lambda: V.add_n(a, b)
    if case == "norm_n":
        n = int(10**6 * scale)
        a = rng.uniform(-1, 1, (n, 8)).tolist()
        return lambda: V.octonion_norm_n(a)
    if case.startswith("gp"):
        sig = {"gp3": [1, 1, 1], "gp41": [1, 1, 1, 1, -1], "gp1110": [1, 1, 1, 0],
               "gp8": [1, -1, 1, -1, 1, -1, 1, -1]}[case]
        n = int(10**4 * scale)
        D = 1 << len(sig)
        a, b = rng.uniform(-1, 1, (n, D)).tolist(), rng.uniform(-1, 1, (n, D)).tolist()
        return lambda: V.geometric_product_n(a, b, sig)
    raise SystemExit(f"unknown case {case}")


def run_case(f, reps):
    for _ in range(reps):
        f()


if __name__ == "__main__":
    case = sys.argv[1]
    scale = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    reps = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    f = inputs(case, scale)
    run_case(f, reps)
