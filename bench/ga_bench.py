"""The operations of an algebra object against kingdon's, on every kernel
path this processor has: 10^4 items of Cl(3,0) and of 3D PGA, ready arrays
on both sides (kingdon's batched multivectors hold one array per blade).

    python bench/ga_bench.py [--items 10000] [--repeats 30]

Each kernel path runs in a child interpreter (VYR_KERNEL_PATH); kingdon is
timed in the same child.  Timings depend on the machine and its load; they
are not tests.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ufunc_bench import BEST, fmt, paths, processor  # noqa: E402

CHILD = BEST.replace("{", "{{").replace("}", "}}") + """
import kingdon

N, R = {items}, {repeats}
rng = np.random.default_rng(3)
rows = {{}}
for name, signature, kingdon_args in (("Cl(3,0)", [1, 1, 1], (3, 0, 0)),
                                      ("PGA", [0, 1, 1, 1], (3, 0, 1))):
    ours = va.algebra(signature)
    theirs = kingdon.Algebra(*kingdon_args)
    d = ours.dimension
    keys = [int(k) for k in theirs.indices_for_grades(tuple(range(len(signature) + 1)))]
    a, b = rng.normal(size=(N, d)), rng.normal(size=(N, d))
    ka = theirs.multivector(values=a[:, keys].T.copy(), keys=tuple(keys))
    kb = theirs.multivector(values=b[:, keys].T.copy(), keys=tuple(keys))
    bivector_keys = [k for k in keys if bin(k).count("1") == 2]
    bv = np.zeros((N, d)); bv[:, bivector_keys] = rng.normal(size=(N, len(bivector_keys))) * 0.3
    kbv = theirs.multivector(values=bv[:, bivector_keys].T.copy(), keys=tuple(bivector_keys))
    rotors = ours.exp(bv)
    try:  # kingdon's exp takes batches only where it can decide B² once
        kr = kbv.exp()
    except Exception:
        kr = theirs.multivector(values=rotors[:, [0] + bivector_keys].T.copy(),
                                keys=tuple([0] + bivector_keys))
    cases = {{
        "geometric_product": (lambda: ours.geometric_product(a, b), lambda: ka * kb),
        "outer_product": (lambda: ours.outer_product(a, b), lambda: ka ^ kb),
        "left_contraction": (lambda: ours.left_contraction(a, b), lambda: ka.lc(kb)),
        "reverse": (lambda: ours.reverse(a), lambda: ~ka),
        "dual": (lambda: ours.dual(a), lambda: ka.hodge() if hasattr(ka, "hodge") else ka.dual()),
        "inverse of rotors": (lambda: ours.inverse(rotors), lambda: kr.inv()),
        "sandwich of rotors and multivectors": (lambda: ours.sandwich(rotors, a),
                                                lambda: kr >> ka),
        "exp of bivectors": (lambda: ours.exp(bv), lambda: kbv.exp()),
    }}
    for case, (mine, peer) in cases.items():
        try:
            peer_time = best(peer, R) if peer is not None else None
        except Exception:
            peer_time = None
        rows[f"{{name}} {{case}}"] = (best(mine, R), peer_time)
print(json.dumps({{"path": va.kernel_path, "rows": rows}}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--items", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=30)
    args = parser.parse_args()
    print(f"{processor()}, Python {platform.python_version()}, {args.items} items\n")
    print("| path | operation | ours | kingdon | kingdon / ours |")
    print("|---|---|---|---|---|")
    for path in paths():
        if path == "portable":
            continue
        env = dict(os.environ, VYR_KERNEL_PATH=path)
        code = textwrap.dedent(CHILD.format(items=args.items, repeats=args.repeats))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=True)
        result = json.loads(out.stdout.splitlines()[-1])
        for case, (ours, theirs) in result["rows"].items():
            peer = fmt(theirs) if theirs is not None else "—"
            ratio = f"{theirs / ours:.2f}×" if theirs is not None else "—"
            print(f"| {result['path']} | {case} | {fmt(ours)} | {peer} | {ratio} |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
