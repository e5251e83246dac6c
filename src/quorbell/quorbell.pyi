"""Maps high-performance native subroutines directly onto the Python runtime."""

from collections.abc import Mapping, Sequence
from typing import Literal, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

__all__ = ["VectorStorage"]

class _ArrayLike(Protocol):
    # What numpy arrays offer on every Python version; they declare the
    # buffer protocol to type checkers only from Python 3.12 on.
    def __array__(self) -> object: ...

# A sequence of numbers, or a one-dimensional numeric buffer: a numpy
# array, array.array, memoryview, bytes or bytearray.
_Vector: TypeAlias = Sequence[SupportsFloat] | Buffer | _ArrayLike
# A sequence of vectors, or a two-dimensional numeric buffer, one row per query.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer | _ArrayLike
# Values of other types are dropped when stored.
_Payload: TypeAlias = Mapping[str, str | int | float]
# Matched in any case.
_Metric: TypeAlias = Literal["cosine", "dot_product", "dot", "euclidean", "l2"]

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
