"""Scale an array job out over a dask.distributed cluster with dask.array.

One process already uses every core through the module's own worker pool; a
cluster adds machines (or separate processes). The array functions are numpy
gufuncs that work item by item, so dask.array.apply_gufunc maps them block by
block, and the assembled result is bit for bit the result of one call on the
whole array. The ufuncs and algebras pickle by name, so every worker only
needs vyr_spectral_core (with numpy) installed.

    python examples/dask_scale_out.py                      # a local cluster
    python examples/dask_scale_out.py --scheduler tcp://host:8786

Each worker process runs one task at a time, and each task uses the module's
pool: set VYR_NUM_THREADS on every machine to its cores divided by the worker
processes there, so that processes x pool threads match the cores. The local
cluster below does so itself.
"""

import argparse
import os
import sys
import time

import dask.array as da
import numpy as np

import vyr_spectral_arrays as va

# Cl(1,3), the spacetime algebra: 16 components per multivector.
SPACETIME = [1, -1, -1, -1]


def make_inputs(n_starts, n_pairs, seed=1):
    """Start points for the planar map and pairs of Cl(1,3) multivectors."""
    rng = np.random.default_rng(seed)
    starts = rng.uniform(-4.0, 4.0, size=(n_starts, 2))
    dim = 2 ** len(SPACETIME)

    def multivectors():
        # About a third of the components are zero, as in sparse real data.
        values = rng.normal(size=(n_pairs, dim))
        values[rng.random(size=values.shape) < 0.3] = 0.0
        return values

    return starts, multivectors(), multivectors()


def flows(starts, n_steps):
    """Trajectories of every start, block by block: (n, 2) -> (n, n_steps + 1, 2)."""
    return da.apply_gufunc(va.spectral_flow, "(2)->(m,2)", starts.rechunk({1: -1}),
                           n_steps=n_steps, output_sizes={"m": n_steps + 1},
                           output_dtypes=float)


def products(left, right, signature=SPACETIME):
    """Geometric products of corresponding rows, block by block."""
    product = va.algebra(signature).geometric_product
    left = left.rechunk({1: -1})
    right = right.rechunk({0: left.chunks[0], 1: -1})
    return da.apply_gufunc(product, product.signature, left, right, output_dtypes=float)


def same_bits(a, b):
    """True when the arrays are equal bit for bit, NaN payloads and signed zeros included."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def run(client, n_starts=20_000, n_steps=50, n_pairs=20_000, chunks_per_worker=4, verbose=True):
    """Compute on the cluster, recompute in this process, and compare. True when equal."""
    say = print if verbose else (lambda *a, **k: None)
    workers = len(client.scheduler_info()["workers"])
    pools = client.run(lambda: os.environ.get("VYR_NUM_THREADS", "default"))
    say(f"{workers} workers, pool threads each: {sorted(set(pools.values()))}")
    n_chunks = max(1, chunks_per_worker * workers)

    starts, left, right = make_inputs(n_starts, n_pairs)
    # Scattered once, then chunked on the cluster.
    starts_d = da.from_array(starts, chunks=(-(-n_starts // n_chunks), 2))
    left_d = da.from_array(left, chunks=(-(-n_pairs // n_chunks), -1))
    right_d = da.from_array(right, chunks=(-(-n_pairs // n_chunks), -1))
    t0 = time.perf_counter()
    cluster_flows, cluster_products = da.compute(flows(starts_d, n_steps),
                                                 products(left_d, right_d))
    t1 = time.perf_counter()
    local_flows = va.spectral_flow(starts, n_steps)
    local_products = va.geometric_product(left, right, SPACETIME)
    t2 = time.perf_counter()

    same_flows = same_bits(cluster_flows, local_flows)
    same_products = same_bits(cluster_products, local_products)
    say(f"spectral_flow: {n_starts} starts x {n_steps + 1} points in {n_chunks} chunks;"
        f" bit-identical to one call: {same_flows}")
    say(f"geometric_product: {n_pairs} pairs in Cl(1,3) in {n_chunks} chunks;"
        f" bit-identical to one call: {same_products}")
    say(f"cluster {t1 - t0:.2f} s (including transfers), this process alone {t2 - t1:.2f} s")
    finite = int(np.isfinite(cluster_flows[:, -1]).all(axis=-1).sum())
    say(f"finite end points: {finite}/{n_starts}")
    return same_flows and same_products


def local_cluster(workers):
    """A cluster of `workers` processes on this machine that share its cores:
    one task per process, and each process's pool sized to its share."""
    from distributed import LocalCluster

    threads = max(1, (os.cpu_count() or 1) // workers)
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address=None,
                        env={"VYR_NUM_THREADS": str(threads)})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--starts", type=int, default=20_000)
    parser.add_argument("--steps", type=int, default=50)
    parser.add_argument("--pairs", type=int, default=20_000)
    args = parser.parse_args(argv)

    from distributed import Client

    sizes = dict(n_starts=args.starts, n_steps=args.steps, n_pairs=args.pairs)
    if args.scheduler:
        with Client(args.scheduler) as client:
            return 0 if run(client, **sizes) else 1
    with local_cluster(args.workers) as cluster, Client(cluster) as client:
        return 0 if run(client, **sizes) else 1


if __name__ == "__main__":
    sys.exit(main())
