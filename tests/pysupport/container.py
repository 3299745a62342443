"""Payload containers written independently of the packer, for tests.

The container: "VE", the compression byte "Y", the archive stream as zstd
frames, two zero bytes, and a little-endian 64-bit count of the bytes in
front of that count. The archive stream is a run of records (UTF-16LE name
ended by a zero unit, 64-bit little-endian size, data) ended by a lone zero
unit; the first record is the program the launcher starts.

Compression goes through the `zstd` command-line tool, so that the bytes the
launcher decodes were never touched by our own writer.
"""

import hashlib
import os
import struct
import subprocess


def archive_stream(records):
    """The uncompressed archive stream for `records`, a list of
    (name with backslashes, bytes)."""
    parts = []
    for name, data in records:
        parts.append(name.encode("utf-16-le", "surrogatepass") + b"\0\0")
        parts.append(struct.pack("<Q", len(data)))
        parts.append(data)
    parts.append(b"\0\0")
    return b"".join(parts)


def container(records, checksums=(True,), index=False, listed=None):
    """A whole container holding `records` in that order. The archive
    stream is cut into one zstd frame per entry of `checksums`, each with a
    content checksum or without one, as that entry says. With `index`, a
    payload index of those frames and records goes first; `listed`, when
    given, is the (name, size) the index lists for each record instead of
    the record's own, as a forger would write it (offsets follow the listed
    names and sizes)."""
    stream = archive_stream(records)
    cut = [len(stream) * i // len(checksums)
           for i in range(len(checksums) + 1)]
    frames = [
        subprocess.run(
            ["zstd", "-q", "-c", "-3", "--check" if check else "--no-check"],
            input=stream[cut[i]:cut[i + 1]], stdout=subprocess.PIPE,
            check=True, timeout=120).stdout
        for i, check in enumerate(checksums)]
    head = b""
    if index:
        if listed is None:
            listed = [(name, len(data)) for name, data in records]
        head = index_frame(
            listed, len(stream),
            [(len(f), cut[i + 1] - cut[i]) for i, f in enumerate(frames)])
    body = b"VEY" + head + b"".join(frames) + b"\0\0"
    return body + struct.pack("<Q", len(body))


def index_frame(listed, stream_size, frames):
    """A payload index (the whole skippable frame) listing `listed`, (name
    with backslashes, size) in archive order, and `frames`, (compressed,
    decompressed) sizes, over an archive stream of `stream_size` bytes.
    Written field by field as docs/payload-index.md lays it out."""
    table = b""
    offset = 0
    for name, size in listed:
        units = name.encode("utf-16-le", "surrogatepass")
        table += struct.pack("<H", len(units) // 2) + units + \
            struct.pack("<QQ", size, offset)
        offset += len(units) + 2 + 8 + size
    packed = subprocess.run(["zstd", "-q", "-19", "-c", "--no-check",
                             "--stream-size=%d" % len(table)],
                            input=table, stdout=subprocess.PIPE,
                            check=True).stdout
    content = INDEX_SIGNATURE + struct.pack(
        "<IIIQQQ", 2, len(frames), len(listed), stream_size, len(packed),
        len(table))
    content += b"".join(struct.pack("<QQ", c, d) for c, d in frames)
    content += packed
    return struct.pack("<II", INDEX_MAGIC, len(content)) + content


def append_to_linux_launcher(launcher, records, out):
    """Writes `out`: the Linux launcher with a container of `records`
    appended, executable."""
    with open(launcher, "rb") as f:
        image = f.read()
    with open(out, "wb") as f:
        f.write(image + container(records))
    os.chmod(out, 0o755)


BUILD_VALUES_MARKER = b"VESKAR-BUILD-VAL"
# The unpack modes of the build values.
PER_RUN, CACHE_SIZE, CACHE_CONTENT = 0, 1, 2
CACHE_TEMPLATE = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}"


MARKER_FORMAT = 2


