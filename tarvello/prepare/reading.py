"""Reading the input, opened once: a CSV file in blocks of bytes, cut at its
last complete row by the CSV parser's own rules (``columns.scan_rows``), so
that every row's line is known; each piece parsed by pyarrow with every
column as text, then converted to the fields' types. Or a Parquet file, or
an Arrow table in memory, by batches, its column types checked against the
fields'."""
from __future__ import annotations

import codecs
import csv
import os
import re
import stat
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv

from ..custom.model_data import columns as column_encoder
from .config import Field, PrepareError

# Bytes read at a time, and the longest row (the header included) that is
# read: a longer one ends the run, so that no input takes unbounded memory.
BLOCK = 1 << 20
MAX_ROW = 8 << 20
MAX_COLUMNS = 10_000
PARQUET_BATCH = 65_536
# Rows left out whose reasons are kept, the first ones of the input.
LEFT_KEPT = 5

ARROW_TYPES = {"float": pa.float64(), "int": pa.int64(), "bool": pa.bool_(), "str": pa.string()}
_ARTICLE = {"float": "a float", "int": "an int", "bool": "a bool (true, false, 1 or 0)"}
_INT64 = (-(1 << 63), (1 << 63) - 1)

# One CSV row by the parser's rules: a quote opens quoting only at a cell's
# start, "" inside quotes is a quote, and a line end is \n, \r\n or \r.
# Used for the header and to find a row's line on errors.
_CELL = rb'(?:"(?:[^"]|"")*"(?!")[^,\r\n]*|(?!")[^,\r\n]*)'
_ROW = re.compile(rb"%s(?:,%s)*(?:\r\n|\n|\r)" % (_CELL, _CELL))
_LAST_ROW = re.compile(rb"%s(?:,%s)*\r?" % (_CELL, _CELL))


def _utf8(data: memoryview) -> bool:
    whole: bytes = data.obj  # type: ignore[assignment]
    if whole.isascii():
        return True
    try:
        str(data, "utf-8")
    except UnicodeDecodeError:
        return False
    return True


def line_ends(data: Any) -> int:
    text = bytes(data)
    return int(text.count(b"\n") + text.count(b"\r") - text.count(b"\r\n"))


def _cell(text: str) -> str:
    return repr(text) if len(text) <= 40 else repr(text[:37]) + "..."


@dataclass
class Piece:
    """A stretch of whole rows of a CSV file, as the scanner found it."""
    offset: int
    size: int
    first_row: int
    first_line: int
    rows: int
    lines: int


@dataclass
class Part:
    """A stretch of the input that starts at a row: pieces of a CSV file, or
    row groups of a Parquet file."""
    index: int
    first_row: int
    first_line: int
    rows: int
    pieces: List[Piece] = field(default_factory=list)
    groups: Optional[List[int]] = None


class Left(NamedTuple):
    """A row left out, and why: its input row (from 0), its place ("line 7",
    "row 8"), what failed ("field 'age'", "column 'x'" that no field reads,
    or nothing for the whole row) and the reason."""
    row: int
    place: str
    field: str
    reason: str


@dataclass
class Batch:
    """Rows of the input (named ``name``) as the fields' values, column by
    column; rows that do not convert are left out (``skipped``, input row
    numbers from 0, the first ones with their reasons in ``left``), or, when
    they fail the run, the rows before the first are kept and ``error`` is
    raised once they are encoded."""
    columns: Dict[str, pa.Array]
    rows: int
    raw: Any
    name: str
    # A kept row's place in the input: "line 7", "row 8".
    locate: Callable[[int], str]
    skipped: List[int] = field(default_factory=list)
    left: List[Left] = field(default_factory=list)
    error: Optional[PrepareError] = None
    size: int = 0

    def where(self, row: int, name: Optional[str] = None) -> str:
        """The file and line (or row) of kept row ``row``, with the field."""
        text = "%s, %s" % (self.name, self.locate(row))
        return text if name is None else "%s, field %r" % (text, name)

    def take(self, keep: Any) -> "Batch":
        """The batch without the rows where ``keep`` (a bool array) is false."""
        mask = pa.array(keep, pa.bool_())
        return Batch({name: pc.filter(values, mask) for name, values in self.columns.items()},
                     int(np.count_nonzero(keep)), np.asarray(self.raw)[keep], self.name,
                     self._shifted(np.flatnonzero(keep)), self.skipped, self.left, self.error, self.size)

    def _shifted(self, kept: Any) -> Callable[[int], str]:
        locate = self.locate
        return lambda row: locate(int(kept[row]))


