"""``tarvello-prepare apply``: a training run's buckets, rebuilt from its
output folder, encode new data into the training run's matrix columns,
learning nothing, and what they count is set against what they counted at
training (the drift). ``tarvello-prepare report``: a folder's report made
again."""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import time
from typing import Callable, Optional

from . import counts, drift, job, output, reading, report, saved
from .config import PrepareError, check_columns
from .encoding import Layout


def apply(args: argparse.Namespace, say: Callable[[str], None]) -> int:
    """One apply run; returns its exit status: 1 when a field's PSI is over
    --max-psi (said with ``say``), once the output is published."""
    start = time.perf_counter()
    trained = saved.load(args.source, args.source)
    fields = trained.fields
    folder_name = args.output or output.beside(args.new)
    if os.path.realpath(folder_name) == os.path.realpath(args.source):
        raise PrepareError("-o %s: that is the training folder (--from)" % folder_name)
    quiet = args.quiet or args.json
    threshold = drift.THRESHOLD if args.max_psi is None else args.max_psi
    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(output.Folder(folder_name))
        source = stack.enter_context(reading.Input(args.new))
        try:
            header = source.read_header()
            check_columns(fields, header, source.name)
            layout = Layout(fields, header)
            if layout.columns != trained.columns():
                raise PrepareError("%s: the matrix columns differ from those of %s"
                                   % (os.path.join(args.source, output.ROWS), output.CONFIG))
            buckets = trained.buckets(layout.positions)
            job.notify(layout, buckets, quiet)
            progress = job.Progress(source.size, not quiet)
            encoded = job.encode(source, fields, layout, buckets, args.skip_bad_rows, folder, progress)
            progress.close()
            seconds = time.perf_counter() - start
            run = counts.run("apply", args.new, encoded.rows, encoded.skipped, encoded.left, seconds,
                             **{"from": os.path.relpath(os.path.abspath(args.source), os.path.abspath(folder_name))})
            document = job.write(folder, fields, encoded, run, training=trained.counts, training_shown=args.source,
                                 threshold=threshold)
        except OSError as e:
            raise PrepareError("%s: cannot write: %s" % (folder_name, e.strerror or e)) from None
        job.seal(folder, "apply", fields)
    drifts = drift.compare_runs(trained.counts, document)
    if args.json:
        print(json.dumps({"fields": [moved.to_json() for moved in drifts]}))
    else:
        if not args.quiet:
            print("%s against %s:" % (args.new, args.source))
            for line in drift.text_table(drifts, threshold):
                print(line)
        job.closing(args.new, encoded, seconds, folder_name)
    over = ["%s %.4f" % (moved.name, moved.psi) for moved in drifts
            if args.max_psi is not None and moved.psi is not None and moved.psi > args.max_psi]
    if over:
        say("PSI over %g: %s" % (args.max_psi, ", ".join(over)))
        return 1
    return 0


def training_of(target: saved.Saved, against: Optional[str]) -> Optional[saved.Saved]:
    """The training folder an applied folder is drawn against: ``against``,
    else the one its run recorded (beside it), read with its checks."""
    if against is not None:
        return saved.load(against, against)
    recorded = target.counts["run"].get("from")
    if not isinstance(recorded, str):
        return None
    path = os.path.normpath(os.path.join(target.folder, recorded))
    if not os.path.isdir(path):
        raise PrepareError("%s: its training folder %s is not there (give it with --against)"
                           % (os.path.join(target.shown, output.COUNTS), path))
    return saved.load(path, path)


def rerender(args: argparse.Namespace) -> int:
    """Writes the report of an output folder again, from its counts and its
    buckets rebuilt from their messages: into a copy of the folder (its
    other files linked), sealed and published in its place."""
    target = saved.load(args.folder, args.folder)
    training = training_of(target, args.against)
    try:
        page = report.page(target.buckets(), target.counts, None if training is None else training.counts,
                           None if training is None else training.shown)
    except ValueError as e:
        # A training folder of other fields or slots (prepared again since).
        raise PrepareError("%s: %s" % (args.folder, e)) from None
    kept = {name: entry for name, entry in target.manifest["files"].items() if name != output.REPORT}
    with output.Folder(args.folder) as folder:
        assert folder.path is not None
        try:
            for name in kept:
                _link(os.path.join(target.folder, name), folder.file(name))
            folder.put(output.REPORT, page)
            saved.seal(folder.path, dict(target.manifest, files=kept))
        except OSError as e:
            raise PrepareError("%s: cannot write: %s" % (args.folder, e.strerror or e)) from None
        folder.publish()
    print("%s: written%s" % (os.path.join(args.folder, output.REPORT),
                             "" if training is None else " against %s" % training.shown))
    return 0


def _link(source: str, target: str) -> None:
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)
