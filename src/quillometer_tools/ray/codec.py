"""Lossless wire and file formats of the scale-out layer: routing of a column to its shard,
one bytes object per batch of rows, and a dataset split into one file per column."""

from __future__ import annotations

import array
import json
import os
import sys
import zlib
from collections.abc import Iterable
from typing import TYPE_CHECKING, TypedDict

if TYPE_CHECKING:
    # Only a type here: this module travels to the workers by value, without the package.
    from ..feed import Row

Batch = tuple["array.array[int]", "array.array[int]", "array.array[int]", "array.array[float]"]
StrPath = str | os.PathLike[str]


class ManifestEntry(TypedDict):
    file: str
    count: int


BATCH_MAGIC = b"QMB1"
# A batch starts with its magic and its count of values (8 bytes).
BATCH_HEADER_BYTES = len(BATCH_MAGIC) + 8
MANIFEST = "manifest.json"


def shard_of(name: str, shards: int) -> int:
    """The shard that owns a column: crc32 of its UTF-8 name, the same in every process
    (Python's own str hash is salted per process)."""
    return zlib.crc32(name.encode("utf-8")) % shards


def _little_endian(values: array.array[int] | array.array[float]) -> bytes:
    # Batches and files are little-endian on every host, so machines of both orders can mix.
    if sys.byteorder != "little":
        values = array.array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


def _from_little_endian(typecode: str, data: bytes) -> array.array[int]:
    values: array.array[int] = array.array(typecode)
    values.frombytes(data)
    if sys.byteorder != "little":
        values.byteswap()
    return values


def new_batch() -> Batch:
    """Empty (rows, timestamps, columns, values) arrays for the values bound for one shard.
    A value keeps the number of the row it came from, so the shard rebuilds the same rows; a
    column is an index into the shard's column list; timestamps are int64 and values IEEE
    doubles, so nothing is rounded on the way."""
    return (array.array("q"), array.array("q"), array.array("I"), array.array("d"))


def encode_batch(batch: Batch) -> bytes:
    """The arrays of new_batch as one bytes object."""
    parts = [BATCH_MAGIC, len(batch[3]).to_bytes(8, "little")]
    return b"".join(parts + [_little_endian(values) for values in batch])


def decode_batch(payload: bytes) -> Batch:
    """The (rows, timestamps, columns, values) arrays of a batch made by encode_batch."""
    if payload[:4] != BATCH_MAGIC:
        raise ValueError("not a quillometer batch")
    count = int.from_bytes(payload[len(BATCH_MAGIC) : BATCH_HEADER_BYTES], "little")
    sizes = (("q", 8), ("q", 8), ("I", 4), ("d", 8))
    if len(payload) != BATCH_HEADER_BYTES + count * sum(size for _, size in sizes):
        raise ValueError("truncated quillometer batch")
    arrays, offset = [], BATCH_HEADER_BYTES
    for typecode, size in sizes:
        arrays.append(_from_little_endian(typecode, payload[offset : offset + count * size]))
        offset += count * size
    rows, timestamps, columns, values = arrays
    return rows, timestamps, columns, values  # type: ignore[return-value]


def write_partitions(directory: StrPath, rows: Iterable[Row]) -> dict[str, ManifestEntry]:
    """Splits a stream of Row(ts, values) into one file per column under `directory`: int64
    timestamps then float64 values, in stream order, listed with their counts in a manifest."""
    per_column: dict[str, tuple[array.array[int], array.array[float]]] = {}
    for ts, row_values in rows:
        for name, value in row_values.items():
            timestamps, values = per_column.setdefault(name, (array.array("q"), array.array("d")))
            timestamps.append(ts)
            values.append(value)
    os.makedirs(directory, exist_ok=True)
    manifest: dict[str, ManifestEntry] = {}
    for number, (name, (timestamps, values)) in enumerate(per_column.items()):
        file_name = f"col-{number:06d}.bin"
        with open(os.path.join(directory, file_name), "wb") as out:
            out.write(_little_endian(timestamps))
            out.write(_little_endian(values))
        manifest[name] = {"file": file_name, "count": len(values)}
    with open(os.path.join(directory, MANIFEST), "w", encoding="utf-8") as out:
        json.dump(manifest, out)
    return manifest


def read_manifest(directory: StrPath) -> dict[str, ManifestEntry]:
    with open(os.path.join(directory, MANIFEST), encoding="utf-8") as src:
        manifest: dict[str, ManifestEntry] = json.load(src)
    return manifest


def read_column(
    directory: StrPath, entry: ManifestEntry
) -> tuple[array.array[int], array.array[float]]:
    """(timestamps, values) of one column file listed in the manifest."""
    count = entry["count"]
    with open(os.path.join(directory, entry["file"]), "rb") as src:
        data = src.read()
    if len(data) != 16 * count:
        raise ValueError(f"{entry['file']}: expected {count} values, found {len(data)} bytes")
    values: array.array[float] = _from_little_endian("d", data[8 * count :])  # type: ignore[assignment]
    return _from_little_endian("q", data[: 8 * count]), values
