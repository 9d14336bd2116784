"""Benchmarks of vyr_spectral_core against pure Python, numpy, clifford and kingdon.

Run through bench/run.sh, which prepares the environment.  Writes
bench/results/RESULTS.md, bench/results/results.json and
bench/results/time_per_element.png.

Every timing is the median of several runs of a timeit loop that lasts at least
a fixed minimum; peers run in the same process, on the same inputs, right
beside the module.  Ratios are "peer time / module time": above 1 means the
module is faster.  Ratios against the conversion floor are the other way round
("module time / floor time"): at or below 1 means the module costs no more than
reading its inputs and writing its output with the standard library.
"""

from __future__ import annotations

import argparse
import array
import datetime
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from importlib import metadata
from itertools import repeat
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers as P  # noqa: E402
import vyr_spectral_core as V  # noqa: E402

RESULTS = HERE / "results"

# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


class Clock:
    def __init__(self, quick, min_total=None):
        self.quick = quick
        self.min_total = min_total or (0.05 if quick else 0.2)
        self.samples = 3 if quick else 5

    def measure(self, fn):
        """Median seconds per call of fn()."""
        gc.collect()
        timer = timeit.Timer(fn)
        number = 1
        while True:
            t = timer.timeit(number)
            if t >= self.min_total:
                break
            number = max(number * 2, int(number * self.min_total * 1.2 / max(t, 1e-9)))
        per = t / number
        if per > 0.25:
            more = min(2, self.samples - 1)
        else:
            more = self.samples - 1
        times = [per]
        for _ in range(more):
            times.append(timer.timeit(number) / number)
        return statistics.median(times)


def fmt_t(s):
    if s is None:
        return "—"
    if s >= 1.0:
        return f"{s:.3g} s"
    if s >= 1e-3:
        return f"{s * 1e3:.3g} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.3g} µs"
    return f"{s * 1e9:.3g} ns"


def fmt_r(r):
    if r is None:
        return "—"
    if r >= 100:
        return f"{r:.0f}×"
    if r >= 10:
        return f"{r:.1f}×"
    return f"{r:.2f}×"


def ratio(peer, mod):
    if peer is None or mod is None or mod <= 0:
        return None
    return peer / mod


def pow10(n):
    e = round(math.log10(n)) if n > 0 else 0
    return f"10^{e}" if n > 0 and 10**e == n else str(n)


ROOFLINE_START = "<!-- roofline: bench/results/ROOFLINE.md, written by bash bench/run.sh --arrays -->"
ROOFLINE_END = "<!-- end of roofline -->"


def embed_roofline(results_md, roofline_md):
    """Puts the latest roofline report into the results page, in place of the
    one there: the list run and the array run each keep the other's part."""
    if not results_md.exists() or not roofline_md.exists():
        return
    text = results_md.read_text()
    if ROOFLINE_START in text and ROOFLINE_END in text:
        text = text[:text.index(ROOFLINE_START)].rstrip("\n") + text[text.index(ROOFLINE_END) + len(ROOFLINE_END):]
    # Its title becomes a section of the results page.
    roofline = "#" + roofline_md.read_text().strip()
    results_md.write_text(text.rstrip("\n") + "\n\n" + ROOFLINE_START + "\n" + roofline + "\n" + ROOFLINE_END + "\n")


def md_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for r in rows:
        out.append("| " + " | ".join(str(c) for c in r) + " |")
    return "\n".join(out)


# --------------------------------------------------------------------------
# Agreement checks
# --------------------------------------------------------------------------


def flat(x):
    return np.asarray(x, dtype=float).ravel()


class Checks:
    def __init__(self):
        self.rows = []
        self.flags = []

    def compare(self, what, peer, mod_out, peer_out, expect_bits, tol=1e-12):
        m, p = flat(mod_out), flat(peer_out)
        if m.shape != p.shape:
            self.rows.append((what, peer, f"shape {m.shape} vs {p.shape}", "—", "**DIFFERS**"))
            self.flags.append(f"{what} vs {peer}: shapes differ ({m.shape} vs {p.shape})")
            return
        same = np.sum(m.view(np.int64) == p.view(np.int64))
        scale = np.max(np.abs(m)) if m.size else 1.0
        d = np.max(np.abs(m - p)) / scale if m.size else 0.0
        if same == m.size:
            verdict = "bit-identical"
        elif d <= tol:
            verdict = "equal up to rounding" + (" (**bits expected**)" if expect_bits else "")
            if expect_bits:
                self.flags.append(f"{what} vs {peer}: same order of evaluation but {m.size - same} values differ in bits (max scaled diff {d:.2e})")
        else:
            verdict = "**DIFFERS**"
            self.flags.append(f"{what} vs {peer}: max difference {d:.3e} of the largest magnitude")
        self.rows.append((what, peer, f"{same}/{m.size}", f"{d:.1e}", verdict))

    def note(self, what, peer, text, verdict):
        self.rows.append((what, peer, text, "—", verdict))


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------


class Inputs:
    def __init__(self, seed=20240601):
        self.rng = np.random.default_rng(seed)

    def vec(self, n):
        return self.rng.uniform(-1.0, 1.0, n).tolist()

    def batch(self, n, d):
        return self.rng.uniform(-1.0, 1.0, (n, d)).tolist()

    def starts(self, n):
        xs = self.rng.uniform(-2.0, 2.0, n)
        ys = self.rng.uniform(0.1, 3.0, n)
        return list(zip(xs.tolist(), ys.tolist()))


# --------------------------------------------------------------------------
# Conversion floor with the standard library
# --------------------------------------------------------------------------


def floor_flat(inputs, n_out):
    out = array.array("d", bytes(8 * n_out))

    def f():
        for x in inputs:
            array.array("d", x)
        return out.tolist()

    return f


def floor_batch(inputs, n_out, d_out):
    outs = [array.array("d", bytes(8 * d_out)) for _ in range(n_out)] if d_out else None
    out1 = array.array("d", bytes(8 * n_out))
    arr, tolist = array.array, array.array.tolist

    def f():
        for batch in inputs:
            list(map(arr, repeat("d", len(batch)), batch))
        if outs is None:
            return out1.tolist()
        return list(map(tolist, outs))

    return f


def floor_trajectories(N, n):
    """Build N lists of n+1 (x, y) tuples from ready doubles: the object cost alone."""
    trajs = [array.array("d", bytes(16 * (n + 1))) for _ in range(N)]

    def f():
        out = []
        for t in trajs:
            it = iter(t.tolist())
            out.append(list(zip(it, it)))
        return out

    return f


# --------------------------------------------------------------------------
# The suite
# --------------------------------------------------------------------------


