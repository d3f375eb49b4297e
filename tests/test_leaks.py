# Every operation of the module, and every way it can fail, run in a loop
# under a debug interpreter: the interpreter's total reference count and its
# count of allocated memory blocks must not grow with the number of rounds.
# A release interpreter has neither count, so there the test is skipped,
# except under scripts/leaks.sh, which must never pass without measuring.
import array
import copy
import functools
import gc
import inspect
import math
import os
import pickle
import sys
import types
import weakref
from decimal import Decimal

import pytest

from test_columns import CArrow

from tarvello.custom.model_data import bucket, columns
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

MEASURED = hasattr(sys, "gettotalrefcount")
REQUIRED = os.environ.get("BUCKET_LEAK_TESTS_REQUIRED") == "1"
WARM_UP = 200
ROUNDS = 2000
# A leak takes at least one reference or block per round; what does not grow
# with the rounds (caches filled late, the counters' own ints) stays far below.
LIMIT = ROUNDS // 10

Message = row_handler_pb2.Bucket
# Held here, so that a scenario may take the module's own names away.
Range, Strings, Boolean, Direct = bucket.Bucket, bucket.StringBucket, bucket.BooleanBucket, bucket.ValueBucket
Categorical, Simple = bucket.CategoricalBucket, bucket.SimpleCategoricalBucket
EF = FieldExtractor("age", "FLOAT")
ES = FieldExtractor("color")
EB = FieldExtractor("flag", "BOOL")
EXTRACTOR_MESSAGE = EF.to_proto()
DELETED = object()


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom()


class Hostile:
    """Hashes alike, so that dict lookups must compare; every comparison raises."""

    def __hash__(self):
        return 7

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = boom


class Unhashable:
    __hash__ = boom


class BadBool:
    __bool__ = boom


class BadStr:
    __str__ = __repr__ = boom


class RaisingMeta(type):
    __instancecheck__ = boom


class RaisingNumber(metaclass=RaisingMeta):
    pass


class Shrinking:
    """Empties the boundary list it is compared against."""

    def __init__(self, boundaries):
        self.boundaries = boundaries

    def __lt__(self, other):
        del self.boundaries[:]
        return False


class Extractor:
    """An extractor whose operations each raise or return what is given."""

    def __init__(self, value=None, data_type="STRING", field_name="f",
                 description="d", to_proto=EXTRACTOR_MESSAGE):
        self.value = value
        self.data_type = data_type
        self._field_name = field_name
        self.description_text = description
        self.message = to_proto

    def extract(self, row):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("k")
        return self.value

    def data_type_string(self):
        if self.data_type is Boom:
            raise Boom()
        return self.data_type

    def description(self):
        if self.description_text is Boom:
            raise Boom()
        return self.description_text

    def to_proto(self):
        if self.message is Boom:
            raise Boom()
        return self.message


class NoFieldName:
    def extract(self, row):
        return row


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def adjust(b, attrs):
    for name, value in attrs.items():
        if value is DELETED:
            delattr(b, name)
        else:
            setattr(b, name, value)


def rng(boundaries=(10.0, 20.0, 30.0), has_none=True, cls=None, **attrs):
    b = (cls or Range)("age", EF, list(boundaries), has_none)
    adjust(b, attrs)
    return b


def strings(values=("red", "green", "blue"), has_none=True, **attrs):
    b = Strings("color", ES, list(values), has_none)
    adjust(b, attrs)
    return b


def boolean(has_null=True, **attrs):
    b = Boolean("flag", EB, has_null)
    adjust(b, attrs)
    return b


def direct(has_null=True, default_value=None, extractor=EF, **attrs):
    b = Direct("weight", extractor, has_null, default_value)
    adjust(b, attrs)
    return b


def categorical(category_dict=None, none_value=None, extractor=ES, **attrs):
    if category_dict is None:
        category_dict = {"red": 0, "blue": 1}
    b = Categorical("color", extractor, 0.1, category_dict, none_value)
    adjust(b, attrs)
    return b


def counted_categorical(**attrs):
    b = categorical(**attrs)
    for value in ("red", "blue", "teal", None):
        b._bucketize_value(value)
    return b


def simple(categories=("red", "green", None), **attrs):
    b = Simple("color", ES, list(categories))
    adjust(b, attrs)
    return b


def counted(make, *values):
    b = make()
    for value in values:
        b._bucketize_value(value)
    return b


def written(b):
    proto = Message()
    b.write_to_proto(proto)
    return proto


def message(bucket_type, name="age", **fields):
    return Message(name=name, bucket_type=bucket_type, extractor=EXTRACTOR_MESSAGE, **fields)


COMMON = [{"name": "red", "count": 50}, {"name": "blue", "count": 30},
          {"name": "green", "count": 15}, {"name": "teal", "count": 5}]


def takes(name, bound, count, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, bound, count, "" if count == 1 else "s", given)


def exactly_one(name, given):
    return "%s() takes exactly one argument (%d given)" % (name, given)


def no_keywords(name):
    return "%s() takes no keyword arguments" % name


def unexpected(name, keyword):
    return "%s() got an unexpected keyword argument '%s'" % (name, keyword)


