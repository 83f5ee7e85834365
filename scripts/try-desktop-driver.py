#!/usr/bin/python3
"""Drives Nemo, Nautilus, Dolphin, PCManFM, PCManFM-Qt, Caja and Thunar through Vexel's menus.

Run by scripts/try-desktop.sh inside a private D-Bus session on Xvfb, with
Debian's python3 (for pyatspi). For each file manager: right-click an
archive, a text file and a folder with xdotool, take screenshots, choose
every Vexel item and compare the URLs that the stand-in vexel:// handler
recorded with what `vexel-findersync run` prints; then, with the handler
gone, check that a menu item brings up a notification.

Environment: VEXEL_TRY_WORK (the prepared folder), VEXEL_TRY_OUT (where the
screenshots go), VEXEL_TRY_MANAGERS (names to try, space-separated).
"""

import glob
import os
import shutil
import subprocess
import sys
import time

import pyatspi

# The GUI drivers' shared library, beside the tests that use it too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "desktop"))
import gui_driver  # noqa: E402 (found through the path above)
from gui_driver import (application, click_center, extents, find_all, log,  # noqa: E402
                        on_screen, text_of, wait_for, xdotool)

WORK = os.environ["VEXEL_TRY_WORK"]
OUT = os.environ["VEXEL_TRY_OUT"]
FILES = os.path.join(WORK, "files")
URLS = os.path.join(WORK, "urls.txt")
NOTIFICATIONS = os.path.join(WORK, "notifications.txt")
HOST = os.path.join(WORK, "prefix", "bin", "vexel-findersync")
HANDLER = os.path.join(WORK, "home", ".local", "share", "applications", "vexel-stand-in.desktop")
MIMEAPPS = os.path.join(WORK, "home", ".config", "mimeapps.list")
INSTALLED_APPLICATIONS = os.path.join(WORK, "prefix", "share", "applications")


def installed_handlers():
    """The installation's files that name a vexel:// handler."""
    found = []
    for entry in os.listdir(INSTALLED_APPLICATIONS):
        path = os.path.join(INSTALLED_APPLICATIONS, entry)
        if not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as file:
            if "x-scheme-handler/vexel" in file.read():
                found.append(path)
    return found
ARCHIVE = os.path.join(FILES, "sample.zip")
TEXT = os.path.join(FILES, "notes.txt")
FOLDER = os.path.join(FILES, "folder")

