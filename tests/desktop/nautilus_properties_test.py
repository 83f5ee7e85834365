#!/usr/bin/python3
"""The Properties section of the Nautilus extension, outside Nautilus.

Loads share/nautilus-python/extensions/vexel_menu.py with the real
Nautilus 4.0 introspection data and checks: the rows made from the host's
JSON; that get_models answers before the listing is done (a stand-in host
that never answers), then fills in the rows from the real host, or says
the listing took too long and stops it; and which selections get a section.

    nautilus_properties_test.py EXTENSION QUICKLOOK_HOST

Exit status 77 when python3-nautilus is missing (1 under CI, VEXEL_CI=1).
"""

import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
import zipfile

def skip_unless_ci(reason):
    """Ends the test as skipped (77) for want of what `reason` says; under CI
    (VEXEL_CI set to anything but "" or 0), which installs it, as failed."""
    ci = os.environ.get("VEXEL_CI", "")
    if ci not in ("", "0"):
        print(f"FAIL: {reason}, and CI (VEXEL_CI={ci}) installs it")
        sys.exit(1)
    print(f"SKIP: {reason}")
    sys.exit(77)


try:
    import gi

    gi.require_version("Nautilus", "4.0")
    from gi.repository import Gio, GLib, Nautilus  # noqa: F401 (present, or the test skips)
except (ImportError, ValueError):
    skip_unless_ci("python3-nautilus (Nautilus 4.0) is not installed (scripts/install-deps.sh desktop)")

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


