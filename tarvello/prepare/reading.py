"""Reading the CSV file once into text rows, and turning a column's text into
the values of its field's type."""
from __future__ import annotations

import csv
import io
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .config import PrepareError

_BOOLS = {"true": True, "false": False, "1": True, "0": False}


def _to_bool(text: str) -> bool:
    try:
        return _BOOLS[text.lower()]
    except KeyError:
        raise ValueError("not true, false, 1 or 0") from None


CONVERTERS: Dict[str, Callable[[str], Any]] = {"float": float, "int": int, "bool": _to_bool, "str": str}


@dataclass
class Table:
    path: str
    header: List[str]
    rows: List[List[str]]
    # A part of the file: its text (without the header) and its first line's number.
    text: Optional[str] = None
    first_line: int = 1

    def line_of(self, index: int) -> int:
        """The file's line on which data row ``index`` (from 0) ends; a quoted
        cell may span lines, so the text is read again to find it. Rare: errors only."""
        if self.text is not None:
            return self.first_line - 1 + _line_of(csv.reader(io.StringIO(self.text, newline="")), index)
        with open(self.path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            next(reader)
            return _line_of(reader, index)

    def where(self, index: int, field: Optional[str] = None) -> str:
        text = "%s, line %d" % (self.path, self.line_of(index))
        return text if field is None else "%s, field %r" % (text, field)


def _line_of(reader: Any, index: int) -> int:
    seen = -1
    for row in reader:
        if row:
            seen += 1
            if seen == index:
                break
    return int(reader.line_num)


def read_part(path: str, header: List[str], data: bytes, first_line: int) -> Table:
    """The rows of a part of the file, ``data``: whole lines after the header,
    the first of them line ``first_line``."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise PrepareError("%s: not UTF-8 text (line %d)" % (path, first_line + data.count(b"\n", 0, e.start))) from None
    reader = csv.reader(io.StringIO(text, newline=""))
    try:
        rows = [row for row in reader if row]
    except csv.Error as e:
        raise PrepareError("%s, line %d: %s" % (path, first_line - 1 + reader.line_num, e)) from None
    return _checked(Table(path, header, rows, text, first_line))


def read_header(path: str) -> List[str]:
    return _open(path, header_only=True).header


def read(path: str) -> Table:
    return _open(path, header_only=False)


def _open(path: str, header_only: bool) -> Table:
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            try:
                header = next(reader, None)
                if not header:
                    raise PrepareError("%s: no header line" % path)
                if header_only:
                    return Table(path, header, [])
                # Blank lines are no rows, as for csv.DictReader.
                rows = [row for row in reader if row]
            except csv.Error as e:
                raise PrepareError("%s, line %d: %s" % (path, reader.line_num, e)) from None
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (path, e.strerror or e)) from None
    except UnicodeDecodeError as e:
        raise PrepareError("%s: not UTF-8 text (byte %d)" % (path, e.start)) from None
    return _checked(Table(path, header, rows))


def _checked(table: Table) -> Table:
    rows, width = table.rows, len(table.header)
    if set(map(len, rows)) - {width}:
        index = next(i for i, row in enumerate(rows) if len(row) != width)
        raise PrepareError("%s: %d cells where the header has %d"
                           % (table.where(index), len(rows[index]), width))
    return table


def convert(cells: Sequence[str], type_name: str) -> Tuple[List[Any], List[Tuple[int, str]]]:
    """The values of a column (an empty cell is None) and the cells that do not
    convert, as (row index, reason); a bad cell's value is None."""
    if type_name == "str":
        return [c or None for c in cells], []
    to_value = CONVERTERS[type_name]
    try:
        return [to_value(c) if c else None for c in cells], []
    except ValueError:
        pass
    values: List[Any] = []
    bad = []
    for i, c in enumerate(cells):
        try:
            values.append(to_value(c) if c else None)
        except ValueError:
            values.append(None)
            bad.append((i, "%r is not %s" % (c, _ARTICLE[type_name])))
    return values, bad


_ARTICLE = {"float": "a float", "int": "an int", "bool": "a bool (true, false, 1 or 0)", "str": "a str"}


def columns(table: Table, names: Sequence[str]) -> Dict[str, Sequence[str]]:
    """The text of each named column, transposed in one step."""
    if not table.rows:
        return {n: () for n in names}
    transposed = list(zip(*table.rows))
    return {n: transposed[table.header.index(n)] for n in names}
