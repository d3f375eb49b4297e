"""The field configuration: which bucket each input column becomes. It is
checked whole, and against the input's header, before any row is read: for
what the buckets, their messages and the output can hold."""
from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ..custom.model_data import bucket
from ..custom.model_data.extractor import FieldExtractor


class PrepareError(ValueError):
    """A mistake in the user's input: reported as one line, exit code 2 (from
    Python, a ValueError)."""


# The configuration's value types and the extractor's data types.
TYPES = {"float": "FLOAT", "int": "INT", "bool": "BOOL", "str": "STRING"}

# A range or string list bucket keeps one prepared row of n floats per slot,
# n by n: the slots of one field, and of all fields, are capped.
MAX_SLOTS = 1024
MAX_WIDTH = 8192
MAX_FIELDS = 1024
# The document itself: its size and nesting.
MAX_BYTES = 1 << 20
MAX_DEPTH = 16

INT64 = (-(1 << 63), (1 << 63) - 1)
# A category index travels as a double in the messages.
EXACT_INDEX = 1 << 53

_REQUIRED = object()


def _flag(value: Any, type_name: str) -> bool:
    if not isinstance(value, bool):
        raise ValueError("must be true or false")
    return value


def _finite(value: Any) -> float:
    """``value`` as a finite float; ValueError if it is not a number or not finite."""
    if not _is_number(value):
        raise ValueError("must be a number")
    try:
        converted = float(value)
    except OverflowError:
        converted = math.inf
    if not math.isfinite(converted):
        raise ValueError("must be finite, not %s" % _shown(value))
    return converted


def _boundaries(value: Any, type_name: str) -> List[float]:
    if not isinstance(value, list) or not value or not all(_is_number(v) for v in value):
        raise ValueError("must be a non-empty list of numbers")
    # Floats, as a rebuilt bucket has them, so that both render alike.
    converted = [_finite(v) for v in value]
    if any(a >= b for a, b in zip(converted, converted[1:])):
        raise ValueError("must be in increasing order")
    return converted


def _values(value: Any, type_name: str) -> List[Any]:
    if not isinstance(value, list) or not value:
        raise ValueError("must be a non-empty list")
    converted = []
    for v in value:
        if not _of_type(v, type_name):
            raise ValueError("holds %s, which is not a %s" % (_shown(v), type_name))
        if type_name == "float":
            v = _finite(v)
        elif type_name == "int" and not INT64[0] <= v <= INT64[1]:
            raise ValueError("holds %s, beyond the 64-bit ints" % _shown(v))
        elif type_name == "str":
            text(v, "a value", empty=True)
        converted.append(v)
    if len(set(converted)) != len(converted):
        raise ValueError("holds a value twice")
    return converted


def _fraction(value: Any, type_name: str) -> float:
    if not _is_number(value) or not 0 <= value < 1:
        raise ValueError("must be a number from 0 up to 1")
    return float(value)


def _optional_number(value: Any, type_name: str) -> Optional[float]:
    return None if value is None else _finite(value)


def _optional_index(value: Any, type_name: str) -> Optional[int]:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise ValueError("must be an integer or null")
    if value is not None and not -EXACT_INDEX < value < EXACT_INDEX:
        raise ValueError("must lie within +-2**53, which the saved message holds exactly")
    return value


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


def _shown(value: Any) -> str:
    shown = json.dumps(value)
    return shown if len(shown) <= 40 else shown[:37] + "..."


def text(value: Any, what: str, empty: bool = False) -> str:
    """``value`` if it is a str (non-empty unless ``empty``) that the messages
    and the output can hold: valid Unicode (no lone surrogate), without NUL."""
    if not isinstance(value, str) or not (value or empty):
        raise ValueError("%s must be a non-empty string" % what)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("%s holds a lone surrogate (%s)" % (what, ascii(value)[:40])) from None
    if "\0" in value:
        raise ValueError("%s holds a NUL character (%s)" % (what, ascii(value)[:40]))
    return value


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

