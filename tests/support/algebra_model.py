"""Pure-Python model of the algebra operations and the octonion functions.

Every function follows the order of evaluation that the operation's
docstring states, on Python floats (IEEE binary64, each operation rounded on
its own) and the C library's functions through :mod:`math`, so its results
are expected to agree with the module bit for bit.  Multivectors are lists of
2^n floats, component k the coefficient of the blade whose bit mask is k.

The signs are worked out here by counting transpositions, not by the bit
tricks of the kernels, so that a slip in either shows up as a difference.
"""

import math
import struct

# The quiet NaN that the operations write where they have no value, and the
# "indefinite" NaN that the processor makes for 0 / 0 (its sign bit set).
NAN = float("nan")
INDEFINITE = -NAN


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def grade_of(blade):
    return bin(blade).count("1")


def _indices(blade):
    return [m for m in range(blade.bit_length()) if (blade >> m) & 1]


def reorder_negates(j, k):
    """Whether e_j e_k needs an odd number of swaps to reach ascending order."""
    swaps = 0
    for p in _indices(k):
        swaps += sum(1 for q in _indices(j) if q > p)
    return swaps % 2 == 1


def _neg(x, flip):
    return -x if flip else x


def scaled_left(j, k, x, signature):
    """g * x, g = the reordering sign times the squares of the shared vectors."""
    g = -1.0 if reorder_negates(j, k) else 1.0
    for m in _indices(j & k):
        g = g * float(signature[m])
    return g * x


KEEP = {
    "all": lambda j, k: True,
    "outer": lambda j, k: j & k == 0,
    "left": lambda j, k: j & ~k == 0,
    "right": lambda j, k: k & ~j == 0,
}


def walk(a, b, signature, terms="all"):
    keep = KEEP[terms]
    dimension = 1 << len(signature)
    out = [0.0] * dimension
    for j in range(dimension):
        x = a[j]
        if x == 0.0:
            continue
        for k in range(dimension):
            y = b[k]
            if y == 0.0 or not keep(j, k):
                continue
            out[j ^ k] = y * scaled_left(j, k, x, signature) + out[j ^ k]
    return out


def scalar_walk(a, b, signature):
    total = 0.0
    for j in range(1 << len(signature)):
        x = a[j]
        if x == 0.0:
            continue
        y = b[j]
        if y == 0.0:
            continue
        total = y * scaled_left(j, j, x, signature) + total
    return total


def geometric_product(a, b, signature):
    return walk(a, b, signature)


def outer_product(a, b, signature):
    return walk(a, b, signature, "outer")


def left_contraction(a, b, signature):
    return walk(a, b, signature, "left")


def right_contraction(a, b, signature):
    return walk(a, b, signature, "right")


def scalar_product(a, b, signature):
    return scalar_walk(a, b, signature)


def commutator_product(a, b, signature):
    ab = walk(a, b, signature)
    ba = walk(b, a, signature)
    return [(x - y) * 0.5 for x, y in zip(ab, ba)]


# --- involutions and grades ------------------------------------------------

def reverse(a, signature=None):
    return [_neg(x, grade_of(k) % 4 in (2, 3)) for k, x in enumerate(a)]


def grade_involution(a, signature=None):
    return [_neg(x, grade_of(k) % 2 == 1) for k, x in enumerate(a)]


def clifford_conjugate(a, signature=None):
    return [_neg(x, grade_of(k) % 4 in (1, 2)) for k, x in enumerate(a)]


def grade(a, g, signature=None):
    return [x if grade_of(k) == g else 0.0 for k, x in enumerate(a)]


def grades(a, signature=None):
    mask = 0
    for k, x in enumerate(a):
        if x != 0.0:
            mask |= 1 << grade_of(k)
    return mask


# --- complements -----------------------------------------------------------

def complement_negates(k, n):
    """Sign of e_k e_~k against the pseudoscalar e_0 ... e_(n-1)."""
    return reorder_negates(k, ((1 << n) - 1) & ~k)


def dual(a, signature):
    n = len(signature)
    full = (1 << n) - 1
    out = [0.0] * (1 << n)
    for k, x in enumerate(a):
        out[full & ~k] = _neg(x, complement_negates(k, n))
    return out


def undual(a, signature):
    n = len(signature)
    full = (1 << n) - 1
    return [_neg(a[full & ~k], complement_negates(k, n)) for k in range(1 << n)]


def regressive_product(a, b, signature):
    return undual(outer_product(dual(a, signature), dual(b, signature), signature), signature)


