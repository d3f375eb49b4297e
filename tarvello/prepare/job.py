"""One preparation run: read, convert, learn the categories, encode."""
from __future__ import annotations

import contextlib
import gc
import io
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from ..custom.model_data import bucket
from . import categories, encoding, reading
from .config import Field, PrepareError, check_columns
from .encoding import Encoded, Layout

_ANSI = re.compile(r"\x1b\[[0-9;]*m")


@dataclass
class Input:
    """The input's rows as the fields' values, column by column, with the rows
    left out (cells that do not convert, values a bucket refuses)."""
    table: reading.Table
    values: Dict[str, List[Any]]
    kept: List[int]
    skipped: List[int] = field(default_factory=list)

    def where(self, row: int, field_name: Optional[str] = None) -> str:
        """The file and line of kept row ``row``."""
        return self.table.where(self.kept[row], field_name)

    def drop(self, rows: Sequence[int]) -> None:
        """Leaves out the kept rows ``rows``."""
        gone = set(rows)
        if not gone:
            return
        keep = [i for i in range(len(self.kept)) if i not in gone]
        self.skipped = sorted(self.skipped + [self.kept[i] for i in gone])
        self.kept = [self.kept[i] for i in keep]
        self.values = {k: [v[i] for i in keep] for k, v in self.values.items()}


def read_input(path: str, fields: Sequence[Field], skip_bad_rows: bool,
               skipped: Sequence[int] = ()) -> Input:
    """Reads and converts the CSV file. A cell that does not convert fails the
    run, or with ``skip_bad_rows`` leaves its row out. Rows ``skipped`` are
    left out from the start (a checked run's)."""
    check_columns(fields, reading.read_header(path), path)
    return converted(reading.read(path), fields, skip_bad_rows, skipped)


def converted(table: reading.Table, fields: Sequence[Field], skip_bad_rows: bool,
              skipped: Sequence[int] = ()) -> Input:
    """The table's rows converted, as read_input makes them."""
    path = table.path
    text = reading.columns(table, sorted({f.column for f in fields}))
    values: Dict[str, List[Any]] = {}
    bad: List[Tuple[int, str, str]] = []
    for f in fields:
        if f.column in values:
            continue
        values[f.column], refused = reading.convert(text[f.column], f.type)
        bad.extend((row, f.name, reason) for row, reason in refused)
    data = Input(table, values, list(range(len(table.rows))))
    if skipped:
        if any(not 0 <= i < len(table.rows) for i in skipped):
            raise PrepareError("%s: fewer rows than the saved run left out" % path)
        data.drop(skipped)
        left_out = set(skipped)
        bad = [(data.kept.index(row), name, reason) for row, name, reason in bad if row not in left_out]
    if bad and not skip_bad_rows:
        row, name, reason = min(bad, key=lambda b: b[0])
        raise PrepareError("%s: %s" % (data.where(row, name), reason))
    data.drop([row for row, _, _ in bad])
    return data


def learn(fields: Sequence[Field], data: Input, table: str, db: Optional[str],
          keep: Optional[str]) -> Dict[str, categories.Categories]:
    learning = [f for f in fields if f.learns]
    if not learning:
        return {}
    if db is not None:
        return categories.learn_from_database(db, table, learning)
    return categories.learn_from_columns(learning, data.values, table, keep)


def make_buckets(fields: Sequence[Field], header: Optional[Sequence[str]],
                 learned: Dict[str, categories.Categories], quiet: bool) -> List[bucket.BaseBucket]:
    """The fields' buckets with zero counts, the categorical ones with their
    categories (whose line the module prints, unless ``quiet``). They read rows
    of the columns in ``header`` by position, or without it mappings by name."""
    made = []
    positions: List[Optional[int]] = [None] * len(fields)
    if header is not None:
        positions = list(Layout(fields, header).positions)
    for f, position in zip(fields, positions):
        b = f.make_bucket(position)
        if isinstance(b, bucket.CategoricalBucket):
            with silenced(quiet):
                b.set_categories(categories.as_set_categories(learned[f.name]))
        made.append(b)
    return made


@contextlib.contextmanager
def no_collection() -> Iterator[None]:
    """The cyclic collector off: the new output lists (which hold no cycles)
    would set it off again and again to walk every row read so far, nearly
    half of the encoding's time on diamonds."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


def silenced(quiet: bool) -> Any:
    return contextlib.redirect_stdout(io.StringIO()) if quiet else contextlib.nullcontext()


def encode(fields: Sequence[Field], make: Callable[[], List[bucket.BaseBucket]], data: Input,
           skip_bad_rows: bool, progress: Callable[[int], None] = lambda n: None,
           out: Optional[encoding.Array] = None) -> Tuple[List[bucket.BaseBucket], Encoded]:
    """Encodes the kept rows with buckets from ``make``. When a bucket refuses a
    value, every refused value is looked for on buckets thrown away after: the
    first fails the run, or with ``skip_bad_rows`` their rows are left out and
    the rest encoded on fresh buckets, so that no count holds a skipped row.
    The matrix is written into the first rows of ``out`` when given."""
    layout = Layout(fields, data.table.header)
    buckets = make()
    try:
        return buckets, encoding.encode(layout, buckets, data.values, len(data.kept), progress, out)
    except encoding.Refused:
        pass
    refused = encoding.find_refused(layout, make(), data.values, len(data.kept))
    if not refused:
        raise PrepareError("a bucket refused a value only on the first try")
    if not skip_bad_rows:
        first = refused[0]
        raise PrepareError("%s: %s" % (data.where(first.row, first.field), first.reason))
    data.drop([v.row for v in refused])
    buckets = make()
    return buckets, encoding.encode(layout, buckets, data.values, len(data.kept), out=out)


def summaries(buckets: Sequence[bucket.BaseBucket], color: bool) -> List[str]:
    lines = []
    for b in buckets:
        line = "%s %s %s" % (b.get_short_label(), b, b.get_distro())
        lines.append(line if color else _ANSI.sub("", line))
    return lines
