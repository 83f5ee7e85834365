#!/usr/bin/python3
"""Drives GNOME Sushi and Nautilus's Properties window with Vexel installed.

Run by gnome_files_test.sh inside a private D-Bus session on Xvfb, with
Debian's python3 (for pyatspi). What a window shows is read from the
accessibility tree (Sushi's web view exposes the page's); what it should
show comes from the installed vexel-quicklook --json for the same file.

    gnome_files_driver.py sushi|sushi-plugin|properties|space-bar

sushi: a preview per file, each checked against the host's JSON (rows with
Chinese names, the message of a damaged, encrypted or foreign file, names
that look like markup shown as text with nothing fetched, a volume of a
split archive, the truncation notice of an archive too slow to list);
files Sushi's fallback keeps; the page filling the window as it is
resized; the desktop's colour scheme reaching the page as it changes.

sushi-plugin: the plug-in for Sushi 51 and later, in a stand-in of Sushi
(sushi_plugin/host.js), each page's DOM in light and dark style against
the host's JSON.

space-bar: the installed package's viewer in a new user's session (the
Debian 13 stage): an archive's outline.

properties: the "压缩包内容" section of an archive's Properties window, its
rows as the extension makes them from the JSON, none for other files.

Environment: VEXEL_TRY_WORK (the prepared folder), VEXEL_TRY_OUT (where
the screenshots go), VEXEL_TRY_PREFIX (the installation), VEXEL_TRY_SOURCE.
"""

import http.server
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import zipfile

from gi.repository import Gio, GLib

import gui_driver
from gui_driver import application, extents, find_all, log, text_of, wait_for

WORK = os.environ["VEXEL_TRY_WORK"]
OUT = os.environ["VEXEL_TRY_OUT"]
PREFIX = os.environ["VEXEL_TRY_PREFIX"]
SOURCE = os.environ["VEXEL_TRY_SOURCE"]
FILES = os.path.join(WORK, "文件 files")
QUICKLOOK = os.path.join(PREFIX, "bin", "vexel-quicklook")
HOST_CALLS = os.path.join(WORK, "host-calls.txt")
KEYFILE = os.path.join(os.environ["HOME"], ".config", "glib-2.0", "settings", "keyfile")


def screenshot(name):
    # Screenshots show what was checked; the checks read the accessibility
    # tree. A root without ImageMagick (the Debian 13 stage) takes none.
    if shutil.which("import"):
        gui_driver.screenshot(OUT, name, announce=True)


def host_json(path):
    program = QUICKLOOK + ".real" if os.path.exists(QUICKLOOK + ".real") else QUICKLOOK
    out = subprocess.run([program, "--json", "--", path], check=True, capture_output=True).stdout
    return json.loads(out)


# ---------------------------------------------------------------------------
# Files

