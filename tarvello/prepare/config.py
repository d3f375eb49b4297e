"""The field configuration: which bucket each CSV column becomes. It is
checked whole, and against the CSV's header, before any row is read."""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ..custom.model_data import bucket
from ..custom.model_data.extractor import FieldExtractor


class PrepareError(Exception):
    """A mistake in the user's input: reported as one line, exit code 2."""


# The configuration's value types and the extractor's data types.
TYPES = {"float": "FLOAT", "int": "INT", "bool": "BOOL", "str": "STRING"}

_REQUIRED = object()


def _flag(value: Any, type_name: str) -> bool:
    if not isinstance(value, bool):
        raise ValueError("must be true or false")
    return value


def _boundaries(value: Any, type_name: str) -> List[float]:
    if not isinstance(value, list) or not value or not all(_is_number(v) for v in value):
        raise ValueError("must be a non-empty list of numbers")
    if any(a >= b for a, b in zip(value, value[1:])):
        raise ValueError("must be in increasing order")
    # Floats, as a rebuilt bucket has them, so that both render alike.
    return [float(v) for v in value]


def _values(value: Any, type_name: str) -> List[Any]:
    if not isinstance(value, list) or not value:
        raise ValueError("must be a non-empty list")
    for v in value:
        if not _of_type(v, type_name):
            raise ValueError("holds %s, which is not a %s" % (json.dumps(v), type_name))
    converted = [float(v) for v in value] if type_name == "float" else list(value)
    if len(set(converted)) != len(converted):
        raise ValueError("holds a value twice")
    return converted


def _fraction(value: Any, type_name: str) -> float:
    if not _is_number(value) or not 0 <= value < 1:
        raise ValueError("must be a number from 0 up to 1")
    return float(value)


def _optional_number(value: Any, type_name: str) -> Optional[float]:
    if value is not None and not _is_number(value):
        raise ValueError("must be a number or null")
    return None if value is None else float(value)


def _optional_index(value: Any, type_name: str) -> Optional[int]:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise ValueError("must be an integer or null")
    return None if value is None else int(value)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _of_type(value: Any, type_name: str) -> bool:
    if type_name == "float":
        return _is_number(value)
    if type_name == "int":
        return isinstance(value, int) and not isinstance(value, bool)
    if type_name == "bool":
        return isinstance(value, bool)
    return isinstance(value, str)


Check = Callable[[Any, str], Any]

# Each kind's constructor arguments after the name and the extractor, with
# their defaults. CategoricalBucket's category_dict is learned, not given.
KINDS: Dict[str, Dict[str, Tuple[Any, Check]]] = {
    "Bucket": {"buckets": (_REQUIRED, _boundaries), "has_none": (True, _flag)},
    "StringBucket": {"buckets": (_REQUIRED, _values), "has_none": (True, _flag)},
    "BooleanBucket": {"has_null": (True, _flag)},
    "ValueBucket": {"has_null": (True, _flag), "default_value": (None, _optional_number)},
    "CategoricalBucket": {"min_fraction": (_REQUIRED, _fraction), "none_value": (None, _optional_index)},
    "SimpleCategoricalBucket": {"categories": (_REQUIRED, _values)},
}

_COMMON = ("name", "column", "type", "kind")


@dataclass(frozen=True)
class Field:
    name: str
    column: str
    type: str
    kind: str
    args: Dict[str, Any]

    def make_bucket(self, position: Optional[int] = None) -> bucket.BaseBucket:
        """The field's bucket, with zero counts; a categorical one still has to
        learn. ``position``: the column's place in the rows, which are then sequences."""
        extractor = FieldExtractor(self.column, TYPES[self.type], position)
        made: bucket.BaseBucket = getattr(bucket, self.kind)(self.name, extractor, **self.args)
        return made

    @property
    def learns(self) -> bool:
        return self.kind == "CategoricalBucket"

    def slots(self) -> Optional[List[str]]:
        """The names of the field's matrix columns; None for a field whose
        rows differ in length (the simple categorical ids)."""
        n, a = self.name, self.args
        if self.kind == "Bucket":
            bounds = ["-inf"] + [repr(b) for b in a["buckets"]] + ["inf"]
            names = ["%s[%s-%s)" % (n, lo, hi) for lo, hi in zip(bounds, bounds[1:])]
            return names + ["%s:null" % n] * a["has_none"]
        if self.kind == "StringBucket":
            names = ["%s=%s" % (n, v) for v in a["buckets"]] + ["%s:other" % n]
            return names + ["%s:null" % n] * a["has_none"]
        if self.kind == "BooleanBucket":
            return ["%s=false" % n, "%s=true" % n] + ["%s:null" % n] * a["has_null"]
        if self.kind == "ValueBucket":
            # A default turns the null slot off.
            return [n] + ["%s:null" % n] * (a["has_null"] and a["default_value"] is None)
        if self.kind == "CategoricalBucket":
            return [n]
        return None

    def to_json(self) -> Dict[str, Any]:
        return dict(name=self.name, column=self.column, type=self.type, kind=self.kind, **self.args)


