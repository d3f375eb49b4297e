"""The compiled module against its plain-Python model: the same construction
and the same random calls must give the same results, errors, printed lines,
counts, texts and messages."""

import contextlib
import copy
import bisect
import io
import numbers
import re
import sys
import types
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import bucket_model as model
from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import DATA_TYPES, FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

Message = row_handler_pb2.Bucket
FIELD = "f"
WORDS = ["red", "green", "blue", "a", ""]

keys = st.sampled_from(WORDS + [None, 1, 2, 1.0, True, 2.5, -1])
small = st.one_of(st.integers(-2, 6), st.sampled_from([0.5, 2.5, -1.5]))
unusual = st.sampled_from([Decimal("2.5"), Fraction(1, 3), 1j, 2 ** 70, -2 ** 64])
scalars = st.one_of(st.none(), st.booleans(), small, small, st.floats(),
                    st.sampled_from(WORDS), st.integers(), unusual, unusual)
values = st.one_of(scalars, scalars, st.lists(keys, max_size=4),
                   st.lists(keys, max_size=3).map(tuple), st.sampled_from([{}, {"red": 1}]))
names = st.sampled_from(["age", "temperature_celsius", "x"])
extractors = st.builds(FieldExtractor, st.just(FIELD), st.sampled_from(DATA_TYPES))
boundary_values = st.one_of(small, small, st.floats(-10, 100), st.sampled_from(
    [float("nan"), float("inf"), 2 ** 64, True]))
flags = st.sampled_from([True, False, 0, 1])
indexes = st.one_of(st.integers(-4, 6), st.just(1.0))
fractions = st.one_of(st.sampled_from([0.0, 0.019, 0.02, 0.5]), st.floats(0, 0.05))
unhashable = st.just(["x"])
counts = st.lists(st.one_of(st.fixed_dictionaries(
    {"name": keys, "count": st.one_of(st.sampled_from([0, 1, 10, 2.5]), st.integers(0, 20))}),
    st.fixed_dictionaries({"name": unhashable, "count": st.just(5)}),
    st.just({"name": "red"})), max_size=7)


def boundaries():
    lists = st.lists(boundary_values, max_size=5)
    return st.one_of(lists.map(sorted), lists, lists.map(sorted).map(tuple))


KINDS = {
    "Bucket": st.tuples(names, extractors, boundaries(), flags),
    "StringBucket": st.tuples(names, extractors, st.lists(
        st.one_of(st.sampled_from(WORDS), st.sampled_from(WORDS), keys, unhashable), max_size=5),
        flags),
    "BooleanBucket": st.tuples(names, extractors, flags),
    "ValueBucket": st.tuples(names, extractors, flags,
                             st.one_of(st.none(), boundary_values, st.sampled_from(["n/a", False, (1, 2)]))),
    "CategoricalBucket": st.tuples(
        names, extractors, st.sampled_from([0, 0.1, 0.25]),
        st.one_of(st.none(), st.lists(keys, max_size=4).map(model.create_category_dict)),
        st.one_of(st.none(), st.integers(-1, 5), st.just(2.5))),
    "SimpleCategoricalBucket": st.tuples(names, extractors,
                                         st.lists(st.one_of(keys, keys, unhashable), max_size=5)),
}

# Module globals the methods read at each call, and what a caller may put there.
GLOBALS = {
    "Number": numbers.Real,
    "bisect": types.SimpleNamespace(bisect=bisect.bisect_left),
    "ANSI_ESCAPE": "<",
    "NORMAL_COLOR": ">",
}
ORIGINALS = {lib: {name: getattr(lib, name) for name in GLOBALS} for lib in (bucket, model)}
ABC_INSTANCECHECK = type(numbers.Number).__instancecheck__


def no_ints_are_numbers(cls, instance):
    """A replaced __instancecheck__ of Number's metaclass: Number refuses
    exact ints, every other class answers as before."""
    if cls is numbers.Number and type(instance) is int:
        return False
    return ABC_INSTANCECHECK(cls, instance)


def rotating_distro(cls):
    """A subclass whose _distro hands out a new copy of the stored list on
    each read and keeps every copy, so that where each store went shows."""
    def read(self):
        copies = vars(self).setdefault("_copies", [])
        copies.append(list(vars(self)["_stored"]))
        return copies[-1]

    def write(self, value):
        vars(self)["_stored"] = value
    return type(cls.__name__, (cls,), {"_distro": property(read, write)})


# The calls on the per-row path, whose reads must come in the model's order.
PER_ROW = {"bucketize", "_bucketize_value", "_increment", "_create_entry", "missing"}