def multiple(name, keyword):
    return "%s() got multiple values for keyword argument '%s'" % (name, keyword)


SCENARIOS = []


def case(name, call, expect=None, text=None, **patch):
    SCENARIOS.append(pytest.param(call, expect, text, patch, id=name))


def argument_cases(prefix, call_with_errors):
    for number, (call, text) in enumerate(call_with_errors):
        case("%s-arguments-%d" % (prefix, number), call, TypeError, text)


# The argument binder, through every kind of method object.
B = bucket.BaseBucket
argument_cases("binder", [
    (lambda: B(), takes("__init__", "exactly", 4, 1)),
    (lambda: B("age", EF, 3, 4), takes("__init__", "exactly", 4, 5)),
    (lambda: B.__init__(), takes("__init__", "exactly", 4, 0)),
    (lambda: B(extractor=EF, total_buckets=3), takes("__init__", "exactly", 4, 1)),
    (lambda: B("age", EF, 3, bogus=1), unexpected("__init__", "bogus")),
    (lambda: B("age", EF, 3, **{"name": "x"}), multiple("__init__", "name")),
    (lambda: bucket.ValueBucket("v"), takes("__init__", "at least", 3, 2)),
    (lambda: bucket.ValueBucket("v", EF, True, None, 1), takes("__init__", "at most", 5, 6)),
    (lambda: bucket.ValueBucket(extractor=EF, has_null=False), takes("__init__", "at least", 3, 1)),
    (lambda: bucket.BooleanBucket("b", EB, has_nul=False), unexpected("__init__", "has_nul")),
    (lambda: bucket.Bucket("r", EF), takes("__init__", "at least", 4, 3)),
    (lambda: bucket.StringBucket("s", ES, [], True, buckets=[]), multiple("__init__", "buckets")),
    (lambda: bucket.CategoricalBucket("c", EF, 0.1, None, None, 1), takes("__init__", "at most", 6, 7)),
    (lambda: bucket.SimpleCategoricalBucket("s", ES), takes("__init__", "exactly", 4, 3)),
    (lambda: bucket.BadAttributeError("age"), takes("__init__", "exactly", 3, 2)),
    (lambda: bucket.BadAttributeError("age", val=1), unexpected("__init__", "val")),
    (lambda: rng()._increment(), takes("_increment", "exactly", 2, 1)),
    (lambda: rng()._create_entry(bucket=1), unexpected("_create_entry", "bucket")),
    (lambda: rng().bucketize({}, row={}), multiple("bucketize", "row")),
    (lambda: rng().write_to_proto(), takes("write_to_proto", "exactly", 2, 1)),
    (lambda: rng().get_bucket_label(1, 2), takes("get_bucket_label", "exactly", 2, 3)),
    (lambda: strings()._bucketize_value(), takes("_bucketize_value", "exactly", 2, 1)),
    (lambda: boolean().set_null_fraction(fraction=0), unexpected("set_null_fraction", "fraction")),
    (lambda: direct().set_null_fraction(), takes("set_null_fraction", "exactly", 2, 1)),
    (lambda: categorical().set_categories(), takes("set_categories", "exactly", 2, 1)),
    (lambda: simple()._bucketize_value(1, 2), takes("_bucketize_value", "exactly", 2, 3)),
    (lambda: rng().get_distro(1), exactly_one("get_distro", 2)),
    (lambda: B.get_short_label(), exactly_one("get_short_label", 0)),
    (lambda: rng()._remove_bucket(x=1), no_keywords("_remove_bucket")),
    (lambda: bucket.Bucket.__str__(rng(), **{"x": 1}), no_keywords("__str__")),
    (lambda: bucket.Bucket.__str__(rng(), 1), exactly_one("__str__", 2)),
    (lambda: bucket.BooleanBucket.get_distro(boolean(), 1), exactly_one("get_distro", 2)),
    (lambda: bucket.ValueBucket.__str__(), exactly_one("__str__", 0)),
    (lambda: bucket.CategoricalBucket.get_distro(self=categorical()), no_keywords("get_distro")),
    (lambda: bucket.BadAttributeError.__str__(bucket.BadAttributeError("k", 1), 2),
     exactly_one("__str__", 2)),
    (lambda: bucket.read_from_proto(), exactly_one("read_from_proto", 0)),
    (lambda: bucket.read_from_proto(bucket_proto=Message()), no_keywords("read_from_proto")),
    (lambda: bucket.create_category_dict([], []), exactly_one("create_category_dict", 2)),
    (lambda: bucket.create_category_dict(values=[]), no_keywords("create_category_dict")),
])
case("binder-keyword-not-str", lambda: B("age", EF, 3, **{1: 2}), TypeError)

# The method objects themselves.
M = bucket.Bucket._bucketize_value
case("method-attributes", lambda: (M.__name__, M.__qualname__, M.__module__, M.__doc__, M.__globals__,
                                   M.__text_signature__, repr(M), inspect.signature(M),
                                   inspect.signature(bucket.read_from_proto)))
case("method-binding", lambda: (M.__get__(rng())(5), M.__get__(None, Range), getattr(rng(), "get_distro")()))
case("method-missing-attribute", lambda: M.__wrapped__, AttributeError)
case("method-called-through-partial", lambda: functools.partial(M, rng())(5.5))

