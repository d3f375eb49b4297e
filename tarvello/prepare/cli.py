"""The command line: ``python3 -m tarvello.prepare`` and ``tarvello-prepare``."""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ..custom.model_data import bucket
from . import categories, check, config, job, output, parallel
from .categories import Categories
from .config import PrepareError
from .encoding import Encoded, Layout

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CSV = os.path.join(HERE, "titanic.csv")
DEFAULT_CONFIG = os.path.join(HERE, "titanic.json")

# Inputs with more rows than this get a progress bar on a terminal.
PROGRESS_ROWS = 5000

_EXAMPLE = """\
example:
  %(prog)s data/diamonds.csv --config examples/diamonds.json -o out/diamonds --check

With no CSV file it prepares the bundled Titanic passenger list with its
bundled configuration into ./titanic, and checks the result.
"""


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tarvello-prepare", epilog=_EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Learns the categories of a CSV file's fields, encodes every row into\n"
                    "rows.npz, saves the buckets into buckets.pb and the configuration into\n"
                    "config.json, and prints what the buckets saw.")
    p.add_argument("csv", nargs="?", help="the CSV file (default: the bundled titanic.csv)")
    p.add_argument("--config", metavar="FILE",
                   help="the field configuration, JSON (default: the bundled one for Titanic)")
    p.add_argument("-o", "--output", metavar="DIR",
                   help="the output folder (default: beside the CSV file, named after it)")
    learn = p.add_mutually_exclusive_group()
    learn.add_argument("--sqlite", metavar="FILE",
                       help="keep the SQLite database the categories are learned from in FILE")
    learn.add_argument("--db", metavar="URL",
                       help="learn the categories from an existing database instead: "
                            "sqlite:PATH or postgresql://...")
    p.add_argument("--table", metavar="NAME",
                   help="the table in the database (default: the CSV file's name without .csv)")
    checks = p.add_mutually_exclusive_group()
    checks.add_argument("--check", dest="check", action="store_true", default=None,
                        help="rebuild the saved buckets and check that they encode the input into "
                             "the saved arrays (on by default without a CSV file)")
    checks.add_argument("--no-check", dest="check", action="store_false", help="do not check")
    checks.add_argument("--check-only", action="store_true",
                        help="only check an existing output folder against the CSV file")
    p.add_argument("--skip-bad-rows", action="store_true",
                   help="leave out rows with a cell that does not convert or a value a bucket refuses, "
                        "and count them, instead of failing")
    p.add_argument("--workers", metavar="N", type=int, default=1,
                   help="encode in N processes of this machine (default: 1); with --dask local, "
                        "its number of workers")
    p.add_argument("--dask", metavar="ADDRESS",
                   help="encode on a Dask cluster: 'local' starts one on this machine for the run, "
                        "tcp://HOST:PORT uses a running scheduler (its workers need the package installed)")
    p.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                   help="colour in the summaries (default: auto, on a terminal)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no summaries and no progress bar (which one process shows on a terminal)")
    return p


def _default_output(csv_path: Optional[str]) -> str:
    if csv_path is None:
        return "titanic"
    stem = os.path.splitext(os.path.basename(csv_path))[0]
    return os.path.join(os.path.dirname(csv_path), stem)


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def __enter__(self) -> "_NoBar":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


def _progress(total: int, quiet: bool) -> Any:
    if quiet or total <= PROGRESS_ROWS or not sys.stderr.isatty():
        return _NoBar()
    from tqdm import tqdm
    return tqdm(total=total, unit="rows", file=sys.stderr, leave=False)


