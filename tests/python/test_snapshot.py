"""Snapshots through the Python surface: the bytes save writes, what load
accepts, every OSError, and the guarantee that a failed save keeps the
previous snapshot.

The tests carry their own small codec of the format, so they can craft any
state (graph included) as bytes, load it, and read back what save writes.
"""

import errno
import json
import os
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from pinned_texts import (
    BAD_OPTION,
    BAD_UTF8,
    BAD_VARIANT,
    BAD_VARINT,
    CORRUPT,
    CREATE,
    END_OF_DATA,
    NUL_PATH,
    OPEN,
    READ,
    TRAILING,
    WRITE,
)
import quorbell

U64 = (1 << 64) - 1
KEYWORD, TEXT, INTEGER, FLOAT = range(4)


def os_error(number):
    return f"{os.strerror(number)} (os error {number})"


# ---- A reference codec.
#
# A state is (points, index). points: a list of (key, id, vector, payload),
# where vector is a list of 32-bit patterns and payload is None or a list of
# (name bytes, tag, value): bytes for tags 0 and 1, an int for 2, a 64-bit
# pattern for 3. index: (m, ef_construction, ef_search, entry_point or None,
# max_level, nodes), nodes a list of (key, id, 16 lists of ids). Lists, not
# dicts, so a state may repeat keys as a file can.


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def encode(state):
    points, (m, ef_construction, ef_search, entry, max_level, nodes) = state
    out = bytearray(varint(len(points)))
    for key, point_id, vector, payload in points:
        out += varint(key) + varint(point_id) + varint(len(vector))
        out += b"".join(struct.pack("<I", bits) for bits in vector)
        if payload is None:
            out += b"\x00"
            continue
        out += b"\x01" + varint(len(payload))
        for name, tag, value in payload:
            out += varint(len(name)) + name + varint(tag)
            if tag in (KEYWORD, TEXT):
                out += varint(len(value)) + value
            elif tag == INTEGER:
                out += varint((value << 1) ^ (value >> 63))
            else:
                out += struct.pack("<Q", value)
    out += varint(m) + varint(ef_construction) + varint(ef_search)
    out += b"\x00" if entry is None else b"\x01" + varint(entry)
    out += varint(max_level) + varint(len(nodes))
    for key, node_id, layers in nodes:
        out += varint(key) + varint(node_id)
        for ids in layers:
            out += varint(len(ids)) + b"".join(varint(i) for i in ids)
    return bytes(out)


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, n):
        if self.at + n > len(self.data):
            raise ValueError("truncated")
        chunk = self.data[self.at : self.at + n]
        self.at += n
        return chunk

    def varint(self):
        value = shift = 0
        while True:
            byte = self.take(1)[0]
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def option(self):
        return self.take(1)[0] == 1


def decode(data):
    r = Reader(data)
    points = []
    for _ in range(r.varint()):
        key, point_id, length = r.varint(), r.varint(), r.varint()
        vector = [struct.unpack("<I", r.take(4))[0] for _ in range(length)]
        payload = None
        if r.option():
            payload = []
            for _ in range(r.varint()):
                name = r.take(r.varint())
                tag = r.varint()
                if tag in (KEYWORD, TEXT):
                    value = r.take(r.varint())
                elif tag == INTEGER:
                    u = r.varint()
                    value = (u >> 1) ^ -(u & 1)
                else:
                    value = struct.unpack("<Q", r.take(8))[0]
                payload.append((name, tag, value))
        points.append((key, point_id, vector, payload))
    m, ef_construction, ef_search = r.varint(), r.varint(), r.varint()
    entry = r.varint() if r.option() else None
    max_level = r.varint()
    nodes = []
    for _ in range(r.varint()):
        key, node_id = r.varint(), r.varint()
        layers = [[r.varint() for _ in range(r.varint())] for _ in range(16)]
        nodes.append((key, node_id, layers))
    return points, (m, ef_construction, ef_search, entry, max_level, nodes)


def canonical(state):
    """The state as maps, a later entry replacing an earlier one."""
    points, (m, ef_construction, ef_search, entry, max_level, nodes) = state
    return (
        {
            key: (point_id, tuple(vector), None if payload is None else {n: (t, v) for n, t, v in payload})
            for key, point_id, vector, payload in points
        },
        (m, ef_construction, ef_search, entry, max_level),
        {key: (node_id, tuple(map(tuple, layers))) for key, node_id, layers in nodes},
    )