# Whole rows, through the extractor, for every kind.
case("rows", lambda: (rng().bucketize({"age": 5}), strings().bucketize({"color": "red"}),
                      boolean().bucketize({"flag": True}), direct().bucketize({"age": 2.5}),
                      categorical().bucketize({"color": "blue"}), simple().bucketize({"color": ["red"]})))
case("rows-extractor-refuses-the-row", lambda: simple().bucketize([]), TypeError)

# The exception class.
case("bad-attribute-error", lambda: str(bucket.BadAttributeError("age", [1.5])))
case("bad-attribute-error-keywords", lambda: str(bucket.BadAttributeError(value="v", key="k")))
case("bad-attribute-error-raised", lambda: rng()._bucketize_value("x"), bucket.BadAttributeError)


def error_without_value():
    e = bucket.BadAttributeError("k", 1)
    del e._value
    str(e)


case("bad-attribute-error-str-fails", error_without_value, AttributeError)
case("bad-attribute-error-str-of-value-fails",
     lambda: str(bucket.BadAttributeError("k", BadStr())), Boom)

# The base class.
case("base-init", lambda: B("age", EF, 4))
case("base-init-not-an-int", lambda: B("age", EF, "3"), TypeError)
case("base-init-too-large", lambda: B("age", EF, 2 ** 70), OverflowError)
case("base-counting", lambda: (B("age", EF, 3)._create_entry(1), B("age", EF, 3)._increment(-1)))
case("base-increment-out-of-range", lambda: B("age", EF, 3)._increment(3), IndexError)
case("base-increment-float", lambda: B("age", EF, 3)._increment(1.5), TypeError)
case("base-increment-hostile-total", lambda: rng(_total=BadStr())._increment(0), TypeError)
case("base-increment-distro-tuple", lambda: rng(_distro=(0, 0, 0, 0, 0))._increment(0), TypeError)
case("base-create-entry-out-of-range", lambda: B("age", EF, 3)._create_entry(5), IndexError)
case("base-create-entry-short-rows", lambda: rng(_out_buckets=[])._create_entry(0), IndexError)
case("base-remove", lambda: B("age", EF, 3)._remove_bucket())
case("base-remove-after-counting",
     lambda: counted(rng, 5)._remove_bucket(), Exception,
     "Cannot remove bucket after adding values: 1")
case("base-remove-uncomparable-total", lambda: rng(_total="x")._remove_bucket(), TypeError)
case("base-bucketize-without-kind", lambda: B("age", EF, 3).bucketize({"age": 1}), AttributeError)
case("base-bucketize-key-error", lambda: rng().bucketize({"other": 1}), KeyError)
case("base-bucketize-key-error-unprintable-row",
     lambda: rng(_extractor=Extractor(KeyError)).bucketize(BadStr()), Boom)
case("base-bucketize-key-error-print-fails",
     lambda: rng().bucketize({}), Boom, print=boom)
case("base-bucketize-extractor-fails", lambda: rng(_extractor=Extractor(Boom)).bucketize({}), Boom)
case("base-bucketize-no-extract", lambda: rng(_extractor=object()).bucketize({}), AttributeError)
case("base-distro-without-labels", lambda: B("age", EF, 3).get_distro(), AttributeError)
case("base-distro-uncomparable-total", lambda: rng(_total="x").get_distro(), TypeError)
case("base-distro-colour-missing", lambda: counted(rng, 5).get_distro(), NameError,
     ANSI_ESCAPE=DELETED)
case("base-distro-colour-not-addable", lambda: counted(rng, 5).get_distro(), TypeError,
     NORMAL_COLOR=3, ANSI_ESCAPE=3)
case("base-short-label", lambda: (rng().get_short_label(), rng(_name="temperature").get_short_label()))
case("base-short-label-unsized-name", lambda: rng(_name=5).get_short_label(), TypeError)
case("base-short-label-bad-count", lambda: rng(_total_buckets="x").get_short_label(), TypeError)
case("base-write", lambda: written(B("age", EF, 3)))
case("base-write-name-not-str", lambda: written(B(5, EF, 3)), TypeError)
case("base-write-to-proto-fails", lambda: written(B("age", Extractor(to_proto=Boom), 3)), Boom)
case("base-write-wrong-message", lambda: written(B("age", Extractor(to_proto=Message()), 3)), TypeError)
case("base-write-not-a-message", lambda: B("age", EF, 3).write_to_proto(object()), AttributeError)


class OwnCounting(bucket.Bucket):
    def _increment(self, bucket):
        self._total += 2

    def _create_entry(self, index):
        return bucket.BaseBucket._create_entry(self, index)


class FailingLabels(bucket.Bucket):
    def get_bucket_label(self, index):
        raise Boom()


case("override-increment", lambda: counted(lambda: rng(cls=OwnCounting), 5, None))
case("shadowed-create-entry", lambda: rng(_create_entry=lambda i: i)._bucketize_value(5))
case("shadowed-create-entry-fails", lambda: rng(_create_entry=boom)._bucketize_value(5), Boom)
case("shadowed-increment-fails", lambda: rng(_increment=boom)._bucketize_value(5), Boom)
case("shadowed-bucketize-value", lambda: rng(_bucketize_value=lambda v: v).bucketize({"age": 1}))
case("override-labels-fail", lambda: counted(lambda: rng(cls=FailingLabels), 5).get_distro(), Boom)

