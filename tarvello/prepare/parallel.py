"""Encoding on several processes (``--workers N``) or a Dask cluster
(``--dask ADDRESS``). The parent reads the input once to cut it into parts
at row ends by the CSV parser's rules, with each part's rows and lines.
Each part is read where it is encoded, in up to two steps: first its
categorical columns' counts, which the parent merges to learn the
categories once, then its rows, encoded with copies of the parent's
buckets. Processes write their rows straight into the output file at their
part's place and answer the CRC-32 of what they wrote; Dask workers send
theirs back. The parent adds the parts' counts to its own buckets, so that
arrays, counts, summaries and messages equal those of one process."""
from __future__ import annotations

import argparse
import contextlib
import ctypes
import dataclasses
import multiprocessing
import os
import pickle
import signal
import tempfile
import traceback
import warnings
import zlib
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..custom.model_data import bucket
from . import categories, job, npz, output, packages, reading, remote
from .config import Field, PrepareError
from .encoding import Array, Encoder, Layout, Sink, write_rest

_PR_SET_PDEATHSIG = 1


@dataclass
class Done:
    """What a part's encoding answers."""
    rows: int
    crc: int
    # Each bucket's _distro and _total after the part.
    counts: List[Tuple[List[int], int]]
    ids: Dict[str, int]
    skipped: int
    left: List[reading.Left]
    # Dask: the part's arrays, sent back.
    arrays: Optional[Dict[str, Any]] = None


class _PartMatrix:
    """A part's matrix rows, written into the output file from its first
    row's place on, with the CRC-32 of what was written."""

    def __init__(self, path: str, offset: int):
        self.handle = os.open(path, os.O_WRONLY)
        self.offset = self.synced = offset
        self.crc = 0

    def __call__(self, chunk: Array) -> None:
        data = np.ascontiguousarray(chunk).data.cast("B")
        self.crc = zlib.crc32(data, self.crc)
        while len(data):
            written = os.pwrite(self.handle, data, self.offset)
            self.offset += written
            data = data[written:]
        if self.offset - self.synced >= npz.WRITE_BACK:
            self.synced = npz.write_back(self.handle, self.synced, self.offset)


class _Kept:
    """A part's matrix rows kept in memory, to be sent back (Dask)."""

    def __init__(self) -> None:
        self.chunks: List[Array] = []

    def __call__(self, chunk: Array) -> None:
        self.chunks.append(chunk.copy())


def count_part(source: reading.Input, fields: Sequence[Field], layout: Layout, part: reading.Part,
               skip_bad_rows: bool) -> Dict[str, Dict[Any, int]]:
    """The part's learning columns counted: the first step."""
    with job.no_collection():
        return job.count(source, fields, layout, skip_bad_rows, None, job.Progress(None, False), part).counts


def encode_part(source: reading.Input, fields: Sequence[Field], layout: Layout, part: reading.Part,
                buckets: Sequence[bucket.BaseBucket], skip_bad_rows: bool, sink: Sink) -> Done:
    """The part's rows encoded into ``sink`` with ``buckets`` (copies of the
    parent's): the second step."""
    with job.no_collection():
        encoder = Encoder(layout, buckets, sink, skip_bad_rows)
        for batch in source.batches(fields, layout.read, skip_bad_rows, part=part):
            encoder.encode(batch)
        sink.flush()
    crc = getattr(sink.matrix, "crc", 0)
    return Done(sink.rows, crc, [(list(b._distro), b._total) for b in buckets],
                {name: spools[0].count for name, spools in sink.ids.items()}, sink.skipped.count, encoder.left)


def _merged(buckets: List[bucket.BaseBucket], done: Sequence[Done]) -> job.Encoded:
    """The parts' results as one: the counts added to the parent's buckets."""
    for result in done:
        for b, (distro, total) in zip(buckets, result.counts):
            # Every kind counts into _distro and _total alone: a sum per slot
            # is the count of all the parts' rows.
            b._distro = [mine + theirs for mine, theirs in zip(b._distro, distro)]
            b._total = b._total + total
    # Each part's first rows left out, in input order.
    left = [row for result in done for row in result.left][:reading.LEFT_KEPT]
    return job.Encoded(buckets, sum(r.rows for r in done), sum(r.skipped for r in done), left)


