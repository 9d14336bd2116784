"""Results of every lane kernel on inputs full of special values, from both
front-ends, for comparing the kernel paths bit for bit.

Run in a child interpreter whose VYR_KERNEL_PATH picks the path: ``python -c
"import lanes_battery; lanes_battery.main()"`` writes a pickled dict of
case name -> (kernel path, shape, result bytes) to standard output, in hex.
"""

import pickle
import sys

import numpy as np

import vyr_spectral_arrays as va
import vyr_spectral_core as vc

# NaNs with payloads (quiet and signalling, both signs), infinities, signed
# zeros, subnormals, the largest and smallest normal numbers.
SPECIALS = np.array(
    [0x7FF8000000000001, 0xFFF80000000ABCDE, 0x7FF4000000000123, 0xFFF0000000000777,
     0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000000, 0x8000000000000000,
     0x0000000000000001, 0x800FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF,
     0x0010000000000000, 0x3FF0000000000000],
    dtype=np.uint64,
).view(np.float64)

COUNTS = (1, 3, 7, 8, 9, 16, 17, 61)
SIGNATURES = ([], [1], [-1], [0], [1, 1], [-1, 0], [0, 1], [1, 1, 1], [-1, 0, 1], [0, 0, -1],
              [1, 1, 1, 0], [1, -1, -1, -1], [1, 1, 1, 1, -1], [-1, 0, 1, 1, -1],
              [1, -1] * 4, [2, -1], [-128, 127, 1])


def mixed(rng, shape, special=0.1, zero=0.25):
    """Numbers of every size, with zeros and special values sprinkled in."""
    x = rng.normal(size=shape) * np.exp2(rng.integers(-60, 60, size=shape))
    x[rng.random(shape) < zero] = 0.0
    picks = rng.random(shape) < special
    x[picks] = rng.choice(SPECIALS, size=int(picks.sum()))
    return x


def finite(rng, shape):
    """Finite numbers with many zeros, some of both signs, some huge."""
    x = rng.normal(size=shape) * np.exp2(rng.integers(-1000, 1000, size=shape))
    x[rng.random(shape) < 0.3] = rng.choice([0.0, -0.0])
    return x


def zero_factors():
    """Zero coefficients facing infinities and NaNs, in every lane of a group
    and in some: the products skip those terms, so no NaN may appear, and
    products never give -0.0."""
    zeros = np.zeros((9, 8))
    zeros[::2] = -0.0
    infinite = np.full((9, 8), np.inf)
    infinite[1::3] = SPECIALS[0]
    # Items of zeros facing infinities beside items of finite numbers.
    left = np.where(np.arange(9)[:, None] % 2 == 0, 0.0, np.arange(1.0, 9.0))
    right = np.where(np.arange(9)[:, None] % 2 == 0, np.inf, np.arange(-8.0, 0.0))
    return np.concatenate([
        va.octonion_mul(zeros, infinite), va.octonion_mul(infinite, zeros),
        va.geometric_product(zeros, infinite, [1, -1, 0]),
        va.geometric_product(infinite, zeros, [1, -1, 0]),
        va.octonion_mul(left, right), va.geometric_product(left, right, [1, 1, -1]),
    ])


def graded(rng, draw, n, signature, grades, dense_share=0.0):
    """Items whose components outside `grades` are zero (of either sign),
    and a share of items (`dense_share`) with every component drawn: zero in
    most items but not in all, so the kernels cannot skip those terms for
    every lane of a group."""
    dimension = 2 ** len(signature)
    x = draw(rng, (n, dimension))
    outside = ~np.isin([bin(k).count("1") for k in range(dimension)], grades)
    x[:, outside] = rng.choice([0.0, -0.0], size=(n, int(outside.sum())))
    dense = rng.random(n) < dense_share
    x[dense] = draw(rng, (int(dense.sum()), dimension))
    return x


# Sparse operands: (signature, left grades, right grades), the products and
# sandwiches of rotors and vectors, motors and points, bivectors, and of odd
# left factors (reflections by vectors and other odd versors).
SPARSE = (
    ([1, 1, 1], (0, 2), (1,)),
    ([1, 1, 1], (2,), (2,)),
    ([1, -1, -1], (1,), (1, 3)),
    ([-1, 0, 1], (1, 3), (0, 2)),
    ([0, 1, 1, 1], (0, 2, 4), (0, 2, 4)),
    ([0, 1, 1, 1], (0, 2, 4), (3,)),
    ([1, 1, 1, 0], (0, 2), (1,)),
    ([1, 1, 1, 1, -1], (0, 2, 4), (1,)),
)