def parse(document: Any, where: str) -> List[Field]:
    """The fields of a configuration document; ``where`` names it in errors."""
    if not isinstance(document, dict) or set(document) != {"fields"} or not isinstance(document["fields"], list):
        raise PrepareError('%s: must be an object with one key, "fields", a list' % where)
    fields: List[Field] = []
    for number, entry in enumerate(document["fields"], 1):
        fields.append(_parse_field(entry, where, number))
    if not fields:
        raise PrepareError("%s: has no fields" % where)
    names = set()
    types: Dict[str, Field] = {}
    for f in fields:
        if f.name in names:
            raise PrepareError("%s: field %r: the name is used twice" % (where, f.name))
        names.add(f.name)
        # A row holds one value per column.
        other = types.setdefault(f.column, f)
        if other.type != f.type:
            raise PrepareError("%s: field %r: column %r is read as %s by field %r"
                               % (where, f.name, f.column, other.type, other.name))
    return fields


def _parse_field(entry: Any, path: str, number: int) -> Field:
    where = "%s: field %d" % (path, number)
    if not isinstance(entry, dict):
        raise PrepareError("%s: must be an object" % where)
    name = entry.get("name")
    if not isinstance(name, str) or not name:
        raise PrepareError('%s: "name" must be a non-empty string' % where)
    where = "%s: field %r" % (path, name)
    for key in _COMMON[1:]:
        if key not in entry:
            raise PrepareError('%s: "%s" is missing' % (where, key))
    column, type_name, kind = entry["column"], entry["type"], entry["kind"]
    if not isinstance(column, str) or not column:
        raise PrepareError('%s: "column" must be a non-empty string' % where)
    if type_name not in TYPES:
        raise PrepareError('%s: unknown type %s (one of %s)' % (where, json.dumps(type_name), ", ".join(TYPES)))
    if kind not in KINDS:
        raise PrepareError("%s: unknown kind %s (one of %s)" % (where, json.dumps(kind), ", ".join(KINDS)))
    params = KINDS[kind]
    for key in entry:
        if key not in _COMMON and key not in params:
            raise PrepareError('%s: unknown key "%s" for %s (it takes %s)'
                               % (where, key, kind, ", ".join(params)))
    args = {}
    for key, (default, check) in params.items():
        if key not in entry:
            if default is _REQUIRED:
                raise PrepareError('%s: %s needs "%s"' % (where, kind, key))
            args[key] = default
            continue
        try:
            args[key] = check(entry[key], type_name)
        except ValueError as e:
            raise PrepareError('%s: "%s" %s' % (where, key, e)) from None
    field = Field(name, column, type_name, kind, args)
    try:
        field.make_bucket()
    except Exception as e:
        raise PrepareError("%s: %s refuses these arguments: %s" % (where, kind, e)) from None
    return field


def load(path: str) -> List[Field]:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise PrepareError("%s: cannot read: %s" % (path, e)) from None
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        raise PrepareError("%s, line %d: not JSON: %s" % (path, e.lineno, e.msg)) from None
    return parse(document, path)


def check_columns(fields: Sequence[Field], header: Sequence[str], csv_path: str) -> None:
    for f in fields:
        if f.column not in header:
            raise PrepareError("%s: field %r: no column %r in the header" % (csv_path, f.name, f.column))


def to_document(fields: Sequence[Field]) -> Dict[str, Any]:
    return {"fields": [f.to_json() for f in fields]}
