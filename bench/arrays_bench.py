"""Arrays in, arrays out: vyr_spectral_arrays against numpy, kingdon, clifford
and numpy-quaternion on ready arrays, and against the kernels' own C++ time.

Run through `bash bench/run.sh --arrays`, which prepares the environment and
builds the C++ kernel timing (bench/kernels.cpp).  Writes
bench/results/ARRAYS.md and bench/results/arrays.json.

Every peer starts from arrays already made and returns an array; conversions
that a peer needs (layouts of other blade orders) are made once, outside the
timed region.  Ratios "peer / module" above 1 mean the module is faster; the
front-end ratio "module / kernel" is the array module's time over the C++
time of the same item loops on the same pool (the lower of one thread and
the pool), so what lies above 1 is the cost of the checks, the conversion,
the allocation and the dispatch.  The module and its peers are timed side by
side, in alternating rounds, and each keeps its best round: on a machine
that other jobs share, that is the round that had the cores most to itself.

It also writes bench/results/ROOFLINE.md: every kernel's time per term or
element against the limits of the machine that ran it, as the C++ timing
measures them (the peak of multiplies and adds of its cores, the speed of a
plain copy of the kernel's working set).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench as B  # noqa: E402  (timing and formatting helpers)
import peers as P  # noqa: E402
import vyr_spectral_arrays as va  # noqa: E402

RESULTS = HERE / "results"
CL30, CL41, PGA3, CL44 = [1, 1, 1], [1, 1, 1, 1, -1], [1, 1, 1, 0], [1, -1] * 4
ALGEBRAS = (("Cl(3,0)", CL30), ("Cl(4,1)", CL41), ("[1,1,1,0]", PGA3))
# The products the roofline targets are about, as the C++ timing names them.
PRODUCT_CASES = ["octonion_mul 100000", "geometric_product Cl(3,0) 10000",
                 "geometric_product Cl(4,1) 10000", "geometric_product [1,1,1,0] 10000",
                 "geometric_product Cl(4,4) 10000", "rotor Cl(3,0) 10000", "sandwich Cl(3,0) 10000"]
# Compute-bound products, for the pool's scaling.
COMPUTE_CASES = ["geometric_product Cl(4,1) 10000", "geometric_product Cl(4,4) 10000"]


def same_bits(x, y):
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    return x.shape == y.shape and np.array_equal(x.view(np.uint64), y.view(np.uint64))


def close(x, y):
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    scale = np.max(np.abs(x)) if x.size else 1.0
    return x.shape == y.shape and bool(np.max(np.abs(x - y)) <= 1e-12 * scale)


class Run:
    def __init__(self, args, kernels):
        self.clock = B.Clock(args.quick)
        self.quick = args.quick
        self.rounds = 1 if args.quick else 3
        self.rng = np.random.default_rng(20240601)
        self.kernels = kernels["cases"]
        self.machine = kernels["machine"]
        self.kernel_path = kernels["kernel path"]
        self.loads = [os.getloadavg()]
        self.rows = []  # (work, module, kernel, front-end ratio, peers text)
        self.data = {}
        self.targets = []
        self.notes = []

    def t(self, fn):
        return self.clock.measure(fn)

    def log(self, *a):
        print(f"[{time.strftime('%H:%M:%S')}] (load {os.getloadavg()[0]:.1f})", *a, flush=True)

    def kernel(self, name):
        k = self.kernels.get(name)
        return min(k["serial best"], k["pool best"]) if k else None

    def side_by_side(self, forms):
        """Best seconds of each of `forms` (name -> call) over rounds that
        time them one after the other."""
        times = {name: [] for name in forms}
        for _ in range(self.rounds):
            for name, f in forms.items():
                times[name].append(self.t(f))
        self.loads.append(os.getloadavg())
        return {name: min(ts) for name, ts in times.items()}

    def row(self, work, module, kernel_case, peers, check):
        """One table row: module time, kernel time, and each peer (name, time)."""
        kernel = self.kernel(kernel_case) if kernel_case else None
        front = module / kernel if kernel else None
        peer_text = "; ".join(f"{name} {B.fmt_t(t)} ({B.fmt_r(t / module)})" for name, t in peers)
        self.rows.append((work, B.fmt_t(module), B.fmt_t(kernel), B.fmt_r(front) if front else "—",
                          peer_text or "—"))
        self.data[work] = dict(module=module, kernel=kernel, front_end=front,
                               peers={name: t for name, t in peers})
        if not check:
            self.notes.append(f"{work}: a peer's result differs from the module's beyond rounding")
        return front

    def best(self, forms):
        """The fastest of several formulations: (name, seconds)."""
        timed = [(name, self.t(f)) for name, f in forms.items()]
        return min(timed, key=lambda nt: nt[1])

    # ---------------------------------------------------------------- cases

    def add(self):
        for n in (10**3, 10**5, 10**6):
            self.log(f"add {n}")
            a, b = self.rng.uniform(-1, 1, n), self.rng.uniform(-1, 1, n)
            ok = same_bits(va.add(a, b), np.add(a, b))
            module, numpy_t = self.t(lambda: va.add(a, b)), self.t(lambda: np.add(a, b))
            front = self.row(f"add, {B.pow10(n)} elements", module, f"add {n}", [("numpy.add", numpy_t)], ok)
            if n == 10**6:
                self.targets.append((f"add 10^6 within 1.2x of numpy.add", module <= 1.2 * numpy_t,
                                     f"{B.fmt_t(module)} vs {B.fmt_t(numpy_t)} ({module / numpy_t:.2f}x)"))
            if n == 10**3:
                self.targets.append(("add 10^3 within 3 µs of numpy.add", module - numpy_t <= 3e-6,
                                     f"{B.fmt_t(module)} vs {B.fmt_t(numpy_t)}"))
            if n >= 10**5:
                self.front_target(f"add {B.pow10(n)}", front)

    def front_target(self, what, front):
        if front is not None:
            self.targets.append((f"front-end of {what} at most 1.3x the kernel", front <= 1.3, f"{front:.2f}x"))

    def octonions(self):
        n = 10**5
        self.log("octonion_mul, norms")
        a, b = self.rng.uniform(-1, 1, (n, 8)), self.rng.uniform(-1, 1, (n, 8))
        mine = va.octonion_mul(a, b)
        ok = all(close(mine, f(a, b)) for f in P.NP_OCT_MUL.values())
        times = self.side_by_side({"module": lambda: va.octonion_mul(a, b),
                                   **{f"numpy {k}": (lambda f=f: f(a, b)) for k, f in P.NP_OCT_MUL.items()}})
        module = times.pop("module")
        name, t = min(times.items(), key=lambda nt: nt[1])
        front = self.row(f"octonion_mul, {B.pow10(n)} pairs", module, f"octonion_mul {n}", [(name, t)], ok)
        self.front_target("octonion_mul 10^5", front)
        self.targets.append(("octonion_mul 10^5 at least 5x numpy's best formulation", t >= 5 * module,
                             f"{B.fmt_t(module)} vs {name} {B.fmt_t(t)} ({t / module:.1f}x)"))

        ok = same_bits(va.norms_squared(a), P.np_sq_sum(a)) or close(va.norms_squared(a), P.np_sq_sum(a))
        name, t = self.best({f"numpy {k}": (lambda f=f: f(a)) for k, f in P.NP_SQNORM.items()})
        front = self.row(f"norms_squared, {B.pow10(n)} × 8", self.t(lambda: va.norms_squared(a)),
                         f"norms_squared {n}", [(name, t)], ok)
        self.front_target("norms_squared 10^5", front)

        ok = close(va.octonion_norm(a), P.np_norm_linalg(a))
        name, t = self.best({f"numpy {k}": (lambda f=f: f(a)) for k, f in P.NP_OCT_NORM.items()})
        front = self.row(f"octonion_norm, {B.pow10(n)} × 8", self.t(lambda: va.octonion_norm(a)),
                         f"octonion_norm {n}", [(name, t)], ok)
        self.front_target("octonion_norm 10^5", front)

    def geometric(self):
        from gapeers import CliffordPeer, KingdonPeer

        n = 10**4
        for label, sig in ALGEBRAS:
            self.log(f"geometric_product {label}")
            dim = 2 ** len(sig)
            a, b = self.rng.uniform(-1, 1, (n, dim)), self.rng.uniform(-1, 1, (n, dim))
            mine = va.geometric_product(a, b, sig)
            ok = True
            kingdon = KingdonPeer(sig)
            At, Bt = kingdon.arrays(a, b)
            kingdon.warm_up(At, Bt)
            keys, values = kingdon.batched(At, Bt)
            ok &= close(mine, kingdon.from_peer(keys, values, n))
            cliff = CliffordPeer(sig)
            Ac, Bc = cliff.arrays(a, b)
            cliff.warm_up(Ac, Bc)
            ok &= close(mine, cliff.from_peer(cliff.numba_loop(Ac, Bc)))
            numpy_forms = P.NumpyClifford(sig).formulations()
            times = self.side_by_side({
                "module": lambda: va.geometric_product(a, b, sig),
                "kingdon": lambda: kingdon.batched(At, Bt),
                "clifford gmt_func": lambda: cliff.numba_loop(Ac, Bc),
                **{f"numpy {k}": (lambda f=f: f(a, b)) for k, f in numpy_forms.items()},
            })
            module = times.pop("module")
            peers = [(k, times.pop(k)) for k in ("kingdon", "clifford gmt_func")]
            peers.append(min(times.items(), key=lambda nt: nt[1]))
            front = self.row(f"geometric_product {label}, {B.pow10(n)} pairs", module,
                             f"geometric_product {label} {n}", peers, ok)
            self.front_target(f"geometric_product {label} 10^4", front)
            for peer, factor in (("kingdon", 1.5), ("clifford gmt_func", 2.0)):
                t = dict(peers)[peer]
                self.targets.append((f"geometric_product {label} 10^4 at least {factor}x {peer}",
                                     t >= factor * module,
                                     f"{B.fmt_t(module)} vs {B.fmt_t(t)} ({t / module:.2f}x)"))

        self.log("geometric_product Cl(4,4)")
        a, b = self.rng.uniform(-1, 1, (n, 256)), self.rng.uniform(-1, 1, (n, 256))
        module = self.side_by_side({"module": lambda: va.geometric_product(a, b, CL44)})["module"]
        self.row(f"geometric_product Cl(4,4), {B.pow10(n)} pairs", module,
                 f"geometric_product Cl(4,4) {n}", [], True)
        self.targets.append(("geometric_product Cl(4,4) 10^4 at least 3x faster than 0.8 s",
                             module <= 0.8 / 3, f"{B.fmt_t(module)} ({0.8 / module:.0f}x)"))

    def rotors(self):
        import quaternion
        from kingdon import Algebra

        n = 10**4
        self.log("rotor sandwich")
        theta, axis = 0.7, np.array([1.0, 2.0, 2.0]) / 3.0
        vectors = self.rng.uniform(-1, 1, (n, 3))
        # Cl(3,0) in ascending bitmask order: 1, e0, e1, e0e1, e2, e0e2, e1e2, e0e1e2.
        V = np.zeros((n, 8))
        V[:, [1, 2, 4]] = vectors
        # R = cos(t/2) - sin(t/2) I a, with I a = a0 e1e2 - a1 e0e2 + a2 e0e1.
        c, s = np.cos(theta / 2), np.sin(theta / 2)
        R = np.zeros(8)
        R[0], R[6], R[5], R[3] = c, -s * axis[0], s * axis[1], -s * axis[2]
        R_rev = R * np.array([1, 1, 1, -1, 1, -1, -1, -1])

        def module():
            return va.geometric_product(va.geometric_product(R, V, CL30), R_rev, CL30)

        q = quaternion.from_rotation_vector(theta * axis)
        ok = close(module()[:, [1, 2, 4]], quaternion.rotate_vectors(q, vectors))
        qs = quaternion.from_vector_part(vectors)
        alg = Algebra(3, 0, 0)
        kv = alg.vector(np.ascontiguousarray(vectors.T))
        kR = alg.evenmv(e=c, e12=-s * axis[2], e13=s * axis[1], e23=-s * axis[0])
        sandwich_ok = same_bits(va.sandwich(R, V, CL30), module())
        times = self.side_by_side({
            "module": module,
            "sandwich": lambda: va.sandwich(R, V, CL30),
            "numpy-quaternion rotate_vectors": lambda: quaternion.rotate_vectors(q, vectors),
            "numpy-quaternion q v q̄": lambda: q * qs * q.conjugate(),
            "kingdon R >> v": lambda: kR >> kv,
        })
        two_products = times.pop("module")
        mine = times.pop("sandwich")
        peers = list(times.items())
        self.row(f"rotor sandwich Cl(3,0), {B.pow10(n)} vectors: two geometric_product calls",
                 two_products, "rotor Cl(3,0) 10000", peers, ok)
        self.row(f"rotor sandwich Cl(3,0), {B.pow10(n)} vectors: sandwich", mine,
                 "sandwich Cl(3,0) 10000", peers, ok and sandwich_ok)
        self.data["rotor sandwich note"] = "the two calls' kernel time is one of the two products"
        fastest = min(peers, key=lambda nt: nt[1])
        self.targets.append(("rotor sandwich 10^4 faster than kingdon and numpy-quaternion",
                             mine < fastest[1],
                             f"sandwich {B.fmt_t(mine)}, two geometric_product calls "
                             f"{B.fmt_t(two_products)}, vs {fastest[0]} {B.fmt_t(fastest[1])}"))

    def planar(self):
        n = 10**5
        self.log("spectral_flow_step")
        p = np.stack([self.rng.uniform(-2, 2, n), self.rng.uniform(0.1, 3, n)], axis=-1)

        def numpy_step():
            x, y = p[:, 0], p[:, 1]
            x = np.where(x > P.EXP_ARG_LIMIT, np.log(x), x)
            y = np.where(y <= 0.0, np.maximum(np.abs(y), P.Y_FLOOR), y)
            return np.stack([y, np.exp(x) - np.log(y)], axis=-1)

        front = self.row(f"spectral_flow_step, {B.pow10(n)} points", self.t(lambda: va.spectral_flow_step(p)),
                         f"spectral_flow_step {n}", [("numpy", self.t(numpy_step))],
                         close(va.spectral_flow_step(p), numpy_step()))
        self.front_target("spectral_flow_step 10^5", front)

        starts_n, steps = (10**2, 10**3) if self.quick else (10**3, 10**3)
        self.log(f"spectral_flow {starts_n} x {steps}")
        s = np.stack([self.rng.uniform(-2, 2, starts_n), self.rng.uniform(0.1, 3, starts_n)], axis=-1)
        lists = [tuple(r) for r in s.tolist()]
        module = self.t(lambda: va.spectral_flow(s, steps))
        pure = self.t(lambda: P.py_spectral_flow_batch(lists, steps))
        numpy_t = self.t(lambda: P.np_spectral_flow_batch(s[:, 0], s[:, 1], steps))
        ok = same_bits(va.spectral_flow(s, steps), np.array(P.py_spectral_flow_batch(lists, steps)))
        kernel_case = f"spectral_flow {starts_n}x{steps}"
        front = self.row(f"spectral_flow, {B.pow10(starts_n)} starts × {B.pow10(steps)} steps", module,
                         kernel_case, [("pure Python", pure), ("numpy", numpy_t)], ok)
        self.targets.append(("spectral_flow 10^3 x 10^3 at least 15x pure Python", pure >= 15 * module,
                             f"{pure / module:.1f}x"))
        if front is not None:
            self.targets.append(("spectral_flow 10^3 x 10^3 within 1.3x of the kernel", front <= 1.3,
                                 f"{front:.2f}x"))

    # ---------------------------------------------------------------- limits

    def roofline(self):
        """Each kernel against the machine: its best time per term or element
        beside the time that the cores' peak of multiplies and adds, or a copy
        of its working set, would take; the larger of the two is the roofline."""
        peak_one = self.machine["peak terms/s one thread"]
        peak_pool = self.machine["peak terms/s pool"]
        rows, ratios = [], {}
        for name, k in self.kernels.items():
            best = min(k["serial best"], k["pool best"])
            compute = (k["terms"] / peak_one, k["terms"] / peak_pool)
            memory = (k["copy serial"], k["copy pool"])
            roof = max(min(compute), min(memory))
            ratios[name] = best / roof
            unit = "term" if name.startswith(("octonion_mul", "geometric", "rotor", "sandwich")) else "element"
            rows.append((name, f"{k['terms']:.3g}", B.fmt_t(k["serial best"]), B.fmt_t(k["pool best"]),
                         f"{B.fmt_t(best / k['terms'])} per {unit}",
                         f"{B.fmt_t(compute[0])} / {B.fmt_t(compute[1])}",
                         f"{B.fmt_t(memory[0])} / {B.fmt_t(memory[1])}", B.fmt_t(roof),
                         B.fmt_r(best / roof)))
        worst = max(ratios[c] for c in PRODUCT_CASES if c in ratios) if ratios else None
        if worst is not None:
            self.targets.append(("products within 2x of the roofline (C++ kernels)", worst <= 2.0,
                                 ", ".join(f"{c.split(' 1')[0]} {ratios[c]:.2f}x"
                                           for c in PRODUCT_CASES if c in ratios)))
        spread = peak_pool / peak_one
        scaling = {c: self.kernels[c]["serial best"] / self.kernels[c]["pool best"]
                   for c in COMPUTE_CASES if c in self.kernels}
        if scaling:
            self.targets.append((
                f"pool of {self.machine['workers']} at least 1.8x one thread on compute-bound products",
                min(scaling.values()) >= 1.8,
                ", ".join(f"{c.split(' 1')[0]} {r:.2f}x" for c, r in scaling.items())
                + f" (the peak loop itself: {spread:.2f}x)"))
        return rows

    def write_roofline(self, rows, cpu):
        load = ", ".join(f"{l[0]:.1f}" for l in self.loads)
        text = [
            "# The kernels against the machine's limits",
            "",
            f"Measured {datetime.date.today()} with `bash bench/run.sh --arrays` (bench/kernels.cpp) on "
            f"{cpu}, {self.machine['workers']} pool workers, kernel path `{self.kernel_path}`; "
            f"one-minute load average during the run: {load}.",
            "",
            "A term is one multiplication and one addition (the products: 64 per octonion product, "
            "4^n per Clifford product of 2^n components, dense), an element one component of a norm "
            "(a multiplication and an addition) or of an add. The compute bound is the terms over "
            f"the peak the cores reach in a loop of independent {self.machine['peak vectors']} "
            f"multiplies and adds ({self.machine['peak terms/s one thread']:.3g} terms/s on one thread, "
            f"{self.machine['peak terms/s pool']:.3g} on the pool); the memory bound is the time of a "
            "plain copy of as many bytes as the kernel reads and writes, on one thread / on the pool. "
            "The roofline is the larger of the two best bounds, and the last column the kernel's best "
            "time (one thread or pool, best of 15 samples) over it. On a machine shared with other "
            "jobs, the pool's figures show how much of the second core the run got: the peak loop "
            "itself scales by the same factor.",
            "",
            B.md_table(["kernel", "terms / elements", "one thread", "pool", "time per term",
                        "compute bound (1 / pool)", "memory bound (1 / pool)", "roofline", "over roofline"],
                       rows),
        ]
        (RESULTS / "ROOFLINE.md").write_text("\n".join(text) + "\n")
        B.embed_roofline(RESULTS / "RESULTS.md", RESULTS / "ROOFLINE.md")

    # ---------------------------------------------------------------- report

    def write(self, elapsed):
        versions = {}
        for name in ("numpy", "kingdon", "clifford", "numpy-quaternion"):
            try:
                versions[name] = metadata.version(name)
            except metadata.PackageNotFoundError:
                versions[name] = "not installed"
        cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                    if line.startswith("model name")), "unknown")
        self.write_roofline(self.roofline(), cpu)
        header = ["work", "vyr_spectral_arrays", "kernel alone (C++)", "front-end", "peers on ready arrays (peer / module)"]
        text = [
            "# Arrays in, arrays out",
            "",
            f"Measured {datetime.date.today()} with `bash bench/run.sh --arrays` on {cpu}, "
            f"{os.cpu_count()} CPUs, Python {platform.python_version()}, "
            + ", ".join(f"{k} {v}" for k, v in versions.items())
            + f"; pool of {os.environ.get('VYR_NUM_THREADS', 'default')} threads; kernel path "
            f"`{va.kernel_path}`; one-minute load average {', '.join(f'{l[0]:.1f}' for l in self.loads)}; "
            f"run took {elapsed:.0f} s.",
            "",
            "Every input is a float64 array made beforehand; every call returns a new array. "
            "\"kernel alone\" is the C++ time of the same item loops over the same sizes "
            "(bench/kernels.cpp, the lower of one thread and the pool); \"front-end\" is the module's "
            "time over it. Each peer's figure in brackets is its time over the module's: above 1, "
            "the module is faster. The kernels against the machine's limits: "
            "[ROOFLINE.md](ROOFLINE.md).",
            "",
            B.md_table(header, self.rows),
            "",
            "## Targets",
            "",
            B.md_table(["target", "met", "measured"], [(t, "yes" if ok else "**no**", n) for t, ok, n in self.targets]),
        ]
        if self.notes:
            text += ["", "## Differences", ""] + [f"- {n}" for n in self.notes]
        (RESULTS / "ARRAYS.md").write_text("\n".join(text) + "\n")
        (RESULTS / "arrays.json").write_text(json.dumps(
            dict(kernel_path=self.kernel_path, machine=self.machine, kernels=self.kernels,
                 rows=self.data, targets=self.targets, loads=self.loads), indent=1) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--kernels", required=True, help="path of the vyr_kernel_bench executable")
    args = ap.parse_args()
    t0 = time.perf_counter()
    kernels = json.loads(subprocess.run([args.kernels] + (["--quick"] if args.quick else []),
                                        check=True, capture_output=True, text=True).stdout)
    run = Run(args, kernels)
    for section in (run.add, run.octonions, run.geometric, run.rotors, run.planar):
        section()
    run.write(time.perf_counter() - t0)
    print((RESULTS / "ARRAYS.md").read_text())
    print((RESULTS / "ROOFLINE.md").read_text())


if __name__ == "__main__":
    main()
