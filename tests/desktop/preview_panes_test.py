#!/usr/bin/env python3
"""Terminal file managers preview an archive with the README's recipes, in tmux.

lf, ranger, vifm, nnn (with its preview-tui plug-in, or a stand-in that
calls scope.sh as it does) and Midnight Commander's F3 view each run in a
tmux window of one width, then of another; the captured preview must be
exactly what vexel-quicklook prints for the columns that the pane shows
(CJK characters and pictographs count as two columns): no row cut short,
none laid out for a narrower pane. mc must still open the archive as a
folder on Enter.

    preview_panes_test.py README QUICKLOOK_HOST

Exit status 77 when tmux or every file manager is missing; under CI
(VEXEL_CI=1), 1 when any of them is. nnn uses the preview-tui named by
$VEXEL_NNN_PREVIEW_TUI when set.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata

WIDTHS = (100, 150)
HEIGHT = 30
ANSI = re.compile(r"\x1b\[[0-9;]*m")


def columns(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def from_column(line, start):
    """The part of a captured line from display column `start` on."""
    used = 0
    for index, char in enumerate(line):
        if used >= start:
            return line[index:]
        used += columns(char)
    return ""


def readme_block(readme, first_line):
    """The indented code block of the README that starts with `first_line`."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    start = lines.index(first_line)
    block = []
    for line in lines[start:]:
        if not line.strip():
            break
        block.append(line[4:])
    return "\n".join(block) + "\n"


def make_archive(folder):
    """A ZIP file with long, Chinese and nested names, and two neighbours."""
    content = os.path.join(folder, "content")
    os.makedirs(os.path.join(content, "项目资料", "设计文档"))
    names = ["项目资料/设计文档/第一章 系统概述与总体架构说明.md",
             "项目资料/设计文档/a rather long English file name that needs shortening.txt",
             "项目资料/readme.txt", "项目资料/数据.csv"]
    for name in names:
        with open(os.path.join(content, name), "w", encoding="utf-8") as out:
            out.write("x" * 3000)
    files = os.path.join(folder, "files")
    os.makedirs(files)
    archive = os.path.join(files, "b 项目资料.zip")
    subprocess.run(["bsdtar", "--format", "zip", "-cf", archive, "项目资料"], cwd=content,
                   check=True)
    for neighbour in ("a.txt", "c.txt"):
        with open(os.path.join(files, neighbour), "w", encoding="utf-8") as out:
            out.write("text\n")
    return archive


class Tmux:
    def __init__(self, socket, command, width, environment):
        self.socket = socket
        # The server gets the environment too: panes that programs split
        # off start with the server's.
        self.environment = environment
        self.run("-f", "/dev/null", "new-session", "-d", "-x", str(width), "-y", str(HEIGHT),
                 "env " + " ".join(shlex.quote(f"{k}={v}") for k, v in environment.items())
                 + " " + command)

    def run(self, *arguments):
        return subprocess.run(["tmux", "-L", self.socket, *arguments], check=True,
                              capture_output=True, text=True, encoding="utf-8",
                              env=self.environment).stdout

    def capture(self, pane=None):
        target = ["-t", pane] if pane else []
        return self.run("capture-pane", "-p", *target).split("\n")

    def pane_width(self, pane):
        return int(self.run("display-message", "-p", "-t", pane, "#{pane_width}").strip())

    def close(self):
        """Ends the server and waits for the programs in its panes, which
        may still write into the home folder as they go (nnn does)."""
        listed = subprocess.run(["tmux", "-L", self.socket, "list-panes", "-a", "-F",
                                 "#{pane_pid}"], capture_output=True, text=True)
        pids = [int(pid) for pid in listed.stdout.split() if pid.isdigit()]
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(is_running(pid) for pid in pids):
            time.sleep(0.05)


