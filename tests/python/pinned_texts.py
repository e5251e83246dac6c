"""The module's own texts that the tests pin word for word: its error
messages and its methods' docstrings. Messages in the interpreter's own
wording, such as those of argument binding, are pinned beside their cases.

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


# The methods' docstrings: the signature line, then the sections after the
# description, line by line.
TEXT_SIGNATURES = {
    "upsert": "($self, point_id, vector, payload)",
    "search": "($self, query_vector, limit, metric, tenant_id=None)",
    "batch_search": "($self, query_vectors, limit, metric, tenant_id=None)",
    "save": "($self, path)",
    "load": "($self, path)",
}

DOCSTRING_SECTIONS = {
    "upsert": [
        "# Parameters",
        "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its transactional registry key.",
        "* `vector` - A Python float list containing the raw coordinate tracking geometry parameters.",
        "* `payload` - An optional Python dictionary containing polymorphic data filters.",
        "",
        "# Errors",
        "Returns an operational initialization exception if underlying dictionary types fail transformation.",
    ],
    "search": [
        "# Parameters",
        "* `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.",
        "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory slots.",
        "* `metric` - Configuration string matching supported parameters: `'cosine'`, `'dot_product'`, or `'euclidean'`.",
        "* `tenant_id` - An optional string key used to isolate workspace partitions under active multi-tenancy rules.",
        "",
        "# Returns",
        "A structured Python list containing tuple records formatted as: `(Point ID, Proximity Similarity Score)`.",
        "",
        "# Errors",
        "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens.",
    ],
    "batch_search": [
        "# Parameters",
        "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to process concurrently.",
        "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete query sequence.",
        "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or `'euclidean'`.",
        "* `tenant_id` - An optional string token used to restrict queries to specific isolated tenancy environments.",
        "",
        "# Returns",
        "A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, Score), ...], ...]`.",
        "",
        "# Errors",
        "Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown structural metric token.",
    ],
    "save": [
        "# Parameters",
        "* `path` - The string location defining where to construct the output binary serialization snapshot asset.",
        "",
        "# Errors",
        "Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows.",
    ],
    "load": [
        "# Parameters",
        "* `path` - Target system path targeting the binary database record file to extract.",
        "",
        "# Errors",
        "Throws a standard `IOError` if input buffers contain broken byte signatures or version mismatches.",
    ],
}