def empty_layers():
    return [[] for _ in range(16)]


DEFAULT_INDEX = (16, 64, 32, None, 0, [])
WORKED_EXAMPLE = bytes.fromhex(
    "01 07 07 02 0000803F 00000040 01 01 0974656E616E745F6964 00 0161"
    " 10 40 20 0107 00 01 07 07" + " 00" * 16
)


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


# ---- Helpers


def save_bytes(store, tmp_path, name="out.qb"):
    path = tmp_path / name
    store.save(str(path))
    return path.read_bytes()


def load_bytes(data, tmp_path, name="in.qb"):
    path = tmp_path / name
    path.write_bytes(data)
    store = quorbell.VectorStorage()
    store.load(str(path))
    return store


def snapshot_of(store, tmp_path):
    return canonical(decode(save_bytes(store, tmp_path)))


def leftovers(directory, *keep):
    return sorted(set(os.listdir(directory)) - set(keep))


# ---- Bytes


def test_empty_store_saves_seven_bytes(store, tmp_path):
    assert save_bytes(store, tmp_path) == bytes.fromhex("00 10 40 20 00 00 00")


def test_worked_example_round_trips_exactly(tmp_path):
    assert len(WORKED_EXAMPLE) == 52
    store = load_bytes(WORKED_EXAMPLE, tmp_path)
    assert save_bytes(store, tmp_path) == WORKED_EXAMPLE
    assert store.search([1.0, 2.0], 5, "dot") == [(7, 5.0)]
    assert store.search([1.0, 2.0], 5, "dot", tenant_id="a") == [(7, 5.0)]


def test_upserted_points_are_written_as_stored(store, tmp_path):
    text = "€" * 22  # 66 UTF-8 bytes: a Text
    store.upsert(1, [1.0, 0.1], {"kw": "x" * 64, "text": text, "int": -3, "bool": True, "f": 0.5, "skip": None})
    store.upsert(2, [], {})
    store.upsert(3, [2.5, 3.5, 4.5], None)
    points, index, nodes = snapshot_of(store, tmp_path)
    assert points == {
        1: (1, (f32_bits(1.0), f32_bits(0.1)), {
            b"kw": (KEYWORD, b"x" * 64),
            b"text": (TEXT, text.encode()),
            b"int": (INTEGER, -3),
            b"bool": (INTEGER, 1),
            b"f": (FLOAT, struct.unpack("<Q", struct.pack("<d", 0.5))[0]),
        }),
        2: (2, (), {}),
        3: (3, tuple(map(f32_bits, [2.5, 3.5, 4.5])), None),
    }
    assert index[:3] == (16, 64, 32)
    # Whatever the graph holds, it holds only stored ids.
    assert set(nodes) <= set(points)


def test_saving_twice_writes_identical_files(store, tmp_path):
    for i in range(50):
        store.upsert(i, [float(i), 1.0, -2.0], {"tenant_id": f"t{i % 3}", "n": i})
    assert save_bytes(store, tmp_path, "a.qb") == save_bytes(store, tmp_path, "b.qb")


def test_load_replaces_everything(store, tmp_path):
    store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
    path = str(tmp_path / "a.qb")
    store.save(path)
    saved = (tmp_path / "a.qb").read_bytes()
    store.upsert(2, [0.0, 1.0], None)
    store.upsert(1, [5.0, 5.0], None)
    store.load(path)
    assert store.search([1.0, 0.0], 10, "dot") == [(1, 1.0)]
    assert save_bytes(store, tmp_path) == saved


def test_loaded_graph_parameters_are_kept(tmp_path):
    nodes = [(7, 7, empty_layers())]
    state = ([(7, 7, [f32_bits(1.0)], None)], (8, 100, 3, 7, 2, nodes))
    store = load_bytes(encode(state), tmp_path)
    store.upsert(9, [0.5], None)
    points, index, saved_nodes = snapshot_of(store, tmp_path)
    assert index[:3] == (8, 100, 3)
    assert set(points) == {7, 9}


def chain_state(ef_search, m=16, count=500):
    """count points linked in a chain on layer 0, entered at point 0."""
    points = [(i, i, [f32_bits(1.0), f32_bits(i / count)], None) for i in range(count)]
    nodes = [(i, i, [[j for j in (i - 1, i + 1) if 0 <= j < count]] + [[] for _ in range(15)]) for i in range(count)]
    return points, (m, 64, ef_search, 0, 0, nodes)


