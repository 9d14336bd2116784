"""Scale a large batch job out over a dask.distributed cluster.

One process already uses every core through the module's own worker pool; a
cluster adds machines (or separate processes). The batch functions work item by
item, so a job splits into contiguous shards, each shard is one ordinary call on
some worker, and the shards' results, concatenated in order, are bit for bit the
result of the single call. The module's functions pickle by name, so every
worker only needs vyr_spectral_core installed. Each shard runs through
`guarded`, which turns a kernel fault into an ordinary exception that Dask
hands back to the caller. (Run as a script, this file travels to the workers
by value; a program that imports it instead makes it importable there first,
for instance with client.upload_file.)

    python examples/dask_scale_out.py                      # a local cluster
    python examples/dask_scale_out.py --scheduler tcp://host:8786

The second form uses a running cluster; on each of its machines, set
VYR_NUM_THREADS to the number of cores divided by the worker processes there.
"""

import argparse
import math
import random
import sys
import time
from array import array

import vyr_spectral_core as vsc

# Cl(1,3), the spacetime algebra: 16 components per multivector.
SPACETIME = [1, -1, -1, -1]


def make_inputs(n_starts, n_pairs, seed=1):
    """Start points for the planar map and pairs of Cl(1,3) multivectors."""
    rng = random.Random(seed)
    starts = [(rng.uniform(-4.0, 4.0), rng.uniform(-4.0, 4.0)) for _ in range(n_starts)]
    dim = 2 ** len(SPACETIME)

    def multivector():
        # About a third of the components are zero, as in sparse real data.
        return [0.0 if rng.random() < 0.3 else rng.gauss(0.0, 1.0) for _ in range(dim)]

    left = [multivector() for _ in range(n_pairs)]
    right = [multivector() for _ in range(n_pairs)]
    return starts, left, right


def shards(items, n):
    """Split a list into n contiguous slices of near-equal length, in order."""
    size, extra = divmod(len(items), n)
    out, begin = [], 0
    for k in range(n):
        end = begin + size + (k < extra)
        out.append(items[begin:end])
        begin = end
    return out


def concat(parts):
    return [item for part in parts for item in part]


def fingerprint(result):
    """(shape, bytes of every double in order): equal exactly when the results
    are equal bit for bit, NaN payloads and signed zeros included."""
    shape, values = [], array("d")

    def walk(obj):
        if isinstance(obj, (list, tuple)):
            shape.append((type(obj).__name__, len(obj)))
            for item in obj:
                walk(item)
        else:
            values.append(obj)

    walk(result)
    return shape, values.tobytes()


def guarded(function, *args):
    """Call function(*args) on a worker, turning a PanicException into a RuntimeError.

    PanicException derives from BaseException. Dask's client re-raises a task's
    error inside its event loop, which passes on only Exception subclasses: a
    PanicException would escape there and leave result() or gather() waiting
    forever. An ordinary exception with the same message comes back as usual.
    """
    try:
        return function(*args)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        raise RuntimeError(f"{function.__name__}: {e}") from None


def submit(client, starts, n_steps, left, right, n_shards):
    """Hand both jobs to the cluster in shards; returns two lists of futures."""
    start_shards = client.scatter(shards(starts, n_shards))
    left_shards = client.scatter(shards(left, n_shards))
    right_shards = client.scatter(shards(right, n_shards))
    signature = client.scatter(SPACETIME, broadcast=True)
    flows = client.map(guarded, [vsc.spectral_flow_batch] * n_shards, start_shards,
                       [n_steps] * n_shards, pure=False)
    products = client.map(guarded, [vsc.geometric_product_n] * n_shards, left_shards,
                          right_shards, [signature] * n_shards, pure=False)
    return flows, products


def scale_out(client, starts, n_steps, left, right, n_shards):
    """Run both jobs sharded over the cluster; returns (trajectories, products)."""
    flows, products = submit(client, starts, n_steps, left, right, n_shards)
    return concat(client.gather(flows)), concat(client.gather(products))


def run(client, n_starts=20_000, n_steps=50, n_pairs=20_000, shards_per_worker=4, verbose=True):
    """Scale out, recompute in this process, and compare. Returns True when equal."""
    say = print if verbose else (lambda *a, **k: None)
    # Every worker imports the module; calling one of its functions there proves it.
    constants = client.run(vsc.leech_min_norm_squared)
    say(f"{len(constants)} workers, each with vyr_spectral_core"
        f" (leech_min_norm_squared() there: {sorted(set(constants.values()))})")
    n_shards = max(1, shards_per_worker * len(constants))

    starts, left, right = make_inputs(n_starts, n_pairs)
    t0 = time.perf_counter()
    flows, products = scale_out(client, starts, n_steps, left, right, n_shards)
    t1 = time.perf_counter()
    local_flows = vsc.spectral_flow_batch(starts, n_steps)
    local_products = vsc.geometric_product_n(left, right, SPACETIME)
    t2 = time.perf_counter()

    same_flows = fingerprint(flows) == fingerprint(local_flows)
    same_products = fingerprint(products) == fingerprint(local_products)
    say(f"spectral_flow_batch: {n_starts} starts x {n_steps + 1} points, {n_shards} shards;"
        f" bit-identical to one call: {same_flows}")
    say(f"geometric_product_n: {n_pairs} pairs in Cl(1,3), {n_shards} shards;"
        f" bit-identical to one call: {same_products}")
    say(f"cluster {t1 - t0:.2f} s (including transfers), this process alone {t2 - t1:.2f} s")
    finite = sum(math.isfinite(x) and math.isfinite(y) for x, y in (t[-1] for t in flows))
    say(f"finite end points: {finite}/{len(flows)}")
    return same_flows and same_products


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--starts", type=int, default=20_000)
    parser.add_argument("--steps", type=int, default=50)
    parser.add_argument("--pairs", type=int, default=20_000)
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    sizes = dict(n_starts=args.starts, n_steps=args.steps, n_pairs=args.pairs)
    if args.scheduler:
        with Client(args.scheduler) as client:
            return 0 if run(client, **sizes) else 1
    # One module thread per worker process, so that the workers share the cores
    # instead of each starting a pool as large as the machine.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None,
                      env={"VYR_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        return 0 if run(client, **sizes) else 1


if __name__ == "__main__":
    sys.exit(main())