def logged_reads(cls):
    """A subclass whose __getattribute__ logs every read of a name with an
    underscore, so that the order of the reads on the per-row path shows."""
    def getattribute(self, name):
        if name.startswith("_") and not name.startswith("__") and name != "_log":
            object.__getattribute__(self, "__dict__").setdefault("_log", []).append(name)
        return object.__getattribute__(self, name)
    return type(cls.__name__, (cls,), {"__getattribute__": getattribute})


def with_getattr(cls):
    """A subclass with __getattr__, which only a missing attribute reaches."""
    return type(cls.__name__, (cls,), {"__getattr__": lambda self, name: "<%s>" % name})


def total_as_property(b):
    """Puts a property for _total on the instance's class after it was made."""
    def write(self, value):
        vars(self)["_total_v"] = value
    type(b)._total = property(lambda self: vars(self)["_total_v"], write)
    vars(b)["_total_v"] = vars(b).pop("_total")
    return b


class NotedDict(dict):
    """An instance dict of a dict subclass."""


def dict_subclass(b):
    b.__dict__ = NotedDict(vars(b))
    return b


def subclassed(cls):
    return type(cls.__name__, (cls,), {})


# How a bucket is made: its class as it is, or a subclass or an instance that
# the module's fast lookups must not see through.
VARIANTS = {
    "plain": (lambda cls: cls, lambda b: b),
    "rotating _distro": (rotating_distro, lambda b: b),
    "logged reads": (logged_reads, lambda b: b),
    "__getattr__": (with_getattr, lambda b: b),
    "property added later": (subclassed, total_as_property),
    "dict subclass": (lambda cls: cls, dict_subclass),
}
if hasattr(sys, "gettotalrefcount"):
    # A debug 3.11 asserts, in its specialised attribute reads, that an
    # instance dict is an exact dict, though Python lets one be replaced by
    # a dict subclass; a release interpreter reads it as any dict.
    del VARIANTS["dict subclass"]


common = [st.tuples(st.sampled_from(["bucketize", "bucketize", "_bucketize_value"]), values)] * 4 + [
    st.tuples(st.sampled_from(["_increment", "_create_entry"]), indexes),
    st.tuples(st.just("fast_mode"), st.sampled_from([True, False, 1, 0, "", "on"])),
    st.tuples(st.just("assign"), st.sampled_from(["_distro", "_total", "_total_buckets"]),
              st.one_of(st.lists(st.sampled_from([0, 1, 2, 0.5]), max_size=6),
                        st.integers(-1, 6))),
    st.tuples(st.just("assign"), st.sampled_from(["_has_null", "_has_none", "_len"]), flags),
    st.tuples(st.just("shadow"), st.sampled_from(
        ["_increment", "_create_entry", "_remove_bucket", "_bucketize_value", "get_bucket_label"])),
    st.tuples(st.sampled_from(["missing", "_remove_bucket", "write", "rebuild", "str",
                               "get_distro", "get_short_label", "instancecheck"])),
]
labels = st.tuples(st.just("get_bucket_label"), indexes)
extras = {
    "Bucket": st.one_of(labels, st.tuples(st.just("assign"), st.just("_buckets"), boundaries())),
    "StringBucket": st.one_of(labels, st.tuples(st.just("assign"), st.just("_buckets"),
                                                st.lists(keys, max_size=5))),
    "BooleanBucket": st.tuples(st.just("set_null_fraction"), fractions),
    "ValueBucket": st.tuples(st.just("set_null_fraction"), fractions),
    "CategoricalBucket": st.tuples(st.just("set_categories"), counts),
    "SimpleCategoricalBucket": labels,
}


def text(value):
    """repr without what differs between two classes of the same name."""
    return re.sub(r"tarvello\.custom\.model_data\.bucket\.|bucket_model\.| at 0x[0-9a-f]+",
                  "", repr(value))