# The value types each kind can work with, and why not the others: a range
# or a direct value needs numbers; the boolean kind refuses all but bools;
# the string list and the learned categories save their values in message
# fields that hold text (the list) or no bools (the categories).
WORKS_WITH = {
    "Bucket": ("float", "int", "bool"),
    "ValueBucket": ("float", "int", "bool"),
    "BooleanBucket": ("bool",),
    "StringBucket": ("str",),
    "CategoricalBucket": ("float", "int", "str"),
    "SimpleCategoricalBucket": ("float", "int", "bool", "str"),
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
    if len(document["fields"]) > MAX_FIELDS:
        raise PrepareError("%s: %d fields, more than the %d a configuration may have"
                           % (where, len(document["fields"]), MAX_FIELDS))
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
    width = sum(len(f.slots() or ()) for f in fields)
    if width > MAX_WIDTH:
        raise PrepareError("%s: %d matrix columns in all, more than the %d the output may have"
                           % (where, width, MAX_WIDTH))
    return fields


def _parse_field(entry: Any, path: str, number: int) -> Field:
    where = "%s: field %d" % (path, number)
    if not isinstance(entry, dict):
        raise PrepareError("%s: must be an object" % where)
    try:
        name = text(entry.get("name"), '"name"')
    except ValueError as e:
        raise PrepareError("%s: %s" % (where, e)) from None
    where = "%s: field %r" % (path, name)
    for key in _COMMON[1:]:
        if key not in entry:
            raise PrepareError('%s: "%s" is missing' % (where, key))
    column, type_name, kind = entry["column"], entry["type"], entry["kind"]
    try:
        text(column, '"column"')
    except ValueError as e:
        raise PrepareError("%s: %s" % (where, e)) from None
    if not isinstance(type_name, str) or type_name not in TYPES:
        raise PrepareError('%s: unknown type %s (one of %s)' % (where, _shown(type_name), ", ".join(TYPES)))
    if not isinstance(kind, str) or kind not in KINDS:
        raise PrepareError("%s: unknown kind %s (one of %s)" % (where, _shown(kind), ", ".join(KINDS)))
    if type_name not in WORKS_WITH[kind]:
        raise PrepareError("%s: %s cannot work with %s values (it takes %s)"
                           % (where, kind, type_name, ", ".join(WORKS_WITH[kind])))
    params = KINDS[kind]
    for key in entry:
        if key not in _COMMON and key not in params:
            raise PrepareError('%s: unknown key %s for %s (it takes %s)'
                               % (where, _shown(key), kind, ", ".join(params)))
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
    slots = len(field.slots() or ())
    if slots > MAX_SLOTS:
        raise PrepareError("%s: %d slots, more than the %d a field may have" % (where, slots, MAX_SLOTS))
    try:
        field.make_bucket()
    except Exception as e:
        raise PrepareError("%s: %s refuses these arguments: %s" % (where, kind, e)) from None
    return field


# Brackets outside strings: their depth is checked before the parser
# recurses into them.
_TOKENS = re.compile(r'"(?:[^"\\]|\\.)*"|[\[\]{}]')


def _depth(document: str) -> int:
    depth = deepest = 0
    for token in _TOKENS.finditer(document):
        mark = token.group()
        if mark in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif mark in "]}":
            depth -= 1
    return deepest


def _no_constant(name: str) -> Any:
    raise ValueError("%s is not a number that JSON allows" % name)


def load(path: str, shown: Optional[str] = None) -> List[Field]:
    """The fields of the configuration file ``path`` (named ``shown`` in errors)."""
    name = path if shown is None else shown
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (name, e.strerror or e)) from None
    if len(data) > MAX_BYTES:
        raise PrepareError("%s: larger than the %d bytes a configuration may have" % (name, MAX_BYTES))
    try:
        document_text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise PrepareError("%s: not UTF-8 text (byte %d)" % (name, e.start)) from None
    if _depth(document_text) > MAX_DEPTH:
        raise PrepareError("%s: nested deeper than %d levels" % (name, MAX_DEPTH))
    try:
        document = json.loads(document_text, parse_constant=_no_constant)
    except json.JSONDecodeError as e:
        raise PrepareError("%s, line %d: not JSON: %s" % (name, e.lineno, e.msg)) from None
    except ValueError as e:
        # An int of more digits than the interpreter converts, or NaN.
        raise PrepareError("%s: not JSON this tool reads: %s" % (name, e)) from None
    return parse(document, name)


def check_columns(fields: Sequence[Field], header: Sequence[str], input_path: str) -> None:
    for f in fields:
        if f.column not in header:
            raise PrepareError("%s: field %r: no column %r in the header" % (input_path, f.name, f.column))


def to_document(fields: Sequence[Field]) -> Dict[str, Any]:
    return {"fields": [f.to_json() for f in fields]}
