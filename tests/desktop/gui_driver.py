"""What the GUI drivers share: finding windows and their parts on the
accessibility bus, waiting for them, pointing and clicking with xdotool,
screenshots, and stopping the programs they start.

Used by tests/desktop/gnome_files_driver.py (GNOME Sushi and Nautilus) and
scripts/try-desktop-driver.py (the file managers' menus), both run with
Debian's python3 (for pyatspi) in a private D-Bus session on Xvfb:

    import gui_driver
    app = gui_driver.application("org.gnome.Nautilus")
    cells = gui_driver.find_all(app, lambda n: n.getRoleName() == "table cell")
    gui_driver.click_center(cells[0])
"""

import os
import re
import subprocess
import time

import pyatspi


def log(text):
    print(text, flush=True)


def xdotool(*arguments):
    subprocess.run(["xdotool", *arguments], check=True)


def screenshot(folder, name, announce=False):
    """The whole screen into FOLDER/NAME.png."""
    subprocess.run(["import", "-window", "root", os.path.join(folder, name + ".png")], check=True)
    if announce:
        log(f"  screenshot {name}.png")


def application(name, seconds=30, step=0.2):
    """The application called NAME on the accessibility bus, once it is
    there; None after SECONDS."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name:
                return app
        time.sleep(step)
    return None


def find_all(node, test, depth_limit=60):
    """The nodes under NODE (itself included) that pass TEST, in tree
    order. Walked with a stack: how deep a toolkit nests its nodes is not
    ours to bound."""
    found = []
    stack = [(node, 0)]
    while stack:
        current, depth = stack.pop()
        if current is None or depth > depth_limit:
            continue
        try:
            if test(current):
                found.append(current)
            children = list(current)
        except Exception:  # pylint: disable=broad-except
            continue  # a node that went away while walking
        stack.extend((child, depth + 1) for child in reversed(children))
    return found


def text_of(node):
    """The node's text, without the line breaks that a page's truncating
    spans put into the accessible text; its name where it has no text."""
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount).replace("\n", "").replace("\ufffc", "")
    except NotImplementedError:
        return node.name or ""


def wait_for(condition, seconds=15, step=0.2):
    """CONDITION's first true value within SECONDS, else its last value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def extents(node):
    """(x, y, width, height) of NODE on the screen."""
    component = node.queryComponent()
    box = component.getExtents(pyatspi.DESKTOP_COORDS)
    if box.x == 0 and box.y == 0:
        # GTK 4.18 gives no position on the screen (0, 0), only the one in
        # its window; the window's own position comes from the X server.
        inner = component.getExtents(pyatspi.WINDOW_COORDS)
        if inner.x != 0 or inner.y != 0:
            left, top = window_origin(node)
            return left + inner.x, top + inner.y, inner.width, inner.height
    return box.x, box.y, box.width, box.height


def window_origin(node):
    """Where the X window of NODE's top-level window is on the screen,
    found by that window's title; (0, 0) when no window has the title."""
    top = node
    while top.parent is not None and top.parent.getRoleName() != "application":
        top = top.parent
    windows = subprocess.run(["xdotool", "search", "--name", "^" + re.escape(top.name) + "$"],
                             capture_output=True, text=True).stdout.split()
    if not windows:
        return 0, 0
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", windows[-1]],
                              capture_output=True, text=True).stdout
    values = dict(line.split("=", 1) for line in geometry.splitlines() if "=" in line)
    return int(values.get("X", 0)), int(values.get("Y", 0))


def on_screen(node):
    try:
        x, y, width, height = extents(node)
    except Exception:  # pylint: disable=broad-except
        return False
    return width > 0 and height > 0 and x >= 0 and y >= 0


def click_center(node, button="1"):
    x, y, width, height = extents(node)
    xdotool("mousemove", str(x + width // 2), str(y + height // 2))
    time.sleep(0.3)
    xdotool("click", button)


def stop(process, seconds=10):
    """Ends a program the driver started, and waits for it."""
    process.terminate()
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
