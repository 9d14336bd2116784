"""The worker pool: its size, when it starts, result order and forked children."""

import json
import os
import threading

import pytest

import models
import pool_workload
import vyr_spectral_core as vsc
from conftest import assert_same, run_snippet

COUNT_SNIPPET = """
import os
def count():
    return len(os.listdir("/proc/self/task"))
before = count()
import vyr_spectral_core as vsc
after_import = count()
vsc.add_n([], [])
after_first = count()
vsc.add_n([1.0] * 5000, [1.0] * 5000)
vsc.spectral_flow_batch([(0.0, 1.0)] * 100, 10)
after_more = count()
print(before, after_import, after_first, after_more)
"""


def _cgroup_quota():
    """CPU quota of this process's control group as a whole number of CPUs, or None."""
    try:
        with open("/proc/self/cgroup") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    for line in lines:
        _, controllers, path = line.split(":", 2)
        path = path.lstrip("/")
        if controllers == "":
            for root in ("/sys/fs/cgroup", "/sys/fs/cgroup/unified"):
                try:
                    with open(os.path.join(root, path, "cpu.max")) as f:
                        quota, period = f.read().split()
                except (OSError, ValueError):
                    continue
                if quota != "max":
                    return max(int(quota) // int(period), 1)
        elif "cpu" in controllers.split(","):
            for root in ("/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"):
                try:
                    with open(os.path.join(root, path, "cpu.cfs_quota_us")) as f:
                        quota = int(f.read())
                    with open(os.path.join(root, path, "cpu.cfs_period_us")) as f:
                        period = int(f.read())
                except (OSError, ValueError):
                    continue
                if quota > 0:
                    return max(quota // period, 1)
    return None


def default_threads(cpus=None):
    n = cpus if cpus is not None else len(os.sched_getaffinity(0))
    quota = _cgroup_quota()
    if quota is not None:
        n = min(n, quota)
    return max(n, 1)


def pool_size(env, preexec_fn=None):
    proc = run_snippet(COUNT_SNIPPET, env=env, preexec_fn=preexec_fn)
    before, after_import, after_first, after_more = map(int, proc.stdout.split())
    assert after_import == before, "threads started at import"
    assert after_more == after_first, "pool grew after its creation"
    return after_first - before


DEFAULT = object()

ENV_CASES = [
    ({"VYR_NUM_THREADS": "4"}, 4),
    ({"VYR_NUM_THREADS": "+4"}, 4),
    ({"VYR_NUM_THREADS": "1"}, 1),
    ({"VYR_NUM_THREADS": "05"}, 5),
    ({"VYR_NUM_THREADS": "4", "VYR_NUM_CPUS": "3"}, 4),
    ({"VYR_NUM_THREADS": "0", "VYR_NUM_CPUS": "3"}, DEFAULT),
    ({"VYR_NUM_THREADS": "0"}, DEFAULT),
    ({"VYR_NUM_THREADS": "abc", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": " 4", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "4 ", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "-1", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "+", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "++4", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "4.0", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "0x4", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "18446744073709551616", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_THREADS": "4\udcff", "VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_CPUS": "3"}, 3),
    ({"VYR_NUM_CPUS": "+5"}, 5),
    ({"VYR_NUM_CPUS": "0"}, DEFAULT),
    ({"VYR_NUM_CPUS": "abc"}, DEFAULT),
    ({"VYR_NUM_CPUS": "-2"}, DEFAULT),
    ({"VYR_NUM_THREADS": "x", "VYR_NUM_CPUS": "y"}, DEFAULT),
    ({}, DEFAULT),
]


@pytest.mark.parametrize("env,expected", ENV_CASES, ids=lambda v: repr(v) if isinstance(v, dict) else "")
def test_pool_size_from_environment(env, expected):
    if expected is DEFAULT:
        expected = default_threads()
    assert pool_size(env) == expected


def test_default_pool_size_follows_the_affinity_mask():
    assert pool_size({}, preexec_fn=lambda: os.sched_setaffinity(0, {0})) == default_threads(cpus=1)


def test_environment_is_read_when_the_pool_starts_not_at_import():
    proc = run_snippet(
        """
        import os
        count = lambda: len(os.listdir("/proc/self/task"))
        import vyr_spectral_core as vsc
        base = count()
        os.environ["VYR_NUM_THREADS"] = "5"
        vsc.spectral_flow_n(0.0, 1.0, 3)
        vsc.octonion_mul([1.0] * 8, [1.0] * 8)
        created = count()
        vsc.e8_norms_squared_n([[1.0]] * 100)
        first = count()
        os.environ["VYR_NUM_THREADS"] = "2"
        vsc.add_n([1.0] * 1000, [1.0] * 1000)
        later = count()
        print(created - base, first - base, later - base)
        """,
        env={"VYR_NUM_THREADS": "3"},
    )
    assert proc.stdout.split() == ["0", "5", "5"]


@pytest.mark.parametrize(
    "code,creates",
    [
        ("vsc.add_n([], [])", True),
        ("vsc.add_n([1.0], [2.0])", True),
        ("vsc.octonion_mul_n([], [[1.0] * 8])", True),
        ("vsc.octonion_norm_n([])", True),
        ("vsc.geometric_product_n([], [], [1] * 64)", True),
        ("vsc.e8_norms_squared_n([])", True),
        ("vsc.spectral_flow_batch([], 2**60)", True),
        ("vsc.spectral_flow_batch([(0.0, 1.0)], 1)", True),
        ("vsc.spectral_flow_step(0.0, 1.0); vsc.spectral_flow_n(0.0, 1.0, 100); "
         "vsc.octonion_mul([1.0] * 8, [1.0] * 8); vsc.e8_min_norm_squared(); "
         "vsc.leech_min_norm_squared()", False),
        ("try:\n    vsc.add_n('x', [])\nexcept TypeError:\n    pass", False),
        ("try:\n    vsc.spectral_flow_batch([], -1)\nexcept OverflowError:\n    pass", False),
    ],
)
def test_which_calls_start_the_pool(code, creates):
    proc = run_snippet(
        "import os\nimport vyr_spectral_core as vsc\n"
        "base = len(os.listdir('/proc/self/task'))\n"
        + code
        + "\nprint(len(os.listdir('/proc/self/task')) - base)\n",
        env={"VYR_NUM_THREADS": "3"},
    )
    assert int(proc.stdout) == (3 if creates else 0)


# ---------------------------------------------------------------------------
# Results do not depend on the pool size
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def model_results():
    return pool_workload.run_model(models)


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_batch_results_identical_for_every_pool_size(threads, model_results):
    proc = run_snippet(
        "import runpy; runpy.run_module('pool_workload', run_name='__main__')",
        env={"VYR_NUM_THREADS": threads},
        timeout=300,
    )
    got = json.loads(proc.stdout)
    cases = pool_workload.cases()
    assert len(got) == len(model_results) == len(cases)
    for (name, args), g, m in zip(cases, got, model_results):
        assert g == m, f"{name} with {len(args[0])} items differs"


def test_in_process_results_match_model(model_results):
    got = json.loads(json.dumps(pool_workload.run(vsc)))
    assert got == model_results


def test_concurrent_python_threads():
    a = [float(i) for i in range(2000)]
    b = [float(-2 * i) for i in range(2000)]
    expected = [x + y for x, y in zip(a, b)]
    starts = [(0.1 * i, 1.0) for i in range(50)]
    traj = models.spectral_flow_batch(starts, 5)
    errors = []

    def work():
        try:
            for _ in range(30):
                assert_same(vsc.add_n(a, b), expected)
                assert_same(vsc.spectral_flow_batch(starts, 5), traj)
        except BaseException as e:  # noqa: B036
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


# ---------------------------------------------------------------------------
# Forked children
# ---------------------------------------------------------------------------

FORK_HELPERS = """
import os, sys, time
import vyr_spectral_core as vsc

def count():
    return len(os.listdir("/proc/self/task"))

def check(tag):
    a = [float(i) for i in range(20000)]
    ok = vsc.add_n(a, a) == [2.0 * x for x in a]
    ok = ok and vsc.e8_norms_squared_n([[3.0, 4.0]] * 500) == [25.0] * 500
    ok = ok and len(vsc.spectral_flow_batch([(0.0, 1.0)] * 64, 20)) == 64
    ok = ok and vsc.octonion_mul_n([[1.0] * 8] * 300, [[0.0] * 8] * 300) == [[0.0] * 8] * 300
    try:
        vsc.octonion_mul_n([[1.0] * 8] * 100, [[1.0] * 8] * 50 + [[1.0]] * 50)
        ok = False
    except BaseException as e:
        ok = ok and str(e) == "index out of bounds: the len is 1 but the index is 1"
    return f"{tag} {ok} {count()}"

def wait(pid, limit=60.0):
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.02)

def in_child(fn):
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            fn()
        except BaseException as e:
            os.write(1, f"child error {e!r}\\n".encode())
            code = 1
        os._exit(code)
    return wait(pid)

def emit(text):
    os.write(1, (text + "\\n").encode())
"""


def _lines(proc):
    return [ln for ln in proc.stdout.splitlines() if ln]


def test_fork_after_pool_exists():
    proc = run_snippet(
        FORK_HELPERS
        + """
emit(check("parent"))
emit(f"exit {in_child(lambda: emit(check('child')))}")
emit(check("parent-again"))
""",
        env={"VYR_NUM_THREADS": "3"},
    )
    assert _lines(proc) == ["parent True 4", "child True 4", "exit 0", "parent-again True 4"]


def test_fork_before_pool_exists():
    proc = run_snippet(
        FORK_HELPERS
        + """
emit(f"exit {in_child(lambda: emit(check('child')))}")
emit(check("parent"))
""",
        env={"VYR_NUM_THREADS": "2"},
    )
    assert _lines(proc) == ["child True 3", "exit 0", "parent True 3"]


def test_nested_forks():
    proc = run_snippet(
        FORK_HELPERS
        + """
emit(check("parent"))
def child():
    emit(check("child"))
    emit(f"grandchild-exit {in_child(lambda: emit(check('grandchild')))}")
    emit(check("child-again"))
emit(f"exit {in_child(child)}")
""",
        env={"VYR_NUM_THREADS": "2"},
    )
    assert _lines(proc) == [
        "parent True 3",
        "child True 3",
        "grandchild True 3",
        "grandchild-exit 0",
        "child-again True 3",
        "exit 0",
    ]


def test_fork_without_calls_in_between_repeatedly():
    proc = run_snippet(
        FORK_HELPERS
        + """
emit(check("parent"))
codes = [in_child(lambda: emit(check("child"))) for _ in range(5)]
emit(f"codes {codes}")
""",
        env={"VYR_NUM_THREADS": "2"},
    )
    assert _lines(proc) == ["parent True 3"] + ["child True 3"] * 5 + ["codes [0, 0, 0, 0, 0]"]


def test_multiprocessing_fork_context():
    proc = run_snippet(
        """
import multiprocessing
import vyr_spectral_core as vsc

def work(i):
    a = [float(i + k) for k in range(5000)]
    return vsc.add_n(a, a) == [2.0 * x for x in a] and vsc.octonion_norm_n([[3.0, 4.0]] * 100) == [5.0] * 100

if __name__ == "__main__":
    vsc.add_n([1.0] * 1000, [1.0] * 1000)
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        result = pool.map_async(work, range(6)).get(timeout=60)
    print(result)
""",
        env={"VYR_NUM_THREADS": "2"},
    )
    assert proc.stdout.strip() == "[True, True, True, True, True, True]"


def test_pool_that_cannot_start_fails_every_later_call():
    proc = run_snippet(
        """
        import os, resource, time
        import vyr_spectral_core as vsc

        def count():
            return len(os.listdir("/proc/self/task"))

        def vmsize():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

        base = count()
        # room for a few 2 MiB worker stacks, not for 64 of them
        limit = vmsize() + 24 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for call in (lambda: vsc.add_n([1.0], [2.0]), lambda: vsc.e8_norms_squared_n([]),
                     lambda: vsc.spectral_flow_batch([(0.0, 1.0)] * 10, 2)):
            try:
                call()
                print("no error")
            except BaseException as e:
                print(type(e).__name__, str(e).startswith("The global thread pool has not been initialized."))
        deadline = time.monotonic() + 10
        while count() != base and time.monotonic() < deadline:
            time.sleep(0.05)
        print("threads", count() - base)
        print(vsc.spectral_flow_n(0.0, 1.0, 1), vsc.octonion_mul([1.0] + [0.0] * 7, [2.0] * 8)[0])
        """,
        env={"VYR_NUM_THREADS": "64"},
    )
    assert _lines(proc) == ["PanicException True"] * 3 + [
        "threads 0",
        "[(0.0, 1.0), (1.0, 1.0)] 2.0",
    ]


def test_pool_started_from_a_secondary_python_thread():
    proc = run_snippet(
        """
        import os, threading
        import vyr_spectral_core as vsc
        base = len(os.listdir("/proc/self/task"))
        out = []
        t = threading.Thread(target=lambda: out.append(vsc.add_n([1.0] * 1000, [2.0] * 1000)))
        t.start()
        t.join()
        ok = out == [[3.0] * 1000] and vsc.add_n([1.0] * 1000, [1.0] * 1000) == [2.0] * 1000
        t = threading.Thread(target=lambda: out.append(vsc.e8_norms_squared_n([[2.0]] * 500)))
        t.start()
        t.join()
        ok = ok and out[-1] == [4.0] * 500
        # a joined Python thread may take a moment to leave the task list
        import time
        deadline = time.monotonic() + 5
        while len(os.listdir("/proc/self/task")) - base > 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        print(ok, len(os.listdir("/proc/self/task")) - base)
        """,
        env={"VYR_NUM_THREADS": "3"},
    )
    assert proc.stdout.split() == ["True", "3"]


def test_single_element_maps_run_on_the_calling_thread():
    # A fault report names the thread it happened on.  A batch of one element
    # faults on the calling thread, exactly like the non-batch product; with two
    # elements the work is handed to the pool.
    proc = run_snippet(
        """
        import os, tempfile
        import vyr_spectral_core as vsc

        def report(fn):
            with tempfile.TemporaryFile() as f:
                saved = os.dup(2)
                os.dup2(f.fileno(), 2)
                try:
                    try:
                        fn()
                    except BaseException:
                        pass
                finally:
                    os.dup2(saved, 2)
                    os.close(saved)
                f.seek(0)
                return f.read().decode()

        good, bad = [1.0] * 8, [1.0]
        report(lambda: vsc.octonion_mul(good, bad))
        caller = report(lambda: vsc.octonion_mul(good, bad))
        one = report(lambda: vsc.octonion_mul_n([good], [bad]))
        two = report(lambda: vsc.octonion_mul_n([good, good], [good, bad]))
        print(bool(caller.strip()), caller == one, bool(two.strip()), caller != two)
        """,
        env={"VYR_NUM_THREADS": "2"},
    )
    assert proc.stdout.split() == ["True"] * 4
