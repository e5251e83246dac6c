"""A quorbell store sharded over a Dask cluster: example code to copy and adapt.

One `quorbell.VectorStorage` lives in one process. When the points or the
query load outgrow one machine, `ShardedStore` spreads the points over
several stores, one per Dask worker, each kept there as an actor:

- every id belongs to one shard, chosen by a fixed hash of the id, so
  upserting an id again replaces the point in place;
- a search asks every shard and merges their hits into the global top
  `limit`, in the metric's order;
- `save` and `load` write and read one snapshot file per shard, all shards
  at once, plus a manifest that records the shard count and the hash;
- `snapshot_points` reads the points of one store's snapshot file, to move
  that store into shards.

    from distributed import Client
    client = Client("tcp://scheduler:8786")
    store = ShardedStore(client, shards=4)
    store.upsert_many(ids, vectors, payloads)
    hits = store.batch_search(queries, 10, "cosine")

The methods take the arguments `VectorStorage` takes, and a shard's error
reaches the caller as the exception that shard's store raised. Arguments
travel to the workers by pickle: pass numpy arrays or lists, not
generators. Each worker needs `quorbell`, `numpy` and this module importable
(install them on the workers, or `client.upload_file` this file).

Run this file to try it on a local cluster of two worker processes;
docs/scaling.md says when sharding pays and what it costs.
"""

import itertools
import json
import operator
import os
import struct
import uuid

import numpy as np

import quorbell

# The hash that places ids on shards. A saved sharded store can only be
# loaded by a store that places ids the same way, so the manifest names it.
HASH = "splitmix64"
MANIFEST = "manifest.json"
_U64 = 1 << 64


def _splitmix64(keys):
    """The splitmix64 finaliser of each uint64 key (arithmetic mod 2**64)."""
    z = keys + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def shard_of(ids, shards):
    """The shard of each id, as an array. An id that is no integer in
    0 .. 2**64-1 has no place: it goes to shard 0, whose store then refuses
    it with the error `VectorStorage.upsert` gives for it."""
    keys = np.zeros(len(ids), dtype=np.uint64)
    placeable = np.zeros(len(ids), dtype=bool)
    for n, point_id in enumerate(ids):
        try:
            key = operator.index(point_id)
        except TypeError:
            continue
        if 0 <= key < _U64:
            keys[n], placeable[n] = key, True
    return np.where(placeable, _splitmix64(keys) % np.uint64(shards), 0)


def hit_arrays(results):
    """Hit lists as three arrays (hits per query, then every id and every
    score in query order): they travel and merge far faster than tuples."""
    counts = np.fromiter(map(len, results), dtype=np.int64, count=len(results))
    hits = list(itertools.chain.from_iterable(results))
    ids = np.fromiter((hit[0] for hit in hits), dtype=np.uint64, count=len(hits))
    # A score is a 32-bit float widened to a Python float: narrowing is exact.
    scores = np.fromiter((hit[1] for hit in hits), dtype=np.float32, count=len(hits))
    return counts, ids, scores


def merge_hits(parts, limit, metric):
    """Each query's global top `limit` from every shard's `hit_arrays`, as
    lists of (id, score) tuples. The order is a store's own: best first by
    the metric (higher for cosine and dot, lower for Euclidean), NaN scores
    last, ties by shard order and then by each shard's own order."""
    if not len(parts[0][0]):
        return []
    ids, scores, present = [], [], []
    for counts, shard_ids, shard_scores in parts:
        filled = np.arange(counts.max(initial=0)) < counts[:, None]
        for rows, values in ((ids, shard_ids), (scores, shard_scores)):
            block = np.zeros(filled.shape, dtype=values.dtype)
            block[filled] = values  # row by row, so each query's hits in its row
            rows.append(block)
        present.append(filled)
    ids, scores, present = np.hstack(ids), np.hstack(scores), np.hstack(present)
    # Sort by group (0 a number, 1 NaN, 2 an empty slot), then by the score
    # in the metric's direction; lexsort is stable, which keeps the ties'
    # order: shard by shard, each in its own order.
    group = np.where(present, np.isnan(scores), 2)
    direction = 1 if metric.lower() in ("euclidean", "l2") else -1
    key = np.where(group == 0, direction * scores, 0)
    width = min(operator.index(limit), ids.shape[1])
    order = np.lexsort((key, group), axis=1)[:, :width]
    kept = np.minimum(present.sum(axis=1), width).tolist()
    ids = np.take_along_axis(ids, order, axis=1).tolist()
    scores = np.take_along_axis(scores, order, axis=1).tolist()
    return [list(zip(i[:n], s[:n])) for i, s, n in zip(ids, scores, kept)]


