"""The module and the VectorStorage type: attributes, docstrings, signatures,
construction, and what the type deliberately refuses."""

import copy
import gc
import importlib.util
import inspect
import os
import pickle
import re
import shutil
import subprocess
import types
import weakref

import pytest

from pinned_texts import DOCSTRING_SECTIONS, TEXT_SIGNATURES, type_mismatch

import quorbell
from quorbell import VectorStorage

METHODS = ["upsert", "search", "batch_search", "save", "load"]

TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def test_module_attributes():
    assert quorbell.__all__ == ["VectorStorage"]
    assert quorbell.VectorStorage is VectorStorage
    assert [name for name in dir(quorbell) if not name.startswith("__")] == ["VectorStorage"]
    assert not hasattr(quorbell, "PanicException")
    doc = quorbell.__doc__
    assert doc.endswith(".") and doc.count(".") == 1 and "native" in doc


def test_type_names_and_repr(store):
    assert VectorStorage.__module__ == "builtins"
    assert VectorStorage.__name__ == "VectorStorage"
    assert VectorStorage.__qualname__ == "VectorStorage"
    assert VectorStorage.__bases__ == (object,)
    assert re.fullmatch(r"<builtins\.VectorStorage object at 0x[0-9a-f]+>", repr(store))


def test_type_flags(store):
    assert VectorStorage.__flags__ & (TPFLAGS_BASETYPE | TPFLAGS_HAVE_GC | TPFLAGS_IMMUTABLETYPE) == 0
    assert not gc.is_tracked(store)


def test_method_table_order():
    own = [name for name in vars(VectorStorage) if not name.startswith("__")]
    assert own == METHODS


@pytest.mark.parametrize("name", METHODS)
def test_method_text_signature(name):
    method = getattr(VectorStorage, name)
    assert method.__text_signature__ == TEXT_SIGNATURES[name]
    parameters = list(inspect.signature(method).parameters.values())[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)


@pytest.mark.parametrize("name", METHODS)
def test_method_docstring_layout(name):
    doc = getattr(VectorStorage, name).__doc__
    paragraphs = doc.split("\n\n")
    summary, description = paragraphs[0], paragraphs[1]
    assert "\n" not in summary and summary.endswith(".")
    assert "\n" not in description and description.endswith(".")
    assert "\n\n".join(paragraphs[2:]).split("\n") == DOCSTRING_SECTIONS[name]
    assert not doc.endswith("\n")


@pytest.mark.parametrize(
    "name, phrase",
    [("upsert", "re-weaves the HNSW graph"), ("search", "exact linear sweep"), ("search", "HNSW graph"),
     ("search", "tenant"), ("batch_search", "pool of worker threads")],
)
def test_method_description_mentions(name, phrase):
    assert phrase in getattr(VectorStorage, name).__doc__.split("\n\n")[1]


def test_class_docstring():
    paragraphs = VectorStorage.__doc__.split("\n\n")
    assert len(paragraphs) == 2
    assert "high-performance vector storage and search engine" in paragraphs[0]
    assert "safe, concurrent wrapper" in paragraphs[1]
    assert "in-memory segment" in paragraphs[1]
    assert VectorStorage.__text_signature__ == "()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "VectorStorage.__new__() takes 0 positional arguments but 2 were given"),
        ((1,), {"size": 3}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"size": 3}, "VectorStorage.__new__() got an unexpected keyword argument 'size'"),
        ((), {"z": 1, "a": 2}, "VectorStorage.__new__() got an unexpected keyword argument 'z'"),
    ],
)
def test_constructor_rejects_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        VectorStorage(*args, **kwargs)
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


def test_instances_are_independent():
    a, b = VectorStorage(), VectorStorage()
    a.upsert(1, [1.0], None)
    assert a.search([1.0], 5, "dot") == [(1, 1.0)]
    assert b.search([1.0], 5, "dot") == []


def test_subclassing_is_refused():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (VectorStorage,), {})


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda s: setattr(s, "anything", 1), AttributeError),
        (lambda s: s.__dict__, AttributeError),
        (lambda s: weakref.ref(s), TypeError),
        (lambda s: len(s), TypeError),
        (lambda s: iter(s), TypeError),
        (lambda s: pickle.dumps(s), TypeError),
        (lambda s: copy.copy(s), TypeError),
        (lambda s: copy.deepcopy(s), TypeError),
    ],
)
def test_refused_operations(store, action, error):
    with pytest.raises(error):
        action(store)


def test_identity_comparison_and_hash(store):
    other = VectorStorage()
    assert store == store and store != other
    assert hash(store) == object.__hash__(store)


def fresh_module(prepare=None):
    """Creates and executes a second module object from the same extension."""
    spec = importlib.util.find_spec("quorbell")
    module = importlib.util.module_from_spec(spec)
    if prepare is not None:
        prepare(module)
    spec.loader.exec_module(module)
    return module


def test_type_is_created_once_per_process():
    second = fresh_module()
    assert second is not quorbell
    assert second.VectorStorage is VectorStorage
    assert second.__all__ == ["VectorStorage"]


def test_exec_appends_to_an_existing_all():
    module = fresh_module(lambda m: setattr(m, "__all__", ["other"]))
    assert module.__all__ == ["other", "VectorStorage"]


def test_exec_rejects_an_all_that_is_not_a_list():
    with pytest.raises(TypeError) as raised:
        fresh_module(lambda m: setattr(m, "__all__", ("other",)))
    assert str(raised.value) == type_mismatch("tuple", "list")


def test_exec_passes_on_other_lookup_errors():
    class Guarded(types.ModuleType):
        def __getattribute__(self, name):
            if name == "__all__":
                raise RuntimeError("lookup refused")
            return super().__getattribute__(name)

    with pytest.raises(RuntimeError, match="lookup refused"):
        fresh_module(lambda m: setattr(m, "__class__", Guarded))


def test_thread_local_data_needs_no_allocation_at_a_threads_first_call():
    # Loaded at run time, a module whose thread-local data goes through
    # __tls_get_addr gets it allocated at each thread's first access, and a
    # failure there aborts the process; so does a failed registration of a
    # thread-local destructor. The module's own are set aside at load time.
    readelf = shutil.which("readelf")
    if readelf is None or "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("readelf is not installed, or the sanitizers' build links their own thread-local data")
    symbols = subprocess.run([readelf, "-W", "--dyn-syms", quorbell.__file__],
                             check=True, capture_output=True, text=True).stdout
    imported = {line.split()[7].split("@")[0] for line in symbols.splitlines()
                if len(line.split()) > 7 and line.split()[6] == "UND"}
    assert imported.isdisjoint({"__tls_get_addr", "__cxa_thread_atexit", "__cxa_thread_atexit_impl"})
