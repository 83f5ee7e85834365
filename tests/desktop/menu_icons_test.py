#!/usr/bin/python3
"""Menu icons that every desktop can draw.

  menu_icons_test.py names BUILD_SHARE SOURCE_DIR
      Every icon name the menus and the receiver's entry carry is found,
      as the freedesktop icon theme lookup finds it (the theme, what it
      inherits, then hicolor), in Adwaita, the theme of the GTK file
      managers on Debian (PCManFM, Caja, Nemo, Thunar); those of Dolphin's
      menu plug-in (its table of icons in findersync/kio/menu_icons.h) in
      Breeze, Dolphin's. A name found in one theme only (Breeze's
      archive-extract) shows as a broken image everywhere else.

  menu_icons_test.py pcmanfm BUILD_DIR SHOTS_DIR
      PCManFM under Xvfb with the build installed into a temporary prefix:
      right-click an archive, open the Vexel submenu, take a screenshot, and
      compare each item's icon with the broken image that PCManFM draws for
      a name no theme has (a control action beside ours) and with an item
      drawn without any icon: each must differ from both.

Exit status 0 passed, 1 failed, 77 skipped for want of a tool (1 under CI,
VEXEL_CI=1, which installs them: scripts/install-deps.sh desktop or gui).
"""

import configparser
import functools
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ICON_FOLDERS = ["/usr/share/icons", "/usr/share/pixmaps"]
EXTENSIONS = (".png", ".svg", ".xpm")


def skip_unless_ci(message):
    ci = os.environ.get("VEXEL_CI", "")
    if ci not in ("", "0"):
        print(f"FAIL: {message}, and CI (VEXEL_CI={ci}) installs it")
        sys.exit(1)
    print(f"SKIP: {message}")
    sys.exit(77)


@functools.lru_cache(maxsize=None)
def theme_index(theme):
    path = os.path.join(ICON_FOLDERS[0], theme, "index.theme")
    if not os.path.isfile(path):
        return None
    index = configparser.ConfigParser(interpolation=None, strict=False)
    index.read(path, encoding="utf-8")
    return index


def theme_chain(theme):
    """The theme, what it inherits (breadth first, once each), then hicolor."""
    chain, pending = [], [theme]
    while pending:
        name = pending.pop(0)
        if name in chain:
            continue
        index = theme_index(name)
        if index is None:
            continue
        chain.append(name)
        inherits = index.get("Icon Theme", "Inherits", fallback="")
        pending.extend(part.strip() for part in inherits.split(",") if part.strip())
    if "hicolor" not in chain:
        chain.append("hicolor")
    return chain


def theme_has(theme, name):
    """Where `name` is in `theme`'s directories (as index.theme lists them), or None."""
    index = theme_index(theme)
    if index is None:
        return None
    folders = index.get("Icon Theme", "Directories", fallback="")
    folders += "," + index.get("Icon Theme", "ScaledDirectories", fallback="")
    for folder in (part.strip() for part in folders.split(",")):
        if not folder:
            continue
        for extension in EXTENSIONS:
            path = os.path.join(ICON_FOLDERS[0], theme, folder, name + extension)
            if os.path.isfile(path):
                return path
    return None


def lookup(theme, name):
    for member in theme_chain(theme):
        found = theme_has(member, name)
        if found:
            return found
    for extension in EXTENSIONS:  # the unthemed fallback
        path = os.path.join(ICON_FOLDERS[1], name + extension)
        if os.path.isfile(path):
            return path
    return None