@pytest.mark.parametrize("ef_search", [0, 3, 40])
def test_a_loaded_ef_search_still_reaches_the_limit(tmp_path, ef_search):
    store = load_bytes(encode(chain_state(ef_search)), tmp_path)
    assert store.search([1.0, 0.5], 1, "cosine")[0][0] == 250
    assert len(store.search([1.0, 0.5], 100, "cosine")) == 100


def test_loaded_m_drives_later_level_draws(tmp_path):
    # With m 1 every level drawn is 15, so the next point becomes the entry
    # point at the top layer.
    store = load_bytes(encode(chain_state(32, m=1, count=3)), tmp_path)
    store.upsert(99, [1.0, 1.0], None)
    _, (m, _, _, entry, max_level), nodes = snapshot_of(store, tmp_path)
    assert (m, entry, max_level) == (1, 99, 15)
    assert 99 in nodes


def test_unvalidated_states_load_as_written(tmp_path):
    """Keys that differ from ids, a long Keyword, links to nothing, a
    max_level above 15 and neighbour lists of every layer load unchanged."""
    layers = [[k, 1 << 60] for k in range(16)]
    state = (
        [(5, 6, [f32_bits(1.0)], [(b"k", KEYWORD, b"y" * 100)]), (U64, 0, [], [(b"t", TEXT, b"z")])],
        (0, 0, 0, U64, 40, [(5, 99, layers), (1 << 63, 5, empty_layers())]),
    )
    data = encode(state)
    assert canonical(decode(save_bytes(load_bytes(data, tmp_path), tmp_path))) == canonical(state)


# ---- Corrupt files


def worked_with(at, value):
    data = bytearray(WORKED_EXAMPLE)
    data[at] = value
    return bytes(data)


@pytest.mark.parametrize(
    "data, text",
    [
        (worked_with(12, 0x02), BAD_OPTION),  # payload tag
        (worked_with(30, 0x02), BAD_OPTION),  # entry point tag
        (worked_with(24, 0x04), BAD_VARIANT),  # variant index
        (worked_with(15, 0xFF), BAD_UTF8),  # a byte of the payload key
        (b"\xff" * 9 + b"\x02" + WORKED_EXAMPLE[1:], BAD_VARINT),  # point count
        (b"", END_OF_DATA),
        (b"\x05\x01\x01\xff\xff\xff\xff\xff\xff\xff\x7f", END_OF_DATA),  # huge vector length
        (WORKED_EXAMPLE + b"\x00", TRAILING),
        (WORKED_EXAMPLE + WORKED_EXAMPLE, TRAILING),
        (bytes(4096), TRAILING),  # what a crash can leave behind
    ],
    ids=["payload-tag", "entry-tag", "variant", "utf8", "varint", "empty", "huge-count",
         "trailing-byte", "two-snapshots", "page-of-zeros"],
)
def test_corrupt_files_fail_and_change_nothing(store, tmp_path, data, text):
    store.upsert(3, [1.0, 1.0], None)
    before = save_bytes(store, tmp_path, "before.qb")
    with pytest.raises(OSError) as failure:
        load_bytes_into(store, data, tmp_path)
    assert failure.value.args == (CORRUPT + text,)
    assert save_bytes(store, tmp_path, "after.qb") == before


def load_bytes_into(store, data, tmp_path):
    path = tmp_path / "in.qb"
    path.write_bytes(data)
    store.load(str(path))


def test_every_truncation_fails_at_the_end_of_data(store, tmp_path):
    store.upsert(1, [1.0, 2.0, 3.0], {"s": "text", "i": -7, "f": 2.5})
    store.upsert(2, [4.0], {})
    full = save_bytes(store, tmp_path)
    target = quorbell.VectorStorage()
    for length in range(len(full)):
        with pytest.raises(OSError) as failure:
            load_bytes_into(target, full[:length], tmp_path)
        assert failure.value.args == (CORRUPT + END_OF_DATA,), length
    assert save_bytes(target, tmp_path) == bytes.fromhex("00 10 40 20 00 00 00")


# ---- File errors


