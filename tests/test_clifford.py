"""Geometric product of multivectors for a signature of basis-vector squares."""

import math
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import models
import vyr_spectral_core as vsc
from conftest import assert_same, assert_same_outcome, expect_fault, oob, run_snippet

NAN = float("nan")
INF = float("inf")


def gp(a, b, sig):
    return vsc.geometric_product_n(a, b, sig)


def blade(index, n, scale=1.0):
    return [scale if k == index else 0.0 for k in range(1 << n)]


@pytest.mark.parametrize(
    "sig,A,B,product",
    [
        ([1, 1], [0, 1, 0, 0], [0, 0, 1, 0], [0.0, 0.0, 0.0, 1.0]),
        ([1, 1], [0, 0, 1, 0], [0, 1, 0, 0], [0.0, 0.0, 0.0, -1.0]),
        ([1, 1], [0, 0, 0, 1], [0, 0, 0, 1], [-1.0, 0.0, 0.0, 0.0]),
        ([1, -1], [0, 0, 0, 1], [0, 0, 0, 1], [1.0, 0.0, 0.0, 0.0]),
        ([-1, -1], [0, 0, 0, 1], [0, 0, 0, 1], [-1.0, 0.0, 0.0, 0.0]),
        ([2], [0, 3], [0, 5], [30.0, 0.0]),
        ([0], [0, 1], [0, 1], [0.0, 0.0]),
        ([0], [0, -1], [0, 1], [0.0, 0.0]),
        ([], [2], [3, 9], [6.0]),
        ([], [0.0], [3], [0.0]),
        ([], [-0.0], [-3], [0.0]),
        ([], [-2], [-0.0], [0.0]),
        ([1], [0, 1], [INF, 0], [0.0, INF]),
        ([1, 1], [1, 2, 3, 4, 99, 99], [1, 1, 1, 1, NAN], [2.0, 4.0, 2.0, 4.0]),
    ],
)
def test_examples(sig, A, B, product):
    assert_same(gp([A], [B], sig), [product])


def test_zero_signature_entry_meets_infinity():
    got = gp([[0.0, INF]], [[0.0, 1.0]], [0])
    assert math.isnan(got[0][0])
    assert_same(got, [models.clifford_product([0.0, INF], [0.0, 1.0], [0])])


@pytest.mark.parametrize(
    "a,b,sig,expected",
    [
        ([], [[1.0]], [1] * 64, []),
        ([[1.0]], [], [1] * 70, []),
        ([], [], [], []),
        ([[1.0, 2.0]] * 3, [[3.0, 4.0]] * 2, [1], [[11.0, 10.0]] * 2),
    ],
)
def test_batch_lengths(a, b, sig, expected):
    assert_same(gp(a, b, sig), expected)


@pytest.mark.parametrize(
    "A,B,sig,length",
    [
        ([1.0, 0.0, 0.0], [1.0] * 4, [1, 1], 3),
        ([0.0, 0.0, 0.0, 0.0], [1.0], [1, 1], None),
        ([1.0, 0.0, 0.0, 0.0], [1.0], [1, 1], 1),
        ([], [1.0], [], 0),
        ([0.0, 0.0], [], [1], None),
        ([0.0, 1.0], [0.0], [1], 1),
        ([0.0, 0.0, 1.0], [1.0] * 4, [1, 1], 3),
        ([0.0, 1.0, 0.0], [1.0, 1.0], [1, 1], 2),
        ([0.0] * 7, [], [1, 1, 1], 7),
    ],
)
def test_short_multivectors(A, B, sig, length):
    if length is None:
        assert_same(gp([A], [B], sig), [[0.0] * (1 << len(sig))])
    else:
        assert str(expect_fault(gp, [A], [B], sig)) == oob(length)
        with pytest.raises(models.Fault) as info:
            models.clifford_product(A, B, sig)
        assert info.value.message == oob(length)


