"""Kernel faults: the PanicException type, its messages, resumed faults, recovery."""

import os

import pytest

import vyr_spectral_core as vsc
from conftest import assert_same, run_snippet

OCT_FAULT = "index out of bounds: the len is 3 but the index is 3"


def fault_of(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as e:  # an ordinary exception is a failure here
        pytest.fail(f"expected PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:  # noqa: B036
        return e
    pytest.fail("no fault raised")


FAULTING_CALLS = [
    (lambda: vsc.octonion_mul([1.0] + [0.0] * 7, [1.0, 2.0, 3.0]), OCT_FAULT),
    (lambda: vsc.octonion_mul_n([[1.0] * 8], [[1.0] * 3]), OCT_FAULT),
    (lambda: vsc.geometric_product_n([[1.0, 1.0, 1.0]], [[1.0] * 4], [1, 1]), OCT_FAULT),
    (lambda: vsc.spectral_flow_n(0.0, 1.0, 2**59 - 1), "capacity overflow"),
    (lambda: vsc.spectral_flow_batch([(0.0, 1.0)], 2**64 - 1), "capacity overflow"),
    (lambda: vsc.geometric_product_n([[1.0]], [[1.0]], [1] * 60), "capacity overflow"),
]


@pytest.mark.parametrize("fn,message", FAULTING_CALLS)
def test_fault_exception_shape(fn, message):
    e = fault_of(fn)
    t = type(e)
    assert t.__name__ == "PanicException"
    assert t.__qualname__ == "PanicException"
    assert t.__module__ == "vyr_runtime"
    assert t.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert e.args == (message,)
    assert str(e) == message
    assert e.__cause__ is None


def test_fault_type_has_a_docstring():
    t = type(fault_of(*FAULTING_CALLS[0][:1]))
    assert isinstance(t.__doc__, str) and t.__doc__.strip()


def test_all_faults_share_one_type_object():
    types_seen = {type(fault_of(fn)) for fn, _ in FAULTING_CALLS * 2}
    assert len(types_seen) == 1


def test_except_exception_does_not_catch_a_fault():
    with pytest.raises(BaseException) as info:
        try:
            vsc.octonion_mul([1.0] * 8, [])
        except Exception:  # must not catch
            pytest.fail("PanicException was caught as an Exception")
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"


def test_module_usable_after_each_fault():
    for fn, _ in FAULTING_CALLS:
        fault_of(fn)
        assert_same(vsc.add_n([1.0, 2.0], [3.0, 4.0]), [4.0, 6.0])
        assert_same(vsc.octonion_mul([1.0] + [0.0] * 7, [2.0] * 8), [2.0] * 8)
        assert_same(vsc.spectral_flow_n(0.0, 1.0, 1), [(0.0, 1.0), (1.0, 1.0)])
        assert_same(vsc.spectral_flow_batch([(0.0, 1.0)] * 3, 1), [[(0.0, 1.0), (1.0, 1.0)]] * 3)
        assert_same(vsc.geometric_product_n([[2.0]], [[3.0]], []), [[6.0]])
        assert_same(vsc.e8_norms_squared_n([[3.0, 4.0]]), [25.0])
        assert vsc.e8_min_norm_squared() == 2.0


# ---------------------------------------------------------------------------
# Allocations that cannot be satisfied
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn",
    [
        lambda: vsc.spectral_flow_n(0.0, 1.0, 2**58),
        lambda: vsc.spectral_flow_n(0.0, 1.0, 2**59 - 2),
        lambda: vsc.geometric_product_n([[1.0]], [[1.0]], [1] * 45),
        lambda: vsc.geometric_product_n([[1.0]], [[1.0]], [1] * 59),
        lambda: vsc.spectral_flow_batch([(0.0, 1.0)], 2**58),
        lambda: vsc.geometric_product_n([[1.0]] * 3, [[1.0]] * 3, [1] * 45),
    ],
)
def test_unsatisfiable_allocation_raises_memory_error(fn):
    with pytest.raises(MemoryError):
        fn()
    assert_same(vsc.spectral_flow_n(0.0, 1.0, 2), [(0.0, 1.0), (1.0, 1.0), (1.0, 2.718281828459045)])
    assert_same(vsc.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], [1]), [[1.0, 0.0]])
    assert_same(vsc.spectral_flow_batch([(0.0, 1.0)], 1), [[(0.0, 1.0), (1.0, 1.0)]])


# ---------------------------------------------------------------------------
# A fault coming back through Python code called by a conversion
# ---------------------------------------------------------------------------


