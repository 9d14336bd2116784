"""Typed use of vyr_spectral_core; `mypy --strict` must accept this file.

It also runs as a plain script: every call in `main` is one the module takes at
run time, so the annotations promise nothing that the module refuses (beyond
the number of dimensions of a buffer, which no annotation here can state). The calls
in `rejected` are wrong on purpose; each carries a targeted ignore, which
`--strict` (through warn_unused_ignores) turns into an error should the call
ever stop being rejected.
"""

from __future__ import annotations

from array import array
from fractions import Fraction
from typing import assert_type

import numpy as np

import vyr_spectral_core as vsc
from vyr_runtime import PanicException
from vyr_spectral_core import (
    add_n,
    e8_min_norm_squared,
    e8_norms_squared_n,
    geometric_product_n,
    leech_min_norm_squared,
    octonion_mul,
    octonion_mul_n,
    octonion_norm_n,
    spectral_flow_batch,
    spectral_flow_n,
    spectral_flow_step,
)


class Index:
    """An integer-like object: accepted wherever an index or a number is."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def main() -> None:
    e1 = [0.0, 1.0, 0, 0, 0, 0, 0, 0]
    e2 = (0, 0, 1.0, 0, 0, 0, 0, 0)
    assert_type(octonion_mul(e1, e2), list[float])
    assert_type(octonion_mul_n([e1, e2], (e2, e1)), list[list[float]])
    assert_type(octonion_norm_n([[3, 4], range(3), b"\x01\x02"]), list[float])

    assert_type(spectral_flow_step(0.5, True), tuple[float, float])
    assert_type(spectral_flow_step(Fraction(1, 2), Index(1)), tuple[float, float])
    trajectory = spectral_flow_n(x0=0.0, y0=1.0, n_steps=Index(4))
    assert_type(trajectory, list[tuple[float, float]])
    x, y = trajectory[-1]
    assert_type(x + y, float)
    batch = spectral_flow_batch([(0.0, 1.0), (1, Fraction(1, 3))], 3)
    assert_type(batch, list[list[tuple[float, float]]])

    assert_type(e8_norms_squared_n([[1.0] * 8, [2] * 24, array("d", [0.5])]), list[float])
    assert_type(e8_min_norm_squared(), float)
    assert_type(leech_min_norm_squared(), float)

    vectors = [[0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0]]
    assert_type(geometric_product_n(vectors, vectors[::-1], [1, -1]), list[list[float]])
    assert_type(geometric_product_n(vectors, vectors, (Index(1), True)), list[list[float]])

    assert_type(add_n([1, 2, 3], memoryview(b"\x0a\x14")), list[float])
    assert_type(vsc.add_n(a=[0.5], b=[0.25]), list[float])
    assert_type(vsc.__all__, list[str])

    # numpy arrays are buffers: one-dimensional as vectors, two-dimensional as
    # batches; their scalars are numbers.
    rows = np.arange(16.0).reshape(2, 8)
    assert_type(add_n(np.ones(3), np.arange(3, dtype=np.int32)), list[float])
    assert_type(octonion_mul(rows[0], bytearray(8)), list[float])
    assert_type(octonion_mul_n(rows, [rows[1], e1]), list[list[float]])
    assert_type(octonion_norm_n(rows), list[float])
    assert_type(e8_norms_squared_n([np.ones(8, dtype=np.float32)]), list[float])
    signs = np.array([1, -1, 1], dtype=np.int8)
    assert_type(geometric_product_n(np.eye(8), np.eye(8), signs), list[list[float]])
    assert_type(spectral_flow_step(np.float64(0.5), np.int64(1)), tuple[float, float])
    assert_type(spectral_flow_n(0.0, 1.0, np.uint8(2)), list[tuple[float, float]])

    # The fault exception, imported and caught by its name.
    try:
        octonion_mul(e1, [1.0])
    except PanicException as fault:
        assert_type(fault, PanicException)
        assert fault.args == ("index out of bounds: the len is 1 but the index is 1",)
    else:
        raise AssertionError("the short factor must fault")


def rejected() -> None:
    """Calls the module refuses at run time, and a fault taken for an ordinary
    Exception, refused by the checker too (never run)."""
    add_n("abc", [1.0])  # type: ignore[arg-type]
    add_n([None], [1.0])  # type: ignore[list-item]
    spectral_flow_step("0.5", 1.0)  # type: ignore[arg-type]
    spectral_flow_n(0.0, 1.0, 2.5)  # type: ignore[arg-type]
    spectral_flow_batch([[0.0, 1.0]], 3)  # type: ignore[list-item]
    spectral_flow_batch([(0.0, 1.0, 2.0)], 3)  # type: ignore[list-item]
    geometric_product_n([[1.0]], [[1.0]], [1.5])  # type: ignore[list-item]
    geometric_product_n([[1.0]], [[1.0]], "++")  # type: ignore[arg-type]
    octonion_mul_n([1.0], [2.0])  # type: ignore[list-item]
    octonion_norm_n({0: [1.0]})  # type: ignore[arg-type]
    e8_min_norm_squared(1)  # type: ignore[call-arg]
    add_n([1.0], [2.0], c=3)  # type: ignore[call-arg]
    octonion_norm_n([np.ones(8), "abc"])  # type: ignore[list-item]
    spectral_flow_batch(np.zeros((1, 2)), 3)  # type: ignore[arg-type]
    geometric_product_n([[1.0]], [[1.0]], [np.float64(1.0)])  # type: ignore[list-item]
    ordinary: Exception = PanicException("derives from BaseException")  # type: ignore[assignment]


if __name__ == "__main__":
    main()
    print("typing usage ran")
