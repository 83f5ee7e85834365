"""Nautilus context menu and Properties section for Vexel (a nautilus-python extension).

The menu offers exactly the commands that the context-menu extension offers
for the selection: it asks ``vexel-findersync menu`` for the menu, and a
chosen command runs ``vexel-menu-run SELECTOR PATH...`` (that is
``vexel-findersync run SELECTOR --open -- PATH...``, with a desktop
notification when it fails), which hands the command to the Vexel archive
manager.

The Properties window of one archive (Nautilus 43 and later) gets a section
"压缩包内容": type and counts, sizes and ratio, the preview's message, and
the top of the outline, as ``vexel-quicklook --json`` lists them. Nautilus
asks for it on its main thread, so the section comes back at once with a
row that says it is reading, and its rows fill in when the listing is done.

Install: this file in ~/.local/share/nautilus-python/extensions/ (or
<prefix>/share/nautilus-python/extensions/), the Debian package
python3-nautilus, then ``nautilus -q``.
"""

import functools
import html
import json
import mmap
import os
import re
import shutil
import subprocess
import threading

try:
    import gi

    try:
        gi.require_version("Nautilus", "4.0")
    except ValueError:
        gi.require_version("Nautilus", "3.0")
    from gi.repository import Gio, GLib, GObject, Nautilus
except (ImportError, ValueError):
    # Outside Nautilus (tests, scripts) only the menu logic is used.
    Gio = GLib = GObject = Nautilus = None

HOST = "vexel-findersync"
RUNNER = "vexel-menu-run"
PREVIEW_HOST = "vexel-quicklook"
TIMEOUT_SECONDS = 5

# The Properties section's texts (the previewer's own come with its JSON).
PROPERTIES_TITLE = "压缩包内容"
READING = "正在读取…"
CONTENTS_LABEL = "内容"
SIZES_LABEL = "大小"
MESSAGE_LABEL = "提示"
FOLDER_LABEL = "文件夹"
FAILED = "无法读取内容"
TIMED_OUT = "读取超时"
# How many rows of the outline the section shows, and how long the
# listing may take (the previewer is done within 3.5 s).
PROPERTIES_ROWS = 20
PROPERTIES_TIMEOUT_SECONDS = 10

# Nautilus 47 and later show a Properties row's name and value as Pango
# markup (earlier ones as text): a name such as "<b>.txt" must then be
# escaped, or it shows blank or bold.
FIRST_MARKUP_VERSION = 47


def nautilus_major_version(executable="/proc/self/exe"):
    """The major version of the Nautilus this runs in, read from its
    ``--version`` text ("GNOME nautilus 48.3") in its executable; None
    elsewhere."""
    try:
        with open(executable, "rb") as image_file, mmap.mmap(
            image_file.fileno(), 0, access=mmap.ACCESS_READ
        ) as image:
            at = image.find(b"GNOME nautilus ")
            if at < 0:
                return None
            match = re.match(rb"(\d+)\.", image[at + 15 : at + 24])
            return int(match.group(1)) if match else None
    except (OSError, ValueError):
        return None


@functools.lru_cache(maxsize=1)
def _running_nautilus_major_version():
    return nautilus_major_version()


def shown_rows(rows, major_version):
    """``rows`` ((label, value) pairs) as the Properties section of that
    Nautilus version shows them literally."""
    if major_version is None or major_version < FIRST_MARKUP_VERSION:
        return list(rows)
    # Pango markup reads XML's entities, numeric ones included.
    return [(html.escape(label), html.escape(value)) for label, value in rows]


# The catalogue's test by name: one of its 26 extensions, or a volume
# suffix (.rNN, .zNN, .NNN; .partN.rar ends in .rar), letter case ignored.
ARCHIVE_NAME = re.compile(
    r"\.(zip|rar|7z|tar|gz|tgz|bz2|tbz|tbz2|xz|txz|zst|lzma|cab|iso|arj|lzh|lha|z|"
    r"cpio|rpm|deb|wim|xar|001|jar|[rz0-9][0-9][0-9])\Z", re.IGNORECASE | re.ASCII)


def host_path(name=HOST):
    """The program installed under the same prefix as this file, else on PATH."""
    here = os.path.dirname(os.path.realpath(__file__))
    beside = os.path.normpath(os.path.join(here, "..", "..", "..", "bin", name))
    if os.access(beside, os.X_OK):
        return beside
    return shutil.which(name)


def offered_commands(paths, host=None):
    """(selector, title) of each command offered for the paths, in menu order."""
    host = host or host_path()
    if not host or not paths:
        return []
    try:
        result = subprocess.run([host, "menu", "--", *paths], capture_output=True,
                                timeout=TIMEOUT_SECONDS, check=False)
    except (OSError, subprocess.SubprocessError):
        return []
    if result.returncode != 0:
        return []
    commands = []
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        selector, tab, title = line.partition("\t")
        if tab:
            commands.append((selector, title))
    return commands


