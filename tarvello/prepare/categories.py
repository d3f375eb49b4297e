"""Learning the categorical fields' categories: each column's values counted
batch by batch and the counts merged, ordered as ``SELECT column, count(*)
... GROUP BY column ORDER BY count(*) DESC, column`` orders them; or that
query on an existing SQLite or PostgreSQL database. ``--sqlite FILE`` keeps
the counted columns in a database of the tool's own."""
from __future__ import annotations

import contextlib
import math
import os
import sqlite3
import urllib.request
from typing import Any, Dict, List, Sequence, Tuple

import pyarrow as pa
import pyarrow.compute as pc

from . import output
from .config import INT64, Field, PrepareError

Categories = List[Tuple[Any, int]]

_SQL_TYPES = {"float": "REAL", "int": "INTEGER", "bool": "INTEGER", "str": "TEXT"}

_QUERY = ("SELECT {c}, count(*) FROM {t} WHERE {c} IS NOT NULL "
          "GROUP BY {c} ORDER BY count(*) DESC, {c}")

# The table that marks a database as this tool's: --sqlite replaces only those.
MARK = "tarvello_prepare"


def quote(name: str) -> str:
    return '"%s"' % name.replace('"', '""')


def ordered(counts: Dict[Any, int]) -> Categories:
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))


class Counter:
    """The learning fields' columns counted over batches."""

    def __init__(self, fields: Sequence[Field]):
        self.columns = sorted({f.column for f in fields if f.learns})
        self.counts: Dict[str, Dict[Any, int]] = {c: {} for c in self.columns}

    def add(self, values: Dict[str, pa.Array]) -> None:
        for column in self.columns:
            column_values = values[column]
            if pa.types.is_floating(column_values.type):
                # No NaN is ever found in a map, and SQLite stores it as NULL;
                # -0.0 and 0.0 are one value, stored as 0.
                column_values = pc.add(pc.filter(column_values, pc.invert(pc.is_nan(column_values))), 0.0)
            counted = pc.value_counts(column_values)
            totals = self.counts[column]
            for value, n in zip(counted.field(0).to_pylist(), counted.field(1).to_pylist()):
                if value is not None:
                    totals[value] = totals.get(value, 0) + n

    def merge(self, other: Dict[str, Dict[Any, int]]) -> None:
        for column, counts in other.items():
            totals = self.counts[column]
            for value, n in counts.items():
                totals[value] = totals.get(value, 0) + n

    def learned(self, fields: Sequence[Field]) -> Dict[str, Categories]:
        return {f.name: ordered(self.counts[f.column]) for f in fields if f.learns}


class Kept:
    """The learning fields' columns written into an SQLite file, as table
    ``table``: into a temporary file beside it, which replaces it at the end."""

    def __init__(self, path: str, table: str, fields: Sequence[Field], refused: Sequence[Tuple[str, str]]):
        self.path = path
        check_keep(path, refused)
        folder, name = os.path.split(os.path.abspath(path))
        output.remove_stale(folder, ".%s." % name)
        self.temporary = os.path.join(folder, ".%s.tmp-%d" % (name, os.getpid()))
        self.table = table
        self.types = {f.column: f.type for f in fields if f.learns}
        self.columns = sorted(self.types)
        try:
            self.connection = sqlite3.connect(self.temporary)
            self.connection.execute("CREATE TABLE %s (key TEXT PRIMARY KEY, value TEXT)" % MARK)
            self.connection.execute("INSERT INTO %s VALUES ('format', '1')" % MARK)
            self.connection.execute("CREATE TABLE %s (%s)" % (quote(table), ", ".join(
                "%s %s" % (quote(c), _SQL_TYPES[self.types[c]]) for c in self.columns)))
        except sqlite3.Error as e:
            self.discard()
            raise PrepareError("%s: %s" % (path, e)) from None
        self._insert = "INSERT INTO %s VALUES (%s)" % (quote(table), ", ".join("?" * len(self.columns)))

    def add(self, values: Dict[str, pa.Array]) -> None:
        try:
            self.connection.executemany(self._insert, zip(*(values[c].to_pylist() for c in self.columns)))
        except sqlite3.Error as e:
            raise PrepareError("%s: %s" % (self.path, e)) from None

    def finish(self) -> None:
        try:
            self.connection.commit()
            self.connection.close()
            os.replace(self.temporary, self.path)
        except (sqlite3.Error, OSError) as e:
            raise PrepareError("%s: cannot write: %s" % (self.path, e)) from None
        finally:
            self.discard()

    def discard(self) -> None:
        with contextlib.suppress(Exception):
            self.connection.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.temporary)


