"""The check: the saved buckets rebuilt from their messages encode the input
into exactly the saved arrays, and save exactly the saved messages again.
The input is encoded again chunk by chunk and compared with rows.npz read
entry by entry, so that memory does not grow with the rows."""
from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ..custom.model_data import bucket
from ..custom.model_data.row_handler_proto import row_handler_pb2
from . import config, npz, output, reading
from .config import Field, PrepareError
from .encoding import Array, Encoder, Layout, Locate


class CheckFailed(PrepareError):
    pass


def read_messages(folder: str, shown: str) -> row_handler_pb2.BucketList:
    """The saved buckets' messages of the output in ``folder`` (named ``shown``)."""
    buckets_path = os.path.join(shown, output.BUCKETS)
    try:
        with open(os.path.join(folder, output.BUCKETS), "rb") as handle:
            data = handle.read()
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (buckets_path, e.strerror or e)) from None
    saved = row_handler_pb2.BucketList()
    try:
        saved.ParseFromString(data)
    except Exception as e:
        raise PrepareError("%s: not a saved list of buckets: %s" % (buckets_path, e)) from None
    return saved


def rebuild(fields: Sequence[Field], positions: Sequence[Optional[int]], saved: row_handler_pb2.BucketList,
            where: str, say: Callable[[str], None]) -> List[bucket.BaseBucket]:
    """The fields' buckets rebuilt from their messages with ``read_from_proto``
    (the simple categorical kind, which it does not rebuild, made from the
    configuration), with zero counts; each reads the column of the
    configuration's field, which its message's extractor names."""
    messages = saved.buckets
    if len(messages) != len(fields):
        raise CheckFailed("%s: %d buckets for %d fields" % (where, len(messages), len(fields)))
    rebuilt = []
    for f, position, message in zip(fields, positions, messages):
        if message.name != f.name:
            raise CheckFailed("%s: bucket %r where the configuration has field %r" % (where, message.name, f.name))
        if f.kind == "SimpleCategoricalBucket":
            say("%s: the simple categorical kind is not rebuilt from its message; made from %s"
                % (f.name, output.CONFIG))
            rebuilt.append(f.make_bucket(position))
            continue
        try:
            b = bucket.read_from_proto(message)
        except Exception as e:
            raise CheckFailed("%s: field %r does not rebuild: %s" % (where, f.name, e)) from None
        if type(b).__name__ != f.kind:
            raise CheckFailed("%s: field %r rebuilt as %s, not %s" % (where, f.name, type(b).__name__, f.kind))
        reads = "%s:%s" % (f.column, config.TYPES[f.type])
        if b._extractor.description() != reads:
            raise CheckFailed("%s: field %r reads %s, where the configuration has %s"
                              % (where, f.name, b._extractor.description(), reads))
        rebuilt.append(b)
    return rebuilt


class _Rows:
    """A saved array's rows, handed out as asked for."""

    def __init__(self, reader: npz.Reader, name: str, dtype: Any, rows: int):
        self.shape = reader.shape(name)
        self._empty = np.zeros((0,) + tuple(self.shape[1:]), dtype)
        self._chunks = reader.chunks(name, dtype, rows)
        self._held: List[Array] = []
        self._count = 0

    def take(self, count: int) -> Array:
        while self._count < count:
            chunk = next(self._chunks, None)
            if chunk is None:
                break
            self._held.append(chunk)
            self._count += len(chunk)
        whole = np.concatenate([self._empty] + self._held) if len(self._held) != 1 else self._held[0]
        taken, rest = whole[:count], whole[count:]
        self._held, self._count = ([rest] if len(rest) else []), len(rest)
        return taken

    def end(self) -> None:
        # Reading to the end checks the entry's CRC-32.
        for _ in self._chunks:
            pass


