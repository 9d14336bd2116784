"""The worker pool: its size, when it starts, and result order."""

import json
import os

import pytest

import models
import pool_workload
import vyr_spectral_core as vsc
from conftest import run_snippet

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


def _lines(proc):
    return [ln for ln in proc.stdout.splitlines() if ln]


def test_pool_that_cannot_start_fails_every_later_call():
    proc = run_snippet(
        """
        import os, resource, threading, time
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
        deadline = time.monotonic() + 30
        while count() != base and time.monotonic() < deadline:
            time.sleep(0.05)
        print("threads", count() - base)
        print(vsc.spectral_flow_n(0.0, 1.0, 1), vsc.octonion_mul([1.0] + [0.0] * 7, [2.0] * 8)[0])
        print(threading.get_native_id())
        """,
        env={"VYR_NUM_THREADS": "64"},
    )
    *lines, caller = _lines(proc)
    assert lines == ["PanicException True"] * 3 + [
        "threads 0",
        "[(0.0, 1.0), (1.0, 1.0)] 2.0",
    ]
    # Each failed call is reported once, by the calling thread, and the first
    # report carries the hint.
    assert proc.stderr.count(f"({caller}) faulted at ") == proc.stderr.count("faulted at ") == 3
    assert proc.stderr.count("\nThe global thread pool has not been initialized.") == 3
    assert proc.stderr.count("note: ") == 1


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
        deadline = time.monotonic() + 30
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