@pytest.mark.parametrize("n", [60, 61, 64, 100])
def test_capacity_overflow(n):
    assert str(expect_fault(gp, [[1.0]], [[1.0]], [1] * n)) == "capacity overflow"
    # checked before any component is read
    assert str(expect_fault(gp, [[]], [[]], [-1] * n)) == "capacity overflow"


def test_capacity_overflow_is_each_pairs_fault_on_the_pool():
    # Even then the first batch call creates the pool, and the products fault
    # on its workers, not on the calling thread.
    proc = run_snippet(
        """
        import os, threading
        import vyr_spectral_core as vsc
        before = len(os.listdir("/proc/self/task"))
        try:
            vsc.geometric_product_n([[1.0]] * 100, [[1.0]] * 100, [1] * 60)
        except BaseException as e:
            print(type(e).__name__, e)
        print(len(os.listdir("/proc/self/task")) - before, threading.get_native_id())
        """,
        env={"VYR_NUM_THREADS": "2"},
    )
    fault, threads = proc.stdout.splitlines()
    workers, caller = threads.split()
    assert (fault, workers) == ("PanicException capacity overflow", "2")
    reporters = re.findall(r"\((\d+)\) faulted at src/clifford\.cpp", proc.stderr)
    assert reporters and caller not in reporters, proc.stderr


def test_lowest_index_fault_wins():
    a = [[1.0, 1.0, 1.0, 1.0] for _ in range(16)]
    b = [[1.0, 1.0, 1.0, 1.0] for _ in range(16)]
    b[3] = [1.0, 1.0]
    a[9] = [1.0]
    for _ in range(10):
        assert str(expect_fault(gp, a, b, [1, -1])) == oob(2)
    b[3] = [1.0] * 4
    assert str(expect_fault(gp, a, b, [1, -1])) == oob(1)


# ---------------------------------------------------------------------------
# Model comparison
# ---------------------------------------------------------------------------

special = st.sampled_from([0.0, -0.0, NAN, INF, -INF, 5e-324, -5e-324, 1e308, -1e308, 1.0, -1.0])
coef = st.one_of(st.just(0.0), st.just(-0.0), special, st.floats(), st.floats(min_value=-100, max_value=100))
sig_entry = st.one_of(st.sampled_from([1, -1, 0, 2, -3, 127, -128]), st.integers(min_value=-128, max_value=127))


@st.composite
def clifford_case(draw, exact_lengths=True):
    n = draw(st.integers(min_value=0, max_value=4))
    sig = draw(st.lists(sig_entry, min_size=n, max_size=n))
    D = 1 << n
    pairs = draw(st.integers(min_value=0, max_value=4))
    if exact_lengths:
        size = st.integers(min_value=D, max_value=D + 2)
    else:
        size = st.integers(min_value=0, max_value=D + 1)
    a = [draw(st.lists(coef, min_size=s, max_size=s)) for s in draw(st.lists(size, min_size=pairs, max_size=pairs))]
    b = [draw(st.lists(coef, min_size=s, max_size=s)) for s in draw(st.lists(size, min_size=pairs, max_size=pairs + 1))]
    return a, b, sig


@given(clifford_case())
def test_matches_model(case):
    a, b, sig = case
    assert_same(gp(a, b, sig), models.geometric_product_n(a, b, sig))


@given(clifford_case(exact_lengths=False))
def test_matches_model_including_faults(case):
    assert_same_outcome(gp, models.geometric_product_n, *case)


def test_five_dimensional_dense_products_match_model():
    sig = [1, -1, 0, 2, -1]
    a = [[float((i * 5 + k * 3) % 9) - 4.0 + 0.1 * k for k in range(32)] for i in range(6)]
    b = [[float((i * 7 + k) % 5) - 2.5 - 0.01 * k for k in range(32)] for i in range(6)]
    assert_same(gp(a, b, sig), models.geometric_product_n(a, b, sig))


# ---------------------------------------------------------------------------
# Algebraic laws on exact small-integer inputs
# ---------------------------------------------------------------------------

SIGNATURES = [[], [1], [-1], [0], [1, 1], [1, -1], [-1, 0], [1, 1, 1], [1, 1, -1], [0, 1, -1], [2, -3, 1], [-1, -1, -1, 1]]