def run_command(selector, paths, runner=None):
    """Starts the command; a thread waits for it so that no zombie stays."""
    runner = runner or host_path(RUNNER)
    if not runner:
        return None
    process = subprocess.Popen([runner, selector, *paths],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    threading.Thread(target=process.wait, daemon=True).start()
    return process


def local_paths(files):
    """The file-system paths of the selection, or [] when any item has none."""
    paths = []
    for info in files:
        location = info.get_location()
        path = location.get_path() if location is not None else None
        if not path:
            return []
        paths.append(path)
    return paths


def is_archive_name(path):
    """Whether the catalogue calls a file of this name an archive."""
    return ARCHIVE_NAME.search(os.path.basename(path.rstrip("/"))) is not None


def properties_rows(preview, limit=PROPERTIES_ROWS):
    """(label, value) rows of the Properties section for a preview as
    ``vexel-quicklook --json`` prints it: subtitle, footer, message, then
    the first rows of the outline as paths inside the archive."""
    rows = []
    if preview.get("subtitle"):
        rows.append((CONTENTS_LABEL, preview["subtitle"]))
    if preview.get("footer"):
        rows.append((SIZES_LABEL, preview["footer"]))
    if preview.get("message"):
        rows.append((MESSAGE_LABEL, preview["message"]))
    outline = preview.get("rows") or []
    folders = []  # the names of the folders above the current row
    for row in outline[:limit]:
        del folders[row["depth"]:]
        path = "/".join(folders + [row["name"]])
        if row["expandable"] or row["size"] == "--":
            folders.append(row["name"])
            path += "/"
            label = FOLDER_LABEL
        else:
            label = row["size"]
        if row["date"]:
            label += " · " + row["date"]
        rows.append((label, path))
    more = max(len(outline) - limit, 0) + int(preview.get("omittedRows") or 0)
    if more:
        rows.append(("", f"…另有 {more} 项未列出"))
    return rows


def preview_rows(output):
    """The section's rows for what ``vexel-quicklook --json`` printed."""
    try:
        return properties_rows(json.loads(output))
    except (ValueError, KeyError, TypeError, AttributeError):
        return [(MESSAGE_LABEL, FAILED)]


def list_archive(path, done, host=None, timeout=PROPERTIES_TIMEOUT_SECONDS):
    """Lists the archive with ``vexel-quicklook --json`` and returns at once;
    ``done(rows)`` runs on the main loop when the listing is done, failed or
    took longer than the timeout. Everything happens on the main loop
    (Nautilus keeps Python's lock while its loop runs, so a Python thread
    would not run), and even the start of the process waits for the loop:
    starting one can take tens of milliseconds on a busy machine."""
    state = {"process": None, "timer": 0, "finished": False}

    def finish(rows):
        if state["finished"]:
            return
        state["finished"] = True
        if state["timer"]:
            GLib.source_remove(state["timer"])
            state["timer"] = 0
        done(rows)

    def on_timeout():
        state["timer"] = 0
        state["process"].force_exit()
        finish([(MESSAGE_LABEL, TIMED_OUT)])
        return GLib.SOURCE_REMOVE

    def on_listed(process, result):
        try:
            _, out, _ = process.communicate_utf8_finish(result)
        except GLib.Error:
            finish([(MESSAGE_LABEL, FAILED)])
            return
        if not process.get_if_exited() or process.get_exit_status() != 0:
            finish([(MESSAGE_LABEL, FAILED)])
        else:
            finish(preview_rows(out))

    def start():
        program = host or host_path(PREVIEW_HOST)
        try:
            if not program:
                raise ValueError(PREVIEW_HOST + " was not found")
            # Only the rows the section shows: the JSON of a large archive
            # would take a while to read on the main thread.
            process = Gio.Subprocess.new([program, "--json", "--max-rows", str(PROPERTIES_ROWS),
                                          "--", path],
                                         Gio.SubprocessFlags.STDOUT_PIPE
                                         | Gio.SubprocessFlags.STDERR_SILENCE)
        except (GLib.Error, ValueError):
            finish([(MESSAGE_LABEL, FAILED)])
            return GLib.SOURCE_REMOVE
        state["process"] = process
        state["timer"] = GLib.timeout_add(int(timeout * 1000), on_timeout)
        process.communicate_utf8_async(None, None, on_listed)
        return GLib.SOURCE_REMOVE

    GLib.idle_add(start)


if Nautilus is not None:

    class VexelMenuProvider(GObject.GObject, Nautilus.MenuProvider):
        """Adds Vexel's commands to the menu of selected items."""

        def get_file_items(self, *args):
            # Nautilus 43 and later pass (files); earlier ones (window, files).
            paths = local_paths(args[-1])
            items = []
            for selector, title in offered_commands(paths):
                item = Nautilus.MenuItem(name="VexelMenu::" + selector.rstrip(":"), label=title)
                item.connect("activate", self._activate, selector, paths)
                items.append(item)
            return items

        def get_background_items(self, *args):
            return []

        def _activate(self, _item, selector, paths):
            run_command(selector, paths)


if Nautilus is not None and hasattr(Nautilus, "PropertiesModelProvider"):

    class VexelPropertiesProvider(GObject.GObject, Nautilus.PropertiesModelProvider):
        """Adds "压缩包内容" to the Properties window of one archive file."""

        def get_models(self, files):
            # Called on Nautilus's main thread: only the name is looked at
            # here, and the listing runs in another process.
            if len(files) != 1 or files[0].is_directory():
                return []
            paths = local_paths(files)
            if not paths or not is_archive_name(paths[0]):
                return []
            return [properties_model(paths[0])]

    def properties_model(path, host=None, timeout=PROPERTIES_TIMEOUT_SECONDS):
        """The section for one archive: a row saying it is reading, replaced
        by the listing's rows once ``vexel-quicklook`` is done."""
        store = Gio.ListStore.new(Nautilus.PropertiesItem)
        store.append(Nautilus.PropertiesItem(name=PROPERTIES_TITLE, value=READING))

        def show(rows):
            rows = shown_rows(rows, _running_nautilus_major_version())
            items = [Nautilus.PropertiesItem(name=label, value=value) for label, value in rows]
            store.splice(0, store.get_n_items(), items)

        list_archive(path, show, host=host, timeout=timeout)
        return Nautilus.PropertiesModel(title=PROPERTIES_TITLE, model=store)
