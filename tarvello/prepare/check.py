"""The check: the saved buckets rebuilt from their messages encode the input
into exactly the saved arrays, and save exactly the saved messages again."""
from __future__ import annotations

import os
from typing import Callable, List, Sequence

import numpy as np

from ..custom.model_data import bucket
from . import config, job, output
from .config import Field, PrepareError
from .encoding import Array, Layout


class CheckFailed(PrepareError):
    pass


def rebuild(fields: Sequence[Field], header: Sequence[str], saved: output.Saved, where: str,
            say: Callable[[str], None]) -> List[bucket.BaseBucket]:
    messages = saved.saved.buckets
    if len(messages) != len(fields):
        raise CheckFailed("%s: %d buckets for %d fields" % (where, len(messages), len(fields)))
    rebuilt = []
    for f, position, message in zip(fields, Layout(fields, header).positions, messages):
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
        rebuilt.append(b)
    return rebuilt


def check(folder: str, csv_path: str, say: Callable[[str], None]) -> str:
    """Checks the output in ``folder`` against the input; returns a line saying
    what was checked, or raises CheckFailed naming the field and row."""
    saved = output.read(folder)
    where = os.path.join(folder, output.BUCKETS)
    fields = config.parse(saved.document, os.path.join(folder, output.CONFIG))
    named = saved.named
    for key in ["matrix", "columns", "skipped"] + ["%s.%s" % (f.name, part) for f in fields
                                                   if f.slots() is None for part in ("values", "offsets")]:
        if key not in named:
            raise CheckFailed("%s: no array %r" % (os.path.join(folder, output.ROWS), key))
    data = job.read_input(csv_path, fields, skip_bad_rows=False, skipped=[int(i) for i in named["skipped"]])
    layout = Layout(fields, data.table.header)
    rebuilt = rebuild(fields, data.table.header, saved, where, say)
    buckets, encoded = job.encode(fields, lambda: rebuilt, data, skip_bad_rows=False)
    rows = os.path.join(folder, output.ROWS)
    if list(named["columns"]) != layout.columns:
        raise CheckFailed("%s: the columns differ from those of the configuration" % rows)
    _compare_matrix(named["matrix"], encoded.matrix, layout, data, rows)
    for name, (values, offsets) in encoded.ragged.items():
        _compare_ragged(name, named[name + ".values"], named[name + ".offsets"], values, offsets, data, rows)
    again = output.messages(buckets)
    for f, before, after in zip(fields, saved.saved.buckets, again.buckets):
        if before != after:
            raise CheckFailed("%s: field %r saves another message after the rebuilt run" % (where, f.name))
    return "check passed: %d buckets rebuilt, %d rows encoded again into the saved arrays" % (
        len(fields), len(data.kept))


def _compare_matrix(saved: Array, again: Array, layout: Layout, data: job.Input, where: str) -> None:
    if saved.shape != again.shape:
        raise CheckFailed("%s: the matrix is %s, the input gives %s" % (where, saved.shape, again.shape))
    differ = ~((saved == again) | (np.isnan(saved) & np.isnan(again)))
    if differ.any():
        row, column = (int(i) for i in np.argwhere(differ)[0])
        f = layout.field_of_column(column)
        raise CheckFailed("%s: %s: slot %s is %r, the rebuilt bucket gives %r"
                          % (where, data.where(row, f.name), layout.columns[column],
                             float(saved[row, column]), float(again[row, column])))


def _compare_ragged(name: str, values: Array, offsets: Array, again_values: Array,
                    again_offsets: Array, data: job.Input, where: str) -> None:
    if offsets.shape != again_offsets.shape:
        raise CheckFailed("%s: %s.offsets has %d entries, the input gives %d"
                          % (where, name, len(offsets), len(again_offsets)))
    if np.array_equal(offsets, again_offsets) and np.array_equal(values, again_values):
        return
    for row in range(len(again_offsets) - 1):
        a, b = int(offsets[row]), int(offsets[row + 1])
        c, d = int(again_offsets[row]), int(again_offsets[row + 1])
        if (a, b) != (c, d) or not np.array_equal(values[a:b], again_values[c:d]):
            raise CheckFailed("%s: %s: %s.values are %s, the rebuilt bucket gives %s"
                              % (where, data.where(row, name), name, values[a:b].tolist(),
                                 again_values[c:d].tolist()))
