"""A short tour of vyr_spectral_core: every function, on real inputs.

Small inputs go to the list functions of vyr_spectral_core; large batches go
to the same kernels through vyr_spectral_arrays, which takes and returns
numpy arrays. Run it with any interpreter that has the package installed with
its arrays extra (pip install '.[arrays]'):

    python examples/tour.py

It takes a few seconds. One section deliberately triggers a fault, for which the
module also writes a short report to standard error.
"""

import itertools
import math
import random

import numpy as np

import vyr_spectral_arrays as va
import vyr_spectral_core as vsc
from vyr_runtime import PanicException


def section(title):
    print()
    print(title)
    print("-" * len(title))


def fmt(values, digits=6):
    return "[" + ", ".join(f"{v:.{digits}g}" for v in values) + "]"


# ---------------------------------------------------------------------------
def clifford_rotations():
    section("Rotations in Cl(3,0): the rotor sandwich v' = R v ~R")
    # Multivectors of Cl(3,0) have 2**3 = 8 components, indexed by blade mask:
    #   1, e0, e1, e0e1, e2, e0e2, e1e2, e0e1e2
    # Basis vectors count from e0 (clifford and kingdon count from e1, so their
    # e1 is e0 here); for octonions, below, e0 is the scalar unit instead.
    signature = [1, 1, 1]
    E0E1 = 3

    def vector(x, y, z):
        return [0.0, x, y, 0.0, z, 0.0, 0.0, 0.0]

    def rotor(theta):
        """R = cos(theta/2) - sin(theta/2) e0e1: turns e0 towards e1 by theta."""
        r = [0.0] * 8
        r[0], r[E0E1] = math.cos(theta / 2), -math.sin(theta / 2)
        return r

    def reverse(r):
        """~R flips the sign of the grade-2 and grade-3 parts."""
        return [c if bin(k).count("1") in (0, 1) else -c for k, c in enumerate(r)]

    angles = [math.pi / 2, math.pi / 3, math.pi, 2 * math.pi]
    points = [vector(1.0, 0.0, 0.0), vector(1.0, 0.0, 0.0), vector(1.0, 2.0, 3.0), vector(0.5, -1.0, 2.0)]
    rotors = [rotor(t) for t in angles]

    # Two batch calls rotate every point by its own rotor at once.
    half = vsc.geometric_product_n(rotors, points, signature)
    rotated = vsc.geometric_product_n(half, [reverse(r) for r in rotors], signature)

    for theta, p, q in zip(angles, points, rotated):
        vec_in, vec_out = (p[1], p[2], p[4]), (q[1], q[2], q[4])
        other = max(abs(q[k]) for k in (0, 3, 5, 6, 7))
        print(f"  theta = {math.degrees(theta):5.1f} deg: {fmt(vec_in, 3)} -> {fmt(vec_out, 6)}"
              f"   |v| {math.hypot(*vec_in):.6f} -> {math.hypot(*vec_out):.6f},"
              f" non-vector parts <= {other:.1e}")
    print("  A turn by 90 deg takes e0 to e1; z, along the rotation axis, stays put;")
    print("  lengths are kept, and the result is a pure vector up to rounding.")

    # Arrays broadcast: one rotor turns ten thousand vectors in one sandwich,
    # a gufunc of the algebra object.
    rng = np.random.default_rng(4)
    many = np.zeros((10_000, 8))
    many[:, [1, 2, 4]] = rng.normal(size=(10_000, 3))
    cl3 = va.algebra(signature)
    r = np.array(rotors[0])
    turned = cl3.sandwich(r, many)
    lengths_kept = np.abs(va.norms_squared(turned[:, [1, 2, 4]]) / va.norms_squared(many[:, [1, 2, 4]]) - 1).max()
    print(f"  one rotor (90 deg) against {len(many)} vectors, as arrays: x -> y on every one:"
          f" {bool(np.allclose(turned[:, 2], many[:, 1]))}; lengths kept to {lengths_kept:.1e}")

    # The algebra itself: e0 e1 = -e1 e0, (e0e1)^2 = -1, and other signatures.
    e0, e1 = vector(1, 0, 0), vector(0, 1, 0)
    e0e1, e1e0 = vsc.geometric_product_n([e0, e1], [e1, e0], signature)
    print(f"  e0 e1 = {fmt(e0e1, 2)}   e1 e0 = {fmt(e1e0, 2)}")
    bivector = [0.0, 0.0, 0.0, 1.0]
    for sig in ([1, 1], [1, -1], [-1, -1]):
        (square,) = vsc.geometric_product_n([bivector], [bivector], sig)
        print(f"  signature {sig!s:9}: (e0e1)^2 = {square[0]:+.0f}")

    # The algebra object's other operations, on the same lanes and pool.
    plane = np.zeros(8)
    plane[E0E1] = -math.pi / 4
    r = cl3.exp(plane)
    print(f"  {cl3!r}: operations {', '.join(cl3.operations)}")
    print(f"  exp(-pi/4 e01) = {cl3.format(r)};  log gives back {cl3.format(cl3.log(r))}")
    a, b = np.array(vector(1, 2, 3)), np.array(vector(0, 1, 0))
    print(f"  a ^ b = {cl3.format(cl3.outer_product(a, b))};  a . b = {cl3.scalar_product(a, b)};"
          f"  dual(a) = {cl3.format(cl3.dual(a))};  a^-1 = {cl3.format(cl3.inverse(a))}")