# --- norms and inverse -----------------------------------------------------

def norm_squared(a, signature):
    return scalar_walk(a, reverse(a), signature)


def norm(a, signature):
    return math.sqrt(abs(norm_squared(a, signature)))


def normalized(a, signature):
    size = norm(a, signature)
    return [_divide(x, size) for x in a]


def _divide(x, y):
    """IEEE division, where Python would raise on a zero divisor."""
    if math.isnan(x) or math.isnan(y):
        return x / 1.0 if math.isnan(x) else y
    if y == 0.0:
        if x == 0.0:
            return INDEFINITE
        negative = (math.copysign(1.0, x) < 0) != (math.copysign(1.0, y) < 0)
        return -math.inf if negative else math.inf
    return x / y


def _negate_grades(m, grade_set):
    return [_neg(x, grade_of(k) in grade_set) for k, x in enumerate(m)]


def inverse(a, signature):
    n = len(signature)
    if n == 0:
        return [_divide(1.0, a[0])]
    if n <= 2:
        numerator = clifford_conjugate(a)
    elif n == 3:
        numerator = walk(walk(clifford_conjugate(a), grade_involution(a), signature), reverse(a),
                         signature)
    elif n == 4:
        conj = clifford_conjugate(a)
        m = _negate_grades(walk(a, conj, signature), {3, 4})
        numerator = walk(conj, m, signature)
    elif n == 5:
        t = walk(walk(clifford_conjugate(a), grade_involution(a), signature), reverse(a), signature)
        m = _negate_grades(walk(a, t, signature), {1, 4})
        numerator = walk(t, m, signature)
    else:
        size = 1 << ((n + 1) // 2)
        numerator = list(a)
        k = 1
        while True:
            c = (float(size) * numerator[0]) / float(k)
            numerator[0] = numerator[0] - c
            if k + 1 == size:
                break
            numerator = walk(a, numerator, signature)
            k += 1
    denominator = scalar_walk(a, numerator, signature)
    return [_divide(x, denominator) for x in numerator]


# --- exp and log -----------------------------------------------------------

def _simple_exp(square):
    if square < 0.0:
        theta = math.sqrt(-square)
        return math.cos(theta), math.sin(theta) / theta
    if square > 0.0:
        theta = math.sqrt(square)
        return math.cosh(theta), math.sinh(theta) / theta
    if square == 0.0:
        return 1.0, 1.0
    return square, square


def exp(a, signature):
    n = len(signature)
    dimension = 1 << n
    b = [0.0] + list(a[1:])
    present = {grade_of(k) for k in range(1, dimension) if b[k] != 0.0}
    scale = math.exp(a[0])
    if not present:
        return [scale] + [0.0] * (dimension - 1)
    if present not in ({1}, {2}):
        return [NAN] * dimension
    four = None
    if present == {1} or n <= 3:
        beta = scalar_walk(b, b, signature)
    else:
        square = walk(b, b, signature)
        beta = square[0]
        four = [x if grade_of(k) == 4 else 0.0 for k, x in enumerate(square)]
        if not any(x != 0.0 for x in four):
            four = None
    if four is None:
        c, f = _simple_exp(beta)
        return [scale * c] + [scale * (f * x) for x in b[1:]]
    if n >= 6:
        return _exp_by_squaring(b, signature, scale)
    w = scalar_walk(four, four, signature)
    discriminant = beta * beta - w
    if not discriminant >= 0.0:
        return [NAN] * dimension
    root = math.sqrt(discriminant)
    lambda1 = (beta + root) * 0.5
    lambda2 = (beta - root) * 0.5
    c1, f1 = _simple_exp(lambda1)
    c2, f2 = _simple_exp(lambda2)
    p, q1, q2, r = c1 * c2, f1 * c2, c1 * f2, f1 * f2
    bw = walk(b, four, signature) if root != 0.0 else None
    out = [0.0] * dimension
    out[0] = scale * p
    for k in range(1, dimension):
        g = grade_of(k)
        if g == 2:
            b1 = (lambda1 * b[k] - bw[k] * 0.5) / root if root != 0.0 else b[k]
            b2 = b[k] - b1
            out[k] = scale * (q1 * b1 + q2 * b2)
        elif g == 4:
            out[k] = scale * (r * (four[k] * 0.5))
    return out


def _exp_by_squaring(b, signature, scale):
    bound = 0.0
    for x in b:
        bound = bound + abs(x)
    largest_square = max([1.0] + [abs(float(e)) for e in signature])
    bound = bound * (largest_square * largest_square)
    if not bound <= 1.7976931348623157e308:
        return [NAN] * len(b)
    halvings = max(0, math.frexp(bound)[1])
    scaled = [math.ldexp(x, -halvings) for x in b]
    term = [1.0] + [0.0] * (len(b) - 1)
    total = list(term)
    for i in range(1, 25):
        product = walk(term, scaled, signature)
        term = [x / float(i) for x in product]
        total = [t + x for t, x in zip(total, term)]
    for _ in range(halvings):
        total = walk(total, total, signature)
    return [scale * x for x in total]


def log_null_vector(signature):
    """-2 for Cl(3,0), the null vector's index in 3D PGA, None otherwise."""
    if list(signature) == [1, 1, 1]:
        return -2
    if len(signature) == 4 and sorted(signature) == [0, 1, 1, 1]:
        return list(signature).index(0)
    return None


def log(a, signature):
    null_vector = log_null_vector(signature)
    dimension = 1 << len(signature)
    if any(grade_of(k) % 2 == 1 and a[k] != 0.0 for k in range(dimension)):
        return [NAN] * dimension
    null_bit = 1 << null_vector if null_vector >= 0 else 0
    rotation_squared = 0.0
    for k in range(dimension):
        if grade_of(k) == 2 and k & null_bit == 0:
            rotation_squared = rotation_squared + a[k] * a[k]
    s = a[0]
    rotation = math.sqrt(rotation_squared)
    theta = math.atan2(rotation, s)
    still = rotation == 0.0 and s > 0.0
    line_factor = _divide(1.0, s) if still else _divide(theta, rotation)
    out = [0.0] * dimension
    size_squared = s * s + rotation_squared
    out[0] = math.log(math.sqrt(size_squared)) if size_squared > 0.0 else -math.inf
    if null_vector < 0:
        for k in range(dimension):
            if grade_of(k) == 2:
                out[k] = line_factor * a[k]
        return out
    full = dimension - 1
    m = a[full]
    axis_factor = 0.0 if still else _divide(
        -(m * (1.0 - _divide(s * theta, rotation))), rotation_squared)
    bivector = [x if grade_of(k) == 2 else 0.0 for k, x in enumerate(a)]
    pseudoscalar = [0.0] * dimension
    pseudoscalar[full] = 1.0
    polar = walk(pseudoscalar, bivector, signature)
    for k in range(dimension):
        if grade_of(k) == 2:
            out[k] = line_factor * a[k] + axis_factor * polar[k]
    return out


OPERATIONS = {
    "outer_product": outer_product,
    "left_contraction": left_contraction,
    "right_contraction": right_contraction,
    "scalar_product": scalar_product,
    "commutator_product": commutator_product,
    "regressive_product": regressive_product,
    "reverse": reverse,
    "grade_involution": grade_involution,
    "clifford_conjugate": clifford_conjugate,
    "grade": grade,
    "grades": grades,
    "dual": dual,
    "undual": undual,
    "norm_squared": norm_squared,
    "norm": norm,
    "normalized": normalized,
    "inverse": inverse,
    "exp": exp,
    "log": log,
}


# --- octonions -------------------------------------------------------------

def _vector_squared(x):
    total = -0.0
    for v in x[1:]:
        total = total + v * v
    return total


def octonion_conjugate(x):
    return [x[0]] + [-v for v in x[1:]]


def octonion_inverse(x):
    total = -0.0
    for v in x:
        total = total + v * v
    return [_divide(x[0], total)] + [_divide(-v, total) for v in x[1:]]


def octonion_exp(x):
    size = math.sqrt(_vector_squared(x))
    scale = math.exp(x[0])
    factor = scale * (1.0 if size == 0.0 else math.sin(size) / size)
    return [scale * math.cos(size)] + [factor * v for v in x[1:]]


def octonion_log(x):
    vector_squared = _vector_squared(x)
    size = math.sqrt(vector_squared)
    angle = math.atan2(size, x[0])
    factor = _divide(1.0, x[0]) if size == 0.0 and x[0] > 0.0 else _divide(angle, size)
    norm_squared = x[0] * x[0] + vector_squared
    head = math.log(math.sqrt(norm_squared)) if norm_squared > 0.0 else -math.inf
    return [head] + [factor * v for v in x[1:]]


OCTONION_FUNCTIONS = {
    "octonion_conjugate": octonion_conjugate,
    "octonion_inverse": octonion_inverse,
    "octonion_exp": octonion_exp,
    "octonion_log": octonion_log,
}