class Skipped:
    """Input rows to leave out, ascending (a checked run's): handed out piece
    by piece from a stream of arrays."""

    def __init__(self, chunks: Iterable[Any]):
        self._chunks = iter(chunks)
        self._pending = np.zeros(0, np.int64)

    def below(self, stop: int) -> Any:
        """The rows before ``stop`` not yet handed out."""
        while not len(self._pending) or self._pending[-1] < stop:
            chunk = next(self._chunks, None)
            if chunk is None:
                break
            self._pending = np.concatenate([self._pending, chunk])
        cut = int(np.searchsorted(self._pending, stop))
        taken, self._pending = self._pending[:cut], self._pending[cut:]
        return taken

    def left(self) -> bool:
        return len(self.below(np.iinfo(np.int64).max)) > 0


class Input:
    """The input, opened once. A regular file can be read again from its
    start; a pipe, FIFO or terminal is read once, copied into ``spool`` when
    it has to be read again."""

    def __init__(self, path: str, name: Optional[str] = None):
        self.name = path if name is None else name
        self.parquet = path.endswith(".parquet")
        try:
            self.file: BinaryIO = open(path, "rb", buffering=0)
        except OSError as e:
            raise PrepareError("%s: cannot read: %s" % (path, e.strerror or e)) from None
        mode = os.fstat(self.file.fileno()).st_mode
        self.seekable = stat.S_ISREG(mode)
        self.size = os.fstat(self.file.fileno()).st_size if self.seekable else None
        self.header: List[str] = []
        self.data_start = 0
        self.first_line = 1
        self._pending = b""
        self._spool: Optional[BinaryIO] = None
        self._spool_path: Optional[str] = None
        self._parquet: Any = None
        # The pieces of a first reading from the start, and the size of the
        # blocks read.
        self.known: Optional[List[Piece]] = None
        self.block = BLOCK

    def close(self) -> None:
        self.file.close()
        if self._spool is not None:
            self._spool.close()

    def __enter__(self) -> "Input":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def spool_to(self, path: str) -> None:
        """Copies what is read from now on (and the header) into ``path``, to
        be read again after ``rewind``."""
        self._spool_path = path
        self._spool = open(path, "wb")
        self._spool.write(self._header_bytes + self._pending)

    def rewind(self) -> None:
        """Back to the first row, for a second reading: of the pieces found
        by the first."""
        if self._spool is not None:
            # From now on the copy is the input: a regular file.
            self._spool.close()
            self._spool = None
            self.file.close()
            assert self._spool_path is not None
            self.file = open(self._spool_path, "rb", buffering=0)
            self.seekable = True
        elif not self.seekable:
            raise PrepareError("%s: cannot be read twice (not a regular file)" % self.name)
        self.file.seek(self.data_start)
        self._pending = b""

    def _read(self, size: int) -> bytes:
        try:
            block = self.file.read(size)
        except OSError as e:
            raise PrepareError("%s: cannot read: %s" % (self.name, e.strerror or e)) from None
        if self._spool is not None and block:
            self._spool.write(block)
        return block or b""

    def read_header(self) -> List[str]:
        if self.parquet:
            return self._read_parquet_header()
        data = b""
        while True:
            # No row ends before a line end.
            match = _ROW.match(data) if b"\n" in data or b"\r" in data else None
            # A \r at the end may be the first half of \r\n.
            if match is not None and (match.end() < len(data) or not data.endswith(b"\r")):
                end = match.end()
                break
            if len(data) > MAX_ROW:
                raise PrepareError("%s, line 1: the header is longer than %d bytes" % (self.name, MAX_ROW))
            block = self._read(BLOCK)
            if not block:
                if _LAST_ROW.fullmatch(data) is None:
                    raise PrepareError("%s, line 1: a quoted cell of the header is not closed" % self.name)
                end = len(data)
                break
            data += block
        self._header_bytes, self._pending = data[:end], data[end:]
        self.data_start = end
        self.first_line = 1 + line_ends(data[:end])
        raw = data[:end]
        if raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8):]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise PrepareError("%s, line 1: not UTF-8 text" % self.name) from None
        header = next(csv.reader([text.rstrip("\r\n")]), None) if text.strip("\r\n") else None
        if not header:
            raise PrepareError("%s: no header line" % self.name)
        if len(header) > MAX_COLUMNS:
            raise PrepareError("%s, line 1: %d columns, more than the %d read" % (self.name, len(header), MAX_COLUMNS))
        self.header = header
        return header

    def _read_parquet_header(self) -> List[str]:
        if not self.seekable:
            raise PrepareError("%s: a Parquet input must be a regular file" % self.name)
        self._parquet = self._open_parquet()
        self.header = list(self._parquet.schema_arrow.names)
        self._header_bytes = b""
        return self.header

    def _open_parquet(self) -> Any:
        import pyarrow.parquet as pq
        # Arrow reads by offsets through a handle of its own, here the file
        # opened again through this process's descriptor: pyarrow before 18
        # takes no descriptor, and a forked worker's reads must not move the
        # offset its parent's handle shares.
        try:
            return pq.ParquetFile(pa.OSFile("/proc/self/fd/%d" % self.file.fileno()))
        except (pa.ArrowException, OSError) as e:
            raise PrepareError("%s: not a Parquet file: %s" % (self.name, e)) from None

    def pieces(self, part: Optional[Part] = None) -> Iterator[Tuple[memoryview, Piece]]:
        """Pieces of whole rows, from the first row on (as the first reading
        found them, once there was one) or over ``part``."""
        if part is not None:
            yield from self._known(part.pieces)
        elif self.known is not None:
            yield from self._known(self.known)
        else:
            yield from self._scan()

    def _known(self, pieces: Sequence[Piece]) -> Iterator[Tuple[memoryview, Piece]]:
        # By offset: a forked worker shares the parent's file position.
        for piece in pieces:
            data = b""
            while len(data) < piece.size:
                try:
                    block = os.pread(self.file.fileno(), piece.size - len(data), piece.offset + len(data))
                except OSError as e:
                    raise PrepareError("%s: cannot read: %s" % (self.name, e.strerror or e)) from None
                if not block:
                    raise PrepareError("%s: shorter than when it was first read" % self.name)
                data += block
            yield memoryview(data), piece

    def _scan(self) -> Iterator[Tuple[memoryview, Piece]]:
        """Reads on in blocks, each cut at its last complete row; the pieces
        found are kept for a second reading."""
        found: List[Piece] = []
        offset, row, line = self.data_start, 0, self.first_line
        # What the header's reading read beyond it comes first.
        ahead, self._pending = self._pending, b""
        data = b""
        while True:
            if ahead:
                block, ahead = ahead[:self.block], ahead[self.block:]
            else:
                block = self._read(self.block)
            final = not block
            data = data + block if data else block
            if not data:
                break
            end, rows, lines = column_encoder.scan_rows(data, final)
            if final:
                self._check_last_row(data, line)
            if end:
                piece = Piece(offset, end, row, line, rows, lines)
                found.append(piece)
                yield memoryview(data)[:end], piece
                offset, row, line = offset + end, row + rows, line + lines
                data = data[end:]
            if len(data) > MAX_ROW:
                raise PrepareError("%s, line %d: a row longer than %d bytes" % (self.name, line, MAX_ROW))
            if final:
                break
        self.known = found

    def _check_last_row(self, data: bytes, line: int) -> None:
        # Arrow takes the rest of the file into a quoted cell left open.
        end, _, lines = column_encoder.scan_rows(data, False)
        if end < len(data) and _LAST_ROW.fullmatch(data, end) is None:
            raise PrepareError("%s, line %d: a quoted cell is not closed at the end of the file"
                               % (self.name, line + lines))

    def cut(self, count: int) -> List[Part]:
        """``count`` parts of about the same size, each of whole pieces: the
        whole input is read once, in blocks small enough to give each part
        several."""
        if self.parquet:
            return self._cut_parquet(count)
        if not self.seekable:
            raise PrepareError("%s: several processes need a regular file, which they read in parts" % self.name)
        total = (self.size or 0) - self.data_start
        self.block = max(4096, min(BLOCK, total // (4 * count)))
        for _ in self._scan():
            pass
        pieces = self.known or []
        parts = []
        taken = 0
        for k in range(count):
            # Up to the piece boundary nearest to this part's share of the bytes.
            share = total * (k + 1) // count
            stop = taken
            while stop < len(pieces) and abs(pieces[stop].offset + pieces[stop].size - self.data_start - share) \
                    <= abs(pieces[stop].offset - self.data_start - share):
                stop += 1
            mine = pieces[taken:stop] if k < count - 1 else pieces[taken:]
            if mine:
                row, line = mine[0].first_row, mine[0].first_line
            elif taken:
                row, line = pieces[taken - 1].first_row + pieces[taken - 1].rows, pieces[taken - 1].first_line \
                    + pieces[taken - 1].lines
            else:
                row, line = 0, self.first_line
            parts.append(Part(k, row, line, sum(p.rows for p in mine), mine))
            taken = stop
        return parts

    def _cut_parquet(self, count: int) -> List[Part]:
        meta = self._parquet.metadata
        sizes = [meta.row_group(i).num_rows for i in range(meta.num_row_groups)]
        total = sum(sizes)
        parts: List[Part] = []
        groups: List[int] = []
        first = rows = 0
        for group, size in enumerate(sizes):
            groups.append(group)
            rows += size
            if first + rows >= total * (len(parts) + 1) / count or group == len(sizes) - 1:
                parts.append(Part(len(parts), first, 0, rows, groups=groups))
                first, rows, groups = first + rows, 0, []
        return parts

    def batches(self, fields: Sequence[Field], columns: Sequence[str], skip_bad_rows: bool,
                leave_out: Optional[Skipped] = None, part: Optional[Part] = None) -> Iterator[Batch]:
        """The input's rows as batches of the named columns' values, converted
        to their fields' types."""
        convert = Converter(self, fields, columns, skip_bad_rows)
        if self.parquet:
            # A forked worker reads with a reader of its own (Arrow reads by offset).
            opened = self._parquet if part is None else self._open_parquet()
            yield from convert.parquet(opened, leave_out, part)
            return
        for data, piece in self.pieces(part):
            yield convert.piece(data, piece.first_row, piece.first_line, piece.rows, leave_out)


class Table:
    """Arrow data in memory (a DataFrame's, say) read as an input, by batches
    of rows; ``name`` names it in errors."""
    seekable = True
    size = None

    def __init__(self, table: pa.Table, name: str):
        self.table = table
        self.name = name
        self.header: List[str] = list(table.column_names)

    def read_header(self) -> List[str]:
        return self.header

    def rewind(self) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> "Table":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def batches(self, fields: Sequence[Field], columns: Sequence[str], skip_bad_rows: bool,
                leave_out: Optional[Skipped] = None, part: Optional[Part] = None) -> Iterator[Batch]:
        for column in columns:
            if self.header.count(column) > 1:
                raise PrepareError("%s: %d columns are named %r" % (self.name, self.header.count(column), column))
        convert = Converter(self, fields, columns, skip_bad_rows)
        chosen = self.table.select(convert.names())
        yield from convert.records(self.table.schema, chosen.to_batches(max_chunksize=PARQUET_BATCH), 0, leave_out)


# What the runs read: a file, or data in memory.
Source = Union[Input, Table]


class Converter:
    """Turns pieces of CSV text (or Arrow batches) into batches of typed values."""

    def __init__(self, source: Source, fields: Sequence[Field], columns: Sequence[str], skip_bad_rows: bool):
        self.source = source
        self.header = source.header
        self.skip_bad_rows = skip_bad_rows
        self.types = {f.column: f.type for f in fields}
        self.reader = {f.column: f.name for f in reversed(list(fields))}
        self.columns = list(columns)
        self.places = [self.header.index(c) for c in self.columns]
        names = ["c%d" % i for i in range(len(self.header))]
        self.read_options = dict(column_names=names, use_threads=False)
        included = [names[i] for i in self.places]
        self.convert_options = pacsv.ConvertOptions(
            include_columns=included, column_types={n: pa.string() for n in included}, null_values=[""],
            strings_can_be_null=True, quoted_strings_can_be_null=True, check_utf8=False)

    def piece(self, data: memoryview, first_row: int, first_line: int, rows: int,
              leave_out: Optional[Skipped]) -> Batch:
        invalid: List[Tuple[int, int]] = []

        def wrong_width(row: Any) -> str:
            invalid.append((row.number - 1, row.actual_columns))
            return "skip"

        try:
            table = pacsv.read_csv(
                pa.BufferReader(pa.py_buffer(data)),
                read_options=pacsv.ReadOptions(block_size=len(data) + 1, **self.read_options),
                parse_options=pacsv.ParseOptions(newlines_in_values=True, invalid_row_handler=wrong_width),
                convert_options=self.convert_options)
        except pa.ArrowInvalid as e:
            if rows:
                raise PrepareError("%s, line %d: %s" % (self.source.name, first_line, e)) from None
            table = None
        lines = _Lines(self.source.name, data, first_line, rows)
        errors: List[Tuple[int, str, str]] = [
            (at, "", "%d cells where the header has %d" % (width, len(self.header))) for at, width in invalid]
        # Each parsed row's place among the piece's rows.
        places = np.delete(np.arange(rows, dtype=np.int64), [at for at, _ in invalid])
        assert table is None or table.num_rows == len(places), "the row scanner and the CSV parser disagree"
        keep = np.ones(len(places), np.bool_)
        if not _utf8(data):
            for bad, cell in self._not_utf8(data, lines):
                errors.append((bad, self._named(cell), "not UTF-8 text"))
                keep[places == bad] = False
        if leave_out is not None:
            gone = leave_out.below(first_row + rows) - first_row
            keep[np.isin(places, gone)] = False
            left_out = set(gone.tolist())
            errors = [e for e in errors if e[0] not in left_out]
        if table is not None and not keep.all():
            table = table.filter(pa.array(keep))
            places = places[keep]
        values: Dict[str, pa.Array] = {}
        for column, place in zip(self.columns, self.places):
            texts = table.column("c%d" % place) if table is not None else pa.chunked_array([], pa.string())
            texts = texts.chunk(0) if texts.num_chunks == 1 else texts.combine_chunks()
            values[column], bad_cells = convert(texts, self.types[column])
            errors.extend((int(places[i]), self._named(column), reason) for i, reason in bad_cells)
        batch = Batch(values, len(places), first_row + places, self.source.name,
                      lambda row: lines.line(int(places[row])), size=len(data))
        return self._settled(batch, errors, places, lines, first_row)

    def _named(self, column: Any) -> str:
        """", field 'NAME'" of the first field that reads ``column`` (a name
        or a place in the header), else ", column 'COLUMN'"."""
        if column is None:
            return ""
        title = self.header[column] if isinstance(column, int) else column
        name = self.reader.get(title)
        return ", field %r" % name if name is not None else ", column %r" % title

    def _settled(self, batch: Batch, errors: List[Tuple[int, str, str]], position: Any, lines: "_Lines",
                 first_row: int) -> Batch:
        if not errors:
            return batch
        if not self.skip_bad_rows:
            first = min(errors)
            batch = batch.take(position < first[0])
            batch.error = PrepareError("%s%s: %s" % (lines.where(first[0]), first[1], first[2]))
            return batch
        bad = sorted({e[0] for e in errors})
        batch = batch.take(~np.isin(position, bad))
        batch.skipped = [first_row + p for p in bad]
        first_errors: Dict[int, Tuple[str, str]] = {}
        # Each row's first error, as a failing run would name it.
        for at, named, reason in sorted(errors):
            first_errors.setdefault(at, (named[2:], reason))
        batch.left = [Left(first_row + at, lines.line(at), *first_errors[at]) for at in bad[:LEFT_KEPT]]
        return batch

    def _not_utf8(self, data: memoryview, lines: "_Lines") -> List[Tuple[int, Optional[int]]]:
        """Rows that are not UTF-8 text, with the column of the first bad cell."""
        bad: List[Tuple[int, Optional[int]]] = []
        for position, (start, end) in enumerate(lines.spans()):
            raw = bytes(data[start:end])
            try:
                raw.decode("utf-8")
            except UnicodeDecodeError:
                cells = next(csv.reader([raw.decode("utf-8", "surrogateescape").rstrip("\r\n")]), [])
                column = next((i for i, c in enumerate(cells)
                               if any("\udc80" <= ch <= "\udcff" for ch in c)), None)
                bad.append((position, column if column is not None and column < len(self.header) else None))
        return bad

    def parquet(self, opened: Any, leave_out: Optional[Skipped], part: Optional[Part]) -> Iterator[Batch]:
        first = part.first_row if part is not None else 0
        groups = part.groups if part is not None else None
        try:
            yield from self.records(opened.schema_arrow, opened.iter_batches(
                batch_size=PARQUET_BATCH, columns=self.names(), row_groups=groups, use_threads=False),
                first, leave_out)
        except (pa.ArrowException, OSError) as e:
            raise PrepareError("%s: cannot read: %s" % (self.source.name, e)) from None

    def names(self) -> List[str]:
        """The header's names of the columns read, in its order."""
        return [self.header[p] for p in sorted(set(self.places))]

    def records(self, schema: Any, records: Iterable[Any], first: int, leave_out: Optional[Skipped]
                ) -> Iterator[Batch]:
        """Batches of Arrow record batches (whose columns are named as in
        ``schema``), the first one at input row ``first``."""
        casts = self.casts(schema)
        for record in records:
            yield self._record_batch(record, casts, first, leave_out)
            first += record.num_rows

    def casts(self, schema: Any) -> Dict[str, Any]:
        """The Arrow type each column read is cast to; PrepareError for a
        column whose type in ``schema`` cannot serve its field's."""
        casts = {}
        for column in self.columns:
            have = schema.field(self.header.index(column)).type
            if not _arrow_works(have, self.types[column]):
                raise PrepareError("%s: column %r holds %s, which a %s field cannot read"
                                   % (self.source.name, column, have, self.types[column]))
            casts[column] = ARROW_TYPES[self.types[column]]
        return casts

    def _record_batch(self, record: Any, casts: Dict[str, Any], first: int, leave_out: Optional[Skipped]) -> Batch:
        rows = record.num_rows
        name = self.source.name
        values = {}
        for column in self.columns:
            have = record.column(record.schema.get_field_index(column))
            try:
                values[column] = pc.cast(have, casts[column])
            except pa.ArrowInvalid:
                # An unsigned 64-bit value beyond the signed ones.
                row = int(pc.index(pc.greater(have, _INT64[1]), True).as_py())
                raise PrepareError("%s, row %d, field %r: %s is beyond the 64-bit ints"
                                   % (name, first + row + 1, self.reader[column], have[row].as_py())) from None
        batch = Batch(values, rows, first + np.arange(rows, dtype=np.int64), name,
                      lambda row: "row %d" % (first + row + 1))
        if leave_out is not None:
            gone = leave_out.below(first + rows)
            if len(gone):
                batch = batch.take(~np.isin(batch.raw, gone))
        return batch


def _arrow_works(have: Any, type_name: str) -> bool:
    if pa.types.is_dictionary(have):
        have = have.value_type
    if type_name == "float":
        return bool(pa.types.is_floating(have) or pa.types.is_integer(have))
    if type_name == "int":
        return bool(pa.types.is_integer(have))
    if type_name == "bool":
        return bool(pa.types.is_boolean(have))
    return bool(pa.types.is_string(have) or pa.types.is_large_string(have))


class _Lines:
    """Where the rows of a piece start, found (on errors only) by the same
    rules as the scanner's."""

    def __init__(self, name: str, data: memoryview, first_line: int, rows: int):
        self.name = name
        self.data = data
        self.first_line = first_line
        self.rows = rows
        self._spans: Optional[List[Tuple[int, int]]] = None

    def spans(self) -> List[Tuple[int, int]]:
        if self._spans is None:
            data = bytes(self.data)
            spans = []
            at = 0
            while at < len(data):
                match = _ROW.match(data, at)
                end = match.end() if match is not None else len(data)
                if data[at:end].strip(b"\r\n"):
                    spans.append((at, end))
                at = end
            assert len(spans) == self.rows, "the row scanner and the row pattern disagree"
            self._spans = spans
        return self._spans

    def line(self, position: int) -> str:
        start = self.spans()[position][0]
        return "line %d" % (self.first_line + line_ends(self.data[:start]))

    def where(self, position: int) -> str:
        return "%s, %s" % (self.name, self.line(position))


def convert(texts: pa.Array, type_name: str) -> Tuple[pa.Array, List[Tuple[int, str]]]:
    """A column's values from its text (an empty cell is None already) and the
    cells that do not convert, as (index, reason). A float is the value
    Python's float() gives, an int is exact within 64 bits, a bool is
    true/false/1/0 in any case."""
    if type_name == "str":
        return texts, []
    if type_name == "bool":
        lower = pc.ascii_lower(texts)
        true = pc.is_in(lower, value_set=pa.array(["true", "1"]))
        false = pc.is_in(lower, value_set=pa.array(["false", "0"]))
        wrong = pc.and_(pc.is_valid(texts), pc.invert(pc.or_(true, false)))
        values = pc.if_else(pc.is_valid(texts), true, pa.scalar(None, pa.bool_()))
        return values, [(int(i), "%s is not %s" % (_cell(texts[int(i)].as_py()), _ARTICLE["bool"]))
                        for i in pc.indices_nonzero(wrong).to_numpy()]
    target = ARROW_TYPES[type_name]
    try:
        values = pc.cast(texts, target)
    except pa.ArrowInvalid:
        return _one_by_one(texts, type_name)
    if type_name == "float":
        # Arrow also reads nan(...), which float() refuses.
        nans = pc.is_nan(values)
        if pc.any(nans).as_py() and pc.any(pc.match_substring(pc.filter(texts, nans), "(")).as_py():
            return _one_by_one(texts, type_name)
    elif pc.any(pc.match_substring(texts, "x", ignore_case=True)).as_py():
        # Arrow also reads 0x hexadecimal ints, which int() refuses.
        return _one_by_one(texts, type_name)
    return values, []


def _one_by_one(texts: pa.Array, type_name: str) -> Tuple[pa.Array, List[Tuple[int, str]]]:
    """The column converted cell by cell with Python's own float() or int():
    padded cells, underscores, non-ASCII digits, nan and inf texts."""
    to_value = float if type_name == "float" else int
    values: List[Any] = []
    bad = []
    for i, text in enumerate(texts.to_pylist()):
        if text is None:
            values.append(None)
            continue
        try:
            value = to_value(text)
        except ValueError:
            values.append(None)
            bad.append((i, "%s is not %s" % (_cell(text), _ARTICLE[type_name])))
            continue
        if type_name == "int" and not _INT64[0] <= value <= _INT64[1]:
            values.append(None)
            bad.append((i, "%s is beyond the 64-bit ints" % _cell(text)))
            continue
        values.append(value)
    return pa.array(values, ARROW_TYPES[type_name]), bad
