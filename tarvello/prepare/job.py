"""One preparation run: the input read once or twice (first to count the
categorical columns, then to encode), the rows encoded into a new output
folder with the buckets, their counts and the report, which is checked,
sealed with its manifest and then published. Its steps serve the apply
command and the Python API too."""
from __future__ import annotations

import argparse
import contextlib
import gc
import io
import os
import re
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence

import numpy as np

from ..custom.model_data import bucket
from . import categories, check, config, counts, drift, npz, output, parallel, reading, report, saved
from .categories import Categories
from .config import Field, PrepareError
from .encoding import Encoder, Layout, Sink, slow_fields, write_rest
from .reading import Left

_ANSI = re.compile(r"\x1b\[[0-9;]*m")

# Inputs with more rows than this get a progress bar on a terminal.
PROGRESS_ROWS = 5000

Say = Callable[[str], None]


@dataclass
class Encoded:
    """A run's encoding: the buckets with their counts, the rows written and
    left out, and the first rows left out with their reasons."""
    buckets: List[bucket.BaseBucket]
    rows: int
    skipped: int
    left: List[Left]


class Progress:
    """A bar of the bytes read, on a terminal, once more than PROGRESS_ROWS rows are seen."""

    def __init__(self, total: Optional[int], show: bool):
        self.total = total
        self.show = show and total is not None and sys.stderr.isatty()
        self.rows = 0
        self.done = 0
        self.bar: Any = None

    def update(self, rows: int, size: int) -> None:
        self.rows += rows
        self.done += size
        if self.bar is None and self.show and self.rows > PROGRESS_ROWS:
            from tqdm import tqdm
            self.bar = tqdm(total=self.total, initial=self.done, unit="B", unit_scale=True, file=sys.stderr,
                            leave=False)
        elif self.bar is not None:
            self.bar.update(size)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@contextlib.contextmanager