# Bucket: numbers by ranges.
case("range-values", lambda: counted(rng, 5, 10, 19.9, 30, 1e9, True, -math.inf, math.nan, None, 2 ** 80))
case("range-values-no-none", lambda: counted(lambda: rng(has_none=False), None, 15))
case("range-tuple-boundaries", lambda: counted(lambda: rng(_buckets=(10, 20)), 15, 25.5))
case("range-list-subclass", lambda: counted(lambda: rng(_buckets=type("L", (list,), {})([1, 2])), 1.5))
case("range-int-boundaries", lambda: counted(lambda: rng((10, 20, 30)), 15, 2.5))
case("range-text", lambda: (str(rng()), counted(rng, 5, 25).get_distro(), rng().get_bucket_label(3)))
case("range-write", lambda: written(rng()))
case("range-keywords", lambda: bucket.Bucket(name="a", extractor=EF, buckets=[1.0], has_none=False))
case("range-not-a-number", lambda: rng()._bucketize_value("abc"), bucket.BadAttributeError)
case("range-fast-mode-str", lambda: rng()._bucketize_value("abc"), TypeError, FAST_MODE=True)
case("range-fast-mode-truthy", lambda: rng()._bucketize_value(5), FAST_MODE=1)
case("range-fast-mode-raises", lambda: rng()._bucketize_value(5), Boom, FAST_MODE=BadBool())
case("range-fast-mode-missing", lambda: rng()._bucketize_value(5), NameError, FAST_MODE=DELETED)
case("range-complex", lambda: rng()._bucketize_value(1j), TypeError)
case("range-hostile-boundary", lambda: rng((Hostile(),))._bucketize_value(5), Boom)
case("range-hostile-value", lambda: rng()._bucketize_value(Hostile()), Boom, FAST_MODE=True)


def shrinking():
    boundaries = [10.0, 20.0, 30.0, 40.0]
    b = rng(_buckets=boundaries)
    b._bucketize_value(Shrinking(boundaries))


case("range-boundaries-shrink", shrinking, IndexError, FAST_MODE=True)
case("range-number-replaced", lambda: counted(rng, 5, 2.5), Number=(int, float))
case("range-number-refuses", lambda: rng()._bucketize_value(2.5), bucket.BadAttributeError, Number=int)
case("range-number-raises", lambda: rng()._bucketize_value(2.5), Boom, Number=RaisingNumber)
case("range-number-not-a-class", lambda: rng()._bucketize_value(2.5), TypeError, Number=5)
case("range-bisect-replaced", lambda: counted(rng, 5, 25),
     bisect=types.SimpleNamespace(bisect=lambda seq, value: 1))
case("range-bisect-returns-float", lambda: rng()._bucketize_value(5), TypeError,
     bisect=types.SimpleNamespace(bisect=lambda seq, value: 1.0))
case("range-bisect-fails", lambda: rng()._bucketize_value(5), Boom,
     bisect=types.SimpleNamespace(bisect=boom))
case("range-bisect-without-function", lambda: rng()._bucketize_value(5), AttributeError,
     bisect=types.SimpleNamespace())
case("range-bisect-missing", lambda: rng()._bucketize_value(5), NameError, bisect=DELETED)
case("range-bad-attribute-error-replaced", lambda: rng()._bucketize_value("x"), Boom,
     BadAttributeError=boom)
case("range-boundaries-unsized", lambda: bucket.Bucket("a", EF, 5), TypeError)
case("range-has-none-raises", lambda: bucket.Bucket("a", EF, [1.0], BadBool()), Boom)
case("range-class-missing", lambda: rng(), NameError, Bucket=DELETED)
case("range-class-unrelated", lambda: rng(), TypeError, Bucket=int)
case("range-empty-distro", lambda: counted(lambda: rng((), False), 5).get_distro(), IndexError)
case("range-label-uncomparable", lambda: rng().get_bucket_label("x"), TypeError)
case("range-label-unformattable", lambda: rng(("a",)).get_bucket_label(0), TypeError)
case("range-str-no-field-name", lambda: str(rng(_extractor=NoFieldName())), AttributeError)
case("range-str-unprintable", lambda: str(rng(_buckets=BadStr(), _len=0)), Boom)
case("range-write-not-floats", lambda: written(rng(("a",))), TypeError)
case("range-write-messages-replaced", lambda: written(rng()), AttributeError,
     row_handler_pb2=types.SimpleNamespace())
case("range-no-buckets-attribute", lambda: rng(_buckets=DELETED)._bucketize_value(5), AttributeError)

# StringBucket: values of a fixed list.
case("string-values", lambda: counted(strings, "green", "purple", None, 1, 1.0))
case("string-none-listed", lambda: counted(lambda: strings([None, "x"]), None))
case("string-text", lambda: (str(strings()), counted(strings, "red").get_distro(),
                             [strings().get_bucket_label(i) for i in range(5)]))
