"""Encoding on several processes (``--workers N``) or a Dask cluster
(``--dask ADDRESS``). The input is cut into parts at line ends; each part is
read, converted and counted where it is encoded, in two steps: first its
categorical columns' counts, which the parent merges to learn the
categories once, then its rows, encoded with the parent's buckets as they
are after learning. The parent adds each part's counts to its own buckets
and joins the parts' arrays in input order, so that arrays, counts,
summaries and messages equal those of one process."""
from __future__ import annotations

import copy
import csv
import multiprocessing
import os
import signal
import tempfile
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..custom.model_data import bucket
from . import categories, job, packages, reading
from .categories import Categories
from .config import Field, PrepareError, check_columns
from .encoding import Array, Encoded, Layout


@dataclass
class Part:
    index: int
    start: int
    stop: int
    first_line: int
    # The part's bytes, sent along where the workers cannot read the file.
    data: Optional[bytes] = None


def split(path: str, count: int) -> Tuple[List[str], List[Part]]:
    """The header and ``count`` parts of about the same size, cut at line ends
    outside quoted cells."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (path, e.strerror or e)) from None
    header_end = _line_end(data, 0)
    try:
        header = next(csv.reader([data[:header_end].decode("utf-8-sig")]), None)
    except UnicodeDecodeError:
        raise PrepareError("%s: not UTF-8 text (line 1)" % path) from None
    if not header:
        raise PrepareError("%s: no header line" % path)
    bounds = [header_end]
    for k in range(1, count):
        bounds.append(max(bounds[-1], _line_end(data, header_end + (len(data) - header_end) * k // count)))
    bounds.append(len(data))
    return header, [Part(i, a, b, 1 + data.count(b"\n", 0, a)) for i, (a, b) in enumerate(zip(bounds, bounds[1:]))]


def _line_end(data: bytes, position: int) -> int:
    # A line end inside a quoted cell follows an odd number of quotes.
    while True:
        end = data.find(b"\n", position)
        if end < 0:
            return len(data)
        if data.count(b'"', 0, end) % 2 == 0:
            return end + 1
        position = end + 1


def with_data(path: str, parts: Sequence[Part]) -> List[Part]:
    with open(path, "rb") as f:
        data = f.read()
    return [Part(p.index, p.start, p.stop, p.first_line, data[p.start:p.stop]) for p in parts]


@dataclass
class Loaded:
    """A part read and converted, kept by the worker that encodes it."""
    part: Part
    data: job.Input


@dataclass
class Result:
    encoded: Encoded
    # Each bucket's _distro and _total after the part.
    counts: List[Tuple[List[int], int]]
    # The part's rows left out, numbered in the part, and its number of rows.
    skipped: List[int]
    rows: int


Answer = Tuple[bool, Any]


def load(path: str, header: List[str], part: Part, fields: Sequence[Field], skip_bad_rows: bool,
         count: bool) -> Tuple[Answer, Optional[Loaded]]:
    """Reads and converts a part; with ``count``, answers its learning
    fields' counts. An expected failure is an answer, so that the parent
    reports the first in input order."""
    try:
        with job.no_collection():
            return _load(path, header, part, fields, skip_bad_rows, count)
    except PrepareError as e:
        return (False, str(e)), None


def _load(path: str, header: List[str], part: Part, fields: Sequence[Field], skip_bad_rows: bool,
          count: bool) -> Tuple[Answer, Optional[Loaded]]:
    if part.data is not None:
        raw = part.data
    else:
        with open(path, "rb") as f:
            f.seek(part.start)
            raw = f.read(part.stop - part.start)
    loaded = Loaded(part, job.converted(reading.read_part(path, header, raw, part.first_line),
                                        fields, skip_bad_rows))
    learning = [f for f in fields if f.learns]
    counts = categories.learn_from_columns(learning, loaded.data.values, "part", None) if count else None
    return (True, (counts, len(loaded.data.kept))), loaded


def encode(loaded: Optional[Loaded], fields: Sequence[Field], buckets: Sequence[bucket.BaseBucket],
           skip_bad_rows: bool, matrix: Optional[Tuple[str, int, int]] = None) -> Answer:
    """Encodes a loaded part with copies of the parent's buckets; with
    ``matrix`` (a file, the part's first row in it, its width), the part's
    rows go straight into the file, and the answer's matrix is empty."""
    assert loaded is not None
    out = None
    if matrix is not None:
        path, first, width = matrix
        out = np.memmap(path, np.float64, "r+", offset=first * width * 8, shape=(len(loaded.data.kept), width))
    try:
        with job.no_collection():
            done, encoded = job.encode(fields, lambda: copy.deepcopy(list(buckets)), loaded.data, skip_bad_rows,
                                       out=out)
    except PrepareError as e:
        return False, str(e)
    if out is not None:
        out.flush()
        encoded = Encoded(np.empty((len(loaded.data.kept), 0)), encoded.ragged)
    return True, Result(encoded, [(list(b._distro), b._total) for b in done], loaded.data.skipped,
                        len(loaded.data.table.rows))


def merge_categories(counted: Sequence[Dict[str, Categories]]) -> Dict[str, Categories]:
    """The parts' (value, count) lists summed: what one GROUP BY over every row gives."""
    merged: Dict[str, Dict[Any, int]] = {}
    for part in counted:
        for name, pairs in part.items():
            totals = merged.setdefault(name, {})
            for value, n in pairs:
                totals[value] = totals.get(value, 0) + n
    return {name: sorted(totals.items(), key=lambda item: (-item[1], item[0])) for name, totals in merged.items()}


def assemble(buckets: Sequence[bucket.BaseBucket], results: Sequence[Result], width: int,
             matrix: Optional[Array] = None) -> Tuple[Encoded, List[int]]:
    """Adds the parts' counts to ``buckets`` and joins their arrays in input
    order (the parts' matrices, unless they wrote into ``matrix``); returns
    the arrays and the input rows left out."""
    for result in results:
        for b, (distro, total) in zip(buckets, result.counts):
            # Every kind counts into _distro and _total alone: a sum per slot
            # is the count of all the parts' rows.
            b._distro = [mine + theirs for mine, theirs in zip(b._distro, distro)]
            b._total = b._total + total
    skipped: List[int] = []
    first = 0
    for result in results:
        skipped.extend(first + i for i in result.skipped)
        first += result.rows
    if matrix is None:
        matrix = np.concatenate([r.encoded.matrix for r in results]) if results else np.empty((0, width))
    ragged = {}
    for name in (results[0].encoded.ragged if results else {}):
        values = [r.encoded.ragged[name][0] for r in results]
        offsets = [np.zeros(1, dtype=np.int64)]
        start = 0
        for r in results:
            part = r.encoded.ragged[name][1]
            offsets.append(part[1:] + start)
            start += int(part[-1])
        ragged[name] = (np.concatenate(values), np.concatenate(offsets))
    return Encoded(matrix, ragged), skipped


# Makes the parent's buckets, from the header and the parts' counts (None
# when the categories come from a database).
Learn = Callable[[List[str], Optional[List[Dict[str, Categories]]]], List[bucket.BaseBucket]]


def _checked(answers: Sequence[Answer]) -> List[Any]:
    for ok, value in answers:
        if not ok:
            raise PrepareError(value)
    return [value for _, value in answers]


# Worker processes: each reads its part, answers its counts, waits for the
# buckets, answers its encoded part.
def _serve(connection: Any, path: str, header: List[str], part: Part, fields: Sequence[Field],
           skip_bad_rows: bool, count: bool) -> None:
    # Ctrl-C is the parent's to handle: it stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        answer, loaded = load(path, header, part, fields, skip_bad_rows, count)
        connection.send(answer)
        work = connection.recv()
        if loaded is not None and work is not None:
            buckets, matrix = work
            connection.send(encode(loaded, fields, buckets, skip_bad_rows, matrix))
    except EOFError:
        pass
    except Exception as e:
        connection.send((False, "worker %d failed: %s: %s" % (part.index + 1, type(e).__name__, e)))
    finally:
        connection.close()


def on_processes(path: str, fields: Sequence[Field], workers: int, skip_bad_rows: bool, count: bool,
                 learn: Learn) -> Tuple[List[bucket.BaseBucket], List[Result], Optional[Array]]:
    """Runs the two steps on ``workers`` processes of this machine."""
    header, parts = split(path, workers)
    check_columns(fields, header, path)
    # Forked: the workers start at once, with the package as it is imported here.
    context = multiprocessing.get_context("fork")
    running = []
    matrix_path = None
    try:
        for part in parts:
            mine, theirs = context.Pipe()
            process = context.Process(target=_serve, args=(theirs, path, header, part, fields, skip_bad_rows,
                                                           count), daemon=True)
            process.start()
            theirs.close()
            running.append((part, process, mine))
        counted, kept = zip(*_checked([_answer(*r) for r in running]))
        buckets = learn(header, list(counted) if count else None)
        width = len(Layout(fields, header).columns)
        # The workers write their rows into one file, each at its place; in
        # memory (/dev/shm) where there is such a folder, not to be written back.
        handle, matrix_path = tempfile.mkstemp(prefix="prepare-matrix-",
                                               dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        os.ftruncate(handle, max(1, sum(kept) * width * 8))
        os.close(handle)
        first = 0
        for (_, _, connection), rows in zip(running, kept):
            connection.send((buckets, (matrix_path, first, width)))
            first += rows
        results = _checked([_answer(*r) for r in running])
        whole = np.memmap(matrix_path, np.float64, "r", shape=(sum(kept), width))
        if any(r.encoded.matrix.shape[0] < rows for r, rows in zip(results, kept)):
            # Rows a bucket refused were left out: the parts' rows close up.
            starts = np.cumsum((0,) + kept[:-1])
            whole = np.concatenate([whole[a:a + r.encoded.matrix.shape[0]] for a, r in zip(starts, results)])
        return buckets, results, whole
    finally:
        if matrix_path is not None:
            # The mapping outlives the name.
            os.unlink(matrix_path)
        # A worker still waiting for buckets is told to stop: it would not see
        # this end close, as the workers forked after it hold copies of it.
        for _, process, connection in running:
            try:
                connection.send(None)
            except OSError:
                pass
            connection.close()
        for _, process, _ in running:
            process.join(10)
            if process.is_alive():
                process.kill()
                process.join()


def _answer(part: Part, process: Any, connection: Any) -> Answer:
    try:
        answer: Answer = connection.recv()
        return answer
    except EOFError:
        process.join(10)
        raise PrepareError("worker %d (from line %d) ended without an answer, exit code %s"
                           % (part.index + 1, part.first_line, process.exitcode)) from None


def on_dask(address: str, path: str, fields: Sequence[Field], workers: Optional[int], skip_bad_rows: bool,
            count: bool, learn: Learn) -> Tuple[List[bucket.BaseBucket], List[Result], Optional[Array]]:
    """Runs the two steps on a Dask cluster: ``local`` (a LocalCluster for the
    run) or a scheduler's address. Each part stays on the worker that read it."""
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise PrepareError("--dask needs dask.distributed (Debian: python3-distributed)") from None
    cluster = None
    try:
        if address == "local":
            cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                   processes=True, dashboard_address=None)
            client = Client(cluster)
        else:
            try:
                client = Client(address, timeout="30s")
            except (OSError, ValueError) as e:
                raise PrepareError("--dask %s: cannot reach the scheduler: %s" % (address, e)) from None
        with client:
            return _run_dask(client, path, fields, skip_bad_rows, count, learn)
    finally:
        if cluster is not None:
            cluster.close()


def _run_dask(client: Any, path: str, fields: Sequence[Field], skip_bad_rows: bool, count: bool, learn: Learn
              ) -> Tuple[List[bucket.BaseBucket], List[Result], Optional[Array]]:
    try:
        client.run(packages.extend, packages.paths())
    except ImportError as e:
        raise PrepareError("--dask: the workers cannot import the package (install it on each worker): %s"
                           % e) from None
    slots = sum(client.nthreads().values())
    if not slots:
        raise PrepareError("--dask: the cluster has no workers")
    header, parts = split(path, slots)
    check_columns(fields, header, path)
    size = os.path.getsize(path)
    if not all(client.run(_can_read, path, size).values()):
        parts = with_data(path, parts)
    loading = [client.submit(load, path, header, part, fields, skip_bad_rows, count, pure=False)
               for part in parts]
    # Only the answers come back: each part stays where it was read.
    answers = _checked(client.gather([client.submit(_answer_of, loaded) for loaded in loading]))
    buckets = learn(header, [counts for counts, _ in answers] if count else None)
    encoding = [client.submit(_encode_loaded, loaded, fields, buckets, skip_bad_rows, pure=False)
                for loaded in loading]
    return buckets, _checked(client.gather(encoding)), None


def _answer_of(loaded: Tuple[Answer, Optional[Loaded]]) -> Answer:
    return loaded[0]


def _encode_loaded(loaded: Tuple[Answer, Optional[Loaded]], fields: Sequence[Field],
                   buckets: Sequence[bucket.BaseBucket], skip_bad_rows: bool) -> Answer:
    return encode(loaded[1], fields, buckets, skip_bad_rows)


def _can_read(path: str, size: int) -> bool:
    try:
        return os.path.getsize(path) == size
    except OSError:
        return False
