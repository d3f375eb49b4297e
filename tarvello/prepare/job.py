"""One preparation run: the input read once or twice (first to count the
categorical columns, then to encode), the rows encoded into a new output
folder, which is checked and then published."""
from __future__ import annotations

import argparse
import contextlib
import gc
import io
import os
import re
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ..custom.model_data import bucket
from . import categories, check, config, npz, output, parallel, reading
from .categories import Categories
from .config import Field, PrepareError
from .encoding import Encoder, Layout, Sink, slow_fields, write_rest

_ANSI = re.compile(r"\x1b\[[0-9;]*m")

# Inputs with more rows than this get a progress bar on a terminal.
PROGRESS_ROWS = 5000

Say = Callable[[str], None]


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


def count(source: reading.Input, fields: Sequence[Field], layout: Layout, skip_bad_rows: bool,
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


def encode(source: reading.Input, fields: Sequence[Field], layout: Layout, buckets: Sequence[bucket.BaseBucket],
           skip_bad_rows: bool, folder: output.Folder, progress: Progress) -> Tuple[int, int]:
    """The second (or only) reading: every row encoded into rows.npz. Returns
    the rows written and the rows left out."""
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
    return sink.rows, sink.skipped.count


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
                buckets, rows, skipped = parallel.run(args, source, fields, layout, table, folder)
            else:
                if two_passes:
                    progress.total = None if source.size is None else 2 * source.size
                    learned = count(source, fields, layout, args.skip_bad_rows, keep, progress).learned(fields)
                    source.rewind()
                else:
                    learned = categories.learn_from_database(args.db, table, learning) if learning else {}
                where = source.name if args.db is None else "--db %s" % args.db
                buckets = make_buckets(fields, layout, learned, where, args.quiet)
                notify(layout, buckets, args.quiet)
                rows, skipped = encode(source, fields, layout, buckets, args.skip_bad_rows, folder, progress)
            progress.close()
            folder.write(output.messages(buckets), config.to_document(fields))
        except OSError as e:
            # The output's files are the only ones written here.
            raise PrepareError("%s: cannot write: %s" % (folder_name, e.strerror or e)) from None
        seconds = time.perf_counter() - start
        if not args.quiet:
            for line in summaries(buckets, color):
                print(line)
        if skipped:
            print("skipped %d bad rows (their numbers are in %s, 'skipped')"
                  % (skipped, os.path.join(folder_name, output.ROWS)))
        print("%s: %d rows in %.3f s, %.0f rows/s, into %s" % (shown, rows, seconds, rows / seconds, folder_name))
        if args.check:
            assert folder.path is not None
            source.rewind()
            with silenced(args.quiet):
                line = check.check(folder.path, folder_name, source, print)
            print(line)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(folder.file(".input"))
        folder.publish()
        if keep is not None:
            keep.finish()
    return 0


def notify(layout: Layout, buckets: Sequence[bucket.BaseBucket], quiet: bool) -> None:
    if not quiet:
        for line in slow_fields(layout, buckets):
            print(line)
