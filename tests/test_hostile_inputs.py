import decimal
import math
import platform
import time
import types
from decimal import Decimal
from fractions import Fraction

import pytest

import bucket_model
from test_module_frame import run_python
from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

Message = row_handler_pb2.Bucket
EXTRACTOR = FieldExtractor("v", "FLOAT").to_proto()
HUGE = 10 ** 400
NAN = float("nan")


class Extractor:
    """An extractor whose every method is given by the test."""
    _field_name = "v"

    def __init__(self, extract=None, data_type_string=None, description=None, to_proto=None):
        self.extract = extract or (lambda row: row)
        self.data_type_string = data_type_string or (lambda: "FLOAT")
        self.description = description or (lambda: "v:FLOAT")
        self.to_proto = to_proto or (lambda: FieldExtractor("v", "FLOAT").to_proto())


KINDS = {
    "Bucket": lambda e: bucket.Bucket("b", e, [1.0, 2.0]),
    "StringBucket": lambda e: bucket.StringBucket("s", e, ["a", "b"]),
    "BooleanBucket": lambda e: bucket.BooleanBucket("o", e),
    "ValueBucket": lambda e: bucket.ValueBucket("v", e),
    "CategoricalBucket": lambda e: bucket.CategoricalBucket("c", e, 0, {"a": 0, 1.5: 1}),
    "SimpleCategoricalBucket": lambda e: bucket.SimpleCategoricalBucket("x", e, ["a"]),
}
# A value each kind takes, and what bucketize gives for it.
ACCEPTED = {
    "Bucket": (1.5, [0.0, 1.0, 0.0, 0.0]),
    "StringBucket": ("a", [1.0, 0.0, 0.0, 0.0]),
    "BooleanBucket": (True, [0.0, 1.0, 0.0]),
    "ValueBucket": (1.5, [1.5, 0.0]),
    "CategoricalBucket": (1.5, [1]),
    "SimpleCategoricalBucket": ("a", [0]),
}


def counts(b):
    return list(b._distro), b._total


class Refuse(Exception):
    pass


class OddIndex(int):
    def __index__(self):
        return 99

    def __eq__(self, other):
        raise Refuse("eq")

    __hash__ = int.__hash__


class OddFloat(float):
    def __float__(self):
        raise Refuse("float")


class OddLess(int):
    def __lt__(self, other):
        raise Refuse("lt")

    __gt__ = __lt__


class NoText:
    def __str__(self):
        raise Refuse("str")

    __repr__ = __str__


class Tag(str):
    pass


# --- extractors ---------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("error", [ValueError, Refuse, KeyboardInterrupt, SystemExit, GeneratorExit])
def test_extractor_that_raises_counts_nothing_and_prints_nothing(kind, error, capsys):
    def extract(row):
        raise error("no field")
    b = KINDS[kind](Extractor(extract))
    before = counts(b)
    with pytest.raises(error, match="no field"):
        b.bucketize({"v": 1})
    assert counts(b) == before and capsys.readouterr().out == ""


ODD_VALUES = {"str subclass": Tag("a"), "odd index": OddIndex(3), "odd float": OddFloat(1.5),
              "no text": NoText()}
