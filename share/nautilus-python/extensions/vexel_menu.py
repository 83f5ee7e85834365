"""Nautilus context menu for Vexel (a nautilus-python extension).

Offers exactly the commands that the context-menu extension offers for the
selection: it asks ``vexel-findersync menu`` for the menu, and a chosen
command runs ``vexel-menu-run SELECTOR PATH...`` (that is
``vexel-findersync run SELECTOR --open -- PATH...``, with a desktop
notification when it fails), which hands the command to the Vexel archive
manager.

Install: this file in ~/.local/share/nautilus-python/extensions/ (or
<prefix>/share/nautilus-python/extensions/), the Debian package
python3-nautilus, then ``nautilus -q``.
"""

import os
import shutil
import subprocess
import threading

try:
    import gi

    try:
        gi.require_version("Nautilus", "4.0")
    except ValueError:
        gi.require_version("Nautilus", "3.0")
    from gi.repository import GObject, Nautilus
except (ImportError, ValueError):
    # Outside Nautilus (tests, scripts) only the menu logic is used.
    GObject = Nautilus = None

HOST = "vexel-findersync"
RUNNER = "vexel-menu-run"
TIMEOUT_SECONDS = 5


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
