"""The buckets as the first step of a scikit-learn pipeline, as the README
shows it: run by the tests from the repository's root."""
import pickle

import pandas as pd
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import Pipeline

from tarvello.prepare.sklearn import BucketEncoder

fields = [
    {"name": "age", "column": "age", "type": "float", "kind": "Bucket", "buckets": [12, 18, 30, 45, 65]},
    {"name": "sex", "column": "sex", "type": "str", "kind": "StringBucket", "buckets": ["male", "female"]},
    {"name": "class", "column": "class", "type": "str", "kind": "StringBucket",
     "buckets": ["First", "Second", "Third"]},
    {"name": "embarked", "column": "embark_town", "type": "str", "kind": "CategoricalBucket",
     "min_fraction": 0.05, "none_value": -1},
]
passengers = pd.read_csv("data/titanic.csv")
survived = passengers.pop("survived")

model = Pipeline([("buckets", BucketEncoder(fields)), ("classify", LogisticRegression())])
model.fit(passengers[:600], survived[:600])
print("accuracy on the other %d: %.2f" % (len(passengers) - 600, model.score(passengers[600:], survived[600:])))
print(model[:-1].get_feature_names_out()[:4])
saved = pickle.dumps(model)                    # it pickles, and sklearn.base.clone copies it unfitted