class Suite:
    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.clock = Clock(args.quick)
        self.inp = Inputs()
        self.checks = Checks()
        self.tables = {}  # function -> markdown
        self.plot = {}  # panel -> impl -> [(size, per-element seconds)]
        self.data = {}  # raw numbers for results.json
        self.targets = []
        self.one_off = []
        self.skip_limit = 2.0 if args.quick else 12.0  # seconds, estimated single call
        self.gp_best = {}
        self.load_start = os.getloadavg()

    def t(self, fn):
        return self.clock.measure(fn)

    def log(self, *a):
        print(f"[{time.strftime('%H:%M:%S')}] (load {os.getloadavg()[0]:.1f})", *a, flush=True)

    def add_plot(self, panel, impl, size, per_elem):
        if per_elem is not None:
            self.plot.setdefault(panel, {}).setdefault(impl, []).append((size, per_elem))

    # ---------------- element-wise and norms ----------------

    def sizes(self, full):
        if self.quick:
            return [s for s in full if s <= 10**4]
        return full

    def run_add(self):
        self.log("add_n")
        rows, raw = [], []
        last_py = None
        for N in self.sizes([10, 100, 10**3, 10**4, 10**5, 10**6]):
            a, b = self.inp.vec(N), self.inp.vec(N)
            A, B = np.asarray(a), np.asarray(b)
            mod = self.t(lambda: V.add_n(a, b))
            py = None
            if last_py is None or last_py * N < self.skip_limit:
                py = self.t(lambda: P.py_add_n(a, b))
                last_py = py / N
            npl = self.t(lambda: (np.asarray(a) + np.asarray(b)).tolist())
            npa = self.t(lambda: A + B)
            fl = self.t(floor_flat([a, b], N))
            if N == 10**4 or (self.quick and N == 10**3):
                out = V.add_n(a, b)
                self.checks.compare(f"add_n N={N}", "pure Python", out, [x + y for x, y in zip(a, b)], True)
                self.checks.compare(f"add_n N={N}", "numpy", out, A + B, True)
            rows.append([pow10(N), fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod)), fmt_t(npl), fmt_r(ratio(npl, mod)),
                         fmt_t(npa), fmt_r(ratio(npa, mod)), fmt_t(fl), fmt_r(ratio(mod, fl))])
            raw.append(dict(N=N, module=mod, python=py, numpy_lists=npl, numpy_arrays=npa, floor=fl))
            for impl, v in [("module", mod), ("pure Python", py), ("numpy (lists)", npl), ("numpy (arrays)", npa), ("floor", fl)]:
                self.add_plot("add_n (per element)", impl, N, v / N if v else None)
        self.data["add_n"] = raw
        self.tables["add_n"] = (
            "Two float vectors of N elements, uniform in [-1, 1).  Pure Python: `[x + y for x, y in zip(a, b)]`; "
            "numpy (lists): `(np.asarray(a) + np.asarray(b)).tolist()`; numpy (arrays): `A + B`; "
            "floor: `array('d', a)`, `array('d', b)` and `.tolist()` of an N-element array.\n\n"
            + md_table(["N", "module", "pure Python", "speed-up", "numpy (lists)", "speed-up", "numpy (arrays)",
                        "speed-up", "floor", "module / floor"], rows)
        )

    def run_norms(self, name, modfn, pyfn, np_forms, model, d=8):
        self.log(name)
        rows, raw = [], []
        last_py = None
        prev_best = ()
        for N in self.sizes([10, 100, 10**3, 10**4, 10**5, 10**6]):
            pts = self.inp.batch(N, d)
            A = np.asarray(pts)
            mod = self.t(lambda: modfn(pts))
            py = None
            if last_py is None or last_py * N < self.skip_limit:
                py = self.t(lambda: pyfn(pts))
                last_py = py / N
            best_l = best_a = None
            detail = []
            for fname, f in np_forms.items():
                if N >= 10**6 and fname not in prev_best:
                    continue
                tl = self.t(lambda: f(np.asarray(pts)).tolist()) if N < 10**6 or fname == prev_best[0] else 1e99
                ta = self.t(lambda: f(A)) if N < 10**6 or fname == prev_best[1] else 1e99
                detail.append(f"{fname}: {fmt_t(tl)} / {fmt_t(ta)}")
                if best_l is None or tl < best_l[1]:
                    best_l = (fname, tl)
                if best_a is None or ta < best_a[1]:
                    best_a = (fname, ta)
            prev_best = (best_l[0], best_a[0])
            fl = self.t(floor_batch([pts], N, 0))
            if N == 10**4 or (self.quick and N == 10**3):
                out = modfn(pts)
                self.checks.compare(f"{name} N={N}", "exact-order Python model", out, [model(p) for p in pts], True)
                self.checks.compare(f"{name} N={N}", "pure Python (timed)", out, pyfn(pts), False)
                for fname, f in np_forms.items():
                    self.checks.compare(f"{name} N={N}", f"numpy {fname}", out, f(A), False)
            rows.append([pow10(N), fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod)),
                         f"{fmt_t(best_l[1])} ({best_l[0]})", fmt_r(ratio(best_l[1], mod)),
                         f"{fmt_t(best_a[1])} ({best_a[0]})", fmt_r(ratio(best_a[1], mod)),
                         fmt_t(fl), fmt_r(ratio(mod, fl))])
            raw.append(dict(N=N, module=mod, python=py, numpy_lists=best_l, numpy_arrays=best_a, floor=fl,
                            numpy_all=detail))
            for impl, v in [("module", mod), ("pure Python", py), ("numpy (lists)", best_l[1]),
                            ("numpy (arrays)", best_a[1]), ("floor", fl)]:
                self.add_plot(f"{name} (per point, d={d})", impl, N, v / N if v else None)
        self.data[name] = raw
        return rows

    def run_octonion_norm(self):
        rows = self.run_norms("octonion_norm_n", V.octonion_norm_n, P.py_octonion_norm_n, P.NP_OCT_NORM,
                              lambda p: math.sqrt(P.model_sum_of_squares(p)))
        self.tables["octonion_norm_n"] = (
            "N octonions (8 floats each).  Pure Python: `[math.hypot(*v) for v in batch]`; numpy: the faster of "
            "`np.linalg.norm(A, axis=1)` and `np.sqrt(np.einsum('ij,ij->i', A, A))` (named); floor: "
            "`array('d', v)` for every vector and `.tolist()` of an N-element array.\n\n"
            + md_table(["N", "module", "pure Python", "speed-up", "numpy (lists)", "speed-up", "numpy (arrays)",
                        "speed-up", "floor", "module / floor"], rows)
        )

    def run_e8(self):
        rows = self.run_norms("e8_norms_squared_n", V.e8_norms_squared_n, P.py_e8_norms_squared_n, P.NP_SQNORM,
                              P.model_sum_of_squares)
        self.tables["e8_norms_squared_n"] = (
            "N points of 8 floats.  Pure Python: `[math.sumprod(p, p) for p in points]`; numpy: the faster of "
            "`np.einsum('ij,ij->i', A, A)` and `(A * A).sum(axis=1)`; floor as for the norms.\n\n"
            + md_table(["N", "module", "pure Python", "speed-up", "numpy (lists)", "speed-up", "numpy (arrays)",
                        "speed-up", "floor", "module / floor"], rows)
        )

    # ---------------- octonions ----------------

    def run_octonion_mul(self):
        self.log("octonion_mul")
        a, b = self.inp.vec(8), self.inp.vec(8)
        A1, B1 = np.asarray([a]), np.asarray([b])
        mod = self.t(lambda: V.octonion_mul(a, b))
        py = self.t(lambda: P.py_octonion_mul(a, b))
        best = None
        for fname, f in P.NP_OCT_MUL.items():
            tl = self.t(lambda: f(np.asarray([a]), np.asarray([b]))[0].tolist())
            if best is None or tl < best[1]:
                best = (fname, tl)
        self.checks.compare("octonion_mul", "pure Python", V.octonion_mul(a, b), P.py_octonion_mul(a, b), True)
        self.tables["octonion_mul"] = (
            "One product of two 8-float lists.  Pure Python: the product from the basis table, term by term; "
            "numpy: the fastest of three formulations applied to a batch of one.\n\n"
            + md_table(["module", "pure Python", "speed-up", "numpy (lists)", "speed-up"],
                       [[fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod)), f"{fmt_t(best[1])} ({best[0]})",
                         fmt_r(ratio(best[1], mod))]])
        )
        self.data["octonion_mul"] = dict(module=mod, python=py, numpy_lists=best)

    def run_octonion_mul_n(self):
        self.log("octonion_mul_n")
        rows, raw, detail_rows = [], [], []
        last_py = None
        prev_best = ()
        for N in self.sizes([10, 100, 10**3, 10**4, 10**5, 10**6]):
            a, b = self.inp.batch(N, 8), self.inp.batch(N, 8)
            A, B = np.asarray(a), np.asarray(b)
            mod = self.t(lambda: V.octonion_mul_n(a, b))
            py = None
            if last_py is None or last_py * N < self.skip_limit:
                py = self.t(lambda: P.py_octonion_mul_n(a, b))
                last_py = py / N
            best_l = best_a = None
            det = {}
            for fname, f in P.NP_OCT_MUL.items():
                if N >= 10**6 and fname not in prev_best:
                    continue
                tl = self.t(lambda: f(np.asarray(a), np.asarray(b)).tolist()) if N < 10**6 or fname == prev_best[0] else None
                ta = self.t(lambda: f(A, B)) if N < 10**6 or fname == prev_best[1] else None
                det[fname] = (tl, ta)
                if tl is None or ta is None:
                    if tl is not None and (best_l is None or tl < best_l[1]):
                        best_l = (fname, tl)
                    if ta is not None and (best_a is None or ta < best_a[1]):
                        best_a = (fname, ta)
                    continue
                if best_l is None or tl < best_l[1]:
                    best_l = (fname, tl)
                if best_a is None or ta < best_a[1]:
                    best_a = (fname, ta)
            prev_best = (best_l[0], best_a[0])
            fl = self.t(floor_batch([a, b], N, 8))
            if N == 10**4 or (self.quick and N == 10**3):
                out = V.octonion_mul_n(a, b)
                self.checks.compare(f"octonion_mul_n N={N}", "pure Python", out, P.py_octonion_mul_n(a, b), True)
                for fname, f in P.NP_OCT_MUL.items():
                    self.checks.compare(f"octonion_mul_n N={N}", f"numpy {fname}", out, f(A, B),
                                        fname == "columns")
            if N in (10**3, 10**5) or (self.quick and N == 10**4):
                detail_rows.append([pow10(N)] + [f"{fmt_t(det[k][0])} / {fmt_t(det[k][1])}" for k in P.NP_OCT_MUL])
            rows.append([pow10(N), fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod)),
                         f"{fmt_t(best_l[1])} ({best_l[0]})", fmt_r(ratio(best_l[1], mod)),
                         f"{fmt_t(best_a[1])} ({best_a[0]})", fmt_r(ratio(best_a[1], mod)),
                         fmt_t(fl), fmt_r(ratio(mod, fl))])
            raw.append(dict(N=N, module=mod, python=py, numpy_lists=best_l, numpy_arrays=best_a, floor=fl,
                            numpy_all=det))
            for impl, v in [("module", mod), ("pure Python", py), ("numpy (lists)", best_l[1]),
                            ("numpy (arrays)", best_a[1]), ("floor", fl)]:
                self.add_plot("octonion_mul_n (per pair)", impl, N, v / N if v else None)
        self.data["octonion_mul_n"] = raw
        self.tables["octonion_mul_n"] = (
            "N pairs of 8-float lists.  Pure Python: the table product per pair; numpy: the fastest of "
            "\"columns\" (the 64 terms written on transposed columns, in the kernel's order), "
            "\"outer@matrix\" (all 64 pairwise products times a 64×8 sign matrix) and \"einsum\" "
            "(`einsum('ni,nj,ijk->nk', A, B, T)`); floor: `array('d', v)` for every input vector and "
            "`.tolist()` of N 8-element arrays.\n\n"
            + md_table(["N", "module", "pure Python", "speed-up", "numpy (lists)", "speed-up", "numpy (arrays)",
                        "speed-up", "floor", "module / floor"], rows)
            + "\n\nEvery numpy formulation, from lists / from arrays:\n\n"
            + md_table(["N"] + list(P.NP_OCT_MUL), detail_rows)
        )

    # ---------------- geometric product ----------------

    ALGEBRAS = [
        ("Cl(3,0)", [1, 1, 1]),
        ("Cl(4,1)", [1, 1, 1, 1, -1]),
        ("[1,1,1,0]", [1, 1, 1, 0]),
        ("Cl(4,4) mixed [1,-1,1,-1,1,-1,1,-1]", [1, -1, 1, -1, 1, -1, 1, -1]),
    ]

    def run_geometric(self):
        from gapeers import CliffordPeer, KingdonPeer

        self.log("geometric_product_n")
        N = 10**3 if self.quick else 10**4
        rows_l, rows_a, raw = [], [], []
        mapping = []
        for label, sig in self.ALGEBRAS:
            if self.quick and len(sig) > 5 and not self.args.big:
                continue
            D = 1 << len(sig)
            self.log(f"  {label} D={D} N={N}")
            a, b = self.inp.batch(N, D), self.inp.batch(N, D)
            A, B = np.asarray(a), np.asarray(b)
            mod = self.t(lambda: V.geometric_product_n(a, b, sig))
            mod_out = V.geometric_product_n(a, b, sig)
            # pure Python, on a prefix when the whole batch would take too long
            table = P.gp_table(sig)
            t0 = time.perf_counter()
            P.py_geometric_product_n(a[:4], b[:4], table)
            per_pair = (time.perf_counter() - t0) / 4
            M = N if per_pair * N < (1.0 if self.quick else 3.0) else max(4, int(1.0 / per_pair))
            py = self.t(lambda: P.py_geometric_product_n(a[:M], b[:M], table)) * N / M
            py_note = "" if M == N else f" (first {M} pairs, scaled)"
            self.checks.compare(f"geometric_product_n {label}", "pure Python", mod_out[:M],
                                P.py_geometric_product_n(a[:M], b[:M], table), True)
            # numpy
            npc = P.NumpyClifford(sig)
            best_nl = best_na = None
            for fname, f in npc.formulations().items():
                tl = self.t(lambda: f(np.asarray(a), np.asarray(b)).tolist())
                ta = self.t(lambda: f(A, B))
                self.checks.compare(f"geometric_product_n {label}", f"numpy {fname}", mod_out, f(A, B),
                                    fname == "permuted rows")
                if best_nl is None or tl < best_nl[1]:
                    best_nl = (fname, tl)
                if best_na is None or ta < best_na[1]:
                    best_na = (fname, ta)
            # clifford
            cf = CliffordPeer(sig)
            Ac, Bc = cf.arrays(a, b)
            cf.warm_up(Ac, Bc)
            best_cl = best_ca = None
            for pname, f in cf.paths.items():
                ta = self.t(lambda: f(Ac, Bc))
                if best_ca is None or ta < best_ca[1]:
                    best_ca = (pname, ta)
                tl = self.t(lambda: cf.from_lists(a, b, f))
                if best_cl is None or tl < best_cl[1]:
                    best_cl = (pname, tl)
                self.checks.compare(f"geometric_product_n {label}", f"clifford ({pname})", mod_out,
                                    cf.from_lists(a, b, f), False)
            mapping.append(("clifford", label, cf.mapping_text))
            self.one_off.append(f"clifford {label}: layout, tables and numba compilation {cf.setup_seconds:.1f} s")
            del cf, Ac, Bc
            # kingdon
            t0 = time.perf_counter()
            kd = KingdonPeer(sig)
            Ak, Bk = kd.arrays(a, b)
            kd.warm_up(Ak, Bk)
            kd_setup = time.perf_counter() - t0
            kl = self.t(lambda: kd.from_lists(a, b))
            ka = self.t(lambda: kd.batched(Ak, Bk))
            self.checks.compare(f"geometric_product_n {label}", "kingdon", mod_out, kd.from_lists(a, b), False)
            mapping.append(("kingdon", label, kd.mapping_text + (f"; options {kd.options}" if kd.options else "")))
            self.one_off.append(f"kingdon {label}: algebra and code generation {kd_setup:.1f} s")
            del kd, Ak, Bk
            self.gp_best[label] = (best_nl[0], best_cl[0])
            raw.append(dict(algebra=label, signature=sig, N=N, module=mod, python=py, python_prefix=M,
                            numpy_lists=best_nl, numpy_arrays=best_na, clifford_lists=best_cl,
                            clifford_arrays=best_ca, kingdon_lists=kl, kingdon_arrays=ka))
            rows_l.append([label, D, fmt_t(mod), fmt_t(py) + py_note, fmt_r(ratio(py, mod)),
                           f"{fmt_t(best_nl[1])} ({best_nl[0]})", fmt_r(ratio(best_nl[1], mod)),
                           f"{fmt_t(best_cl[1])} ({best_cl[0]})", fmt_r(ratio(best_cl[1], mod)),
                           fmt_t(kl), fmt_r(ratio(kl, mod))])
            rows_a.append([label, D, fmt_t(mod),
                           f"{fmt_t(best_na[1])} ({best_na[0]})", fmt_r(ratio(best_na[1], mod)),
                           f"{fmt_t(best_ca[1])} ({best_ca[0]})", fmt_r(ratio(best_ca[1], mod)),
                           fmt_t(ka), fmt_r(ratio(ka, mod))])
            for tgt_peer, tv in (("clifford", best_cl[1]), ("kingdon", kl)):
                self.targets.append((
                    f"geometric_product_n, {N} pairs, {label}: faster than {tgt_peer} from lists",
                    tv > mod,
                    f"module {fmt_t(mod)}, {tgt_peer} {fmt_t(tv)} (speed-up {fmt_r(ratio(tv, mod))})",
                ))
            gc.collect()
        self.data["geometric_product_n"] = raw
        self.gp_mapping = mapping
        self.tables["geometric_product_n"] = (
            f"{N} pairs of dense multivectors (every component uniform in [-1, 1)), one table per algebra below.  "
            "Pure Python: the product by bitmask rules with the sign and metric of each blade pair tabulated "
            "once per algebra outside the timed region; numpy: the faster of \"permuted rows\" (one vectorised "
            "update per left blade) and \"dense tensor\" (a D×D² product tensor, D ≤ 32 only); clifford: the "
            "faster of a numba loop over `layout.gmt_func` and the dense `layout.gmt` tensor with a matrix "
            "product (D ≤ 32); kingdon: one product of two multivectors whose values are (D, N) arrays "
            "(generated numpy code).  Tables, JIT compilation and code generation are done before timing.\n\n"
            "**From the same lists** (peers convert lists to arrays, reorder blades to their layout, compute, "
            "reorder back and call `.tolist()`):\n\n"
            + md_table(["algebra", "D", "module", "pure Python", "speed-up", "numpy", "speed-up", "clifford",
                        "speed-up", "kingdon", "speed-up"], rows_l)
            + "\n\n**Peers from ready arrays in their own layout** (module still from lists):\n\n"
            + md_table(["algebra", "D", "module (lists)", "numpy", "speed-up", "clifford", "speed-up", "kingdon",
                        "speed-up"], rows_a)
        )

    def run_geometric_sweep(self):
        """Cl(3,0) across batch sizes, for the plot."""
        from gapeers import CliffordPeer, KingdonPeer

        self.log("geometric_product_n sweep Cl(3,0)")
        sig = [1, 1, 1]
        table = P.gp_table(sig)
        npc = P.NumpyClifford(sig)
        cf = CliffordPeer(sig)
        kd = KingdonPeer(sig)
        rows = []
        last_py = None
        for N in self.sizes([10, 100, 10**3, 10**4, 10**5]):
            a, b = self.inp.batch(N, 8), self.inp.batch(N, 8)
            if N == 10:
                cf.warm_up(*cf.arrays(a, b))
                kd.warm_up(*kd.arrays(a, b))
            mod = self.t(lambda: V.geometric_product_n(a, b, sig))
            py = None
            if last_py is None or last_py * N < self.skip_limit:
                py = self.t(lambda: P.py_geometric_product_n(a, b, table))
                last_py = py / N
            nbest, cbest = self.gp_best.get("Cl(3,0)", (None, None))
            npl = min(self.t(lambda: f(np.asarray(a), np.asarray(b)).tolist())
                      for k, f in npc.formulations().items() if nbest in (None, k))
            cfl = min(self.t(lambda: cf.from_lists(a, b, f)) for k, f in cf.paths.items() if cbest in (None, k))
            kdl = self.t(lambda: kd.from_lists(a, b))
            rows.append([pow10(N), fmt_t(mod), fmt_r(ratio(py, mod)), fmt_r(ratio(npl, mod)), fmt_r(ratio(cfl, mod)),
                         fmt_r(ratio(kdl, mod))])
            for impl, v in [("module", mod), ("pure Python", py), ("numpy (lists)", npl), ("clifford (lists)", cfl),
                            ("kingdon (lists)", kdl)]:
                self.add_plot("geometric_product_n Cl(3,0) (per pair)", impl, N, v / N if v else None)
        self.tables["geometric_product_n sweep"] = (
            "Cl(3,0), dense, every peer from the same lists (best path of each), speed-up = peer time / module "
            "time.\n\n" + md_table(["N", "module", "pure Python", "numpy", "clifford", "kingdon"], rows)
        )

    # ---------------- planar map ----------------

    def run_spectral_single(self):
        self.log("spectral_flow_step, spectral_flow_n")
        x, y = 0.5, 0.5
        mod = self.t(lambda: V.spectral_flow_step(x, y))
        py = self.t(lambda: P.py_spectral_flow_step(x, y))
        self.checks.compare("spectral_flow_step", "pure Python", V.spectral_flow_step(x, y),
                            P.py_spectral_flow_step(x, y), True)
        self.tables["spectral_flow_step"] = (
            "One step from (0.5, 0.5).  Pure Python: the guards, then `math.exp(x) - math.log(y)`.  numpy: not "
            "measured (a single scalar step is not vectorisable).\n\n"
            + md_table(["module", "pure Python", "speed-up"], [[fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod))]])
        )
        rows = []
        for n in self.sizes([10, 100, 10**3, 10**4, 10**5, 10**6]):
            m = self.t(lambda: V.spectral_flow_n(0.5, 0.5, n))
            p = self.t(lambda: P.py_spectral_flow_n(0.5, 0.5, n))
            fo = self.t(floor_trajectories(1, n))
            if n == 10**4 or (self.quick and n == 10**3):
                self.checks.compare(f"spectral_flow_n n={n}", "pure Python", V.spectral_flow_n(0.5, 0.5, n),
                                    P.py_spectral_flow_n(0.5, 0.5, n), True)
            rows.append([pow10(n), fmt_t(m), fmt_t(p), fmt_r(ratio(p, m)), fmt_t(fo), fmt_r(ratio(m, fo))])
            self.add_plot("spectral_flow_n (per step)", "module", n, m / n)
            self.add_plot("spectral_flow_n (per step)", "pure Python", n, p / n)
        self.tables["spectral_flow_n"] = (
            "One trajectory of n steps from (0.5, 0.5).  Pure Python: the step inlined in a loop that appends "
            "tuples.  numpy: not measured (the recurrence is sequential).  Object floor: the same list of tuples built "
            "from ready doubles.\n\n"
            + md_table(["n_steps", "module", "pure Python", "speed-up", "object floor", "module / floor"], rows)
        )

    def run_spectral_batch(self):
        self.log("spectral_flow_batch")
        steps = 10**3
        rows = []
        for N in [1, 10, 100, 10**3]:
            S = self.inp.starts(N)
            Sa = np.asarray(S)
            X, Y = Sa[:, 0].copy(), Sa[:, 1].copy()
            mod = self.t(lambda: V.spectral_flow_batch(S, steps))
            py = self.t(lambda: P.py_spectral_flow_batch(S, steps)) if N <= 10**3 else None
            npl = self.t(lambda: P.np_spectral_flow_batch_lists(S, steps))
            npa = self.t(lambda: P.np_spectral_flow_batch(X, Y, steps))
            fo = self.t(floor_trajectories(N, steps))
            if N == 10**3 or (self.quick and N == 100):
                out = V.spectral_flow_batch(S, steps)
                self.checks.compare(f"spectral_flow_batch {N}x{steps}", "pure Python", out,
                                    P.py_spectral_flow_batch(S, steps), True)
                self.checks.compare(f"spectral_flow_batch {N}x{steps}", "spectral_flow_n per start", out,
                                    [V.spectral_flow_n(x, y, steps) for x, y in S], True)
                one = V.spectral_flow_batch(S, 1)
                self.checks.compare(f"spectral_flow_batch {N}x1 (one step)", "numpy", one,
                                    P.np_spectral_flow_batch(X, Y, 1), False)
                full = np.asarray(out)
                npo = P.np_spectral_flow_batch(X, Y, steps)
                differ = np.any(full.view(np.int64) != npo.view(np.int64), axis=2)
                first = np.where(differ.any(axis=1), differ.argmax(axis=1), steps + 1)
                self.checks.note(
                    f"spectral_flow_batch {N}x{steps}", "numpy (whole trajectories)",
                    f"{int(np.sum(first <= steps))}/{N} trajectories leave the module's bits, median first step "
                    f"{int(np.median(first))}",
                    "differs after the first differing exp/log rounding (numpy's own exp/log are not the C "
                    "library's; the map amplifies a one-ulp change)")
            if N == 10**3:
                self.targets.append((
                    f"spectral_flow_batch {N} starts × {steps} steps at least 10× faster than pure Python",
                    py is not None and py / mod >= 10,
                    f"module {fmt_t(mod)}, pure Python {fmt_t(py)} (speed-up {fmt_r(ratio(py, mod))}); building "
                    f"the same lists of tuples from ready doubles alone takes {fmt_t(fo)}, so no kernel can "
                    f"exceed {fmt_r(ratio(py, fo))} with this result type",
                ))
                self.data["spectral_flow_batch_1000x1000"] = dict(module=mod, python=py, numpy_lists=npl,
                                                                 numpy_arrays=npa)
            rows.append([pow10(N), fmt_t(mod), fmt_t(py), fmt_r(ratio(py, mod)), fmt_t(npl), fmt_r(ratio(npl, mod)),
                         fmt_t(npa), fmt_r(ratio(npa, mod)), fmt_t(fo), fmt_r(ratio(mod, fo))])
            pts = N * (steps + 1)
            for impl, v in [("module", mod), ("pure Python", py), ("numpy (lists)", npl), ("numpy (arrays)", npa)]:
                self.add_plot(f"spectral_flow_batch, {steps} steps (per point)", impl, N, v / pts if v else None)
        self.tables["spectral_flow_batch"] = (
            f"N starts, {steps} steps each (N × {steps + 1} points out), starts x uniform in [-2, 2), y in "
            "[0.1, 3).  Pure Python: the spectral_flow_n loop per start; numpy (lists): all starts advanced "
            "together with `np.where`, `np.exp` and `np.log`, then the (N, steps+1, 2) array turned into lists "
            "of tuples; numpy (arrays): the array alone.  numpy's trajectories are not the same numbers (see "
            "Agreement).  Object floor: the same lists of tuples built from ready doubles "
            "(`list(zip(it, it))` over `array.tolist()`), i.e. the result's Python objects alone.\n\n"
            + md_table(["starts", "module", "pure Python", "speed-up", "numpy (lists)", "speed-up", "numpy (arrays)",
                        "speed-up", "object floor", "module / floor"], rows)
        )

    def run_constants(self):
        self.log("constants")
        rows = []
        for name, val in (("e8_min_norm_squared", 2.0), ("leech_min_norm_squared", 4.0)):
            f = getattr(V, name)
            pyf = (lambda: 2.0) if val == 2.0 else (lambda: 4.0)
            m = self.t(f)
            p = self.t(pyf)
            assert f() == val
            rows.append([name, fmt_t(m), fmt_t(p), fmt_r(ratio(p, m))])
        self.tables["constants"] = (
            "The two functions without arguments against a Python function returning the constant; this is the "
            "bare cost of a call into the module.\n\n" + md_table(["function", "module", "pure Python", "speed-up"],
                                                                   rows)
        )

    # ---------------- targets on the floor ----------------

    def floor_targets(self):
        rows = []
        for name in ("add_n", "e8_norms_squared_n", "octonion_norm_n"):
            for r in self.data.get(name, []):
                if r["N"] in (10**3, 10**5, 10**6):
                    q = r["module"] / r["floor"]
                    rows.append([name, pow10(r["N"]), fmt_t(r["module"]), fmt_t(r["floor"]), fmt_r(q),
                                 "met" if q <= 1.0 else "**not met**"])
                    self.targets.append((f"{name} N={pow10(r['N'])} at or below the conversion floor", q <= 1.0,
                                         f"module {fmt_t(r['module'])}, floor {fmt_t(r['floor'])} (module/floor "
                                         f"{fmt_r(q)})"))
        self.tables["floor"] = (
            "The floor is what the standard library needs to read the same inputs and write an output of the "
            "same size: `array.array('d', x)` for each input vector read plus `.tolist()` of a ready output "
            "(for batches, `list(map(array.array, repeat('d'), batch))`).\n\n"
            + md_table(["function", "N", "module", "floor", "module / floor", "target"], rows)
        )

    def octonion_target(self):
        for r in self.data.get("octonion_mul_n", []):
            if r["N"] == (10**4 if self.quick else 10**5):
                q = r["numpy_lists"][1] / r["module"]
                self.targets.append((
                    f"octonion_mul_n on {pow10(r['N'])} pairs at least 3× faster than the best numpy from the same lists",
                    q >= 3.0,
                    f"module {fmt_t(r['module'])}, numpy {r['numpy_lists'][0]} {fmt_t(r['numpy_lists'][1])} "
                    f"(speed-up {fmt_r(q)})",
                ))

    # ---------------- batch-call overhead ----------------

    def run_overhead(self):
        self.log("batch-call overhead")
        Ns = [0, 1, 2, 64, 10**4]
        big = 10**4
        oa, ob = self.inp.batch(big, 8), self.inp.batch(big, 8)
        ga, gb = self.inp.batch(big, 8), self.inp.batch(big, 8)
        fa, fb = self.inp.vec(big), self.inp.vec(big)
        S = self.inp.starts(big)
        steps = 16
        sig = [1, 1, 1]
        rows = []
        om, gpn, sfn, sfb, add = V.octonion_mul, V.geometric_product_n, V.spectral_flow_n, V.spectral_flow_batch, V.add_n
        clock = Clock(self.quick, min_total=0.05)
        for N in Ns:
            a, b, A2, B2, x, y, s = oa[:N], ob[:N], ga[:N], gb[:N], fa[:N], fb[:N], S[:N]
            pairs_g = [([p], [q]) for p, q in zip(A2, B2)]
            cases = [
                ("octonion_mul_n vs N × octonion_mul", lambda: V.octonion_mul_n(a, b),
                 lambda: [om(p, q) for p, q in zip(a, b)]),
                ("geometric_product_n Cl(3,0) vs N one-pair calls", lambda: gpn(A2, B2, sig),
                 lambda: [gpn(p, q, sig)[0] for p, q in pairs_g]),
                (f"spectral_flow_batch ({steps} steps) vs N × spectral_flow_n", lambda: sfb(s, steps),
                 lambda: [sfn(u, v, steps) for u, v in s]),
                ("add_n vs pure Python loop", lambda: add(x, y), lambda: [u + v for u, v in zip(x, y)]),
                ("octonion_norm_n vs pure Python loop", lambda: V.octonion_norm_n(a),
                 lambda: P.py_octonion_norm_n(a)),
            ]
            for label, fb_, fs in cases:
                tb, ts = clock.measure(fb_), clock.measure(fs)
                rows.append((label, N, tb, ts))
        base = self.t(V.e8_min_norm_squared)
        by_label = {}
        for label, N, tb, ts in rows:
            by_label.setdefault(label, []).append((N, tb, ts))
        out = []
        for label, lst in by_label.items():
            for N, tb, ts in lst:
                out.append([label, N, fmt_t(tb), fmt_t(ts), f"{tb / ts:.2f}" if ts > 0 else "—",
                            fmt_t(tb / N) if N else "—"])
        self.data["overhead"] = [dict(case=l, N=N, batch=tb, serial=ts) for l, N, tb, ts in rows]
        self.tables["overhead"] = (
            "Tiny batches: the batch call against the matching serial work on the same items (single-item calls "
            "of the module where one exists, else the pure Python loop).  Ratio = batch time / serial time "
            f"(below 1: the batch call is cheaper).  For scale, a call of `e8_min_norm_squared()` takes "
            f"{fmt_t(base)}.\n\n"
            + md_table(["case", "N", "batch call", "serial", "batch / serial", "batch per item"], out)
        )

    # ---------------- threads ----------------

    def run_threads(self):
        self.log("thread scaling (subprocesses)")
        res = {}
        for T in (1, 2):
            env = dict(os.environ, VYR_NUM_THREADS=str(T))
            cmd = [sys.executable, str(Path(__file__)), "--child-threads"] + (["--quick"] if self.quick else [])
            p = subprocess.run(cmd, env=env, capture_output=True, text=True, cwd="/tmp")
            if p.returncode != 0:
                raise RuntimeError(f"thread child failed:\n{p.stdout}\n{p.stderr}")
            res[T] = json.loads(p.stdout.strip().splitlines()[-1])
        rows = []
        for k in res[1]:
            t1, t2 = res[1][k], res[2][k]
            rows.append([k, fmt_t(t1), fmt_t(t2), f"{t1 / t2:.2f}"])
        self.data["threads"] = res
        self.tables["threads"] = (
            "Each pool size in its own process (`VYR_NUM_THREADS=1` and `=2`; the pool is sized once per "
            "process).  Speed-up = time with 1 worker / time with 2 workers.\n\n"
            + md_table(["work", "VYR_NUM_THREADS=1", "VYR_NUM_THREADS=2", "speed-up"], rows)
        )

    # ---------------- numpy arrays into add_n ----------------

    def run_add_arrays(self):
        self.log("add_n with numpy arrays")
        N = 10**5 if self.quick else 2 * 10**6
        A = self.inp.rng.uniform(-1, 1, N)
        B = self.inp.rng.uniform(-1, 1, N)
        a, b = A.tolist(), B.tolist()
        m_lists = self.t(lambda: V.add_n(a, b))
        m_arrays = self.t(lambda: V.add_n(A, B))
        m_tolist = self.t(lambda: V.add_n(A.tolist(), B.tolist()))
        np_arr = self.t(lambda: (A + B).tolist())
        fl_arr = self.t(floor_flat([A, B], N))
        self.checks.compare(f"add_n numpy arrays N={N}", "A + B", V.add_n(A, B), A + B, True)
        rows = [
            ["add_n(lists, lists)", fmt_t(m_lists), "1.00"],
            ["add_n(ndarray, ndarray)", fmt_t(m_arrays), f"{m_arrays / m_lists:.2f}"],
            ["add_n(A.tolist(), B.tolist())", fmt_t(m_tolist), f"{m_tolist / m_lists:.2f}"],
            ["(A + B).tolist() (numpy alone, same list out)", fmt_t(np_arr), f"{np_arr / m_lists:.2f}"],
            ["floor from arrays: array('d', A), array('d', B), .tolist()", fmt_t(fl_arr), f"{fl_arr / m_lists:.2f}"],
        ]
        self.data["add_arrays"] = dict(N=N, lists=m_lists, arrays=m_arrays, tolist=m_tolist, numpy=np_arr,
                                       floor_arrays=fl_arr)
        self.tables["add_arrays"] = (
            f"Two float64 arrays of {N} elements, and the same data as lists.  Time relative to add_n on "
            "lists.\n\n" + md_table(["call", "time", "relative to lists"], rows)
        )

    # ---------------- strided arrays into a batch ----------------

    def run_strided(self):
        self.log("octonion_norm_n on strided arrays")
        N = 10**5
        wide = self.inp.rng.uniform(-1, 1, (N, 16))
        tall = self.inp.rng.uniform(-1, 1, (2 * N, 8))
        C = np.ascontiguousarray(wide[:, :8])
        forms = [("C-contiguous", C), ("every other row: P[::2]", tall[::2]),
                 ("first 8 of 16 columns: P[:, :8]", wide[:, :8]),
                 ("every other column: P[:, ::2]", wide[:, ::2]),
                 ("Fortran-ordered: P.T.copy().T", C.T.copy().T), ("reversed rows: P[::-1]", C[::-1]),
                 ("reversed rows and columns: P[::-1, ::-1]", C[::-1, ::-1])]
        base = self.t(lambda: V.octonion_norm_n(C))
        rows, raw, worst = [], {}, 0.0
        for label, X in forms:
            m = base if X is C else self.t(lambda X=X: V.octonion_norm_n(X))
            if X is not C:
                self.checks.compare(f"octonion_norm_n, {label}", "the same rows as lists", V.octonion_norm_n(X),
                                    V.octonion_norm_n(X.tolist()), True)
            worst = max(worst, m / base)
            raw[label] = m
            rows.append([label, str(X.strides), fmt_t(m), f"{m / base:.2f}"])
        self.data["strided"] = dict(N=N, times=raw)
        self.tables["strided"] = (
            f"`octonion_norm_n` on float64 arrays of {pow10(N)} rows × 8 in several layouts, each read from its "
            "buffer (its results are checked against `.tolist()` of the same array under Agreement).\n\n"
            + md_table(["layout", "strides (bytes)", "time", "relative to C-contiguous"], rows)
        )
        self.targets.append((f"octonion_norm_n on strided {pow10(N)} × 8 arrays within 1.5× of C-contiguous",
                             worst <= 1.5, f"slowest layout {worst:.2f}× the C-contiguous {fmt_t(base)}"))

    # ---------------- report ----------------

    def machine(self):
        cpu = "unknown"
        try:
            for line in open("/proc/cpuinfo"):
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        except OSError:
            pass
        try:
            aff = len(os.sched_getaffinity(0))
        except AttributeError:
            aff = os.cpu_count()

        def ver(p):
            try:
                return metadata.version(p)
            except metadata.PackageNotFoundError:
                return "not installed"

        try:
            commit = subprocess.run(["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
                                    capture_output=True, text=True).stdout.strip()
            dirty = subprocess.run(["git", "-C", str(HERE.parent), "status", "--porcelain", "--", "src", "binding",
                                    "parallel", "CMakeLists.txt"], capture_output=True, text=True).stdout.strip()
        except OSError:
            commit, dirty = "?", ""
        info = {
            "CPU": cpu,
            "cores (os.cpu_count / affinity)": f"{os.cpu_count()} / {aff}",
            "OS": platform.platform(),
            # The interpreter by its version alone: where it is installed says
            # nothing about the figures, and names one machine's folders.
            "Python": f"{platform.python_implementation()} {platform.python_version()}",
            "vyr_spectral_core": f"{ver('vyr_spectral_core')}, source commit {commit}"
                                 + (" with uncommitted changes in the module's sources" if dirty else ""),
            "load average (1, 5, 15 min) at start / end": "{:.2f} {:.2f} {:.2f} / {:.2f} {:.2f} {:.2f}".format(
                *self.load_start, *os.getloadavg()),
            "pool size in this process": os.environ.get("VYR_NUM_THREADS", "default (VYR_NUM_THREADS unset)"),
            "numpy": ver("numpy"),
            "clifford": ver("clifford"),
            "kingdon": ver("kingdon"),
            "numba": ver("numba"),
            "matplotlib": ver("matplotlib"),
            "OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE": f"{os.environ.get('OPENBLAS_CORETYPE', 'unset')} / "
                                                     f"{os.environ.get('OPENBLAS_L2_SIZE', 'unset')}",
        }
        return info

    def write(self, elapsed):
        RESULTS.mkdir(exist_ok=True)
        info = self.machine()
        L = []
        L.append("# vyr_spectral_core benchmarks\n")
        L.append(f"Made by `bash bench/run.sh{' --quick' if self.quick else ''}` on "
                 f"{datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} in {elapsed / 60:.1f} minutes."
                 + ("  **Quick run: small sizes, not for conclusions.**" if self.quick else "") + "\n")
        L.append("## Machine and versions\n")
        L.append(md_table(["", ""], [[k, v] for k, v in info.items()]) + "\n")
        L.append("## How to read\n")
        L.append(
            "- Each time is the median over 5 runs (3 when a call takes over 0.7 s) of a timeit loop lasting at "
            f"least {self.clock.min_total} s; garbage collection is off while timing, as timeit does.\n"
            "- **speed-up** = peer time / module time: above 1 the module is faster.\n"
            "- **module / floor** = module time / floor time: at or below 1 the module costs no more than "
            "reading its inputs and writing its output with the standard library (`array.array` and `.tolist()`).\n"
            "- \"numpy (lists)\" starts from the same Python lists as the module and returns the same lists; "
            "\"numpy (arrays)\" starts from arrays already made and returns an array.\n"
            "- The module always starts from lists; the batch functions run on its worker pool (default size "
            "here: one worker per CPU).\n"
            "- `—`: not measured (too slow at that size, or not meaningful).\n"
        )
        L.append("## Targets\n")
        L.append(md_table(["target", "result", "numbers"],
                          [[t, "met" if ok else "**not met**", n] for t, ok, n in self.targets]) + "\n")
        if self.checks.flags:
            L.append("## Differences found\n")
            L.extend(f"- {f}" for f in self.checks.flags)
            L.append("")
        order = [("add_n", "add_n"), ("octonion_mul", "octonion_mul"), ("octonion_mul_n", "octonion_mul_n"),
                 ("octonion_norm_n", "octonion_norm_n"), ("e8_norms_squared_n", "e8_norms_squared_n"),
                 ("geometric_product_n", "geometric_product_n"),
                 ("geometric_product_n sweep", "geometric_product_n across batch sizes"),
                 ("spectral_flow_step", "spectral_flow_step"), ("spectral_flow_n", "spectral_flow_n"),
                 ("spectral_flow_batch", "spectral_flow_batch"),
                 ("constants", "e8_min_norm_squared and leech_min_norm_squared"),
                 ("floor", "Conversion floor"), ("overhead", "Batch-call overhead for tiny inputs"),
                 ("threads", "Pool size 1 against 2"), ("add_arrays", "numpy arrays as inputs to add_n"),
                 ("strided", "Strided numpy arrays as batches")]
        L.append("## Per function\n")
        for key, title in order:
            if key in self.tables:
                L.append(f"### {title}\n")
                L.append(self.tables[key] + "\n")
        if getattr(self, "gp_mapping", None):
            L.append("## Blade order of the Clifford peers\n")
            L.append("Found by multiplying each package's own basis vectors in ascending index order and reading "
                     "where the product lands and with which sign; the square of each basis vector was checked "
                     "against the signature.\n")
            L.append(md_table(["package", "algebra", "mapping onto ascending bitmask order"],
                              [list(m) for m in self.gp_mapping]) + "\n")
        L.append("## Agreement with the peers\n")
        L.append("Outputs compared on the benchmark inputs.  \"bits\" counts values that are identical bit for bit; "
                 "\"max diff\" is the largest absolute difference divided by the largest magnitude in the module's "
                 "output.  Peers that evaluate in another order (BLAS, pairwise or compensated sums, "
                 "`math.hypot`, `math.sumprod`) agree only up to rounding.\n")
        L.append(md_table(["output", "peer", "bits", "max diff", "verdict"], [list(r) for r in self.checks.rows])
                 + "\n")
        if self.one_off:
            L.append("## One-off costs kept out of the timings\n")
            L.extend(f"- {s}" for s in self.one_off)
            L.append("")
        L.append("## Plot\n")
        L.append("![time per element](time_per_element.png)\n")
        (RESULTS / "RESULTS.md").write_text("\n".join(L))
        embed_roofline(RESULTS / "RESULTS.md", RESULTS / "ROOFLINE.md")
        (RESULTS / "results.json").write_text(json.dumps(dict(machine=info, data=self.data, targets=self.targets),
                                                          indent=1, default=str))
        self.make_plot()

    def make_plot(self):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        panels = list(self.plot)
        if not panels:
            return
        cols = 3
        rows = (len(panels) + cols - 1) // cols
        fig, axes = plt.subplots(rows, cols, figsize=(5.2 * cols, 4.0 * rows), squeeze=False)
        styles = {"module": dict(color="C3", lw=2.5, marker="o"), "floor": dict(color="k", ls="--", marker="."),
                  "pure Python": dict(color="C0", marker="s"), "numpy (lists)": dict(color="C2", marker="^"),
                  "numpy (arrays)": dict(color="C2", ls=":", marker="v"),
                  "clifford (lists)": dict(color="C4", marker="D"), "kingdon (lists)": dict(color="C1", marker="P")}
        for ax, panel in zip(axes.ravel(), panels):
            for impl, pts in self.plot[panel].items():
                pts = sorted(pts)
                ax.loglog([p[0] for p in pts], [p[1] for p in pts], label=impl, **styles.get(impl, {}))
            ax.set_title(panel, fontsize=10)
            ax.set_xlabel("size")
            ax.set_ylabel("seconds per element")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
        for ax in axes.ravel()[len(panels):]:
            ax.axis("off")
        fig.suptitle("vyr_spectral_core: time per element against size (log-log), same inputs for every peer")
        fig.tight_layout()
        fig.savefig(RESULTS / "time_per_element.png", dpi=90)


def child_threads(quick):
    clock = Clock(quick)
    inp = Inputs(7)
    out = {}
    n = 10**3
    S = inp.starts(100 if quick else n)
    out[f"spectral_flow_batch {len(S)} starts × {n} steps"] = clock.measure(lambda: V.spectral_flow_batch(S, n))
    N = 10**4 if quick else 10**5
    a, b = inp.batch(N, 8), inp.batch(N, 8)
    out[f"octonion_mul_n {pow10(N)} pairs"] = clock.measure(lambda: V.octonion_mul_n(a, b))
    ga, gb = inp.batch(10**3 if quick else 10**4, 32), inp.batch(10**3 if quick else 10**4, 32)
    out[f"geometric_product_n Cl(4,1) {pow10(len(ga))} pairs"] = clock.measure(
        lambda: V.geometric_product_n(ga, gb, [1, 1, 1, 1, -1]))
    x, y = inp.vec(10**6), inp.vec(10**6)
    out["add_n 10^6"] = clock.measure(lambda: V.add_n(x, y))
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="small sizes, for working on the harness")
    ap.add_argument("--big", action="store_true", help="with --quick, still run the 8-vector algebra")
    ap.add_argument("--only", default="", help="comma-separated sections to run")
    ap.add_argument("--child-threads", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child_threads:
        child_threads(args.quick)
        return
    t0 = time.perf_counter()
    s = Suite(args)
    sections = [("add", s.run_add), ("octonion_mul", s.run_octonion_mul), ("octonion_mul_n", s.run_octonion_mul_n),
                ("octonion_norm", s.run_octonion_norm), ("e8", s.run_e8), ("spectral", s.run_spectral_single),
                ("spectral_batch", s.run_spectral_batch), ("constants", s.run_constants),
                ("overhead", s.run_overhead), ("threads", s.run_threads), ("add_arrays", s.run_add_arrays),
                ("strided", s.run_strided),
                ("geometric", s.run_geometric), ("geometric_sweep", s.run_geometric_sweep)]
    only = set(filter(None, args.only.split(",")))
    for name, f in sections:
        if not only or name in only:
            f()
    s.floor_targets()
    s.octonion_target()
    s.write(time.perf_counter() - t0)
    s.log(f"done in {time.perf_counter() - t0:.0f} s; wrote {RESULTS / 'RESULTS.md'}")
    for t, ok, n in s.targets:
        print(f"  {'met    ' if ok else 'NOT MET'}  {t}: {n}")
    for f in s.checks.flags:
        print("  DIFFERENCE:", f)


if __name__ == "__main__":
    main()
