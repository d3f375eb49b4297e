"""What a Dask worker runs. A task's arguments travel pickled inside it,
and this module imports nothing of the package when it is imported: the
scheduler, which unpickles the tasks, then needs only the package's Python
files, and a worker unpickles the buckets once the package's folders are
added (``packages.extend``)."""
import pickle


def count_part(payload: bytes) -> bytes:
    from . import parallel
    return pickle.dumps(parallel.dask_count(*pickle.loads(payload)))


def encode_part(payload: bytes) -> bytes:
    from . import parallel
    return pickle.dumps(parallel.dask_encode(*pickle.loads(payload)))
