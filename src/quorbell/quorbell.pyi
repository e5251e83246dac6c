"""Maps high-performance native subroutines directly onto the Python runtime."""

import sys
from collections.abc import Mapping, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import TypeAlias

__all__ = ["VectorStorage"]

# A vector is a sequence of numbers or a one-dimensional numeric buffer: a
# numpy array, array.array, memoryview, bytes or bytearray. Objects that only
# convert to an array (`__array__`) are refused at run time, so they are not
# named here.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer

    _Buffer: TypeAlias = Buffer
else:
    from typing_extensions import Buffer

    class _NumpyArray(Protocol):
        # Before 3.12 numpy does not declare its arrays as buffers to type
        # checkers; its array interface tells them apart from objects that
        # merely convert to an array.
        @property
        def __array_interface__(self) -> dict[str, Any]: ...
        def __len__(self) -> int: ...

    _Buffer: TypeAlias = Buffer | _NumpyArray

_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | _Buffer
# A sequence of vectors, or a two-dimensional numeric buffer, one row per query.
_Vectors: TypeAlias = Sequence[_Vector] | _Buffer
# Values of other types are dropped when stored.
_Payload: TypeAlias = Mapping[str, str | int | float]
# "cosine", "dot_product" (or "dot"), "euclidean" (or "l2"), in any case;
# a plain str, since metric names often come from configuration. Any other
# name raises ValueError at run time.
_Metric: TypeAlias = str

@final
class VectorStorage:
    """A high-performance vector storage and search engine exposed to Python."""

    def __new__(cls) -> "VectorStorage": ...
    def upsert(self, point_id: SupportsIndex, vector: _Vector, payload: _Payload | None) -> None: ...
    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: _Metric,
        tenant_id: str | None = None,
    ) -> list[tuple[int, float]]: ...
    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: _Metric,
        tenant_id: str | None = None,
    ) -> list[list[tuple[int, float]]]: ...
    def save(self, path: str) -> None: ...
    def load(self, path: str) -> None: ...
