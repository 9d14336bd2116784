"""The planar exp/ln map: single steps, trajectories and trajectory batches."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

import models
import vyr_spectral_core as vsc
from conftest import assert_same, bits, expect_fault

NAN = float("nan")
INF = float("inf")
LIMIT = 709.78

SPECIAL = [
    0.0, -0.0, NAN, -NAN, INF, -INF,
    5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, -2.2250738585072014e-308,
    1e-300, math.nextafter(1e-300, 0.0), math.nextafter(1e-300, 1.0), -1e-300, -1e-301,
    1.0, -1.0, 0.5, -2.0, 2.718281828459045,
    LIMIT, math.nextafter(LIMIT, INF), math.nextafter(LIMIT, 0.0), 709.79, 709.782712893384,
    710.0, 745.0, 1e308, 1.7976931348623157e308, -1.7976931348623157e308, -745.2, -1e10,
]


# ---------------------------------------------------------------------------
# spectral_flow_step
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x,y,expected",
    [
        (0.0, 1.0, (1.0, 1.0)),
        (1.0, 1.0, (1.0, 2.718281828459045)),
        (0.0, 0.0, (1e-300, 691.7755278982137)),
        (0.0, -0.0, (1e-300, 691.7755278982137)),
        (0.0, -2.0, (2.0, 0.3068528194400547)),
        (0.0, -5e-324, (1e-300, 691.7755278982137)),
        (0.0, 5e-324, (5e-324, 745.4400719213812)),
        (709.78, 1.0, (1.0, 1.7928227943945155e308)),
        (709.79, 1.0, (1.0, 709.7899999999997)),
        (710.0, 1.0, (1.0, 710.0000000000002)),
        (NAN, 1.0, (1.0, NAN)),
        (1.0, NAN, (NAN, NAN)),
        (INF, 1.0, (1.0, INF)),
        (-INF, 1.0, (1.0, 0.0)),
        (1.0, INF, (INF, -INF)),
        (1.0, -INF, (INF, -INF)),
        (INF, INF, (INF, NAN)),
    ],
)
def test_step_examples(x, y, expected):
    assert_same(vsc.spectral_flow_step(x, y), expected)


@pytest.mark.parametrize("x", SPECIAL, ids=repr)
def test_step_matches_model_on_special_values(x):
    for y in SPECIAL:
        assert_same(vsc.spectral_flow_step(x, y), models.phi_step(x, y))


def test_step_limit_is_strict():
    above = math.nextafter(LIMIT, INF)
    assert_same(vsc.spectral_flow_step(LIMIT, 1.0)[1], math.exp(LIMIT))
    assert_same(vsc.spectral_flow_step(above, 1.0)[1], math.exp(math.log(above)))


def test_step_first_component_is_the_guarded_y():
    for y in SPECIAL:
        got = vsc.spectral_flow_step(0.0, y)[0]
        if y > 0 or y != y:
            assert bits(got) == bits(y)
        else:
            assert bits(got) == bits(max(abs(y), 1e-300))


finite = st.floats(allow_nan=False, allow_infinity=False)
any_float = st.one_of(st.floats(), st.sampled_from(SPECIAL))


@given(any_float, any_float)
def test_step_matches_model(x, y):
    assert_same(vsc.spectral_flow_step(x, y), models.phi_step(x, y))


@given(st.floats(min_value=700.0, max_value=720.0), st.floats(min_value=-1e-3, max_value=1e3))
def test_step_matches_model_around_the_limit(x, y):
    assert_same(vsc.spectral_flow_step(x, y), models.phi_step(x, y))


# ---------------------------------------------------------------------------
# spectral_flow_n
# ---------------------------------------------------------------------------


def test_trajectory_examples():
    assert_same(vsc.spectral_flow_n(0.0, 1.0, 0), [(0.0, 1.0)])
    assert_same(vsc.spectral_flow_n(0.0, -1.0, 0), [(0.0, -1.0)])
    assert_same(
        vsc.spectral_flow_n(0.0, 1.0, 5),
        [
            (0.0, 1.0),
            (1.0, 1.0),
            (1.0, 2.718281828459045),
            (2.718281828459045, 1.718281828459045),
            (1.718281828459045, 14.612937386866344),
            (14.612937386866344, 2.8930342660331494),
        ],
    )
    traj = vsc.spectral_flow_n(0.5, 0.5, 6)
    assert len(traj) == 7
    assert_same(traj[4], (10.626583744975482, -0.14277042713102572))
    assert_same(traj[5], (0.14277042713102572, 41218.026291460854))


@pytest.mark.parametrize(
    "start", [(0.0, -1.0), (-0.0, -0.0), (800.0, 1.0), (1e308, -1e308), (NAN, -INF), (-INF, 0.0)]
)
def test_trajectory_start_is_not_guarded(start):
    traj = vsc.spectral_flow_n(*start, 3)
    assert_same(traj[0], start)
    assert_same(traj[1], models.phi_step(*start))


def test_nan_starts_keep_full_length():
    traj = vsc.spectral_flow_n(NAN, 1.0, 6)
    assert len(traj) == 7
    assert_same(traj[:3], [(NAN, 1.0), (1.0, NAN), (NAN, NAN)])
    assert all(math.isnan(x) and math.isnan(y) for x, y in traj[2:])
    traj = vsc.spectral_flow_n(1.0, NAN, 4)
    assert_same(traj[0], (1.0, NAN))
    assert all(math.isnan(x) and math.isnan(y) for x, y in traj[1:])


@pytest.mark.parametrize("start", [(0.0, 1.0), (0.5, 0.5), (709.78, 1e-300), (-3.0, 1e300)])
def test_long_trajectory_matches_model_and_stays_finite(start):
    traj = vsc.spectral_flow_n(*start, 2000)
    assert_same(traj, models.flow_trajectory(*start, 2000))
    assert all(math.isfinite(x) and math.isfinite(y) for x, y in traj)


@given(any_float, any_float, st.integers(min_value=0, max_value=40))
def test_trajectory_matches_model(x, y, n):
    assert_same(vsc.spectral_flow_n(x, y, n), models.flow_trajectory(x, y, n))


@given(finite, finite, st.integers(min_value=1, max_value=20))
def test_each_element_is_the_step_of_the_previous(x, y, n):
    traj = vsc.spectral_flow_n(x, y, n)
    assert len(traj) == n + 1
    for k in range(n):
        assert_same(traj[k + 1], vsc.spectral_flow_step(*traj[k]))
    assert_same(vsc.spectral_flow_n(x, y, 1), [(x, y), vsc.spectral_flow_step(x, y)])


@pytest.mark.parametrize("n_steps", [2**59 - 1, 2**59, 2**63, 2**64 - 1])
def test_capacity_bound(n_steps):
    assert str(expect_fault(vsc.spectral_flow_n, 0.0, 1.0, n_steps)) == "capacity overflow"
    assert str(expect_fault(vsc.spectral_flow_batch, [(0.0, 1.0)], n_steps)) == "capacity overflow"
    assert str(expect_fault(vsc.spectral_flow_batch, [(0.0, 1.0)] * 5, n_steps)) == "capacity overflow"


@pytest.mark.huge_alloc
@pytest.mark.parametrize("n_steps", [2**59 - 2, 2**58, 2**50])
def test_unsatisfiable_trajectory_is_memory_error(n_steps):
    with pytest.raises(MemoryError):
        vsc.spectral_flow_n(0.0, 1.0, n_steps)
    assert_same(vsc.spectral_flow_n(0.0, 1.0, 1), [(0.0, 1.0), (1.0, 1.0)])


# ---------------------------------------------------------------------------
# spectral_flow_batch
# ---------------------------------------------------------------------------


def test_batch_examples():
    assert vsc.spectral_flow_batch([], 5) == []
    assert vsc.spectral_flow_batch([], 2**60) == []
    assert vsc.spectral_flow_batch([], 2**64 - 1) == []
    assert_same(vsc.spectral_flow_batch([(0.0, 1.0)], 0), [[(0.0, 1.0)]])
    got = vsc.spectral_flow_batch([(0.0, 1.0), (0.5, 0.5)], 5)
    assert_same(got, [vsc.spectral_flow_n(0.0, 1.0, 5), vsc.spectral_flow_n(0.5, 0.5, 5)])
    got = vsc.spectral_flow_batch([(0.0, -1.0)], 2)
    assert_same(got[0][:2], [(0.0, -1.0), (1.0, 1.0)])


def test_batch_n_steps_error_with_empty_starts():
    with pytest.raises(OverflowError) as info:
        vsc.spectral_flow_batch([], -1)
    assert not str(info.value).startswith("argument")


def test_batch_over_special_starts_equals_single_trajectories():
    starts = [(x, y) for x in SPECIAL[::3] for y in SPECIAL[1::3]]
    got = vsc.spectral_flow_batch(starts, 7)
    assert len(got) == len(starts)
    for (x, y), traj in zip(starts, got):
        assert_same(traj, vsc.spectral_flow_n(x, y, 7))
        assert_same(traj, models.flow_trajectory(x, y, 7))


@given(st.lists(st.tuples(any_float, any_float), max_size=40), st.integers(min_value=0, max_value=12))
def test_batch_matches_model(starts, n):
    assert_same(vsc.spectral_flow_batch(starts, n), models.spectral_flow_batch(starts, n))


def test_large_batch_in_order():
    starts = [(i * 0.37 - 50.0, (i % 17) * 0.5 - 3.0) for i in range(3000)]
    got = vsc.spectral_flow_batch(starts, 3)
    assert_same(got, models.spectral_flow_batch(starts, 3))
