"""A published output folder, sealed and read back. Its manifest.json,
written last by the run that made the folder, lists every other file with
its size and SHA-256, and the fields with their matrix columns: a folder is
read only when its files are exactly those, so that nothing changed, lost
or added since goes unnoticed. Then its configuration, its buckets rebuilt
from their messages, and its counts."""
from __future__ import annotations

import contextlib
import hashlib
import importlib.metadata
import io
import json
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence

from ..custom.model_data import bucket
from ..custom.model_data.row_handler_proto import row_handler_pb2
from . import check, config, counts, npz, output
from .config import Field, PrepareError
from .encoding import spans

FORMAT = 1
_BLOCK = 1 << 22


def package_version() -> Optional[str]:
    try:
        return importlib.metadata.version("tarvello-bucket")
    except importlib.metadata.PackageNotFoundError:
        # A build in place, not installed.
        return None


def describe(fields: Sequence[Field]) -> List[Dict[str, Any]]:
    """The fields as the manifest lists them."""
    return [{"name": f.name, "kind": f.kind, "type": f.type, "columns": None if span is None else list(span),
             "ragged": span is None} for f, span in zip(fields, spans(fields)[1])]


def manifest(command: str, fields: Sequence[Field]) -> Dict[str, Any]:
    """A new folder's manifest, its files still to be listed by ``seal``."""
    return {"format": FORMAT, "package_version": package_version(), "command": command,
            "fields": describe(fields), "files": {}}


def digest(path: str) -> Dict[str, Any]:
    sha = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(_BLOCK)
            if not block:
                break
            sha.update(block)
            size += len(block)
    return {"size": size, "sha256": sha.hexdigest()}


def seal(folder: str, document: Dict[str, Any]) -> None:
    """Writes manifest.json into ``folder``, after every other file: each
    one's size and SHA-256, taken from ``document`` where it lists them."""
    known = document["files"]
    files = {name: known.get(name) or digest(os.path.join(folder, name))
             for name in sorted(os.listdir(folder)) if name != output.MANIFEST}
    with open(os.path.join(folder, output.MANIFEST), "w", encoding="utf-8") as f:
        f.write(output.json_text(dict(document, files=files)))


def verify(folder: str, shown: str) -> Dict[str, Any]:
    """The manifest of the output folder ``folder`` (named ``shown``), once
    its files are found to be exactly those it lists; PrepareError naming
    what differs otherwise."""
    named = os.path.join(shown, output.MANIFEST)
    if not os.path.isdir(folder):
        raise PrepareError("%s: not a folder" % shown)
    try:
        with open(os.path.join(folder, output.MANIFEST), "rb") as f:
            data = f.read(config.MAX_BYTES + 1)
    except FileNotFoundError:
        raise PrepareError("%s: no %s: not an output folder of this tool" % (shown, output.MANIFEST)) from None
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (named, e.strerror or e)) from None
    try:
        document = json.loads(data)
    except ValueError:
        raise PrepareError("%s: not JSON" % named) from None
    if not isinstance(document, dict) or not isinstance(document.get("files"), dict) or not all(
            name in output.OWN and isinstance(entry, dict) for name, entry in document["files"].items()):
        raise PrepareError("%s: not a manifest this tool wrote" % named)
    if document.get("format") != FORMAT:
        raise PrepareError("%s: format %s, which this release does not read (it reads %d)"
                           % (named, json.dumps(document.get("format"))[:20], FORMAT))
    files = document["files"]
    try:
        present = set(os.listdir(folder)) - {output.MANIFEST}
    except OSError as e:
        raise PrepareError("%s: cannot read the folder: %s" % (shown, e.strerror or e)) from None
    missing, extra = sorted(set(files) - present), sorted(present - set(files))
    if missing:
        raise PrepareError("%s: %s is missing, which %s lists" % (shown, missing[0], output.MANIFEST))
    if extra:
        raise PrepareError("%s: holds %r, which %s does not list" % (shown, extra[0], output.MANIFEST))
    for name, entry in sorted(files.items()):
        path = os.path.join(folder, name)
        try:
            size = os.path.getsize(path)
            if size != entry.get("size"):
                raise PrepareError("%s: %d bytes, %s says %s" % (os.path.join(shown, name), size, output.MANIFEST,
                                                                   json.dumps(entry.get("size"))[:20]))
            if digest(path)["sha256"] != entry.get("sha256"):
                raise PrepareError("%s: its SHA-256 differs from %s's" % (os.path.join(shown, name), output.MANIFEST))
        except OSError as e:
            raise PrepareError("%s: cannot read: %s" % (os.path.join(shown, name), e.strerror or e)) from None
    return document


@dataclass
class Saved:
    """An output folder that passed its manifest's checks."""
    folder: str
    shown: str
    manifest: Dict[str, Any]
    fields: List[Field]
    messages: row_handler_pb2.BucketList
    counts: Dict[str, Any]

    def buckets(self, positions: Optional[Sequence[Optional[int]]] = None) -> List[bucket.BaseBucket]:
        """The buckets rebuilt from the messages, with zero counts, reading
        from ``positions`` of a row."""
        where = os.path.join(self.shown, output.BUCKETS)
        try:
            # read_from_proto prints each bucket it rebuilds.
            with contextlib.redirect_stdout(io.StringIO()):
                return check.rebuild(self.fields, positions or [None] * len(self.fields), self.messages, where,
                                     lambda text: None)
        except check.CheckFailed as e:
            raise PrepareError(str(e)) from None

    def columns(self) -> List[str]:
        """The names of rows.npz's matrix columns."""
        reader = npz.Reader(os.path.join(self.folder, output.ROWS), os.path.join(self.shown, output.ROWS))
        try:
            return [str(name) for name in reader.array("columns").tolist()]
        finally:
            reader.close()


def load(folder: str, shown: Optional[str] = None) -> Saved:
    """The output folder ``folder`` (named ``shown`` in errors), checked
    against its manifest, then its configuration against the manifest's
    fields and the counts' fields."""
    shown = folder if shown is None else shown
    document = verify(folder, shown)
    fields = config.load(os.path.join(folder, output.CONFIG), os.path.join(shown, output.CONFIG))
    if document.get("fields") != describe(fields):
        raise PrepareError("%s: its fields differ from those of %s" % (os.path.join(shown, output.MANIFEST),
                                                                       output.CONFIG))
    messages = check.read_messages(folder, shown)
    counted = read_counts(os.path.join(folder, output.COUNTS), os.path.join(shown, output.COUNTS))
    if [e.get("name") for e in counted["fields"]] != [f.name for f in fields]:
        raise PrepareError("%s: its fields differ from those of %s" % (os.path.join(shown, output.COUNTS),
                                                                       output.CONFIG))
    return Saved(folder, shown, document, fields, messages, counted)


def read_counts(path: str, shown: str) -> Dict[str, Any]:
    try:
        with open(path, "rb") as f:
            document = json.load(f)
    except OSError as e:
        raise PrepareError("%s: cannot read: %s" % (shown, e.strerror or e)) from None
    except ValueError:
        raise PrepareError("%s: not JSON" % shown) from None
    if not isinstance(document, dict) or document.get("format") != counts.FORMAT or not isinstance(
            document.get("run"), dict) or not isinstance(document.get("fields"), list) or not all(
            isinstance(e, dict) for e in document["fields"]):
        raise PrepareError("%s: not counts of format %d" % (shown, counts.FORMAT))
    return document
