"""Rewrites the search breadth (ef_search) stored in a quorbell snapshot.

quorbell fixes its graph parameters at creation and takes new ones only from
a loaded snapshot, so a recall/speed curve is drawn by loading copies of one
snapshot that differ in this field alone. The snapshot is the points map
(LEB128 varints, raw little-endian floats, optional payloads) followed by the
index's m, ef_construction and ef_search.
"""


def read_varint(data, pos):
    value, shift = 0, 0
    while True:
        if pos >= len(data):
            raise ValueError("snapshot ends inside a varint")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, pos
        shift += 7
        if shift > 63:
            raise ValueError("varint longer than ten bytes")


def write_varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _skip_string(data, pos):
    length, pos = read_varint(data, pos)
    return pos + length


def _skip_payload_value(data, pos):
    variant, pos = read_varint(data, pos)
    if variant in (0, 1):        # keyword, text
        return _skip_string(data, pos)
    if variant == 2:             # integer, zigzag varint
        return read_varint(data, pos)[1]
    if variant == 3:             # 64-bit float
        return pos + 8
    raise ValueError(f"unknown payload variant {variant}")


def _index_fields_offset(data):
    """Offset of the index's first field (m), after the points map."""
    count, pos = read_varint(data, 0)
    for _ in range(count):
        _, pos = read_varint(data, pos)          # map key
        _, pos = read_varint(data, pos)          # point id
        length, pos = read_varint(data, pos)
        pos += 4 * length                        # float32 components
        if pos >= len(data):
            raise ValueError("snapshot ends inside the points map")
        tag = data[pos]
        pos += 1
        if tag == 1:
            entries, pos = read_varint(data, pos)
            for _ in range(entries):
                pos = _skip_payload_value(data, _skip_string(data, pos))
        elif tag != 0:
            raise ValueError(f"bad payload tag {tag}")
    return pos


def graph_params(data):
    """(m, ef_construction, ef_search) of a snapshot."""
    pos = _index_fields_offset(data)
    m, pos = read_varint(data, pos)
    ef_construction, pos = read_varint(data, pos)
    ef_search, _ = read_varint(data, pos)
    return m, ef_construction, ef_search


def with_ef_search(data, ef_search):
    """A copy of the snapshot bytes whose index searches with `ef_search`."""
    pos = _index_fields_offset(data)
    pos = read_varint(data, read_varint(data, pos)[1])[1]   # past m, ef_construction
    _, end = read_varint(data, pos)
    return data[:pos] + write_varint(ef_search) + data[end:]
