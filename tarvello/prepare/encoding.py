"""Encoding batches of rows, field by field, with ``columns.encode`` into a
reused chunk of the matrix (a field's span is a strided slice of it), and
streaming the chunks into rows.npz; the simple categorical ids, their
offsets and the numbers of the rows left out go into spool files first,
appended as entries at the end."""
from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import pyarrow as pa

from ..custom.model_data import bucket
from ..custom.model_data import columns as column_encoder
from . import npz
from .config import Field, PrepareError
from .reading import ARROW_TYPES, LEFT_KEPT, Batch, Left

Array = npt.NDArray[Any]
# Where chunk row i is in the input, for field ``name``.
Locate = Callable[[int, str], str]

# A chunk of the matrix stays in the cache while every field writes its span.
CHUNK_BYTES = 2 << 20
MAX_CHUNK_ROWS = 8192
# A spool writes once it holds this much.
SPOOL_BYTES = 1 << 16


def spans(fields: Sequence[Field]) -> Tuple[List[str], List[Optional[Tuple[int, int]]]]:
    """The matrix columns' names, and each field's span of them (None for
    the simple categorical ids)."""
    columns: List[str] = []
    found: List[Optional[Tuple[int, int]]] = []
    for f in fields:
        slots = f.slots()
        if slots is None:
            found.append(None)
        else:
            found.append((len(columns), len(columns) + len(slots)))
            columns.extend(slots)
    return columns, found


