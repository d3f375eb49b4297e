"""Every bucket kind used with type hints: checked with mypy --strict against
the package's stubs (scripts/test.sh), and runnable."""
from typing import Any, Dict, List, Optional

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2


def encode(row: Dict[str, Any], buckets: List[bucket.BaseBucket]) -> List[float]:
    out: List[float] = []
    for b in buckets:
        out.extend(b.bucketize(row))
    return out


def main() -> None:
    towns = bucket.CategoricalBucket("town", FieldExtractor("town"), 0.05, none_value=9)
    towns.set_categories([{"name": "Southampton", "count": 644}, {"name": "Cherbourg", "count": 168}])
    decks = bucket.SimpleCategoricalBucket("deck", FieldExtractor("deck"), ["A", "B", "C"])
    buckets: List[bucket.BaseBucket] = [
        bucket.Bucket("age", FieldExtractor("age", "FLOAT"), [18.0, 30.0, 65.0]),
        bucket.StringBucket("port", FieldExtractor("port"), ["S", "C", "Q"], has_none=False),
        bucket.BooleanBucket("alone", FieldExtractor("alone", "BOOL")),
        bucket.ValueBucket("fare", FieldExtractor("fare", "FLOAT"), default_value=0.0),
        towns,
    ]
    row = {"age": 42.0, "port": "C", "alone": True, "fare": None, "town": "Cherbourg", "deck": ["B", "A"]}
    inputs: List[float] = encode(row, buckets)
    ids: List[int] = decks.bucketize(row)
    index: Optional[int] = towns._bucketize_value(None)[0]
    labels: List[str] = [b.get_short_label() + " " + b.get_distro() for b in buckets]
    rebuilt: List[bucket.BaseBucket] = []
    for b in buckets:
        message = row_handler_pb2.Bucket()
        b.write_to_proto(message)
        rebuilt.append(bucket.read_from_proto(message))
    print(inputs, ids, index, len(labels), len(rebuilt), bucket.FAST_MODE)


if __name__ == "__main__":
    main()
