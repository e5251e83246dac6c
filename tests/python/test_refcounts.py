"""Reference counts stay balanced on every success and error path.

Runs only on a debug interpreter, which counts all references.
"""

import gc
import sys

import pytest

from test_arguments import BINDING_ERRORS, CONVERSION_ERRORS, V
from test_payload import REJECTED_PAYLOADS
import quorbell

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")

WINDOW = 200


def leaked_references(action):
    """References left behind per call of `action`.

    The least growth over three windows of calls: caches and free lists
    that fill once show in one window at most, a real leak in every one.
    """

    def run():
        try:
            action()
        except BaseException:
            pass

    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(WINDOW):
            run()
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    return min(growth) / WINDOW


def filled_store():
    store = quorbell.VectorStorage()
    for i in range(20):
        store.upsert(i, [float(i), 1.0], {"tenant_id": "a" if i % 2 else "b", "n": i})
    return store


@pytest.mark.parametrize(
    "method, args, kwargs",
    [case[:3] for case in BINDING_ERRORS] + [case[:3] for case in CONVERSION_ERRORS],
)
def test_argument_errors_leak_nothing(method, args, kwargs):
    store = filled_store()
    assert leaked_references(lambda: getattr(store, method)(*args, **kwargs)) < 0.25


@pytest.mark.parametrize("payload", [case[0] for case in REJECTED_PAYLOADS])
def test_payload_errors_leak_nothing(payload):
    store = filled_store()
    assert leaked_references(lambda: store.upsert(1, V, payload)) < 0.25


@pytest.mark.parametrize(
    "action",
    [
        lambda s: quorbell.VectorStorage(),
        lambda s: quorbell.VectorStorage(1),
        lambda s: quorbell.VectorStorage(size=1),
        lambda s: s.upsert(3, [1.0, 2.0], {"tenant_id": "a", "x": 1.5, "y": None, "z": "t" * 80}),
        lambda s: s.upsert(2**64 - 1, (1, 2), None),
        lambda s: s.search(V, 10, "cosine"),
        lambda s: s.search(V, 10, "dot", "a"),
        lambda s: s.search(V, 10, "nope"),
        lambda s: s.batch_search([V, (0.0, 1.0)], 5, "l2", tenant_id="b"),
        lambda s: s.batch_search([V], 5, "nope"),
        lambda s: s.load("/nonexistent/quorbell/snapshot"),
        lambda s: s.save("/nonexistent/quorbell/snapshot"),
    ],
)
def test_calls_leak_nothing(action):
    store = filled_store()
    assert leaked_references(lambda: action(store)) < 0.25
