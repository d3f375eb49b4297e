import pytest

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2

ON = "\x1b[38;5;4m"
OFF = "\x1b[30;m"


class Labelled(bucket.BaseBucket):
    def __init__(self, n, labels=None):
        super().__init__("age", FieldExtractor("age", "FLOAT"), n)
        self.labels = labels or [chr(ord("a") + i) for i in range(n)]
        self.asked = []

    def get_bucket_label(self, index):
        self.asked.append(index)
        return self.labels[index]


def counted(n, distro, **kw):
    b = Labelled(n, **kw)
    b._distro = list(distro)
    b._total = sum(distro)
    return b


def third(share, label):
    return "%s%2d%%%s %-6s" % (ON, share, OFF, label)


def second_last(share):
    return " < %s%2d%%%s" % (ON, share, OFF)


def last(label, share):
    return " | %s: %s%2d%%%s" % (label, ON, share, OFF)


# --- the distribution text -------------------------------------------------

@pytest.mark.parametrize("n, distro, pieces, asked", [
    (3, [1, 3, 0], [third(25, "a"), second_last(75), last("c", 0)], [0, 2]),
    (3, [0, 0, 0], [third(0, "a"), second_last(0), last("c", 0)], [0, 2]),
    (3, [1, 1, 1], [third(33, "a"), second_last(33), last("c", 33)], [0, 2]),
    (3, [1, 2, 0], [third(33, "a"), second_last(66), last("c", 0)], [0, 2]),
    (2, [1, 1], [second_last(50), last("b", 50)], [1]),
    (1, [4], [last("a", 100)], [0]),
    (0, [], [], []),
    (-3, [], [], []),
    (11, [1] * 10 + [90],
     [third(1, chr(ord("a") + i)) for i in range(9)] + [second_last(1)],
     list(range(9))),
    (12, [0] * 9 + [5] + [0, 0],
     [third(0, chr(ord("a") + i)) for i in range(9)] + [third(100, "j")],
     list(range(10))),
])
def test_distro_layouts(n, distro, pieces, asked):
    b = counted(n, distro)
    assert b.get_distro() == "(" + "".join(pieces) + ")"
    assert b.asked == asked


def test_distro_labels_are_padded_never_cut():
    b = counted(4, [3, 0, 0, 0], labels=["longer label", 7, "x", "y"])
    assert b.get_distro() == (
        "(" + ON + "100%" + OFF + " longer label" + ON + " 0%" + OFF + " 7     "
        + second_last(0) + last("y", 0) + ")")


def test_distro_with_nothing_counted_makes_no_division():
    b = Labelled(3)
    b._distro = None
    assert b.get_distro() == "(" + third(0, "a") + second_last(0) + last("c", 0) + ")"


def test_distro_shares_use_true_division_truncated():
    b = counted(3, [0, 0, 0])
    b._distro, b._total = [1, 2, 5], 7
    assert b.get_distro() == "(" + third(14, "a") + second_last(28) + last("c", 71) + ")"


def test_distro_reads_the_colours_at_each_piece(monkeypatch):
    class Switching(Labelled):
        def get_bucket_label(self, index):
            monkeypatch.setattr(bucket, "ANSI_ESCAPE", "#%d" % index)
            return "abc"[index]

    b = Switching(3)
    # The third layout reads its colours before the label, the last one after.
    assert b.get_distro() == (
        "(\x1b[38;5;4m 0%" + OFF + " a      < #038;5;4m 0%" + OFF
        + " | c: #238;5;4m 0%" + OFF + ")")


@pytest.mark.parametrize("n", [3, 2, 1])
def test_distro_without_labels_fails(n, capsys):
    b = bucket.BaseBucket("age", None, n)
    with pytest.raises(AttributeError, match="get_bucket_label"):
        b.get_distro()
    assert capsys.readouterr().out == ""


def test_distro_label_error_propagates():
    b = Labelled(3, labels=["a"])
    with pytest.raises(IndexError):
        b.get_distro()


# --- the short label -------------------------------------------------------