def run(args: argparse.Namespace) -> int:
    csv_path = args.csv or DEFAULT_CSV
    folder = args.output or _default_output(args.csv)
    color = args.color == "always" or (args.color == "auto" and sys.stdout.isatty())

    def say(line: str) -> None:
        if not args.quiet:
            print(line)

    do_check = args.check if args.check is not None else args.csv is None
    if args.check_only:
        print(_check(folder, csv_path, args.quiet))
        return 0

    if args.workers < 1:
        raise PrepareError("--workers must be 1 or more, not %d" % args.workers)
    start = time.perf_counter()
    fields = config.load(args.config or DEFAULT_CONFIG)
    table = args.table or os.path.splitext(os.path.basename(csv_path))[0]
    if args.dask is not None or args.workers > 1:
        buckets, encoded, skipped, header = _in_parts(args, csv_path, fields, table)
    else:
        buckets, encoded, skipped, header = _in_one(args, csv_path, fields, table)
    named = output.arrays(encoded, Layout(fields, header).columns, skipped)
    paths = output.write(folder, named, output.messages(buckets), config.to_document(fields))
    seconds = time.perf_counter() - start
    for line in job.summaries(buckets, color):
        say(line)
    if skipped:
        print("skipped %d bad rows (their numbers are in %s, 'skipped')" % (len(skipped), paths[2]))
    rows = encoded.matrix.shape[0]
    shown = args.csv or "the bundled titanic.csv"
    print("%s: %d rows in %.3f s, %.0f rows/s, into %s" % (shown, rows, seconds, rows / seconds, folder))
    if do_check:
        print(_check(folder, csv_path, args.quiet))
    return 0


Outcome = Tuple[List[bucket.BaseBucket], Encoded, List[int], List[str]]


def _in_one(args: argparse.Namespace, csv_path: str, fields: List[config.Field], table: str) -> Outcome:
    data = job.read_input(csv_path, fields, args.skip_bad_rows)
    learned = job.learn(fields, data, table, args.db, args.sqlite)
    first = [True]

    def make() -> List[bucket.BaseBucket]:
        # Only the first set made says which categories it learned.
        quiet, first[0] = args.quiet or not first[0], False
        return job.make_buckets(fields, data.table.header, learned, quiet)

    with _progress(len(data.kept), args.quiet) as bar:
        buckets, encoded = job.encode(fields, make, data, args.skip_bad_rows, bar.update)
    return buckets, encoded, data.skipped, data.table.header


def _in_parts(args: argparse.Namespace, csv_path: str, fields: List[config.Field], table: str) -> Outcome:
    if args.sqlite is not None:
        raise PrepareError("--sqlite keeps the database of one process: not with --workers or --dask")
    learning = [f for f in fields if f.learns]
    count = args.db is None and bool(learning)
    made: List[List[str]] = []

    def learn(header: List[str], counted: Optional[List[Dict[str, Categories]]]) -> List[bucket.BaseBucket]:
        if counted is not None:
            learned = parallel.merge_categories(counted)
        else:
            learned = categories.learn_from_database(args.db, table, learning) if learning else {}
        made.append(header)
        return job.make_buckets(fields, header, learned, args.quiet)

    if args.dask is not None:
        buckets, results, matrix = parallel.on_dask(args.dask, csv_path, fields, args.workers if args.workers > 1
                                                    else None, args.skip_bad_rows, count, learn)
    else:
        buckets, results, matrix = parallel.on_processes(csv_path, fields, args.workers, args.skip_bad_rows,
                                                         count, learn)
    header = made[0]
    encoded, skipped = parallel.assemble(buckets, results, len(Layout(fields, header).columns), matrix)
    return buckets, encoded, skipped, header


def _check(folder: str, csv_path: str, quiet: bool) -> str:
    # The module's own lines of the rebuilt buckets are summaries too.
    with job.silenced(quiet):
        return check.check(folder, csv_path, print)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    try:
        with job.no_collection():
            return run(args)
    except check.CheckFailed as e:
        print("tarvello-prepare: check failed: %s" % e, file=sys.stderr)
        return 1
    except PrepareError as e:
        print("tarvello-prepare: error: %s" % e, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("tarvello-prepare: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (| head): not an error. Standard
        # output goes to /dev/null so that the interpreter's flush at exit is quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def console() -> None:
    sys.exit(main())
