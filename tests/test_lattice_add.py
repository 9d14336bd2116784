"""Element-wise vector add, squared norms of points and the lattice constants."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

import models
import vyr_spectral_core as vsc
from conftest import assert_same

NAN = float("nan")
INF = float("inf")

special = st.sampled_from([0.0, -0.0, NAN, INF, -INF, 5e-324, -5e-324, 1e308, -1e308, 1.0, -1.0])
coef = st.one_of(special, st.floats())


# ---------------------------------------------------------------------------
# add_n
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "a,b,expected",
    [
        ([1, 2, 3], [10, 20], [11.0, 22.0]),
        ([10, 20], [1, 2, 3], [11.0, 22.0]),
        ([], [1.0, 2.0], []),
        ([1.0], [], []),
        ([], [], []),
        ([1e308], [1e308], [INF]),
        ([-1e308], [-1e308], [-INF]),
        ([INF], [-INF], [NAN]),
        ([NAN], [1.0], [NAN]),
        ([-0.0], [-0.0], [-0.0]),
        ([-0.0], [0.0], [0.0]),
        ([0.0], [-0.0], [0.0]),
        ([5e-324], [-5e-324], [0.0]),
        ([0.1], [0.2], [0.30000000000000004]),
        ([1.0], [2**-53], [1.0]),
        ([1.0], [2**-52], [1.0000000000000002]),
    ],
)
def test_add_examples(a, b, expected):
    assert_same(vsc.add_n(a, b), expected)


@given(st.lists(coef, max_size=60), st.lists(coef, max_size=60))
def test_add_matches_model(a, b):
    assert_same(vsc.add_n(a, b), models.add_n(a, b))


def test_add_long_vectors():
    n = 300_000
    a = [(i % 1013) * 0.1 - 50.0 for i in range(n)]
    b = [(i % 977) * -0.3 + 1e-3 for i in range(n)]
    assert_same(vsc.add_n(a, b), [x + y for x, y in zip(a, b)])


def test_add_surplus_is_converted_but_ignored():
    with pytest.raises(TypeError) as info:
        vsc.add_n([1.0], [1.0, "x"])
    assert str(info.value).startswith("argument 'b': ")


# ---------------------------------------------------------------------------
# e8_norms_squared_n and the constants
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "points,expected",
    [
        ([], []),
        ([[]], [-0.0]),
        ([[3, 4]], [25.0]),
        ([[1, 2, 3], [], [0.5]], [14.0, -0.0, 0.25]),
        ([[0.0, -0.0]], [0.0]),
        ([[-0.0]], [0.0]),
        ([[1e200]], [INF]),
        ([[1e200, -1e200]], [INF]),
        ([[NAN, 1.0]], [NAN]),
        ([[INF, 2.0]], [INF]),
        ([[5e-324]], [0.0]),
        ([[1e-160, 1e-160]], [2e-320]),
        ([[1.0, 1e-8, 1e-8]], [1.0]),
        ([[1e-8, 1e-8, 1.0]], [1.0000000000000002]),
    ],
)
def test_norm_examples(points, expected):
    assert_same(vsc.e8_norms_squared_n(points), expected)


def test_points_of_mixed_dimensions():
    points = [[1.0] * 8, [0.5] * 24, [1.0, 2.0, 2.0]]
    assert_same(vsc.e8_norms_squared_n(points), [8.0, 6.0, 9.0])


def test_summation_order_shows_in_rounding():
    v = [1.0, 1e-8, 1e-8, 1e-8, 1e-8]
    got = vsc.e8_norms_squared_n([v, v[::-1]])
    assert_same(got, models.e8_norms_squared_n([v, v[::-1]]))
    assert got[0] != got[1]


@given(st.lists(st.lists(coef, max_size=30), max_size=30))
def test_norms_match_model(points):
    assert_same(vsc.e8_norms_squared_n(points), models.e8_norms_squared_n(points))


def test_many_points_in_order():
    points = [[(i * 13 + k) % 7 - 3.0 + 0.125 * k for k in range(i % 9)] for i in range(5000)]
    assert_same(vsc.e8_norms_squared_n(points), models.e8_norms_squared_n(points))


@pytest.mark.parametrize("fn,value", [(vsc.e8_min_norm_squared, 2.0), (vsc.leech_min_norm_squared, 4.0)])
def test_constants(fn, value):
    first, second = fn(), fn()
    assert type(first) is float and type(second) is float
    assert math.copysign(1.0, first) == 1.0
    assert first == value and second == value
    assert first is not second
