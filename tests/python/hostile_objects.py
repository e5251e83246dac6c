"""Objects that misbehave in the protocols the argument conversions use:
__index__, __float__, __iter__, __len__, __getitem__ and add_note. The one
home of such objects: every test that needs one takes it from here, as does
the reference-leak loop."""

import sys


class Refused(Exception):
    """The error every hostile object raises, so tests can tell it apart
    from anything the module raises itself."""


class NoteRefused(Exception):
    """An exception that refuses notes: the module must raise it unchanged."""

    def add_note(self, note):
        raise RuntimeError("no notes here")


class IndexRaises:
    def __init__(self, error=Refused):
        self.error = error

    def __index__(self):
        raise self.error("__index__ refused")

    def __repr__(self):
        return f"IndexRaises({self.error.__name__})"


class IndexLies:
    """__index__ returns something that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLies({self.value!r})"


class FloatRaises:
    def __init__(self, error=Refused):
        self.error = error

    def __float__(self):
        raise self.error("__float__ refused")

    def __repr__(self):
        return f"FloatRaises({self.error.__name__})"


class FloatLies:
    """__float__ returns something that is not a float."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLies({self.value!r})"


class IntSubclass(int):
    """An int whose own protocols lie; its value is what counts."""

    def __index__(self):
        raise Refused("an int subclass is taken by value")

    def __float__(self):
        return 12345.0


class FloatSubclass(float):
    def __float__(self):
        raise Refused("a float subclass is taken by value")


class StrSubclass(str):
    def __str__(self):
        return "lies"

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class IterRaises(list):
    def __iter__(self):
        raise Refused("iteration refused")


class IterRaisesMidway(list):
    """Yields its first item, then fails."""

    def __iter__(self):
        for item in list.__iter__(self):
            yield item
            break
        raise Refused("iteration failed midway")


class IterLies(list):
    """__iter__ returns something that is not an iterator."""

    def __iter__(self):
        return 42


class LenRaises(list):
    def __len__(self):
        raise Refused("no length")


class LenLies(list):
    """Claims a length unrelated to its items."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length

    def __repr__(self):
        return f"LenLies({list(self)!r}, {self.length})"


class GetItemOnly:
    """A sequence by the old protocol: __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, index):
        return self.items[index]

    def __repr__(self):
        return f"GetItemOnly({self.items!r})"


class Shrinking(list):
    """Each item's conversion empties the list being converted."""

    def __init__(self, count):
        super().__init__(ShrinkOnFloat(self) for _ in range(count))

    def __repr__(self):
        return f"Shrinking({len(self)})"


class ShrinkOnFloat:
    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0


class DictSubclass(dict):
    """A dict whose Python-level views lie; its stored entries count."""

    def items(self):
        return [("lie", 1)]

    def keys(self):
        return ["lie"]

    def __iter__(self):
        return iter(["lie"])

    def __len__(self):
        return 99


# Lengths a hostile __len__ may claim; the last two make len() itself fail.
LIED_LENGTHS = [0, 1, 2**31, sys.maxsize, -1, 2**63]


class Reentrant:
    """A number whose conversion calls back into the store being called."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0
