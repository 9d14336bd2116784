"""What the worker pool costs a small call, and what an idle pool costs the process.

Each pool size runs in a child interpreter of its own (VYR_NUM_THREADS is read
when the pool is built).  Two figures per pool size:

* latency: the median time of one small list call, back to back (the pool is
  warm: its workers have just finished the previous call) and after a pause of
  a few milliseconds (the workers have gone to sleep and must be woken).  The
  same call on one item runs on the calling thread without the pool; its time
  is the call's fixed cost, shown as "inline".
* idle CPU: the process's CPU time (all threads, time.process_time) over one
  second of sleep right after a burst of calls, in milliseconds per second.
  A pool whose workers spin while there is no work shows here.

    python bench/pool_wake.py                  # pool sizes 1 and 2
    python bench/pool_wake.py --threads 1 2 4 --calls 2000

Prints a Markdown table.  Timings depend on the machine and its load; they are
not tests.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, random, statistics, sys, time
import vyr_spectral_core as vsc

calls, pause = int(sys.argv[1]), float(sys.argv[2])
rng = random.Random(7)
def vec(n): return [rng.uniform(-2.0, 2.0) for _ in range(n)]
def rows(n, w): return [vec(w) for _ in range(n)]

cases = {}
for n in (1, 64, 1024):
    a, b = vec(n), vec(n)
    cases[f"add_n {n}"] = (lambda a=a, b=b: vsc.add_n(a, b))
for n in (1, 16, 256):
    a, b = rows(n, 8), rows(n, 8)
    cases[f"octonion_mul_n {n}"] = (lambda a=a, b=b: vsc.octonion_mul_n(a, b))

def median_us(call, gap):
    times = []
    for _ in range(calls):
        if gap:
            time.sleep(gap)
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6

result = {}
for name, call in cases.items():
    for _ in range(50):
        call()
    result[name] = {
        "warm_us": median_us(call, 0.0),
        "after_pause_us": median_us(call, pause),
    }

# Idle CPU after a burst of calls on the pool.
call = cases["octonion_mul_n 256"]
idle = []
for _ in range(3):
    for _ in range(200):
        call()
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(1.0)
    idle.append((time.process_time() - cpu) / (time.perf_counter() - wall) * 1e3)
result["idle_cpu_ms_per_s"] = max(idle)
print(json.dumps(result))
"""


def run(python: str, threads: int, calls: int, pause: float) -> dict:
    env = dict(os.environ, VYR_NUM_THREADS=str(threads))
    out = subprocess.run(
        [python, "-c", CHILD, str(calls), str(pause)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--calls", type=int, default=1000, help="timed calls per case")
    parser.add_argument("--pause", type=float, default=0.005, help="seconds between calls")
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()

    results = {t: run(args.python, t, args.calls, args.pause) for t in args.threads}
    names = [k for k in results[args.threads[0]] if k != "idle_cpu_ms_per_s"]
    header = "| call |" + "".join(
        f" T={t} warm µs | T={t} after {args.pause * 1e3:g} ms µs |" for t in args.threads
    )
    print(header)
    print("|---|" + "---:|---:|" * len(args.threads))
    for name in names:
        row = f"| {name} |"
        for t in args.threads:
            r = results[t][name]
            row += f" {r['warm_us']:.1f} | {r['after_pause_us']:.1f} |"
        print(row)
    print()
    print("| pool size | idle CPU after a call, ms per s |")
    print("|---|---:|")
    for t in args.threads:
        print(f"| {t} | {results[t]['idle_cpu_ms_per_s']:.2f} |")


if __name__ == "__main__":
    main()