def cache_marker(records, digest):
    """The marker a cold start writes for `records` of the container with
    `digest`: "VSKCACHE", the 32-bit format, the digest, the 32-bit count,
    then per record the 16-bit count of UTF-16 units, the units and the
    64-bit size, all little-endian."""
    parts = [b"VSKCACHE", struct.pack("<I", MARKER_FORMAT), digest,
             struct.pack("<I", len(records))]
    for name, data in records:
        units = name.encode("utf-16-le", "surrogatepass")
        parts.append(struct.pack("<H", len(units) // 2) + units
                     + struct.pack("<Q", len(data)))
    return b"".join(parts)


def set_cache_mode(image, body, records, template=CACHE_TEMPLATE,
                   mode=CACHE_SIZE, digest=None, marker=None):
    """`image` (a launcher) with its build values set for a cache mode:
    `template`, `mode`, the SHA-256 of the container `body` (or `digest`),
    and the SHA-256 and size of the marker `records` make (or of `marker`).
    The block: marker, 3 x 64 units, 512 units of template, the 16-bit
    mode, the 32-byte digest, the marker's 32-byte digest and its 64-bit
    size."""
    at = image.index(BUILD_VALUES_MARKER) + 16
    units = template.encode("utf-16-le")
    assert len(units) < 1024
    field = units + bytes(1024 - len(units))
    digest = digest if digest is not None else hashlib.sha256(body).digest()
    if marker is None:
        marker = cache_marker(records, digest)
    values = (field + struct.pack("<H", mode) + digest
              + hashlib.sha256(marker).digest() + struct.pack("<Q", len(marker)))
    start = at + 3 * 128
    return image[:start] + values + image[start + len(values):]


def cache_launcher(launcher, records, out, mode=CACHE_SIZE,
                   template=CACHE_TEMPLATE, marker_records=None):
    """Writes `out`: the Linux launcher in a cache mode with a container of
    `records` appended, executable; its build values describe the marker
    of `marker_records` (default: `records`). Gives the 64 hex digits of the
    container's digest."""
    with open(launcher, "rb") as f:
        image = f.read()
    body = container(records)
    with open(out, "wb") as f:
        f.write(set_cache_mode(image, body, marker_records or records,
                               template, mode) + body)
    os.chmod(out, 0o755)
    return hashlib.sha256(body).hexdigest()


INDEX_MAGIC = 0x184D2A5E
INDEX_SIGNATURE = b"VSKINDEX"


def read_index(data, at):
    """The payload index whose skippable frame starts at `at` of `data` (a
    container's byte 3), as a dict: "end" (where the frame ends), "format",
    "stream" (the archive stream's size), "frames" (a list of dicts with
    "compressed", "decompressed" and "at", the offset of the entry's first
    field), "table" (the record table, unpacked with the `zstd` tool, as a
    bytearray), "packed_at" and "packed" (where the packed table lies and its
    size), "table_size" (the unpacked size the header declares) and
    "records" (dicts with "name", "size", "offset", and "at", where the
    record's entry starts in "table", and "size_at", "offset_at", also in
    "table"); None when the first frame is no index. Read field by field,
    without the packer's code."""
    magic, content = struct.unpack_from("<II", data, at)
    if magic != INDEX_MAGIC or data[at + 8:at + 16] != INDEX_SIGNATURE:
        return None
    fmt, frames, records, stream, packed, table_size = struct.unpack_from(
        "<IIIQQQ", data, at + 16)
    index = {"end": at + 8 + content, "format": fmt, "stream": stream,
             "frames": [], "records": [], "counts_at": at + 20,
             "packed": packed, "table_size": table_size,
             "table_size_at": at + 44}
    p = at + 52
    for _ in range(frames):
        compressed, decompressed = struct.unpack_from("<QQ", data, p)
        index["frames"].append({"compressed": compressed,
                                "decompressed": decompressed, "at": p})
        p += 16
    index["packed_at"] = p
    table = bytearray(subprocess.run(
        ["zstd", "-q", "-d", "-c"], input=bytes(data[p:p + packed]),
        stdout=subprocess.PIPE, check=True).stdout)
    index["table"] = table
    p = 0
    for _ in range(records):
        units = struct.unpack_from("<H", table, p)[0]
        name = table[p + 2:p + 2 + 2 * units].decode("utf-16-le",
                                                      "surrogatepass")
        size_at = p + 2 + 2 * units
        size, offset = struct.unpack_from("<QQ", table, size_at)
        index["records"].append({"name": name, "size": size,
                                 "offset": offset, "at": p,
                                 "size_at": size_at,
                                 "offset_at": size_at + 8})
        p = size_at + 16
    return index


def repack_index_table(data, index, table):
    """`data` (a whole file whose container ends it) with the index's record
    table packed again from `table` by the `zstd` tool: the index's content
    size, the packed and unpacked sizes and the tail's count follow."""
    packed = subprocess.run(["zstd", "-q", "-19", "-c", "--no-check",
                             "--stream-size=%d" % len(table)],
                            input=bytes(table), stdout=subprocess.PIPE,
                            check=True).stdout
    at = index["packed_at"]
    out = bytearray(data[:at]) + packed + \
        data[at + index["packed"]:len(data) - 8]
    start = index["counts_at"] - 20  # the skippable frame's first byte
    struct.pack_into("<I", out, start + 4, at - start - 8 + len(packed))
    struct.pack_into("<QQ", out, start + 36, len(packed), len(table))
    # The container's tail: the count of the bytes in front of it.
    tail_count = struct.unpack_from("<Q", data, len(data) - 8)[0]
    out += struct.pack("<Q", tail_count + len(out) - (len(data) - 8))
    return out
