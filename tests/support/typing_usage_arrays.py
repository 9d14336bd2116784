"""Typed use of vyr_spectral_arrays; `mypy --strict` must accept this file.

As for the list module's usage file: `main` runs as a plain script, and each
call in `rejected` is refused at run time and carries a targeted ignore.
"""

from __future__ import annotations

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import vyr_spectral_arrays as va


def main() -> None:
    x = np.linspace(0.0, 1.0, 16).reshape(2, 8)
    ints = np.arange(8, dtype=np.int32)
    out = np.empty((2, 8))
    assert_type(va.add(x, 1), NDArray[np.float64])
    assert_type(va.add([1.0, 2.0], np.float32(3), out=out[0, :2]), NDArray[np.float64])
    assert_type(va.octonion_mul(x, ints, out=out), NDArray[np.float64])
    assert_type(va.octonion_norm([[3, 4]]), NDArray[np.float64])
    assert_type(va.norms_squared(x.astype(np.float16)), NDArray[np.float64])
    assert_type(va.add(x, 1.0, out=(out,), where=x > 0.5), NDArray[np.float64])
    assert_type(va.add.accumulate(x), NDArray[np.float64])
    assert va.octonion_mul.signature == "(8),(8)->(8)"
    cl3 = va.algebra([1, 1, 1])
    assert_type(cl3, va.Algebra)
    assert_type(cl3.geometric_product(x, x, axes=[(-1,), (-1,), (-1,)]), NDArray[np.float64])
    assert_type(cl3.signature, tuple[int, ...])
    assert cl3.dimension == 8 and cl3.blades[3] == "e01"
    assert_type(va.geometric_product(x, x, [1, 1, -1]), NDArray[np.float64])
    assert_type(va.geometric_product(x, x, np.array([1, 0, -1], dtype=np.int8)), NDArray[np.float64])
    assert_type(va.sandwich(x, x, [1, 1, 1], out=x), NDArray[np.float64])
    assert_type(va.spectral_flow_step([[0.0, 1.0]]), NDArray[np.float64])
    trajectories = va.spectral_flow(x.reshape(-1, 2), np.int64(3))
    assert_type(trajectories, NDArray[np.float64])
    assert trajectories.shape == (8, 4, 2)
    assert_type(va.__all__, list[str])


def rejected() -> None:
    """Calls the module refuses at run time, refused by the checker too (never run)."""
    x = np.zeros((2, 8))
    va.add([1j], x)  # type: ignore[list-item]
    va.add(x, x, out=[0.0])  # type: ignore[arg-type]
    va.octonion_norm(x, x, x)  # type: ignore[call-arg]
    va.geometric_product(x, x, [1.5])  # type: ignore[list-item]
    va.geometric_product(x, x, "++")  # type: ignore[arg-type]
    va.spectral_flow(x, 2.5)  # type: ignore[arg-type]
    va.add(x)  # type: ignore[call-arg]
    va.algebra(3)  # type: ignore[arg-type]
    va.octonion_mul(x, x, x, x)  # type: ignore[call-arg]
    va.add(x, {1: 2.0})  # type: ignore[arg-type]


if __name__ == "__main__":
    main()
    print("typing usage ran")