def no_collection() -> Iterator[None]:
    """The cyclic collector off: the many short-lived objects of a run hold
    no cycles, and would set it off again and again for nothing."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


def silenced(quiet: bool) -> Any:
    return contextlib.redirect_stdout(io.StringIO()) if quiet else contextlib.nullcontext()


def make_buckets(fields: Sequence[Field], layout: Layout, learned: Dict[str, Categories], where: str,
                 quiet: bool) -> List[bucket.BaseBucket]:
    """The fields' buckets with zero counts, the categorical ones with their
    categories (whose line the module prints, unless ``quiet``). A field
    that would learn no category fails: its message could not be rebuilt."""
    made = []
    for f, position in zip(fields, layout.positions):
        b = f.make_bucket(position)
        if isinstance(b, bucket.CategoricalBucket):
            pairs = learned[f.name]
            total = float(sum(n for _, n in pairs))
            if not pairs:
                raise PrepareError("%s: field %r learns no category: column %r holds no value"
                                   % (where, f.name, f.column))
            if not pairs[0][1] / total > f.args["min_fraction"]:
                raise PrepareError("%s: field %r learns no category: no value of column %r is more than "
                                   "min_fraction %r of the rows (the most common, %s, is %.4g)"
                                   % (where, f.name, f.column, f.args["min_fraction"], repr(pairs[0][0])[:40],
                                      pairs[0][1] / total))
            with silenced(quiet):
                b.set_categories(categories.as_set_categories(pairs))
        made.append(b)
    return made


def summaries(buckets: Sequence[bucket.BaseBucket], color: bool) -> List[str]:
    lines = []
    for b in buckets:
        line = "%s %s %s" % (b.get_short_label(), b, b.get_distro())
        lines.append(line if color else _ANSI.sub("", line))
    return lines


def count(source: reading.Source, fields: Sequence[Field], layout: Layout, skip_bad_rows: bool,
          keep: Optional[categories.Kept], progress: Progress, part: Optional[reading.Part] = None
          ) -> categories.Counter:
    """The first reading: the categorical columns' values counted (and kept
    in the --sqlite database). Rows that do not convert are left out with
    ``skip_bad_rows``, which needs every column converted; otherwise the
    first bad row in the input fails the run."""
    counter = categories.Counter(fields)
    for batch in source.batches(fields, layout.read if skip_bad_rows else counter.columns, skip_bad_rows,
                                part=part):
        if batch.error is not None:
            # A column not read here may hold an earlier bad row.
            if part is None:
                source.rewind()
            for whole in source.batches(fields, layout.read, False, part=part):
                if whole.error is not None:
                    raise whole.error
            raise batch.error
        counter.add(batch.columns)
        if keep is not None:
            keep.add(batch.columns)
        progress.update(batch.rows, batch.size)
    return counter


def learn(source: reading.Source, fields: Sequence[Field], layout: Layout, skip_bad_rows: bool, db: Optional[str],
          table: str, keep: Optional[categories.Kept], progress: Progress) -> Dict[str, Categories]:
    """The categorical fields' values, most common first: counted in a first
    reading of ``source`` (rewound after it), or from the database ``db``."""
    learning = [f for f in fields if f.learns]
    if not learning:
        return {}
    if db is not None:
        return categories.learn_from_database(db, table, learning)
    learned = count(source, fields, layout, skip_bad_rows, keep, progress).learned(fields)
    source.rewind()
    return learned


def encode(source: reading.Source, fields: Sequence[Field], layout: Layout, buckets: Sequence[bucket.BaseBucket],
           skip_bad_rows: bool, folder: output.Folder, progress: Progress) -> Encoded:
    """The second (or only) reading: every row encoded into rows.npz."""
    assert folder.path is not None
    with npz.Writer(folder.file(output.ROWS)) as writer:
        matrix = writer.entry("matrix", np.float64, layout.width)
        sink = Sink(layout, folder.path, "rows", matrix.write)
        encoder = Encoder(layout, buckets, sink, skip_bad_rows)
        for batch in source.batches(fields, layout.read, skip_bad_rows):
            encoder.encode(batch)
            progress.update(batch.rows, batch.size)
        matrix.finish(sink.rows)
        write_rest(writer, layout, [sink])
        writer.close()
    sink.remove()
    return Encoded(list(buckets), sink.rows, sink.skipped.count, encoder.left)


def write(folder: output.Folder, fields: Sequence[Field], encoded: Encoded, run: Dict[str, Any],
          learned: Optional[Mapping[str, Categories]] = None, training: Optional[Mapping[str, Any]] = None,
          training_shown: Optional[str] = None, threshold: float = drift.THRESHOLD) -> Dict[str, Any]:
    """Writes the buckets, the configuration, the counts and the report
    (against ``training``'s counts, for new data) beside rows.npz; returns
    the counts document."""
    document = counts.document(run, counts.entries(fields, encoded.buckets, learned))
    folder.write(output.messages(encoded.buckets), config.to_document(fields))
    folder.put(output.COUNTS, output.json_text(document))
    folder.put(output.REPORT, report.page(encoded.buckets, document, training, training_shown, threshold))
    return document


def seal(folder: output.Folder, command: str, fields: Sequence[Field]) -> None:
    """Writes the manifest, last, and publishes the folder."""
    assert folder.path is not None
    try:
        saved.seal(folder.path, saved.manifest(command, fields))
    except OSError as e:
        raise PrepareError("%s: cannot write: %s" % (folder.shown, e.strerror or e)) from None
    folder.publish()


def prepare(args: argparse.Namespace, input_path: str, config_path: str, folder_name: str, shown: str) -> int:
    """One run; returns its exit status (1 when its check fails)."""
    start = time.perf_counter()
    fields = config.load(config_path)
    table = args.table or os.path.splitext(os.path.basename(input_path))[0]
    color = args.color == "always" or (args.color == "auto" and sys.stdout.isatty())
    learning = [f for f in fields if f.learns]
    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(output.Folder(folder_name))
        source = stack.enter_context(reading.Input(input_path))
        keep = None
        try:
            header = source.read_header()
            config.check_columns(fields, header, source.name)
            layout = Layout(fields, header)
            if args.sqlite is not None and learning:
                keep = categories.Kept(args.sqlite, table, fields, [
                    ("input", input_path), ("configuration", config_path), ("output folder", folder_name)])
                stack.callback(keep.discard)
            progress = Progress(source.size, not args.quiet and args.workers == 1 and args.dask is None)
            two_passes = bool(learning) and args.db is None
            if not source.seekable and (two_passes or args.check):
                source.spool_to(folder.file(".input"))
            if args.workers > 1 or args.dask is not None:
                encoded, learned = parallel.run(args, source, fields, layout, table, folder)
            else:
                if two_passes:
                    progress.total = None if source.size is None else 2 * source.size
                learned = learn(source, fields, layout, args.skip_bad_rows, args.db, table, keep, progress)
                where = source.name if args.db is None else "--db %s" % args.db
                buckets = make_buckets(fields, layout, learned, where, args.quiet)
                notify(layout, buckets, args.quiet)
                encoded = encode(source, fields, layout, buckets, args.skip_bad_rows, folder, progress)
            progress.close()
            seconds = time.perf_counter() - start
            write(folder, fields, encoded,
                  counts.run("prepare", shown, encoded.rows, encoded.skipped, encoded.left, seconds), learned)
        except OSError as e:
            # The output's files are the only ones written here.
            raise PrepareError("%s: cannot write: %s" % (folder_name, e.strerror or e)) from None
        if not args.quiet:
            for line in summaries(encoded.buckets, color):
                print(line)
        closing(shown, encoded, seconds, folder_name)
        if args.check:
            assert folder.path is not None
            source.rewind()
            with silenced(args.quiet):
                line = check.check(folder.path, folder_name, source, print)
            print(line)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(folder.file(".input"))
        seal(folder, "prepare", fields)
        if keep is not None:
            keep.finish()
    return 0


def closing(shown: str, encoded: Encoded, seconds: float, folder_name: str) -> None:
    """The lines that end a run's output."""
    if encoded.skipped:
        print("skipped %d bad rows (their numbers are in %s, 'skipped')"
              % (encoded.skipped, os.path.join(folder_name, output.ROWS)))
    print("%s: %d rows in %.3f s, %.0f rows/s, into %s"
          % (shown, encoded.rows, seconds, encoded.rows / seconds, folder_name))


def notify(layout: Layout, buckets: Sequence[bucket.BaseBucket], quiet: bool) -> None:
    if not quiet:
        for line in slow_fields(layout, buckets):
            print(line)