case("string-write", lambda: written(strings(["a", "b", "a"])))
case("string-unhashable-value", lambda: strings()._bucketize_value([]), TypeError)
case("string-hostile-value", lambda: strings([Hostile()])._bucketize_value(Hostile()), Boom)
case("string-value-hash-raises", lambda: strings()._bucketize_value(Unhashable()), Boom)
case("string-unhashable-listed", lambda: strings([[1]]), TypeError)
case("string-listed-hash-raises", lambda: strings([Unhashable()]), Boom)
case("string-map-replaced", lambda: strings(_bucket_map={"red": 1.5})._bucketize_value("red"), TypeError)
case("string-map-not-a-dict", lambda: strings(_bucket_map=5)._bucketize_value("red"), TypeError)
case("string-map-dict-subclass", lambda: strings(_bucket_map=type("D", (dict,), {"__contains__": boom})())
     ._bucketize_value("red"), Boom)
case("string-label-uncomparable", lambda: strings().get_bucket_label(None), TypeError)
case("string-write-not-str", lambda: written(strings([1])), TypeError)
case("string-base-missing", lambda: strings(), NameError, Bucket=DELETED)
case("string-shadowed-create-entry", lambda: strings(_create_entry=boom)._bucketize_value("red"), Boom)

# BooleanBucket.
case("boolean-values", lambda: counted(boolean, True, False, None, True))
case("boolean-no-null", lambda: counted(lambda: boolean(False), None, True))
case("boolean-text", lambda: (str(boolean()), counted(boolean, True, None).get_distro(),
                              boolean(False).get_distro()))
case("boolean-write", lambda: (written(boolean()), written(boolean(False))))
case("boolean-not-a-bool", lambda: boolean()._bucketize_value(1), bucket.BadAttributeError)
case("boolean-fast-mode", lambda: counted(boolean, 1, 0, "", "x", [], 0.0), FAST_MODE=True)
case("boolean-fast-mode-truth-raises", lambda: boolean()._bucketize_value(BadBool()), Boom, FAST_MODE=True)
case("boolean-has-null-raises", lambda: boolean(_has_null=BadBool())._bucketize_value(None), Boom)
case("boolean-drop-null", lambda: (boolean().set_null_fraction(0.019), boolean().set_null_fraction(0.5),
                                   boolean(False).set_null_fraction("x")))
case("boolean-drop-null-after-counting", lambda: counted(boolean, True).set_null_fraction(0.0),
     Exception, "Cannot remove bucket after adding values: 1")
case("boolean-fraction-uncomparable", lambda: boolean().set_null_fraction("x"), TypeError)
case("boolean-distro-nothing-counted", lambda: boolean().get_distro())
case("boolean-distro-description-fails",
     lambda: boolean(_extractor=Extractor(description=Boom)).get_distro(), Boom)
case("boolean-distro-description-not-str",
     lambda: boolean(_extractor=Extractor(description=5)).get_distro(), TypeError)
case("boolean-distro-short-distro", lambda: boolean(_distro=[1, 1]).get_distro(), IndexError)
case("boolean-str-name-unprintable", lambda: str(boolean(_name=BadStr())), Boom)
case("boolean-write-has-null-not-bool", lambda: written(boolean(_has_null="x")), TypeError)
case("boolean-class-missing", lambda: boolean(), NameError, BooleanBucket=DELETED)

# ValueBucket.
case("direct-values", lambda: counted(direct, 5, 2.5, True, None))
case("direct-default", lambda: counted(lambda: direct(True, 0), None, 7))
case("direct-no-null", lambda: counted(lambda: direct(False), None, 7))
case("direct-text", lambda: (str(direct()), str(direct(True, (1, 2))), counted(direct, 5, None).get_distro(),
                             direct(False).get_distro()))
case("direct-write", lambda: (written(direct()), written(direct(True, 2.5))))
case("direct-not-a-number", lambda: direct()._bucketize_value("x"), bucket.BadAttributeError)
case("direct-default-not-a-number", lambda: direct(True, "x")._bucketize_value(None), bucket.BadAttributeError)
case("direct-fast-mode", lambda: counted(direct, "x", [1]), FAST_MODE=True)
case("direct-number-raises", lambda: direct()._bucketize_value(2.5), Boom, Number=RaisingNumber)
case("direct-shadowed-increment-fails", lambda: direct(_increment=boom)._bucketize_value(5), Boom)
case("direct-has-null-raises", lambda: direct(_has_null=BadBool())._bucketize_value(5), Boom)
case("direct-drop-null", lambda: (direct().set_null_fraction(0.0), direct(True, 1).set_null_fraction("x")))
case("direct-drop-null-after-counting", lambda: counted(direct, 5).set_null_fraction(0.01),
     Exception, "Cannot remove bucket after adding values: 1")
case("direct-fraction-uncomparable", lambda: direct().set_null_fraction(None), TypeError)
case("direct-distro-nothing-counted", lambda: direct().get_distro())
case("direct-distro-description-fails",
     lambda: direct(extractor=Extractor(description=Boom)).get_distro(), Boom)
