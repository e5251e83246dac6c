"""Type-checked with mypy against the installed stub, by tools/check on
Python 3.14 and by tools/check-host-install on the host's Python:
every accepted vector form and payload type passes, and the ignored lines
are errors that must stay errors."""

import array
from typing import Any

import numpy as np

import quorbell

store = quorbell.VectorStorage()
tenant: dict[str, str] = {"tenant_id": "acme"}
store.upsert(1, [1.0, 0.0], tenant)
store.upsert(2, (1, 2.5, True), {"n": 1, "x": 0.5})
store.upsert(np.uint64(3), np.array([0.0, 1.0], dtype=np.float32), None)
store.upsert(4, array.array("f", [0.5, 0.5]), None)
store.upsert(5, memoryview(b"\x01\x02"), None)
hits: list[tuple[int, float]] = store.search(np.ones(2), 2, "cosine", tenant_id="acme")
matrix = np.ones((3, 2), dtype=np.float64)
batches: list[list[tuple[int, float]]] = store.batch_search(matrix, 2, "l2")
store.batch_search([matrix[0], [1.0, 0.0], b"\x00\x01"], 2, "dot_product")
configured: str = "Cosine"  # metric names read from configuration, in any case
store.search([1.0, 0.0], 2, configured)
store.batch_search([[1.0, 0.0]], 2, "L2")

store.search([1.0, 0.0], 2, None)  # type: ignore[arg-type]
store.upsert(6, [1.0], {"tags": ["a"]})  # type: ignore[dict-item]
store.search("ab", 2, "dot")  # type: ignore[arg-type]


class ArrayOnly:
    """Converts to an array, as a tensor does, but is no sequence or buffer:
    the runtime refuses it."""

    def __array__(self) -> Any:
        return np.ones(2)


store.upsert(7, ArrayOnly(), None)  # type: ignore[arg-type]
store.batch_search([ArrayOnly()], 2, "dot")  # type: ignore[list-item]
