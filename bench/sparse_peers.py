"""Sparse operands against peers: rotor and motor sandwiches, motor products.

The operands that geometric algebra code meets most are sparse: a vector has
3 of Cl(3,0)'s 8 components, a rotor 4, a 3D PGA motor 8 of 16 and a point 4.
The lane kernels skip the terms whose factor is zero in every item of a
group, as the one-item routine skips a zero factor, so these calls cost a
fraction of a dense product.  Each case times this package's array call and
the peers' batched forms on the same numbers (kingdon: multivectors whose
values have shape (components, N); numpy-quaternion: rotate_vectors), and
prints a Markdown table of the best of many runs, in microseconds, with the
ratios to each peer.

    VYR_KERNEL_PATH=avx512 python bench/sparse_peers.py
    VYR_KERNEL_PATH=avx2 python bench/sparse_peers.py

The peers are benchmarks only, never run-time dependencies.  Timings depend
on the machine and its load; they are not tests.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vyr_spectral_arrays as va

N = 10_000


def best_seconds(call, repeats):
    call()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def blades(dimension, grades):
    return [k for k in range(dimension) if bin(k).count("1") in grades]


def graded(rng, n, dimension, grades):
    x = np.zeros((n, dimension))
    keys = blades(dimension, grades)
    x[:, keys] = rng.normal(size=(n, len(keys)))
    return x


def kingdon_multivector(alg, x, grades):
    """x (n, 2^d) in ascending bitmask order as a kingdon multivector with
    values of shape (keys, n).  kingdon's binary keys are the same bitmasks,
    and its basis blades are the ascending products of basis vectors, so no
    sign changes (checked in main)."""
    keys = tuple(blades(x.shape[1], grades))
    values = np.ascontiguousarray(x[:, list(keys)].T)
    if x.shape[0] == 1:
        values = values[:, 0].copy()
    return alg.multivector(values=values, keys=keys)


def check_kingdon_basis(alg, n):
    vectors = [alg.multivector(values=[1.0], keys=(1 << m,)) for m in range(n)]
    for k in range(1, 2**n):
        mv = alg.multivector(values=[1.0], keys=(0,))
        for m in range(n):
            if k >> m & 1:
                mv = mv * vectors[m]
        nonzero = [(key, v) for key, v in zip(mv.keys(), mv.values()) if v != 0]
        assert nonzero == [(k, 1.0)], (k, nonzero)


def cases(rng):
    from kingdon import Algebra

    euclid = Algebra(signature=[1, 1, 1])
    pga = Algebra(signature=[0, 1, 1, 1])
    check_kingdon_basis(euclid, 3)
    check_kingdon_basis(pga, 4)

    rotor = graded(rng, 1, 8, (0, 2))
    rotor /= np.sqrt((rotor**2).sum())
    vectors = graded(rng, N, 8, (1,))
    k_rotor = kingdon_multivector(euclid, rotor, (0, 2))
    k_vectors = kingdon_multivector(euclid, vectors, (1,))
    peers = {"kingdon": lambda: k_rotor >> k_vectors}
    try:
        import quaternion

        # e1e2, e1e3, e2e3 (bitmasks 3, 5, 6) against i, j, k: the signs do
        # not matter for timing.
        q = np.quaternion(rotor[0, 0], rotor[0, 6], -rotor[0, 5], rotor[0, 3])
        v = np.ascontiguousarray(vectors[:, [1, 2, 4]])
        peers["numpy-quaternion"] = lambda: quaternion.rotate_vectors(q, v)
    except ImportError:
        pass
    yield ("Cl(3,0) sandwich: 1 rotor, 10^4 vectors",
           lambda: va.sandwich(rotor[0], vectors, [1, 1, 1]), peers)

    motors_a = graded(rng, N, 16, (0, 2, 4))
    motors_b = graded(rng, N, 16, (0, 2, 4))
    k_a = kingdon_multivector(pga, motors_a, (0, 2, 4))
    k_b = kingdon_multivector(pga, motors_b, (0, 2, 4))
    yield ("3D PGA [0,1,1,1]: motor x motor, 10^4 pairs",
           lambda: va.geometric_product(motors_a, motors_b, [0, 1, 1, 1]),
           {"kingdon": lambda: k_a * k_b})

    motor = motors_a[:1]
    k_motor = kingdon_multivector(pga, motor, (0, 2, 4))
    points = graded(rng, N, 16, (3,))
    k_points = kingdon_multivector(pga, points, (3,))
    yield ("3D PGA [0,1,1,1]: motor sandwich, 1 motor, 10^4 points",
           lambda: va.sandwich(motor[0], points, [0, 1, 1, 1]),
           {"kingdon": lambda: k_motor >> k_points})
    yield ("3D PGA [0,1,1,1]: motor sandwich, 10^4 motors and points",
           lambda: va.sandwich(motors_a, points, [0, 1, 1, 1]),
           {"kingdon": lambda: k_a >> k_points})

    dense_a = rng.normal(size=(N, 16))
    dense_b = rng.normal(size=(N, 16))
    k_dense_a = kingdon_multivector(pga, dense_a, (0, 1, 2, 3, 4))
    k_dense_b = kingdon_multivector(pga, dense_b, (0, 1, 2, 3, 4))
    yield ("3D PGA [0,1,1,1]: dense x dense, 10^4 pairs",
           lambda: va.geometric_product(dense_a, dense_b, [0, 1, 1, 1]),
           {"kingdon": lambda: k_dense_a * k_dense_b})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    print(f"kernel path `{va.kernel_path}`, best of {args.repeats} runs, microseconds\n")
    print("| case | this package | kingdon | numpy-quaternion | ours / kingdon | ours / numpy-quaternion |")
    print("|---|---|---|---|---|---|")
    for name, ours, peers in cases(rng):
        mine = best_seconds(ours, args.repeats)
        times = {peer: best_seconds(call, args.repeats) for peer, call in peers.items()}
        cells = [f"{times[p] * 1e6:.1f}" if p in times else "-" for p in ("kingdon", "numpy-quaternion")]
        ratios = [f"{mine / times[p]:.2f}" if p in times else "-" for p in ("kingdon", "numpy-quaternion")]
        print(f"| {name} | {mine * 1e6:.1f} | {' | '.join(cells)} | {' | '.join(ratios)} |", flush=True)


if __name__ == "__main__":
    main()
