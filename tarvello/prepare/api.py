"""The tool from Python. ``fit`` learns a configuration's categories from a
source as the command does; ``Prepared.transform`` encodes a source with
them into arrays in memory, learning nothing; ``Prepared.save`` writes what
the command writes; ``load`` reads a saved output folder back.

A source is the path of a CSV or Parquet file, a pandas DataFrame, a pyarrow
Table or RecordBatch, or any object with ``__arrow_c_stream__`` (a polars
DataFrame, say). Its columns are matched to the fields by name. Data in
memory goes through Arrow, without a loop over its rows: a pandas NaN or
None is a missing value (None), and a column of a type that cannot serve
its field's is a PrepareError (a ValueError) naming it."""
from __future__ import annotations

import contextlib
import copy
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import pyarrow as pa

from ..custom.model_data import bucket
from . import config, counts, job, output, reading, saved
from .categories import Categories
from .config import Field, PrepareError
from .encoding import Array, Collected, Encoder, Layout, spans

# A configuration: its list of fields as in the JSON file, or that file's path.
Fields = Union[str, "os.PathLike[str]", Sequence[Mapping[str, Any]]]


@dataclass
class Transformed:
    """What ``transform`` encoded. ``matrix``: float64, a row per row kept
    (a None as NaN), its columns named by ``columns``. ``ragged``: per simple
    categorical field, its ids and each row's offsets into them (row i's ids
    are ``values[offsets[i]:offsets[i + 1]]``). ``counts``: each field's
    counts, as counts.json has them. ``skipped``: the rows left out, numbered
    from 0 (with ``skip_bad_rows``)."""
    matrix: Array
    columns: List[str]
    ragged: Dict[str, Tuple[Array, Array]]
    counts: List[Dict[str, Any]]
    skipped: Array


def parse_fields(fields: Fields) -> List[Field]:
    if isinstance(fields, (str, os.PathLike)):
        return config.load(os.fspath(fields))
    if isinstance(fields, Mapping):
        raise PrepareError('fields: the list of fields, not the whole configuration: its "fields"')
    return config.parse({"fields": list(fields)}, "fields")


def open_source(source: Any) -> reading.Source:
    """The source as an input to read: a file, or a table in memory."""
    if isinstance(source, (str, os.PathLike)):
        return reading.Input(os.fspath(source))
    # A DataFrame can only come from pandas once pandas is imported.
    pandas = sys.modules.get("pandas")
    try:
        if pandas is not None and isinstance(source, pandas.DataFrame):
            return reading.Table(pa.Table.from_pandas(source, preserve_index=False), "the DataFrame")
        if isinstance(source, pa.RecordBatch):
            return reading.Table(pa.Table.from_batches([source]), "the table")
        if isinstance(source, pa.Table):
            return reading.Table(source, "the table")
        if hasattr(source, "__arrow_c_stream__"):
            return reading.Table(pa.table(source), "the table")
    except pa.ArrowException as e:
        raise PrepareError("the data cannot go through Arrow: %s" % e) from None
    raise PrepareError("a source is a CSV or Parquet file's path, a DataFrame or Arrow data, not %s"
                       % type(source).__name__)