def sparse_cases(rng):
    for signature, left, right in SPARSE:
        for n in (1, 7, 8, 9, 17, 61):
            for draw in (mixed, finite):
                for share in (0.0, 0.1):
                    a = graded(rng, draw, n, signature, left, share)
                    b = graded(rng, draw, n, signature, right, share)
                    name = f"{signature} {left}x{right} {draw.__name__} {n} {share}"
                    yield f"sparse geometric_product {name}", va.geometric_product(a, b, signature)
                    yield f"sparse geometric_product_n {name}", np.array(
                        vc.geometric_product_n(a.tolist(), b.tolist(), signature))
                    yield f"sparse sandwich {name}", va.sandwich(a, b, signature)
                    yield f"sparse sandwich repeated rotor {name}", va.sandwich(a[0], b, signature)
                    yield from component_major(f"sparse {name}", a, b, signature)


def component_major(name, a, b, signature):
    """Operands and outputs whose items are adjacent doubles and whose
    components lie a row apart (arrays of shape (N, 2^n) in Fortran order),
    which the kernels read and write in place, a vector per component."""
    def out():
        return np.empty(a.shape, order="F")

    fa, fb = np.asfortranarray(a), np.asfortranarray(b)
    for label, function in (("geometric_product", va.geometric_product), ("sandwich", va.sandwich)):
        yield f"{label} component-major {name}", function(fa, fb, signature, out=out())
        yield f"{label} component-major left repeated {name}", function(
            a[0], fb, signature, out=out())
        yield f"{label} component-major right repeated {name}", function(
            fa, b[-1], signature, out=out())
        yield f"{label} component-major output {name}", function(a, b, signature, out=out())


def cases(rng):
    yield "zero factors", zero_factors()
    for n in COUNTS:
        for draw in (mixed, finite):
            a, b = draw(rng, (n, 8)), draw(rng, (n, 8))
            yield f"octonion_mul {draw.__name__} {n}", va.octonion_mul(a, b)
            yield f"octonion_mul left repeated {draw.__name__} {n}", va.octonion_mul(a[0], b)
            yield f"octonion_mul right repeated {draw.__name__} {n}", va.octonion_mul(a, b[-1])
            yield f"octonion_mul columns apart {draw.__name__} {n}", va.octonion_mul(
                np.asfortranarray(a), b[:, ::-1])
            yield f"octonion_mul_n {draw.__name__} {n}", np.array(
                vc.octonion_mul_n(a.tolist(), b.tolist()))
        for length in (0, 1, 3, 8, 9, 17):
            p = mixed(rng, (n, length), special=0.05)
            yield f"octonion_norm {n}x{length}", va.octonion_norm(p)
            yield f"norms_squared {n}x{length}", va.norms_squared(p)
            yield f"octonion_norm_n {n}x{length}", np.array(vc.octonion_norm_n(p.tolist()))
            yield f"e8_norms_squared_n {n}x{length}", np.array(
                vc.e8_norms_squared_n(p.tolist()))
        x, y = mixed(rng, 4 * n + 1), mixed(rng, 4 * n + 1)
        yield f"add {n}", va.add(x, y)
        yield f"add repeated {n}", np.concatenate([va.add(x, y[0]), va.add(x[0], y)])
        yield f"add_n {n}", np.array(vc.add_n(x.tolist(), y.tolist()))
    for signature in SIGNATURES:
        dimension = 2 ** len(signature)
        for n in COUNTS if dimension <= 32 else (1, 9):
            for draw in (mixed, finite):
                a, b = draw(rng, (n, dimension)), draw(rng, (n, dimension))
                name = f"{signature} {draw.__name__} {n}"
                yield f"geometric_product {name}", va.geometric_product(a, b, signature)
                yield f"geometric_product left repeated {name}", va.geometric_product(
                    a[0], b, signature)
                yield f"geometric_product right repeated {name}", va.geometric_product(
                    np.asfortranarray(a), b[-1], signature)
                yield f"geometric_product_n {name}", np.array(
                    vc.geometric_product_n(a.tolist(), b.tolist(), signature))
                yield f"sandwich {name}", va.sandwich(a, b, signature)
                yield f"sandwich repeated rotor {name}", va.sandwich(a[0], b, signature)
                left, right = a.copy(), b.copy()
                yield f"geometric_product over its left operand {name}", va.geometric_product(
                    left, b, signature, out=left)
                yield f"sandwich over its right operand {name}", va.sandwich(
                    a, right, signature, out=right)
                yield from component_major(name, a, b, signature)


def all_cases(rng):
    yield from cases(rng)
    yield from sparse_cases(rng)


def main():
    rng = np.random.default_rng(20261208)
    results = {name: (va.kernel_path, value.shape, value.tobytes()) for name, value in all_cases(rng)}
    sys.stdout.write(pickle.dumps(results).hex())