def run(args: argparse.Namespace, source: reading.Input, fields: Sequence[Field], layout: Layout, table: str,
        folder: output.Folder) -> Tuple[job.Encoded, Dict[str, categories.Categories]]:
    """Encodes the input in parts; returns the encoding (the parent's
    buckets with every part's counts) and the categories learned."""
    learning = [f for f in fields if f.learns]
    counted = bool(learning) and args.db is None

    # What the buckets are made with, wherever it was learned.
    chosen: Dict[str, categories.Categories] = {}

    def make(learned: Dict[str, categories.Categories]) -> List[bucket.BaseBucket]:
        chosen.update(learned)
        where = source.name if args.db is None else "--db %s" % args.db
        buckets = job.make_buckets(fields, layout, learned, where, args.quiet)
        job.notify(layout, buckets, args.quiet)
        return buckets

    learned = categories.learn_from_database(args.db, table, learning) if learning and not counted else {}
    if args.dask is not None:
        encoded = _on_dask(args, source, fields, layout, folder, counted, make, learned)
    else:
        encoded = _on_processes(args, source, fields, layout, folder, counted, make, learned)
    return encoded, chosen


# Processes of this machine.

def _watch_parent(parent: int) -> None:
    """Dies with the parent, by the kernel's death signal where there is one."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:
        os._exit(1)


def _serve(connection: Any, parent: int, source: reading.Input, fields: Sequence[Field], layout: Layout,
           part: reading.Part, buckets: Optional[List[bucket.BaseBucket]], skip_bad_rows: bool, sink: Sink,
           matrix: Tuple[str, int]) -> None:
    _watch_parent(parent)
    # Ctrl-C is the parent's to handle: it stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)
    try:
        if buckets is None:
            connection.send((True, count_part(source, fields, layout, part, skip_bad_rows)))
            buckets = connection.recv()
            if buckets is None:
                return
        sink.matrix = _PartMatrix(*matrix)
        connection.send((True, encode_part(source, fields, layout, part, buckets, skip_bad_rows, sink)))
    except PrepareError as e:
        connection.send((False, str(e)))
    except (EOFError, BrokenPipeError):
        pass
    except Exception as e:
        connection.send((False, "worker %d failed: %s" % (part.index + 1, "".join(
            traceback.format_exception_only(type(e), e)).strip())))
    finally:
        connection.close()


def _on_processes(args: argparse.Namespace, source: reading.Input, fields: Sequence[Field], layout: Layout,
                  folder: output.Folder, counted: bool, make: Any, learned: Dict[str, categories.Categories]
                  ) -> job.Encoded:
    parts = source.cut(args.workers)
    buckets = None if counted else make(learned)
    with npz.Writer(folder.file(output.ROWS)) as writer:
        return _write_parts(args, source, fields, layout, folder, parts, buckets, make, writer)


def _write_parts(args: argparse.Namespace, source: reading.Input, fields: Sequence[Field], layout: Layout,
                 folder: output.Folder, parts: Sequence[reading.Part], buckets: Optional[List[bucket.BaseBucket]],
                 make: Any, writer: npz.Writer) -> job.Encoded:
    matrix = writer.entry("matrix", np.float64, layout.width)
    writer.file.flush()
    row_bytes = layout.width * 8
    assert folder.path is not None
    sinks = [Sink(layout, folder.path, "part-%d" % p.index, None) for p in parts]
    context = multiprocessing.get_context("fork")
    running = []
    try:
        for part, sink in zip(parts, sinks):
            mine, theirs = context.Pipe()
            place = (writer.path, matrix.data_start + part.first_row * row_bytes)
            process = context.Process(target=_serve, args=(theirs, os.getpid(), source, fields, layout, part,
                                                           buckets, args.skip_bad_rows, sink, place), daemon=True)
            with warnings.catch_warnings():
                # numpy's and Arrow's threads (their pools, the allocator's)
                # keep fork handlers, and the workers start none.
                warnings.filterwarnings("ignore", ".*multi-threaded.*fork", DeprecationWarning)
                process.start()
            theirs.close()
            running.append((part, process, mine))
        if buckets is None:
            counter = categories.Counter(fields)
            for answer in _answers(running):
                counter.merge(answer)
            buckets = make(counter.learned(fields))
            for _, _, connection in running:
                # A worker that died since is reported with the answers.
                with contextlib.suppress(OSError):
                    connection.send(buckets)
        done: List[Done] = _answers(running)
    except BaseException:
        _stop(running, failed=True)
        raise
    _stop(running, failed=False)
    encoded = _merged(buckets, done)
    _join_matrix(writer, matrix, parts, done, row_bytes)
    for sink, result in zip(sinks, done):
        sink.rows = result.rows
        sink.skipped.count = result.skipped
        for name, count in result.ids.items():
            sink.ids[name][0].count = count
    write_rest(writer, layout, sinks)
    writer.close()
    for sink in sinks:
        sink.remove()
    return encoded


def _answers(running: Sequence[Tuple[reading.Part, Any, Any]]) -> List[Any]:
    """Each worker's answer, in input order: the first failure fails the run."""
    answers = []
    for part, process, connection in running:
        try:
            ok, answer = connection.recv()
        except (EOFError, OSError):
            process.join(10)
            raise PrepareError("worker %d (from line %d) ended without an answer, exit code %s"
                               % (part.index + 1, part.first_line, process.exitcode)) from None
        if not ok:
            raise PrepareError(answer)
        answers.append(answer)
    return answers


