#!/usr/bin/env python3
"""session_peak.py [--linger SECONDS] [--report FILE] -- COMMAND...: runs
COMMAND in a session of its own and prints one line (to FILE, else to
standard error) of what it and everything it started took:

    status=0 wall=0.41 host_mb=12 others_mb=35 total_mb=47 processes=2 linger=0.00

- wall: seconds until COMMAND exited;
- host_mb: COMMAND's own peak resident memory: from the kernel's account
  at its exit when it started nothing (which would count the children it
  reaped), else its VmHWM as last read while it lived;
- others_mb: the largest peak resident memory of any other process of the
  session, read from its VmHWM while it lives (a program the host started
  and never reaped is one), every 5 ms;
- total_mb: host_mb + others_mb, a bound on what all of them held at once;
- together_mb: the most all of them held at once, as the sums of their
  resident sizes read every 5 ms show it (a helper that gives back what a
  listing took, before the host takes its own, counts once);
- processes: how many processes the session had in all;
- linger: how long processes of the session outlived COMMAND (until all had
  ended, at most --linger seconds, default 5; more shows as that).

A process counts as the session's when it is in the session or is a child
of one that is (found while its parent lives): a helper that starts a
session of its own, as vexel-lister does, is still measured. A listing's
memory can then be judged whole, the host and its lister together;
bench/bounds.sh uses it.
"""
import os
import signal
import subprocess
import sys
import time


class Session:
    """The processes of one session and their children, found by a walk of
    /proc that looks only at processes it has not seen before (in the order
    of their numbers, so that a parent is judged before its children)."""

    def __init__(self, sid):
        self.sid = sid
        self.seen = {}  # pid -> member of the session

    def members(self):
        found = []
        for pid in sorted(int(name) for name in os.listdir("/proc") if name.isdigit()):
            if pid not in self.seen:
                self.seen[pid] = self.is_member(pid)
            if self.seen[pid]:
                found.append(pid)
        return found

    def is_member(self, pid):
        try:
            with open(f"/proc/{pid}/stat", "rb") as stat:
                fields = stat.read().rsplit(b")", 1)[1].split()
        except OSError:
            return False
        # After the name: state, ppid, pgrp, session.
        return int(fields[3]) == self.sid or self.seen.get(int(fields[1]), False)


def is_alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            return stat.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def status_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def peak_kib(pid):
    return status_kib(pid, "VmHWM:")


def main():
    args = sys.argv[1:]
    linger_limit = 5.0
    report = None
    while args[:1] in (["--linger"], ["--report"]):
        if args[0] == "--linger":
            linger_limit = float(args[1])
        else:
            report = args[1]
        args = args[2:]
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    start = time.monotonic()
    child = subprocess.Popen(args, start_new_session=True)
    sid = child.pid
    peaks = {}
    status = None
    rusage = None
    session = Session(sid)
    host_polled = 0
    together = 0
    while status is None:
        resident = 0
        for pid in session.members():
            if pid != sid:
                peaks[pid] = max(peaks.get(pid, 0), peak_kib(pid))
            else:
                host_polled = max(host_polled, peak_kib(pid))
            resident += status_kib(pid, "VmRSS:")
        together = max(together, resident)
        waited, raw, rusage = os.wait4(child.pid, os.WNOHANG)
        if waited == child.pid:
            status = os.waitstatus_to_exitcode(raw)
            break
        time.sleep(0.005)
    wall = time.monotonic() - start
    ended = time.monotonic()
    linger = 0.0
    while True:
        members = [pid for pid in session.members() if is_alive(pid)]
        for pid in members:
            peaks[pid] = max(peaks.get(pid, 0), peak_kib(pid))
        together = max(together, sum(status_kib(pid, "VmRSS:") for pid in members))
        if not members:
            break
        linger = time.monotonic() - ended
        if linger >= linger_limit:
            for pid in members:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            break
        time.sleep(0.005)
    host = (host_polled if peaks else rusage.ru_maxrss) // 1024
    others = max(peaks.values(), default=0) // 1024
    # Without other processes the host's own peak is the most held at once.
    together = max(together // 1024, host) if not peaks else together // 1024
    line = (f"status={status} wall={wall:.2f} host_mb={host} others_mb={others}"
            f" total_mb={host + others} together_mb={together}"
            f" processes={1 + len(peaks)} linger={linger:.2f}\n")
    if report:
        with open(report, "w") as out:
            out.write(line)
    else:
        sys.stderr.write(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