class Prepared:
    """A configuration's buckets with their categories learned, by ``fit`` or
    from a saved folder (``load``). ``fields``: the configuration's fields;
    ``columns``: the names of the matrix columns that ``transform`` gives."""

    def __init__(self, fields: Sequence[Field], buckets: Sequence[bucket.BaseBucket],
                 learned: Optional[Dict[str, Categories]], skip_bad_rows: bool = False):
        self.fields = list(fields)
        self.columns = spans(fields)[0]
        self.skip_bad_rows = skip_bad_rows
        self._buckets = list(buckets)
        self._learned = learned
        # fit's source, which save encodes as the command would.
        self._source: Any = None

    def transform(self, source: Any) -> Transformed:
        """``source`` encoded with the buckets (copies of them: what they
        count is that source's alone)."""
        with open_source(source) as opened:
            layout = _layout(self.fields, opened)
            buckets = copy.deepcopy(self._buckets)
            sink = Collected(layout)
            encoder = Encoder(layout, buckets, sink, self.skip_bad_rows)
            for batch in opened.batches(self.fields, layout.read, self.skip_bad_rows):
                encoder.encode(batch)
        return Transformed(sink.matrix(), list(layout.columns), sink.ragged(), counts.entries(self.fields, buckets),
                           np.concatenate([np.zeros(0, np.int64)] + sink.skipped))

    def save(self, folder: Union[str, "os.PathLike[str]"]) -> None:
        """Writes what ``tarvello-prepare`` writes for ``fit``'s source into
        ``folder``, published as a whole as the command publishes it."""
        if self._source is None:
            raise PrepareError("nothing to save: this preparation holds no data to encode (it was loaded or "
                               "unpickled); fit one")
        start = time.perf_counter()
        name = os.fspath(folder)
        with contextlib.ExitStack() as stack:
            out = stack.enter_context(output.Folder(name))
            opened = open_source(self._source)
            stack.enter_context(opened)
            try:
                layout = _layout(self.fields, opened)
                encoded = job.encode(opened, self.fields, layout, copy.deepcopy(self._buckets), self.skip_bad_rows,
                                     out, job.Progress(None, False))
                run = counts.run("prepare", opened.name, encoded.rows, encoded.skipped, encoded.left,
                                 time.perf_counter() - start)
                job.write(out, self.fields, encoded, run, self._learned)
            except OSError as e:
                raise PrepareError("%s: cannot write: %s" % (name, e.strerror or e)) from None
            job.seal(out, "prepare", self.fields)

    def __getstate__(self) -> Dict[str, Any]:
        # A pickled preparation carries no training data.
        return dict(self.__dict__, _source=None)


def _layout(fields: Sequence[Field], opened: reading.Source) -> Layout:
    """Where the fields' columns are in ``opened``, whose columns in memory
    must be of types that serve the fields'."""
    header = opened.read_header()
    config.check_columns(fields, header, opened.name)
    layout = Layout(fields, header)
    if isinstance(opened, reading.Table):
        reading.Converter(opened, fields, layout.read, False).casts(opened.table.schema)
    return layout


def learn(source: Any, fields: Fields, skip_bad_rows: bool = False, db: Optional[str] = None,
          table: Optional[str] = None) -> Prepared:
    """``fit`` without keeping the source."""
    parsed = parse_fields(fields)
    with open_source(source) as opened:
        layout = _layout(parsed, opened)
        if table is None:
            if db is not None and not isinstance(opened, reading.Input):
                raise PrepareError("db=%s needs table=, the table to learn from" % db)
            table = os.path.splitext(os.path.basename(opened.name))[0]
        learned = job.learn(opened, parsed, layout, skip_bad_rows, db, table, None, job.Progress(None, False))
        buckets = job.make_buckets(parsed, layout, learned, opened.name if db is None else "db %s" % db, True)
    return Prepared(parsed, buckets, learned, skip_bad_rows)


def fit(source: Any, fields: Fields, *, skip_bad_rows: bool = False, db: Optional[str] = None,
        table: Optional[str] = None) -> Prepared:
    """Learns the categories of the configuration ``fields`` from ``source``
    (or from the database ``db``, ``sqlite:PATH`` or ``postgresql://...``,
    its table ``table``: by default the file's name) as the command does.
    ``skip_bad_rows``: rows with a cell that does not convert, or a value a
    bucket refuses, are left out (here and by transform) instead of failing."""
    prepared = learn(source, fields, skip_bad_rows, db, table)
    prepared._source = source
    return prepared


def load(folder: Union[str, "os.PathLike[str]"], *, skip_bad_rows: bool = False) -> Prepared:
    """The buckets of a saved output folder, which its manifest must
    describe, rebuilt from their messages."""
    path = os.fspath(folder)
    found = saved.load(path, path)
    return Prepared(found.fields, found.buckets(), None, skip_bad_rows)
