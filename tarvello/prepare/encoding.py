"""Encoding the rows: every field's bucketize on every row, each result
written straight into its place in the preallocated output."""
from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from ..custom.model_data import bucket
from .config import Field

Array = npt.NDArray[Any]

# Rows per step: the progress bar moves once per chunk.
CHUNK = 8192


class Layout:
    """Where each field's output goes: a span of matrix columns for a field of
    fixed width, or a values and offsets pair for the simple categorical ids."""

    def __init__(self, fields: Sequence[Field], header: Sequence[str]):
        self.fields = list(fields)
        self.columns: List[str] = []
        self.spans: List[Optional[Tuple[int, int]]] = []
        for f in fields:
            slots = f.slots()
            if slots is None:
                self.spans.append(None)
            else:
                self.spans.append((len(self.columns), len(self.columns) + len(slots)))
                self.columns.extend(slots)
        # A row is a tuple of the CSV's columns up to the last one read: each
        # extractor reads its column's position, cheaper than a dict per row.
        self.positions = [header.index(f.column) for f in fields]
        self.header = list(header[:max(self.positions) + 1])

    def field_of_column(self, column: int) -> Field:
        for f, span in zip(self.fields, self.spans):
            if span is not None and span[0] <= column < span[1]:
                return f
        raise IndexError(column)


@dataclass
class Encoded:
    matrix: Array
    # Per simple categorical field: its ids of all rows, and where each row's start.
    ragged: Dict[str, Tuple[Array, Array]]


@dataclass
class BadValue:
    row: int
    field: str
    reason: str


class Refused(Exception):
    """A bucket refused a value; the caller looks for the rows at fault."""


def rows_of(layout: Layout, values: Mapping[str, Sequence[Any]], start: int, stop: int) -> List[Tuple[Any, ...]]:
    """Rows start to stop as the tuples the extractors read, from the columns'
    values (None in a column that no field reads)."""
    return list(zip(*(values[c][start:stop] if c in values else itertools.repeat(None) for c in layout.header)))


def encode(layout: Layout, buckets: Sequence[bucket.BaseBucket], values: Mapping[str, Sequence[Any]],
           count: int, progress: Callable[[int], None] = lambda n: None, out: Optional[Array] = None) -> Encoded:
    """Encodes ``count`` rows (the columns' values by column name) with
    ``buckets``, which count them, into the first rows of ``out`` or a new
    matrix. Raises Refused if a bucket refuses a value."""
    shape = (count, len(layout.columns))
    matrix = np.empty(shape, dtype=np.float64) if out is None else out[:count]
    ragged: Dict[str, Tuple[List[int], List[int]]] = {
        f.name: ([], []) for f, span in zip(layout.fields, layout.spans) if span is None}
    work = list(zip(layout.fields, buckets, layout.spans))
    for start in range(0, count, CHUNK):
        stop = min(start + CHUNK, count)
        rows = rows_of(layout, values, start, stop)
        for f, b, span in work:
            try:
                outputs = list(map(b.bucketize, rows))
            except Exception as e:
                raise Refused(f.name) from e
            if span is None:
                ids, lengths = ragged[f.name]
                ids.extend(itertools.chain.from_iterable(outputs))
                lengths.extend(map(len, outputs))
            else:
                _put(matrix[start:stop, span[0]:span[1]], outputs)
        progress(stop - start)
    return Encoded(matrix, {name: (np.array(ids, dtype=np.int64), _offsets(lengths))
                            for name, (ids, lengths) in ragged.items()})


def _put(block: Array, outputs: List[List[Any]]) -> None:
    try:
        # Several times faster than assigning the lists, which numpy measures one by one.
        flat = np.fromiter(itertools.chain.from_iterable(outputs), np.float64)
    except TypeError:
        # A None (a categorical field's none_value left None, say) becomes NaN.
        block[:] = outputs
        return
    block[:] = flat.reshape(block.shape)


def _offsets(lengths: List[int]) -> Array:
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return offsets


def find_refused(layout: Layout, buckets: Sequence[bucket.BaseBucket], values: Mapping[str, Sequence[Any]],
                 count: int) -> List[BadValue]:
    """Every value a bucket refuses, row by row; ``buckets`` are thrown away after."""
    bad = []
    rows = rows_of(layout, values, 0, count)
    for f, b in zip(layout.fields, buckets):
        bucketize = b.bucketize
        for i, row in enumerate(rows):
            try:
                bucketize(row)
            except Exception as e:
                bad.append(BadValue(i, f.name, "%s: %s" % (type(e).__name__, e)))
    return sorted(bad, key=lambda v: v.row)
