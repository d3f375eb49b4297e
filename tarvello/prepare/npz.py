"""rows.npz as a stream: a zip file of stored (uncompressed) ZIP64 entries,
each a .npy array whose header has a fixed size, written before the rows
and rewritten with the real shape once they are all there. An entry's
CRC-32 is combined from its header's and its data's, so nothing written is
read back. np.load reads the file as it reads np.savez's."""
from __future__ import annotations

import os
import struct
import zipfile
import zlib
from typing import Any, BinaryIO, Iterator, List, Optional, Tuple

import numpy as np

from .config import PrepareError

# Written data is handed to the disk every this many bytes, so that the
# final sync finds little left to write.
WRITE_BACK = 16 << 20

# Bytes of an array's .npy header: magic, version, length and the padded
# dict, a multiple of 64 as numpy aligns it; room for any shape.
NPY_HEADER = 128

_LOCAL = struct.Struct("<IHHHHHIIIHH")
_CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
_ZIP64_END = struct.Struct("<IQHHIIQQQQ")
_ZIP64_LOCATOR = struct.Struct("<IIQI")
_END = struct.Struct("<IHHHHIIH")
_VERSION = 45  # ZIP64
_UTF8_NAMES = 0x800
_DOS_DATE = (0 << 9) | (1 << 5) | 1  # 1980-01-01: the same bytes for the same arrays
_UNKNOWN = 0xFFFFFFFF

# CRC-32 arithmetic: multiplication modulo the reflected polynomial, and
# x^(2^k) for k = 0..31 (zlib's crc32_combine, from 1.2.12 on).
_POLY = 0xEDB88320


def _multiply(a: int, b: int) -> int:
    m = 1 << 31
    p = 0
    while True:
        if a & m:
            p ^= b
            if not a & (m - 1):
                return p
        m >>= 1
        b = (b >> 1) ^ _POLY if b & 1 else b >> 1


def _powers() -> List[int]:
    table = [1 << 30]
    for _ in range(31):
        table.append(_multiply(table[-1], table[-1]))
    return table


_X2N = _powers()


def crc32_combine(crc1: int, crc2: int, length2: int) -> int:
    """The CRC-32 of A + B from A's, B's and B's length."""
    p = 1 << 31
    k = 3
    while length2:
        if length2 & 1:
            p = _multiply(_X2N[k & 31], p)
        length2 >>= 1
        k += 1
    return _multiply(p, crc1) ^ crc2


def npy_header(descr: str, shape: Tuple[int, ...]) -> bytes:
    text = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (descr, shape)
    room = NPY_HEADER - 10
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", room) + (text.ljust(room - 1) + "\n").encode("latin-1")


def write_back(handle: int, start: int, end: int) -> int:
    """Starts writing bytes ``start`` to ``end`` of a file to disk, without
    waiting (Linux starts the write-back of a range it is told is not needed);
    returns ``end``."""
    if hasattr(os, "posix_fadvise"):
        os.posix_fadvise(handle, start, end - start, os.POSIX_FADV_DONTNEED)
    return end


class Entry:
    """One array being written: rows appended as they come, or written by
    other processes into their places and added as segments."""

    def __init__(self, writer: "Writer", name: str, descr: str, width: Optional[int]):
        self.writer = writer
        self.name = (name + ".npy").encode("utf-8")
        self.descr = descr
        self.width = width
        self.offset = writer.file.tell()
        self.crc = 0
        self.size = 0
        writer.file.write(self._local(0, 0))
        writer.file.write(b"\0" * NPY_HEADER)
        self.data_start = writer.file.tell()

    def _local(self, crc: int, size: int) -> bytes:
        extra = struct.pack("<HHQQ", 1, 16, size, size)
        return _LOCAL.pack(0x04034B50, _VERSION, _UTF8_NAMES, 0, 0, _DOS_DATE, crc, _UNKNOWN, _UNKNOWN,
                           len(self.name), len(extra)) + self.name + extra

    def write(self, array: Any) -> None:
        data = np.ascontiguousarray(array).data.cast("B")
        self.writer.file.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self.size += len(data)
        self.writer.written()

    def add_segment(self, crc: int, size: int) -> None:
        """Data of ``size`` bytes that another process wrote right after the
        data so far."""
        self.crc = crc32_combine(self.crc, crc, size)
        self.size += size

    def finish(self, rows: int) -> None:
        f = self.writer.file
        shape = (rows,) if self.width is None else (rows, self.width)
        header = npy_header(self.descr, shape)
        crc = crc32_combine(zlib.crc32(header), self.crc, self.size)
        size = NPY_HEADER + self.size
        end = self.data_start + self.size
        f.seek(self.offset)
        f.write(self._local(crc, size))
        f.write(header)
        f.seek(end)
        f.truncate()
        self.writer.entries.append((self.name, self.offset, crc, size))


