"""dask.array over a two-process cluster on loopback gives the one-process
results bit for bit, special values and uneven chunks included; a dask array
handed to an array function is never computed behind the caller's back; an
error in a block comes back as the ordinary exception it is, and a list
function's fault as itself through Future.exception(), or as an ordinary
exception through vyr_runtime.checked."""

import importlib.util
import os
import sys

import pytest

pytest.importorskip("distributed", reason="dask.distributed is not installed")
np = pytest.importorskip("numpy")
da = pytest.importorskip("dask.array")

from distributed import Client  # noqa: E402

import vyr_spectral_arrays as va  # noqa: E402
import vyr_spectral_core as vsc  # noqa: E402
from conftest import oob  # noqa: E402
from vyr_runtime import FaultError, PanicException, checked  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "examples", "dask_scale_out.py")
RESULT_TIMEOUT = 120


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("dask_scale_out", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules[spec.name]


@pytest.fixture(scope="module")
def client(example):
    with example.local_cluster(2) as cluster, Client(cluster) as c:
        yield c


def test_example_run_matches_single_process(example, client):
    assert len(client.scheduler_info()["workers"]) == 2
    # Two processes on the two cores: one pool thread each.
    expected = str(max(1, (os.cpu_count() or 1) // 2))
    assert set(client.run(lambda: os.environ["VYR_NUM_THREADS"]).values()) == {expected}
    assert example.run(client, n_starts=3001, n_steps=20, n_pairs=2999, verbose=False)


def test_special_values_survive_uneven_chunks(example, client):
    nan, inf = np.nan, np.inf
    starts, left, right = example.make_inputs(37, 29, seed=5)
    starts = np.concatenate([starts, [(nan, 1.0), (1.0, nan), (inf, -0.0), (-inf, 0.0),
                                      (5e-324, -5e-324), (709.78, 1.0), (709.79, -2.0)]])
    dim = left.shape[1]
    left = np.concatenate([left, np.full((3, dim), -0.0)])
    right = np.concatenate([right, np.full((3, dim), nan)])
    left[-3, 0], left[-2, 1] = inf, nan
    starts_d = da.from_array(starts, chunks=(9, 1))  # the example rechunks the pairs whole
    left_d, right_d = da.from_array(left, chunks=(7, dim)), da.from_array(right, chunks=(5, dim))
    flows = client.compute(example.flows(starts_d, 6)).result(timeout=RESULT_TIMEOUT)
    products = client.compute(example.products(left_d, right_d)).result(timeout=RESULT_TIMEOUT)
    assert example.same_bits(flows, va.spectral_flow(starts, 6))
    assert example.same_bits(products, va.geometric_product(left, right, example.SPACETIME))
    # The comparison itself tells signed zeros apart.
    assert not example.same_bits([0.0], [-0.0])


def test_dask_arrays_stay_lazy():
    """numpy hands the call to dask: element-wise add maps lazily; a gufunc
    either maps lazily or raises dask's own error, never computes."""
    x = np.arange(64.0).reshape(8, 8)
    dx = da.from_array(x, chunks=(4, 8))
    lazy = va.add(dx, dx)
    assert isinstance(lazy, da.Array)
    assert np.array_equal(lazy.compute(), va.add(x, x))
    for call in (lambda: va.octonion_mul(dx, dx), lambda: va.algebra([1, 1, 1]).sandwich(dx, dx),
                 lambda: va.octonion_norm(dx)):
        try:
            result = call()
        except ValueError as e:
            assert "output_dtypes" in str(e)
        else:
            assert isinstance(result, da.Array)
    with pytest.raises(TypeError, match="spectral_flow: starts is a dask"):
        va.spectral_flow(dx[:, :2], 3)


def test_the_apply_gufunc_forms_match_one_process(client):
    rng = np.random.default_rng(9)
    x, y = rng.normal(size=(1001, 8)), rng.normal(size=(1001, 8))
    dx, dy = da.from_array(x, chunks=(300, 8)), da.from_array(y, chunks=(300, 8))
    cl3 = va.algebra([1, 1, 1])
    starts = da.from_array(rng.normal(size=(77, 2)), chunks=(20, 2))
    lazy = {
        "octonion_mul": da.apply_gufunc(va.octonion_mul, va.octonion_mul.signature, dx, dy,
                                        output_dtypes=float),
        "geometric_product": da.apply_gufunc(cl3.geometric_product, cl3.geometric_product.signature,
                                             dx, dy, output_dtypes=float),
        "spectral_flow": da.apply_gufunc(va.spectral_flow, "(2)->(m,2)", starts, n_steps=7,
                                         output_sizes={"m": 8}, output_dtypes=float),
    }
    assert all(isinstance(v, da.Array) for v in lazy.values())
    got = client.compute(lazy).result(timeout=RESULT_TIMEOUT)
    for name, want in (("octonion_mul", va.octonion_mul(x, y)),
                       ("geometric_product", cl3.geometric_product(x, y)),
                       ("spectral_flow", va.spectral_flow(starts.compute(), 7))):
        assert np.array_equal(got[name].view(np.uint64), want.view(np.uint64)), name


def test_xarray_keeps_its_labels():
    xr = pytest.importorskip("xarray")
    x = xr.DataArray(np.arange(32.0).reshape(4, 8), dims=("point", "component"),
                     coords={"point": list("abcd")}, attrs={"units": "m"})
    lazy = xr.apply_ufunc(va.octonion_mul, x.chunk({"point": 2}), x,
                          input_core_dims=[["component"], ["component"]],
                          output_core_dims=[["component"]], dask="parallelized",
                          output_dtypes=[float])
    assert lazy.dims == ("point", "component") and list(lazy.point.values) == list("abcd")
    assert np.array_equal(lazy.compute().values, va.octonion_mul(x.values, x.values))
    summed = va.add(x, 1.0)
    assert isinstance(summed, xr.DataArray) and summed.dims == x.dims
    with pytest.raises(NotImplementedError, match="generalized ufuncs"):
        va.octonion_norm(x)


def test_an_error_in_a_block_comes_back(example, client):
    _, left, right = example.make_inputs(1, 40, seed=3)
    chunked = da.from_array(left, chunks=(10, -1)), da.from_array(right, chunks=(10, -1))
    with pytest.raises(ValueError, match="signature entry 2 is 300"):
        example.products(*chunked, signature=[1, -1, 300, 1])  # refused before any block runs
    future = client.compute(da.map_blocks(va.geometric_product, *chunked, signature=[1, -1, 300, 1],
                                          dtype=float))
    with pytest.raises(ValueError, match="signature entry 2 is 300"):
        future.result(timeout=RESULT_TIMEOUT)
    # The workers carry on.
    good = client.compute(example.products(*chunked)).result(timeout=RESULT_TIMEOUT)
    assert example.same_bits(good, va.geometric_product(left, right, example.SPACETIME))


def test_a_fault_in_a_task_comes_back(client):
    """The client holds the real fault: Future.exception() returns it.  (Its
    result() re-raises it inside the client's event loop, which lets a
    BaseException escape and leaves the caller waiting; vyr_runtime.checked
    turns the fault into an ordinary exception on the worker, which result()
    raises.)"""
    fault = client.submit(vsc.octonion_mul, [1.0] * 8, [1.0, 2.0], pure=False)
    e = fault.exception(timeout=RESULT_TIMEOUT)
    assert type(e) is PanicException and e.args == (oob(2),)

    wrapped = client.submit(checked, vsc.octonion_mul, [1.0] * 8, [1.0, 2.0], pure=False)
    with pytest.raises(FaultError, match=oob(2)) as info:
        wrapped.result(timeout=RESULT_TIMEOUT)
    assert isinstance(info.value, Exception)
    assert client.submit(checked, vsc.add_n, [1.0], b=[2.0], pure=False).result(
        timeout=RESULT_TIMEOUT) == [3.0]
    assert client.submit(vsc.add_n, [1.0], [2.0], pure=False).result(timeout=RESULT_TIMEOUT) == [3.0]