class Shard:
    """One store on a worker, held there as a Dask actor. Dask runs an
    actor's calls one at a time in the order they arrive, so a search sent
    after an upsert sees it."""

    def __init__(self):
        self.store = quorbell.VectorStorage()
        self.staged = None

    def upsert_many(self, ids, vectors, payloads):
        upsert = self.store.upsert
        for point_id, vector, payload in zip(ids, vectors, payloads):
            upsert(point_id, vector, payload)

    def search(self, query_vector, limit, metric, tenant_id):
        return hit_arrays([self.store.search(query_vector, limit, metric, tenant_id)])

    def batch_search(self, query_vectors, limit, metric, tenant_id):
        return hit_arrays(self.store.batch_search(query_vectors, limit, metric, tenant_id))

    def save(self, path):
        self.store.save(path)

    def stage_load(self, path):
        """Loads a snapshot beside the live store; `end_load` swaps it in."""
        staged = quorbell.VectorStorage()
        staged.load(path)
        self.staged = staged

    def end_load(self, commit):
        if commit:
            self.store = self.staged
        self.staged = None


def _gather(futures):
    """Every shard's answer, in shard order, once all have answered; the
    first failure by shard order is raised, as the shard raised it."""
    results, errors = [], []
    for future in futures:
        try:
            results.append(future.result())
        except Exception as error:
            errors.append(error)
    if errors:
        raise errors[0]
    return results


def _pick(sequence, positions):
    """The items of a list, tuple or array at the given positions."""
    if isinstance(sequence, np.ndarray):
        return sequence[positions]
    return [sequence[p] for p in positions.tolist()]


class ShardedStore:
    """Points spread over `shards` quorbell stores on the workers of a Dask
    cluster, searched as one store."""

    def __init__(self, client, shards):
        workers = sorted(client.scheduler_info()["workers"])
        if shards < 1 or not workers:
            raise ValueError(f"need at least one shard and one worker, got {shards} shards "
                             f"and {len(workers)} workers")
        # One shard per worker while there are workers to spare, then round
        # the workers again. pure=False: each submit makes a new actor.
        self._futures = [client.submit(Shard, actor=True, pure=False, workers=[workers[n % len(workers)]])
                         for n in range(shards)]
        self._shards = [future.result() for future in self._futures]

    @property
    def shards(self):
        return len(self._shards)

    def upsert(self, point_id, vector, payload):
        self.upsert_many([point_id], [vector], [payload])

    def upsert_many(self, ids, vectors, payloads=None):
        """Upserts ids[n] with vectors[n] and payloads[n] (None: no payloads),
        in one message per shard. Like a loop of `upsert`, it is not atomic:
        if a shard's store refuses a point, the points before it on that
        shard and every point of the other shards are stored."""
        if payloads is None:
            payloads = [None] * len(ids)
        if not len(ids) == len(vectors) == len(payloads):
            raise ValueError(f"{len(ids)} ids, {len(vectors)} vectors and {len(payloads)} payloads: "
                             "need one of each per point")
        placement = shard_of(ids, self.shards)
        calls = []
        for n, shard in enumerate(self._shards):
            positions = np.flatnonzero(placement == n)
            if positions.size:
                calls.append(shard.upsert_many(_pick(ids, positions), _pick(vectors, positions),
                                               _pick(payloads, positions)))
        _gather(calls)

    def search(self, query_vector, limit, metric, tenant_id=None):
        parts = _gather([shard.search(query_vector, limit, metric, tenant_id) for shard in self._shards])
        return merge_hits(parts, limit, metric)[0]

    def batch_search(self, query_vectors, limit, metric, tenant_id=None):
        parts = _gather([shard.batch_search(query_vectors, limit, metric, tenant_id)
                         for shard in self._shards])
        return merge_hits(parts, limit, metric)

    def save(self, directory):
        """Saves every shard to a file of its own in `directory`, which the
        workers and this process must all reach (one machine, or a shared
        file system). The manifest is written last and names the new files,
        so a save that fails or is cut short leaves the previous snapshot
        whole; the files it replaced are removed afterwards."""
        directory = os.path.abspath(directory)
        os.makedirs(directory, exist_ok=True)
        try:
            replaced = _read_manifest(directory).get("files")
        except (OSError, ValueError):  # no snapshot here yet, or not one of ours
            replaced = None
        generation = uuid.uuid4().hex[:12]
        files = [f"shard-{n}-{generation}.qb" for n in range(self.shards)]
        _gather([shard.save(os.path.join(directory, name)) for shard, name in zip(self._shards, files)])
        manifest = os.path.join(directory, MANIFEST)
        with open(manifest + ".tmp", "w") as out:
            json.dump({"shards": self.shards, "hash": HASH, "files": files}, out)
            out.flush()
            os.fsync(out.fileno())
        os.replace(manifest + ".tmp", manifest)
        for name in replaced if isinstance(replaced, list) else []:
            if _plain_name(name):
                _remove_quietly(os.path.join(directory, name))

    def load(self, directory):
        """Replaces every shard with its file from `directory`. A manifest of
        another shard count or hash is refused, and so is the whole load if
        any shard's file fails to load: then no shard has changed."""
        directory = os.path.abspath(directory)
        manifest = _read_manifest(directory)
        files = manifest.get("files")
        if (manifest.get("shards"), manifest.get("hash")) != (self.shards, HASH) or not _file_names(files, self.shards):
            raise ValueError(f"{directory} holds a sharded store of {manifest.get('shards')!r} shards placed by "
                             f"{manifest.get('hash')!r}; this one has {self.shards} shards placed by {HASH!r}")
        staged = False
        try:
            _gather([shard.stage_load(os.path.join(directory, name)) for shard, name in zip(self._shards, files)])
            staged = True
        finally:
            _gather([shard.end_load(staged) for shard in self._shards])