def icon_names(path):
    """The icon names a menu file carries: Icon=, Icon-Name= and <icon>."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    names = re.findall(r"^Icon(?:-Name)?=(.+)$", text, re.MULTILINE)
    names += re.findall(r"<icon>([^<]+)</icon>", text)
    if path.endswith(".h"):
        # The plug-in's table: the submenu's icon, then {"selector:", "icon"}.
        names += re.findall(r'^inline constexpr std::string_view kSubmenuIcon = "([^"]+)";', text,
                            re.MULTILINE)
        names += re.findall(r'^\s*\{"[A-Za-z0-9]+:", "([^"]+)"\},?$', text, re.MULTILINE)
    return [name.strip() for name in names]


def check_names(build_share, source_dir):
    gtk_files = (glob.glob(os.path.join(build_share, "file-manager/actions/*.desktop"))
                 + glob.glob(os.path.join(build_share, "nemo/actions/*.nemo_action"))
                 + glob.glob(os.path.join(build_share, "vexel/thunar/*.xml"))
                 + glob.glob(os.path.join(build_share, "applications/*.desktop")))
    kde_files = glob.glob(os.path.join(source_dir, "findersync/kio/menu_icons.h"))
    if not gtk_files or not kde_files:
        print(f"FAIL: no menu files under {build_share} and {source_dir}")
        return 1
    for theme in ("Adwaita", "breeze"):
        if theme_index(theme) is None:
            package = "adwaita-icon-theme" if theme == "Adwaita" else "breeze-icon-theme"
            skip_unless_ci(f"the {theme} icon theme is not installed ({package})")
    failures = 0
    for theme, files in (("Adwaita", gtk_files), ("breeze", kde_files)):
        for path in sorted(files):
            names = icon_names(path)
            if not names:
                print(f"FAIL: {path} names no icon")
                failures += 1
            if path.endswith(".h"):
                # Every row of the table read: as many as the array holds, and the submenu's.
                rows = re.search(r"std::array<[^;]*, (\d+)> kMenuIcons", open(path, encoding="utf-8").read())
                if rows is None or len(names) != int(rows.group(1)) + 1:
                    print(f"FAIL: {path}: read {len(names)} icon names, not one per row and the submenu's")
                    failures += 1
            for name in names:
                found = lookup(theme, name)
                print(f"{'ok' if found else 'MISSING'}: {os.path.basename(path)}: {name} "
                      f"in {theme}: {found or 'nowhere on ' + ', '.join(theme_chain(theme))}")
                failures += 0 if found else 1
    return 1 if failures else 0


# ---- PCManFM under Xvfb -----------------------------------------------------

CONTROL_ACTION = """[Desktop Entry]
Type=Action
Name=Broken icon control
Icon=vexel-no-such-icon-name
Profiles=p;

