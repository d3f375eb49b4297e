"""Extractors: pull one field's value out of a row, and save themselves."""

from .row_handler_proto import row_handler_pb2

DATA_TYPES = ("STRING", "FLOAT", "INT", "BOOL")


class FieldExtractor:
    """Reads one field of a row: a key of a mapping row, or a position of a
    sequence row when ``position`` is given. The value is passed on as it is.
    """

    def __init__(self, field_name, data_type="STRING", position=None):
        if not isinstance(field_name, str):
            raise TypeError("field_name must be a str, not %s" % type(field_name).__name__)
        if not field_name:
            raise ValueError("field_name must not be empty")
        if data_type not in DATA_TYPES:
            raise ValueError("data_type must be one of %s, not %r" % (", ".join(DATA_TYPES), data_type))
        if position is not None:
            if isinstance(position, bool) or not isinstance(position, int):
                raise TypeError("position must be an int or None, not %s" % type(position).__name__)
            if position < 0:
                raise ValueError("position must not be negative: %d" % position)
        self._field_name = field_name
        self._data_type = data_type
        self._position = position

    def extract(self, row):
        if self._position is None:
            return row[self._field_name]
        return row[self._position]

    def data_type_string(self):
        return self._data_type

    def description(self):
        return "%s:%s" % (self._field_name, self._data_type)

    def to_proto(self):
        message = row_handler_pb2.Extractor(
            field_name=self._field_name,
            data_type=row_handler_pb2.Extractor.DataType.Value(self._data_type))
        if self._position is not None:
            message.position = self._position
        return message

    def __repr__(self):
        if self._position is None:
            return "FieldExtractor(%r, %r)" % (self._field_name, self._data_type)
        return "FieldExtractor(%r, %r, %r)" % (self._field_name, self._data_type, self._position)

    def _key(self):
        return (self._field_name, self._data_type, self._position)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self):
        return hash(self._key())


def read_from_proto(message):
    """Rebuilds the FieldExtractor that ``to_proto`` wrote into ``message``."""
    names = row_handler_pb2.Extractor.DataType
    if message.data_type == row_handler_pb2.Extractor.DATA_TYPE_UNSPECIFIED:
        raise ValueError("extractor message for %r has no data type" % message.field_name)
    # Proto3 enums are open: a newer writer's type arrives as a bare number.
    if message.data_type not in names.values():
        raise ValueError("extractor message for %r has unknown data type %d"
                         % (message.field_name, message.data_type))
    position = message.position if message.HasField("position") else None
    return FieldExtractor(message.field_name, names.Name(message.data_type), position)
