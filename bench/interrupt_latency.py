"""How fast a long call answers Ctrl-C.

Each case runs in a child interpreter that builds its inputs once and then
starts the call again and again.  While the call runs, this process sends the
child a real SIGINT, as a terminal would.  The child's SIGINT handler notes
when it ran and raises KeyboardInterrupt, as Python's own does; the child then
notes when the call ended.  Both processes read the same monotonic clock, so
two latencies come out: from the kill() to the handler (the call noticed the
signal), and from the kill() to the end of the call, which includes freeing
whatever the call had built so far.  The signal lands at a different moment of
each run (a seeded spread over most of the call's uninterrupted duration), so
conversion, computation and result building are all hit.  A run whose call
finished before the signal arrived is counted apart and not measured.

    python bench/interrupt_latency.py                 # every case, 9 runs each
    python bench/interrupt_latency.py --runs 5 add_n_2e7 flow_batch_1x6e6

Prints a Markdown table: median and worst of both latencies per case, in
milliseconds.  Timings depend on the machine and its load; they are not tests.
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import textwrap
import time

# name -> (setup code defining `call`, what the case exercises)
CASES = {
    "clifford_1x16384": (
        """
        import random
        rng = random.Random(1)
        a = [[rng.uniform(-1.0, 1.0) for _ in range(1 << 14)]]
        b = [[rng.uniform(-1.0, 1.0) for _ in range(1 << 14)]]
        def call():
            return vsc.geometric_product_n(a, b, [1] * 14)
        """,
        "geometric_product_n, 1 pair of 16,384 components",
    ),
    "flow_batch_1x6e6": (
        """
        def call():
            return vsc.spectral_flow_batch([(0.5, 0.25)], 6_000_000)
        """,
        "spectral_flow_batch, 1 start x 6e6 steps",
    ),
    "flow_batch_2x6e6": (
        """
        def call():
            return vsc.spectral_flow_batch([(0.5, 0.25), (1.5, 2.0)], 6_000_000)
        """,
        "spectral_flow_batch, 2 starts x 6e6 steps",
    ),
    "flow_batch_2000x2000": (
        """
        starts = [(i / 2000.0, 1.0 + i / 1000.0) for i in range(2000)]
        def call():
            return vsc.spectral_flow_batch(starts, 2000)
        """,
        "spectral_flow_batch, 2000 starts x 2000 steps",
    ),
    "add_n_2e7": (
        """
        x = [i * 0.5 for i in range(20_000_000)]
        def call():
            return vsc.add_n(x, x)
        """,
        "add_n on two lists of 2e7 floats",
    ),
    "octonion_mul_n_1e6": (
        """
        a = [[float(i % 7), 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0] for i in range(1_000_000)]
        def call():
            return vsc.octonion_mul_n(a, a)
        """,
        "octonion_mul_n on 1e6 pairs",
    ),
    "octonion_norm_n_1x2e28": (
        """
        import numpy as np
        v = [np.full(1 << 28, 0.5)]
        def call():
            return vsc.octonion_norm_n(v)
        """,
        "octonion_norm_n, 1 vector of 2^28 components (from an array)",
    ),
    "arrays_octonion_norm_1x2e28": (
        """
        import numpy as np
        import vyr_spectral_arrays as va
        x = np.full(1 << 28, 0.5)
        def call():
            return va.octonion_norm(x)
        """,
        "vyr_spectral_arrays.octonion_norm, 1 item of 2^28 components",
    ),
    "arrays_norms_squared_1x2e28": (
        """
        import numpy as np
        import vyr_spectral_arrays as va
        x = np.full(1 << 28, 0.5)
        def call():
            return va.norms_squared(x)
        """,
        "vyr_spectral_arrays.norms_squared, 1 item of 2^28 components",
    ),
    "arrays_octonion_norm_1x2e31_broadcast": (
        """
        import numpy as np
        import vyr_spectral_arrays as va
        x = np.broadcast_to(np.float64(0.5), (1 << 31,))
        def call():
            return va.octonion_norm(x)
        """,
        "vyr_spectral_arrays.octonion_norm, 1 item of 2^31 components (one value broadcast)",
    ),
}

CHILD = """
import gc, signal, sys, time
import vyr_spectral_core as vsc
{setup}
noticed = []
def on_sigint(signum, frame):
    noticed.append(time.monotonic())
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
gc.collect()
gc.freeze()
start = time.monotonic()
result = call()
print("duration", time.monotonic() - start, flush=True)
del result
for _ in range({runs}):
    result = None
    noticed.clear()
    try:
        print("go", flush=True)
        result = call()
        result = None
        try:
            time.sleep(30)  # the signal lands here instead
        except KeyboardInterrupt:
            pass
        print("completed", flush=True)
    except KeyboardInterrupt:
        print("caught", noticed[0], time.monotonic(), flush=True)
    result = None
"""


def measure(name, runs, rng):
    """Seconds: the call's duration, and per measured run the latencies to the
    handler and to the end of the call; and how many runs finished first."""
    setup, _ = CASES[name]
    code = CHILD.format(setup=textwrap.dedent(setup), runs=runs)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, bufsize=1)
    noticed, ended, completed = [], [], 0
    try:
        word, value = child.stdout.readline().split()
        assert word == "duration", word
        duration = float(value)
        for _ in range(runs):
            assert child.stdout.readline().strip() == "go"
            time.sleep(rng.uniform(0.05, 0.8) * duration)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            reply = child.stdout.readline().split()
            if reply[0] == "caught":
                noticed.append(float(reply[1]) - sent)
                ended.append(float(reply[2]) - sent)
            else:
                completed += 1
        child.wait(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return duration, noticed, ended, completed


def milliseconds(values):
    if not values:
        return "-", "-"
    return f"{statistics.median(values) * 1e3:.1f}", f"{max(values) * 1e3:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", help=f"any of {', '.join(CASES)} (default: all)")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--seed", type=int, default=16)
    args = parser.parse_args()
    unknown = [name for name in args.cases if name not in CASES]
    if unknown:
        parser.error(f"unknown case {unknown[0]!r}; the cases are {', '.join(CASES)}")
    args.cases = args.cases or list(CASES)
    rng = random.Random(args.seed)

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {args.runs} runs per case")
    print("Latencies in ms after SIGINT, median / worst\n")
    print("| case | call without signal | handler ran | call ended | runs measured |")
    print("|---|---|---|---|---|")
    for name in args.cases:
        duration, noticed, ended, completed = measure(name, args.runs, rng)
        note = f"{len(ended)}" + (f" ({completed} finished first)" if completed else "")
        print(
            f"| {CASES[name][1]} | {duration * 1e3:.0f} ms | {' / '.join(milliseconds(noticed))} "
            f"| {' / '.join(milliseconds(ended))} | {note} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
