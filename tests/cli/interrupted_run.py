#!/usr/bin/env python3
"""Stops opera2mbox at random points and checks that a rerun with
--skip-existing makes every mailbox what one clean run makes: the same
messages, in the same order, byte for byte.

For each seed the run is killed (SIGKILL) after a random time within what a
clean run takes; for every other seed the mailbox written last is then also
cut at a random byte, as a write cut short leaves it. A last rerun over the
finished output must add nothing.

Usage: interrupted_run.py --opera2mbox EXE --repo REPO --work DIR [--seeds N]
"""
import argparse
import mailbox
import os
import random
import shutil
import signal
import subprocess
import sys
import time


def mailboxes(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            if not name.endswith(".mbox"):
                continue  # a lock file a killed run left: the rerun takes it over
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def messages(path):
    return [m.as_bytes() for m in mailbox.mbox(path, create=False)]


def run(exe, out, store, *extra):
    result = subprocess.run([exe, "-q", "--line-ends=lf", *extra, "-o", out, store],
                            capture_output=True, text=True)
    # The store holds empty files, which hold no message and fail; nothing else may.
    lines = result.stderr.splitlines(keepends=True)
    empty = [line for line in lines if line.endswith(": the file is empty\n")]
    if result.returncode == 1 and f"; {len(empty)} failed." in result.stdout:
        result.returncode = 0
        result.stderr = "".join(line for line in lines if line not in empty)
    return result


def compare(label, got_root, want, problems):
    got = mailboxes(got_root)
    if sorted(got) != sorted(want):
        missing = sorted(set(want) - set(got))[:3]
        extra = sorted(set(got) - set(want))[:3]
        problems.append(f"{label}: mailboxes differ (missing {missing}, extra {extra})")
        return
    for name, data in want.items():
        if got[name] != data:
            path = os.path.join(got_root, name)
            got_messages = messages(path)
            want_messages = messages(os.path.join(CLEAN, name))
            problems.append(f"{label}: {name}: {len(got_messages)} messages, want {len(want_messages)}; "
                            f"same texts: {got_messages == want_messages}")


def main():
    global CLEAN
    ap = argparse.ArgumentParser()
    ap.add_argument("--opera2mbox", required=True)
    ap.add_argument("--repo", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--seeds", type=int, default=8)
    ap.add_argument("--messages", type=int, default=1500)
    args = ap.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    store = os.path.join(args.work, "store")
    subprocess.run([sys.executable, os.path.join(args.repo, "tests", "cli", "make_test_store.py"),
                    "--out", store, "--messages", str(args.messages), "--seed", "9"], check=True)

    CLEAN = os.path.join(args.work, "clean")
    started = time.monotonic()
    clean = run(args.opera2mbox, CLEAN, store)
    took = time.monotonic() - started
    if clean.returncode != 0:
        print(clean.stdout, clean.stderr)
        return 1
    want = mailboxes(CLEAN)
    print(f"clean run: {len(want)} mailboxes")

    problems = []
    for seed in range(args.seeds):
        rng = random.Random(seed)
        out = os.path.join(args.work, f"run-{seed}")
        process = subprocess.Popen([args.opera2mbox, "-q", "--line-ends=lf", "-o", out, store],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, took))
        process.send_signal(signal.SIGKILL)
        process.wait()
        written = mailboxes(out) if os.path.isdir(out) else {}
        note = f"seed {seed}: killed with {len(written)} of {len(want)} mailboxes begun"
        if seed % 2 == 1 and written:
            # The last mailbox written, cut where a write might have stopped.
            last = max((os.path.join(out, name) for name in written), key=os.path.getmtime)
            size = os.path.getsize(last)
            cut = rng.randrange(size + 1)
            os.truncate(last, cut)
            note += f", {os.path.relpath(last, out)} cut from {size} to {cut} bytes"
        print(note)
        rerun = run(args.opera2mbox, out, store, "--skip-existing")
        if rerun.returncode != 0:
            problems.append(f"seed {seed}: rerun exited with {rerun.returncode}: {rerun.stderr.strip()}")
            continue
        compare(f"seed {seed}", out, want, problems)

        left = [os.path.join(b, f) for b, _d, fs in os.walk(out) for f in fs if not f.endswith(".mbox")]
        if left:
            problems.append(f"seed {seed}: left behind after the rerun: {left[:3]}")

        # Over the finished output, nothing is added.
        again = run(args.opera2mbox, out, store, "--skip-existing")
        if " 0 messages " not in again.stdout or again.stderr:
            problems.append(f"seed {seed}: second rerun: {again.stdout.strip()} {again.stderr.strip()}")
        compare(f"seed {seed} again", out, want, problems)
        shutil.rmtree(out)

    for problem in problems:
        print("FAIL", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