def one(a, b, sig):
    return gp([a], [b], sig)[0]


@pytest.mark.parametrize("sig", SIGNATURES, ids=str)
def test_basis_vector_squares_are_signature_entries(sig):
    n = len(sig)
    for m in range(n):
        e = blade(1 << m, n)
        assert_same(one(e, e, sig), blade(0, n, float(sig[m])) if sig[m] else [0.0] * (1 << n))


@pytest.mark.parametrize("sig", SIGNATURES, ids=str)
def test_distinct_basis_vectors_anticommute(sig):
    n = len(sig)
    for p in range(n):
        for q in range(n):
            if p == q:
                continue
            ep, eq = blade(1 << p, n), blade(1 << q, n)
            pq, qp = one(ep, eq, sig), one(eq, ep, sig)
            assert_same(pq, [-v if v else 0.0 for v in qp])
            sign = 1.0 if p < q else -1.0
            assert_same(pq, blade((1 << p) | (1 << q), n, sign))


@pytest.mark.parametrize("sig", SIGNATURES, ids=str)
def test_blade_products_follow_bit_rules(sig):
    n = len(sig)
    D = 1 << n
    for j in range(D):
        for k in range(D):
            got = one(blade(j, n), blade(k, n), sig)
            g = models.clifford_sign(j, k, n)
            for m in range(n):
                if (j & k) >> m & 1:
                    g *= sig[m]
            assert_same(got, blade(j ^ k, n, g) if g else [0.0] * D)


# Products of many large entries round as they are chained: g must be the
# chain in ascending order of basis vectors, whatever the kernel tabulates.
LONG_SIGNATURE = [127, -113, 101, -97, 89, 83, -79, 73, 71, -67, 0]


@pytest.mark.parametrize("j, k", [(1023, 1023), (1023, 1022), (0b1011011011, 1023), (2047, 2047), (1024, 1025)])
def test_long_chains_of_entries_round_in_ascending_order(j, k):
    n = len(LONG_SIGNATURE)
    a, b = blade(j, n, 1.1), blade(k, n, -0.7)
    assert_same(one(a, b, LONG_SIGNATURE), models.clifford_product(a, b, LONG_SIGNATURE))


small_mv = st.integers(min_value=0, max_value=3).flatmap(
    lambda n: st.tuples(
        st.just(n),
        st.lists(st.integers(min_value=-3, max_value=3).map(float), min_size=1 << n, max_size=1 << n),
        st.lists(st.integers(min_value=-3, max_value=3).map(float), min_size=1 << n, max_size=1 << n),
        st.lists(st.integers(min_value=-3, max_value=3).map(float), min_size=1 << n, max_size=1 << n),
        st.lists(st.sampled_from([1, -1, 0, 2]), min_size=n, max_size=n),
    )
)


@given(small_mv)
def test_associativity(case):
    _, a, b, c, sig = case
    left = one(one(a, b, sig), c, sig)
    right = one(a, one(b, c, sig), sig)
    assert_same(left, right)


@given(small_mv)
def test_distributivity_and_scalar_identity(case):
    n, a, b, c, sig = case
    s = blade(0, n)
    assert one(s, a, sig) == [v + 0.0 for v in a]
    assert one(a, s, sig) == [v + 0.0 for v in a]
    bc = [x + y for x, y in zip(b, c)]
    assert one(a, bc, sig) == [x + y for x, y in zip(one(a, b, sig), one(a, c, sig))]


def test_batch_equals_single_products_in_order():
    sig = [1, -1, 1]
    a = [[float((i + k) % 4) - 1.5 for k in range(8)] for i in range(300)]
    b = [[float((i * k) % 5) - 2.0 for k in range(8)] for i in range(300)]
    got = gp(a, b, sig)
    assert len(got) == 300
    assert_same(got, [one(x, y, sig) for x, y in zip(a, b)])
    assert_same(got, models.geometric_product_n(a, b, sig))