# What bucketize gives for each odd value: an output, or the error's type.
ODD_RESULTS = {
    "Bucket": {"str subclass": bucket.BadAttributeError, "odd index": [0.0, 0.0, 1.0, 0.0],
               "odd float": [0.0, 1.0, 0.0, 0.0], "no text": bucket.BadAttributeError},
    "StringBucket": {"str subclass": [1.0, 0.0, 0.0, 0.0], "odd index": [0.0, 0.0, 1.0, 0.0],
                     "odd float": [0.0, 0.0, 1.0, 0.0], "no text": [0.0, 0.0, 1.0, 0.0]},
    "BooleanBucket": {"str subclass": bucket.BadAttributeError, "odd index": bucket.BadAttributeError,
                      "odd float": bucket.BadAttributeError, "no text": bucket.BadAttributeError},
    "ValueBucket": {"str subclass": bucket.BadAttributeError, "odd index": "same",
                    "odd float": "same", "no text": bucket.BadAttributeError},
    "CategoricalBucket": {"str subclass": bucket.BadAttributeError, "odd index": [-1],
                          "odd float": [1], "no text": bucket.BadAttributeError},
    "SimpleCategoricalBucket": {"str subclass": [0], "odd index": [-1], "odd float": [-1],
                                "no text": [-1]},
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("odd", ODD_VALUES)
def test_extractor_returning_odd_objects(kind, odd):
    value = ODD_VALUES[odd]
    b = KINDS[kind](Extractor())
    before = counts(b)
    expected = ODD_RESULTS[kind][odd]
    if isinstance(expected, type):
        with pytest.raises(expected) as raised:
            b.bucketize(value)
        assert raised.value._value is value and counts(b) == before
    else:
        result = b.bucketize(value)
        assert result == ([value, 0.0] if expected == "same" else expected)
        if kind not in ("SimpleCategoricalBucket",):
            assert sum(b._distro) == sum(before[0]) + 1


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("fast", [False, True])
def test_extractor_returning_the_bucket_itself(kind, fast, monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", fast)
    holder = {}
    b = KINDS[kind](Extractor(lambda row: holder["b"]))
    holder["b"] = b
    before = counts(b)
    expected = {"Bucket": bucket.BadAttributeError, "BooleanBucket": bucket.BadAttributeError,
                "ValueBucket": bucket.BadAttributeError, "CategoricalBucket": bucket.BadAttributeError}
    if fast:
        expected = {"Bucket": TypeError}
    if kind in expected:
        with pytest.raises(expected[kind]):
            b.bucketize(0)
        assert counts(b) == before
    else:
        result = b.bucketize(0)
        assert result == {"StringBucket": [0.0, 0.0, 1.0, 0.0], "BooleanBucket": [0.0, 1.0, 0.0],
                          "ValueBucket": [b, 0.0], "CategoricalBucket": [-1],
                          "SimpleCategoricalBucket": [-1]}[kind]


def raising():
    raise KeyboardInterrupt("interrupted")


class EqRaises(str):
    def __eq__(self, other):
        raise Refuse("eq")

    __hash__ = str.__hash__


@pytest.mark.parametrize("answer, error", [
    (raising, KeyboardInterrupt),
    (lambda: EqRaises("STRING"), Refuse),
    (lambda: types.SimpleNamespace(__eq__=None), None),
])
def test_data_type_string_that_fails_or_is_no_str(answer, error):
    b = KINDS["CategoricalBucket"](Extractor(data_type_string=answer))
    if error is None:
        assert b.bucketize("a") == [0] and b._distro == [0, 0, 1, 0]
    else:
        with pytest.raises(error):
            b.bucketize("a")
        assert b._distro == [0, 0, 0, 0]


@pytest.mark.parametrize("kind", ["BooleanBucket", "ValueBucket", "SimpleCategoricalBucket"])
@pytest.mark.parametrize("answer, error", [(raising, KeyboardInterrupt), (lambda: 5, TypeError),
                                           (lambda: None, TypeError)])
def test_description_that_fails_or_is_no_str(kind, answer, error):
    b = KINDS[kind](Extractor(description=answer))
    with pytest.raises(error):
        b.get_distro()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("answer, error", [(raising, KeyboardInterrupt), (lambda: 5, TypeError),
                                           (lambda: Message(), TypeError)])
def test_to_proto_that_fails_or_gives_another_message(kind, answer, error):
    proto = Message()
    with pytest.raises(error):
        KINDS[kind](Extractor(to_proto=answer)).write_to_proto(proto)
    assert proto.bucket_count == KINDS[kind](Extractor())._total_buckets and proto.name


@pytest.mark.parametrize("kind", KINDS)
def test_extractor_that_deletes_the_bucket_state(kind):
    holder = {}

    def extract(row):
        for name in list(vars(holder["b"])):
            if name != "_extractor":
                delattr(holder["b"], name)
        return ACCEPTED[kind][0]
    holder["b"] = b = KINDS[kind](Extractor(extract))
    with pytest.raises(AttributeError):
        b.bucketize(0)


@pytest.mark.parametrize("kind", [k for k in KINDS if k != "SimpleCategoricalBucket"])
def test_extractor_that_empties_the_counts(kind):
    holder = {}

    def extract(row):
        holder["b"]._distro = []
        return ACCEPTED[kind][0]
    holder["b"] = b = KINDS[kind](Extractor(extract))
    with pytest.raises(IndexError):
        b.bucketize(0)
    assert b._distro == [] and b._total == 0


def test_extractor_that_shortens_the_boundaries():
    boundaries = [1.0, 2.0, 3.0]

    def extract(row):
        del boundaries[1:]
        return row
    b = bucket.Bucket("b", Extractor(extract), boundaries)
    assert b.bucketize(2.5) == [0.0, 1.0, 0.0, 0.0, 0.0] and b._distro == [0, 1, 0, 0, 0]


# --- messages -----------------------------------------------------------

class Repeated(list):
    def __init__(self, error):
        list.__init__(self)
        self.error = error

    def append(self, value):
        if self.error:
            raise self.error("append")
        list.append(self, value)


class Sub:
    def __init__(self, error):
        self.error = error
        self.copied = None

    def CopyFrom(self, message):
        if self.error:
            raise self.error("copy")
        self.copied = message


class Recorder:
    """Takes every field as a plain attribute."""

    def __init__(self, append_error=None, copy_error=None):
        self.extractor = Sub(copy_error)
        for field in ("float_buckets", "int_buckets", "string_buckets", "bucket_fraction"):
            setattr(self, field, Repeated(append_error))


class Refusing:
    def __setattr__(self, name, value):
        raise Refuse(name)


def counted(kind):
    b = KINDS[kind](FieldExtractor("v", "FLOAT"))
    if kind != "SimpleCategoricalBucket":
        b._bucketize_value(ACCEPTED[kind][0])
    return b


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("proto, error", [(object(), AttributeError), (Refusing(), Refuse),
                                          (row_handler_pb2.Extractor(), AttributeError)])
def test_write_into_what_is_no_bucket_message(kind, proto, error):
    with pytest.raises(error):
        counted(kind).write_to_proto(proto)


@pytest.mark.parametrize("kind", KINDS)
def test_write_into_a_message_that_refuses_the_extractor(kind):
    proto = Recorder(copy_error=KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt):
        counted(kind).write_to_proto(proto)
    assert proto.name == {"Bucket": "b", "StringBucket": "s", "BooleanBucket": "o", "ValueBucket": "v",
                          "CategoricalBucket": "c", "SimpleCategoricalBucket": "x"}[kind]
    assert not hasattr(proto, "bucket_type")


WRITTEN = {
    "Bucket": {"float_buckets": [1.0, 2.0]},
    "StringBucket": {"string_buckets": ["a", "b"]},
    "BooleanBucket": {},
    "ValueBucket": {},
    "CategoricalBucket": {"string_buckets": ["a"], "float_buckets": [1.5],
                          "bucket_fraction": [0.0, 1.0, 0.0, 0.0]},
    "SimpleCategoricalBucket": {},
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("error", [None, Refuse])
def test_write_into_repeated_fields_that_refuse(kind, error):
    proto = Recorder(append_error=error)
    if error and WRITTEN[kind]:
        with pytest.raises(error):
            counted(kind).write_to_proto(proto)
        return
    assert counted(kind).write_to_proto(proto) is None
    for field in ("float_buckets", "int_buckets", "string_buckets", "bucket_fraction"):
        assert list(getattr(proto, field)) == WRITTEN[kind].get(field, [])


def refused_by_message(field, value):
    try:
        setattr(Message(), field, value)
    except Exception as error:
        return type(error)
    return None


@pytest.mark.parametrize("value", [HUGE, "x", 1j, NoText()])
@pytest.mark.parametrize("make", [
    lambda v: bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"), True, v),
    lambda v: bucket.CategoricalBucket("c", FieldExtractor("v", "FLOAT"), 0, {"a": 0}, v),
])
def test_none_value_the_message_refuses(make, value):
    proto = Message()
    with pytest.raises(refused_by_message("none_value", value)):
        make(value).write_to_proto(proto)
    assert proto.bucket_type in (Message.DIRECT, Message.CATEGORY) and not proto.HasField("none_value")


@pytest.mark.parametrize("value", [HUGE, "x", 1j])
def test_boundary_the_message_refuses(value):
    proto = Message()
    with pytest.raises(refused_by_message("none_value", value)):
        bucket.Bucket("b", FieldExtractor("v", "FLOAT"), [1.0, value]).write_to_proto(proto)
    assert list(proto.float_buckets) == [1.0]


def message(bucket_type, **fields):
    return Message(name="n", bucket_type=bucket_type, extractor=EXTRACTOR, **fields)


def state(b):
    attrs = vars(b)
    return (type(b).__name__, b._total_buckets,
            attrs.get("_buckets", attrs.get("_category_dict")),
            attrs.get("_has_none", attrs.get("_has_null")),
            attrs.get("_none_value", attrs.get("_default_value")))


@pytest.mark.parametrize("proto, expected", [
    (message(Message.BUCKET), ("Bucket", 1, [], False, None)),
    (message(Message.BUCKET, int_buckets=[1, 2], has_null=True), ("Bucket", 2, [], True, None)),
    (message(Message.STRING), ("StringBucket", 1, [], False, None)),
    (message(Message.STRING, string_buckets=["a", "a"]), ("StringBucket", 3, ["a", "a"], False, None)),
    (message(Message.DIRECT, has_null=True), ("ValueBucket", 2, None, True, None)),
    (message(Message.DIRECT, has_null=True, none_value=0.0), ("ValueBucket", 1, None, False, 0.0)),
    (message(Message.DIRECT, none_value=-math.inf), ("ValueBucket", 1, None, False, -math.inf)),
    (message(Message.BOOLEAN, has_null=True), ("BooleanBucket", 3, None, True, None)),
    (message(Message.CATEGORY, string_buckets=["a", "b"], int_buckets=[7], float_buckets=[1.5]),
     ("CategoricalBucket", 1, {"a": 0, "b": 1}, None, None)),
    (message(Message.CATEGORY, int_buckets=[2 ** 63 - 1, -2 ** 63], none_value=-0.0),
     ("CategoricalBucket", 1, {2 ** 63 - 1: 0, -2 ** 63: 1}, None, 0)),
    (message(Message.CATEGORY, int_buckets=[1], none_value=2.0 ** 80),
     ("CategoricalBucket", 1, {1: 0}, None, 2 ** 80)),
    (message(Message.CATEGORY, int_buckets=[1], none_value=2.5),
     ("CategoricalBucket", 1, {1: 0}, None, 2.5)),
], ids=lambda p: "" if isinstance(p, tuple) else None)
def test_hand_made_messages_rebuild(proto, expected, capsys):
    b = bucket.read_from_proto(proto)
    assert state(b) == expected
    assert type(state(b)[4]) is type(expected[4])
    assert capsys.readouterr().out == "bucket: %s\n" % b


def test_message_with_odd_boundaries_rebuilds_a_working_bucket():
    b = bucket.read_from_proto(message(Message.BUCKET, float_buckets=[-math.inf, -0.0, math.inf, 1e308]))
    got = [b._bucketize_value(v).index(1.0) for v in (-math.inf, -1.0, 0.0, 5.0, math.inf, NAN, None)]
    assert got == [1, 1, 2, 2, 4, 4, 0] and b._distro == [1, 2, 2, 0, 2]


def test_message_with_a_nan_category_and_none_value():
    b = bucket.read_from_proto(message(Message.CATEGORY, float_buckets=[NAN, 1.0], none_value=NAN))
    assert len(b._category_dict) == 2 and b._distro == [0] * 4
    none_index = b._bucketize_value(None)[0]
    assert math.isnan(none_index) and b._bucketize_value(float("nan")) == [-1] and b._bucketize_value(1.0) == [1]
    assert b._distro == [1, 1, 0, 1]


def test_message_with_repeated_category_names():
    b = bucket.read_from_proto(message(Message.CATEGORY, string_buckets=["a", "b", "a"]))
    b._extractor = FieldExtractor("v", "STRING")
    assert b._category_dict == {"a": 2, "b": 1} and b._bucketize_value("b") == [1]
    with pytest.raises(IndexError):
        b._bucketize_value("a")
    assert b._distro == [0, 0, 0, 1]


@pytest.mark.parametrize("proto, error, text", [
    (Message(), ValueError, "has no data type"),
    (Message(name="n", bucket_type=Message.BUCKET,
             extractor=row_handler_pb2.Extractor(field_name="v", data_type=9)), ValueError, "unknown data type 9"),
    (message(0), Exception, "^Bucket n of unknown type$"),
    (message(99), Exception, "^Bucket n of unknown type$"),
    (message(Message.CATEGORY, none_value=1.0), Exception, "^Category bucket n has no buckets$"),
])
def test_hand_made_messages_refused(proto, error, text, capsys):
    with pytest.raises(error, match=text) as raised:
        bucket.read_from_proto(proto)
    if error is Exception:
        assert type(raised.value) is Exception
    assert capsys.readouterr().out == ""


class Fields:
    def __init__(self, **fields):
        self.extractor = EXTRACTOR
        self.name = "n"
        self.__dict__.update(fields)

    def HasField(self, name):
        return name in self.__dict__


class Boom:
    def __eq__(self, other):
        raise Refuse("eq")


@pytest.mark.parametrize("proto, expected", [
    (Fields(bucket_type=Message.BUCKET, float_buckets=(x for x in [1.0, 2.0]), has_null=0),
     ("Bucket", 3, [1.0, 2.0], 0, None)),
    (Fields(bucket_type=Message.STRING, string_buckets={"b"}, has_null=[]), ("StringBucket", 2, ["b"], [], None)),
    (Fields(bucket_type=Message.CATEGORY, string_buckets=[], int_buckets=[5, 7, 5]),
     ("CategoricalBucket", 1, {5: 2, 7: 1}, None, None)),
    (Fields(bucket_type=Message.DIRECT, has_null=True, none_value="x"), ("ValueBucket", 1, None, False, "x")),
    (Fields(bucket_type=Boom()), Refuse),
    (Fields(bucket_type=Message.CATEGORY, string_buckets=[["a"]]), TypeError),
    (Fields(bucket_type=Message.CATEGORY, string_buckets=5), TypeError),
    (types.SimpleNamespace(extractor=EXTRACTOR, name="n", bucket_type=Message.DIRECT,
                           HasField=lambda name: 1 / 0), ZeroDivisionError),
    (types.SimpleNamespace(name="n"), AttributeError),
    (types.SimpleNamespace(extractor=5, name="n"), AttributeError),
    (object(), AttributeError),
], ids=lambda p: "" if isinstance(p, tuple) else None)
def test_objects_that_stand_in_for_a_message(proto, expected, capsys):
    if isinstance(expected, type):
        with pytest.raises(expected):
            bucket.read_from_proto(proto)
        assert capsys.readouterr().out == ""
    else:
        assert state(bucket.read_from_proto(proto)) == expected


class Compared:
    """A bucket_type that records what it is compared with."""

    def __init__(self, equal_to):
        self.equal_to = equal_to
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        return other == self.equal_to


@pytest.mark.parametrize("equal_to", [Message.STRING, Message.DIRECT, Message.BUCKET, Message.CATEGORY,
                                      Message.BOOLEAN, 99])
def test_kinds_are_tried_in_the_models_order(equal_to, capsys):
    def rebuild(read_from_proto):
        proto = Fields(bucket_type=Compared(equal_to), string_buckets=["a"], int_buckets=[],
                       float_buckets=[1.0], has_null=False)
        try:
            made = type(read_from_proto(proto)).__name__
        except Exception as error:
            made = str(error)
        return made, proto.bucket_type.seen

    assert rebuild(bucket.read_from_proto) == rebuild(bucket_model.read_from_proto)
    capsys.readouterr()


@pytest.mark.parametrize("values, expected", [
    ("abc", {"a": 0, "b": 1, "c": 2}), (b"ab", {97: 0, 98: 1}), ({"a": 1, "b": 2}, {"a": 0, "b": 1}),
    ((x for x in [1, 1.0, True]), {1: 2}), ([NAN, NAN], {NAN: 1}), ([HUGE, -HUGE], {HUGE: 0, -HUGE: 1}),
    (5, TypeError), ([{}], TypeError),
])
def test_create_category_dict_of_odd_iterables(values, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            bucket.create_category_dict(values)
    else:
        assert bucket.create_category_dict(values) == expected


def test_names_read_while_the_collector_hands_out_every_list():
    # Each ["name"] runs Python code that reads every list the collector
    # tracks: none of the module's lists may be seen half filled.
    out = run_python("""
        import gc
        from tarvello.custom.model_data import bucket
        from tarvello.custom.model_data.extractor import FieldExtractor

        class Walker(dict):
            def __getitem__(self, key):
                if key == "name":
                    for obj in gc.get_objects():
                        if type(obj) is list:
                            list(obj)
                return dict.__getitem__(self, key)

        b = bucket.CategoricalBucket("c", FieldExtractor("v"), 0)
        gc.callbacks.append(lambda phase, info: [list(o) for o in gc.get_objects() if type(o) is list])
        b.set_categories([Walker(name=n, count=3) for n in "abc"])
        print(b._category_dict)
    """)
    assert out == "categories for c: ['a', 'b', 'c']\n{'a': 0, 'b': 1, 'c': 2}\n"


# --- sizes --------------------------------------------------------------

EMULATED = platform.machine().startswith("arm")
MANY = 20000 if EMULATED else 1000000


def test_a_million_categories(monkeypatch):
    monkeypatch.setattr(bucket, "print", lambda line: None, raising=False)
    values = [{"name": i, "count": MANY - i} for i in range(MANY)]
    b = bucket.CategoricalBucket("c", FieldExtractor("v", "INT"), 0)
    start = time.perf_counter()
    b.set_categories(values)
    probes = range(0, MANY, 97)
    results = [b._bucketize_value(i) for i in probes]
    elapsed = time.perf_counter() - start
    assert len(b._category_dict) == MANY and len(b._distro) == MANY + 2
    assert results == [[i] for i in probes] and b._bucketize_value(-1) == [-1]
    assert sum(b._distro) == len(probes) + 1 and b._distro[1] == 1 and b._distro[MANY + 1] == 0
    assert b._distro[2 + 97] == 1 and b._distro[3] == 0
    assert EMULATED or elapsed < 10


def test_many_categories_round_trip(monkeypatch):
    monkeypatch.setattr(bucket, "print", lambda line: None, raising=False)
    many = MANY // 10
    b = bucket.CategoricalBucket("c", FieldExtractor("v", "STRING"), 0,
                                 {"k%d" % i: i for i in range(many)}, many)
    b._bucketize_value("k%d" % (many - 1))
    proto = Message()
    b.write_to_proto(proto)
    assert len(proto.string_buckets) == many and list(proto.bucket_fraction[-3:]) == [1.0, 0.0, 0.0]
    rebuilt = bucket.read_from_proto(proto)
    assert rebuilt._category_dict == b._category_dict and rebuilt._none_value == many


def test_many_simple_categories():
    many = MANY // 5
    b = bucket.SimpleCategoricalBucket("x", FieldExtractor("v"), list(range(many)))
    assert b._bucketize_value([many - 1, 0, many, 5, 0]) == [-1, 0, 5, many - 1]


LISTED = 200 if EMULATED else 2000


def test_thousands_of_boundaries():
    b = bucket.Bucket("b", FieldExtractor("v", "FLOAT"), [float(i) for i in range(LISTED)])
    width = LISTED + 2
    for i in range(0, LISTED, 7):
        row = b._bucketize_value(i + 0.5)
        assert len(row) == width and row[i + 1] == 1.0 and sum(row) == 1.0
        assert row is b._out_buckets[i + 1]
    assert b._bucketize_value(-1).index(1.0) == 0 and b._bucketize_value(None).index(1.0) == LISTED + 1
    assert b._total == len(range(0, LISTED, 7)) + 2 == sum(b._distro)


def test_thousands_of_strings():
    b = bucket.StringBucket("s", FieldExtractor("v"), [str(i) for i in range(LISTED)], False)
    for i in range(0, LISTED, 7):
        assert b._bucketize_value(str(i)).index(1.0) == i
    assert b._bucketize_value("none of them").index(1.0) == LISTED
    assert b._total_buckets == LISTED + 1 and b._distro[LISTED] == 1 and sum(b._distro) == b._total


# --- odd numbers --------------------------------------------------------

NUMBERS = {
    "nan": NAN, "inf": math.inf, "-inf": -math.inf, "-0.0": -0.0, "huge": HUGE, "-huge": -HUGE,
    "2**63": 2 ** 63, "True": True, "fraction": Fraction(3, 2), "decimal": Decimal("1.5"),
    "decimal nan": Decimal("NaN"), "complex": 1 + 2j, "odd less": OddLess(1), "odd float": OddFloat(1.5),
}
# Range bucket over [1.0, 2.0]: the index, or the error.
RANGE_INDEX = {
    "nan": 2, "inf": 2, "-inf": 0, "-0.0": 0, "huge": 2, "-huge": 0, "2**63": 2, "True": 1,
    "fraction": 1, "decimal": 1, "decimal nan": decimal.InvalidOperation, "complex": TypeError,
    "odd less": Refuse, "odd float": 1,
}


@pytest.mark.parametrize("number", NUMBERS)
def test_odd_numbers_as_range_values(number):
    b = bucket.Bucket("b", FieldExtractor("v", "FLOAT"), [1.0, 2.0])
    expected = RANGE_INDEX[number]
    if isinstance(expected, type):
        with pytest.raises(expected):
            b._bucketize_value(NUMBERS[number])
        assert counts(b) == ([0, 0, 0, 0], 0)
    else:
        assert b._bucketize_value(NUMBERS[number]).index(1.0) == expected
        assert b._distro[expected] == 1 and b._total == 1


@pytest.mark.parametrize("number", NUMBERS)
@pytest.mark.parametrize("fast", [False, True])
def test_odd_numbers_as_direct_and_boolean_values(number, fast, monkeypatch):
    monkeypatch.setattr(bucket, "FAST_MODE", fast)
    value = NUMBERS[number]
    direct = bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"))
    out = direct._bucketize_value(value)
    assert out[0] is value and out[1:] == [0.0] and direct._distro == [1, 0]
    boolean = bucket.BooleanBucket("o", FieldExtractor("v", "BOOL"))
    if fast or value is True:
        assert boolean._bucketize_value(value).index(1.0) == (1 if value else 0)
    else:
        with pytest.raises(bucket.BadAttributeError):
            boolean._bucketize_value(value)
        assert boolean._distro == [0, 0, 0]


def test_odd_numbers_as_category_values():
    nan = float("nan")
    b = bucket.CategoricalBucket("c", FieldExtractor("v", "FLOAT"), 0, {1.5: 0, HUGE: 1, nan: 2, 0.0: 3})
    got = [b._bucketize_value(v)[0] for v in (Fraction(3, 2), Decimal("1.5"), HUGE, nan, float("nan"),
                                               -0.0, 1j, True)]
    assert got == [0, 0, 1, 2, -1, 3, -1, -1] and b._distro == [0, 3, 2, 1, 1, 1]


@pytest.mark.parametrize("boundaries, values, indexes", [
    ([Fraction(1, 2), Decimal("1.5"), HUGE], [0, 1, 2, HUGE, HUGE + 1], [0, 1, 2, 3, 3]),
    ([NAN, 1.0], [0.0, 5.0], [1, 2]),
    ([-0.0, 0.0], [0.0, -0.0, -1e-300], [2, 2, 0]),
    ([True, 2 ** 64], [1, 2 ** 64 - 1, float(2 ** 64)], [1, 1, 2]),
])
def test_odd_numbers_as_boundaries(boundaries, values, indexes):
    b = bucket.Bucket("b", FieldExtractor("v", "FLOAT"), boundaries, False)
    assert [b._bucketize_value(v).index(1.0) for v in values] == indexes
    assert b._total == len(values)


@pytest.mark.parametrize("boundary, error", [(HUGE, OverflowError), (1j, TypeError), (NoText(), TypeError)])
def test_boundary_labels_that_cannot_be_formatted(boundary, error):
    b = bucket.Bucket("b", FieldExtractor("v", "FLOAT"), [boundary])
    with pytest.raises(error):
        b.get_distro()


@pytest.mark.parametrize("default", [NAN, -0.0, HUGE, Fraction(1, 3), Decimal("1.5"), 1j, True])
def test_odd_numbers_as_defaults(default):
    b = bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"), True, default)
    assert b._bucketize_value(None)[0] is default and b._distro == [1]
    proto = Message()
    refused = refused_by_message("none_value", default)
    if refused:
        with pytest.raises(refused):
            b.write_to_proto(proto)
    else:
        b.write_to_proto(proto)
        rebuilt = bucket.read_from_proto(proto)._default_value
        assert rebuilt == float(default) or math.isnan(rebuilt)


@pytest.mark.parametrize("fraction, dropped", [
    (NAN, False), (math.inf, False), (-math.inf, True), (-0.0, True), (HUGE, False), (-HUGE, True),
    (0.02, False), (Fraction(1, 50), True), (Decimal("0.02"), True), (Decimal("0.0200000000000000005"), False),
    (False, True), (OddLess(0), Refuse), (1j, TypeError), (Decimal("NaN"), decimal.InvalidOperation),
])
@pytest.mark.parametrize("kind", ["BooleanBucket", "ValueBucket"])
def test_odd_null_fractions(kind, fraction, dropped):
    b = KINDS[kind](FieldExtractor("v", "FLOAT"))
    buckets = b._total_buckets
    if isinstance(dropped, type):
        with pytest.raises(dropped):
            b.set_null_fraction(fraction)
        dropped = False
    else:
        assert b.set_null_fraction(fraction) is None
    assert b._has_null is (not dropped) and b._total_buckets == buckets - dropped


@pytest.mark.parametrize("count, categories", [
    (NAN, {}), (math.inf, {}), (True, {"b": 0}), (Fraction(1, 3), {"b": 0}),
    (2 ** 63, {"a": 0}), (-1, {"b": 0}), (5, {"a": 0, "b": 1}), (HUGE, OverflowError), (Decimal("1"), TypeError),
    (1j, TypeError), (-3, ZeroDivisionError),
])
def test_odd_numbers_as_counts(count, categories, monkeypatch):
    monkeypatch.setattr(bucket, "print", lambda line: None, raising=False)
    b = bucket.CategoricalBucket("c", FieldExtractor("v"), 0.3, {"z": 0})
    values = [{"name": "a", "count": count}, {"name": "b", "count": 3}]
    if isinstance(categories, type):
        with pytest.raises(categories):
            b.set_categories(values)
        assert b._category_dict == {"z": 0} and b._distro == [0, 0, 0]
    else:
        b.set_categories(values)
        assert b._category_dict == categories and b._distro == [0] * (len(categories) + 2)


def test_count_whose_comparison_raises_fails_after_the_categories_are_learned(monkeypatch):
    monkeypatch.setattr(bucket, "print", lambda line: None, raising=False)
    b = bucket.CategoricalBucket("c", FieldExtractor("v"), 0.3)
    with pytest.raises(Refuse):
        b.set_categories([{"name": "a", "count": OddLess(3)}, {"name": "b", "count": 3}])
    assert b._category_dict == {"a": 0, "b": 1} and b._distro == [0, 0, 0, 0]


@pytest.mark.parametrize("min_fraction, categories", [
    (NAN, {}), (-math.inf, {"a": 0, "b": 1}), (math.inf, {}), (Decimal("0.5"), {"b": 0}),
    (Fraction(1, 4), {"b": 0}), (HUGE, {}), (-HUGE, {"a": 0, "b": 1}),
    (1j, TypeError), (OddLess(0), {"a": 0, "b": 1}),
])
def test_odd_numbers_as_min_fractions(min_fraction, categories, monkeypatch):
    monkeypatch.setattr(bucket, "print", lambda line: None, raising=False)
    b = bucket.CategoricalBucket("c", FieldExtractor("v"), min_fraction)
    values = [{"name": "a", "count": 1}, {"name": "b", "count": 3}]
    if isinstance(categories, type):
        with pytest.raises(categories):
            b.set_categories(values)
        assert b._category_dict is None
    else:
        b.set_categories(values)
        assert b._category_dict == categories


@pytest.mark.parametrize("total, error", [(HUGE, OverflowError), (2 ** 64, OverflowError), (NAN, TypeError),
                                          (Decimal(2), TypeError), (Fraction(2), TypeError), (1j, TypeError)])
def test_odd_numbers_as_bucket_counts(total, error):
    with pytest.raises(error):
        bucket.BaseBucket("b", FieldExtractor("v"), total)


@pytest.mark.parametrize("total, rows", [(True, [[1.0]]), (False, []), (-HUGE // HUGE, []), (OddIndex(2), [[1.0, 0.0], [0.0, 1.0]])])
def test_bucket_counts_python_accepts(total, rows):
    b = bucket.BaseBucket("b", FieldExtractor("v"), total)
    assert b._out_buckets == rows and b._distro == [0] * len(rows) and b._total_buckets is total
