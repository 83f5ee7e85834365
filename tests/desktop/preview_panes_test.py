#!/usr/bin/env python3
"""lf and ranger preview an archive with the README's recipes, inside tmux.

Each file manager runs in a tmux window of one width, then of another; the
captured preview must be exactly what vexel-quicklook prints for the columns
that the pane shows (CJK characters and pictographs count as two columns):
no row cut short, none laid out for a narrower pane.

    preview_panes_test.py README QUICKLOOK_HOST

Exit status 77 when tmux, or both lf and ranger, are missing.
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
        self.run("-f", "/dev/null", "new-session", "-d", "-x", str(width), "-y", str(HEIGHT),
                 "env " + " ".join(shlex.quote(f"{k}={v}") for k, v in environment.items())
                 + " " + command)

    def run(self, *arguments):
        return subprocess.run(["tmux", "-L", self.socket, *arguments], check=True,
                              capture_output=True, text=True, encoding="utf-8").stdout

    def capture(self):
        return self.run("capture-pane", "-p").split("\n")

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def check_fit(captured, width, archive, quicklook, environment):
    """'' when the preview fits the pane exactly, else what is wrong."""
    header = next((i for i, line in enumerate(captured) if "名称" in line), None)
    if header is None:
        return "no preview on screen"
    line = captured[header]
    start = columns(line[:line.index("名称")])
    pane = width - start
    printed = subprocess.run([quicklook, "--width", str(pane), "--color=always", "--", archive],
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


def wait_for_fit(tmux, width, archive, quicklook, environment, seconds=20):
    problem = ""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        problem = check_fit(tmux.capture(), width, archive, quicklook, environment)
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
    subprocess.run(["ranger", "--copy-config=scope"], check=True, capture_output=True, env=env)
    scope = os.path.join(config, "ranger", "scope.sh")
    text = open(scope, encoding="utf-8").read()
    entry = readme_block(readme, "        zip|7z|rar|tar|gz|tgz|bz2|tbz|tbz2|xz|txz|zst|lzma|cab|"
                                 "iso|arj|lzh|lha|z|cpio|rpm|deb|wim|xar|jar|\\")
    marker = "        ## Archive\n"
    if marker not in text:
        return ["ranger's scope.sh has no '## Archive' entry"]
    with open(scope, "w", encoding="utf-8") as out:
        out.write(text.replace(marker, entry + marker, 1))
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


def main():
    readme, quicklook = sys.argv[1], os.path.abspath(sys.argv[2])
    managers = [name for name in ("lf", "ranger") if shutil.which(name)]
    if not shutil.which("tmux") or not shutil.which("bsdtar") or not managers:
        print("SKIP: tmux, bsdtar, lf or ranger is not installed (scripts/install-deps.sh desktop)")
        return 77
    environment = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TZ="UTC",
                       PATH=os.path.dirname(quicklook) + os.pathsep + os.environ["PATH"])
    environment.pop("NO_COLOR", None)
    problems = []
    with tempfile.TemporaryDirectory(prefix="vexel-panes-") as work:
        environment["HOME"] = work
        archive = make_archive(work)
        if "lf" in managers:
            problems += try_lf(readme, quicklook, work, archive, environment)
        if "ranger" in managers:
            problems += try_ranger(readme, quicklook, work, archive, environment)
    for problem in problems:
        print("FAIL:", problem)
    if not problems:
        print("previews fit the pane in", " and ".join(managers), "at", WIDTHS, "columns")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
