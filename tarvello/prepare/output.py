"""The output folder: rows.npz, buckets.pb and config.json, each written under
a temporary name and renamed into place only once all three are complete."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Sequence

import numpy as np

from ..custom.model_data import bucket
from ..custom.model_data.row_handler_proto import row_handler_pb2
from .config import PrepareError
from .encoding import Array, Encoded

ROWS, BUCKETS, CONFIG = "rows.npz", "buckets.pb", "config.json"


def temporary_name(path: str) -> str:
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, ".%s.tmp-%d" % (name, os.getpid()))


def messages(buckets: Sequence[bucket.BaseBucket]) -> row_handler_pb2.BucketList:
    saved = row_handler_pb2.BucketList()
    for b in buckets:
        b.write_to_proto(saved.buckets.add())
    return saved


def arrays(encoded: Encoded, columns: Sequence[str], skipped: Sequence[int]) -> Dict[str, Array]:
    named = {"matrix": encoded.matrix, "columns": np.array(columns, dtype=str),
             "skipped": np.array(skipped, dtype=np.int64)}
    for name, (values, offsets) in encoded.ragged.items():
        named[name + ".values"] = values
        named[name + ".offsets"] = offsets
    return named


def write(folder: str, named: Dict[str, Array], saved: row_handler_pb2.BucketList,
          document: Dict[str, Any]) -> List[str]:
    """Writes the three files into ``folder`` (made if missing); returns their paths."""
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise PrepareError("%s: cannot make the folder: %s" % (folder, e.strerror or e)) from None
    paths = [os.path.join(folder, n) for n in (CONFIG, BUCKETS, ROWS)]
    temporary = [temporary_name(p) for p in paths]
    try:
        with open(temporary[0], "w", encoding="utf-8") as f:
            json.dump(document, f, indent=1)
            f.write("\n")
        with open(temporary[1], "wb") as f:
            f.write(saved.SerializeToString())
        with open(temporary[2], "wb") as f:
            np.savez(f, **named)
        for t, p in zip(temporary, paths):
            os.replace(t, p)
    except OSError as e:
        raise PrepareError("%s: cannot write: %s" % (e.filename or folder, e.strerror or e)) from None
    finally:
        for t in temporary:
            if os.path.exists(t):
                os.unlink(t)
    return paths


@dataclass
class Saved:
    document: Any
    saved: row_handler_pb2.BucketList
    named: Dict[str, Array]


def read(folder: str) -> Saved:
    config_path, buckets_path, rows_path = (os.path.join(folder, n) for n in (CONFIG, BUCKETS, ROWS))
    try:
        with open(config_path, encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, ValueError) as e:
        raise PrepareError("%s: cannot read: %s" % (config_path, e)) from None
    try:
        with open(buckets_path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (buckets_path, e.strerror or e)) from None
    saved = row_handler_pb2.BucketList()
    try:
        saved.ParseFromString(data)
    except Exception as e:
        raise PrepareError("%s: not a saved list of buckets: %s" % (buckets_path, e)) from None
    try:
        with np.load(rows_path, allow_pickle=False) as z:
            named = {k: z[k] for k in z.files}
    except Exception as e:
        raise PrepareError("%s: cannot read: %s" % (rows_path, e)) from None
    return Saved(document, saved, named)
