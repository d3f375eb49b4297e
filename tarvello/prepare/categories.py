"""Learning the categorical fields' categories with a GROUP BY: in an SQLite
database of the tool's own (in memory, or kept in a file), or in an existing
SQLite or PostgreSQL database."""
from __future__ import annotations

import contextlib
import os
import sqlite3
import urllib.request
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from .config import Field, PrepareError
from .output import temporary_name
from .reading import CONVERTERS

Categories = List[Tuple[Any, int]]

_SQL_TYPES = {"float": "REAL", "int": "INTEGER", "bool": "INTEGER", "str": "TEXT"}

_QUERY = ("SELECT {c}, count(*) FROM {t} WHERE {c} IS NOT NULL "
          "GROUP BY {c} ORDER BY count(*) DESC, {c}")


def quote(name: str) -> str:
    return '"%s"' % name.replace('"', '""')


def load_sqlite(connection: sqlite3.Connection, table: str, columns: Dict[str, Tuple[str, Sequence[Any]]]) -> None:
    """Creates ``table`` with the given columns (name: (type, values)) and fills it."""
    names = list(columns)
    connection.execute("CREATE TABLE %s (%s)" % (
        quote(table), ", ".join("%s %s" % (quote(n), _SQL_TYPES[columns[n][0]]) for n in names)))
    with connection:
        connection.executemany("INSERT INTO %s VALUES (%s)" % (quote(table), ", ".join("?" * len(names))),
                               zip(*(columns[n][1] for n in names)))


def _query(cursor: Any, table: str, column: str) -> List[Tuple[Any, int]]:
    cursor.execute(_QUERY.format(c=quote(column), t=quote(table)))
    return [(value, int(count)) for value, count in cursor.fetchall()]


def learn(cursor: Any, table: str, fields: Sequence[Field], where: str) -> Dict[str, Categories]:
    """Each learning field's (value, count) list, most common first."""
    learned = {}
    for f in fields:
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
        except (TypeError, ValueError):
            raise PrepareError("%s: field %r: %r in the database is not a %s"
                               % (where, f.name, value, f.type)) from None
        counts[converted] = counts.get(converted, 0) + count
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))


def _from_database(value: Any, type_name: str) -> Any:
    if isinstance(value, str):
        return CONVERTERS[type_name](value)
    if type_name == "str":
        raise TypeError("not text")
    if type_name == "bool":
        if value not in (0, 1):
            raise ValueError("not 0 or 1")
        return bool(value)
    if type_name == "int":
        if value != int(value):
            raise ValueError("not whole")
        return int(value)
    return float(value)


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
        raise PrepareError("--db %s: PostgreSQL needs psycopg2 (Debian: python3-psycopg2)" % url) from None
    try:
        return contextlib.closing(psycopg2.connect(url))
    except psycopg2.Error as e:
        raise PrepareError("--db %s: cannot connect: %s" % (url, str(e).strip())) from None


def learn_from_columns(fields: Sequence[Field], values: Mapping[str, Sequence[Any]], table: str,
                       keep: Optional[str]) -> Dict[str, Categories]:
    """Loads the learning fields' columns (values by column name) into an SQLite
    database, in memory or in the file ``keep``, and learns from it."""
    columns: Dict[str, Tuple[str, Sequence[Any]]] = {}
    for f in fields:
        columns.setdefault(f.column, (f.type, values[f.column]))
    if keep is None:
        connection = sqlite3.connect(":memory:")
        try:
            load_sqlite(connection, table, columns)
            return learn(connection.cursor(), table, fields, "the SQLite database")
        finally:
            connection.close()
    temporary = temporary_name(keep)
    try:
        connection = sqlite3.connect(temporary)
        try:
            load_sqlite(connection, table, columns)
            learned = learn(connection.cursor(), table, fields, keep)
        finally:
            connection.close()
        os.replace(temporary, keep)
    except sqlite3.Error as e:
        raise PrepareError("%s: %s" % (keep, e)) from None
    except OSError as e:
        raise PrepareError("%s: cannot write: %s" % (keep, e.strerror or e)) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return learned


def as_set_categories(learned: Categories) -> List[Dict[str, Any]]:
    return [{"name": value, "count": count} for value, count in learned]

