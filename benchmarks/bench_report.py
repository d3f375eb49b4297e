"""Size and render time of the HTML report (tarvello/prepare/report.py) that
the tool's runs write: Titanic and diamonds prepared, Titanic's women
applied to its men (two series), and 50 fields (the diamonds fields five
times over, prepared, and applied: carats from 0.7 to those under).

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


MEASURE = ('<script>document.body.offsetHeight;'
           'document.title="laid out at "+performance.now().toFixed(1)</script></body>')


def fifty_fields(folder):
    """The diamonds configuration with every field five times (50 of them), renamed."""
    specs = json.loads(t.DIAMONDS_CONFIG.read_text())["fields"]
    many = [dict(s, name="%s_%d" % (s["name"], copy)) for copy in range(5) for s in specs][:50]
    path = folder / "fifty.json"
    path.write_text(json.dumps({"fields": many}))
    return path


def reports(folder):
    """Each report's text and its number of fields."""
    runs = t.tool_runs(folder)
    fifty = fifty_fields(folder)
    t.tool(t.DIAMONDS, "--config", fifty, "-o", folder / "fifty", "-q")
    small = t.rows_where(t.DIAMONDS, lambda r: float(r["carat"]) < 0.7, folder / "small.csv")
    t.tool(small, "--config", fifty, "-o", folder / "small", "-q")
    t.tool("apply", t.rows_where(t.DIAMONDS, lambda r: float(r["carat"]) >= 0.7, folder / "large.csv"), "--from",
           folder / "small", "-o", folder / "large", "-q")
    made = {"titanic": (runs["titanic"], 13), "diamonds": (runs["diamonds"], 11),
            "titanic, women against men": (runs["applied"], 13), "50 fields": (folder / "fifty", 50),
            "50 fields, applied": (folder / "large", 50)}
    return {name: ((out / "report.html").read_text(encoding="utf-8"), fields) for name, (out, fields) in made.items()}


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
        made = reports(folder)
        empty = folder / "empty.html"
        empty.write_text("<!DOCTYPE html><title>empty</title>")
        shot = str(folder / "shot.png")
        blank = statistics.median(headless(empty, "--screenshot=" + shot)[0] for _ in range(args.repeat))
        print("%-28s %9s %9s %9s %11s %13s" % ("report", "bytes", "bound", "per field", "layout (s)",
                                             "screenshot (s)"))
        for name, (page, fields) in made.items():
            path, timed = folder / "report.html", folder / "timed.html"
            path.write_text(page, encoding="utf-8")
            timed.write_text(page.replace("</body>", MEASURE), encoding="utf-8")
            size, bound = len(page.encode()), 30 * 1024 * fields + 20 * 1024
            layout = statistics.median(laid_out(timed) for _ in range(args.repeat))
            wall = statistics.median(headless(path, "--screenshot=" + shot)[0] for _ in range(args.repeat))
            print("%-28s %9d %9d %9d %11.3f %6.2f (%+.2f)" % (name, size, bound, size // fields, layout,
                                                            wall, wall - blank))
            failed = failed or size > bound or layout >= 1.0
        print("an empty page's screenshot run: %.2f s" % blank)
        if args.screenshot:
            # The input named as from the repository's root.
            shot_at = os.path.abspath(args.screenshot)
            os.chdir(t.TITANIC.parents[1])
            t.tool(os.path.join("data", "titanic.csv"), "-o", folder / "shot", "-q")
            headless(folder / "shot" / "report.html", "--window-size=1100,1500", "--screenshot=" + shot_at)
            print("wrote", args.screenshot)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