@pytest.mark.parametrize(
    "operation, make_path, message",
    [
        ("save", lambda d: str(d / "a\0b"), CREATE + NUL_PATH),
        ("load", lambda d: str(d / "a\0b"), OPEN + NUL_PATH),
        ("save", lambda d: str(d / "missing" / "x.qb"), CREATE + os_error(errno.ENOENT)),
        ("save", lambda d: str(d), CREATE + os_error(errno.EISDIR)),
        ("save", lambda d: str(d) + "/", CREATE + os_error(errno.EISDIR)),
        ("save", lambda d: str(d / "new") + "/", CREATE + os_error(errno.EISDIR)),
        ("save", lambda d: "", CREATE + os_error(errno.ENOENT)),
        ("load", lambda d: str(d / "missing.qb"), OPEN + os_error(errno.ENOENT)),
        ("load", lambda d: str(d), READ + os_error(errno.EISDIR)),
        ("save", lambda d: "/dev/full", WRITE + os_error(errno.ENOSPC)),
        # Decoding stops where the encoding ends, so an endless device fails at once.
        ("load", lambda d: "/dev/zero", CORRUPT + TRAILING),
    ],
    ids=["save-nul", "load-nul", "save-missing-dir", "save-dir", "save-dir-slash", "save-new-slash",
         "save-empty", "load-missing", "load-dir", "save-full-device", "load-dev-zero"],
)
def test_file_errors(store, tmp_path, operation, make_path, message):
    store.upsert(1, [1.0], None)
    with pytest.raises(OSError) as failure:
        getattr(store, operation)(make_path(tmp_path))
    assert type(failure.value) is OSError
    assert failure.value.args == (message,)
    assert leftovers(tmp_path) == []
    assert store.search([1.0], 5, "dot") == [(1, 1.0)]


PERMISSION_CHECKS = textwrap.dedent(
    """
    import json, os, sys
    import quorbell
    directory = sys.argv[1]
    store = quorbell.VectorStorage()
    results = []
    def attempt(operation, path):
        try:
            getattr(store, operation)(path)
            results.append(None)
        except OSError as error:
            results.append(error.args)
    locked = os.path.join(directory, "locked.qb")
    with open(locked, "wb") as f:
        f.write(b"old")
    os.chmod(locked, 0o444)
    attempt("save", locked)
    results.append(open(locked, "rb").read().decode())
    os.chmod(locked, 0o000)
    attempt("load", locked)
    sealed = os.path.join(directory, "sealed")
    os.mkdir(sealed, 0o500)
    attempt("save", os.path.join(sealed, "x.qb"))
    print(json.dumps(results))
    """
)


@pytest.fixture
def shared_directory():
    """A directory any user may write to, outside pytest's private tree."""
    directory = tempfile.mkdtemp(dir="/tmp")
    os.chmod(directory, 0o777)
    yield directory
    shutil.rmtree(directory)


def test_permission_errors(shared_directory):
    # Root bypasses file permissions, so the checks run as an ordinary user.
    drop = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
    result = subprocess.run([sys.executable, "-c", PERMISSION_CHECKS, shared_directory],
                            capture_output=True, text=True, **drop)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [
        [CREATE + os_error(errno.EACCES)],
        "old",
        [OPEN + os_error(errno.EACCES)],
        [CREATE + os_error(errno.EACCES)],
    ]
    assert sorted(os.listdir(shared_directory)) == ["locked.qb", "sealed"]


# ---- A failed save keeps the previous snapshot

FAILING_SAVE = textwrap.dedent(
    """
    import json, resource, signal, sys
    import quorbell
    path, points, dimension, limit = sys.argv[1], *map(int, sys.argv[2:])
    store = quorbell.VectorStorage()
    for i in range(points):
        store.upsert(i, [float(i)] * dimension, {"tenant_id": "t"})
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    try:
        store.save(path)
    except OSError as error:
        print(json.dumps(error.args))
    else:
        print(json.dumps(None))
    """
)


@pytest.mark.parametrize("points, dimension", [(4, 4), (40, 64)], ids=["below-8192-bytes", "above-8192-bytes"])
def test_failed_save_keeps_the_previous_snapshot(tmp_path, points, dimension):
    target = tmp_path / "store.qb"
    previous = WORKED_EXAMPLE
    target.write_bytes(previous)
    result = subprocess.run(
        [sys.executable, "-c", FAILING_SAVE, str(target), str(points), str(dimension), "60"],
        capture_output=True, text=True, check=True,
    )
    assert json.loads(result.stdout) == [WRITE + os_error(errno.EFBIG)]
    assert target.read_bytes() == previous
    assert leftovers(tmp_path) == ["store.qb"]


