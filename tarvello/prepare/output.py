"""The output folder, published as a whole: a run writes rows.npz,
buckets.pb, config.json, counts.json, report.html and, last, manifest.json
into a new hidden sibling folder, syncs them to
disk and swaps the folder in with one rename (an earlier output is first
renamed aside, and deleted after). A failed, interrupted or killed run
leaves the earlier output complete or the new one, never a mix, and its
hidden folders are removed: at once, or by a later run when the process was
killed outright (their names hold its process id)."""
from __future__ import annotations

import json
import os
import re
import shutil
import signal
import tempfile
from typing import Any, Dict, Mapping, Optional, Sequence

from ..custom.model_data import bucket
from ..custom.model_data.row_handler_proto import row_handler_pb2
from .config import PrepareError

ROWS, BUCKETS, CONFIG = "rows.npz", "buckets.pb", "config.json"
COUNTS, REPORT, MANIFEST = "counts.json", "report.html", "manifest.json"
# What an output folder holds: a folder with anything else is not replaced.
OWN = frozenset((ROWS, BUCKETS, CONFIG, COUNTS, REPORT, MANIFEST))

_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def json_text(document: Mapping[str, Any]) -> str:
    """``document`` as JSON text that a person can read: each of its entries
    on a line, and each item of an entry that is a list or an object."""
    entries = []
    for key, value in document.items():
        if isinstance(value, list) and value:
            text = "[\n%s\n ]" % ",\n".join("  " + json.dumps(item) for item in value)
        elif isinstance(value, dict) and value:
            text = "{\n%s\n }" % ",\n".join("  %s: %s" % (json.dumps(k), json.dumps(v)) for k, v in value.items())
        else:
            text = json.dumps(value)
        entries.append(" %s: %s" % (json.dumps(key), text))
    return "{\n%s\n}\n" % ",\n".join(entries)


def beside(input_path: str) -> str:
    """The default output folder: beside the input, named after it."""
    stem = os.path.splitext(os.path.basename(input_path))[0]
    return os.path.join(os.path.dirname(input_path), stem)


def messages(buckets: Sequence[bucket.BaseBucket]) -> row_handler_pb2.BucketList:
    saved = row_handler_pb2.BucketList()
    for b in buckets:
        b.write_to_proto(saved.buckets.add())
    return saved


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def remove_stale(folder: str, prefix: str, restore: Optional[str] = None) -> None:
    """Removes what runs that died left in ``folder`` under ``prefix`` +
    ``KIND-PID-...``; an earlier output set aside (``old``) goes back to
    ``restore`` when nothing is there."""
    pattern = re.compile(re.escape(prefix) + r"(new|old|tmp)-(\d+)(-|$)")
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        match = pattern.match(name)
        if match is None or alive(int(match.group(2))):
            continue
        path = os.path.join(folder, name)
        try:
            if match.group(1) == "old" and restore is not None and not os.path.lexists(restore):
                os.rename(path, restore)
            elif os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
        except OSError:
            pass


class Folder:
    """The new output folder, hidden beside ``target`` until it is published."""

    def __init__(self, target: str):
        self.shown = target
        self.target = os.path.abspath(target)
        self.parent, name = os.path.split(self.target)
        self.prefix = ".%s." % name
        if os.path.lexists(self.target):
            if not os.path.isdir(self.target):
                raise PrepareError("%s: exists and is not a folder (the output folder is given with -o)" % target)
            try:
                foreign = sorted(set(os.listdir(self.target)) - OWN)
            except OSError as e:
                raise PrepareError("%s: cannot read the folder: %s" % (target, e.strerror or e)) from None
            if foreign:
                raise PrepareError("%s: holds %s, which this tool did not write: choose another output folder"
                                   % (target, ", ".join(repr(n) for n in foreign[:3])))
        try:
            os.makedirs(self.parent, exist_ok=True)
            remove_stale(self.parent, self.prefix, self.target)
            self.path: Optional[str] = tempfile.mkdtemp(prefix="%snew-%d-" % (self.prefix, os.getpid()),
                                                        dir=self.parent)
        except OSError as e:
            raise PrepareError("%s: cannot make the folder: %s" % (target, e.strerror or e)) from None

    def file(self, name: str) -> str:
        assert self.path is not None
        return os.path.join(self.path, name)

    def write(self, saved: row_handler_pb2.BucketList, document: Dict[str, Any]) -> None:
        """Writes buckets.pb and config.json beside rows.npz."""
        with open(self.file(CONFIG), "w", encoding="utf-8") as f:
            json.dump(document, f, indent=1)
            f.write("\n")
        with open(self.file(BUCKETS), "wb") as f:
            f.write(saved.SerializeToString())

    def put(self, name: str, text: str) -> None:
        with open(self.file(name), "w", encoding="utf-8") as f:
            f.write(text)

    def publish(self) -> None:
        """Syncs the new folder and swaps it in for ``target``."""
        assert self.path is not None
        for name in os.listdir(self.path):
            _sync(os.path.join(self.path, name), os.O_RDONLY)
        _sync(self.path, os.O_RDONLY | os.O_DIRECTORY)
        old = None
        # The two renames run to their end: a signal waits until both are done.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
        try:
            if os.path.lexists(self.target):
                old = os.path.join(self.parent, "%sold-%d-%s" % (self.prefix, os.getpid(), os.urandom(4).hex()))
                os.rename(self.target, old)
            try:
                os.rename(self.path, self.target)
            except OSError:
                if old is not None:
                    os.rename(old, self.target)
                raise
            self.path = None
        except OSError as e:
            raise PrepareError("%s: cannot replace the folder: %s" % (self.shown, e.strerror or e)) from None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        _sync(self.parent, os.O_RDONLY | os.O_DIRECTORY)
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)

    def discard(self) -> None:
        if self.path is not None:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path = None

    def __enter__(self) -> "Folder":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.discard()


def _sync(path: str, flags: int) -> None:
    handle = os.open(path, flags)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)