# ---------------------------------------------------------------------------
def octonions():
    section("Octonions: a normed algebra that is not associative")
    rng = random.Random(8)
    a = [rng.uniform(-1, 1) for _ in range(8)]
    b = [rng.uniform(-1, 1) for _ in range(8)]
    ab = vsc.octonion_mul(a, b)
    na, nb, nab = vsc.octonion_norm_n([a, b, ab])
    print(f"  |a| = {na:.15f}   |b| = {nb:.15f}")
    print(f"  |ab| = {nab:.15f}   |a||b| = {na * nb:.15f}   relative gap {abs(nab - na * nb) / nab:.1e}")

    # Many pairs at once, as arrays, on the worker pool.
    generator = np.random.default_rng(8)
    xs, ys = generator.normal(size=(2, 200_000, 8))
    products = va.octonion_mul(xs, ys)
    nx, ny, nxy = va.octonion_norm(xs), va.octonion_norm(ys), va.octonion_norm(products)
    worst = float(np.max(np.abs(nxy - nx * ny) / nxy))
    print(f"  over {len(products)} random pairs, |xy| = |x||y| holds to a relative {worst:.1e}")
    same = va.octonion_mul(xs[:3], ys[:3]).tolist() == vsc.octonion_mul_n(xs[:3].tolist(), ys[:3].tolist())
    print(f"  the array products equal the list products: {same}")

    # Component k is the coefficient of e_k, and e0 = 1 is the scalar unit.
    def unit(k):
        return [1.0 if i == k else 0.0 for i in range(8)]

    def name(x):
        return " + ".join(f"{c:+g} e{i}" for i, c in enumerate(x) if c) or "0"

    e1, e2, e3 = unit(1), unit(2), unit(3)
    left = vsc.octonion_mul(vsc.octonion_mul(e1, e2), e3)
    right = vsc.octonion_mul(e1, vsc.octonion_mul(e2, e3))
    print(f"  (e1 e2) e3 = {name(left)}   but   e1 (e2 e3) = {name(right)}")
    print(f"  e1 e2 = {name(vsc.octonion_mul(e1, e2))}, e2 e1 = {name(vsc.octonion_mul(e2, e1))},"
          f" e1 e1 = {name(vsc.octonion_mul(e1, e1))}")
    # Alternativity survives: (x x) y = x (x y).
    xxy, x_xy = vsc.octonion_mul(vsc.octonion_mul(a, a), b), vsc.octonion_mul(a, vsc.octonion_mul(a, b))
    print(f"  alternative law (aa)b = a(ab): largest gap {max(abs(p - q) for p, q in zip(xxy, x_xy)):.1e}")
    print(f"  a zero coefficient is skipped, so 0 * inf gives no NaN:"
          f" {fmt(vsc.octonion_mul([0.0] * 7 + [1.0], [math.inf] + [0.0] * 7), 2)}")


# ---------------------------------------------------------------------------
def planar_map():
    section("The planar map Phi(x, y) = (y', exp(x) - ln(y'))")
    print("  Each step guards its inputs: x above 709.78 is replaced by ln x, and y <= 0")
    print("  by max(|y|, 1e-300), so a trajectory from a finite start stays finite.")
    for start in ((0.0, 1.0), (1.0, 1.0), (0.0, -2.0), (800.0, 1.0)):
        print(f"  spectral_flow_step{start} = {vsc.spectral_flow_step(*start)}")

    trajectory = vsc.spectral_flow_n(0.5, 0.5, 8)
    print("  spectral_flow_n(0.5, 0.5, 8):")
    for k, (x, y) in enumerate(trajectory):
        print(f"    {k}: ({x:.10g}, {y:.10g})")

    starts = np.random.default_rng(2).uniform(-3, 3, size=(100_000, 2))
    n_steps = 40
    batch = va.spectral_flow(starts, n_steps)
    finals = batch[:, -1]
    finite = int(np.isfinite(finals).all(axis=1).sum())
    ys = np.sort(finals[:, 1])
    print(f"  spectral_flow over {len(starts)} starts, {n_steps} steps each, as arrays:"
          f" shape {batch.shape}")
    print(f"    final points finite: {finite}/{len(finals)};"
          f" final y from {ys[0]:.4g} to {ys[-1]:.4g}, median {ys[len(ys) // 2]:.4g}")
    same = all(batch[k].tolist() == [list(p) for p in vsc.spectral_flow_n(*starts[k], n_steps)]
               for k in (0, 1, 1234, 99_999))
    print(f"    each trajectory equals spectral_flow_n for its start: {same}")