# ---- Permissions, links and special files


@pytest.fixture
def umask_027():
    old = os.umask(0o027)
    yield
    os.umask(old)


def test_new_file_gets_0666_less_the_umask(store, tmp_path, umask_027):
    store.save(str(tmp_path / "new.qb"))
    assert stat.S_IMODE(os.stat(tmp_path / "new.qb").st_mode) == 0o640


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o604, 0o666])
def test_replaced_file_keeps_its_mode(store, tmp_path, umask_027, mode):
    target = tmp_path / "old.qb"
    target.write_bytes(b"old")
    target.chmod(mode)
    store.save(str(target))
    assert stat.S_IMODE(os.stat(target).st_mode) == mode
    assert target.read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")


@pytest.mark.parametrize("existing", [True, False], ids=["existing", "dangling"])
def test_symlink_is_followed(store, tmp_path, existing):
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "real.qb"
    if existing:
        real.write_bytes(b"old")
    (tmp_path / "links").mkdir()
    link = tmp_path / "links" / "link.qb"
    link.symlink_to("../data/real.qb")
    chained = tmp_path / "chained.qb"
    chained.symlink_to(link)
    store.upsert(1, [1.0], None)
    store.save(str(chained))
    assert os.readlink(link) == "../data/real.qb" and chained.is_symlink()
    assert real.read_bytes() == save_bytes(store, tmp_path)
    assert sorted(os.listdir(tmp_path / "data")) == ["real.qb"]


def test_symlink_loop_is_refused(store, tmp_path):
    (tmp_path / "a").symlink_to("b")
    (tmp_path / "b").symlink_to("a")
    with pytest.raises(OSError) as failure:
        store.save(str(tmp_path / "a"))
    assert failure.value.args == (CREATE + os_error(errno.ELOOP),)


