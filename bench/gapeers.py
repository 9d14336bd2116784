"""clifford and kingdon set up for batched dense geometric products.

Each adapter learns its package's blade order and signs by multiplying the
package's own basis vectors in ascending index order, so that a multivector in
ascending bitmask order can be handed in and read back.  Tables, JIT
compilation and code generation happen once per algebra in the constructor (or
in warm_up) and are kept out of the timed region; their one-off cost is
recorded in ``setup_seconds``.
"""

from __future__ import annotations

import time

import numpy as np


def _describe_order(peer_index, signs, names):
    """Describe where each bitmask blade K sits in a peer's layout."""
    D = len(peer_index)
    identity = all(peer_index[K] == K for K in range(D))
    all_plus = all(s == 1.0 for s in signs)
    order = "same as ascending bitmask" if identity else "different from ascending bitmask (grade order)"
    sign = "all signs +" if all_plus else "some blades negated: " + ", ".join(
        names[K] for K in range(D) if signs[K] != 1.0
    )
    return f"{order}; {sign}"


class CliffordPeer:
    name = "clifford"

    def __init__(self, signature):
        import clifford as cf
        import numba

        t0 = time.perf_counter()
        self.signature = list(signature)
        self.layout, _ = cf.Cl(sig=list(signature))
        layout = self.layout
        n = len(signature)
        self.D = D = layout.gaDims
        assert D == 1 << n
        vecs = layout.basis_vectors_lst  # e1..en, same order as the signature
        # bitmask K -> (peer index, sign)
        idx = np.empty(D, dtype=np.intp)
        sign = np.empty(D)
        for K in range(D):
            mv = layout.scalar * 1.0
            for m in range(n):
                if K >> m & 1:
                    mv = mv * vecs[m]
            nz = np.flatnonzero(mv.value)
            assert len(nz) == 1, (K, mv.value)
            idx[K] = nz[0]
            sign[K] = mv.value[nz[0]]
        for m in range(n):  # the square of basis vector m is signature[m]
            assert (vecs[m] * vecs[m]).value[0] == signature[m]
        self.idx, self.sign = idx, sign
        self.all_plus = bool(np.all(sign == 1.0))
        self.inv = np.argsort(idx)  # peer index -> bitmask
        names = ["".join(str(m + 1) for m in range(n) if K >> m & 1) or "1" for K in range(D)]
        self.mapping_text = (
            "blade tuples " + ", ".join(
                f"{i}:{'e' + ''.join(map(str, t)) if t else '1'}" for i, t in enumerate(layout.bladeTupList[: min(D, 16)])
            ) + (", ..." if D > 16 else "")
            + "; bitmask K holds the blade whose tuple lists (m+1) for each set bit m; "
            + _describe_order(idx, sign, names)
        )
        gmt_func = layout.gmt_func

        @numba.njit(cache=False)
        def loop(f, A, B, out):
            for i in range(A.shape[0]):
                out[i] = f(A[i], B[i])
            return out

        self._loop = loop
        self._gmt_func = gmt_func
        self.G = layout.gmt.todense().reshape(D, D * D) if D <= 32 else None
        self.setup_seconds = time.perf_counter() - t0
        self.paths = {"numba loop over layout.gmt_func": self.numba_loop}
        if self.G is not None:
            self.paths["dense layout.gmt with matmul"] = self.dense_matmul
        self.best = None

    # arrays in the peer's own layout, shape (N, D)
    def numba_loop(self, A, B):
        return self._loop(self._gmt_func, A, B, np.empty_like(A))

    def dense_matmul(self, A, B):
        N = A.shape[0]
        return np.einsum("njk,nk->nj", (A @ self.G).reshape(N, self.D, self.D), B)

    def warm_up(self, A, B):
        t0 = time.perf_counter()
        for f in self.paths.values():
            f(A[:2], B[:2])
        self.setup_seconds += time.perf_counter() - t0

    def to_peer(self, lst):
        X = np.asarray(lst, dtype=float)
        out = np.empty_like(X)
        out[:, self.idx] = X if self.all_plus else X * self.sign
        return out

    def from_peer(self, Y):
        Z = Y[:, self.idx]
        if not self.all_plus:
            Z *= self.sign
        return Z

    def arrays(self, a, b):
        return self.to_peer(a), self.to_peer(b)

    def from_lists(self, a, b, path=None):
        f = path or self.best
        return self.from_peer(f(self.to_peer(a), self.to_peer(b))).tolist()


