"""The buckets as a scikit-learn transformer: ``BucketEncoder(fields)``
learns a configuration's categories from a DataFrame (or Arrow data) at
``fit``, and ``transform`` gives the float64 matrix, its columns named by
``get_feature_names_out``. It works in a ``Pipeline``, inside a
``ColumnTransformer`` and with ``set_output(transform="pandas")``, and it is
cloned and pickled as scikit-learn's own transformers are. Needs the extra
``sklearn`` (scikit-learn 1.2 or later)."""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted

from . import api
from .config import PrepareError
from .encoding import Array


class BucketEncoder(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """``fields``: the configuration's list of fields, as in its JSON file,
    or that file's path. A simple categorical field is refused: its ids
    differ in number from row to row, and no matrix holds them."""

    def __init__(self, fields: api.Fields):
        self.fields = fields

    def fit(self, X: Any, y: Any = None) -> "BucketEncoder":
        ragged = [f.name for f in api.parse_fields(self.fields) if f.slots() is None]
        if ragged:
            raise PrepareError("BucketEncoder: field %r is a SimpleCategoricalBucket, whose ids no matrix holds: "
                               "leave it out" % ragged[0])
        self.prepared_ = api.learn(X, self.fields)
        return self

    def transform(self, X: Any) -> Array:
        check_is_fitted(self, "prepared_")
        matrix: Array = self.prepared_.transform(X).matrix
        return matrix

    def get_feature_names_out(self, input_features: Optional[Any] = None) -> Array:
        check_is_fitted(self, "prepared_")
        return np.asarray(self.prepared_.columns, dtype=object)