def test_dev_null_is_written_in_place(store):
    store.upsert(1, [1.0] * 3000, None)  # more than 8192 bytes
    store.save("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_fifo_is_written_in_place(store, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    store.upsert(1, [2.0, 3.0], {"k": "v"})
    # Another process reads: save keeps the interpreter lock while it waits
    # for a reader to open the pipe.
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    store.save(str(fifo))
    received, _ = reader.communicate(timeout=60)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert received == save_bytes(store, tmp_path)


# ---- Memory of a load: peak growth at most 8 x the file + 64 MiB, final
# store included, for crafted files of the shapes that cost most per byte
# and for payload-heavy files that a save writes

LOAD_PEAK = textwrap.dedent(
    """
    import sys
    import quorbell
    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    store = quorbell.VectorStorage()
    before = peak()
    store.load(sys.argv[1])
    print(peak() - before)
    """
)

CRAFTED_BYTES = 24 << 20
WIDE = 1 << 21  # ids from here on take 4 bytes
HUGE = 1 << 63  # and from here on 10
DEFAULT_INDEX_BYTES = bytes.fromhex("10 40 20 00 00 00")


def crafted_graph(nodes):
    """No points; an index whose nodes are the given encodings."""
    return b"\x00" + bytes([0x10, 0x40, 0x20, 0x00, 0x0F]) + varint(len(nodes)) + b"".join(nodes)


def one_node_list(ids):
    return crafted_graph([b"\x01\x01" + varint(len(ids)) + b"".join(map(varint, ids)) + bytes(15)])


def points_with_payloads(payloads):
    """Points with 3-byte keys, empty vectors and these encoded payloads."""
    return varint(len(payloads)) + b"".join(varint(WIDE // 128 + k) * 2 + b"\x00\x01" + p
                                            for k, p in enumerate(payloads)) + DEFAULT_INDEX_BYTES


def one_payload(entries):
    return points_with_payloads([varint(len(entries)) + b"".join(entries)])


CRAFTED = {
    "many-nodes": lambda n: crafted_graph([varint(WIDE + k) + b"\x00" + bytes(16) for k in range(n // 21)]),
    "long-list-of-distinct-ids": lambda n: one_node_list(range(WIDE, WIDE + n // 4)),
    "long-list-of-one-id": lambda n: one_node_list([1] * n),
    "upper-layers": lambda n: crafted_graph([varint(WIDE + k) + b"\x00" + bytes(15) + b"\x01\x01"
                                             for k in range(n // 23)]),
    "huge-ids": lambda n: crafted_graph([varint(HUGE + k) + b"\x00\x02" + varint(HUGE + 2 * k + 1)
                                         + varint(HUGE + 2 * k + 2) + bytes(15) for k in range(n // 41)]),
    "many-points": lambda n: varint(n // 6) + b"".join(varint(WIDE // 128 + k) + b"\x00\x00\x00"
                                                       for k in range(n // 6)) + DEFAULT_INDEX_BYTES,
    "one-payload-key-repeated": lambda n: one_payload([b"\x00\x02\x00"] * (n // 3)),
    "one-payload-of-distinct-keys": lambda n: one_payload([bytes([4, k & 127, k >> 7 & 127, k >> 14 & 127, k >> 21])
                                                           + b"\x02\x00" for k in range(n // 7)]),
    "one-entry-payloads": lambda n: points_with_payloads([b"\x01\x00\x02\x00"] * (n // 12)),
    "unique-tenants": lambda n: points_with_payloads([b"\x01\x09tenant_id\x00" + varint(len(t)) + t
                                                      for t in (b"%x" % k for k in range(n // 24))]),
}


@pytest.mark.parametrize("shape", CRAFTED)
def test_load_memory_is_bounded_by_the_file_size(tmp_path, shape):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer's shadow memory is not the store's")
    data = CRAFTED[shape](CRAFTED_BYTES)
    path = tmp_path / "crafted.qb"
    path.write_bytes(data)
    loaded = subprocess.run([sys.executable, "-c", LOAD_PEAK, str(path)], capture_output=True, text=True, check=True)
    assert int(loaded.stdout) <= 8 * len(data) + (64 << 20)


# ---- Out of memory: MemoryError, and the store and the old file unchanged

OUT_OF_MEMORY = textwrap.dedent(
    """
    import os, resource, sys
    import quorbell
    operation, directory = sys.argv[1:]
    def address_space():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    def saved(store, name):
        path = os.path.join(directory, name)
        store.save(path)
        with open(path, "rb") as file:
            return file.read()
    # A node whose list holds 8 million links: loading it needs 32 MiB,
    # and saving it 64 MiB, against 16 MiB to spare.
    crafted = os.path.join(directory, "crafted.qb")
    big, small = quorbell.VectorStorage(), quorbell.VectorStorage()
    big.load(crafted)
    small.upsert(1, [2.0], None)
    old = saved(small, "target.qb")
    store, path = {"load": (small, crafted), "save": (big, os.path.join(directory, "target.qb"))}[operation]
    before = saved(store, "before.qb")
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (16 << 20), hard))
    try:
        getattr(store, operation)(path)
        outcome = "returned"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    with open(os.path.join(directory, "target.qb"), "rb") as file:
        print(outcome, saved(store, "after.qb") == before, file.read() == old)
    """
)


@pytest.mark.parametrize("operation", ["save", "load"])
def test_out_of_memory_leaves_store_and_file_unchanged(tmp_path, operation):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space limit cannot coexist with the address sanitizer")
    (tmp_path / "crafted.qb").write_bytes(one_node_list([1] * (8 << 20)))
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, operation, str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "True", "True"]
    assert leftovers(tmp_path) == ["after.qb", "before.qb", "crafted.qb", "target.qb"]


# ---- Ctrl-C ends a save or load that blocks

INTERRUPTED = textwrap.dedent(
    """
    import signal, sys
    import quorbell
    signal.signal(signal.SIGINT, signal.default_int_handler)
    operation, path, before = sys.argv[1:]
    store = quorbell.VectorStorage()
    for i in range(600):  # a snapshot of about 300 KiB, more than a pipe holds
        store.upsert(i, [float(i % 7), 1.0] * 64, {"tenant_id": "t"})
    store.save(before)
    print("ready", flush=True)
    try:
        getattr(store, operation)(path)
        print("returned")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    store.save(before + ".after")
    print(open(before, "rb").read() == open(before + ".after", "rb").read())
    """
)


# The other end of the FIFO: none (open blocks), or held by the test and
# never served (the first write past the pipe's capacity, or the read after
# a partial snapshot, blocks).
@pytest.mark.parametrize(
    "operation, other_end",
    [("save", None), ("save", b""), ("load", None), ("load", WORKED_EXAMPLE[:20])],
    ids=["save-no-reader", "save-reader-stalls", "load-no-writer", "load-writer-stalls"],
)
def test_ctrl_c_abandons_a_blocked_save_or_load(tmp_path, operation, other_end):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    held = None
    if other_end is not None:
        held = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        os.write(held, other_end)
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED, operation, str(fifo), str(tmp_path / "before.qb")],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)  # into the blocking call
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=60)
    finally:
        child.kill()
        if held is not None:
            os.close(held)
    assert output.split() == ["KeyboardInterrupt", "True"]
    assert leftovers(tmp_path) == ["before.qb", "before.qb.after", "pipe"]


# ---- A signal handler that calls the store during its save

REENTERED = textwrap.dedent(
    """
    import os, signal, sys
    import quorbell
    fifo, other = sys.argv[1:]
    store = quorbell.VectorStorage()
    for i in range(600):  # a snapshot of about 300 KiB, more than a pipe holds
        store.upsert(i, [float(i % 7), 1.0] * 64, {"tenant_id": "t"})
    store.save(other)
    def attempt(name, call):
        try:
            call()
            print(name, "ok")
        except RuntimeError as error:
            print(name, "RuntimeError", "busy in the current thread" in str(error))
    def on_hangup(*_):
        attempt("upsert", lambda: store.upsert(1, [2.0], None))
        attempt("load", lambda: store.load(other))
        attempt("search", lambda: store.search([1.0] * 128, 1, "dot"))
        attempt("batch", lambda: store.batch_search([[1.0] * 128], 1, "dot"))
        attempt("save", lambda: store.save(other))
        attempt("other-store", lambda: quorbell.VectorStorage().upsert(1, [2.0], None))
    signal.signal(signal.SIGHUP, on_hangup)
    signal.alarm(60)  # a handler that waits for its own thread ends here
    print("ready", flush=True)
    store.save(fifo)
    print("saved")
    """
)


def test_a_handler_that_changes_the_store_during_its_save_is_refused(tmp_path):
    fifo, other = tmp_path / "pipe", tmp_path / "other.qb"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets the save open it at once
    child = subprocess.Popen([sys.executable, "-c", REENTERED, str(fifo), str(other)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)  # into the write that waits for the reader
        child.send_signal(signal.SIGHUP)
        os.set_blocking(reader, True)
        with os.fdopen(reader, "rb") as pipe:
            saved = pipe.read()
        output, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert output.splitlines() == [
        "upsert RuntimeError True", "load RuntimeError True", "search ok", "batch ok", "save ok",
        "other-store ok", "saved",
    ]
    assert saved == other.read_bytes()  # the save went on, whole and unchanged


# ---- Another thread that writes the store while its save runs handlers

WAITED_OUT = textwrap.dedent(
    """
    import faulthandler, signal, sys, threading
    import quorbell
    faulthandler.dump_traceback_later(60, exit=True)
    fifo, other = sys.argv[1:]
    store = quorbell.VectorStorage()
    for i in range(600):  # a snapshot of about 300 KiB, more than a pipe holds
        store.upsert(i, [float(i % 7), 1.0] * 64, {"tenant_id": "t"})
    store.save(other)
    inside = threading.Event()
    def on_timer(*_):
        sum(range(10_000))  # a little work, during which other threads may run
        try:
            store.load(other + ".missing")  # refused only inside the save, else OSError
        except RuntimeError:
            inside.set()
        except OSError:
            pass
    def writer():
        inside.wait()
        print("writing", flush=True)
        store.upsert(600, [1.0] * 128, None)
        store.load(other)
        print("written", flush=True)
    thread = threading.Thread(target=writer)
    thread.start()
    signal.signal(signal.SIGALRM, on_timer)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    store.save(fifo)
    thread.join()
    signal.setitimer(signal.ITIMER_REAL, 0)
    print("saved")
    loaded = quorbell.VectorStorage()
    loaded.load(other)
    for copy, name in [(store, ".after"), (loaded, ".loaded")]:
        copy.save(other + name)
    print(open(other + ".loaded", "rb").read() == open(other + ".after", "rb").read())
    """
)


def test_a_write_from_another_thread_waits_out_a_save_that_runs_handlers(tmp_path):
    fifo, other = tmp_path / "pipe", tmp_path / "other.qb"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets the save open it at once
    child = subprocess.Popen([sys.executable, "-c", WAITED_OUT, str(fifo), str(other)],
                             stdout=subprocess.PIPE, text=True)
    saved = b""
    try:
        assert child.stdout.readline() == "writing\n"
        time.sleep(1)  # the reader stalls for a second while the writer waits for the store
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if select.select([reader], [], [], 1)[0]:
                piece = os.read(reader, 1 << 16)
                if not piece:
                    break
                saved += piece
        output, _ = child.communicate(timeout=30)
    finally:
        child.kill()
        os.close(reader)
    assert output.split() == ["written", "saved", "True"]
    assert saved == other.read_bytes()  # the save's cut, from before the writer's upsert


# ---- Round trips


def bits32():
    special = st.sampled_from([0, 0x80000000, 0x7FC00000, 0x7F800001, 0xFF800000, 0x7F7FFFFF, 1])
    return st.one_of(special, st.integers(0, 2**32 - 1))


ids = st.one_of(st.integers(0, 20), st.integers(0, U64))
names = st.text(max_size=6).map(str.encode)
values = st.one_of(
    st.tuples(st.just(KEYWORD), st.text(max_size=80).map(str.encode)),
    st.tuples(st.just(TEXT), st.text(max_size=80).map(str.encode)),
    st.tuples(st.just(INTEGER), st.integers(-(2**63), 2**63 - 1)),
    st.tuples(st.just(FLOAT), st.integers(0, U64)),
)
payloads = st.none() | st.lists(st.tuples(names, values).map(lambda e: (e[0], *e[1])), max_size=4)
points = st.lists(st.tuples(ids, ids, st.lists(bits32(), max_size=9), payloads), max_size=6)
node_lists = st.lists(st.lists(ids, max_size=5), min_size=16, max_size=16)
indexes = st.tuples(ids, ids, ids, st.none() | ids, ids, st.lists(st.tuples(ids, ids, node_lists), max_size=5))
states = st.tuples(points, indexes)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(state=states)
def test_crafted_states_round_trip(tmp_path, state):
    store = load_bytes(encode(state), tmp_path)
    saved = save_bytes(store, tmp_path)
    assert canonical(decode(saved)) == canonical(state)
    # Written anew: map entries may come in another order, never another size.
    assert len(saved) == len(encode(canonical_state(state)))


def canonical_state(state):
    """state with every repeated key reduced to its last entry."""
    points, index = state
    nodes = index[5]
    last = lambda entries: list({e[0]: e for e in entries}.values())  # noqa: E731
    points = [
        (k, i, v, None if p is None else [(n, *tv) for n, tv in {n: (t, v) for n, t, v in p}.items()])
        for k, i, v, p in last(points)
    ]
    return points, (*index[:5], last(nodes))


payload_dicts = st.dictionaries(
    st.text(max_size=6),
    st.one_of(st.text(max_size=70), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False), st.booleans(),
              st.none(), st.lists(st.integers(), max_size=2)),
    max_size=4,
)


def model_payload(payload):
    if payload is None:
        return None
    model = {}
    for name, value in payload.items():
        if isinstance(value, str):
            raw = value.encode()
            model[name.encode()] = (KEYWORD if len(raw) <= 64 else TEXT, raw)
        elif isinstance(value, int):
            model[name.encode()] = (INTEGER, int(value))
        elif isinstance(value, float):
            model[name.encode()] = (FLOAT, struct.unpack("<Q", struct.pack("<d", value))[0])
    return model


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(upserts=st.lists(
    st.tuples(st.integers(0, 12), st.lists(st.floats(width=32, allow_nan=False), max_size=7),
              st.none() | payload_dicts),
    max_size=20,
))
def test_upserted_stores_round_trip(tmp_path, upserts):
    store = quorbell.VectorStorage()
    model = {}
    for point_id, vector, payload in upserts:
        store.upsert(point_id, vector, payload)
        model[point_id] = (point_id, tuple(map(f32_bits, vector)), model_payload(payload))
    first = snapshot_of(store, tmp_path)
    assert first[0] == model
    reloaded = quorbell.VectorStorage()
    reloaded.load(str(tmp_path / "out.qb"))
    assert snapshot_of(reloaded, tmp_path) == first