class FaultingFloat:
    """__float__ calls a faulting function and lets the fault through."""

    def __init__(self):
        self.inner = None

    def __float__(self):
        try:
            vsc.spectral_flow_n(0.0, 1.0, 2**64 - 1)
        except BaseException as e:  # noqa: B036
            self.inner = e
            raise
        return 0.0


def test_resumed_fault_raises_a_new_fault_with_same_message():
    obj = FaultingFloat()
    e = fault_of(vsc.spectral_flow_step, obj, 1.0)
    assert obj.inner is not None
    assert type(e) is type(obj.inner)
    assert e is not obj.inner
    assert e.args == ("capacity overflow",)


@pytest.mark.parametrize(
    "make_call",
    [
        lambda bad: vsc.add_n([1.0, bad], [1.0]),
        lambda bad: vsc.e8_norms_squared_n([[bad]]),
        lambda bad: vsc.spectral_flow_batch([(0.0, bad)], 1),
        lambda bad: vsc.spectral_flow_n(0.0, 1.0, bad),
        lambda bad: vsc.geometric_product_n([], [], [bad]),
    ],
)
def test_resumed_fault_through_float_and_index(make_call):
    class Bad:
        def __float__(self):
            vsc.octonion_mul([1.0] * 8, [1.0, 2.0, 3.0])

        def __index__(self):
            vsc.octonion_mul([1.0] * 8, [1.0, 2.0, 3.0])

    e = fault_of(make_call, Bad())
    assert type(e).__name__ == "PanicException"
    assert e.args == (OCT_FAULT,)


def test_resumed_fault_through_iterator():
    class BadIter:
        def __getitem__(self, i):
            return 1.0

        def __iter__(self):
            vsc.spectral_flow_batch([(0.0, 1.0)], 2**59 - 1)

    class BadNext:
        def __getitem__(self, i):
            return 1.0

        def __iter__(self):
            return self

        def __next__(self):
            vsc.geometric_product_n([[1.0]], [[1.0]], [1] * 64)

    assert fault_of(vsc.add_n, BadIter(), []).args == ("capacity overflow",)
    assert fault_of(vsc.octonion_norm_n, [BadNext()]).args == ("capacity overflow",)


def test_panic_raised_by_python_code_is_resumed():
    fault_type = type(fault_of(*FAULTING_CALLS[0][:1]))

    class Raiser:
        def __init__(self, exc):
            self.exc = exc

        def __float__(self):
            raise self.exc

    inner = fault_type("made in Python")
    e = fault_of(vsc.spectral_flow_step, Raiser(inner), 1.0)
    assert type(e) is fault_type and e is not inner
    assert e.args == ("made in Python",)


def test_panic_with_unprintable_message_is_resumed_with_fallback_text():
    fault_type = type(fault_of(*FAULTING_CALLS[0][:1]))

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no")

    class Raiser:
        def __float__(self):
            raise fault_type(Unprintable())

    e = fault_of(vsc.add_n, [Raiser()], [])
    assert type(e) is fault_type
    assert e.args == ("Unwrapped panic from Python code",)


def test_subclass_of_the_fault_type_passes_unchanged():
    fault_type = type(fault_of(*FAULTING_CALLS[0][:1]))

    class Sub(fault_type):
        pass

    inner = Sub("sub")

    class Raiser:
        def __float__(self):
            raise inner

    e = fault_of(vsc.spectral_flow_step, Raiser(), 1.0)
    assert e is inner


# ---------------------------------------------------------------------------
# Reports on standard error
# ---------------------------------------------------------------------------


def test_resumed_fault_writes_banner_and_inner_traceback():
    proc = run_snippet(
        """
        import vyr_spectral_core as vsc

        class F:
            def __float__(self):
                vsc.spectral_flow_n(0.0, 1.0, 2**64 - 1)

        try:
            vsc.spectral_flow_step(F(), 1.0)
        except BaseException as e:
            print("OUTER", type(e).__module__, type(e).__name__, e.args)
        """
    )
    assert proc.stdout.strip() == "OUTER vyr_runtime PanicException ('capacity overflow',)"
    err = proc.stderr
    assert "Python stack trace below:" in err
    after = err.split("Python stack trace below:", 1)[1]
    assert "Traceback (most recent call last)" in after
    assert "__float__" in after
    assert "capacity overflow" in after
    assert "PanicException" in after
    # the banner stands on its own line before the marker
    banner = err.split("Python stack trace below:", 1)[0].rstrip("\n").splitlines()
    assert banner and banner[-1].strip()
    # reported where it happened and shown in the traceback, not reported again
    assert err.count("capacity overflow") == 2, err