class KingdonPeer:
    name = "kingdon"

    def __init__(self, signature):
        from kingdon import Algebra

        t0 = time.perf_counter()
        n = len(signature)
        self.D = D = 1 << n
        self.signature = list(signature)
        # kingdon switches algebras of more than 6 vectors to a per-object
        # path that takes no arrays of coefficients; large=False keeps the
        # generated, batched code (cse=False makes generating it quicker).
        kw = {"large": False, "cse": False} if n > 6 else {}
        self.alg = alg = Algebra(signature=list(signature), **kw)
        self.options = kw
        vecs = [alg.multivector(values=[1.0], keys=(1 << m,)) for m in range(n)]
        key_of = np.empty(D, dtype=np.intp)
        sign = np.empty(D)
        for K in range(D):
            mv = alg.multivector(values=[1.0], keys=(0,))
            for m in range(n):
                if K >> m & 1:
                    mv = mv * vecs[m]
            ks, vs = mv.keys(), list(mv.values())
            nz = [(k, v) for k, v in zip(ks, vs) if v != 0]
            assert len(nz) == 1, (K, ks, vs)
            key_of[K], sign[K] = nz[0]
        for m in range(n):
            sq = vecs[m] * vecs[m]
            val = dict(zip(sq.keys(), sq.values())).get(0, 0.0)
            assert val == signature[m], (m, val)
        self.key_of, self.sign = key_of, sign
        self.all_plus = bool(np.all(sign == 1.0))
        self.identity = bool(np.all(key_of == np.arange(D)))
        names = [alg.bin2canon.get(int(key_of[K]), "?") for K in range(D)]
        self.mapping_text = (
            f"binary keys; key K is named {', '.join(names[: min(D, 16)])}{', ...' if D > 16 else ''}; "
            + _describe_order(key_of, sign, names)
            + "; input handed in with keys in ascending order, output read back by its keys"
        )
        self.keys = tuple(int(k) for k in key_of)
        self.setup_seconds = time.perf_counter() - t0
        self.paths = {"batched multivectors (values shape (D, N))": self.batched}
        self.best = self.batched

    # arrays of shape (D, N), rows in self.keys order; returns (keys, values)
    def batched(self, At, Bt):
        x = self.alg.multivector(values=At, keys=self.keys)
        y = self.alg.multivector(values=Bt, keys=self.keys)
        z = x * y
        return z.keys(), z.values()

    def warm_up(self, At, Bt):
        t0 = time.perf_counter()
        self.batched(At[:, :2].copy(), Bt[:, :2].copy())
        self.setup_seconds += time.perf_counter() - t0

    def to_peer(self, lst):
        X = np.asarray(lst, dtype=float)
        if not self.all_plus:
            X = X * self.sign
        return np.ascontiguousarray(X.T)

    def arrays(self, a, b):
        return self.to_peer(a), self.to_peer(b)

    def from_peer(self, keys, values, N):
        out = np.zeros((N, self.D))
        # key -> bitmask position
        pos = {int(k): K for K, k in enumerate(self.key_of)}
        cols = [pos[int(k)] for k in keys]
        out[:, cols] = np.asarray(values).T
        if not self.all_plus:
            out *= self.sign
        return out

    def from_lists(self, a, b, path=None):
        At, Bt = self.to_peer(a), self.to_peer(b)
        keys, values = self.batched(At, Bt)
        return self.from_peer(keys, values, At.shape[1]).tolist()