[X-Action-Profile p]
MimeTypes=all/allfiles;
Basenames=*.zip;
Exec=true %F
"""


def run(*arguments, **options):
    return subprocess.run(list(arguments), check=True, **options)


def crop(shot, box, out):
    x, y, width, height = box
    run("convert", shot, "-crop", f"{width}x{height}+{x}+{y}", "+repage", out)


def differing_pixels(first, second):
    """How many pixels differ (with a little fuzz for antialiasing)."""
    done = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", first, second, "null:"],
                          capture_output=True, text=True, check=False)
    return int(float(done.stderr.split()[0]))


def drive_pcmanfm(build, shots):
    for tool in ("Xvfb", "xdotool", "import", "convert", "compare", "dbus-run-session",
                 "pcmanfm", "bsdtar"):
        if shutil.which(tool) is None:
            skip_unless_ci(f"{tool} is not installed (scripts/install-deps.sh gui)")
    try:
        import pyatspi  # pylint: disable=import-outside-toplevel
    except ImportError:
        skip_unless_ci("python3-pyatspi is not installed (scripts/install-deps.sh gui)")
    os.makedirs(shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="vexel-pcmanfm-icons-")
    manifest = os.path.join(build, "install_manifest.txt")
    saved = manifest + ".vexel-saved" if os.path.isfile(manifest) else None
    if saved:
        shutil.copy(manifest, saved)
    xvfb = session = None
    try:
        prefix = os.path.join(work, "prefix")
        run("cmake", "--install", build, "--prefix", prefix, stdout=subprocess.DEVNULL)
        control = os.path.join(work, "control", "file-manager", "actions")
        os.makedirs(control)
        with open(os.path.join(control, "zz-broken-icon-control.desktop"), "w",
                  encoding="utf-8") as file:
            file.write(CONTROL_ACTION)
        files = os.path.join(work, "files")
        home = os.path.join(work, "home")
        os.makedirs(files)
        os.makedirs(home)
        with open(os.path.join(work, "notes.txt"), "w", encoding="utf-8") as file:
            file.write("notes\n")
        run("bsdtar", "-a", "-cf", os.path.join(files, "sample.zip"), "-C", work, "notes.txt")

        display = 99
        while os.path.exists(f"/tmp/.X11-unix/X{display}") or os.path.exists(
                f"/tmp/.X{display}-lock"):
            display += 1
        xvfb = subprocess.Popen(["Xvfb", f":{display}", "-screen", "0", "1024x700x24",
                                 "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
        time.sleep(1)
        env = {key: value for key, value in os.environ.items()
               if key not in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CURRENT_DESKTOP",
                              "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS")}
        env.update(HOME=home, DISPLAY=f":{display}", LANG="C.UTF-8",
                   XDG_CURRENT_DESKTOP="LXDE", GTK_MODULES="gail:atk-bridge",
                   NO_AT_BRIDGE="0",
                   XDG_DATA_DIRS=f"{os.path.dirname(os.path.dirname(control))}:"
                                 f"{prefix}/share:/usr/local/share:/usr/share",
                   PATH=f"{prefix}/bin:{os.environ.get('PATH', '/usr/bin:/bin')}")
        # The driver runs inside the same private D-Bus session, where the
        # accessibility bus tells where each menu item is.
        session = subprocess.Popen(
            ["dbus-run-session", "--", sys.executable, os.path.abspath(__file__),
             "pcmanfm-session", files, shots], env=env)
        return session.wait(timeout=240)
    finally:
        if session is not None and session.poll() is None:
            session.kill()
        if xvfb is not None:
            xvfb.kill()
            xvfb.wait()
        if saved:
            shutil.move(saved, manifest)
        elif os.path.exists(manifest):
            os.remove(manifest)
        shutil.rmtree(work, ignore_errors=True)


def pcmanfm_session(files, shots):
    # Only here: the names check runs without the accessibility bus.
    import gui_driver  # pylint: disable=import-outside-toplevel

    manager = subprocess.Popen(["pcmanfm", "--new-win", files])
    try:
        return pcmanfm_menu(gui_driver, shots)
    finally:
        manager.kill()
        manager.wait()


def pcmanfm_menu(gui, shots):
    def showing(app, title):
        return [item for item in gui.find_all(
            app, lambda n: n.name == title and n.getRoleName() in ("menu", "menu item"))
            if gui.on_screen(item)]

    app = gui.application("pcmanfm", seconds=30, step=0.5)
    if app is None:
        print("FAIL: PCManFM did not come up on the accessibility bus")
        return 1
    time.sleep(2)
    label = "sample.zip"
    icons = gui.find_all(app, lambda n: n.name == label and n.getRoleName() in (
        "icon", "list item", "table cell"))
    position = None
    for icon in icons:
        x, y, width, height = gui.extents(icon)
        if width > 0 and x >= 0 and y > 0:
            position = (x + width // 2, y + height // 2)
    if position is None:  # the icon view's first place
        position = (205, 100)
    gui.xdotool("mousemove", str(position[0]), str(position[1]), "click", "1")
    time.sleep(0.5)
    gui.xdotool("click", "3")
    time.sleep(1.5)
    vexel = showing(app, "Vexel")
    control = showing(app, "Broken icon control")
    blank = showing(app, "Open With...") or showing(app, "Open With…")
    if not vexel or not control or not blank:
        subprocess.run(["import", "-window", "root", os.path.join(shots, "pcmanfm-menu.png")],
                       check=False)
        print(f"FAIL: the context menu lacks Vexel, the control or Open With "
              f"({bool(vexel)}, {bool(control)}, {bool(blank)})")
        return 1
    x, y, width, height = gui.extents(vexel[-1])
    gui.xdotool("mousemove", str(x + width // 2), str(y + height // 2))
    time.sleep(1.5)
    gui.screenshot(shots, "pcmanfm-vexel-menu")
    shot = os.path.join(shots, "pcmanfm-vexel-menu.png")
    print(f"screenshot: {shot}")

    failures = 0
    scratch = tempfile.mkdtemp(prefix="vexel-icon-crops-")
    try:
        def icon_box(node):
            # GTK 2 draws a menu item's image in its first 24 pixels.
            left, top, _, item_height = gui.extents(node)
            return left + 2, top + 1, 22, item_height - 2

        crop(shot, icon_box(control[-1]), os.path.join(scratch, "broken.png"))
        crop(shot, icon_box(blank[-1]), os.path.join(scratch, "blank.png"))
        # The control must itself differ from an item without an icon, or
        # the comparison below proves nothing.
        if differing_pixels(os.path.join(scratch, "broken.png"),
                            os.path.join(scratch, "blank.png")) < 20:
            print("FAIL: the broken-icon control looks like no icon at all")
            failures += 1
        submenu = [child for child in gui.find_all(app, lambda n: n.getRoleName() == "menu item")
                   if child.name.startswith("用 Vexel") and gui.extents(child)[2] > 0
                   and gui.extents(child)[0] >= 0]
        if len(submenu) < 5:
            print(f"FAIL: the Vexel submenu shows {len(submenu)} items, not 5")
            failures += 1
        for number, item in enumerate(submenu):
            out = os.path.join(scratch, f"item{number}.png")
            crop(shot, icon_box(item), out)
            broken = differing_pixels(out, os.path.join(scratch, "broken.png"))
            empty = differing_pixels(out, os.path.join(scratch, "blank.png"))
            good = broken >= 20 and empty >= 20
            print(f"{'ok' if good else 'FAIL'}: {item.name}: {broken} pixels unlike the broken "
                  f"icon, {empty} unlike no icon")
            failures += 0 if good else 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    subprocess.run(["xdotool", "key", "Escape", "Escape"], check=False)
    return 1 if failures else 0


def main(argv):
    if len(argv) == 4 and argv[1] == "names":
        return check_names(argv[2], argv[3])
    if len(argv) == 4 and argv[1] == "pcmanfm":
        return drive_pcmanfm(argv[2], argv[3])
    if len(argv) == 4 and argv[1] == "pcmanfm-session":
        return pcmanfm_session(argv[2], argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
