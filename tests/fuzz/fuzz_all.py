"""Fuzz target: random argument objects for all eleven list functions and,
where numpy is installed, the seven array functions.

Run with atheris, for example:

    python tests/fuzz/fuzz_all.py -max_total_time=60 -rss_limit_mb=4096

Without atheris, ``python tests/fuzz/fuzz_all.py --random N`` runs N inputs
(``--random-seconds S``: for S seconds) drawn from a seeded pseudo-random
source instead.

Every call must either return a result of the right shape or raise one of
TypeError, ValueError, OverflowError, MemoryError or the list module's fault
exception (vyr_runtime.PanicException); an array function raises no fault
exception at all.  Anything else (another exception,
a crash, a hang, a sanitizer report) is a finding.

Sizes are capped so that the fuzzer cannot allocate the machine away; the few
huge values that must fail fast (before allocating) are generated explicitly.
"""

import inspect
import os
import random
import sys
import time

import vyr_spectral_core as vsc
from vyr_runtime import PanicException

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from protocols import FailingIter, Num, Raising, Seq  # noqa: E402

try:
    import numpy as np

    import vyr_spectral_arrays as va
except ImportError:  # the list functions alone
    np = va = None

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("VYR_UNDER_ASAN"))

MAX_SIGNATURE = 12  # D = 4096 components per product at most
MAX_STEPS = 10_000
MAX_LEN = 40
MAX_DEPTH = 3

ACCEPTED = (TypeError, ValueError, OverflowError, MemoryError)

STATS = {"calls": 0, "ok": 0}


class Source:
    """Draws values from the fuzzer's bytes (atheris' FuzzedDataProvider or random)."""

    def __init__(self, data=None, rng=None):
        if data is not None:
            import atheris

            self.fdp = atheris.FuzzedDataProvider(data)
            self.rng = None
        else:
            self.fdp = None
            self.rng = rng

    def int_in(self, lo, hi):
        if self.fdp is not None:
            return self.fdp.ConsumeIntInRange(lo, hi)
        return self.rng.randint(lo, hi)

    def pick(self, options):
        return options[self.int_in(0, len(options) - 1)]

    def float(self):
        if self.fdp is not None:
            return self.fdp.ConsumeRegularFloat() if self.int_in(0, 3) else self.fdp.ConsumeFloat()
        return self.pick(SPECIAL_FLOATS) if self.int_in(0, 3) == 0 else self.rng.uniform(-1e3, 1e3)

    def bytes(self, n):
        if self.fdp is not None:
            return self.fdp.ConsumeBytes(n)
        return bytes(self.rng.getrandbits(8) for _ in range(n))

    def text(self, n):
        if self.fdp is not None:
            return self.fdp.ConsumeUnicodeNoSurrogates(n)
        return "".join(chr(self.rng.randint(32, 0x2FFF)) for _ in range(n))


SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 5e-324, -5e-324, 1e-300, 709.78, 709.79, 710.0,
    1e308, -1e308, float("inf"), float("-inf"), float("nan"), -float("nan"),
]

SPECIAL_INTS = [
    0, 1, -1, 2, 7, 8, 9, 127, 128, -128, -129, 255, 2**31, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
    -(2**63), 2**58, 2**59 - 1, 2**60, 10**30, -(10**30),
]


# ---------------------------------------------------------------------------
# Hostile helper types
# ---------------------------------------------------------------------------


def hostile_number(value, mode, target=None):
    """A number through __float__ / __index__ that may raise, clear ``target`` or call the module."""
    if mode == "raise_type":
        return Raising(TypeError)
    if mode == "raise_value":
        return Raising(ValueError)
    actions = {
        "clear": getattr(target, "clear", None),
        "callback": lambda: (vsc.add_n([1.0, 2.0], [3.0, 4.0]), vsc.e8_norms_squared_n([[1.0]])),
        "callback_fault": lambda: vsc.octonion_mul([1.0], [1.0] * 8),
    }
    return Num(value, actions.get(mode))


def hostile_sequence(items, length, fail_at=None):
    """A sequence whose __len__ claims ``length`` (or raises it), iterated by
    __getitem__, or by an iterator that raises ValueError at ``fail_at``."""
    claim = {"len_exc": length} if isinstance(length, BaseException) else {"length": length}
    if fail_at is None:
        return Seq(items, **claim)
    return FailingIter(items, fail_at, ValueError, **claim)


# ---------------------------------------------------------------------------
# Generators
# ---------------------------------------------------------------------------