class _Compare:
    """Takes encoded chunks as the output would, and compares them with the saved arrays."""

    def __init__(self, reader: npz.Reader, layout: Layout, where: str):
        self.layout = layout
        self.where = where
        rows = layout.chunk_rows()
        self.matrix = _Rows(reader, "matrix", np.float64, rows)
        if self.matrix.shape[1:] != (layout.width,):
            raise CheckFailed("%s: the matrix is %s, the configuration gives %d columns"
                              % (where, self.matrix.shape, layout.width))
        self.ids: Dict[str, Tuple[_Rows, _Rows]] = {}
        self.bases: Dict[str, Tuple[int, int]] = {}
        for name in layout.ragged:
            values = _Rows(reader, name + ".values", np.int64, rows)
            offsets = _Rows(reader, name + ".offsets", np.int64, rows)
            if offsets.take(1).tolist() != [0]:
                raise CheckFailed("%s: %s.offsets does not start at 0" % (where, name))
            self.ids[name] = (values, offsets)
            self.bases[name] = (0, 0)
        self.rows = 0

    def put(self, matrix: Array, ragged: Dict[str, Tuple[Array, Array]], locate: Locate) -> None:
        saved = self.matrix.take(len(matrix))
        again = matrix[:len(saved)]
        differ = ~((saved == again) | (np.isnan(saved) & np.isnan(again)))
        if differ.any():
            row, column = (int(i) for i in np.argwhere(differ)[0])
            f = self.layout.field_of_column(column)
            raise CheckFailed("%s: %s: slot %s is %r, the rebuilt bucket gives %r"
                              % (self.where, locate(row, f.name), self.layout.columns[column],
                                 float(saved[row, column]), float(again[row, column])))
        for name, (ids, ends) in ragged.items():
            self._compare_ids(name, ids, ends, locate)
        self.rows += len(matrix)

    def _compare_ids(self, name: str, ids: Array, ends: Array, locate: Locate) -> None:
        values, offsets = self.ids[name]
        saved_base, again_base = self.bases[name]
        saved_ends = offsets.take(len(ends)) - saved_base
        if len(saved_ends) and (saved_ends[-1] < 0 or (np.diff(saved_ends) < 0).any() or saved_ends[0] < 0):
            raise CheckFailed("%s: %s.offsets are not ascending" % (self.where, name))
        saved_ids = values.take(int(saved_ends[-1]) if len(saved_ends) else 0)
        if not (np.array_equal(saved_ends, ends[:len(saved_ends)]) and np.array_equal(saved_ids, ids)):
            starts, saved_starts = np.concatenate([[0], ends[:-1]]), np.concatenate([[0], saved_ends[:-1]])
            for row in range(len(saved_ends)):
                mine = saved_ids[saved_starts[row]:saved_ends[row]]
                theirs = ids[starts[row]:ends[row]]
                if not np.array_equal(mine, theirs):
                    raise CheckFailed("%s: %s: %s.values are %s, the rebuilt bucket gives %s"
                                      % (self.where, locate(row, name), name, mine.tolist(), theirs.tolist()))
        self.bases[name] = (saved_base + (int(saved_ends[-1]) if len(saved_ends) else 0),
                            again_base + len(ids))

    def left_out(self, rows: Array) -> None:
        assert not len(rows), "the check leaves out only the saved run's rows"

    def finish(self) -> None:
        if self.matrix.shape[0] != self.rows:
            raise CheckFailed("%s: the matrix is %s, the input gives %s"
                              % (self.where, self.matrix.shape, (self.rows, self.layout.width)))
        self.matrix.end()
        for name, (values, offsets) in self.ids.items():
            if offsets.shape[0] != self.rows + 1:
                raise CheckFailed("%s: %s.offsets has %d entries, the input gives %d"
                                  % (self.where, name, offsets.shape[0], self.rows + 1))
            if values.shape[0] != self.bases[name][0]:
                raise CheckFailed("%s: %s.values has %d entries, its offsets end at %d"
                                  % (self.where, name, values.shape[0], self.bases[name][0]))
            values.end()
            offsets.end()


def _skipped(reader: npz.Reader, where: str) -> Iterator[Array]:
    last = -1
    for chunk in reader.chunks("skipped", np.int64, 1 << 16):
        if len(chunk) and (chunk[0] <= last or (np.diff(chunk) <= 0).any()):
            raise CheckFailed("%s: the skipped rows are not in ascending order" % where)
        last = int(chunk[-1]) if len(chunk) else last
        yield chunk


def check(folder: str, shown: str, source: reading.Input, say: Callable[[str], None]) -> str:
    """Checks the output in ``folder`` (named ``shown`` in messages) against
    the input, read from its first row; returns a line saying what was
    checked, or raises CheckFailed naming the field and row."""
    buckets_path, rows_path = (os.path.join(shown, n) for n in (output.BUCKETS, output.ROWS))
    fields = config.load(os.path.join(folder, output.CONFIG), os.path.join(shown, output.CONFIG))
    saved = read_messages(folder, shown)
    reader = npz.Reader(os.path.join(folder, output.ROWS), rows_path)
    try:
        for key in ["matrix", "columns", "skipped"] + ["%s.%s" % (name, part) for name in
                                                     (f.name for f in fields if f.slots() is None)
                                                     for part in ("values", "offsets")]:
            if key not in reader.names:
                raise CheckFailed("%s: no array %r" % (rows_path, key))
        config.check_columns(fields, source.header, source.name)
        layout = Layout(fields, source.header)
        if reader.array("columns").tolist() != layout.columns:
            raise CheckFailed("%s: the columns differ from those of the configuration" % rows_path)
        rebuilt = rebuild(fields, layout.positions, saved, buckets_path, say)
        compare = _Compare(reader, layout, rows_path)
        encoder = Encoder(layout, rebuilt, compare, skip_bad_rows=False)
        leave_out = reading.Skipped(_skipped(reader, rows_path))
        for batch in source.batches(fields, layout.read, False, leave_out):
            encoder.encode(batch)
        if leave_out.left():
            raise CheckFailed("%s: fewer rows than the saved run left out" % source.name)
        compare.finish()
    finally:
        reader.close()
    again = output.messages(rebuilt)
    for f, before, after in zip(fields, saved.buckets, again.buckets):
        if before != after:
            raise CheckFailed("%s: field %r saves another message after the rebuilt run" % (buckets_path, f.name))
    return "check passed: %d buckets rebuilt, %d rows encoded again into the saved arrays" % (
        len(fields), compare.rows)
