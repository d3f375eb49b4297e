import pytest

from tarvello.custom.model_data import extractor
from tarvello.custom.model_data.extractor import DATA_TYPES, FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2


@pytest.mark.parametrize("made, row, value", [
    (FieldExtractor("age", "FLOAT"), {"age": 4.5, "x": 1}, 4.5),
    # Values pass through as they are: no conversion to the declared type.
    (FieldExtractor("age", "FLOAT"), {"age": "4.5"}, "4.5"),
    (FieldExtractor("alone", "BOOL"), {"alone": None}, None),
    (FieldExtractor("age", "FLOAT", 1), ("x", None, 3), None),
    (FieldExtractor("age", "INT", 0), [7, 8], 7),
    # With a position the key is not read, even from a mapping.
    (FieldExtractor("age", "INT", 0), {"age": 1, 0: 2}, 2),
])
def test_extract(made, row, value):
    got = made.extract(row)
    assert got == value and type(got) is type(value)


def test_missing_key_raises_key_error_unchanged():
    with pytest.raises(KeyError) as info:
        FieldExtractor("age").extract({"name": "x"})
    assert info.value.args == ("age",)


@pytest.mark.parametrize("args, error, text", [
    ((5,), TypeError, "field_name"),
    ((b"age",), TypeError, "field_name"),
    ((None,), TypeError, "field_name"),
    (("",), ValueError, "field_name"),
    (("age", "DOUBLE"), ValueError, "STRING, FLOAT, INT, BOOL"),
    (("age", "float"), ValueError, "STRING, FLOAT, INT, BOOL"),
    (("age", None), ValueError, "data_type"),
    (("age", "FLOAT", True), TypeError, "position"),
    (("age", "FLOAT", "1"), TypeError, "position"),
    (("age", "FLOAT", 1.0), TypeError, "position"),
    (("age", "FLOAT", -1), ValueError, "position"),
])
def test_bad_construction_arguments(args, error, text):
    with pytest.raises(error, match=text):
        FieldExtractor(*args)


@pytest.mark.parametrize("data_type", DATA_TYPES)
def test_texts(data_type):
    e = FieldExtractor("age", data_type)
    assert e.data_type_string() == data_type
    assert e.description() == "age:" + data_type
    assert repr(e) == "FieldExtractor('age', '%s')" % data_type
    assert repr(FieldExtractor("a", data_type, 2)) == "FieldExtractor('a', '%s', 2)" % data_type


@pytest.mark.parametrize("other", [
    FieldExtractor("agе", "FLOAT"),     # Cyrillic e: a different name
    FieldExtractor("age", "INT"),
    FieldExtractor("age", "FLOAT", 0),
])
def test_equality_needs_all_three_attributes(other):
    made = FieldExtractor("age", "FLOAT")
    assert made == FieldExtractor("age", "FLOAT")
    assert hash(made) == hash(FieldExtractor("age", "FLOAT"))
    assert made != other
    assert len({made, other}) == 2


def test_not_equal_to_another_class():
    class Other(FieldExtractor):
        pass
    assert FieldExtractor("age") != Other("age")
    assert FieldExtractor("age") != ("age", "STRING", None)


def test_message_fields():
    message = FieldExtractor("fare", "FLOAT").to_proto()
    assert isinstance(message, row_handler_pb2.Extractor)
    assert (message.field_name, message.data_type) == ("fare", row_handler_pb2.Extractor.FLOAT)
    assert not message.HasField("position")
    assert FieldExtractor("fare", "FLOAT", 0).to_proto().HasField("position")
    assert FieldExtractor("sex").to_proto().data_type == row_handler_pb2.Extractor.STRING


@pytest.mark.parametrize("made", [
    FieldExtractor("age", "FLOAT"),
    FieldExtractor("sex", "STRING", 0),
    FieldExtractor("pclass", "INT", 2 ** 40),
    FieldExtractor("alone", "BOOL", 7),
])
def test_message_round_trip(made):
    saved = made.to_proto().SerializeToString()
    rebuilt = extractor.read_from_proto(row_handler_pb2.Extractor.FromString(saved))
    assert rebuilt == made and rebuilt._position == made._position


@pytest.mark.parametrize("data_type, text", [
    (row_handler_pb2.Extractor.DATA_TYPE_UNSPECIFIED, "no data type"),
    (9, "unknown data type 9"),
])
def test_message_without_a_known_type_is_refused(data_type, text):
    with pytest.raises(ValueError, match=text):
        extractor.read_from_proto(row_handler_pb2.Extractor(field_name="age", data_type=data_type))
