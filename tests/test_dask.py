"""Sharding batch jobs over a two-process Dask cluster on loopback gives the
single-process results bit for bit; a kernel fault in a shard comes back as an
ordinary error instead of leaving the client waiting."""

import importlib.util
import math
import os
import sys

import pytest

pytest.importorskip("distributed", reason="dask.distributed is not installed")

from distributed import Client, LocalCluster  # noqa: E402

import vyr_spectral_core as vsc  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "examples", "dask_scale_out.py")
RESULT_TIMEOUT = 60


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("dask_scale_out", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules[spec.name]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, env={"VYR_NUM_THREADS": "1"}) as cluster:
        with Client(cluster) as c:
            # The workers unpickle the example's `guarded` by module name.
            c.upload_file(EXAMPLE)
            yield c


def gather(futures):
    return [f.result(timeout=RESULT_TIMEOUT) for f in futures]


def test_example_run_matches_single_process(example, client):
    assert len(client.scheduler_info()["workers"]) == 2
    assert example.run(client, n_starts=3001, n_steps=20, n_pairs=2999, verbose=False)


def test_special_values_survive_sharding(example, client):
    """NaN, infinities, signed zeros and subnormals cross the cluster unchanged;
    uneven shards (more shards than some inputs) still concatenate in order."""
    nan, inf = math.nan, math.inf
    starts, left, right = example.make_inputs(37, 29, seed=5)
    starts += [(nan, 1.0), (1.0, nan), (inf, -0.0), (-inf, 0.0), (5e-324, -5e-324),
               (709.78, 1.0), (709.79, -2.0), (-0.0, 1e-300)]
    dim = 2 ** len(example.SPACETIME)
    left += [[inf] + [0.0] * (dim - 1), [0.0, nan] + [-0.0] * (dim - 2), [-0.0] * dim]
    right += [[0.0] * (dim - 1) + [1.0], [1.0] * dim, [-1.0] * (dim + 3)]
    n_steps = 6
    n_shards = 9
    flows, products = example.submit(client, starts, n_steps, left, right, n_shards)
    got_flows = example.concat(gather(flows))
    got_products = example.concat(gather(products))
    want_flows = vsc.spectral_flow_batch(starts, n_steps)
    want_products = vsc.geometric_product_n(left, right, example.SPACETIME)
    assert example.fingerprint(got_flows) == example.fingerprint(want_flows)
    assert example.fingerprint(got_products) == example.fingerprint(want_products)
    # The comparison itself tells signed zeros and NaNs apart.
    assert example.fingerprint([0.0]) != example.fingerprint([-0.0])
    assert example.fingerprint([(1.0, 2.0)]) != example.fingerprint([[1.0, 2.0]])


def test_fault_in_a_shard_is_reported(example, client):
    dim = 2 ** len(example.SPACETIME)
    starts, left, right = example.make_inputs(10, 40, seed=3)
    left[25] = [1.0] * 5  # read past its end at index 5
    flows, products = example.submit(client, starts, 3, left, right, 4)
    assert len(gather(flows)) == 4
    with pytest.raises(RuntimeError) as info:
        gather(products)
    assert str(info.value) == (
        "geometric_product_n: index out of bounds: the len is 5 but the index is 5"
    )
    # The workers carry on.
    left[25] = [1.0] * dim
    flows, products = example.submit(client, starts, 3, left, right, 4)
    assert example.fingerprint(example.concat(gather(products))) == example.fingerprint(
        vsc.geometric_product_n(left, right, example.SPACETIME)
    )