case("direct-str-default-unprintable", lambda: str(direct(True, BadStr())), Boom)
case("direct-str-no-field-name", lambda: str(direct(extractor=NoFieldName())), AttributeError)
case("direct-write-default-not-a-number", lambda: written(direct(True, "x")), TypeError)
case("direct-write-messages-replaced", lambda: written(direct()), AttributeError,
     row_handler_pb2=types.SimpleNamespace())

# CategoricalBucket.
case("categorical-learn", lambda: categorical().set_categories(COMMON))
case("categorical-learn-many", lambda: categorical().set_categories(
    [{"name": i, "count": i + 1} for i in range(12)]))
case("categorical-learn-empty", lambda: categorical().set_categories([]))
case("categorical-learn-missing-key", lambda: categorical().set_categories([{"name": "a"}]), KeyError)
case("categorical-learn-zero-sum", lambda: categorical().set_categories([{"name": "a", "count": 0}]),
     ZeroDivisionError)
case("categorical-learn-count-not-a-number",
     lambda: categorical().set_categories([{"name": "a", "count": "1"}]), TypeError)
case("categorical-learn-unhashable-name",
     lambda: categorical().set_categories([{"name": [], "count": 1}]), TypeError)
case("categorical-learn-hostile-names",
     lambda: categorical().set_categories([{"name": Hostile(), "count": 1},
                                           {"name": Hostile(), "count": 1}]), Boom)
case("categorical-learn-uncomparable-fraction",
     lambda: categorical(_min_fraction="x").set_categories(COMMON), TypeError)
case("categorical-learn-not-iterable", lambda: categorical().set_categories(5), TypeError)
case("categorical-learn-print-fails", lambda: categorical().set_categories(COMMON), Boom, print=boom)
case("categorical-values", lambda: counted_categorical())
case("categorical-none-index", lambda: counted(lambda: categorical(none_value=4), None, "red"))
case("categorical-float-type", lambda: counted(lambda: categorical({1.5: 0}, extractor=EF), 1.5, True, 7))
case("categorical-text", lambda: (str(categorical()), counted_categorical().get_distro()))
case("categorical-write", lambda: written(counted_categorical(
    category_dict={"a": 0, 2: 1, 2.5: 2}, none_value=4)))
case("categorical-wrong-str-type", lambda: categorical()._bucketize_value(5), bucket.BadAttributeError)
case("categorical-wrong-float-type",
     lambda: categorical(extractor=EF)._bucketize_value("3"), bucket.BadAttributeError)
case("categorical-fast-mode", lambda: counted(categorical, 5, "red"), FAST_MODE=True)
case("categorical-data-type-fails",
     lambda: categorical(extractor=Extractor(data_type=Boom))._bucketize_value("red"), Boom)
case("categorical-data-type-hostile",
     lambda: categorical(extractor=Extractor(data_type=Hostile()))._bucketize_value("red"), Boom)
case("categorical-value-compare-raises", lambda: categorical()._bucketize_value(Hostile()), Boom)
case("categorical-number-raises",
     lambda: categorical(extractor=EF)._bucketize_value(2.5), Boom, Number=RaisingNumber)
case("categorical-no-map", lambda: categorical(category_dict=False, _category_dict=None)
     ._bucketize_value("red"), TypeError, FAST_MODE=True)
case("categorical-empty-map", lambda: categorical(category_dict={})._bucketize_value("red"), IndexError)
case("categorical-unhashable-value", lambda: categorical()._bucketize_value([]), TypeError, FAST_MODE=True)
case("categorical-map-not-a-dict",
     lambda: categorical(_category_dict=types.SimpleNamespace())._bucketize_value("red"), TypeError)
case("categorical-map-dict-subclass", lambda: categorical(_category_dict=type(
    "D", (dict,), {"__getitem__": boom})({"red": 0}))._bucketize_value("red"), Boom)
case("categorical-index-not-an-int",
     lambda: categorical({"red": "0"})._bucketize_value("red"), TypeError)
case("categorical-float-slot", lambda: counted(lambda: categorical(_distro=[0.5, 0, 0, 0]), "red", None))
case("categorical-distro-nothing-counted", lambda: categorical().get_distro())
case("categorical-distro-not-numbers", lambda: categorical(_distro=["a", "b"]).get_distro(), TypeError)
case("categorical-write-nothing-counted", lambda: written(categorical()))
case("categorical-write-unwritable-value", lambda: written(counted_categorical(
    category_dict={object(): 0, "red": 1})), TypeError)
case("categorical-write-none-value-not-a-number",
     lambda: written(counted_categorical(none_value="x")), TypeError)
case("categorical-write-short-distro",
     lambda: written(counted_categorical(category_dict={"a": 0, "b": 1, "c": 2}, _distro=[1, 1])), IndexError)
case("categorical-write-unsortable-indexes",
     lambda: written(counted_categorical(category_dict={"red": 0, "blue": "1"})), TypeError)
case("categorical-str-no-field-name",
     lambda: str(categorical(extractor=NoFieldName())), AttributeError)
case("categorical-class-missing", lambda: categorical(), NameError, CategoricalBucket=DELETED)
case("categorical-map-truth-raises", lambda: categorical(category_dict=BadBool()), Boom)