def gen_number(src, depth=0, target=None):
    kind = src.int_in(0, 11)
    if kind <= 4:
        return src.float()
    if kind == 5:
        return src.pick(SPECIAL_INTS) if src.int_in(0, 1) else src.int_in(-300, 300)
    if kind == 6:
        return bool(src.int_in(0, 1))
    if kind == 7:
        mode = src.pick(["plain", "plain", "raise_type", "raise_value", "clear", "callback", "callback_fault"])
        value = src.float() if src.int_in(0, 1) else src.int_in(-200, 200)
        return hostile_number(value, mode, target)
    if kind == 8:
        return src.pick([None, "1.0", "", b"\x01", 1j, object()])
    if kind == 9:
        return src.pick(SPECIAL_FLOATS)
    if kind == 10 and depth < MAX_DEPTH:
        return gen_sequence(src, lambda: gen_number(src, depth + 1), depth + 1)
    return src.int_in(-5, 5)


def gen_length_claim(src, real):
    kind = src.int_in(0, 9)
    if kind <= 5:
        return real
    if kind == 6:
        return src.int_in(0, 1000)
    if kind == 7:
        # beyond the reservation bound for every element size above one byte
        return src.pick([2**61, 2**62, 2**63 - 1])
    if kind == 8:
        return src.pick([ValueError("len"), TypeError("len")])
    if UNDER_ASAN:
        return src.int_in(0, 10**5)
    # large but allowed: the reservation fails and is ignored
    return src.pick([2**40, 2**58, 2**60 - 1])


def gen_sequence(src, gen_item, depth=0):
    n = src.int_in(0, MAX_LEN if depth == 0 else 12)
    shape = src.int_in(0, 7)
    if shape == 4:
        # a list whose items may clear it during conversion
        lst = []
        for _ in range(n):
            item = gen_item()
            if src.int_in(0, 7) == 0:
                item = hostile_number(1.25, "clear", lst)
            lst.append(item)
        return lst
    items = [gen_item() for _ in range(n)]
    if shape <= 1:
        return items
    if shape == 2:
        return tuple(items)
    if shape == 3:
        return hostile_sequence(items, gen_length_claim(src, n))
    if shape == 5:
        return hostile_sequence(items, gen_length_claim(src, n), src.int_in(0, n + 3))
    if shape == 6:
        return src.pick([range(src.int_in(0, 20)), bytes(src.bytes(src.int_in(0, 20))), bytearray(b"\x02\x03")])
    return src.pick([None, 3, 2.5, "abc", {1: 2}, {1.0}, (x for x in [1.0])])


def gen_vector(src, dim=None):
    if dim is not None and src.int_in(0, 3):
        size = dim + src.int_in(-1, 1) * src.int_in(0, 1)
        if dim > 256:
            # Large multivectors stay sparse: zero components cost nothing.
            vec = [0.0] * size
            for _ in range(src.int_in(0, 4)):
                if size:
                    vec[src.int_in(0, size - 1)] = src.float()
            return vec
        return [src.float() for _ in range(size)]
    return gen_sequence(src, lambda: gen_number(src))


def gen_batch(src, dim=None):
    return gen_sequence(src, lambda: gen_vector(src, dim))


def gen_pair(src):
    kind = src.int_in(0, 9)
    if kind <= 6:
        return (gen_number(src), gen_number(src))
    if kind == 7:
        return tuple(gen_number(src) for _ in range(src.int_in(0, 4)))
    return [src.float(), src.float()]


def gen_steps(src):
    kind = src.int_in(0, 9)
    if kind <= 5:
        return src.int_in(0, 30)
    if kind == 6:
        return src.int_in(0, MAX_STEPS)
    if kind == 7:
        # must fail before allocating anything
        return src.pick([2**59 - 1, 2**60, 2**64 - 1, -1, 2**64, 2.0, "3", None])
    if kind == 8 and not UNDER_ASAN:
        return 2**58  # within the bound, but no machine has 4 EiB: MemoryError
    return hostile_number(src.int_in(0, 20), src.pick(["plain", "raise_type", "callback"]))


def gen_signature(src):
    kind = src.int_in(0, 9)
    if kind <= 6:
        n = src.int_in(0, min(MAX_SIGNATURE, 6 if kind <= 4 else MAX_SIGNATURE))
        return [src.pick([1, -1, 0, 2, -128, 127]) for _ in range(n)]
    if kind == 7:
        return [1] * src.int_in(60, 64)  # capacity overflow with non-empty batches
    return gen_sequence(src, lambda: gen_number(src))


def dims_for(signature):
    try:
        return 2 ** len(signature) if len(signature) <= MAX_SIGNATURE else 1
    except Exception:  # noqa: BLE001
        return None


