"""Internal faults: a poisoned segment lock makes every method of that store
raise PanicException, reported once on standard error, while other stores
keep working.

The only way to fault from Python is to run out of memory while a write
lock is held, so the scenario runs in a child process under an address-space
limit: the converted vector fits, the store's own copy of it does not.
"""

import os
import subprocess
import sys
import textwrap

import pytest

SCENARIO = textwrap.dedent(
    """
    import resource, sys, tempfile, os
    import quorbell

    COMPONENTS = 32 << 20          # 128 MiB as 32-bit floats
    source = bytes(COMPONENTS)     # converts to zeros
    store, other = quorbell.VectorStorage(), quorbell.VectorStorage()
    other.upsert(1, [1.0], None)
    snapshot = os.path.join(tempfile.mkdtemp(), "other.snap")
    other.save(snapshot)

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # Conversion peaks at 192 MiB (growing 64 -> 128 MiB); the copy under
    # the lock needs 256 MiB in all.
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (224 << 20), hard))
    try:
        store.upsert(7, source, None)
        outcome = "stored"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(outcome)
    sys.stderr.write("--- after upsert\\n")
    sys.stderr.flush()

    calls = [
        ("search", lambda: store.search([0.0], 1, "dot")),
        ("upsert", lambda: store.upsert(8, [1.0], None)),
        ("batch_search", lambda: store.batch_search([[0.0], [1.0]], 1, "dot")),
        ("save", lambda: store.save(snapshot + ".2")),
        ("load", lambda: store.load(snapshot)),
    ]
    for name, action in calls:
        try:
            action()
            print(name, "returned")
        except Exception as error:
            print(name, "Exception", type(error).__name__)
        except BaseException as error:
            kind = type(error)
            print(name, kind.__module__, kind.__qualname__, kind.__bases__[0].__name__,
                  "poisoned" in str(error), len(error.args))
    print("other", other.search([1.0], 1, "dot"), other.batch_search([[1.0]], 1, "dot"))
    """
)


@pytest.fixture(scope="module")
def scenario():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space limit cannot coexist with the address sanitizer")
    done = subprocess.run([sys.executable, "-c", SCENARIO], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    if lines[0] != "MemoryError":
        pytest.skip(f"the limit did not fault the upsert ({lines[0]})")
    return lines[1:], done.stderr.split("--- after upsert\n", 1)[1]


@pytest.mark.parametrize("method", ["search", "upsert", "batch_search", "save", "load"])
def test_every_method_of_a_poisoned_store_panics(scenario, method):
    results, _ = scenario
    line = next(line for line in results if line.split()[0] == method)
    assert line == f"{method} pyo3_runtime PanicException BaseException True 1"


def test_other_stores_keep_working(scenario):
    results, _ = scenario
    assert results[-1] == "other [(1, 1.0)] [[(1, 1.0)]]"


def test_each_fault_is_reported_once_on_stderr(scenario):
    _, stderr = scenario
    reports = [line for line in stderr.splitlines() if line.startswith("quorbell: thread '")]
    assert len(reports) == 5
    assert all("faulted at " in line and "bindings/" in line for line in reports)
    assert stderr.count("poisoned") == 5
