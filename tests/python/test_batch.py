"""batch_search: one result list per query, in query order, computed on the
process-wide worker pool exactly as `search` computes it; the pool's size
comes from the environment when the first batch starts it."""

import os
import random
import subprocess
import sys
import textwrap

import pytest

import quorbell


def random_vector(rng, dimension):
    return [rng.gauss(0.0, 1.0) for _ in range(dimension)]


@pytest.fixture(scope="module", params=[60, 800], ids=["exact", "graph"])
def filled(request):
    rng = random.Random(request.param)
    store = quorbell.VectorStorage()
    for point_id in range(request.param):
        payload = {"tenant_id": "even" if point_id % 2 == 0 else "odd"}
        store.upsert(point_id, random_vector(rng, 16), payload)
    return store, rng


def test_empty_batch(store):
    assert store.batch_search([], 3, "cosine") == []
    assert store.batch_search((), 0, "l2", tenant_id="x") == []


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean"])
@pytest.mark.parametrize("tenant", [None, "odd"])
@pytest.mark.parametrize("count", [1, 2, 7, 300])
def test_each_slot_equals_search_in_query_order(filled, metric, tenant, count):
    store, rng = filled
    queries = [random_vector(rng, 16) for _ in range(count)]
    # Mixed lengths make some queries cheap and others not, and give
    # different answers per slot.
    queries[count // 2] = queries[count // 2][:5]
    expected = [store.search(q, 4, metric, tenant) for q in queries]
    assert store.batch_search(queries, 4, metric, tenant) == expected


def test_repeated_query_gives_identical_lists(filled):
    store, rng = filled
    query = random_vector(rng, 16)
    results = store.batch_search([query] * 64, 10, "cosine")
    assert len(results) == 64
    assert all(result == results[0] for result in results)
    assert results[0] == store.search(query, 10, "cosine")
    assert all(type(hit) is tuple and type(hit[0]) is int and type(hit[1]) is float for hit in results[0])


def test_limit_zero_and_other_lengths(filled):
    store, _ = filled
    assert store.batch_search([[1.0] * 16, [1.0]], 0, "dot") == [[], []]


POOL_SIZE = textwrap.dedent(
    """
    import os, quorbell
    threads = lambda: len(os.listdir("/proc/self/task"))
    store = quorbell.VectorStorage()
    store.upsert(1, [1.0, 0.0], None)
    before = threads()
    store.search([1.0, 0.0], 1, "cosine")
    searched = threads()
    first = store.batch_search([], 1, "cosine")
    started = threads()
    os.environ["RAYON_NUM_THREADS"] = "9"
    os.environ["RAYON_RS_NUM_CPUS"] = "9"
    again = store.batch_search([[1.0, 0.0]] * 50, 1, "cosine")
    assert first == [] and again == [[(1, 1.0)]] * 50
    print(searched - before, started - before, threads() - before)
    """
)


def cpu_count():
    """CPUs this process may use: the affinity mask lowered to the cgroup quota."""
    count = len(os.sched_getaffinity(0))
    for quota_file, period_file in [("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "/sys/fs/cgroup/cpu/cpu.cfs_period_us")]:
        try:
            quota, period = int(open(quota_file).read()), int(open(period_file).read())
        except (OSError, ValueError):
            continue
        if quota > 0 and period > 0:
            count = min(count, max(1, quota // period))
    try:
        quota, period = open("/sys/fs/cgroup/cpu.max").read().split()
        if quota != "max":
            count = min(count, max(1, int(quota) // int(period)))
    except (OSError, ValueError):
        pass
    return count


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [
        ("3", None, 3),
        ("+3", "5", 3),
        ("abc", "2", 2),
        (" 3", "2", 2),
        ("0", "5", "cpus"),
        (None, "4", 4),
        (None, None, "cpus"),
        ("65535", None, 1024),
    ],
)
def test_pool_size_from_environment_fixed_at_first_batch(num_threads, rs_num_cpus, expected):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    done = subprocess.run([sys.executable, "-c", POOL_SIZE], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    size = cpu_count() if expected == "cpus" else expected
    # No thread before the first batch; the empty batch starts the pool;
    # changed variables do not resize it.
    assert done.stdout.split() == ["0", str(size), str(size)]


SHORT_OF_MEMORY = textwrap.dedent(
    """
    import os, resource, sys, quorbell
    headroom_mib, pool_first, batch_size = map(int, sys.argv[1:])
    threads = lambda: len(os.listdir("/proc/self/task"))
    store = quorbell.VectorStorage()
    store.upsert(1, [1.0], None)
    queries = [[1.0]] * batch_size
    if pool_first:
        store.batch_search([], 1, "dot")

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (headroom_mib << 20), hard))
    for attempt in range(2):
        try:
            store.batch_search(queries, 1, "dot")
            print("returned", threads() - 1)
        except BaseException as error:
            print(type(error).__name__, "-")
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    store.save(os.devnull)
    assert store.batch_search([[1.0]] * 2, 1, "dot") == [[(1, 1.0)]] * 2
    print("usable", threads() - 1)
    """
)


@pytest.mark.parametrize(
    "num_threads, headroom_mib, pool_first, batch_size, outcomes, workers",
    [
        # No worker stack fits: MemoryError, again at the next batch, and
        # the pool starts in full once memory is back.
        ("4", 1, False, 2, ["MemoryError", "MemoryError"], 4),
        # Room for some workers of the capped pool: it runs with those.
        ("65535", 32, False, 2, ["returned", "returned"], "some"),
        # The pool is up, the batch's own memory runs out.
        ("2", 1, True, 2_000_000, ["MemoryError", "MemoryError"], 2),
    ],
    ids=["no_worker_starts", "some_workers_start", "batch_too_large"],
)
def test_batch_short_of_memory_raises_memory_error_and_store_stays_usable(
    num_threads, headroom_mib, pool_first, batch_size, outcomes, workers
):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space limit cannot coexist with the address sanitizer")
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = num_threads
    done = subprocess.run(
        [sys.executable, "-c", SHORT_OF_MEMORY, str(headroom_mib), str(int(pool_first)), str(batch_size)],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    seen, counts = zip(*(line.split() for line in done.stdout.splitlines()))
    assert list(seen) == outcomes + ["usable"]
    # One pool throughout; "some" is more than none, fewer than the cap.
    counts = {count for count in counts if count != "-"}
    assert len(counts) == 1
    if workers == "some":
        assert 0 < int(*counts) < 1024
    else:
        assert counts == {str(workers)}


FORKED = textwrap.dedent(
    """
    import os, signal, quorbell
    store = quorbell.VectorStorage()
    store.upsert(1, [1.0, 0.0], None)
    expected = [[(1, 1.0)]] * 16
    assert store.batch_search([[1.0, 0.0]] * 16, 1, "cosine") == expected
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a child stuck waiting for its parent's workers ends here
        threads = len(os.listdir("/proc/self/task"))
        ok = store.batch_search([[1.0, 0.0]] * 16, 1, "cosine") == expected
        os._exit(0 if ok and len(os.listdir("/proc/self/task")) == threads + 2 else 1)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
    """
)


def test_forked_child_starts_a_pool_of_its_own():
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = "2"
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", FORKED], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"]


INTERRUPTED = textwrap.dedent(
    """
    import signal, time
    import numpy as np
    import quorbell
    rng = np.random.default_rng(1)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(rng.standard_normal((499, 512), dtype=np.float32)):
        store.upsert(point_id, row, None)
    queries = rng.standard_normal((20000, 512), dtype=np.float32)
    start = time.perf_counter()
    store.batch_search(queries, 10, "dot")
    whole = time.perf_counter() - start
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, whole / 20)
    start = time.perf_counter()
    try:
        store.batch_search(queries, 10, "dot")
        print("returned")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    print("cut short", time.perf_counter() - start < whole / 2)
    cpu = time.process_time()
    time.sleep(0.2)
    print("settled", time.process_time() - cpu < 0.05)
    few = queries[:3]
    print("usable", store.batch_search(few, 2, "dot") == [store.search(q, 2, "dot") for q in few])
    """
)


def test_a_signal_handler_that_raises_stops_a_long_batch():
    done = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["KeyboardInterrupt", "cut short True", "settled True", "usable True"]
