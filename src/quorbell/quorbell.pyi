"""Maps high-performance native subroutines directly onto the Python runtime."""

from typing import Optional, Sequence, SupportsFloat, SupportsIndex, final

__all__ = ["VectorStorage"]

_Vector = Sequence[SupportsFloat]

@final
class VectorStorage:
    """A high-performance vector storage and search engine exposed to Python."""

    def __new__(cls) -> "VectorStorage": ...
    def upsert(self, point_id: SupportsIndex, vector: _Vector, payload: Optional[dict[str, object]]) -> None: ...
    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: str,
        tenant_id: Optional[str] = None,
    ) -> list[tuple[int, float]]: ...
    def batch_search(
        self,
        query_vectors: Sequence[_Vector],
        limit: SupportsIndex,
        metric: str,
        tenant_id: Optional[str] = None,
    ) -> list[list[tuple[int, float]]]: ...
    def save(self, path: str) -> None: ...
    def load(self, path: str) -> None: ...