def write_zip(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members:
            archive.writestr(name, data)


def make_chinese_zip():
    """An archive with Chinese names in folders, in FILES."""
    os.makedirs(FILES, exist_ok=True)
    path = os.path.join(FILES, "项目 资料.zip")
    write_zip(path, [
        ("项目资料/设计文档/第一章 系统概述.md", "x" * 3000),
        ("项目资料/设计文档/第二章 总体架构.md", "x" * 2000),
        ("项目资料/数据 表格.csv", "a,b\n"),
        ("readme.txt", "hello\n")])
    return path


def make_files(port):
    files = {"chinese": make_chinese_zip()}
    # Cut short inside the first header (damaged), and after the first
    # entry (listed in part).
    whole = open(files["chinese"], "rb").read()
    files["damaged"] = os.path.join(FILES, "损坏 damaged.zip")
    with open(files["damaged"], "wb") as out:
        out.write(whole[:40])
    files["cut"] = os.path.join(FILES, "cut short 截断.zip")
    with open(files["cut"], "wb") as out:
        out.write(whole[:3200])
    files["foreign"] = os.path.join(FILES, "not an archive.zip")
    with open(files["foreign"], "w", encoding="utf-8") as out:
        out.write("just some text\n")
    # Names that would load from the local server if the page took them
    # for markup (the slashes are character references: "/" ends a name).
    url = f"http:&#47;&#47;127.0.0.1:{port}&#47;"
    files["markup"] = os.path.join(FILES, "markup <b>.zip")
    files["markup-names"] = [f'<img src="{url}img">.txt',
                             f"<svg onload=\"fetch('{url}script')\">.txt",
                             f'<link rel="stylesheet" href="{url}css">.txt']
    write_zip(files["markup"], [(name, "x") for name in files["markup-names"]])
    seven = shutil.which("7zz") or shutil.which("7z")
    if seven:
        source = os.path.join(WORK, "seven")
        os.makedirs(os.path.join(source, "机密"))
        with open(os.path.join(source, "机密", "名单.txt"), "w", encoding="utf-8") as out:
            out.write("secret\n")
        files["encrypted"] = os.path.join(FILES, "加密 names.7z")
        subprocess.run([seven, "a", "-bd", "-bso0", "-mhe=on", "-pvexel", files["encrypted"],
                        "机密"], cwd=source, check=True)
    # A tar of binary data split in two with split(1): the second volume
    # has no type of its own (application/octet-stream) and previews as the
    # whole set. (A volume of text files would be text/plain: Sushi's.)
    members = os.path.join(WORK, "volume")
    os.makedirs(os.path.join(members, "卷"))
    for index in range(3):
        with open(os.path.join(members, "卷", f"part {index}.bin"), "wb") as out:
            out.write(os.urandom(20000))
    tar = os.path.join(WORK, "volume.tar")
    subprocess.run(["bsdtar", "-cf", tar, "-C", members, "卷"], check=True)
    data = open(tar, "rb").read()
    half = len(data) // 2
    with open(os.path.join(FILES, "分卷 set.tar.001"), "wb") as out:
        out.write(data[:half])
    files["volume"] = os.path.join(FILES, "分卷 set.tar.002")
    with open(files["volume"], "wb") as out:
        out.write(data[half:])
    # Many rows, most of them in the first folder: the page holds 2,000,
    # every top-level row among them, and says how many it leaves out.
    files["large"] = os.path.join(FILES, "large 大.zip")
    with zipfile.ZipFile(files["large"], "w") as archive:
        for index in range(30000):
            archive.writestr(f"a/文件 {index}.txt", "")
        archive.writestr("b/说明.txt", "x")
        archive.writestr("top.txt", "x")
    # Skipping its first entry's 8 GiB of zeros takes the whole time limit.
    files["slow"] = os.path.join(FILES, "slow 慢.tar.gz")
    subprocess.run([sys.executable, os.path.join(SOURCE, "bench", "make_hostile.py"),
                    "gzip-bomb", files["slow"]], check=True)
    # Sushi's own views: an unknown file, and a ZIP by another name and type
    # (an Android package is a ZIP file).
    files["unknown"] = os.path.join(FILES, "data 数据.bin")
    with open(files["unknown"], "wb") as out:
        out.write(bytes(range(256)) * 4)
    files["derived"] = os.path.join(FILES, "app.apk")
    write_zip(files["derived"], [("AndroidManifest.xml", "<manifest/>"), ("classes.dex", "dex")])
    return files


# ---------------------------------------------------------------------------
# Sushi

class PreviewPage:
    """What Sushi's window shows of the page, from the accessibility tree."""

    def __init__(self, document):
        self.document = document
        self.cells = [text_of(cell) for cell in
                      find_all(document, lambda n: n.getRoleName() == "table cell")]
        self.sections = [text_of(section) for section in
                         find_all(document, lambda n: n.getRoleName() in ("section", "label",
                                                                          "paragraph"))]
        self.tables = find_all(document, lambda n: n.getRoleName() == "tree table")

    def shows(self, text):
        return any(text in cell for cell in self.cells) or any(text in s for s in self.sections)


def sushi_document(app, title):
    """The web document of Sushi's window for `title`, once it has content."""
    for frame in find_all(app, lambda n: n.getRoleName() == "frame" and n.name == title):
        for document in find_all(frame, lambda n: n.getRoleName() == "document web"):
            if find_all(document, lambda n: n.getRoleName() in ("tree table", "section")):
                return document
    return None


def show_in_sushi(path):
    """Asks Sushi to show the file, as GNOME Files does on the space bar."""
    Gio.bus_get_sync(Gio.BusType.SESSION, None).call_sync(
        "org.gnome.NautilusPreviewer", "/org/gnome/NautilusPreviewer",
        "org.gnome.NautilusPreviewer", "ShowFile",
        GLib.Variant("(sib)", (Gio.File.new_for_path(path).get_uri(), 0, False)),
        None, Gio.DBusCallFlags.NONE, 30000, None)


def expected_page_problems(page, preview, name):
    problems = []
    for key in ("subtitle", "footer", "message"):
        # Line breaks of a label are not in the accessible text.
        if preview[key] and not page.shows(preview[key].replace("\n", "")):
            problems.append(f"{name}: the page does not show the {key} {preview[key]!r}")
    names = [row["name"] for row in preview["rows"]]
    missing = [row for row in names if not any(cell == row for cell in page.cells)]
    if missing:
        problems.append(f"{name}: rows missing from the page: {missing}; cells: {page.cells}")
    return problems


class RequestLog(http.server.BaseHTTPRequestHandler):
    requests = []

    def do_GET(self):  # noqa: N802 (the base class's name)
        RequestLog.requests.append(self.path)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


# Names the catalogue calls archives (one per extension and volume
# suffix), and others, some of them ZIP files by another name.
SELECTION_NAMES = [
    "a.zip", "a.rar", "a.7z", "a.tar", "a.gz", "a.tgz", "a.bz2", "a.tbz", "a.tbz2", "a.xz",
    "a.txz", "a.zst", "a.lzma", "a.cab", "a.iso", "a.arj", "a.lzh", "a.lha", "a.z", "a.cpio",
    "a.rpm", "a.deb", "a.wim", "a.xar", "a.001", "a.jar", "a.tar.gz", "a.tar.bz2", "a.tar.xz",
    "a.tar.zst", "a.tar.lzma", "a.tar.Z", "A.ZIP", "a.part2.rar", "a.r00", "a.z01", "a.002",
    "a.7z.001", "a.zip.001",
    "a.txt", "a.png", "a.pdf", "a.html", "a.epub", "a.apk", "a.odt", "a.docx", "a.bin", "a.so",
    "a.py", "a.2024", "a.zipx"]
# Not an archive by name, but GIO's type for it is application/zip: it is a
# ZIP file, and shown as one.
SHOWN_BY_TYPE = {"a.zipx"}


def selection_problems():
    """Sushi's own choice of view, for a name of every kind the catalogue
    knows and for others, with the types GIO gives those names: Vexel's
    viewer shows exactly the archives."""
    catalogue = []
    for name in SELECTION_NAMES:
        menu = subprocess.run([os.path.join(PREFIX, "bin", "vexel-findersync"), "menu", "--",
                               "/tmp/" + name], check=True, capture_output=True, text=True).stdout
        catalogue.append(menu.startswith("extractHere:") or name in SHOWN_BY_TYPE)
    cases = [[name, Gio.content_type_guess(name, None)[0]] for name in SELECTION_NAMES]
    with open(os.path.join(WORK, "selection.json"), "w", encoding="utf-8") as out:
        json.dump(cases, out)
    typelibs = [path for path in __import__("glob").glob("/usr/lib/*/sushi/girepository-1.0")]
    result = subprocess.run(["gjs", os.path.join(os.path.dirname(__file__), "sushi_selection.js"),
                             "/usr/share/sushi", typelibs[0] if typelibs else "",
                             os.path.join(WORK, "selection.json")],
                            capture_output=True, text=True)
    try:
        shown = json.loads(result.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return [f"sushi: the selection check failed: {result.stderr[-2000:]}"]
    problems = [f"sushi: {name} ({kind}): {'shown' if got else 'not shown'} by Vexel's viewer"
                for (name, kind), got, want in zip(cases, shown, catalogue) if got != want]
    log(f"sushi: Sushi's choice of view agrees with the catalogue for {len(cases)} names"
        if not problems else "sushi: Sushi's choice of view disagrees with the catalogue")
    return problems


def try_sushi():
    server = http.server.HTTPServer(("127.0.0.1", 0), RequestLog)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    files = make_files(server.server_address[1])
    problems = selection_problems()

    def check_archive(key, shot=None, seconds=15):
        path = files[key]
        title = os.path.basename(path)
        preview = host_json(path)
        started = time.monotonic()
        requested = time.time()
        show_in_sushi(path)
        document = wait_for(lambda: sushi_document(app(), title), seconds)
        if document is None:
            problems.append(f"{title}: Sushi showed no page")
            return None
        # The rows arrive with the page, so the first full read is the one.
        page = wait_for(lambda: (lambda p: p if not expected_page_problems(p, preview, title)
                                 else None)(PreviewPage(document)), 5)
        elapsed = time.monotonic() - started
        page = page or PreviewPage(document)
        problems.extend(expected_page_problems(page, preview, title))
        host = [call.split() for call in host_calls() if call.endswith(" " + path)]
        ran = float(host[-1][1]) - float(host[-1][0]) if host else 0
        ready = float(host[-1][1]) - requested if host else 0
        log(f"sushi: {title}: {len(preview['rows'])} rows, message {preview['message']!r}; "
            f"vexel-quicklook ran {ran:.2f} s and handed the page over {ready:.2f} s after the "
            f"request; read from the accessibility tree after {elapsed:.1f} s")
        if shot:
            time.sleep(0.5)
            screenshot(shot)
        return page

    app = lambda: application("org.gnome.NautilusPreviewer", 1)  # noqa: E731

    page = check_archive("chinese", "sushi-chinese-light")
    if page is not None:
        for name in ("项目资料", "设计文档", "第一章 系统概述.md", "数据 表格.csv"):
            if name not in page.cells:
                problems.append(f"sushi: no row {name!r}")
        problems.extend(window_size_problems(page))

    # The desktop turns dark while the preview is open: the page follows.
    subprocess.run(["gsettings", "set", "org.gnome.desktop.interface", "color-scheme",
                    "prefer-dark"], check=True)
    if not wait_for(lambda: host_calls()[-1:] and " --color-scheme=dark " in host_calls()[-1]):
        problems.append(f"sushi: the page did not turn dark: {host_calls()}")
    else:
        wait_for(lambda: sushi_document(app(), os.path.basename(files["chinese"])))
        time.sleep(1)
        screenshot("sushi-chinese-dark")
    calls = host_calls()
    if not calls or " --html --max-rows 2000 --fill-window --color-scheme=light -- " not in calls[0]:
        problems.append(f"sushi: the first page was not asked for light colours: {calls}")

    check_archive("damaged", "sushi-damaged")
    check_archive("cut", "sushi-cut-short")
    check_archive("foreign")
    if "encrypted" in files:
        check_archive("encrypted", "sushi-encrypted")
    check_archive("volume")

    page = check_archive("markup", "sushi-markup")
    if page is not None:
        for name in files["markup-names"]:
            if name not in page.cells:
                problems.append(f"sushi: the name {name!r} is not shown as it is: {page.cells}")
    time.sleep(1)
    if RequestLog.requests:
        problems.append(f"sushi: the page loaded {RequestLog.requests}")

    # Listing it takes the whole time limit: the page comes with the notice.
    check_archive("slow", "sushi-slow", seconds=20)
    page = check_archive("large", "sushi-large", seconds=20)
    if page is not None and not page.shows("项未列入此页"):
        problems.append("sushi: the page of a large archive does not say what it leaves out: "
                        f"{page.sections}")

    for key in ("unknown", "derived"):
        title = os.path.basename(files[key])
        show_in_sushi(files[key])
        frame = wait_for(lambda: find_all(app(), lambda n: n.getRoleName() == "frame"
                                          and n.name == title))
        time.sleep(1.5)
        if not frame:
            problems.append(f"sushi: no window for {title}")
        elif find_all(frame[0], lambda n: n.getRoleName() == "document web"):
            problems.append(f"sushi: {title} got the archive page instead of Sushi's own view")
        else:
            log(f"sushi: {title}: Sushi's own view")
    screenshot("sushi-fallback")
    server.shutdown()
    return problems


def try_space_bar():
    """The installed package in a new user's session, whose login linked
    the viewer: the space bar's preview of an archive shows its outline."""
    path = make_chinese_zip()
    title = os.path.basename(path)
    preview = host_json(path)
    started = time.monotonic()
    show_in_sushi(path)
    document = wait_for(lambda: sushi_document(
        application("org.gnome.NautilusPreviewer", 1), title), 60)
    if document is None:
        frames = find_all(application("org.gnome.NautilusPreviewer", 1),
                          lambda n: n.getRoleName() == "frame")
        roles = sorted({node.getRoleName() for frame in frames
                        for node in find_all(frame, lambda n: True)})
        return [f"space-bar: Sushi showed no outline for {title}; its windows: "
                f"{[frame.name for frame in frames]}, with {roles}"]
    page = wait_for(lambda: (lambda p: p if not expected_page_problems(p, preview, title)
                             else None)(PreviewPage(document)), 10) or PreviewPage(document)
    problems = expected_page_problems(page, preview, title)
    log(f"space-bar: {title}: {len(preview['rows'])} rows of the outline shown "
        f"{time.monotonic() - started:.1f} s after the request")
    screenshot("space-bar")
    return problems


def host_calls():
    try:
        with open(HOST_CALLS, encoding="utf-8") as calls:
            return calls.read().splitlines()
    except FileNotFoundError:
        return []


def window_size_problems(page):
    """The outline spans the window's width, the footer sits at its foot,
    and both follow when the window is resized."""
    problems = []
    window = subprocess.run(["xdotool", "search", "--name", "^项目 资料.zip$"],
                            capture_output=True, text=True).stdout.split()
    for width, height in ((None, None), (1000, 650), (800, 600)):
        if width:
            if not window:
                return ["sushi: no X window to resize"]
            subprocess.run(["xdotool", "windowsize", window[0], str(width), str(height)],
                           check=True)
            time.sleep(2)
            if width == 1000:
                screenshot("sushi-resized")
        _, doc_y, doc_w, doc_h = extents(page.document)
        table = page.tables[0] if page.tables else None
        if table is None:
            return ["sushi: no outline in the page"]
        _, _, table_w, _ = extents(table)
        footer = [node for node in find_all(page.document, lambda n: "原始大小" in text_of(n)
                                            and n.getRoleName() == "section")]
        foot_bottom = (lambda box: box[1] + box[3])(extents(footer[-1])) if footer else 0
        log(f"sushi: page {doc_w}x{doc_h}, outline {table_w} wide, footer ends "
            f"{doc_y + doc_h - foot_bottom} px above the window's foot")
        if width and abs(doc_w - (width - 8)) > 40:
            problems.append(f"sushi: the page is {doc_w} wide in a window {width} wide")
        if table_w < doc_w - 60:
            problems.append(f"sushi: the outline is {table_w} wide on a page {doc_w} wide")
        if not footer or doc_y + doc_h - foot_bottom > 40:
            problems.append("sushi: the footer is not at the foot of the window")
    return problems


# ---------------------------------------------------------------------------
# Nautilus's Properties window

def load_extension():
    path = os.path.join(PREFIX, "share", "nautilus-python", "extensions", "vexel_menu.py")
    module_spec = importlib.util.spec_from_file_location("vexel_menu", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def show_properties(path):
    uri = "file://" + "/".join(
        __import__("urllib.parse").parse.quote(part) for part in path.split("/"))
    subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
                    "--object-path", "/org/freedesktop/FileManager1", "--method",
                    "org.freedesktop.FileManager1.ShowItemProperties", f"['{uri}']", ""],
                   check=True, capture_output=True)


def properties_window(app):
    frames = find_all(app, lambda n: n.getRoleName() == "frame" and n.name == "Properties")
    return frames[-1] if frames else None


def close_properties(app):
    """Closes the Properties window: its Close button where the window has
    one on the accessibility bus (Nautilus 48), else Escape, which goes to
    the window in focus (Nautilus 43)."""
    window = properties_window(app)
    buttons = window and find_all(window, lambda n: n.getRoleName() == "button"
                                  and n.name == "Close")
    if buttons:
        try:
            buttons[0].queryAction().doAction(0)
            return
        except NotImplementedError:
            pass
    windows = subprocess.run(["xdotool", "search", "--name", "^Properties$"],
                             capture_output=True, text=True).stdout.split()
    if windows:
        subprocess.run(["xdotool", "windowfocus", "--sync", windows[-1], "key", "Escape"],
                       check=False)


def try_properties():
    extension = load_extension()
    files = make_files(9)
    problems = []
    process = subprocess.Popen(["nautilus", "--new-window", FILES], stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(WORK, "nautilus.log"), "w"))
    try:
        app = application("org.gnome.Nautilus")
        if app is None:
            return ["nautilus did not show up on the accessibility bus"]
        time.sleep(2)
        for key, shot in (("chinese", "properties-chinese"), ("damaged", "properties-damaged"),
                          ("markup", None)):
            path = files[key]
            name = os.path.basename(path)
            want = extension.properties_rows(host_json(path))
            started = time.monotonic()
            show_properties(path)
            window = wait_for(lambda: properties_window(app))
            section = window and wait_for(lambda: [
                item for item in find_all(window, lambda n: n.getRoleName() == "list item"
                                          and n.name == extension.PROPERTIES_TITLE)])
            if not section:
                problems.append(f"properties: {name}: no section {extension.PROPERTIES_TITLE}")
                continue
            log(f"properties: {name}: the section shows {time.monotonic() - started:.1f} s "
                "after the request")
            # GTK 4's rows offer no accessible action: a click opens the section.
            x, y, width, height = extents(section[0])
            subprocess.run(["xdotool", "mousemove", str(x + width // 2), str(y + height // 2),
                            "click", "1"], check=True)

            def shown():
                labels = [text_of(label) for label in
                          find_all(window, lambda n: n.getRoleName() == "label")]
                return labels if all(value in labels for _, value in want) else None
            labels = wait_for(shown, 10)
            if not labels:
                labels = [text_of(label) for label in
                          find_all(window, lambda n: n.getRoleName() == "label")]
                problems.append(f"properties: {name}: want rows {want}, the window shows {labels}")
            else:
                log(f"properties: {name}: {len(want)} rows, as the extension makes them")
                if shot:
                    time.sleep(0.5)
                    screenshot(shot)
            close_properties(app)
            if not wait_for(lambda: properties_window(app) is None, 5):
                problems.append(f"properties: {name}: the window did not close")

        # Other files get no section.
        for key in ("unknown", "derived"):
            show_properties(files[key])
            window = wait_for(lambda: properties_window(app))
            time.sleep(1.5)
            if window and find_all(window, lambda n: n.name == extension.PROPERTIES_TITLE):
                problems.append(f"properties: {os.path.basename(files[key])} has the section")
            close_properties(app)
            wait_for(lambda: properties_window(app) is None, 5)
    finally:
        gui_driver.stop(process)
    return problems


# ---------------------------------------------------------------------------
# The plug-in for Sushi 51 and later, in a stand-in of Sushi (GTK 4, WebKit 6)

def try_sushi_plugin():
    """Sushi 51 is not in Debian 12: sushi_plugin/host.js loads the
    installed plug-in as Sushi does, through a stand-in of Sushi's plug-in
    API, and reads each page's DOM in light and dark style."""
    files = make_files(9)
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sushi_plugin")
    bundle = os.path.join(WORK, "plugin-api.gresource")
    subprocess.run(["glib-compile-resources", "--sourcedir", here, "--target", bundle,
                    os.path.join(here, "resources.xml")], check=True)
    plugin = os.path.join(PREFIX, "lib", "sushi", "plugins-1", "vexel.js")
    keys = ["chinese", "damaged", "foreign", "markup"] + (
        ["encrypted"] if "encrypted" in files else [])
    out = os.path.join(WORK, "plugin.json")
    started = time.monotonic()
    result = subprocess.run(["gjs", "-m", os.path.join(here, "host.js"), bundle, plugin, out]
                            + [files[key] for key in keys], capture_output=True, text=True,
                            timeout=600)
    if result.returncode != 0 or not os.path.exists(out):
        return [f"sushi-plugin: the stand-in host failed: {result.stderr[-3000:]}"]
    log(f"sushi-plugin: {len(keys)} pages in light and dark in {time.monotonic() - started:.1f} s")
    shown = json.load(open(out, encoding="utf-8"))
    problems = []
    want_types = {"application/zip": True, "application/x-7z-compressed": True,
                  "application/x-compressed-tar": True,
                  "application/vnd.debian.binary-package": True, "application/epub+zip": False,
                  "application/vnd.oasis.opendocument.text": False, "text/plain": False,
                  "application/octet-stream": False}
    if shown["types"] != want_types:
        problems.append(f"sushi-plugin: takes the types {shown['types']}")
    for key in keys:
        path = files[key]
        name = os.path.basename(path)
        preview = host_json(path)
        page = shown["files"].get(path)
        if not page or page["errors"] or not page["ready"]:
            problems.append(f"sushi-plugin: {name}: {page}")
            continue
        for style in ("light", "dark"):
            facts = page[style]
            if facts is None:
                problems.append(f"sushi-plugin: {name}: no {style} page")
                continue
            wrong = [field for field in ("subtitle", "footer", "message")
                     if facts[field] != (preview[field] or (None if field == "message" else ""))]
            missing = [row["name"] for row in preview["rows"] if row["name"] not in facts["rows"]]
            if facts["scheme"] != style or wrong or missing or facts["title"] != name:
                problems.append(f"sushi-plugin: {name} ({style}): wrong {wrong}, missing rows "
                                f"{missing}, scheme {facts['scheme']}: {facts}")
            if facts["width"] != facts["windowWidth"]:
                problems.append(f"sushi-plugin: {name}: the page is {facts['width']} wide in a "
                                f"window {facts['windowWidth']} wide")
        log(f"sushi-plugin: {name}: {len(preview['rows'])} rows, message {preview['message']!r}")
    return problems


def main():
    part = sys.argv[1]
    # Light to begin with; the Sushi part turns the desktop dark later.
    with open(KEYFILE, "w", encoding="utf-8") as keys:
        keys.write("[org/gnome/desktop/interface]\ncolor-scheme='default'\n\n"
                   "[org/gnome/nautilus/preferences]\ndefault-folder-viewer='list-view'\n")
    problems = {"sushi": try_sushi, "sushi-plugin": try_sushi_plugin,
                "properties": try_properties, "space-bar": try_space_bar}[part]()
    for problem in problems:
        log("FAIL: " + problem)
    if not problems:
        log(f"{part}: everything shown as expected; screenshots in {OUT}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