class Layout:
    """Where each field's output goes: a span of matrix columns for a field of
    fixed width, or ids and offsets for the simple categorical kind."""

    def __init__(self, fields: Sequence[Field], header: Sequence[str]):
        self.fields = list(fields)
        self.columns, self.spans = spans(fields)
        # Each extractor reads its column's place in the header.
        self.positions = [list(header).index(f.column) for f in fields]
        self.width = len(self.columns)
        self.ragged = [f.name for f, span in zip(fields, self.spans) if span is None]
        self.read = sorted({f.column for f in fields}, key=list(header).index)

    def field_of_column(self, column: int) -> Field:
        for f, span in zip(self.fields, self.spans):
            if span is not None and span[0] <= column < span[1]:
                return f
        raise IndexError(column)

    def chunk_rows(self) -> int:
        return max(16, min(MAX_CHUNK_ROWS, CHUNK_BYTES // (8 * max(1, self.width))))


def slow_fields(layout: Layout, buckets: Sequence[bucket.BaseBucket]) -> List[str]:
    """What the user is told about each field that is not encoded on the
    column module's fast path, and why."""
    told = []
    for f, b in zip(layout.fields, buckets):
        fast, reason = column_encoder.fast_path(b, pa.array([], ARROW_TYPES[f.type]))
        if not fast:
            told.append("field %r is encoded value by value: %s" % (f.name, reason))
    return told


class Spool:
    """An int64 array written to a file as it grows, read back in chunks."""

    def __init__(self, path: str):
        self.path = path
        self.pending: List[Array] = []
        self.held = 0
        self.count = 0
        open(path, "wb").close()

    def write(self, values: Array) -> None:
        self.pending.append(np.array(values, np.int64))
        self.held += len(values) * 8
        self.count += len(values)
        if self.held >= SPOOL_BYTES:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            with open(self.path, "ab") as f:
                for values in self.pending:
                    f.write(np.ascontiguousarray(values).data.cast("B"))
            self.pending, self.held = [], 0

    def chunks(self, size: int = 1 << 17) -> Iterator[Array]:
        self.flush()
        with open(self.path, "rb") as f:
            while True:
                data = f.read(size * 8)
                if not data:
                    return
                yield np.frombuffer(data, np.int64)

    def remove(self) -> None:
        os.unlink(self.path)


class Sink:
    """Where encoded chunks go: the matrix rows and, per simple categorical
    field, spools of ids and of offsets (each row's end, from this sink's
    first id); and the numbers of the input rows left out."""

    def __init__(self, layout: Layout, folder: str, tag: str, matrix: Any):
        self.matrix = matrix
        self.rows = 0
        self.ids = {name: (Spool(os.path.join(folder, ".%s-%d.ids" % (tag, i))),
                           Spool(os.path.join(folder, ".%s-%d.ends" % (tag, i))))
                    for i, name in enumerate(layout.ragged)}
        self.skipped = Spool(os.path.join(folder, ".%s.skipped" % tag))

    def put(self, matrix: Array, ragged: Dict[str, Tuple[Array, Array]], locate: Locate) -> None:
        self.matrix(matrix)
        for name, (ids, ends) in ragged.items():
            values, offsets = self.ids[name]
            offsets.write(ends + values.count)
            values.write(ids)
        self.rows += len(matrix)

    def left_out(self, rows: Array) -> None:
        self.skipped.write(rows)

    def flush(self) -> None:
        for spools in self.ids.values():
            for spool in spools:
                spool.flush()
        self.skipped.flush()

    def remove(self) -> None:
        for spools in self.ids.values():
            for spool in spools:
                spool.remove()
        self.skipped.remove()


class Encoder:
    """Encodes batches with ``buckets``, which count what they encode, into
    ``sink``; keeps the first rows left out, with their reasons (``left``)."""

    def __init__(self, layout: Layout, buckets: Sequence[bucket.BaseBucket], sink: Any, skip_bad_rows: bool):
        self.layout = layout
        self.buckets = list(buckets)
        self.sink = sink
        self.skip_bad_rows = skip_bad_rows
        rows = layout.chunk_rows()
        self.matrix = np.empty((rows, layout.width), np.float64)
        self.ids = {name: (np.empty(rows, np.int64), np.empty(rows + 1, np.int64)) for name in layout.ragged}
        self.work = list(zip(layout.fields, self.buckets, layout.spans))
        self.left: List[Left] = []

    def encode(self, batch: Batch) -> None:
        """Encodes the batch's rows; raises its error after them, or a
        bucket's refusal as one line (or leaves that row out)."""
        refused: List[Left] = []
        step = len(self.matrix)
        for start in range(0, batch.rows, step):
            self._chunk(batch, start, min(start + step, batch.rows), refused)
        if batch.error is not None:
            raise batch.error
        self.sink.left_out(np.sort(np.asarray(batch.skipped + [r.row for r in refused], np.int64)))
        if len(self.left) < LEFT_KEPT and (batch.left or refused):
            self.left = sorted(self.left + batch.left + refused)[:LEFT_KEPT]

    def _chunk(self, batch: Batch, start: int, stop: int, refused_rows: List[Left]) -> None:
        values = {c: batch.columns[c].slice(start, stop - start) for c in self.layout.read}
        kept = np.arange(start, stop)
        while True:
            counts = [(list(b._distro), b._total) for b in self.buckets] if self.skip_bad_rows else []
            try:
                ragged = self._fields(values, len(kept))
                break
            except _Refused as refused:
                position, field, reason = refused.position, refused.field, refused.reason
                if not self.skip_bad_rows:
                    raise PrepareError("%s: %s" % (batch.where(int(kept[position]), field), reason)) from None
            # No count may hold a row left out: the chunk is encoded again without it.
            for b, (distro, total) in zip(self.buckets, counts):
                b._distro, b._total = distro, total
            row = int(kept[position])
            keep = np.ones(len(kept), bool)
            keep[position] = False
            mask = pa.array(keep)
            values = {c: v.filter(mask) for c, v in values.items()}
            refused_rows.append(Left(int(batch.raw[row]), batch.locate(row), "field %r" % field, reason))
            kept = kept[keep]
        self.sink.put(self.matrix[:len(kept)], ragged, lambda i, name: batch.where(int(kept[i]), name))

    def _fields(self, values: Dict[str, pa.Array], rows: int) -> Dict[str, Tuple[Array, Array]]:
        ragged = {}
        for f, b, span in self.work:
            column = values[f.column]
            try:
                if span is None:
                    ids, offsets = self.ids[f.name]
                    count = column_encoder.encode(b, column, (ids, offsets[:rows + 1]))
                    ragged[f.name] = (ids[:count], offsets[1:rows + 1])
                else:
                    column_encoder.encode(b, column, self.matrix[:rows, span[0]:span[1]])
            except Exception as e:
                position = getattr(e, "position", None)
                if not isinstance(position, int):
                    raise
                raise _Refused(position, f.name, "%s: %s" % (type(e).__name__, e)) from e
        return ragged


class _Refused(Exception):
    def __init__(self, position: int, field: str, reason: str):
        super().__init__(reason)
        self.position = position
        self.field = field
        self.reason = reason


class Collected:
    """Encoded chunks kept in memory, as arrays (the Python API's output)."""

    def __init__(self, layout: Layout):
        self.layout = layout
        self.chunks: List[Array] = []
        self.ids: Dict[str, Tuple[List[Array], List[Array]]] = {name: ([], []) for name in layout.ragged}
        self.counts = {name: 0 for name in layout.ragged}
        self.skipped: List[Array] = []

    def put(self, matrix: Array, ragged: Dict[str, Tuple[Array, Array]], locate: Locate) -> None:
        self.chunks.append(matrix.copy())
        for name, (ids, ends) in ragged.items():
            values, offsets = self.ids[name]
            values.append(ids.copy())
            offsets.append(ends + self.counts[name])
            self.counts[name] += len(ids)

    def left_out(self, rows: Array) -> None:
        self.skipped.append(rows)

    def matrix(self) -> Array:
        return np.concatenate([np.empty((0, self.layout.width))] + self.chunks)

    def ragged(self) -> Dict[str, Tuple[Array, Array]]:
        """Each simple categorical field's ids, and each row's offsets into them."""
        return {name: (np.concatenate([np.zeros(0, np.int64)] + values),
                       np.concatenate([np.zeros(1, np.int64)] + offsets))
                for name, (values, offsets) in self.ids.items()}


def write_rest(writer: npz.Writer, layout: Layout, sinks: Sequence[Sink]) -> None:
    """The entries after the matrix: the slots' names, each simple
    categorical field's ids and offsets joined over ``sinks`` (in input
    order), and the rows left out."""
    writer.array("columns", np.array(layout.columns, dtype=str))
    for name in layout.ragged:
        values = writer.entry(name + ".values", np.int64)
        count = 0
        for sink in sinks:
            for chunk in sink.ids[name][0].chunks():
                values.write(chunk)
                count += len(chunk)
        values.finish(count)
        offsets = writer.entry(name + ".offsets", np.int64)
        offsets.write(np.zeros(1, np.int64))
        base = 0
        for sink in sinks:
            for chunk in sink.ids[name][1].chunks():
                offsets.write(chunk + base)
            base += sink.ids[name][0].count
        offsets.finish(sum(sink.rows for sink in sinks) + 1)
    skipped = writer.entry("skipped", np.int64)
    count = 0
    for sink in sinks:
        for chunk in sink.skipped.chunks():
            skipped.write(chunk)
            count += len(chunk)
    skipped.finish(count)
