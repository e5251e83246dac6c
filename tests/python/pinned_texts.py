"""Every text of the module that the tests pin word for word, in one place.

Callers match on these texts, so they are fixed for compatibility: a test
that fails here means a text that callers see has changed. The type-mismatch
texts name the offending type, so they are made by functions.
"""

# Argument errors.
SEARCH_METRIC = "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2')."
BATCH_METRIC = "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'."
STR_AS_SEQUENCE = "Can't extract `str` to `Vec`"


def argument_note(parameter):
    """The note added to an exception raised while converting an argument."""
    return f"while processing '{parameter}'"


def type_mismatch(type_name, required):
    """The message of the TypeError for an object of type `type_name` (its
    qualified name) where `required` was expected."""
    if type_name == "NoneType":
        return f"'None' is not an instance of '{required}'"
    return f"'{type_name}' object is not an instance of '{required}'"


# Snapshot errors: a prefix naming the failed step, then the cause.
CREATE = "Failed to create snapshot file: "
WRITE = "Failed to write serialized bytes to disk: "
OPEN = "Failed to open snapshot file: "
READ = "Failed to read snapshot file bytes: "
CORRUPT = "Postcard binary deserialization pipeline failure (possible corruption): "
SNAPSHOT_PREFIXES = (CREATE, WRITE, OPEN, READ, CORRUPT)
NUL_PATH = "file name contained an unexpected NUL byte"

# The decoder's faults, behind CORRUPT.
END_OF_DATA = "Hit the end of buffer, expected more data"
BAD_VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
BAD_UTF8 = "Tried to parse invalid utf-8"
BAD_OPTION = "Found an Option discriminant that wasn't 0 or 1"
BAD_VARIANT = "Serde Deserialization Error"
TRAILING = "Found bytes after the end of the snapshot's encoding"