class Writer:
    def __init__(self, path: str):
        self.path = path
        self.file: BinaryIO = open(path, "w+b")
        self.entries: List[Tuple[bytes, int, int, int]] = []
        self.synced = 0

    def written(self) -> None:
        end = self.file.tell()
        if end - self.synced >= WRITE_BACK:
            self.file.flush()
            self.synced = write_back(self.file.fileno(), self.synced, end)

    def entry(self, name: str, dtype: Any, width: Optional[int] = None) -> Entry:
        return Entry(self, name, np.dtype(dtype).str, width)

    def array(self, name: str, array: Any) -> None:
        array = np.asarray(array)
        entry = Entry(self, name, array.dtype.str, array.shape[1] if array.ndim == 2 else None)
        entry.write(array)
        entry.finish(array.shape[0])

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, *exc: Any) -> None:
        # Unfinished (on errors): the folder it is in is thrown away.
        self.file.close()

    def close(self) -> None:
        """Writes the central directory: the file is complete."""
        f = self.file
        start = f.tell()
        for name, offset, crc, size in self.entries:
            extra = struct.pack("<HHQQQ", 1, 24, size, size, offset)
            f.write(_CENTRAL.pack(0x02014B50, _VERSION | (3 << 8), _VERSION, _UTF8_NAMES, 0, 0, _DOS_DATE, crc,
                                  _UNKNOWN, _UNKNOWN, len(name), len(extra), 0, 0, 0, 0o644 << 16, _UNKNOWN)
                    + name + extra)
        end = f.tell()
        count = len(self.entries)
        f.write(_ZIP64_END.pack(0x06064B50, 44, _VERSION | (3 << 8), _VERSION, 0, 0, count, count, end - start,
                                start))
        f.write(_ZIP64_LOCATOR.pack(0x07064B50, 0, end, 1))
        f.write(_END.pack(0x06054B50, 0, 0, min(count, 0xFFFF), min(count, 0xFFFF), _UNKNOWN, _UNKNOWN, 0))
        f.flush()
        f.close()


class Reader:
    """The arrays of a saved rows.npz, an entry at a time, in chunks of rows."""

    def __init__(self, path: str, shown: str):
        self.path = shown
        try:
            self.zip = zipfile.ZipFile(path)
            self.names = [n[:-4] for n in self.zip.namelist() if n.endswith(".npy")]
        except (OSError, zipfile.BadZipFile, ValueError, EOFError) as e:
            raise PrepareError("%s: cannot read: %s" % (shown, e)) from None

    def close(self) -> None:
        self.zip.close()

    def _open(self, name: str) -> Tuple[Any, np.dtype, Tuple[int, ...]]:
        try:
            stream = self.zip.open(name + ".npy")
            version = np.lib.format.read_magic(stream)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(stream)
            else:
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(stream)
        except (OSError, zipfile.BadZipFile, ValueError, KeyError, EOFError, zlib.error) as e:
            raise PrepareError("%s: array %r cannot be read: %s" % (self.path, name, e)) from None
        if fortran or dtype.hasobject:
            raise PrepareError("%s: array %r is not stored as this tool stores it" % (self.path, name))
        return stream, dtype, shape

    def shape(self, name: str) -> Tuple[int, ...]:
        stream, _, shape = self._open(name)
        stream.close()
        return shape

    def array(self, name: str) -> Any:
        stream, dtype, shape = self._open(name)
        with stream:
            return self._read(stream, dtype, shape, int(np.prod(shape)), name).reshape(shape)

    def chunks(self, name: str, dtype: Any, rows: int) -> Iterator[Any]:
        """The array's rows, ``rows`` at a time; checks its type and, at the
        end, the entry's CRC-32."""
        stream, have, shape = self._open(name)
        if have != np.dtype(dtype) or not 1 <= len(shape) <= 2:
            raise PrepareError("%s: array %r is %s %s, not what this tool writes" % (self.path, name, have, shape))
        width = shape[1] if len(shape) == 2 else 1
        with stream:
            for start in range(0, shape[0], rows):
                count = min(rows, shape[0] - start)
                chunk = self._read(stream, have, shape, count * width, name)
                yield chunk.reshape((count, width) if len(shape) == 2 else (count,))
            self._read(stream, have, shape, 0, name)

    def _read(self, stream: Any, dtype: np.dtype, shape: Tuple[int, ...], count: int, name: str) -> Any:
        size = count * dtype.itemsize
        try:
            data = stream.read(size) if size else stream.read(1)
        except (OSError, zipfile.BadZipFile, zlib.error, EOFError) as e:
            raise PrepareError("%s: array %r cannot be read: %s" % (self.path, name, e)) from None
        if len(data) != size:
            raise PrepareError("%s: array %r is shorter or longer than its shape %s" % (self.path, name, shape))
        return np.frombuffer(data, dtype)

