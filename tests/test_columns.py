"""columns.encode against _bucketize_value called per value on an identical
bucket: the same rows bit for bit, counts, exception and position, for every
kind and input form; each guard's fallback; scan_rows against pyarrow's CSV
parser. Arrow arrays are also built with ctypes, so that interpreters without
pyarrow (the debug interpreter, the matrix, armv6) run the Arrow path."""

import array
import ctypes
import math
import struct
import types
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from tarvello.custom.model_data import bucket, columns
from tarvello.custom.model_data.extractor import FieldExtractor

try:
    import numpy
except ImportError:
    numpy = None
try:
    import pyarrow
    import pyarrow.csv
except ImportError:
    pyarrow = None

PLAIN_BUILD = columns.fast_path(bucket.ValueBucket("v", FieldExtractor("v", "FLOAT")), [])[1] \
    == "this build has every fast path off"


# The Arrow C data interface, made with ctypes: each struct's release
# callback clears it, and each capsule's destructor releases what is left.
class ArrowSchema(ctypes.Structure):
    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class ArrowArray(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
CAPSULE_DESTRUCTOR = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
NAMES = {ArrowSchema: b"arrow_schema", ArrowArray: b"arrow_array"}


def _releaser(struct_type):
    @RELEASE
    def release(address):
        ctypes.cast(address, ctypes.POINTER(struct_type)).contents.release = None

    @CAPSULE_DESTRUCTOR
    def destroy(capsule):
        c = ctypes.cast(_capsule_pointer(capsule, NAMES[struct_type]), ctypes.POINTER(struct_type)).contents
        if c.release:
            RELEASE(c.release)(ctypes.addressof(c))
    return release, destroy


RELEASERS = {t: _releaser(t) for t in NAMES}


class CArrow:
    """An Arrow array of float64 (g), int64 (l), bool (b) or utf8 (u, U) held
    in ctypes buffers, one element of padding before them (offset 1)."""

    def __init__(self, format, values):
        self.format, self.values, self.released = format, list(values), []
        n = len(self.values) + 1
        present = [False] + [v is not None for v in self.values]
        self.validity = (ctypes.c_uint8 * ((n + 7) // 8))()
        for i, p in enumerate(present):
            self.validity[i // 8] |= p << (i % 8)
        filled = [0] + [0 if v is None else v for v in self.values]
        if format == b"g":
            self.data = (ctypes.c_double * n)(*filled)
        elif format == b"l":
            self.data = (ctypes.c_int64 * n)(*filled)
        elif format == b"b":
            self.data = (ctypes.c_uint8 * ((n + 7) // 8))()
            for i, v in enumerate(filled):
                self.data[i // 8] |= bool(v) << (i % 8)
        else:
            encoded = [b"" if v is None or v == 0 else v.encode("utf-8", "surrogatepass") for v in filled]
            ends = [0]
            for text in encoded:
                ends.append(ends[-1] + len(text))
            self.data = ((ctypes.c_int32 if format == b"u" else ctypes.c_int64) * (n + 1))(*ends)
            self.chars = ctypes.create_string_buffer(b"".join(encoded) or b"\0")
        self.structs = []

    def __arrow_c_array__(self, requested_schema=None):
        schema = ArrowSchema(format=self.format, release=ctypes.cast(RELEASERS[ArrowSchema][0], ctypes.c_void_p))
        buffers = [ctypes.addressof(self.validity), ctypes.addressof(self.data)]
        if self.format in (b"u", b"U"):
            buffers.append(ctypes.addressof(self.chars))
        pointers = (ctypes.c_void_p * len(buffers))(*buffers)
        arr = ArrowArray(length=len(self.values), null_count=-1, offset=1, n_buffers=len(buffers),
                         buffers=pointers, release=ctypes.cast(RELEASERS[ArrowArray][0], ctypes.c_void_p))
        self.structs.append((schema, arr, pointers))
        return tuple(_new_capsule(ctypes.addressof(s), NAMES[type(s)], ctypes.cast(RELEASERS[type(s)][1], ctypes.c_void_p))
                     for s in (schema, arr))

    def all_released(self):
        return all(not s.release and not a.release for s, a, _ in self.structs)


ARROW_FORMATS = {"float": b"g", "int": b"l", "bool": b"b", "text": b"u"}
PA_TYPES = {"float": "float64", "int": "int64", "bool": "bool_", "text": "string"}
BUFFER_FORMATS = {"float": "d", "int": "q", "bool": "?"}


def as_buffer(domain, values):
    """A 1-D buffer of the values and the mask of their None."""
    mask = [v is None for v in values]
    filled = [False if v is None else v for v in values]
    if numpy is not None:
        dtype = {"float": numpy.float64, "int": numpy.int64, "bool": numpy.bool_}[domain]
        return numpy.array(filled, dtype), numpy.array(mask, numpy.bool_)
    as_bytes = memoryview(bytes(mask)).cast("?")
    if domain == "bool":
        return memoryview(bytes(filled)).cast("?"), as_bytes
    return array.array(BUFFER_FORMATS[domain], filled), as_bytes


def make_column(form, domain, values):
    """(values argument, mask argument) for one input form."""
    if form == "c-arrow":
        return CArrow(ARROW_FORMATS[domain], values), None
    if form == "pyarrow":
        return pyarrow.array(values, type=getattr(pyarrow, PA_TYPES[domain])()), None
    if form == "buffer":
        return as_buffer(domain, values)
    if form == "object-array":
        column = numpy.empty(len(values), object)
        column[:] = values
        return column, None
    return list(values), None


FORMS = {"float": ["c-arrow", "pyarrow", "buffer", "list", "object-array"],
         "int": ["c-arrow", "pyarrow", "buffer", "list", "object-array"],
         "bool": ["c-arrow", "pyarrow", "buffer", "list"],
         "text": ["c-arrow", "pyarrow", "list", "object-array"],
         "object": ["list", "object-array"]}


def available(form):
    return not ((form == "pyarrow" and pyarrow is None) or (form == "object-array" and numpy is None))


class Text(str):
    pass


WORDS = ["red", "green", "", "é", "blue"]
DOMAINS = {
    "float": st.one_of(st.none(), st.floats(), st.sampled_from([-0.0, 0.0, math.inf, -math.inf, 30.0, 2.0 ** 60])),
    "int": st.one_of(st.none(), st.integers(-40, 40), st.sampled_from(
        [2 ** 53, 2 ** 53 + 1, -2 ** 53 - 1, 2 ** 63 - 1, -2 ** 63, 2 ** 60 + 1])),
    "bool": st.one_of(st.none(), st.booleans()),
    "text": st.one_of(st.none(), st.sampled_from(WORDS)),
    "object": st.one_of(st.none(), st.booleans(), st.floats(), st.integers(-3, 3), st.sampled_from(
        WORDS + [2 ** 64, Text("red"), Decimal("2.5"), 1j, float("nan"), ["red", 2], ("green",), [], {}, [[]]])),
}

FLOATS = st.sampled_from([0.5, 10.0, 20.0, 30.0, -1.0, float("nan")])
BOUNDS = st.lists(st.one_of(FLOATS, st.sampled_from([1, 20, 2 ** 60, True])), max_size=6)
KEYS = st.sampled_from(WORDS + [None, 1, 2.5, True, 0])


def categorical(name, data_type, keys, none_value):
    return bucket.CategoricalBucket(name, FieldExtractor(name, data_type), 0, None if keys is None else
                                    {k: i for i, k in enumerate(keys)}, none_value)


KINDS = {
    "Bucket": st.builds(lambda b, h: (lambda: bucket.Bucket("r", FieldExtractor("r", "FLOAT"), list(b), h)),
                        st.one_of(BOUNDS.map(sorted), BOUNDS), st.booleans()),
    "StringBucket": st.builds(lambda k, h: (lambda: bucket.StringBucket("s", FieldExtractor("s"), list(k), h)),
                              st.lists(KEYS, max_size=5), st.booleans()),
    "BooleanBucket": st.builds(lambda h: (lambda: bucket.BooleanBucket("b", FieldExtractor("b", "BOOL"), h)),
                               st.booleans()),
    "ValueBucket": st.builds(lambda h, d: (lambda: bucket.ValueBucket("v", FieldExtractor("v", "FLOAT"), h, d)),
                             st.booleans(), st.sampled_from([None, 0, 2.5, 2 ** 70, "n/a"])),
    "CategoricalBucket": st.builds(lambda t, k, n: (lambda: categorical("c", t, k, n)),
                                   st.sampled_from(["STRING", "FLOAT", "INT"]), st.lists(KEYS, max_size=5),
                                   st.sampled_from([None, -2, 2.5])),
    "SimpleCategoricalBucket": st.builds(
        lambda k: (lambda: bucket.SimpleCategoricalBucket("i", FieldExtractor("i"), list(k))),
        st.lists(KEYS, max_size=5)),
}


def row_bytes(row):
    return b"".join(struct.pack("d", math.nan if x is None else float(x)) for x in row)


def per_value(b, values):
    """The per-value results up to the first error, and that error: one the
    call raises, or (its text left open) a result element that out refuses."""
    results = []
    for i, v in enumerate(values):
        try:
            result = b._bucketize_value(v)
        except Exception as error:
            return results, (i, type(error), str(error))
        if not isinstance(b, bucket.SimpleCategoricalBucket):
            try:
                row_bytes(result)
            except TypeError:
                return results, (i, TypeError, None)
        results.append(result)
    return results, None


def width_of(b):
    if isinstance(b, bucket.ValueBucket):
        return 2 if b._has_null else 1
    if isinstance(b, (bucket.CategoricalBucket, bucket.SimpleCategoricalBucket)):
        return 1
    return len(b._out_buckets[0])


def encoded(b, column, n, mask=None):
    """columns.encode into fresh output: (written rows or ids, error)."""
    error = None
    if isinstance(b, bucket.SimpleCategoricalBucket):
        ids, offsets = array.array("q", [7] * (4 * n + 4)), array.array("q", [-5] * (n + 1))
        try:
            count = columns.encode(b, column, (ids, offsets), mask=mask)
            assert count == offsets[n]
        except Exception as e:
            error = e
        return ids, offsets, error
    w = width_of(b)
    # One row more than asked for, which must stay untouched.
    out = array.array("d", [-7.0] * ((n + 1) * w))
    view = memoryview(out).cast("B").cast("d", (n + 1, w))[:n]
    try:
        columns.encode(b, column, view, mask=mask)
    except Exception as e:
        error = e
    return out, w, error


def check_same(make, values, column, mask=None):
    ref, cut = make(), make()
    results, failed = per_value(ref, values)
    stop = failed[0] if failed else len(values)
    got = encoded(cut, column, len(values), mask)
    error = got[-1]
    if failed:
        text = str(error) if failed[2] is not None else None
        assert (type(error), text, getattr(error, "position", None)) == (failed[1], failed[2], stop)
    else:
        assert error is None, error
    if isinstance(cut, bucket.SimpleCategoricalBucket):
        ids, offsets, _ = got
        assert list(offsets[:stop + 1]) == [0] + [sum(len(r) for r in results[:i + 1]) for i in range(stop)]
        assert list(ids[:offsets[stop]]) == [x for r in results for x in r]
    else:
        out, w, _ = got
        assert out.tobytes()[:stop * w * 8] == b"".join(row_bytes(r) for r in results)
        assert out.tobytes()[stop * w * 8:] == struct.pack("d", -7.0) * (w * (len(values) + 1 - stop))
    assert (cut._distro, cut._total) == (ref._distro, ref._total)
    return cut


@settings(max_examples=400, deadline=None)
@given(st.data())
def test_columns_as_per_value(data):
    kind = data.draw(st.sampled_from(sorted(KINDS)))
    make = data.draw(KINDS[kind])
    domain = data.draw(st.sampled_from(sorted(DOMAINS)))
    form = data.draw(st.sampled_from([f for f in FORMS[domain] if available(f)]))
    values = data.draw(st.lists(DOMAINS[domain], max_size=12))
    column, mask = make_column(form, domain, values)
    try:
        make()
    except Exception:
        return
    check_same(make, values, column, mask)
    if isinstance(column, CArrow):
        assert column.all_released()


def plain_buckets():
    f = FieldExtractor("x", "FLOAT")
    return {
        "Bucket": (lambda: bucket.Bucket("r", f, [10.0, 20.0, 30.0]), [5.0, 25.0, None, math.nan]),
        "StringBucket": (lambda: bucket.StringBucket("s", FieldExtractor("s"), ["red", "green"]),
                         ["red", None, "blue"]),
        "BooleanBucket": (lambda: bucket.BooleanBucket("b", FieldExtractor("b", "BOOL")), [True, None, False]),
        "ValueBucket": (lambda: bucket.ValueBucket("v", f), [1.5, None, -0.0]),
        "CategoricalBucket": (lambda: categorical("c", "STRING", ["red", "green"], -2), ["green", None, "x"]),
        "SimpleCategoricalBucket": (lambda: bucket.SimpleCategoricalBucket("i", FieldExtractor("i"),
                                                                           ["red", None]), ["red", None, "x"]),
    }


@pytest.mark.parametrize("kind", sorted(plain_buckets()))
def test_plain_buckets_take_the_fast_loop(kind):
    make, values = plain_buckets()[kind]
    domain = {"Bucket": "float", "ValueBucket": "float", "BooleanBucket": "bool"}.get(kind, "text")
    for form in filter(available, FORMS[domain]):
        column, mask = make_column(form, domain, values)
        fast, reason = columns.fast_path(make(), column)
        assert fast is not PLAIN_BUILD, (form, reason)
        check_same(make, values, column, mask)


class OwnBucketizeValue(bucket.Bucket):
    def _bucketize_value(self, value):
        return self._out_buckets[-1]


class DistroProperty(bucket.ValueBucket):
    _distro = property(lambda self: self.__dict__["kept"], lambda self, v: self.__dict__.__setitem__("kept", v))


class OwnIncrement(bucket.StringBucket):
    def _increment(self, index):
        self._total += 10


class OwnDataType(FieldExtractor):
    def data_type_string(self):
        return "FLOAT"


def tagged(make, **attrs):
    def made():
        b = make()
        for name, value in attrs.items():
            setattr(b, name, value)
        return b
    return made


F, S = FieldExtractor("x", "FLOAT"), FieldExtractor("s")
GUARDS = [
    ("overriding subclass", lambda: OwnBucketizeValue("r", F, [1.0, 2.0]), [1.5, None],
     "OwnBucketizeValue._bucketize_value is overridden", {}),
    ("_distro property", lambda: DistroProperty("v", F), [1.5, None], "_distro", {}),
    ("own _increment", lambda: OwnIncrement("s", S, ["red"]), ["red", "x"], "_increment is not BaseBucket's", {}),
    ("_distro a tuple", tagged(lambda: bucket.Bucket("r", F, [1.0]), _distro=(0, 0, 0)), [0.5], "exact list", {}),
    ("instance attribute", tagged(lambda: bucket.BooleanBucket("b", S), _bucketize_value=lambda v: [v] * 3),
     [True], "set on the instance", {}),
    ("FAST_MODE true", lambda: bucket.Bucket("r", F, [1.0]), ["x", 2.0], "FAST_MODE is true", {"FAST_MODE": True}),
    ("Number replaced", lambda: bucket.ValueBucket("v", F), [1.5, 2], "Number", {"Number": int}),
    ("bisect replaced", lambda: bucket.Bucket("r", F, [1.0, 2.0]), [1.5, 3.0], "bisect",
     {"bisect": types.SimpleNamespace(bisect=lambda seq, v: 0)}),
    ("own data_type_string", lambda: categorical("c", "STRING", ["a"], None), ["a", 2.5], "data_type_string", {}),
    ("unplain map key", lambda: bucket.StringBucket("s", S, [Decimal(1), "a"]), ["a", "b"], "key", {}),
]


@pytest.mark.parametrize("name, make, values, reason, patch", GUARDS, ids=[g[0] for g in GUARDS])
def test_each_guard_falls_back(name, make, values, reason, patch, monkeypatch):
    for global_name, value in patch.items():
        monkeypatch.setattr(bucket, global_name, value)
    if name == "own data_type_string":
        make = tagged(make, _extractor=OwnDataType("c"))
    fast, why = columns.fast_path(make(), values)
    assert not fast and (PLAIN_BUILD or reason in why), why
    check_same(make, values, values)


def edited_rows(b, misplaced_only=False):
    """Rows one-hot at another index, with -0.0, with two ones."""
    rest = [0.0] * (len(b._out_buckets[0]) - 3)
    rows = [[0.0, 0.0, 1.0] + rest, [0.0, 2.5, -0.0] + rest, [1.0, 0.0, 1.0] + rest]
    b._out_buckets[1:4] = rows[:1] if misplaced_only else rows
    return b


MANY_WORDS = ["w%d" % i for i in range(300)]
LONG_WORDS = ["red", "light grey", "dark olive green", "é" * 5]
# Columns over several of the loops' blocks, with the shapes that choose
# their paths: many short keys (no slot of their own each), keys or text
# longer than a word, one-hot rows edited, many boundaries, a value that
# raises deep in a block.
SHAPES = {
    "range, a bad value late": (lambda: bucket.Bucket("r", F, [0.5, 1.5, 2.5]), "object",
                                [0.1 * i for i in range(300)] + [math.nan, "x", 1.0]),
    "range, 5 boundaries": (lambda: bucket.Bucket("r", F, [0.5, 1.5, 2.5, 3.5, 4.5]), "float",
                            [0.02 * i for i in range(300)] + [None, math.nan, math.inf, -math.inf]),
    "range, 100 boundaries": (lambda: bucket.Bucket("r", F, [i / 2 for i in range(100)]), "float",
                              [i * 0.3 - 3 for i in range(300)] + [None, 49.5, math.nan]),
    "range, 200 boundaries": (lambda: bucket.Bucket("r", F, [float(i) for i in range(200)]), "float",
                              [i * 0.7 - 3 for i in range(400)] + [None, math.inf, -0.0]),
    "range, edited rows": (lambda: edited_rows(bucket.Bucket("r", F, [1.0, 2.0, 3.0])), "float",
                           [0.5, 1.5, 2.5, 3.5, None] * 70),
    "range, a row one-hot elsewhere": (lambda: edited_rows(bucket.Bucket("r", F, [1.0, 2.0]), True), "float",
                                       [0.5, 1.5, 2.5, None] * 70),
    "strings, many keys": (lambda: bucket.StringBucket("s", S, MANY_WORDS), "text",
                           [MANY_WORDS[i * 7 % 300] for i in range(280)] + ["w300", None, "w1"]),
    "strings, long keys": (lambda: bucket.StringBucket("s", S, LONG_WORDS), "text",
                           (LONG_WORDS + ["light gray", "re", "dark olive greens", None]) * 40),
    "categorical, long text": (lambda: categorical("c", "STRING", ["red", "blue", "é"], -2), "text",
                               ["red", "very long text here", "blue", None, "é", "é" * 9] * 50),
    "simple, long text": (lambda: bucket.SimpleCategoricalBucket("i", S, ["red", "blue"]), "text",
                          ["red", "light blue indeed", "blue", None, "x"] * 60),
    "boolean, a bad value late": (lambda: bucket.BooleanBucket("b", FieldExtractor("b", "BOOL")), "object",
                                  [True, False, None] * 90 + [1, True]),
}


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_long_columns_as_per_value(shape):
    make, domain, values = SHAPES[shape]
    for form in filter(available, FORMS[domain]):
        column, mask = make_column(form, domain, values)
        check_same(make, values, column, mask)


@pytest.mark.parametrize("kind", ["StringBucket", "SimpleCategoricalBucket"])
@pytest.mark.parametrize("text", ["\udc80", "light grey \udc80 and more"])
def test_arrow_text_that_is_not_utf8_raises_where_it_is(kind, text):
    values = ["red", "blue", "light grey"] * 70 + [text, "red"]
    b = getattr(bucket, kind)("s", S, ["red", "blue"])
    error = encoded(b, CArrow(b"u", values), len(values))[-1]
    assert isinstance(error, UnicodeDecodeError) and error.position == 210
    assert b._total == (0 if kind == "SimpleCategoricalBucket" else 210)


@pytest.mark.skipif(numpy is None, reason="needs numpy for a block of a wider matrix")
@pytest.mark.parametrize("make", [lambda: bucket.Bucket("r", F, [1.0, 2.0]),
                                  lambda: edited_rows(bucket.Bucket("r", F, [1.0, 2.0, 3.0]))])
def test_rows_of_a_wider_matrix_as_per_value(make):
    values = [0.5, None, 2.5, 1.5, 3.5] * 40
    ref, cut = make(), make()
    wide = numpy.full((len(values), 9), -7.0)
    columns.encode(cut, values, wide[:, 2:2 + len(cut._out_buckets[0])])
    expected = numpy.full_like(wide, -7.0)
    expected[:, 2:2 + len(ref._out_buckets[0])] = [ref._bucketize_value(v) for v in values]
    assert wide.tobytes() == expected.tobytes() and cut._distro == ref._distro


def test_a_value_of_another_type_takes_the_call_and_the_loop_goes_on():
    make = lambda: categorical("c", "INT", ["red", Decimal("2.5")], None)  # noqa: E731
    values = ["red", Decimal("2.5"), Text("red"), None, "blue"]
    fast, why = columns.fast_path(bucket.StringBucket("s", S, ["red"]), values)
    assert not fast and "Decimal at 1" in why or PLAIN_BUILD
    check_same(make, values, values)


def backwards_text():
    """Arrow text whose second element ends before it starts."""
    column = CArrow(b"u", ["ab", "c"])
    column.data[2] = 5
    return column


@pytest.mark.parametrize("call, error, text", [
    (lambda: columns.encode(bucket.Bucket("r", F, [1.0]), [1.0], array.array("d", [0.0] * 3)), ValueError, "rows"),
    (lambda: columns.encode(bucket.Bucket("r", F, [1.0]), CArrow(b"z", []), None), TypeError, "'z'"),
    (lambda: columns.encode(bucket.Bucket("r", F, [1.0]), ["a"], None, mask=b"\0"), TypeError, "mask"),
    (lambda: columns.encode(bucket.SimpleCategoricalBucket("i", S, ["a"]), [["a", "b", "c"], "a"],
                            (array.array("q", [0] * 3), array.array("q", [0] * 3))), ValueError, "up to 4"),
    (lambda: columns.encode(object(), [], None), TypeError, "kinds"),
    (lambda: columns.encode(bucket.Bucket("r", F, [1.0]), memoryview(b"ab"), None), TypeError, "format"),
    (lambda: columns.encode(bucket.StringBucket("s", S, ["a"]), backwards_text(), None), ValueError, "malformed"),
])
def test_refused_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_a_result_that_does_not_convert_raises_with_its_position():
    b = bucket.ValueBucket("v", F, False)
    out = memoryview(array.array("d", [0.0] * 3)).cast("B").cast("d", (3, 1))
    with pytest.raises(TypeError) as raised:
        columns.encode(b, [1.5, 2j, 3.0], out)
    assert raised.value.position == 1 and b._total == 2


# scan_rows: random texts, cut into blocks as a streaming reader does, parse
# into the same rows as the whole. Every row is read through pyarrow's
# invalid-row handler (more column names than any row has), whose row text
# shows where each row starts and ends: pyarrow then refuses no text but
# the empty one.
def arrow_rows(text):
    rows = []

    def keep(row):
        rows.append((row.actual_columns, row.text))
        return "skip"
    try:
        pyarrow.csv.read_csv(pyarrow.py_buffer(text), read_options=pyarrow.csv.ReadOptions(
            column_names=["c%d" % i for i in range(64)]), parse_options=pyarrow.csv.ParseOptions(
            newlines_in_values=True, invalid_row_handler=keep))
    except pyarrow.ArrowInvalid as refused:
        # The one text pyarrow refuses: none at all, which holds no rows.
        if text or "Empty CSV file" not in str(refused):
            raise
    return rows


def pieces(text, sizes):
    cut, rest, lines, rows = [], b"", 0, 0
    for at, size in enumerate(sizes + [len(text)]):
        rest += text[:size]
        text = text[size:]
        final = not text
        end, r, n = columns.scan_rows(rest, final=final)
        cut.append(rest[:end])
        rows, lines, rest = rows + r, lines + n, rest[end:]
        if final:
            assert not rest
            return cut, rows, lines


@pytest.mark.skipif(pyarrow is None, reason="needs pyarrow")
@settings(max_examples=300, deadline=None)
# Runs longer than a machine word, which the scan skips a word at a time.
@given(st.lists(st.sampled_from(['a', 'b', ' ', ',', '"', '\n', '\r', 'abcdefghij klmnopq']), max_size=40)
       .map(lambda parts: "".join(parts).encode()), st.lists(st.integers(0, 30), max_size=8))
def test_scan_rows_cuts_where_pyarrow_ends_rows(text, sizes):
    cut, rows, lines = pieces(text, sizes)
    whole = arrow_rows(text)
    assert [row for piece in cut if piece for row in arrow_rows(piece)] == whole
    assert rows == len(whole)
    assert lines == text.count(b"\n") + text.count(b"\r") - text.count(b"\r\n")


@pytest.mark.parametrize("data, final, expected", [
    (b'a,b\n"c\nd",e\nf', False, (12, 2, 3)),
    (b'a,b\n"c\nd",e\nf', True, (13, 3, 3)),
    (b"a\n\n\r\nb\r", False, (2, 1, 1)),
    (b"a\n\n\r\nb\r", True, (7, 2, 4)),
    (b'x"y,"z""\n"\nw', False, (11, 1, 2)),
    (b'"', True, (1, 1, 0)),
])
def test_scan_rows_cases(data, final, expected):
    assert columns.scan_rows(data, final) == expected


def test_a_list_shortened_by_a_call_is_refused_where_it_happened():
    values = [1.0, 2.0, 3.0]

    class Shortening(bucket.ValueBucket):
        def _bucketize_value(self, value):
            del values[1:]
            return [value, 0.0]
    out = memoryview(array.array("d", [0.0] * 6)).cast("B").cast("d", (3, 2))
    with pytest.raises(RuntimeError, match="shorter") as raised:
        columns.encode(Shortening("v", F), values, out)
    assert raised.value.position == 0 and out.tolist()[0] == [1.0, 0.0]
