"""A fixed workload over every batch function, run under several pool sizes.

``run(module)`` returns one entry per case: ("ok", bit patterns of the result)
or ("fault", message).  Inputs are derived from a fixed seed so that a
subprocess and the test process build the same cases.
"""

import json
import math
import random
import struct

from vyr_runtime import PanicException

NAN = float("nan")
INF = float("inf")
SPECIAL = [0.0, -0.0, NAN, INF, -INF, 5e-324, -5e-324, 1e308, -1e308, 1.0, -1.0, 0.5]


def _bits(obj):
    if isinstance(obj, list):
        return [_bits(v) for v in obj]
    if isinstance(obj, tuple):
        return {"t": [_bits(v) for v in obj]}
    if math.isnan(obj):
        return "nan"
    return struct.pack("<d", obj).hex()


def _value(rng, zero_bias=0.25):
    r = rng.random()
    if r < zero_bias:
        return rng.choice([0.0, -0.0])
    if r < zero_bias + 0.1:
        return rng.choice(SPECIAL)
    return rng.uniform(-10.0, 10.0)


def _vec(rng, n, **kw):
    return [_value(rng, **kw) for _ in range(n)]


def cases():
    rng = random.Random(20240601)
    out = []
    # add_n
    for n, m in ((0, 0), (1, 1), (2, 2), (3, 5), (5, 3), (7, 7), (1000, 1003), (20011, 20000)):
        out.append(("add_n", (_vec(rng, n), _vec(rng, m))))
    # octonion_mul_n / octonion_norm_n
    for n in (0, 1, 2, 3, 5, 9, 17, 600):
        a = [_vec(rng, 8) for _ in range(n)]
        b = [_vec(rng, 8) for _ in range(n + n % 3)]
        out.append(("octonion_mul_n", (a, b)))
        out.append(("octonion_norm_n", ([_vec(rng, rng.randrange(0, 11)) for _ in range(n)],)))
    # octonion faults at several indexes; the lowest must win
    for n, bad in ((64, (40, 5, 63)), (300, (299, 150)), (2, (1, 0)), (3, (2,))):
        a = [[1.0] + _vec(rng, 7) for _ in range(n)]
        b = [_vec(rng, 8) for _ in range(n)]
        for k, idx in enumerate(bad):
            b[idx] = [1.0] * (k + 2)
        out.append(("octonion_mul_n", (a, b)))
    # geometric_product_n
    for n, sig in ((0, [1, -1, 0]), (1, []), (3, [2]), (7, [1, -1]), (200, [1, -1, 0]), (40, [-1, 1, 1, 3])):
        D = 1 << len(sig)
        a = [_vec(rng, D + rng.randrange(0, 2)) for _ in range(n)]
        b = [_vec(rng, D) for _ in range(n + 1)]
        out.append(("geometric_product_n", (a, b, sig)))
    for n, bad in ((50, (30, 7, 49)), (5, (4, 1))):
        a = [[1.0] + _vec(rng, 3) for _ in range(n)]
        b = [_vec(rng, 4) for _ in range(n)]
        for k, idx in enumerate(bad):
            a[idx] = [1.0] * (k + 1)
        out.append(("geometric_product_n", (a, b, [1, 1])))
    out.append(("geometric_product_n", ([[1.0]] * 4, [[1.0]] * 4, [1] * 60)))
    # e8_norms_squared_n
    for n in (0, 1, 2, 3, 8, 5000):
        out.append(("e8_norms_squared_n", ([_vec(rng, rng.randrange(0, 25)) for _ in range(n)],)))
    # spectral_flow_batch
    for n, steps in ((0, 3), (1, 4), (2, 0), (3, 5), (9, 7), (400, 25)):
        starts = [(_value(rng), _value(rng)) for _ in range(n)]
        out.append(("spectral_flow_batch", (starts, steps)))
    out.append(("spectral_flow_batch", ([(0.0, 1.0)] * 33, 2**59 - 1)))
    return out


def run_cases(call):
    results = []
    for name, args in cases():
        results.append(call(name, args))
    return results


def run(module):
    def call(name, args):
        try:
            return ["ok", _bits(getattr(module, name)(*args))]
        except PanicException as e:
            return ["fault", str(e)]

    return run_cases(call)


def run_model(models):
    def call(name, args):
        try:
            return ["ok", _bits(getattr(models, name)(*args))]
        except models.Fault as f:
            return ["fault", f.message]

    return run_cases(call)


if __name__ == "__main__":
    import vyr_spectral_core

    print(json.dumps(run(vyr_spectral_core)))
