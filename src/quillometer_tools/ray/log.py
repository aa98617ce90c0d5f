"""The recovery log: every call a shard was sent, in order, on disk in segment files, so that a
lost shard can be rebuilt by replay while the driver keeps only a bounded buffer in memory."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile
import zlib
from collections.abc import Iterator
from typing import BinaryIO, Literal

Kind = Literal["batch", "partition"]

# A record: kind (1 byte), payload length (8), crc32 of the payload (4), then the payload.
_HEADER = struct.Struct("<cQI")
RECORD_HEADER_BYTES = _HEADER.size
_KIND_CODES: dict[Kind, bytes] = {"batch": b"B", "partition": b"P"}
_KINDS: dict[bytes, Kind] = {code: kind for kind, code in _KIND_CODES.items()}


class LogLimitError(RuntimeError):
    """The recovery log cannot take another entry: its byte limit, or its disk, is reached.
    Nothing of the refused entry was sent to a shard, so every result stays exact."""


class LogCorruptError(RuntimeError):
    """A segment file no longer holds what was written to it."""


class _ShardLog:
    """One shard's records, in segment files shard-SSS-NNNNNN.log."""

    def __init__(self, directory: str, shard: int, buffer_bytes: int) -> None:
        self.directory = directory
        self.shard = shard
        self.buffer_bytes = buffer_bytes
        # Per segment: its path, and the number of records and bytes it holds.
        self.segments: list[tuple[str, int, int]] = []
        self.records = 0
        self.writer: BinaryIO | None = None

    def open_segment(self) -> None:
        self.close()
        path = os.path.join(self.directory, f"shard-{self.shard:03d}-{len(self.segments):06d}.log")
        self.writer = open(path, "xb", buffering=self.buffer_bytes)
        self.segments.append((path, 0, 0))

    def write(self, record: bytes, payload: bytes) -> None:
        assert self.writer is not None
        self.writer.write(record)
        self.writer.write(payload)
        path, records, size = self.segments[-1]
        self.segments[-1] = (path, records + 1, size + len(record) + len(payload))
        self.records += 1

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
            self.writer = None


class ReplayLog:
    """Per shard, the records of every batch (its bytes) and partition (its directory name) sent
    to it, numbered from 0 in sending order. Records go through a buffer of `buffer_bytes` per
    shard into segment files of about `segment_bytes` under a new directory inside `directory`
    (the system's temporary directory by default), removed by close().

    `limit_bytes` bounds the bytes on disk over all shards; an entry that would pass it, or
    that needs a new segment on a disk without room for one segment per shard, raises
    LogLimitError before anything is written, and the log takes later entries. Any failure
    while writing leaves the log refusing every later entry, so that what was logged is always
    exactly what was sent."""

    def __init__(
        self,
        shards: int,
        directory: str | os.PathLike[str] | None = None,
        *,
        limit_bytes: int | None = None,
        segment_bytes: int = 64 << 20,
        buffer_bytes: int = 1 << 20,
    ) -> None:
        if limit_bytes is not None and limit_bytes <= 0:
            raise ValueError("limit_bytes must be positive")
        if segment_bytes <= 0 or buffer_bytes <= 0:
            raise ValueError("segment_bytes and buffer_bytes must be positive")
        if directory is not None:
            os.makedirs(directory, exist_ok=True)
        self.directory = tempfile.mkdtemp(prefix="quillometer-log-", dir=directory)
        self.limit_bytes = limit_bytes
        self.segment_bytes = segment_bytes
        self._shards = [_ShardLog(self.directory, s, buffer_bytes) for s in range(shards)]
        self._size = 0
        self._failure: BaseException | None = None

    @property
    def size(self) -> int:
        """Bytes of every record logged so far (on disk, or in the buffer on its way there)."""
        return self._size

    def entries(self, s: int) -> int:
        """The number of records logged for shard s."""
        return self._shards[s].records

    def append(self, s: int, kind: Kind, payload: bytes) -> int:
        """Logs one entry for shard s and returns its number."""
        if self._failure is not None:
            raise LogLimitError(
                f"the recovery log in {self.directory} takes no more entries after an earlier "
                f"failure: {self._failure}"
            ) from self._failure
        size = _HEADER.size + len(payload)
        if self.limit_bytes is not None and self._size + size > self.limit_bytes:
            raise LogLimitError(
                f"the recovery log would pass its limit of {self.limit_bytes:,} bytes (it holds "
                f"{self._size:,}; shard {s}'s next entry needs {size:,}); nothing more can be "
                f"appended with exact recovery: raise log_limit_bytes, or start a new stream"
            )
        log = self._shards[s]
        opens = log.writer is None or log.segments[-1][2] + size > self.segment_bytes
        if opens:
            # Refused before anything is written, so the log stays usable.
            self._check_room(max(size, self.segment_bytes))
        try:
            if opens:
                log.open_segment()
            log.write(_HEADER.pack(_KIND_CODES[kind], len(payload), zlib.crc32(payload)), payload)
        except BaseException as failure:
            self._failure = failure
            if isinstance(failure, LogLimitError):
                raise
            raise LogLimitError(
                f"the recovery log in {self.directory} failed: {failure}"
            ) from failure
        self._size += size
        return log.records - 1

    def _check_room(self, segment: int) -> None:
        """Refuses a new segment of `segment` bytes unless the disk also has room for a whole
        segment per other shard: every shard's open segment may still grow to segment_bytes
        after its own check."""
        needed = segment + (len(self._shards) - 1) * self.segment_bytes
        try:
            free = shutil.disk_usage(self.directory).free
        except OSError as error:
            raise LogLimitError(
                f"the recovery log cannot read the free room of {self.directory}: {error}"
            ) from error
        if free < needed:
            raise LogLimitError(
                f"the disk of the recovery log ({self.directory}) has {free:,} bytes free, less "
                f"than the {needed:,} that a new segment and the other shards' open segments "
                f"may take; nothing more can be appended with exact recovery: free some room, "
                f"or choose another log directory"
            )

    def replay(self, s: int, count: int) -> Iterator[tuple[Kind, bytes]]:
        """The first `count` entries of shard s, read back from disk one at a time."""
        log = self._shards[s]
        if log.writer is not None:
            log.writer.flush()
        left = count
        for path, records, _ in log.segments:
            if left == 0:
                return
            with open(path, "rb") as segment:
                for _ in range(min(records, left)):
                    header = segment.read(_HEADER.size)
                    if len(header) != _HEADER.size:
                        raise LogCorruptError(f"{path}: truncated record header")
                    code, length, crc = _HEADER.unpack(header)
                    payload = segment.read(length)
                    if len(payload) != length or zlib.crc32(payload) != crc or code not in _KINDS:
                        raise LogCorruptError(f"{path}: a record does not read back as written")
                    left -= 1
                    yield _KINDS[code], payload
        if left:
            raise LogCorruptError(f"shard {s}'s log holds fewer than {count} entries")

    def close(self) -> None:
        """Closes every segment and removes the log's directory."""
        for log in self._shards:
            try:
                log.close()
            except OSError:
                pass
        shutil.rmtree(self.directory, ignore_errors=True)