def test_first_fault_report_carries_one_extra_hint_line():
    counts = []
    for n in (1, 2, 3):
        proc = run_snippet(
            f"""
            import vyr_spectral_core as vsc
            for _ in range({n}):
                try:
                    vsc.octonion_mul([1.0] * 8, [1.0])
                except BaseException:
                    pass
            """
        )
        counts.append(len(proc.stderr.splitlines()))
    first, second, third = counts
    assert third - second == second - first > 0
    assert first == (second - first) + 1


@pytest.mark.parametrize(
    "code,message",
    [
        ("vsc.octonion_mul([1.0] * 8, [1.0, 2.0, 3.0])", OCT_FAULT),
        ("vsc.octonion_mul_n([[1.0] * 8] * 64, [[1.0] * 8] * 10 + [[1.0] * 3] + [[1.0] * 8] * 53)",
         OCT_FAULT),
        ("vsc.spectral_flow_n(0.0, 1.0, 2**59 - 1)", "capacity overflow"),
    ],
)
def test_each_fault_is_reported_once_on_stderr(code, message):
    proc = run_snippet(
        f"""
        import vyr_spectral_core as vsc
        try:
            {code}
        except BaseException as e:
            print("RAISED", e)
        """
    )
    assert proc.stdout.strip() == "RAISED " + message
    assert proc.stderr.count(message) == 1, proc.stderr


def test_successful_calls_write_nothing():
    proc = run_snippet(
        """
        import vyr_spectral_core as vsc
        vsc.add_n([1.0] * 100, [2.0] * 100)
        vsc.octonion_mul_n([[1.0] * 8] * 50, [[2.0] * 8] * 50)
        vsc.spectral_flow_batch([(0.0, 1.0)] * 20, 10)
        vsc.geometric_product_n([[1.0] * 4] * 5, [[1.0] * 4] * 5, [1, -1])
        try:
            vsc.add_n("x", [])
        except TypeError:
            pass
        """
    )
    assert proc.stdout == "" and proc.stderr == ""


# ---------------------------------------------------------------------------
# Nothing stays behind: repeated failing and succeeding calls do not grow memory
# ---------------------------------------------------------------------------

LEAK_CASES = {
    "octonion fault at the last pair": (
        "a = [[1.0] * 8] * 100000; b = [[2.0] * 8] * 99999 + [[2.0]]",
        "vsc.octonion_mul_n(a, b)",
    ),
    "clifford fault at the last pair": (
        "a = [[1.0] + [0.0] * 7] * 100000 + [[1.0]]; b = [[2.0] * 8] * 100001",
        "vsc.geometric_product_n(a, b, [1, -1, 1])",
    ),
    "conversion failure after a long vector": (
        "a = [1.5] * 1000000; b = [1.0] * 999999 + ['x']",
        "vsc.add_n(a, b)",
    ),
    "conversion failure after many points": (
        "p = [[1.0, 2.0, 3.0]] * 100000 + [None]",
        "vsc.e8_norms_squared_n(p)",
    ),
    "capacity fault after many starts": (
        "s = [(0.5, 1.5)] * 400000",
        "vsc.spectral_flow_batch(s, 2**59 - 1)",
    ),
    "memory error for one huge trajectory": (
        "pass",
        "vsc.spectral_flow_n(0.0, 1.0, 2**58)",
    ),
    "large trajectory batches": (
        "s = [(0.5, 1.5)] * 1000",
        "vsc.spectral_flow_batch(s, 1000)",
    ),
    "large products": (
        "a = [[1.0] * 8] * 100000",
        "vsc.octonion_mul_n(a, a)",
    ),
}


# AddressSanitizer holds freed memory back in quarantine, so resident memory
# grows under it without any leak.
@pytest.mark.skipif(bool(os.environ.get("VYR_UNDER_ASAN")), reason="resident memory under ASan")
@pytest.mark.parametrize("name", sorted(LEAK_CASES))
def test_repeated_calls_do_not_grow_memory(name):
    setup, stmt = LEAK_CASES[name]
    proc = run_snippet(
        f"""
        import gc
        import vyr_spectral_core as vsc

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096

        {setup}

        def once():
            try:
                {stmt}
            except BaseException:
                pass

        for _ in range(3):
            once()
        gc.collect()
        before = rss()
        for _ in range(12):
            once()
        gc.collect()
        print(rss() - before)
        """,
        timeout=300,
    )
    grown = int(proc.stdout.strip().splitlines()[-1])
    assert grown < 40 * 2**20, f"resident memory grew by {grown} bytes"