# SimpleCategoricalBucket.
case("simple-values", lambda: counted(simple, "green", "blue", None, ["blue", "red", "red", "purple"], [],
                                      ("green", "red"), {"red": 1}))
case("simple-tuple-categories", lambda: bucket.SimpleCategoricalBucket("c", ES, ("a", "b", "a")))
case("simple-text-and-write", lambda: (str(simple()), simple().get_distro(), written(simple())))
case("simple-unhashable-value", lambda: simple()._bucketize_value({1}), TypeError)
case("simple-nested-list", lambda: simple()._bucketize_value(["red", []]), TypeError)
case("simple-list-subclass", lambda: simple()._bucketize_value(type("L", (list,), {})(["red"])), TypeError)
case("simple-hostile-value", lambda: simple([Hostile()])._bucketize_value([Hostile()]), Boom)
case("simple-unhashable-category", lambda: simple([[]]), TypeError)
case("simple-categories-unindexable", lambda: bucket.SimpleCategoricalBucket("c", ES, {"a"}), TypeError)
case("simple-categories-unsized", lambda: bucket.SimpleCategoricalBucket("c", ES, 5), TypeError)
case("simple-map-hostile-ids",
     lambda: simple(_category_value_map={"red": Hostile()})._bucketize_value("red"), Boom)
case("simple-map-unsortable-ids",
     lambda: simple(_category_value_map={"red": "a", "green": 1})._bucketize_value(["red", "green"]),
     TypeError)
case("simple-map-without-get", lambda: simple(_category_value_map=5)._bucketize_value("red"), AttributeError)
case("simple-distro-description-fails",
     lambda: simple(_extractor=Extractor(description=Boom)).get_distro(), Boom)
case("simple-distro-map-unsized", lambda: simple(_category_value_map=5).get_distro(), TypeError)
case("simple-class-missing", lambda: simple(), NameError, SimpleCategoricalBucket=DELETED)

# The factory.
case("factory-dict", lambda: (bucket.create_category_dict(["a", "b", "a"]),
                              bucket.create_category_dict(iter([1, 2]))))
case("factory-dict-unhashable", lambda: bucket.create_category_dict([[1]]), TypeError)
case("factory-dict-not-iterable", lambda: bucket.create_category_dict(5), TypeError)
case("factory-dict-iteration-fails", lambda: bucket.create_category_dict(map(boom, [1])), Boom)
case("factory-dict-hostile-keys", lambda: bucket.create_category_dict([Hostile(), Hostile()]), Boom)
case("factory-range", lambda: bucket.read_from_proto(message(Message.BUCKET, float_buckets=[18, 30],
                                                             has_null=True, int_buckets=[1])))
case("factory-string", lambda: bucket.read_from_proto(message(Message.STRING, string_buckets=["a"])))
case("factory-direct", lambda: (bucket.read_from_proto(message(Message.DIRECT, none_value=0)),
                                bucket.read_from_proto(message(Message.DIRECT, has_null=True))))
case("factory-categorical", lambda: (
    bucket.read_from_proto(message(Message.CATEGORY, string_buckets=["a", "b"], none_value=4)),
    bucket.read_from_proto(message(Message.CATEGORY, int_buckets=[5, 7, 5], none_value=2.5)),
    bucket.read_from_proto(message(Message.CATEGORY, float_buckets=[0.5], bucket_fraction=[1.0]))))
case("factory-boolean", lambda: bucket.read_from_proto(message(Message.BOOLEAN, name="flag")))
case("factory-no-type", lambda: bucket.read_from_proto(message(0)), Exception, "Bucket age of unknown type")
case("factory-categorical-empty", lambda: bucket.read_from_proto(message(Message.CATEGORY)),
     Exception, "Category bucket age has no buckets")
case("factory-extractor-unreadable", lambda: bucket.read_from_proto(Message(bucket_type=Message.BUCKET)),
     ValueError)
case("factory-not-a-message", lambda: bucket.read_from_proto(object()), AttributeError)
case("factory-extractor-module-replaced", lambda: bucket.read_from_proto(message(Message.BUCKET)), Boom,
     extractor=types.SimpleNamespace(read_from_proto=boom))
case("factory-extractor-without-field-name", lambda: bucket.read_from_proto(message(Message.BUCKET)),
     AttributeError, extractor=types.SimpleNamespace(read_from_proto=lambda m: NoFieldName()))
case("factory-class-replaced", lambda: bucket.read_from_proto(message(Message.STRING)), Boom, StringBucket=boom)
case("factory-class-missing", lambda: bucket.read_from_proto(message(Message.DIRECT)), NameError,
     ValueBucket=DELETED)
case("factory-dict-replaced", lambda: bucket.read_from_proto(message(Message.CATEGORY, string_buckets=["a"])),
     Boom, create_category_dict=boom)
case("factory-messages-replaced", lambda: bucket.read_from_proto(message(Message.BUCKET)), AttributeError,
     row_handler_pb2=types.SimpleNamespace())
case("factory-type-hostile", lambda: bucket.read_from_proto(message(Message.BUCKET)), Boom,
     row_handler_pb2=types.SimpleNamespace(Bucket=types.SimpleNamespace(STRING=Hostile())))