def _stop(running: Sequence[Tuple[reading.Part, Any, Any]], failed: bool) -> None:
    # A worker still waiting for buckets is told to stop; the others are
    # killed if they do not end: they write only into the new folder.
    for _, process, connection in running:
        try:
            connection.send(None)
        except OSError:
            pass
        connection.close()
    for _, process, _ in running:
        process.join(0 if failed else 10)
        if process.is_alive():
            process.kill()
            process.join()


def _join_matrix(writer: npz.Writer, matrix: npz.Entry, parts: Sequence[reading.Part], done: Sequence[Done],
                 row_bytes: int) -> None:
    """The parts' rows made one: each part wrote from its first input row's
    place, so the rows after a part that left rows out move up."""
    with open(writer.path, "r+b") as f:
        at = matrix.data_start
        for part, result in zip(parts, done):
            size = result.rows * row_bytes
            start = matrix.data_start + part.first_row * row_bytes
            if start == at:
                matrix.add_segment(result.crc, size)
            else:
                crc = 0
                for offset in range(0, size, 1 << 22):
                    f.seek(start + offset)
                    data = f.read(min(1 << 22, size - offset))
                    crc = zlib.crc32(data, crc)
                    f.seek(at + offset)
                    f.write(data)
                matrix.add_segment(crc, size)
            at += size
    matrix.finish(sum(r.rows for r in done))


# Dask.

def dask_count(path: str, size: int, data: Optional[bytes], fields: Sequence[Field], layout: Layout,
               part: reading.Part, skip_bad_rows: bool) -> Tuple[bool, Any]:
    """A Dask task: a part's counts (its file where the worker sees it, else
    the header and the part's bytes sent along)."""
    try:
        with _part_input(path, size, data, part) as (source, local):
            return True, count_part(source, fields, layout, local, skip_bad_rows)
    except PrepareError as e:
        return False, str(e)


def dask_encode(path: str, size: int, data: Optional[bytes], fields: Sequence[Field], layout: Layout,
                part: reading.Part, buckets: Sequence[bucket.BaseBucket], skip_bad_rows: bool) -> Tuple[bool, Any]:
    """A Dask task: a part encoded, its arrays sent back."""
    try:
        with _part_input(path, size, data, part) as (source, local), tempfile.TemporaryDirectory() as folder:
            kept = _Kept()
            sink = Sink(layout, folder, "part", kept)
            done = encode_part(source, fields, layout, local, buckets, skip_bad_rows, sink)
            done.arrays = {
                "matrix": kept.chunks,
                "skipped": np.concatenate(list(sink.skipped.chunks()) or [np.zeros(0, np.int64)]),
                "ids": {name: [np.concatenate(list(s.chunks()) or [np.zeros(0, np.int64)]) for s in spools]
                        for name, spools in sink.ids.items()}}
            return True, done
    except PrepareError as e:
        return False, str(e)


class _part_input:
    """The input as a Dask worker reads a part of it."""

    def __init__(self, path: str, size: int, data: Optional[bytes], part: reading.Part):
        self.path, self.size, self.data, self.part = path, size, data, part
        self.copy: Optional[str] = None

    def __enter__(self) -> Tuple[reading.Input, reading.Part]:
        part = self.part
        path = self.path
        if self.data is not None:
            handle, self.copy = tempfile.mkstemp(suffix=".parquet" if path.endswith(".parquet") else ".csv")
            with os.fdopen(handle, "wb") as f:
                f.write(self.data)
            if part.pieces:
                # The header, then the part's pieces.
                shift = len(self.data) - sum(p.size for p in part.pieces) - part.pieces[0].offset
                part = dataclasses.replace(part, pieces=[dataclasses.replace(p, offset=p.offset + shift)
                                                         for p in part.pieces])
            path = self.copy
        self.source = reading.Input(path, self.path)
        self.source.read_header()
        return self.source, part

    def __exit__(self, *exc: Any) -> None:
        self.source.close()
        if self.copy is not None:
            os.unlink(self.copy)


