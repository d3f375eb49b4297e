"""The command line: ``python3 -m tarvello.prepare`` and ``tarvello-prepare``,
with the commands ``apply`` and ``report``. Exit status: 0 done, 1 the check
failed (or a PSI over --max-psi), 2 a mistake in the input (one line on
standard error), 128 + N stopped by signal N (130 for Ctrl-C), 141 when
standard output's reader went away before the end."""
from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from typing import Any, Iterator, Optional, Sequence

from . import apply, check, job, output, reading, saved
from .config import PrepareError

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CSV = os.path.join(HERE, "titanic.csv")
DEFAULT_CONFIG = os.path.join(HERE, "titanic.json")

_EXAMPLE = """\
example:
  %(prog)s data/diamonds.csv --config examples/diamonds.json -o out/diamonds --check

With no input file it prepares the bundled Titanic passenger list with its
bundled configuration into ./titanic, and checks the result.

commands (a first argument apply or report is a command: name a CSV file of
that name ./apply):
  %(prog)s apply NEW --from DIR [-o OUT] [--json] [--max-psi X]
      encodes new data with the buckets saved in DIR, and shows its drift
  %(prog)s report DIR [--against DIR2]
      writes DIR/report.html again (against the training folder DIR2)
"""


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tarvello-prepare", epilog=_EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Learns the categories of a CSV (or .parquet) file's fields, encodes every row\n"
                    "into rows.npz, saves the buckets into buckets.pb, the configuration into\n"
                    "config.json, what each bucket counted into counts.json and report.html, and\n"
                    "every file's size and SHA-256 into manifest.json; prints what the buckets saw.")
    p.add_argument("csv", nargs="?", help="the CSV file, or a .parquet file (default: the bundled titanic.csv)")
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
                        help="only check an existing output folder (which its manifest must describe) "
                             "against the CSV file")
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
    p.set_defaults(command="prepare")
    return p


def apply_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tarvello-prepare apply", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Encodes a CSV (or .parquet) file with the buckets of an output folder, rebuilt from\n"
                    "its messages, into the same matrix columns, learning nothing; writes the output\n"
                    "folder of a run, and prints each field's drift from training: the share of each\n"
                    "slot at training and in the new data, the population stability index (PSI), the\n"
                    "None and Unknown shares, the largest PSI first.",
        epilog="example:\n  %(prog)s new.csv --from out/train -o out/new --max-psi 0.25")
    p.add_argument("new", metavar="NEW", help="the new data: a CSV file, or a .parquet file")
    p.add_argument("--from", dest="source", metavar="DIR", required=True,
                   help="the training run's output folder")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="the output folder (default: beside NEW, named after it)")
    p.add_argument("--json", action="store_true",
                   help='print the drift as one JSON object, {"fields": [...]}, instead of the text')
    p.add_argument("--max-psi", metavar="X", type=float,
                   help="exit 1 (once the output is written) when a field's PSI is over X, "
                        "naming the fields; the report marks them (default mark: over 0.25)")
    p.add_argument("--skip-bad-rows", action="store_true",
                   help="leave out rows with a cell that does not convert or a value a bucket refuses, "
                        "and count them, instead of failing")
    p.add_argument("-q", "--quiet", action="store_true", help="print the closing line alone")
    p.set_defaults(command="apply")
    return p


def report_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tarvello-prepare report",
        description="Writes the report of an output folder (DIR/report.html) again, from its counts and "
                    "its buckets; an applied folder's against its training folder.")
    p.add_argument("folder", metavar="DIR", help="the output folder")
    p.add_argument("--against", metavar="DIR2",
                   help="the training folder to draw it against (default: the one its apply run recorded)")
    p.set_defaults(command="report")
    return p


COMMANDS = {"apply": apply_parser, "report": report_parser}


def _default_output(csv_path: Optional[str]) -> str:
    return "titanic" if csv_path is None else output.beside(csv_path)


def run(args: argparse.Namespace) -> int:
    if args.command == "apply":
        return apply.apply(args, _say)
    if args.command == "report":
        return apply.rerender(args)
    csv_path = args.csv or DEFAULT_CSV
    folder = args.output or _default_output(args.csv)
    if args.check_only:
        saved.verify(folder, folder)
        with reading.Input(csv_path) as source:
            source.read_header()
            with job.silenced(args.quiet):
                line = check.check(folder, folder, source, print)
        print(line)
        return 0
    if args.workers < 1:
        raise PrepareError("--workers must be 1 or more, not %d" % args.workers)
    if args.sqlite is not None and (args.workers > 1 or args.dask is not None):
        raise PrepareError("--sqlite keeps the database of one process: not with --workers or --dask")
    if args.check is None:
        args.check = args.csv is None
    return job.prepare(args, csv_path, args.config or DEFAULT_CONFIG, folder, args.csv or "the bundled titanic.csv")


class Stopped(BaseException):
    """SIGTERM or SIGHUP: the run stops, as for Ctrl-C, and cleans up."""

    def __init__(self, number: int):
        super().__init__(number)
        self.number = number


class _Stdout:
    """Standard output. When it fails (its reader went away, | head; a full
    disk), the rest of what the run prints goes nowhere and the run carries
    on to a complete output; it then ends non-zero with the reason."""

    def __init__(self, inner: Any):
        self._inner = inner
        self.failed: Optional[OSError] = None

    def write(self, text: str) -> int:
        if self.failed is None:
            try:
                self._inner.write(text)
            except OSError as e:
                self._fail(e)
        return len(text)

    def flush(self) -> None:
        if self.failed is None:
            try:
                self._inner.flush()
            except OSError as e:
                self._fail(e)

    def _fail(self, error: OSError) -> None:
        self.failed = error
        # What is still buffered, and the interpreter's flush at exit, go to /dev/null.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), self._inner.fileno())

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)


def _stop(number: int, frame: Any) -> None:
    raise Stopped(number)


@contextlib.contextmanager
def _guarded() -> Iterator[_Stdout]:
    """Standard output wrapped, and SIGTERM and SIGHUP turned into Stopped."""
    handlers = {n: signal.signal(n, _stop) for n in (signal.SIGTERM, signal.SIGHUP)}
    stdout = sys.stdout
    wrapped = _Stdout(stdout)
    sys.stdout = wrapped
    try:
        yield wrapped
        wrapped.flush()
    finally:
        sys.stdout = stdout
        for number, handler in handlers.items():
            signal.signal(number, handler)


def _say(text: str) -> None:
    if sys.stderr is not None:
        print("tarvello-prepare: %s" % text.replace("\r", "\\r").replace("\n", "\\n"), file=sys.stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    if words and words[0] in COMMANDS:
        args = COMMANDS[words[0]]().parse_args(words[1:])
    else:
        args = parser().parse_args(words)
    if sys.stdout is None:
        _say("error: standard output is closed")
        return 2
    try:
        with job.no_collection(), _guarded() as stdout:
            status = run(args)
        if isinstance(stdout.failed, BrokenPipeError):
            _say("standard output was closed before the end (the output folder is complete)")
            return 141
        if stdout.failed is not None:
            _say("error: standard output: cannot write: %s (the output folder is complete)"
                 % (stdout.failed.strerror or stdout.failed))
            return 2
        return status
    except check.CheckFailed as e:
        _say("check failed: %s" % e)
        return 1
    except PrepareError as e:
        _say("error: %s" % e)
        return 2
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except Stopped as e:
        _say("stopped by %s" % signal.Signals(e.number).name)
        return 128 + e.number


def console() -> None:
    sys.exit(main())
