"""Octonion product, batch product and batch norm."""

import itertools
import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

import models
import vyr_spectral_core as vsc
from conftest import assert_same, assert_same_outcome, expect_fault, oob

NAN = float("nan")
INF = float("inf")


def unit(i, scale=1.0):
    return [scale if k == i else 0.0 for k in range(8)]


# ---------------------------------------------------------------------------
# The product table
# ---------------------------------------------------------------------------


def test_model_table_agrees_with_its_defining_rule():
    assert models.OCTONION_TABLE == models.octonion_table_from_triples()


@pytest.mark.parametrize("i", range(8))
def test_unit_products_follow_the_table(i):
    for j in range(8):
        s, k = models.OCTONION_TABLE[i][j]
        assert_same(vsc.octonion_mul(unit(i), unit(j)), unit(k, float(s)))


def test_examples():
    assert_same(vsc.octonion_mul(unit(1), unit(2)), unit(4))
    assert_same(vsc.octonion_mul(unit(2), unit(1)), unit(4, -1.0))
    e12 = vsc.octonion_mul(unit(1), unit(2))
    assert_same(vsc.octonion_mul(e12, unit(3)), unit(6, -1.0))
    e23 = vsc.octonion_mul(unit(2), unit(3))
    assert_same(vsc.octonion_mul(unit(1), e23), unit(6))
    for i in range(1, 8):
        assert_same(vsc.octonion_mul(unit(i), unit(i)), unit(0, -1.0))


@pytest.mark.parametrize(
    "x",
    [
        [1.0, -0.0, 2.5, -3.0, 0.0, NAN, INF, -INF],
        [-0.0] * 8,
        [5e-324, -5e-324, 1e308, -1e308, 0.0, 1.0, -1.0, 2.0],
    ],
)
def test_identity_on_both_sides_drops_negative_zero(x):
    expected = models.octonion_mul(unit(0), x)
    assert_same(vsc.octonion_mul(unit(0), x), expected)
    assert_same(vsc.octonion_mul(x, unit(0)), models.octonion_mul(x, unit(0)))
    for got in (vsc.octonion_mul(unit(0), x), vsc.octonion_mul(x, unit(0))):
        for g, v in zip(got, x):
            if v == 0.0:
                assert math.copysign(1.0, g) == 1.0 and g == 0.0
            elif v == v:
                assert g == v


def test_zero_factors_are_skipped():
    assert_same(vsc.octonion_mul([0.0] * 8, [INF] * 8), [0.0] * 8)
    assert_same(vsc.octonion_mul([0.0] * 8, [NAN] * 8), [0.0] * 8)
    assert_same(vsc.octonion_mul([-0.0] * 8, [-1.0] * 8), [0.0] * 8)
    assert_same(vsc.octonion_mul([INF] * 8, [0.0] * 8), [0.0] * 8)
    assert_same(vsc.octonion_mul([0.0] * 8, []), [0.0] * 8)
    assert_same(vsc.octonion_mul([-0.0] * 8 + [1.0], [1.0]), [0.0] * 8)
    # a NaN factor is multiplied in
    got = vsc.octonion_mul(unit(3, NAN), unit(5))
    assert_same(got, models.octonion_mul(unit(3, NAN), unit(5)))
    assert math.isnan(got[2]) and sum(math.isnan(v) for v in got) == 1


def test_surplus_components_are_ignored():
    a = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
    b = [0.5, -1.0, 0.25, 2.0, -3.0, 1.5, 0.0, 4.0]
    expected = vsc.octonion_mul(a, b)
    assert_same(vsc.octonion_mul(a + [NAN, 1.0], b + [9.0]), expected)
    assert_same(expected, models.octonion_mul(a, b))


@pytest.mark.parametrize(
    "a,b,length",
    [
        ([1.0, 0, 0, 0, 0, 0, 0, 0], [1.0, 2.0, 3.0], 3),
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0], [1.0] * 8, 7),
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0], [1.0, 2.0], 2),
        ([], [], 0),
        ([], [1.0] * 8, 0),
        ([0.0, 0.0, 0.0], [], 3),
        ([0.0, 0.0, 5.0], [], 0),
        ([0.0] * 7, [1.0], 7),
        ([1.0] * 8, [0.0] * 7, 7),
    ],
)
def test_length_faults(a, b, length):
    assert str(expect_fault(vsc.octonion_mul, a, b)) == oob(length)
    with pytest.raises(models.Fault) as info:
        models.octonion_mul(a, b)
    assert info.value.message == oob(length)


special = st.sampled_from([0.0, -0.0, NAN, INF, -INF, 5e-324, -5e-324, 1e308, -1e308, 1.0, -1.0])
coef = st.one_of(special, st.floats(), st.floats(min_value=-1e3, max_value=1e3))
octo = st.lists(coef, min_size=8, max_size=8)
sparse_octo = st.lists(st.one_of(st.just(0.0), st.just(-0.0), coef), min_size=8, max_size=8)
any_len = st.lists(st.one_of(st.just(0.0), coef), min_size=0, max_size=10)


