#!/usr/bin/env python3
"""SIGINT and SIGTERM while opera2mbox waits for a mailbox that another
program holds (fcntl lock, a record half written): the run stops at once
with 130 or 143, says so in its summary, leaves no lock file behind, and
the other program's record ends up whole.

Usage: interrupt_signals.py --opera2mbox EXE --work DIR
"""
import argparse
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time

MESSAGE = (b"From: Ann <ann@example.org>\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n"
           b"Subject: two\r\n\r\nbody of two\r\n")
BEFORE = b"From ann@example.org Tue Mar 05 09:07:03 2024\nSubject: one\n\none\n\n"
FIRST = b"From mda@example.org Tue Mar  5 09:07:03 2024\nSubject: delivered\n"
SECOND = b"\nbody of delivered\n\n"


def wait_for(path, seconds):
    """Waits until `path` exists (opera2mbox holds its lock file and waits
    for the fcntl lock): True, or False after `seconds`."""
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def one_case(exe, work, sig, status):
    problems = []
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "src"))
    os.makedirs(os.path.join(work, "out"))
    with open(os.path.join(work, "src", "two.mbs"), "wb") as f:
        f.write(MESSAGE)
    mailbox = os.path.join(work, "out", "opera.mbox")
    with open(mailbox, "wb") as f:
        f.write(BEFORE)
    holder = os.open(mailbox, os.O_WRONLY | os.O_APPEND)
    fcntl.lockf(holder, fcntl.LOCK_EX)
    os.write(holder, FIRST)
    run = subprocess.Popen([exe, "-q", "--mailbox-per=store", "-o", os.path.join(work, "out"),
                            os.path.join(work, "src")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if not wait_for(mailbox + ".lock", 8):
            problems.append("no lock file while waiting for the mailbox")
        run.send_signal(sig)
        out, err = run.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        run.kill()
        out, err = run.communicate()
        problems.append("still running 5 s after the signal")
    os.write(holder, SECOND)
    os.close(holder)
    if run.returncode != status:
        problems.append(f"exit status {run.returncode}, want {status}")
    if "interrupted, 1 source file not converted" not in out:
        problems.append(f"summary: {out.strip()!r}")
    if os.path.exists(mailbox + ".lock"):
        problems.append("lock file left behind")
    with open(mailbox, "rb") as f:
        got = f.read()
    if got != BEFORE + FIRST + SECOND:
        problems.append(f"mailbox: {got!r}")
    return [f"{signal.Signals(sig).name}: {p} (stderr: {err.strip()!r})" for p in problems]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--opera2mbox", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    problems = []
    for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
        problems += one_case(args.opera2mbox, os.path.join(args.work, signal.Signals(sig).name), sig, status)
    for problem in problems:
        print("FAIL", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