def gen_call(src):
    name = src.pick(vsc.__all__)
    f = getattr(vsc, name)
    if name == "octonion_mul":
        args = [gen_vector(src, 8), gen_vector(src, 8)]
    elif name == "octonion_mul_n":
        args = [gen_batch(src, 8), gen_batch(src, 8)]
    elif name in ("octonion_norm_n", "e8_norms_squared_n"):
        args = [gen_batch(src, src.pick([8, 24, 3]))]
    elif name == "spectral_flow_step":
        args = [gen_number(src), gen_number(src)]
    elif name == "spectral_flow_n":
        args = [gen_number(src), gen_number(src), gen_steps(src)]
    elif name == "spectral_flow_batch":
        args = [gen_sequence(src, lambda: gen_pair(src)), gen_steps(src)]
    elif name == "geometric_product_n":
        sig = gen_signature(src)
        d = dims_for(sig)
        a, b = gen_batch(src, d), gen_batch(src, d)
        if isinstance(sig, list) and len(sig) >= 60 and src.int_in(0, 1):
            a, b = [[1.0]], [[1.0]]
        args = [a, b, sig]
    elif name == "add_n":
        args = [gen_vector(src), gen_vector(src)]
    else:
        args = []
    # Occasionally: wrong arity or keywords.
    kind = src.int_in(0, 15)
    kwargs = {}
    if kind == 0:
        args = args + [None]
    elif kind == 1 and args:
        args = args[:-1]
    elif kind == 2 and args:
        params = f.__text_signature__.strip("()").split(", ")
        kwargs = dict(zip(params, args))
        args = []
    elif kind == 3:
        kwargs = {src.pick(["a", "b", "x", "zz", "n_steps", "\udcff"]): 1.0}
    return name, f, args, kwargs


# ---------------------------------------------------------------------------
# The array functions
# ---------------------------------------------------------------------------

ARRAY_DTYPES = ["f8", ">f8", "f4", "f2", "i8", "u1", "?", "g", "c16", "U3", "O", "M8[s]"]


def gen_array(src, last=None):
    """An array of a random dtype, shape and layout, or an array-like."""
    kind = src.int_in(0, 9)
    if kind == 0:
        return gen_sequence(src, lambda: gen_number(src))
    if kind == 1:
        return src.pick([src.float(), None, "x", 1j, [[1.0], [1.0, 2.0]]])
    axes = src.int_in(0, 4)
    shape = [src.pick([0, 1, 1, 2, 3, 5]) for _ in range(axes)]
    if last is not None and axes and src.int_in(0, 4):
        shape[-1] = last
    dtype = src.pick(ARRAY_DTYPES) if src.int_in(0, 2) == 0 else "f8"
    size = int(np.prod(shape, dtype=np.int64))
    values = np.array([src.float() for _ in range(min(size, 4096))] + [0.0] * max(size - 4096, 0))
    with np.errstate(all="ignore"):
        x = values.reshape(shape).astype(dtype) if dtype not in ("U3", "O", "M8[s]") else \
            np.full(shape, src.pick(["1.5", "x", None, 2, 3j]), dtype=dtype if dtype != "M8[s]" else "O")
    layout = src.int_in(0, 5)
    if layout == 1 and x.ndim:
        x = x[..., ::-1]
    elif layout == 2 and x.ndim:
        x = np.asfortranarray(x)
    elif layout == 3 and x.ndim and x.shape[0]:
        x = np.broadcast_to(x[:1], (src.pick([0, 1, 4]),) + x.shape[1:])
    elif layout == 4:
        x = x[None]
    return x


def gen_out(src, inputs):
    kind = src.int_in(0, 5)
    if kind <= 2:
        return None
    base = src.pick([a for a in inputs if isinstance(a, np.ndarray)] or [np.zeros(3)])
    if kind == 3:
        return base  # an input as the out
    if kind == 4 and base.size:
        return base.reshape(-1)[::-1].reshape(base.shape) if base.flags.c_contiguous else base[::-1]
    return src.pick([np.zeros((2, 8)), np.zeros((3,), dtype="f4"), [0.0], np.zeros(0)])


# The array functions that take arrays (the module also has algebra objects).
ARRAY_FUNCTIONS = ["add", "octonion_mul", "octonion_norm", "norms_squared", "geometric_product",
                   "sandwich", "spectral_flow_step", "spectral_flow"]


def gen_array_call(src):
    name = src.pick(ARRAY_FUNCTIONS)
    f = getattr(va, name)
    if name in ("add", "octonion_mul"):
        last = 8 if name == "octonion_mul" else None
        args = [gen_array(src, last), gen_array(src, last)]
    elif name in ("octonion_norm", "norms_squared"):
        args = [gen_array(src, src.pick([8, 0, 3]))]
    elif name in ("geometric_product", "sandwich"):
        sig = gen_signature(src) if src.int_in(0, 3) else np.array([1, 2], dtype=src.pick(["i1", "u8", "f8", "?"]))
        d = dims_for(sig) if not isinstance(sig, np.ndarray) else 4
        d = d if d is not None and d <= 256 else None
        args = [gen_array(src, d), gen_array(src, d), sig]
    elif name == "spectral_flow_step":
        args = [gen_array(src, 2)]
    else:
        args = [gen_array(src, 2), gen_steps(src) if src.int_in(0, 3) else src.int_in(0, 300)]
    kwargs = {}
    if name != "spectral_flow_step" and src.int_in(0, 2) == 0:
        kwargs["out"] = gen_out(src, args)
    if src.int_in(0, 15) == 0:
        args = args + [None, None]
    return name, f, args, kwargs