def is_running(pid):
    """The process exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def check_fit(captured, width, archive, quicklook, environment, margin=0, color="always"):
    """'' when the preview fits the pane exactly, else what is wrong. The
    pane runs from the column where the preview starts to `margin` columns
    before the right edge of `width`."""
    header = next((i for i, line in enumerate(captured) if "名称" in line), None)
    if header is None:
        return "no preview on screen"
    line = captured[header]
    start = columns(line[:line.index("名称")])
    pane = width - start - margin
    printed = subprocess.run([quicklook, "--width", str(pane), f"--color={color}", "--", archive],
                             check=True, capture_output=True, text=True, encoding="utf-8",
                             env=environment).stdout
    expected = [ANSI.sub("", row).rstrip() for row in printed.rstrip("\n").split("\n")]
    if max(columns(row) for row in expected) != pane:
        return f"the preview for {pane} columns has no full-width row"
    expected_header = next(i for i, row in enumerate(expected) if "名称" in row)
    top = header - expected_header
    shown = [from_column(row, start).rstrip() for row in captured[top:top + len(expected)]]
    if shown != expected:
        return (f"pane of {pane} columns (from column {start}) shows:\n" + "\n".join(shown)
                + f"\nexpected:\n" + "\n".join(expected))
    return ""


def wait_for_fit(tmux, width, archive, quicklook, environment, seconds=20, pane=None, **fit):
    """Waits until the preview fits: in the whole window `width` wide, or
    in `pane` alone (its own width then)."""
    problem = ""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        shown_width = tmux.pane_width(pane) if pane else width
        problem = check_fit(tmux.capture(pane), shown_width, archive, quicklook, environment, **fit)
        if not problem:
            return ""
        time.sleep(0.5)
    return problem


def try_lf(readme, quicklook, work, archive, environment):
    config = os.path.join(work, "lf-config")
    os.makedirs(os.path.join(config, "lf"))
    preview = os.path.join(config, "lf", "preview")
    with open(preview, "w", encoding="utf-8") as out:
        out.write(readme_block(readme, "    #!/bin/sh"))
    os.chmod(preview, 0o755)
    # lf expands "~" from the password database, not $HOME: the README's
    # line, pointed at this configuration.
    with open(os.path.join(config, "lf", "lfrc"), "w", encoding="utf-8") as out:
        out.write("set previewer ~/.config/lf/preview\n".replace("~/.config", config))
    env = dict(environment, XDG_CONFIG_HOME=config)
    tmux = Tmux(f"vexel-lf-{os.getpid()}", "lf " + shlex.quote(archive), WIDTHS[0], env)
    try:
        problems = []
        problem = wait_for_fit(tmux, WIDTHS[0], archive, quicklook, environment)
        if problem:
            problems.append(f"lf at {WIDTHS[0]} columns: {problem}")
        tmux.run("resize-window", "-x", str(WIDTHS[1]))
        # lf lays a preview out again when the file is selected again.
        time.sleep(1)
        tmux.run("send-keys", "k")
        time.sleep(1)
        tmux.run("send-keys", "j")
        problem = wait_for_fit(tmux, WIDTHS[1], archive, quicklook, environment)
        if problem:
            problems.append(f"lf at {WIDTHS[1]} columns: {problem}")
        return problems
    finally:
        tmux.close()


def try_ranger(readme, quicklook, work, archive, environment):
    config = os.path.join(work, "ranger-config")
    env = dict(environment, XDG_CONFIG_HOME=config)
    if ranger_scope(readme, config, environment) is None:
        return ["ranger's scope.sh has no '## Archive' entry"]
    command = "ranger"
    if os.geteuid() == 0:
        # As the README says for root.
        command += " --cmd='set use_preview_script true' --cmd='set preview_files true'"
    command += " --selectfile=" + shlex.quote(archive)
    tmux = Tmux(f"vexel-ranger-{os.getpid()}", command, WIDTHS[0], env)
    try:
        problems = []
        problem = wait_for_fit(tmux, WIDTHS[0], archive, quicklook, environment)
        if problem:
            problems.append(f"ranger at {WIDTHS[0]} columns: {problem}")
        tmux.run("resize-window", "-x", str(WIDTHS[1]))
        problem = wait_for_fit(tmux, WIDTHS[1], archive, quicklook, environment)
        if problem:
            problems.append(f"ranger at {WIDTHS[1]} columns: {problem}")
        return problems
    finally:
        tmux.close()


def ranger_scope(readme, config, environment):
    """ranger's scope.sh with the README's entry for archives, as the
    README sets it up: None when its stock archive entry is missing."""
    subprocess.run(["ranger", "--copy-config=scope"], check=True, capture_output=True,
                   env=dict(environment, XDG_CONFIG_HOME=config))
    scope = os.path.join(config, "ranger", "scope.sh")
    text = open(scope, encoding="utf-8").read()
    entry = readme_block(readme, "        zip|7z|rar|tar|gz|tgz|bz2|tbz|tbz2|xz|txz|zst|lzma|cab|"
                                 "iso|arj|lzh|lha|z|cpio|rpm|deb|wim|xar|jar|\\")
    marker = "        ## Archive\n"
    if marker not in text:
        return None
    with open(scope, "w", encoding="utf-8") as out:
        out.write(text.replace(marker, entry + marker, 1))
    return scope


def try_vifm(readme, quicklook, work, archive, environment):
    config = os.path.join(work, "vifm-config")
    os.makedirs(os.path.join(config, "vifm"))
    # vifm writes its sample configuration on its first start; the README's
    # lines go above its archive viewers.
    sample = open("/usr/share/vifm/vifmrc", encoding="utf-8").read() \
        if os.path.exists("/usr/share/vifm/vifmrc") else ""
    with open(os.path.join(config, "vifm", "vifmrc"), "w", encoding="utf-8") as out:
        out.write(readme_block(readme, "    fileviewer *.zip,*.7z,*.rar,*.tar,*.gz,*.tgz,*.bz2,"
                                       "*.tbz,*.tbz2,*.xz,*.txz,*.zst,*.lzma,*.cab,*.iso,*.arj,"
                                       "*.lzh,*.lha,*.z,*.cpio,*.rpm,*.deb,*.wim,*.xar,*.jar,"
                                       "*.[0-9][0-9][0-9],*.r[0-9][0-9],*.z[0-9][0-9]") + sample)
    env = dict(environment, XDG_CONFIG_HOME=config)
    env.pop("VIFM", None)
    env.pop("MYVIFMRC", None)
    command = ("vifm -c view --select " + shlex.quote(archive) + " "
               + shlex.quote(os.path.dirname(archive)))
    tmux = Tmux(f"vexel-vifm-{os.getpid()}", command, WIDTHS[0], env)
    try:
        problems = []
        for width in WIDTHS:
            if width != WIDTHS[0]:
                tmux.run("resize-window", "-x", str(width))
            # The preview area ends before vifm's border and its padding.
            problem = wait_for_fit(tmux, width, archive, quicklook, environment, margin=2)
            if problem:
                problems.append(f"vifm at {width} columns: {problem}")
        return problems
    finally:
        tmux.close()


def try_mc(readme, quicklook, work, archive, environment):
    home = os.path.join(work, "mc-home")
    os.makedirs(home)
    commands = readme_block(readme, "    mkdir -p ~/.config/mc")
    subprocess.run(["sh", "-euc", commands], check=True, env=dict(environment, HOME=home))
    env = dict(environment, HOME=home)
    folder = os.path.dirname(archive)
    tmux = Tmux(f"vexel-mc-{os.getpid()}", "mc -u " + shlex.quote(folder) + " "
                + shlex.quote(folder), WIDTHS[0], env)
    try:
        problems = []
        time.sleep(2)
        # The panel lists "..", then a.txt, then the archive.
        tmux.run("send-keys", "Down", "Down")
        for width in WIDTHS:
            if width != WIDTHS[0]:
                tmux.run("resize-window", "-x", str(width))
                time.sleep(1)
            tmux.run("send-keys", "F3")
            # mc's viewer shows no colours; the text takes the whole width.
            problem = wait_for_fit(tmux, width, archive, quicklook, environment, color="never")
            if problem:
                problems.append(f"mc at {width} columns: {problem}")
            tmux.run("send-keys", "F10")
            time.sleep(1)
        # Enter still opens the archive as a folder (mc's own uzip).
        tmux.run("send-keys", "Enter")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and "uzip://" not in tmux.capture()[1]:
            time.sleep(0.5)
        if "uzip://" not in tmux.capture()[1]:
            problems.append("mc: Enter no longer opens the archive: " + tmux.capture()[1])
        return problems
    finally:
        tmux.close()


def try_nnn(readme, quicklook, work, archive, environment):
    config = os.path.join(work, "nnn-config")
    scope = ranger_scope(readme, config, environment)
    if scope is None:
        return ["ranger's scope.sh has no '## Archive' entry"]
    # The README's commands, with this home.
    home = os.path.join(work, "nnn-home")
    os.makedirs(home)
    commands = readme_block(readme, "    mkdir -p ~/.local/bin").replace(
        "~/.config/ranger/scope.sh", shlex.quote(scope))
    setup = "\n".join(line for line in commands.split("\n")
                      if not line.startswith(("export ", "nnn ")))
    subprocess.run(["sh", "-euc", setup], check=True, env=dict(environment, HOME=home))
    plugins = os.path.join(config, "nnn", "plugins")
    os.makedirs(plugins)
    plugin = os.environ.get("VEXEL_NNN_PREVIEW_TUI") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "nnn_preview_stand_in.sh")
    shutil.copy(plugin, os.path.join(plugins, "preview-tui"))
    os.chmod(os.path.join(plugins, "preview-tui"), 0o755)
    exports = next(line for line in commands.split("\n") if line.startswith("export "))
    fifo = os.path.join(work, "nnn.fifo")
    env = dict(environment, HOME=home, XDG_CONFIG_HOME=config, TMPDIR=work,
               PATH=os.path.join(home, ".local", "bin") + os.pathsep + environment["PATH"])
    for assignment in shlex.split(exports[len("export "):]):
        key, _, value = assignment.partition("=")
        env[key] = value.replace("/tmp/nnn.fifo", fifo)
    run = next(line for line in commands.split("\n") if line.startswith("nnn "))
    tmux = Tmux(f"vexel-nnn-{os.getpid()}", run + " " + shlex.quote(os.path.dirname(archive)),
                WIDTHS[0], env)
    try:
        problems = []
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and len(tmux.run("list-panes").splitlines()) < 2:
            time.sleep(0.3)
        panes = tmux.run("list-panes", "-F", "#{pane_id}").split()
        if len(panes) < 2:
            return ["nnn: the preview pane did not open"]
        # nnn starts on a.txt; the archive is next.
        time.sleep(1)
        tmux.run("send-keys", "-t", panes[0], "j")
        for width in WIDTHS:
            if width != WIDTHS[0]:
                tmux.run("resize-window", "-x", str(width))
            problem = wait_for_fit(tmux, width, archive, quicklook, environment, pane=panes[1])
            if problem:
                problems.append(f"nnn at {width} columns: {problem}")
        return problems
    finally:
        tmux.close()


def skip_unless_ci(reason):
    """Ends the test as skipped (77) for want of what `reason` says; under CI
    (VEXEL_CI set to anything but "" or 0), which installs it, as failed."""
    if under_ci():
        print(f"FAIL: {reason}, and CI (VEXEL_CI={os.environ['VEXEL_CI']}) installs it")
        sys.exit(1)
    print(f"SKIP: {reason}")
    sys.exit(77)


def under_ci():
    return os.environ.get("VEXEL_CI", "") not in ("", "0")


def remove_folder(path):
    """Removes `path`; what a file manager's helper still writes as it ends
    (after its pane is gone) may come after the first try."""
    for attempt in range(20):
        try:
            shutil.rmtree(path)
            return
        except FileNotFoundError:
            return
        except OSError:
            if attempt == 19:
                raise
            time.sleep(0.25)


def main():
    readme, quicklook = sys.argv[1], os.path.abspath(sys.argv[2])
    managers = [name for name in ("lf", "ranger", "vifm", "mc", "nnn") if shutil.which(name)]
    if "nnn" in managers and not shutil.which("ranger"):
        managers.remove("nnn")  # its recipe uses ranger's scope.sh
    missing = [name for name in ("tmux", "bsdtar", "lf", "ranger", "vifm", "mc", "nnn")
               if not shutil.which(name)]
    # Here a file manager that is missing is passed over; CI installs them all.
    if missing and (under_ci() or not shutil.which("tmux") or not shutil.which("bsdtar")
                    or not managers):
        skip_unless_ci(", ".join(missing) + " missing (scripts/install-deps.sh desktop)")
    # less, the pager behind some previews, writes its history into the
    # home folder as it ends, which may be after its pane has gone.
    environment = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TZ="UTC", LESSHISTFILE="-",
                       PATH=os.path.dirname(quicklook) + os.pathsep + os.environ["PATH"])
    environment.pop("NO_COLOR", None)
    problems = []
    work = tempfile.mkdtemp(prefix="vexel-panes-")
    try:
        environment["HOME"] = work
        archive = make_archive(work)
        if "lf" in managers:
            problems += try_lf(readme, quicklook, work, archive, environment)
        if "ranger" in managers:
            problems += try_ranger(readme, quicklook, work, archive, environment)
        if "vifm" in managers:
            problems += try_vifm(readme, quicklook, work, archive, environment)
        if "mc" in managers:
            problems += try_mc(readme, quicklook, work, archive, environment)
        if "nnn" in managers:
            problems += try_nnn(readme, quicklook, work, archive, environment)
    finally:
        remove_folder(work)
    for problem in problems:
        print("FAIL:", problem)
    if not problems:
        print("previews fit the pane in", ", ".join(managers), "at", WIDTHS, "columns")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
