#!/usr/bin/env python3
"""small_compare.py BUILD [ZIP]: one listing of a small ZIP by each host
against a reference tool on the same file, in paired runs that alternate
the two commands: `vexel-mdimport` against `unzip -l`, `vexel-quicklook
--json` against `bsdtar -tvf`. Prints the median CPU time (user + system)
and wall time of each, and the median of the per-pair ratios; and, as the
floor no listing change can go below, loading the importer plug-in alone
(bench/load_only) against `unzip -l`.

Without ZIP, a 40-entry ZIP is made with Info-ZIP `zip`. REPS (default 31)
sets the number of pairs.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(command):
    start = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(command))
    return usage.ru_utime + usage.ru_stime, wall


def compare(name, ours, reference, reps):
    ratios_cpu, ratios_wall, cpu, wall = [], [], {0: [], 1: []}, {0: [], 1: []}
    for rep in range(reps):
        order = [(0, ours), (1, reference)] if rep % 2 == 0 else [(1, reference), (0, ours)]
        got = {}
        for which, command in order:
            got[which] = run(command)
            cpu[which].append(got[which][0])
            wall[which].append(got[which][1])
        if got[1][0] > 0:
            ratios_cpu.append(got[0][0] / got[1][0])
        ratios_wall.append(got[0][1] / got[1][1])
    med = statistics.median
    print("%-28s cpu %.2f ms vs %.2f ms (ratio %.2f)  wall %.2f ms vs %.2f ms (ratio %.2f)" % (
        name, med(cpu[0]) * 1e3, med(cpu[1]) * 1e3, med(ratios_cpu) if ratios_cpu else float("nan"),
        med(wall[0]) * 1e3, med(wall[1]) * 1e3, med(ratios_wall)))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    build = sys.argv[1]
    reps = int(os.environ.get("REPS", "31"))
    with tempfile.TemporaryDirectory() as folder:
        if len(sys.argv) == 3:
            archive = sys.argv[2]
        else:
            for i in range(40):
                with open(os.path.join(folder, "file%02d.txt" % i), "w") as f:
                    f.write("line %d\n" % i * (i + 1))
            archive = os.path.join(folder, "small.zip")
            subprocess.run(["zip", "-q", "-j", archive] +
                           [os.path.join(folder, "file%02d.txt" % i) for i in range(40)], check=True)
        compare("vexel-mdimport / unzip -l",
                [os.path.join(build, "spotlight", "vexel-mdimport"), archive],
                ["unzip", "-l", archive], reps)
        # The floor: the plug-in and its libraries (libarchive with libxml2
        # and ICU, libstdc++) loaded, nothing listed.
        compare("loading VexelSpotlight.so / unzip -l",
                [os.path.join(build, "bench", "load_only"),
                 os.path.join(build, "spotlight", "VexelSpotlight.so")],
                ["unzip", "-l", archive], reps)
        compare("starting a C++ program / unzip -l",
                [os.path.join(build, "bench", "load_only")], ["unzip", "-l", archive], reps)
        compare("vexel-quicklook --json / bsdtar -tvf",
                [os.path.join(build, "quicklook", "vexel-quicklook"), "--json", archive],
                ["bsdtar", "-tvf", archive], reps)


if __name__ == "__main__":
    main()