def check_array_result(name, kwargs, result):
    out = kwargs.get("out")
    if out is not None:
        assert result is out, name
        return
    # A ufunc's result of no axes is a numpy scalar.
    assert type(result) in (np.ndarray, np.float64) and result.dtype.type is np.float64, (name, result.dtype)


def one_array_input(src):
    name, f, args, kwargs = gen_array_call(src)
    STATS["calls"] += 1
    try:
        with np.errstate(all="ignore"):
            result = f(*args, **kwargs)
    except ACCEPTED:
        return
    except PanicException:
        return  # raised by a list function that a hostile number called
    except BaseException as exc:  # noqa: BLE001
        raise AssertionError(f"{name}: unexpected {type(exc).__module__}.{type(exc).__name__}: {exc!r}") from exc
    STATS["ok"] += 1
    check_array_result(name, kwargs, result)


def check_result(name, result):
    assert result is not None
    if name in ("e8_min_norm_squared", "leech_min_norm_squared"):
        assert result == (2.0 if name.startswith("e8") else 4.0)
    elif name == "spectral_flow_step":
        assert type(result) is tuple and len(result) == 2 and all(type(v) is float for v in result)
    elif name == "octonion_mul":
        assert type(result) is list and len(result) == 8
    else:
        assert type(result) is list


def one_input(src):
    if va is not None and src.int_in(0, 3) == 0:
        one_array_input(src)
        return
    name, f, args, kwargs = gen_call(src)
    STATS["calls"] += 1
    try:
        result = f(*args, **kwargs)
    except (*ACCEPTED, PanicException):
        return
    except BaseException as exc:  # noqa: BLE001
        raise AssertionError(f"{name}: unexpected {type(exc).__module__}.{type(exc).__name__}: {exc!r}") from exc
    STATS["ok"] += 1
    check_result(name, result)


def fixed_cases():
    """The huge values that must fail fast, checked once before fuzzing."""
    expect = [
        (lambda: vsc.spectral_flow_n(0.0, 1.0, 2**59 - 1), "capacity overflow"),
        (lambda: vsc.spectral_flow_batch([(0.0, 1.0), (1.0, 1.0)], 2**59 - 1), "capacity overflow"),
        (lambda: vsc.geometric_product_n([[1.0]], [[1.0]], [1] * 60), "capacity overflow"),
        (lambda: vsc.geometric_product_n([[1.0]] * 3, [[1.0]] * 3, [-1] * 64), "capacity overflow"),
        (lambda: vsc.add_n(Seq([1.0], length=2**62), []), "capacity overflow"),
    ]
    for call, message in expect:
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            assert type(exc) is PanicException and str(exc) == message, repr(exc)
        else:
            raise AssertionError("no fault")
    assert vsc.geometric_product_n([], [[1.0]], [1] * 60) == []
    if not UNDER_ASAN:
        for call in (
            lambda: vsc.spectral_flow_n(0.0, 1.0, 2**58),
            lambda: vsc.spectral_flow_batch([(0.0, 1.0), (1.0, 1.0)], 2**58),
        ):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise AssertionError("no MemoryError")


def test_one_input(data):
    one_input(Source(data=data))


def main():
    sys.unraisablehook = lambda unraisable: None
    fixed_cases()
    if len(sys.argv) > 2 and sys.argv[1] in ("--random", "--random-seconds"):
        limit = float(sys.argv[2])
        rng = random.Random(int(os.environ.get("VYR_FUZZ_SEED", "1")))
        deadline = time.monotonic() + limit
        while (STATS["calls"] < limit) if sys.argv[1] == "--random" else (time.monotonic() < deadline):
            one_input(Source(rng=rng))
        print(f"fuzz: {STATS['calls']} calls, {STATS['ok']} returned results")
        return
    import atheris

    # Coverage of this file's generators guides the mutations.
    for obj in list(globals().values()):
        if isinstance(obj, type) and obj.__module__ == __name__:
            for attr in vars(obj).values():
                if inspect.isfunction(attr):
                    atheris.instrument_func(attr)
        elif inspect.isfunction(obj) and obj.__module__ == __name__:
            atheris.instrument_func(obj)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
