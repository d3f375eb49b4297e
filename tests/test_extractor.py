import pytest

from tarvello.custom.model_data import extractor
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2


def test_reads_a_key_of_a_mapping_and_a_position_of_a_sequence():
    assert FieldExtractor("age", "FLOAT").extract({"age": 4.5, "x": 1}) == 4.5
    assert FieldExtractor("age", "FLOAT", 1).extract(("x", None, 3)) is None


def test_missing_key_raises_key_error_unchanged():
    with pytest.raises(KeyError) as info:
        FieldExtractor("age").extract({"name": "x"})
    assert info.value.args == ("age",)


@pytest.mark.parametrize("args, error", [
    ((5,), TypeError),
    (("",), ValueError),
    (("age", "DOUBLE"), ValueError),
    (("age", "FLOAT", True), TypeError),
    (("age", "FLOAT", "1"), TypeError),
    (("age", "FLOAT", -1), ValueError),
])
def test_bad_construction_arguments(args, error):
    with pytest.raises(error):
        FieldExtractor(*args)


def test_texts():
    e = FieldExtractor("age", "INT")
    assert (e.description(), e.data_type_string(), e._field_name) == ("age:INT", "INT", "age")
    assert repr(FieldExtractor("a", "BOOL", 2)) == "FieldExtractor('a', 'BOOL', 2)"


@pytest.mark.parametrize("made", [
    FieldExtractor("age", "FLOAT"),
    FieldExtractor("sex", "STRING", 0),
    FieldExtractor("alone", "BOOL", 7),
])
def test_message_round_trip(made):
    message = row_handler_pb2.Extractor()
    message.CopyFrom(made.to_proto())
    rebuilt = extractor.read_from_proto(message)
    assert rebuilt == made and rebuilt._position == made._position


def test_message_without_a_type_is_refused():
    with pytest.raises(ValueError):
        extractor.read_from_proto(row_handler_pb2.Extractor(field_name="age"))