@pytest.mark.parametrize("name, n, text", [
    ("age", 3, "|       age|"),
    ("temperature_celsius", 3, "|temperatur|"),
    ("age", 1, "|ag|"),
    ("ab", 1, "|ab|"),
    ("", 2, "|      |"),
    ("temperature_celsius", 5, "|temperature_celsiu|"),
    ("age", 0, "|a |"),
    ("temperature", -1, "|tempe |"),
])
def test_short_label(name, n, text):
    b = bucket.BaseBucket(name, None, n)
    assert b.get_short_label() == text


def test_short_label_uses_the_current_count_and_name():
    b = bucket.BaseBucket("age", None, 3)
    b._remove_bucket()
    b._name = "weight"
    assert b.get_short_label() == "|weight|"


# --- the message -----------------------------------------------------------

def test_write_to_proto_sets_the_common_fields_only():
    e = FieldExtractor("age", "FLOAT", position=2)
    b = bucket.BaseBucket("age", e, 5)
    proto = row_handler_pb2.Bucket(has_null=True, float_buckets=[1.5])
    assert b.write_to_proto(proto) is None
    expected = row_handler_pb2.Bucket(name="age", bucket_count=5, has_null=True,
                                      float_buckets=[1.5], extractor=e.to_proto())
    assert proto == expected
    assert proto.bucket_type == row_handler_pb2.Bucket.BUCKET_TYPE_UNSPECIFIED
    assert not proto.HasField("none_value")


def test_write_to_proto_by_keyword_after_removal():
    b = bucket.BaseBucket("age", FieldExtractor("age"), 3)
    b._remove_bucket()
    proto = row_handler_pb2.Bucket()
    b.write_to_proto(proto=proto)
    assert (proto.name, proto.bucket_count) == ("age", 2)


class BrokenExtractor:
    def __init__(self, message):
        self.message = message

    def to_proto(self):
        if isinstance(self.message, Exception):
            raise self.message
        return self.message


@pytest.mark.parametrize("name, count, extractor, error, kept", [
    (5, 3, FieldExtractor("age"), TypeError, {}),
    ("age", "three", FieldExtractor("age"), TypeError, {"name": "age"}),
    ("age", 2 ** 70, FieldExtractor("age"), ValueError, {"name": "age"}),
    ("age", 3, BrokenExtractor(RuntimeError("gone")), RuntimeError,
     {"name": "age", "bucket_count": 3}),
    ("age", 3, BrokenExtractor(row_handler_pb2.Bucket()), TypeError,
     {"name": "age", "bucket_count": 3}),
    ("age", 3, object(), AttributeError, {"name": "age", "bucket_count": 3}),
])
def test_failing_field_keeps_the_earlier_fields(name, count, extractor, error, kept):
    b = bucket.BaseBucket.__new__(bucket.BaseBucket)
    b._name, b._total_buckets, b._extractor = name, count, extractor
    proto = row_handler_pb2.Bucket()
    with pytest.raises(error):
        b.write_to_proto(proto)
    # A CopyFrom that refuses its argument may leave the sub-message present
    # but empty, depending on the protobuf backend: that is the message's own.
    if proto.extractor.ByteSize() == 0:
        proto.ClearField("extractor")
    assert proto == row_handler_pb2.Bucket(**kept)


class Recorder:
    """A message stand-in that records what the writer does, in order."""

    def __init__(self, log):
        object.__setattr__(self, "log", log)

    def __setattr__(self, name, value):
        self.log.append(("set", name, value))

    def __getattr__(self, name):
        self.log.append(("get", name))
        return self

    def CopyFrom(self, message):
        self.log.append(("copy", message))


class LoggingExtractor:
    def __init__(self, log):
        self.log = log

    def to_proto(self):
        self.log.append(("to_proto",))
        return "message"


def test_write_to_proto_order():
    log = []
    b = bucket.BaseBucket("age", LoggingExtractor(log), 4)
    b.write_to_proto(Recorder(log))
    assert log == [("set", "name", "age"), ("set", "bucket_count", 4),
                   ("get", "extractor"), ("to_proto",), ("copy", "message")]