def load(path):
    module_spec = importlib.util.spec_from_file_location("vexel_menu", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


class FileInfo:
    """The part of Nautilus.FileInfo the extension uses."""

    def __init__(self, path, is_directory=False, location=True):
        self.path = path
        self.directory = is_directory
        self.location = location

    def get_location(self):
        return Gio.File.new_for_path(self.path) if self.location else Gio.File.new_for_uri(
            "sftp://host/" + os.path.basename(self.path))

    def is_directory(self):
        return self.directory


def items(model):
    store = model.get_model()
    return [(store.get_item(i).get_name(), store.get_item(i).get_value())
            for i in range(store.get_n_items())]


def run_until(condition, seconds):
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        context.iteration(False)
        time.sleep(0.01)
    return condition()


def rows_from_previews(menu):
    row = lambda depth, name, size, date="2024-05-01 10:00": {  # noqa: E731
        "depth": depth, "name": name, "size": size, "date": date,
        "expandable": size == "--", "expanded": size == "--"}
    nested = {"subtitle": "ZIP 压缩包 · 3 个文件 · 2 个文件夹", "footer": "原始大小 5 KB → 压缩包 2 KB",
              "message": None, "omittedRows": 0,
              "rows": [row(0, "项目", "--"), row(1, "文档", "--"), row(2, "第一章.md", "3 KB"),
                       row(1, "a b.txt", "2 KB", ""), row(0, "readme", "1 字节")]}
    check(menu.properties_rows(nested) == [
        ("内容", "ZIP 压缩包 · 3 个文件 · 2 个文件夹"), ("大小", "原始大小 5 KB → 压缩包 2 KB"),
        ("文件夹 · 2024-05-01 10:00", "项目/"), ("文件夹 · 2024-05-01 10:00", "项目/文档/"),
        ("3 KB · 2024-05-01 10:00", "项目/文档/第一章.md"), ("2 KB", "项目/a b.txt"),
        ("1 字节 · 2024-05-01 10:00", "readme")], f"nested: {menu.properties_rows(nested)}")
    damaged = {"subtitle": "无法读取内容", "footer": "", "message": "无法读取压缩包：Truncated",
               "rows": [], "omittedRows": 0}
    check(menu.properties_rows(damaged) == [("内容", "无法读取内容"),
                                            ("提示", "无法读取压缩包：Truncated")],
          f"damaged: {menu.properties_rows(damaged)}")
    # The first rows only; what is left counts, the page's omitted rows too.
    many = dict(nested, rows=[row(0, f"f{i}.txt", "1 KB") for i in range(25)], omittedRows=7)
    made = menu.properties_rows(many)
    check(len(made) == 2 + menu.PROPERTIES_ROWS + 1 and made[-1] == ("", "…另有 12 项未列出")
          and made[2 + menu.PROPERTIES_ROWS - 1][1] == f"f{menu.PROPERTIES_ROWS - 1}.txt",
          f"many: {made[-3:]}")


def rows_for_each_nautilus(menu, work):
    """Nautilus 47 and later take a row as markup: names are escaped there
    and only there. The version is read from the executable's --version
    text."""
    rows = [("3 KB · 2024-05-01 10:00", "<b>粗</b> & <img src=x>.txt")]
    escaped = [("3 KB · 2024-05-01 10:00", "&lt;b&gt;粗&lt;/b&gt; &amp; &lt;img src=x&gt;.txt")]
    cases = [("43.2", rows), ("46.2", rows), ("47.0", escaped), ("48.3", escaped)]
    for version, expected in cases:
        executable = os.path.join(work, f"nautilus-{version}")
        with open(executable, "wb") as out:
            out.write(b"\0ELF...\0GNOME nautilus " + version.encode() + b"\n\0...")
        major = menu.nautilus_major_version(executable)
        check(major == int(version.split(".")[0]), f"{version}: read as {major}")
        check(menu.shown_rows(rows, major) == expected, f"{version}: {menu.shown_rows(rows, major)}")
    check(menu.nautilus_major_version(sys.executable) is None, "python3 read as Nautilus")
    check(menu.shown_rows(rows, None) == rows, "outside Nautilus the rows changed")


def models_for_selections(menu, work):
    zip_path = os.path.join(work, "项目 a.zip")
    text = os.path.join(work, "notes.txt")
    provider = menu.VexelPropertiesProvider()
    for files, wanted in (([FileInfo(zip_path)], 1), ([FileInfo(text)], 0),
                          ([FileInfo(os.path.join(work, "folder.zip"), is_directory=True)], 0),
                          ([FileInfo(zip_path), FileInfo(zip_path)], 0),
                          ([FileInfo(zip_path, location=False)], 0)):
        models = provider.get_models(files)
        check(len(models) == wanted, f"{[f.path for f in files]}: {len(models)} sections")
        if models:
            check(models[0].get_title() == "压缩包内容", f"title {models[0].get_title()}")


def main():
    extension, quicklook = sys.argv[1], os.path.abspath(sys.argv[2])
    menu = load(extension)
    check(menu.Nautilus is not None and hasattr(menu, "VexelPropertiesProvider"),
          "the extension defines no Properties provider with Nautilus 4.0")
    rows_from_previews(menu)
    with tempfile.TemporaryDirectory(prefix="vexel-properties-") as work:
        archive = os.path.join(work, "项目 a.zip")
        with zipfile.ZipFile(archive, "w") as out:
            out.writestr("项目/说明.txt", "x" * 100)
            out.writestr("readme.txt", "y")
        with open(os.path.join(work, "notes.txt"), "w", encoding="utf-8") as out:
            out.write("text\n")
        models_for_selections(menu, work)
        rows_for_each_nautilus(menu, work)

        # A host that never answers: the section is there at once, reading.
        stalled = os.path.join(work, "stalled-host")
        pid_file = os.path.join(work, "stalled.pid")
        with open(stalled, "w", encoding="utf-8") as out:
            out.write(f"#!/bin/sh\necho $$ >'{pid_file}'\nexec sleep 60\n")
        os.chmod(stalled, 0o755)
        started = time.monotonic()
        model = menu.properties_model(archive, host=stalled, timeout=2)
        took = time.monotonic() - started
        check(items(model) == [("压缩包内容", "正在读取…")], f"before listing: {items(model)}")
        print(f"properties_model returned in {took * 1000:.2f} ms, the host not yet started")
        check(run_until(lambda: os.path.exists(pid_file), 10), "the stalled host never started")
        check(items(model) == [("压缩包内容", "正在读取…")], f"while listing: {items(model)}")
        # After the timeout: a row that says so, and the host is stopped.
        check(run_until(lambda: items(model) != [("压缩包内容", "正在读取…")], 10),
              "the section kept reading past its timeout")
        check(items(model) == [("提示", "读取超时")], f"after the timeout: {items(model)}")
        pid = int(open(pid_file, encoding="utf-8").read())
        check(run_until(lambda: not os.path.exists(f"/proc/{pid}")
                        or open(f"/proc/{pid}/stat").read().split()[2] == "Z", 5),
              "the stalled host still runs")

        # The real host: the rows the JSON makes.
        model = menu.properties_model(archive, host=quicklook)
        check(run_until(lambda: items(model) != [("压缩包内容", "正在读取…")], 10),
              "the real host's rows never came")
        preview = json.loads(subprocess.run([quicklook, "--json", "--", archive], check=True,
                                            capture_output=True).stdout)
        check(items(model) == menu.properties_rows(preview), f"listed: {items(model)}")
        check(("", "项目/说明.txt") not in items(model)
              and any(value == "项目/说明.txt" for _, value in items(model)),
              f"no row for 项目/说明.txt: {items(model)}")

        # A host that fails or prints no JSON, and one that is missing.
        for body, what in (("exit 2", "fails"), ("echo not json", "prints no JSON")):
            broken = os.path.join(work, "broken-host")
            with open(broken, "w", encoding="utf-8") as out:
                out.write(f"#!/bin/sh\n{body}\n")
            os.chmod(broken, 0o755)
            model = menu.properties_model(archive, host=broken)
            run_until(lambda: items(model) != [("压缩包内容", "正在读取…")], 10)
            check(items(model) == [("提示", "无法读取内容")], f"a host that {what}: {items(model)}")
        model = menu.properties_model(archive, host=os.path.join(work, "missing"))
        run_until(lambda: items(model) != [("压缩包内容", "正在读取…")], 10)
        check(items(model) == [("提示", "无法读取内容")], f"a missing host: {items(model)}")
    if not FAILURES:
        print("the Properties section answers at once and fills in from vexel-quicklook --json")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