# ---------------------------------------------------------------------------
def lattices():
    section("Lattice norms: E8 roots and a Leech-lattice minimal vector")
    # The 240 roots of E8: all (+-1, +-1, 0^6) permutations and (+-1/2)^8 with an
    # even number of minus signs.
    roots = []
    for i, j in itertools.combinations(range(8), 2):
        for si, sj in itertools.product((1.0, -1.0), repeat=2):
            v = [0.0] * 8
            v[i], v[j] = si, sj
            roots.append(v)
    for signs in itertools.product((0.5, -0.5), repeat=8):
        if sum(s < 0 for s in signs) % 2 == 0:
            roots.append(list(signs))
    norms = vsc.e8_norms_squared_n(roots)
    print(f"  {len(roots)} E8 roots, squared norms {sorted(set(norms))};"
          f" e8_min_norm_squared() = {vsc.e8_min_norm_squared()}")

    # Leech lattice in the usual coordinates scaled by sqrt(8): minimal vectors
    # such as (4, 4, 0^22) and (-3, 1^23) have squared length 32 there.
    leech = [[4.0, 4.0] + [0.0] * 22, [-3.0] + [1.0] * 23]
    scaled = [s / 8 for s in vsc.e8_norms_squared_n(leech)]
    print(f"  Leech minimal vectors (scaled by 1/sqrt 8): squared norms {scaled};"
          f" leech_min_norm_squared() = {vsc.leech_min_norm_squared()}")
    print(f"  points of any length work: e8_norms_squared_n([[3, 4], [], [1e200]])"
          f" = {vsc.e8_norms_squared_n([[3, 4], [], [1e200]])}")
    print("  (an empty point's squared norm is -0.0; an overflowing one is inf)")


# ---------------------------------------------------------------------------
def vector_add():
    section("add_n: element-wise sums")
    print(f"  add_n([1, 2, 3], [10, 20]) = {vsc.add_n([1, 2, 3], [10, 20])}  (the shorter length wins)")
    print(f"  add_n([-0.0, 1e308, inf], [-0.0, 1e308, -inf]) ="
          f" {vsc.add_n([-0.0, 1e308, math.inf], [-0.0, 1e308, -math.inf])}")
    a = np.arange(10_000_000, dtype=np.float64)
    total = va.add(a, 0.5)
    print(f"  ten million sums as arrays, broadcasting 0.5: {total[:3]} ..., equal to numpy's a + 0.5:"
          f" {bool(np.array_equal(total, a + 0.5))}")


# ---------------------------------------------------------------------------
def faults():
    section("Faults: PanicException")
    print("  A kernel that reads past the end of a vector faults. The call raises")
    print("  PanicException, which derives from BaseException (like SystemExit), so")
    print("  'except Exception' lets it through; import it from vyr_runtime to catch it.")
    try:
        try:
            vsc.octonion_mul([1.0, 2.0, 3.0], [1.0] * 8)
        except Exception:
            print("  never reached")
    except PanicException as e:
        print(f"  caught {type(e).__module__}.{type(e).__name__}: {e}")
        print(f"  isinstance(e, Exception) = {isinstance(e, Exception)}, e.args = {e.args}")

    try:
        vsc.octonion_mul_n([[1.0] * 8] * 5, [[1.0] * 8] * 2 + [[1.0] * 3] + [[1.0] * 5] * 2)
    except PanicException as e:
        print(f"  batch with short vectors at pairs 2, 3 and 4: '{e}' (the lowest index wins)")
    print(f"  next call works: add_n([1], [2]) = {vsc.add_n([1], [2])}")


def main():
    print(f"vyr_spectral_core: {len(vsc.__all__)} functions: {', '.join(vsc.__all__)}")
    print(f"vyr_spectral_arrays: {len(va.__all__)} names: {', '.join(va.__all__)}")
    clifford_rotations()
    octonions()
    planar_map()
    lattices()
    vector_add()
    faults()


if __name__ == "__main__":
    main()
