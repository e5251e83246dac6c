"""Shared fixtures and helpers of the Python tests."""

import struct

import pytest

import quorbell


def f32(x):
    """x rounded to the nearest 32-bit float, as a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.fixture
def store():
    return quorbell.VectorStorage()


def stored_components(store, point_id, length):
    """Reads a stored vector back, one component per one-hot dot product.

    Each sum is -0.0 + x*1 + (the rest times 0), which is exactly x as long
    as the other components are finite.
    """
    components = []
    for i in range(length):
        one_hot = [0.0] * length
        one_hot[i] = 1.0
        hits = dict(store.search(one_hot, 1 << 20, "dot"))
        components.append(hits[point_id])
    return components