def outcome(action):
    """Runs action, catching what it raises and prints."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            return action(), None, out.getvalue()
        except Exception as e:
            return None, (type(e).__name__, str(e), text(e.args)), out.getvalue()


def shadow(b, name):
    """Puts a logging wrapper of a method on the instance, where lookups find it first."""
    method = getattr(b, name)

    def logged(*args):
        vars(b).setdefault("_log", []).append((name,) + args)
        return method(*args)
    setattr(b, name, logged)


def call(lib, b, op):
    """Applies one operation; returns the bucket to go on with and the outcome."""
    name, args = op[0], op[1:]
    written = Message()
    actions = {
        "fast_mode": lambda: setattr(lib, "FAST_MODE", args[0]),
        "bucketize": lambda: b.bucketize({FIELD: args[0]}),
        "missing": lambda: b.bucketize({"other": 1}),
        "str": lambda: str(b),
        "assign": lambda: setattr(b, args[0], copy.deepcopy(args[1])),
        "shadow": lambda: shadow(b, args[0]),
        "global": lambda: setattr(lib, args[0], GLOBALS[args[0]]),
        # Shared by both: the module and its model read the same Number.
        "instancecheck": lambda: setattr(type(numbers.Number), "__instancecheck__",
                                         no_ints_are_numbers),
        "write": lambda: b.write_to_proto(written),
        "rebuild": lambda: b.write_to_proto(written) or lib.read_from_proto(written),
    }
    result, error, printed = outcome(
        actions.get(name) or (lambda: getattr(b, name)(*copy.deepcopy(args))))
    rows = [i for i, row in enumerate(getattr(b, "_out_buckets", [])) if row is result]
    if name == "rebuild" and error is None:
        b, result = result, None
    return b, (text(result), rows, error, printed, written.SerializeToString(deterministic=True))


def state(b):
    return type(b).__name__, {k: text(v) for k, v in vars(b).items() if k != "_extractor"}, \
        b._extractor


def check(kind, args, ops, variant="plain"):
    derive, adjust = VARIANTS[variant]

    def make(lib):
        return adjust(derive(getattr(lib, kind))(*copy.deepcopy(args)))
    try:
        ours, theirs = (outcome(lambda: make(lib)) for lib in (bucket, model))
        assert ours[1:] == theirs[1:]
        ours, theirs = ours[0], theirs[0]
        if ours is None:
            return
        vars(ours).pop("_log", None), vars(theirs).pop("_log", None)
        assert state(ours) == state(theirs)
        for op in ops:
            ours, got = call(bucket, ours, op)
            theirs, expected = call(model, theirs, op)
            assert got == expected, op
            if op[0] not in PER_ROW:
                vars(ours).pop("_log", None), vars(theirs).pop("_log", None)
            assert state(ours) == state(theirs), op
            vars(ours).pop("_log", None), vars(theirs).pop("_log", None)
    finally:
        type(numbers.Number).__instancecheck__ = ABC_INSTANCECHECK
        for lib in (bucket, model):
            lib.FAST_MODE = False
            for name, value in ORIGINALS[lib].items():
                setattr(lib, name, value)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_kind_matches_model(kind):
    replaced = st.lists(st.sampled_from(list(GLOBALS)), unique=True, max_size=3)
    operations = st.builds(
        lambda names, ops: [("global", name) for name in names] + ops,
        replaced, st.lists(st.one_of(common + [extras[kind]]), max_size=20))
    settings(max_examples=100, database=None)(given(
        KINDS[kind], operations, st.sampled_from(sorted(VARIANTS)))(
        lambda args, ops, variant: check(kind, args, ops, variant)))()


@pytest.mark.parametrize("kind, args, ops", [
    ("BooleanBucket", ("age", FieldExtractor(FIELD), True),
     [("assign", "_distro", 0), ("_remove_bucket",)]),
    ("CategoricalBucket", ("age", FieldExtractor(FIELD), 0, {}, None), [("write",)]),
])
def test_recorded_cases_match_model(kind, args, ops):
    check(kind, args, ops)


def message(kind, name, data_type, has_null, none_value, strings, ints, floats):
    proto = Message(bucket_type=kind, name=name, has_null=has_null, string_buckets=strings,
                    extractor=FieldExtractor(FIELD, data_type).to_proto(),
                    int_buckets=ints, float_buckets=floats, bucket_fraction=[0.5])
    if none_value is not None:
        proto.none_value = none_value
    return proto


messages = st.builds(
    message, st.sampled_from(list(Message.BucketType.values())), names,
    st.sampled_from(DATA_TYPES), st.booleans(), st.one_of(st.none(), st.integers(-2, 5), st.floats()),
    st.lists(st.sampled_from(WORDS), max_size=3), st.lists(st.integers(-3, 3), max_size=3),
    st.lists(st.floats(), max_size=3))


@settings(max_examples=150, database=None)
@given(messages)
def test_factory_matches_model(proto):
    got, expected = (outcome(lambda: lib.read_from_proto(proto)) for lib in (bucket, model))
    assert got[1:] == expected[1:]
    assert (got[0] and state(got[0])) == (expected[0] and state(expected[0]))


@given(st.lists(keys, max_size=6))
def test_category_dict_matches_model(items):
    assert text(bucket.create_category_dict(items)) == text(model.create_category_dict(items))