def check_keep(path: str, refused: Sequence[Tuple[str, str]]) -> None:
    """Refuses a --sqlite FILE that names one of ``refused`` (what, path: the
    input, the configuration, the output folder), or that exists and is not a
    database this tool wrote."""
    for what, other in refused:
        if _same(path, other):
            raise PrepareError("--sqlite %s: that is the %s" % (path, what))
        if os.path.abspath(path).startswith(os.path.abspath(other) + os.sep):
            raise PrepareError("--sqlite %s: that is inside the %s" % (path, what))
    if not os.path.lexists(path):
        return
    if not os.path.isfile(path):
        raise PrepareError("--sqlite %s: exists and is not a file" % path)
    try:
        with open(path, "rb") as f:
            magic = f.read(16)
        ours = False
        if magic == b"SQLite format 3\0":
            with contextlib.closing(sqlite3.connect("file:%s?mode=ro" % urllib.request.pathname2url(
                    os.path.abspath(path)), uri=True)) as connection:
                ours = connection.execute("SELECT value FROM %s WHERE key = 'format'" % MARK).fetchone() is not None
    except (OSError, sqlite3.Error):
        ours = False
    if not ours:
        raise PrepareError("--sqlite %s: exists and is not a database this tool wrote" % path)


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def _query(cursor: Any, table: str, column: str) -> List[Tuple[Any, int]]:
    cursor.execute(_QUERY.format(c=quote(column), t=quote(table)))
    return [(value, int(count)) for value, count in cursor.fetchall()]


def learn(cursor: Any, table: str, fields: Sequence[Field], where: str) -> Dict[str, Categories]:
    """Each learning field's (value, count) list, most common first."""
    try:
        cursor.execute("SELECT * FROM %s LIMIT 0" % quote(table))
        have = {d[0] for d in cursor.description}
    except Exception as e:
        raise PrepareError("%s: table %r: %s" % (where, table, str(e).strip().splitlines()[0])) from None
    learned = {}
    for f in fields:
        # A quoted name that is no column would be read as a string.
        if f.column not in have:
            raise PrepareError("%s: field %r: table %r has no column %r" % (where, f.name, table, f.column))
        try:
            rows = _query(cursor, table, f.column)
        except Exception as e:
            raise PrepareError("%s: field %r: the query failed: %s" % (where, f.name, str(e).strip())) from None
        learned[f.name] = _converted(rows, f, where)
    return learned


def _converted(rows: List[Tuple[Any, int]], f: Field, where: str) -> Categories:
    # A database may keep the column as text or as another type than the
    # field's: values are converted, equal ones merged, and the order fixed
    # here, so that every database gives the same categories.
    counts: Dict[Any, int] = {}
    for value, count in rows:
        try:
            converted = _from_database(value, f.type)
        except (TypeError, ValueError, OverflowError):
            raise PrepareError("%s: field %r: %s in the database is not a %s"
                               % (where, f.name, repr(value)[:40], f.type)) from None
        if converted is not None:
            counts[converted] = counts.get(converted, 0) + count
    return ordered(counts)


def _from_database(value: Any, type_name: str) -> Any:
    if isinstance(value, str):
        value = {"float": float, "int": int, "str": str}[type_name](value)
    elif type_name == "str":
        raise TypeError("not text")
    elif type_name == "int":
        if value != int(value):
            raise ValueError("not whole")
        value = int(value)
    else:
        value = float(value)
    if type_name == "int" and not INT64[0] <= value <= INT64[1]:
        raise ValueError("beyond the 64-bit ints")
    if type_name == "float":
        # As counted from the input: no NaN, one zero.
        return None if math.isnan(value) else value + 0.0
    return value


def learn_from_database(url: str, table: str, fields: Sequence[Field]) -> Dict[str, Categories]:
    """Learns from ``table`` of an existing database: ``sqlite:PATH`` or a
    PostgreSQL address (``postgresql://...``)."""
    if url.startswith(("postgresql://", "postgres://")):
        opened = _postgres(url)
    elif url.startswith("sqlite:"):
        opened = _sqlite_file(url)
    else:
        raise PrepareError("--db %s: not an sqlite: or postgresql:// address" % url)
    with opened as connection:
        return learn(connection.cursor(), table, fields, "--db %s" % url)


def _sqlite_file(url: str) -> Any:
    path = url[len("sqlite:"):]
    if path.startswith("//"):
        path = path[2:]
    if not os.path.isfile(path):
        raise PrepareError("--db %s: no such file" % url)
    # Read-only: a mistyped name must not make an empty database.
    return contextlib.closing(sqlite3.connect("file:%s?mode=ro" % urllib.request.pathname2url(os.path.abspath(path)),
                                    uri=True))


def _postgres(url: str) -> Any:
    try:
        import psycopg2
    except ImportError:
        raise PrepareError("--db %s: PostgreSQL needs psycopg2 (pip install 'tarvello-bucket[postgresql]')"
                           % url) from None
    try:
        return contextlib.closing(psycopg2.connect(url))
    except psycopg2.Error as e:
        raise PrepareError("--db %s: cannot connect: %s" % (url, str(e).strip())) from None


def as_set_categories(learned: Categories) -> List[Dict[str, Any]]:
    return [{"name": value, "count": count} for value, count in learned]
