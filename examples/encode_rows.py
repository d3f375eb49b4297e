"""Encodes the rows of a CSV file of passengers into model inputs, prints each
bucket's summary, saves the buckets as messages and rebuilds them.

Usage: encode_rows.py titanic.csv
"""
import csv
import sys

from tarvello.custom.model_data import bucket
from tarvello.custom.model_data.extractor import FieldExtractor
from tarvello.custom.model_data.row_handler_proto import row_handler_pb2


def typed_rows(path):
    """CSV cells are text: numbers and booleans are converted, empty cells become None."""
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            yield {
                "age": float(row["age"]) if row["age"] else None,
                "fare": float(row["fare"]) if row["fare"] else None,
                "sex": row["sex"] or None,
                "class": row["class"] or None,
                "alone": {"True": True, "False": False}.get(row["alone"]),
                "embark_town": row["embark_town"] or None,
                "deck": row["deck"] or None,
            }


def main(path):
    rows = list(typed_rows(path))
    town_counts = {}
    for row in rows:
        if row["embark_town"] is not None:
            town_counts[row["embark_town"]] = town_counts.get(row["embark_town"], 0) + 1
    most_common = [{"name": name, "count": count}
                   for name, count in sorted(town_counts.items(), key=lambda item: -item[1])]

    towns = bucket.CategoricalBucket("embark_town", FieldExtractor("embark_town"), 0.05, none_value=99)
    towns.set_categories(most_common)
    buckets = [
        bucket.Bucket("age", FieldExtractor("age", "FLOAT"), [18.0, 30.0, 65.0]),
        bucket.StringBucket("class", FieldExtractor("class"), ["First", "Second", "Third"]),
        bucket.BooleanBucket("alone", FieldExtractor("alone", "BOOL")),
        bucket.ValueBucket("fare", FieldExtractor("fare", "FLOAT")),
        towns,
        bucket.SimpleCategoricalBucket("deck", FieldExtractor("deck"), list("ABCDEFG")),
    ]
    for row in rows:
        model_input = []
        for b in buckets:
            model_input.extend(b.bucketize(row))
    print("last row as model input:", model_input)

    for b in buckets:
        print(b.get_short_label(), b, b.get_distro())

    rebuilt = []
    for b in buckets[:-1]:
        message = row_handler_pb2.Bucket()
        b.write_to_proto(message)
        saved = message.SerializeToString()
        rebuilt.append(bucket.read_from_proto(row_handler_pb2.Bucket.FromString(saved)))
    print("rebuilt %d buckets from their messages" % len(rebuilt))


if __name__ == "__main__":
    main(sys.argv[1])