# How each file manager is started, the name it has on the accessibility
# bus, where its list view puts the rows (x, first y, row height) when the
# toolkit gives no positions, how a menu item is chosen, and the submenu
# that holds Vexel's items (the file-manager actions' "Vexel" menu).
MANAGERS = {
    "nemo": {
        "command": ["nemo", "--geometry=900x600+0+0", FILES],
        "env": {"XDG_CURRENT_DESKTOP": "X-Cinnamon"},
        "app": "nemo", "rows": (240, 141, 23), "choose": "action",
    },
    "nautilus": {
        "command": ["nautilus", "--new-window", FILES],
        # GTK 4 draws nothing under Xvfb with its GL renderer.
        "env": {"XDG_CURRENT_DESKTOP": "GNOME", "GSK_RENDERER": "cairo"},
        "app": "org.gnome.Nautilus", "rows": (350, 119, 52), "choose": "action",
    },
    "dolphin": {
        "command": ["dolphin", "--new-window", FILES],
        "env": {"XDG_CURRENT_DESKTOP": "KDE", "KDE_SESSION_VERSION": "5",
                "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"},
        "app": "dolphin", "rows": None, "choose": "keys",
    },
    "pcmanfm": {
        "command": ["pcmanfm", "--new-win", FILES],
        # GTK 2 reaches the accessibility bus through these modules only.
        "env": {"XDG_CURRENT_DESKTOP": "LXDE", "GTK_MODULES": "gail:atk-bridge"},
        # GTK 2 keeps the items of earlier menus where they were: the
        # keyboard goes into the submenu instead of a click on a stale one.
        "app": "pcmanfm", "rows": None, "choose": "submenu-keys", "submenu": "Vexel",
    },
    "pcmanfm-qt": {
        "command": ["pcmanfm-qt", "--new-window", FILES],
        "env": {"XDG_CURRENT_DESKTOP": "LXQt", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"},
        # Qt's popup menus are not on the accessibility bus: the keyboard
        # goes up from the foot of the menu to "Vexel" (past Properties and
        # libfm-qt's own Extract Here and Extract to, or Compress).
        "app": "pcmanfm-qt", "rows": None, "choose": "submenu-keys",
        "submenu-from-foot": {ARCHIVE: 4, TEXT: 3, FOLDER: 3},
    },
    "thunar": {
        "command": ["thunar", FILES],
        "env": {"XDG_CURRENT_DESKTOP": "XFCE"},
        # Thunar's icon view is not on the accessibility bus: its icons sit
        # in a row (first x, y, step).
        "app": "thunar", "rows": None, "icons": (217, 150, 87), "choose": "click",
        "submenu": "Vexel",
    },
    "caja": {
        "command": ["caja", "--no-desktop", "--browser", FILES],
        "env": {"XDG_CURRENT_DESKTOP": "MATE"},
        # caja-actions puts every action under a root menu of its own.
        "app": "caja", "rows": None, "choose": "click",
        "submenu": ["Caja-Actions actions", "Vexel"],
    },
}
ROW_OF = {FOLDER: 0, TEXT: 1, ARCHIVE: 2}


def screenshot(name):
    gui_driver.screenshot(OUT, name)


def offered(path):
    """(selector, title) of each item the extension offers for `path`."""
    out = subprocess.run([HOST, "menu", "--", path], check=True, capture_output=True,
                         text=True).stdout
    return [tuple(line.split("\t", 1)) for line in out.splitlines()]


def expected_urls(selector, path):
    out = subprocess.run([HOST, "run", selector, "--", path], check=True, capture_output=True,
                         text=True).stdout
    return out.splitlines()


def recorded():
    try:
        with open(URLS, encoding="utf-8") as urls:
            return urls.read().splitlines()
    except FileNotFoundError:
        return []


def row_center(manager, app, path):
    """Screen position of the name of `path`: from the list view's layout for
    the GTK file managers (which take a click beside the name for one on the
    folder), from the accessibility bus for Dolphin."""
    if manager["rows"]:
        x, first, height = manager["rows"]
        return x, first + ROW_OF[path] * height
    if manager.get("icons"):
        first, y, width = manager["icons"]
        return first + ROW_OF[path] * width, y
    label = os.path.basename(path)

    def is_row(node):
        if node.getRoleName() not in ("table cell", "icon", "list item"):
            return False
        return node.name == label or node.name == "" and text_of(node) == label
    for cell in find_all(app, is_row):
        x, y, width, height = extents(cell)
        if width > 0 and x >= 0 and y > 0:
            return x + width // 2, y + height // 2
    raise RuntimeError(f"no row for {label}")


def menu_items(app, title, roles=("menu item",)):
    def test(node):
        return node.name == title and node.getRoleName().endswith(roles)
    items = find_all(app, test)
    showing = [item for item in items if item.getState().contains(pyatspi.STATE_SHOWING)]
    return showing or items


def submenu_titles(app, title):
    """The item titles of the submenu `title` opened last (toolkits keep the
    menus they made earlier: the last one found is the newest)."""
    menus = [menu for menu in find_all(app, lambda n: n.name == title
                                       and n.getRoleName() in ("menu", "menu item")
                                       and n.childCount > 0)]
    if not menus:
        return []
    # GTK's menu builder adds an invisible "Empty" item to each menu.
    return [child.name for child in menus[-1]
            if child.getRoleName().endswith("menu item") and child.name
            and child.getState().contains(pyatspi.STATE_VISIBLE)]


def open_menu(manager, app, path):
    xdotool("key", "Escape")
    time.sleep(0.3)
    x, y = row_center(manager, app, path)
    xdotool("mousemove", str(x), str(y), "click", "3")
    time.sleep(1.5)
    if manager["choose"] == "keys":
        # Dolphin: the "Vexel" submenu is the item above "Properties", or
        # above Baloo's "Assign Tags" where its plug-in is installed.
        tags = glob.glob("/usr/lib/*/qt*/plugins/kf*/kfileitemaction/tagsfileitemaction.so")
        xdotool("key", *(["Up"] * (3 if tags else 2)), "Right")
        time.sleep(1)
    elif manager.get("submenu-from-foot"):
        # Up to "Vexel", then Right opens it with its first item selected.
        xdotool("key", *(["Up"] * manager["submenu-from-foot"][path]), "Right")
        time.sleep(1)
    elif manager.get("submenu"):
        # Pointing at a submenu opens it, in every toolkit.
        path_titles = manager["submenu"]
        for title in path_titles if isinstance(path_titles, list) else [path_titles]:
            submenus = [item for item in menu_items(app, title, ("menu", "menu item"))
                        if item.getState().contains(pyatspi.STATE_SHOWING) or on_screen(item)]
            if not submenus:
                break
            x, y, width, height = extents(submenus[-1])
            xdotool("mousemove", str(x + width // 2), str(y + height // 2))
            time.sleep(1)


def choose(manager, app, title, index):
    if manager["choose"] == "keys":
        keys = ["Down"] * index + ["Return"]
        xdotool("key", *keys)
        return True
    if manager["choose"] == "submenu-keys":
        # The submenu is open; Right selects its first item where the
        # pointer opened it, the keyboard has already.
        first = [] if manager.get("submenu-from-foot") else ["Right"]
        xdotool("key", *first, *(["Down"] * index), "Return")
        return True
    items = menu_items(app, title)
    if not items:
        return False
    if manager["choose"] == "click":
        # GTK 2 does not say which items show: those on screen do.
        showing = [item for item in items if item.getState().contains(pyatspi.STATE_SHOWING)]
        if not showing:
            showing = [item for item in items if on_screen(item)]
        if not showing:
            return False
        click_center(showing[-1])
        return True
    items[-1].queryAction().doAction(0)
    return True


def try_manager(name):
    manager = MANAGERS[name]
    problems = []
    environment = dict(os.environ, **manager["env"])
    process = subprocess.Popen(manager["command"], env=environment, stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(WORK, name + ".log"), "w"))
    try:
        app = application(manager["app"])
        if app is None:
            return [f"{name}: did not show up on the accessibility bus"]
        time.sleep(4)
        screenshot(f"{name}-window")
        for path, kind in ((ARCHIVE, "archive"), (TEXT, "text"), (FOLDER, "folder")):
            items = offered(path)
            open_menu(manager, app, path)
            screenshot(f"{name}-{kind}-menu")
            if manager.get("submenu"):
                # The submenu holds the offered items, in the extension's order.
                submenu = manager["submenu"]
                shown = submenu_titles(app, submenu[-1] if isinstance(submenu, list) else submenu)
                if shown != [title for _, title in items]:
                    problems.append(f"{name}: {kind} submenu shows {shown}")
            elif name == "nemo":
                # GTK 3 keeps every menu item it made: only the shown ones count.
                for selector, title in offered(ARCHIVE):
                    shown = [item for item in menu_items(app, title)
                             if item.getState().contains(pyatspi.STATE_SHOWING)]
                    if (selector, title) not in items and shown:
                        problems.append(f"{name}: {kind} menu offers {title}")
            # A folder is tried with one command: the menus show the same
            # compress items for it.
            for index, (selector, title) in enumerate(items if kind != "folder" else items[:1]):
                if index > 0:
                    open_menu(manager, app, path)
                before = len(recorded())
                want = expected_urls(selector, path)
                if not choose(manager, app, title, index):
                    problems.append(f"{name}: {kind} menu has no item {title}")
                    continue
                if not wait_for(lambda: len(recorded()) >= before + len(want)):
                    problems.append(f"{name}: {kind} / {title}: handler got {recorded()[before:]}")
                    continue
                got = recorded()[before:before + len(want)]
                if got != want:
                    problems.append(f"{name}: {kind} / {title}: handler got {got}, want {want}")
                else:
                    log(f"{name}: {kind} / {title}: {want[-1]}")

        # No handler: the menu item must say so on screen.
        # The installed vexel-handoff is a handler too: hide it as well.
        hidden = [HANDLER, MIMEAPPS] + installed_handlers()
        for path in hidden:
            shutil.move(path, path + ".off")
        try:
            before = len(recorded())
            with open(NOTIFICATIONS, encoding="utf-8", errors="replace") as notes:
                notes_before = len(notes.read())
            selector, title = offered(ARCHIVE)[1]
            open_menu(manager, app, ARCHIVE)
            choose(manager, app, title, 1)

            def notified():
                with open(NOTIFICATIONS, encoding="utf-8", errors="replace") as notes:
                    return "没有登记接收 vexel:// 链接的程序" in notes.read()[notes_before:]
            if wait_for(notified):
                log(f"{name}: without a handler, {title} shows a notification")
            else:
                problems.append(f"{name}: without a handler, {title} showed no notification")
            time.sleep(1)
            screenshot(f"{name}-no-handler")
            if len(recorded()) != before:
                problems.append(f"{name}: without a handler, URLs still went out")
        finally:
            for path in hidden:
                shutil.move(path + ".off", path)
        xdotool("key", "Escape")
    finally:
        gui_driver.stop(process)
        time.sleep(1)
    return problems


def main():
    names = os.environ.get("VEXEL_TRY_MANAGERS",
                           "nemo nautilus dolphin pcmanfm pcmanfm-qt caja thunar").split()
    daemon = subprocess.Popen(["/usr/lib/notification-daemon/notification-daemon"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(NOTIFICATIONS, "w", encoding="utf-8") as notes:
        monitor = subprocess.Popen(
            ["dbus-monitor", "--session",
             "interface='org.freedesktop.Notifications',member='Notify'"],
            stdout=notes, stderr=subprocess.DEVNULL)
    problems = []
    try:
        time.sleep(1)
        for name in names:
            log(f"== {name}")
            problems += try_manager(name)
    finally:
        monitor.terminate()
        daemon.terminate()
    for problem in problems:
        log("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
