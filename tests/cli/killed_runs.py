#!/usr/bin/env python3
"""Kills opera2mbox with SIGKILL at many random points of a conversion, runs
it again into the same output folder, and checks that every mailbox then
reads back (with Python's mailbox module) as whole records: no record glued
onto a torn one, every message that went in whole is there whole, and no
record holds two messages.

A kill lands where it lands; to reach the torn tails a kill inside a write
leaves, some rounds also cut the mailbox written so far at a random byte, as
such a kill would have, before the rerun.

Usage: killed_runs.py --opera2mbox BIN --work DIR [--rounds N] [--seed S]
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


def message(n, size):
    lines = [f"Subject: message {n}", f"Message-ID: <{n}@killed.test>",
             "From: Sender <s@example.org>", "Date: Tue, 05 Mar 2024 09:07:03 +0000", ""]
    body = [f"line {n} {k} of the body of message {n}" for k in range(size)]
    body.append(f"end of message {n}")
    return "\n".join(lines + body) + "\n"


def write_store(root, rng):
    """Folders of one-message files, a few of them large, so that writes take
    long enough to be cut."""
    texts = {}
    n = 0
    for folder in range(4):
        path = os.path.join(root, f"folder{folder}")
        os.makedirs(path)
        for _ in range(12):
            size = rng.choice([5, 20, 200, 8000])
            texts[n] = message(n, size)
            with open(os.path.join(path, f"{n}.mbs"), "w") as out:
                out.write(texts[n])
            n += 1
    return texts


def check(out_dir, texts):
    """Every mailbox under out_dir reads back as whole records. Returns the
    message numbers found whole, or raises AssertionError."""
    whole = set()
    for base, _dirs, files in os.walk(out_dir):
        for name in files:
            if not name.endswith(".mbox"):
                continue
            path = os.path.join(base, name)
            box = mailbox.mbox(path, create=False)
            for key in box.keys():
                raw = box.get_bytes(key).decode("latin-1")
                assert raw.count("Subject: message ") <= 1, f"{path}: two messages in one record:\n{raw[:400]}"
                assert "\nFrom " not in raw, f"{path}: a From line inside a record"
                got = raw.rstrip("\n")
                first = raw.split("\n", 1)[0]
                if first.startswith("Subject: message ") and "\n" in raw:
                    n = int(first.split()[2])
                    # Whole, or torn by a kill: then a prefix of the message
                    # followed by the line end and empty line that closed it.
                    assert texts[n].startswith(got), f"{path}: message {n} is not what went in"
                    if got + "\n" == texts[n]:
                        whole.add(n)
                else:
                    # A record torn inside its From line or its first line.
                    assert any(t.startswith(got) for t in texts.values()), f"{path}: a record of no message"
    return whole


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--opera2mbox", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=16)
    parser.add_argument("--seed", type=int, default=8)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    shutil.rmtree(args.work, ignore_errors=True)
    store = os.path.join(args.work, "store")
    texts = write_store(store, rng)
    command = [args.opera2mbox, "-q", "--line-ends=lf"]

    # How long one whole run takes, so the kills spread over all of it.
    out = os.path.join(args.work, "full")
    started = time.monotonic()
    subprocess.run(command + ["-o", out, store], check=True, stdout=subprocess.DEVNULL)
    span = max(time.monotonic() - started, 0.01)
    assert check(out, texts) == set(texts), "a whole run lost messages"

    completed = 0
    for round_ in range(args.rounds):
        out = os.path.join(args.work, f"round{round_}")
        process = subprocess.Popen(command + ["-o", out, store], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, span))
        process.send_signal(signal.SIGKILL)
        process.wait()
        if round_ % 2 == 1:
            # Cut one mailbox at a random byte, as a kill inside its write would.
            boxes = [os.path.join(b, f) for b, _d, fs in os.walk(out) for f in fs if f.endswith(".mbox")]
            if boxes:
                box = rng.choice(sorted(boxes))
                size = os.path.getsize(box)
                if size > 1:
                    os.truncate(box, rng.randrange(1, size))
        result = subprocess.run(command + ["-o", out, store], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        assert result.returncode == 0, f"round {round_}: rerun failed: {result.stderr}"
        if "ended inside a record" in result.stderr:
            completed += 1
        assert check(out, texts) == set(texts), f"round {round_}: the rerun did not put every message in whole"
        shutil.rmtree(out)
    print(f"{args.rounds} killed runs, {completed} torn mailboxes completed on the rerun")
    return 0


if __name__ == "__main__":
    sys.exit(main())
