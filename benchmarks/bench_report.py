"""Size and render time of the HTML report (tarvello/prepare/report.py) for
the Titanic and diamonds runs, Titanic women against men (two series), and
50 fields (the diamonds fields five times over, prepared and applied).

Sizes against the bound of 30 KB per field plus 20 KB. Times in headless
Chromium, median of --repeat runs: the page's own clock at the end of its
first layout (parse, style and layout of the whole file, read from a copy
with one line of script appended), and the wall time of a headless run that
takes a screenshot, beside the same run on an empty page. Exit status 1 if a
report is over its bound or takes a second or more to lay out.

--screenshot PATH writes the Titanic report's screenshot (the README's).

    BUCKET_BUILD_DIR=build /usr/bin/python3 benchmarks/bench_report.py [--repeat N] [--screenshot PATH]
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import conftest  # noqa: E402,F401  (puts BUCKET_BUILD_DIR's build on the package path)
import test_report as t  # noqa: E402

from tarvello.prepare import report  # noqa: E402

MEASURE = ('<script>document.body.offsetHeight;'
           'document.title="laid out at "+performance.now().toFixed(1)</script></body>')


def fifty_fields(folder):
    """The diamonds configuration with every field five times (50 of them), renamed."""
    specs = json.loads(t.DIAMONDS[1].read_text())["fields"]
    many = [dict(s, name="%s_%d" % (s["name"], copy)) for copy in range(5) for s in specs][:50]
    path = folder / "fifty.json"
    path.write_text(json.dumps({"fields": many}))
    return t.DIAMONDS[0], path


def reports(folder):
    fifty = fifty_fields(folder)
    made = {"titanic": t.made_report(t.TITANIC)[0], "diamonds": t.made_report(t.DIAMONDS)[0],
            "titanic, women against men": t.applied()[0], "50 fields": t.made_report(fifty)[0]}
    _, train, learned = t.counted(fifty, keep=lambda r: float(r["carat"]) < 0.7)
    buckets, new, _ = t.counted(fifty, command="apply", keep=lambda r: float(r["carat"]) >= 0.7, learned=learned)
    made["50 fields, applied"] = report.render(report.Report(
        new["run"], report.field_reports(buckets, new, training=train), training="out/small"))
    fields = {"titanic": 13, "diamonds": 11, "titanic, women against men": 13, "50 fields": 50,
              "50 fields, applied": 50}
    return made, fields


def headless(page, *args):
    with tempfile.TemporaryDirectory() as profile:
        start = time.perf_counter()
        done = subprocess.run(["chromium"] + t.BROWSER_FLAGS + ["--user-data-dir=" + profile] + list(args)
                              + [page.as_uri()], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=t.browser_environment(), check=True)
        return time.perf_counter() - start, done.stdout.decode()


def laid_out(page):
    _, dom = headless(page, "--dump-dom")
    marker = "<title>laid out at "
    return float(dom[dom.index(marker) + len(marker):].split("<", 1)[0]) / 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--screenshot", help="write the Titanic report's screenshot here")
    args = parser.parse_args()
    failed = False
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        made, fields = reports(folder)
        empty = folder / "empty.html"
        empty.write_text("<!DOCTYPE html><title>empty</title>")
        shot = str(folder / "shot.png")
        blank = statistics.median(headless(empty, "--screenshot=" + shot)[0] for _ in range(args.repeat))
        print("%-28s %9s %9s %9s %11s %13s" % ("report", "bytes", "bound", "per field", "layout (s)",
                                             "screenshot (s)"))
        for name, page in made.items():
            path, timed = folder / "report.html", folder / "timed.html"
            path.write_text(page, encoding="utf-8")
            timed.write_text(page.replace("</body>", MEASURE), encoding="utf-8")
            size, bound = len(page.encode()), 30 * 1024 * fields[name] + 20 * 1024
            layout = statistics.median(laid_out(timed) for _ in range(args.repeat))
            wall = statistics.median(headless(path, "--screenshot=" + shot)[0] for _ in range(args.repeat))
            print("%-28s %9d %9d %9d %11.3f %6.2f (%+.2f)" % (name, size, bound, size // fields[name], layout,
                                                            wall, wall - blank))
            failed = failed or size > bound or layout >= 1.0
        print("an empty page's screenshot run: %.2f s" % blank)
        if args.screenshot:
            path = folder / "titanic.html"
            path.write_text(made["titanic"], encoding="utf-8")
            headless(path, "--window-size=1100,1500", "--screenshot=" + os.path.abspath(args.screenshot))
            print("wrote", args.screenshot)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