def _can_read(path: str, size: int) -> bool:
    try:
        return os.path.getsize(path) == size
    except OSError:
        return False


def _on_dask(args: argparse.Namespace, source: reading.Input, fields: Sequence[Field], layout: Layout,
             folder: output.Folder, counted: bool, make: Any, learned: Dict[str, categories.Categories]
             ) -> job.Encoded:
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise PrepareError("--dask needs dask.distributed (pip install 'tarvello-bucket[dask]')") from None
    if not source.seekable:
        raise PrepareError("%s: Dask needs a regular file, which it reads in parts" % source.name)
    cluster = None
    try:
        if args.dask == "local":
            # Its HTTP server on a free port: another cluster may hold 8787.
            cluster = LocalCluster(n_workers=args.workers if args.workers > 1 else os.cpu_count() or 1,
                                   threads_per_worker=1, processes=True, dashboard_address=":0")
            client = Client(cluster)
        else:
            try:
                client = Client(args.dask, timeout="30s")
            except (OSError, ValueError) as e:
                raise PrepareError("--dask %s: cannot reach the scheduler: %s" % (args.dask, e)) from None
        with client:
            return _run_dask(client, args, source, fields, layout, folder, counted, make, learned)
    finally:
        if cluster is not None:
            cluster.close()


def _run_dask(client: Any, args: argparse.Namespace, source: reading.Input, fields: Sequence[Field],
              layout: Layout, folder: output.Folder, counted: bool, make: Any,
              learned: Dict[str, categories.Categories]) -> job.Encoded:
    try:
        client.run(packages.extend, packages.paths())
    except ImportError as e:
        raise PrepareError("--dask: the workers cannot import the package (install it on each worker): %s"
                           % e) from None
    slots = sum(client.nthreads().values())
    if not slots:
        raise PrepareError("--dask: the cluster has no workers")
    parts = source.cut(slots)
    path = os.path.abspath(source.name)
    size = source.size or 0
    sent: List[Optional[bytes]] = [None] * len(parts)
    if not all(client.run(_can_read, path, size).values()):
        sent = [_part_bytes(source, p) for p in parts]

    def submit(task: Any, *arguments: Any) -> List[Any]:
        futures = [client.submit(task, pickle.dumps((path, size, data, fields, layout, p) + arguments), pure=False)
                   for p, data in zip(parts, sent)]
        try:
            answers = [pickle.loads(f.result()) for f in futures]
        except Exception as e:
            raise PrepareError("--dask %s: %s: %s" % (args.dask, type(e).__name__, str(e).splitlines()[0]))
        for ok, answer in answers:
            if not ok:
                raise PrepareError(answer)
        return [answer for _, answer in answers]

    if counted:
        counter = categories.Counter(fields)
        for counts in submit(remote.count_part, args.skip_bad_rows):
            counter.merge(counts)
        learned = counter.learned(fields)
    buckets = make(learned)
    done: List[Done] = submit(remote.encode_part, buckets, args.skip_bad_rows)
    encoded = _merged(buckets, done)
    with npz.Writer(folder.file(output.ROWS)) as writer:
        _write_sent(writer, layout, folder, done)
    return encoded


def _write_sent(writer: npz.Writer, layout: Layout, folder: output.Folder, done: Sequence[Done]) -> None:
    matrix = writer.entry("matrix", np.float64, layout.width)
    assert folder.path is not None
    sinks: List[Sink] = []
    for result in done:
        assert result.arrays is not None
        for chunk in result.arrays["matrix"]:
            matrix.write(chunk)
        sink = Sink(layout, folder.path, "part-%d" % len(sinks), None)
        sink.rows = result.rows
        sink.skipped.write(result.arrays["skipped"])
        for name, (ids, ends) in result.arrays["ids"].items():
            sink.ids[name][0].write(ids)
            sink.ids[name][1].write(ends)
        sinks.append(sink)
        result.arrays = None
    matrix.finish(sum(r.rows for r in done))
    write_rest(writer, layout, sinks)
    writer.close()
    for sink in sinks:
        sink.remove()


def _part_bytes(source: reading.Input, part: reading.Part) -> bytes:
    with open(source.name, "rb") as f:
        if source.parquet:
            return f.read()
        header = f.read(source.data_start)
        if not part.pieces:
            return header
        f.seek(part.pieces[0].offset)
        return header + f.read(sum(p.size for p in part.pieces))
