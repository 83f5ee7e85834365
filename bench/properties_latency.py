#!/usr/bin/python3
"""How long Nautilus's main thread waits for the Properties section.

    bench/properties_latency.py [BUILD_DIR] [RUNS]

Nautilus calls get_models on its main thread (the window waits for it), so
it must answer within 100 ms however large the archive. This loads the
nautilus-python extension with the real Nautilus 4.0 introspection data and,
for a small ZIP and a 200,000-entry ZIP, times in the same run:

  get_models   the extension's answer (the section with its "reading" row);
  blocking     what a section that listed before answering would cost:
               vexel-quicklook --json run to the end.

It prints the median, 95th percentile and largest time of each, and the
ratio of the medians. The rows themselves arrive later on the main loop
(not timed here). RUNS defaults to 50. Needs Debian's python3 with
python3-nautilus (scripts/install-deps.sh desktop).
"""

import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

import gi

gi.require_version("Nautilus", "4.0")
from gi.repository import Gio, GLib  # noqa: E402  (after require_version)

HERE = os.path.dirname(os.path.abspath(__file__))


class FileInfo:
    def __init__(self, path):
        self.path = path

    def get_location(self):
        return Gio.File.new_for_path(self.path)

    def is_directory(self):
        return False


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def summary(name, values):
    return (f"{name:<12} median {statistics.median(values):8.2f} ms   "
            f"p95 {percentile(values, 0.95):8.2f} ms   max {max(values):8.2f} ms")


def drain(seconds):
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        context.iteration(False)
        time.sleep(0.005)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    quicklook = os.path.join(build, "quicklook", "vexel-quicklook")
    if not os.access(quicklook, os.X_OK):
        print(f"no {quicklook}: build first", file=sys.stderr)
        return 2
    os.environ["PATH"] = os.path.dirname(quicklook) + os.pathsep + os.environ["PATH"]
    path = os.path.join(HERE, "..", "share", "nautilus-python", "extensions", "vexel_menu.py")
    module_spec = importlib.util.spec_from_file_location("vexel_menu", path)
    menu = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(menu)
    provider = menu.VexelPropertiesProvider()
    print(f"load average {os.getloadavg()[0]:.1f}, {runs} runs each")
    with tempfile.TemporaryDirectory(prefix="vexel-properties-bench-") as work:
        small = os.path.join(work, "small.zip")
        with zipfile.ZipFile(small, "w") as out:
            for index in range(40):
                out.writestr(f"项目/文件 {index}.txt", "x" * 100)
        large = os.path.join(work, "large.zip")
        with zipfile.ZipFile(large, "w", compression=zipfile.ZIP_STORED) as out:
            for index in range(200000):
                out.writestr(f"d{index % 100}/f{index}.txt", "")
        for archive in (small, large):
            answers, blocking = [], []
            for _ in range(runs):
                started = time.perf_counter()
                models = provider.get_models([FileInfo(archive)])
                answers.append((time.perf_counter() - started) * 1000)
                assert len(models) == 1
                started = time.perf_counter()
                subprocess.run([quicklook, "--json", "--", archive], check=True,
                               stdout=subprocess.DEVNULL)
                blocking.append((time.perf_counter() - started) * 1000)
                # Let the section's own listing finish before the next run.
                drain(0.05 if archive == small else 0.5)
            print(f"{os.path.basename(archive)}:")
            print("  " + summary("get_models", answers))
            print("  " + summary("blocking", blocking))
            print(f"  ratio of the medians: {statistics.median(answers) / statistics.median(blocking):.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
