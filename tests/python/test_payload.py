"""Payload conversion: which values are kept, how strings are matched by
the tenant filter, the conversion errors, and a store left unchanged by a
rejected payload."""

import pytest

from hostile_objects import FloatSubclass, IntSubclass, StrSubclass
from pinned_texts import type_mismatch
import quorbell

V = [1.0, 0.0]


def tenant_hits(store, tenant, query=V):
    return [point_id for point_id, _ in store.search(query, 100, "dot", tenant)]


# ---- What is kept, seen through the tenant filter


@pytest.mark.parametrize(
    "value, tenant, matches",
    [
        ("acme", "acme", True),
        ("acme", "ACME", False),
        ("acme", "acme ", False),
        ("", "", True),
        ("", "x", False),
        ("k" * 64, "k" * 64, True),  # Keyword: 64 bytes
        ("t" * 65, "t" * 65, True),  # Text: 65 bytes
        ("\u20ac" * 22, "\u20ac" * 22, True),  # 22 characters, 66 UTF-8 bytes: Text
        ("x" * 100, "x" * 100, True),
        (StrSubclass("acme"), "acme", True),
        (7, "7", False),  # an Integer never matches
        (True, "True", False),
        (True, "1", False),
        (1.5, "1.5", False),  # nor does a Float
        (IntSubclass(3), "3", False),
        (FloatSubclass(2.5), "2.5", False),
        (None, "None", False),  # skipped
        (b"acme", "acme", False),  # skipped
        (["acme"], "acme", False),  # skipped
        ({"acme": 1}, "acme", False),  # skipped
    ],
)
def test_tenant_values(store, value, tenant, matches):
    store.upsert(1, V, {"tenant_id": value})
    assert tenant_hits(store, tenant) == ([1] if matches else [])


def test_other_keys_do_not_matter(store):
    store.upsert(1, V, {"a": None, "b": [1, 2], "c": 2, "tenant_id": "t", "d": {"x": 1}, "e": 2**63 - 1, "f": -(2**63)})
    assert tenant_hits(store, "t") == [1]


@pytest.mark.parametrize("payload", [None, {}, {"other": "acme"}, {"tenant_id": None}])
def test_without_a_tenant_string_no_tenant_matches(store, payload):
    store.upsert(1, V, payload)
    assert tenant_hits(store, "acme") == []
    assert tenant_hits(store, "") == []
    assert tenant_hits(store, None) == [1]


def test_dict_subclass_is_walked_by_its_entries(store):
    class Odd(dict):
        def items(self):
            raise AssertionError("not called")

        def __iter__(self):
            raise AssertionError("not called")

    store.upsert(1, V, Odd(tenant_id="acme"))
    assert tenant_hits(store, "acme") == [1]


def test_the_dict_is_left_as_it_was(store):
    payload = {"tenant_id": "acme", "n": 1, "skip": None}
    store.upsert(1, V, payload)
    assert payload == {"tenant_id": "acme", "n": 1, "skip": None}


def test_upsert_without_payload_removes_the_old_one(store):
    store.upsert(1, V, {"tenant_id": "acme"})
    store.upsert(1, V, None)
    assert tenant_hits(store, "acme") == []


def test_upsert_replaces_the_payload_whole(store):
    store.upsert(1, V, {"tenant_id": "acme"})
    store.upsert(1, V, {"tenant_id": "other"})
    assert tenant_hits(store, "acme") == []
    assert tenant_hits(store, "other") == [1]


# ---- Errors: no argument note, and the store stays as it was


REJECTED_PAYLOADS = [
    ({1: "x"}, TypeError, type_mismatch("int", "str")),
    ({1: None}, TypeError, type_mismatch("int", "str")),  # key checked before the value is skipped
    ({None: 1}, TypeError, type_mismatch("NoneType", "str")),
    ({b"k": 1}, TypeError, type_mismatch("bytes", "str")),
    ({"ok": None, (1, 2): None}, TypeError, type_mismatch("tuple", "str")),
    ({"a": 2**63}, OverflowError, None),
    ({"a": -(2**63) - 1}, OverflowError, None),
    ({"a": 2**63, 1: "x"}, OverflowError, None),  # the first failing entry ends the walk
    ({1: "x", "a": 2**63}, TypeError, type_mismatch("int", "str")),
    ({"\ud800": 1}, UnicodeEncodeError, None),
    ({"a": "\udfff"}, UnicodeEncodeError, None),
    ({"a": StrSubclass("\ud800")}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("payload, error, message", REJECTED_PAYLOADS)
def test_rejected_payloads(store, payload, error, message):
    store.upsert(1, [1.0, 0.0], {"tenant_id": "before"})
    with pytest.raises(error) as raised:
        store.upsert(1, [0.0, 1.0], payload)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")
    # The earlier point keeps its vector and payload, and no point was added.
    assert store.search([1.0, 0.0], 10, "cosine") == [(1, 1.0)]
    assert tenant_hits(store, "before") == [1]


def test_rejected_payload_adds_no_point(store):
    with pytest.raises(TypeError):
        store.upsert(5, V, {5: "x"})
    assert store.search(V, 10, "dot") == []
