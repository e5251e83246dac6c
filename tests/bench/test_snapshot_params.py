"""The snapshot rewrite behind quorbell's recall curve: it must find the
search breadth behind points of every payload shape, and change nothing else."""

import struct

import pytest

from snapshot_params import graph_params, read_varint, with_ef_search, write_varint


def varint(n):
    return write_varint(n)


def string(text):
    raw = text.encode()
    return varint(len(raw)) + raw


def point(pid, vector, payload=None):
    out = varint(pid) + varint(pid) + varint(len(vector)) + struct.pack(f"<{len(vector)}f", *vector)
    if payload is None:
        return out + b"\x00"
    return out + b"\x01" + varint(len(payload)) + b"".join(string(k) + v for k, v in payload)


def snapshot(points, m=16, ef_construction=64, ef_search=32, tail=b"\x01\x07\x00\x00"):
    return varint(len(points)) + b"".join(points) + varint(m) + varint(ef_construction) + \
        varint(ef_search) + tail


@pytest.mark.parametrize("value,encoded", [
    (0, b"\x00"), (127, b"\x7f"), (128, b"\x80\x01"), (300, b"\xac\x02"),
    (2**64 - 1, b"\xff" * 9 + b"\x01"),
])
def test_varint_round_trip(value, encoded):
    assert write_varint(value) == encoded
    assert read_varint(encoded + b"\x55", 0) == (value, len(encoded))


PAYLOADS = {
    "none": None,
    "empty": [],
    "keyword and text": [("tenant_id", b"\x00" + string("a")), ("about", b"\x01" + string("x" * 200))],
    "integer and float": [("n", b"\x02" + varint(600)), ("f", b"\x03" + struct.pack("<d", 0.5))],
}


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
@pytest.mark.parametrize("new_ef", [10, 32, 200, 70000])
def test_rewrites_only_ef_search(payload, new_ef):
    points = [point(7, [1.0, 2.0], payload), point(300, [0.5] * 40, payload)]
    original = snapshot(points, m=8, ef_construction=200)
    assert graph_params(original) == (8, 200, 32)
    rewritten = with_ef_search(original, new_ef)
    assert graph_params(rewritten) == (8, 200, new_ef)
    assert rewritten == snapshot(points, m=8, ef_construction=200, ef_search=new_ef)


def test_empty_store():
    empty = bytes([0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00])
    assert with_ef_search(empty, 128) == bytes([0x00, 0x10, 0x40, 0x80, 0x01, 0x00, 0x00, 0x00])


@pytest.mark.parametrize("broken", [b"", b"\x01\x07\x07\x02" + b"\x00" * 8, b"\x01\x07\x07\x00\x05"])
def test_malformed_snapshots_are_refused(broken):
    with pytest.raises(ValueError):
        with_ef_search(broken, 64)