def _read_manifest(directory):
    with open(os.path.join(directory, MANIFEST)) as f:
        manifest = json.load(f)
    return manifest if isinstance(manifest, dict) else {}


def _plain_name(name):
    """True for the name of a file in the snapshot's own directory."""
    return isinstance(name, str) and os.path.basename(name) == name and name not in ("", ".", "..")


def _file_names(files, count):
    return isinstance(files, list) and len(files) == count and all(map(_plain_name, files))


def _remove_quietly(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def snapshot_points(path):
    """The points of a single store's snapshot file (one that
    `VectorStorage.load` accepts), as lists of ids, vectors and payloads in
    file order, ready for `upsert_many`: the way to move a store into
    shards. It reads the points section of docs/snapshot_format.md and
    skips the graph, which every shard builds anew for its own points."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 0

    def varint():
        nonlocal pos
        value = shift = 0
        while True:
            byte = data[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def string():
        nonlocal pos
        end = varint() + pos
        text, pos = data[pos:end].decode(), end
        return text

    def payload_value():
        nonlocal pos
        tag = varint()  # 0 Keyword, 1 Text, 2 Integer (zigzag), 3 Float
        if tag < 2:
            return string()
        if tag == 2:
            zigzag = varint()
            return (zigzag >> 1) ^ -(zigzag & 1)
        (value,), pos = struct.unpack_from("<d", data, pos), pos + 8
        return value

    ids, vectors, payloads = [], [], []
    for _ in range(varint()):
        varint()  # the key; the id field after it is what searches report
        ids.append(varint())
        length = varint()
        vectors.append(np.frombuffer(data, dtype="<f4", count=length, offset=pos))
        pos += 4 * length + 1
        payload = None
        if data[pos - 1]:
            payload = {}
            for _ in range(varint()):
                key = string()
                payload[key] = payload_value()
        payloads.append(payload)
    return ids, vectors, payloads


def main():
    import tempfile

    from distributed import Client, LocalCluster

    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((2000, 32), dtype=np.float32)
    payloads = [{"tenant_id": "acme" if n % 2 else "globex"} for n in range(len(vectors))]
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        store = ShardedStore(client, shards=2)
        store.upsert_many(np.arange(len(vectors), dtype=np.uint64), vectors, payloads)
        print("top 3 by cosine:      ", store.search(vectors[5], 3, "cosine"))
        print("top 3 of tenant acme: ", store.search(vectors[5], 3, "cosine", tenant_id="acme"))
        print("batch, top 2 by l2:   ", store.batch_search(vectors[:2], 2, "l2"))
        with tempfile.TemporaryDirectory() as folder:
            store.save(folder)
            restored = ShardedStore(client, shards=2)
            restored.load(folder)
            print("same after load:      ", restored.batch_search(vectors[:50], 10, "dot")
                  == store.batch_search(vectors[:50], 10, "dot"))


if __name__ == "__main__":
    main()