@given(st.one_of(octo, sparse_octo), st.one_of(octo, sparse_octo))
def test_product_matches_model(a, b):
    assert_same(vsc.octonion_mul(a, b), models.octonion_mul(a, b))


@given(any_len, any_len)
def test_product_of_any_lengths_matches_model(a, b):
    assert_same_outcome(vsc.octonion_mul, models.octonion_mul, a, b)


small = st.lists(st.integers(min_value=-4, max_value=4).map(float), min_size=8, max_size=8)


def mul(a, b):
    return vsc.octonion_mul(a, b)


def norm2(x):
    return sum(int(v) ** 2 for v in x)


@given(small, small)
def test_alternative_laws(a, b):
    assert_same(mul(mul(a, a), b), mul(a, mul(a, b)))
    assert_same(mul(mul(a, b), b), mul(a, mul(b, b)))
    assert_same(mul(mul(a, b), a), mul(a, mul(b, a)))


@given(small, small)
def test_norm_is_multiplicative(a, b):
    assert norm2(mul(a, b)) == norm2(a) * norm2(b)


@given(small, small, small)
def test_moufang_identity(a, b, c):
    # a(b(ac)) = ((ab)a)c holds for the octonions
    assert_same(mul(a, mul(b, mul(a, c))), mul(mul(mul(a, b), a), c))


def test_product_is_not_associative():
    triples = 0
    for i, j, k in itertools.permutations(range(1, 8), 3):
        left = mul(mul(unit(i), unit(j)), unit(k))
        right = mul(unit(i), mul(unit(j), unit(k)))
        if left != right:
            triples += 1
            assert [-v for v in left] == right
    assert triples > 0


# ---------------------------------------------------------------------------
# Batches
# ---------------------------------------------------------------------------


def test_batch_product_examples():
    a = [unit(1), unit(2), unit(3)]
    b = [unit(2), unit(1), unit(4), unit(5), unit(6)]
    expected = [unit(4), unit(4, -1.0), unit(6)]
    assert_same(vsc.octonion_mul_n(a, b), expected)
    assert_same(vsc.octonion_mul_n(b, a), [models.octonion_mul(x, y) for x, y in zip(b, a)])
    assert vsc.octonion_mul_n([], b) == []
    assert vsc.octonion_mul_n(a, []) == []
    # pairs beyond the shorter batch are not multiplied, so they cannot fault
    assert_same(vsc.octonion_mul_n([unit(1)], [unit(1), [1.0]]), [unit(0, -1.0)])
    assert_same(vsc.octonion_mul_n([unit(1), [1.0]], [unit(1)]), [unit(0, -1.0)])


def test_batch_lowest_index_fault_wins():
    a = [[1.0] * 8 for _ in range(12)]
    b = [[1.0] * 8 for _ in range(12)]
    b[2] = [1.0] * 3
    b[7] = [1.0] * 5
    for _ in range(20):
        assert str(expect_fault(vsc.octonion_mul_n, a, b)) == oob(3)
    b[2] = [1.0] * 8
    a[9] = [1.0]
    assert str(expect_fault(vsc.octonion_mul_n, a, b)) == oob(5)


@given(st.lists(st.tuples(any_len, any_len), max_size=20))
def test_batch_product_matches_model(pairs):
    a = [p[0] for p in pairs]
    b = [p[1] for p in pairs]
    assert_same_outcome(vsc.octonion_mul_n, models.octonion_mul_n, a, b)


def test_norm_examples():
    assert_same(vsc.octonion_norm_n([[3, 4], [], [1e200], [0.0]]), [5.0, -0.0, INF, 0.0])
    assert vsc.octonion_norm_n([]) == []
    assert_same(vsc.octonion_norm_n([[-0.0], [NAN, 1.0], [INF, NAN], [5e-324]]),
                models.octonion_norm_n([[-0.0], [NAN, 1.0], [INF, NAN], [5e-324]]))


@given(st.lists(st.lists(coef, max_size=12), max_size=30))
def test_norm_matches_model(batch):
    assert_same(vsc.octonion_norm_n(batch), models.octonion_norm_n(batch))


def test_norm_sums_left_to_right():
    # the order of summation shows in the rounding
    v = [1.0, 1e-8, 1e-8, 1e-8, 1e-8]
    got = vsc.octonion_norm_n([v, v[::-1]])
    assert_same(got, models.octonion_norm_n([v, v[::-1]]))
    assert got[0] != got[1]


def test_large_batches_in_order():
    a = [[float((i * 7 + k) % 11) - 5.0 for k in range(8)] for i in range(2000)]
    b = [[float((i * 3 + k) % 13) - 6.0 for k in range(8)] for i in range(2000)]
    assert_same(vsc.octonion_mul_n(a, b), models.octonion_mul_n(a, b))
    assert_same(vsc.octonion_norm_n(a), models.octonion_norm_n(a))
