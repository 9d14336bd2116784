"""Kernel faults: the PanicException type, its messages, resumed faults, recovery."""

import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import vyr_spectral_core as vsc
from vyr_runtime import PanicException
from conftest import UNDER_ASAN, assert_same, expect_fault, oob, raised, run_snippet
from protocols import Num, Raising, Unprintable

OCT_FAULT = "index out of bounds: the len is 3 but the index is 3"


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
    e = expect_fault(fn)
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
    assert isinstance(PanicException.__doc__, str) and PanicException.__doc__.strip()


# ---------------------------------------------------------------------------
# The type as vyr_runtime exports it
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("first", ["import", "fault"])
def test_imported_type_is_the_raised_type_whichever_comes_first(first):
    """One type object, whether vyr_runtime makes it at import or the first
    fault does.  The import faults, writes and reports nothing, so the first
    fault's report still carries the one-time hint, and the list module gains
    no attribute."""
    proc = run_snippet(
        f"""
        import vyr_spectral_core as vsc
        attributes = sorted(vars(vsc))

        def fault():
            try:
                vsc.octonion_mul([], [])
            except BaseException as e:
                return type(e)

        if {first == "import"}:
            import vyr_runtime
            raised = fault()
        else:
            raised = fault()
            import vyr_runtime
        t = vyr_runtime.PanicException
        print(raised is t, t.__name__, t.__module__, t.__bases__ == (BaseException,))
        print(vyr_runtime.__all__, sorted(vars(vsc)) == attributes)
        """
    )
    assert proc.stdout.splitlines() == ["True PanicException vyr_runtime True",
                                        "['PanicException', 'FaultError', 'checked'] True"]
    # Nothing but the one report (which carries the hint) reached standard error.
    assert proc.stderr.startswith("\nthread '"), proc.stderr
    assert proc.stderr.count(oob(0)) == 1 and proc.stderr.count("\nnote: ") == 1, proc.stderr


def test_fault_survives_pickle():
    e = expect_fault(vsc.octonion_mul, [1.0] * 8, [1.0, 2.0])
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(e, protocol))
        assert type(back) is PanicException and back.args == (oob(2),)


def test_process_pool_hands_the_fault_back():
    """A worker's fault reaches the caller as itself, and the pool goes on."""
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(1, mp_context=context) as pool:
        with pytest.raises(PanicException) as info:
            pool.submit(vsc.octonion_mul, [1.0] * 8, [1.0, 2.0]).result(timeout=300)
        assert info.value.args == (oob(2),)
        assert pool.submit(vsc.add_n, [1.0], [2.0]).result(timeout=300) == [3.0]


def test_except_exception_does_not_catch_a_fault():
    with pytest.raises(BaseException) as info:
        try:
            vsc.octonion_mul([1.0] * 8, [])
        except Exception:  # must not catch
            pytest.fail("PanicException was caught as an Exception")
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"


def test_module_usable_after_each_fault():
    for fn, _ in FAULTING_CALLS:
        expect_fault(fn)
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


@pytest.mark.huge_alloc
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


def test_resumed_fault_raises_a_new_fault_with_same_message():
    inner = []

    def fault():
        try:
            vsc.spectral_flow_n(0.0, 1.0, 2**64 - 1)
        except BaseException as e:  # noqa: B036
            inner.append(e)
            raise

    e = expect_fault(vsc.spectral_flow_step, Num(0.0, fault), 1.0)
    assert len(inner) == 1 and type(inner[0]) is type(e)
    assert e is not inner[0]
    assert e.args == ("capacity overflow",)


@pytest.mark.parametrize(
    "inner",
    [
        lambda: vsc.octonion_mul([1.0] * 8, [1.0, 2.0, 3.0]),
        lambda: vsc.octonion_mul_n([[1.0] * 8], [[1.0, 2.0, 3.0]]),
    ],
    ids=["single", "batch"],
)
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
def test_resumed_fault_through_float_and_index(make_call, inner):
    assert expect_fault(make_call, Num(0.0, inner)).args == (OCT_FAULT,)
    assert vsc.octonion_mul_n([[1.0] * 8], [[1.0] * 8])[0][0] == -6.0


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

    assert expect_fault(vsc.add_n, BadIter(), []).args == ("capacity overflow",)
    assert expect_fault(vsc.octonion_norm_n, [BadNext()]).args == ("capacity overflow",)


def test_panic_raised_by_python_code_is_resumed():
    inner = PanicException("made in Python")
    e = expect_fault(vsc.spectral_flow_step, Raising(inner), 1.0)
    assert e is not inner
    assert e.args == ("made in Python",)


def test_panic_with_unprintable_message_is_resumed_with_fallback_text():
    e = expect_fault(vsc.add_n, [Raising(lambda: PanicException(Unprintable()))], [])
    assert e.args == ("Unwrapped panic from Python code",)


def test_subclass_of_the_fault_type_passes_unchanged():
    class Sub(PanicException):
        pass

    inner = Sub("sub")
    assert raised(vsc.spectral_flow_step, Raising(inner), 1.0) is inner


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
@pytest.mark.skipif(UNDER_ASAN, reason="resident memory under ASan")
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
