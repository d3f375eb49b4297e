"""Train, apply and load again from Python, as the README shows it: run by
the tests from the repository's root, and checked with mypy --strict."""
from typing import Any, Dict, List

import pandas as pd

from tarvello.prepare import Prepared, Transformed, fit, load

fields: List[Dict[str, Any]] = [
    {"name": "age", "column": "age", "type": "float", "kind": "Bucket", "buckets": [12, 18, 30, 45, 65]},
    {"name": "class", "column": "class", "type": "str", "kind": "CategoricalBucket", "min_fraction": 0.05},
    {"name": "alone", "column": "alone", "type": "bool", "kind": "BooleanBucket"},
    {"name": "who", "column": "who", "type": "str", "kind": "SimpleCategoricalBucket",
     "categories": ["man", "woman", "child"]},
]
passengers = pd.read_csv("data/titanic.csv")
train, new = passengers[:600], passengers[600:]

prepared: Prepared = fit(train, fields)        # learns the categories, as tarvello-prepare does
prepared.save("out/train")                     # writes what tarvello-prepare writes
applied: Transformed = load("out/train").transform(new)   # the saved buckets: learns nothing
print(applied.matrix.shape, applied.columns)
ids, offsets = applied.ragged["who"]           # the first passenger's ids: ids[offsets[0]:offsets[1]]
print(ids[offsets[0]:offsets[1]], [(entry["name"], entry["distro"]) for entry in applied.counts[:2]])