case("factory-print-fails", lambda: bucket.read_from_proto(message(Message.BUCKET)), Boom, print=boom)

# Method objects as functions: pickled, copied and weakly referenced.
case("method-pickle-copy-weakref", lambda: (
    pickle.loads(pickle.dumps(bucket.Bucket._bucketize_value)), copy.deepcopy(bucket.read_from_proto),
    weakref.ref(bucket.BaseBucket.bucketize)(), bucket.BaseBucket._increment.__text_signature__))
# Counts through a _distro that hands out a new list on each read.
case("count-through-rotating-distro", lambda: counted(
    lambda: rng(cls=type("Rotating", (Range,), {"_distro": property(
        lambda self: list(self.__dict__["_kept"]),
        lambda self, value: self.__dict__.__setitem__("_kept", value))})), 5, None, 50))


# Whole columns: each kind through the fast loop and through per-value
# calls, Arrow (ctypes) and buffers, the values that take the call, errors.
def rows_out(n, width):
    return memoryview(array.array("d", [0.0] * (n * width))).cast("B").cast("d", (n, width))


def encode_all():
    floats = [5.0, None, 25.0, math.nan]
    columns.encode(rng(), CArrow(b"g", floats), rows_out(4, 5))
    columns.encode(rng(), array.array("d", [5.0, 50.0]), rows_out(2, 5), mask=memoryview(b"\0\1").cast("?"))
    columns.encode(strings(), CArrow(b"u", ["red", None, "x"]), rows_out(3, 5))
    columns.encode(strings(), ["red", Text("red"), Decimal(1)], rows_out(3, 5))
    columns.encode(boolean(), CArrow(b"b", [True, None]), rows_out(2, 3))
    columns.encode(direct(), CArrow(b"l", [1, 2 ** 60, None]), rows_out(3, 2))
    columns.encode(categorical(none_value=4), CArrow(b"u", ["red", "blue", None, "x"]), rows_out(4, 1))
    ids, offsets = array.array("q", [0] * 8), array.array("q", [0] * 5)
    columns.encode(simple(), ["red", ["green", None], (), {}], (ids, offsets))
    return columns.fast_path(rng(), [Decimal(1)]), columns.scan_rows(b'a,"b\n"\nc', True)


class Text(str):
    pass


case("columns-every-kind", encode_all)
case("columns-per-value-calls", encode_all, FAST_MODE=True)
case("columns-raise-mid-column", lambda: columns.encode(rng(), [1.0, "x", 2.0], rows_out(3, 5)),
     bucket.BadAttributeError)
case("columns-raise-mid-arrow", lambda: columns.encode(boolean(), CArrow(b"g", [1.0]), rows_out(1, 3)),
     bucket.BadAttributeError)
case("columns-result-does-not-convert",
     lambda: columns.encode(direct(False), [1.5, 2j], rows_out(2, 1)), TypeError)
case("columns-unhashable", lambda: columns.encode(strings(), [[1]], rows_out(1, 5)), TypeError)
case("columns-ids-too-few", lambda: columns.encode(simple(), [["a", "b"]], (array.array("q", [0]),
                                                                          array.array("q", [0, 0]))), ValueError)
case("columns-wrong-shape", lambda: columns.encode(rng(), [1.0], rows_out(1, 4)), ValueError)
case("columns-arrow-format", lambda: columns.encode(rng(), CArrow(b"z", []), rows_out(0 + 1, 5)), TypeError)
case("columns-not-a-bucket", lambda: columns.encode(object(), [], None), TypeError)


def once(call, expect, text):
    if expect is None:
        call()
        return
    try:
        call()
    except expect as error:
        if text is not None and str(error) != text:
            raise AssertionError("%r raised %r, not %r" % (call, str(error), text))
    else:
        raise AssertionError("%r did not raise %s" % (call, expect.__name__))


def growth(call, expect, text, rounds):
    """The growth of the reference and block counts over `rounds` rounds."""
    for _ in range(WARM_UP):
        once(call, expect, text)
    gc.collect()
    # The collections then pass over the rounds' own objects only, not the
    # whole suite's: after a long run they would take most of the time.
    gc.freeze()
    try:
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(rounds):
            once(call, expect, text)
        gc.collect()
        return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks
    finally:
        gc.unfreeze()


def apply(monkeypatch, patch):
    # Output goes nowhere: pytest's capture would keep every line.
    monkeypatch.setattr(sys, "stdout", Sink())
    for name, value in patch.items():
        if value is DELETED:
            monkeypatch.delattr(bucket, name)
        else:
            monkeypatch.setattr(bucket, name, value, raising=False)


@pytest.mark.parametrize("call, expect, text, patch", SCENARIOS)
def test_no_growth(call, expect, text, patch, monkeypatch):
    if not MEASURED:
        if REQUIRED:
            pytest.fail("the leak tests need a debug interpreter (sys.gettotalrefcount)")
        pytest.skip("needs a debug interpreter")
    apply(monkeypatch, patch)
    refs, blocks = growth(call, expect, text, ROUNDS)
    assert refs < LIMIT and blocks < LIMIT, (refs, blocks)
