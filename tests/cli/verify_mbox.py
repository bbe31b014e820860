#!/usr/bin/env python3
"""Reads back what opera2mbox writes, with Python's own mailbox module.

Converts (a) the bundled sample store and (b) a store made by the benchmark
generator (when it is at hand) and checks every mailbox:

- it holds exactly one message per source message (a source with several
  Opera envelope lines counts each of its messages);
- each message's text equals its source's text: the source without its
  envelope line, compared after turning CR LF and lone CR into LF, undoing one
  level of ">From " quoting on the mailbox side and ignoring trailing line ends;
- every From line reads "From <address without spaces> <Www Mmm dd hh:mm:ss yyyy>".

With --mailbox-per account or store the same checks run on that layout:
a mailbox per account folder (account1.mbox beside the account folder's
mirror; messages in no account go to one named after the store folder), or
one OUT/opera.mbox.

Usage: verify_mbox.py --opera2mbox EXE --repo REPO_ROOT --work SCRATCH_DIR [--mailbox-per LAYOUT]
"""
import argparse
import collections
import mailbox
import os
import re
import shutil
import subprocess
import sys

DAYS = "Mon|Tue|Wed|Thu|Fri|Sat|Sun"
MONTHS = "Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec"
FROM_LINE = re.compile(rf"^From \S+ (?:{DAYS}) (?:{MONTHS}) \d\d \d\d:\d\d:\d\d \d{{4}}$")
# An envelope line as the converter recognises one inside a source:
# "From <sender> Www Mmm d hh:mm[:ss] [zone] yyyy".
ENVELOPE = re.compile(
    rb"^From [^ \t]\S*[ \t]+(?:" + DAYS.encode() + rb")[ \t]+(?:" + MONTHS.encode() +
    rb")[ \t]+\d{1,2}[ \t]+\d{1,2}:\d\d(?::\d\d)?[ \t]+(?:[A-Za-z+-]\S*[ \t]+)?(?:\d{4}|\d\d)(?:[ \t].*)?$")
OLD_HEADER = re.compile(rb"^From[ \t]*:")
QUOTED_FROM = re.compile(rb"^>+From ", re.M)
LINE = re.compile(rb"([^\r\n]*)(\r\n|\r|\n|$)")


def is_mbs(name):
    return name.lower().strip(" ").endswith(".mbs")


def lines_of(data):
    """(content, ending) pairs; a last line without an ending has ending b""."""
    out = []
    pos = 0
    while pos < len(data):
        m = LINE.match(data, pos)
        out.append((m.group(1), m.group(2)))
        pos = m.end()
    return out


def split_source(data):
    """The messages of one source file, each as bytes without its envelope."""
    lines = lines_of(data)
    messages, current = [], []
    had_envelope = False
    start = 0
    if lines and lines[0][0].startswith(b"From ") and not OLD_HEADER.match(lines[0][0]):
        had_envelope = True
        start = 1
    previous_empty = False
    for i in range(start, len(lines)):
        content, ending = lines[i]
        if previous_empty and content.startswith(b"From ") and i > 0:
            following = lines[i + 1][0] if i + 1 < len(lines) else b""
            if ENVELOPE.match(content) or following.startswith(b"X-Opera-Status:"):
                leading = current[:-1]  # the empty line before the envelope goes
                if leading or had_envelope or messages:
                    messages.append(leading)
                current = []
                had_envelope = True
                previous_empty = False
                continue
        current.append(content + ending)
        previous_empty = content == b""
    messages.append(current)
    return [b"".join(m) for m in messages]


def normalise(text, unquote):
    text = text.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    if unquote:
        text = QUOTED_FROM.sub(lambda m: m.group(0)[1:], text)
    return text.rstrip(b"\n")


ACCOUNT = re.compile(r"^account[0-9]+$", re.I)


def mailbox_for(out_root, folder, layout="folder", store=None):
    """The mailbox the messages of a source folder go to under a layout."""
    if layout == "store":
        return os.path.join(out_root, "opera.mbox")
    if layout == "account":
        parts = folder.split(os.sep)
        for i in range(len(parts) - 1, -1, -1):
            if ACCOUNT.match(parts[i]):
                parent = os.sep.join(parts[:i])
                return os.path.join(out_root, parent.lstrip(os.sep), parts[i] + ".mbox")
        top = os.path.abspath(store)
        return os.path.join(out_root, os.path.dirname(top).lstrip(os.sep), os.path.basename(top) + ".mbox")
    mirror = os.path.join(out_root, folder.lstrip(os.sep))
    return os.path.join(mirror, os.path.basename(folder) + ".mbox")


def expected_messages(store, out_root, layout):
    """{mailbox path: [normalised message text, ...]}"""
    expected = collections.defaultdict(list)
    for folder, _dirs, files in os.walk(store):
        for name in files:
            if not is_mbs(name):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            path = mailbox_for(out_root, os.path.abspath(folder), layout, store)
            for message in split_source(data):
                expected[path].append(normalise(message, False))
    return expected


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def verify(label, store, out_root, layout):
    problems = []
    expected = expected_messages(store, out_root, layout)
    total = 0
    wanted_boxes = set()
    for path, texts in sorted(expected.items()):
        wanted_boxes.add(os.path.abspath(path))
        if not os.path.isfile(path):
            problems.append(f"{path}: missing")
            continue
        box = mailbox.mbox(path, create=False)
        try:
            got = []
            for key in box.keys():
                first, _, text = box.get_bytes(key, from_=True).partition(b"\n")
                from_line = first.rstrip(b"\r").decode("utf-8", "replace")
                if not FROM_LINE.match(from_line):
                    problems.append(f"{path}: bad From line {from_line!r}")
                got.append(normalise(text, True))
        finally:
            box.close()
        if len(got) != len(texts):
            problems.append(f"{path}: {len(got)} messages, expected {len(texts)}")
        missing = collections.Counter(texts) - collections.Counter(got)
        extra = collections.Counter(got) - collections.Counter(texts)
        for text in list(missing)[:3]:
            near = min(extra, key=lambda t: -first_difference(t, text), default=b"")
            at = first_difference(near, text)
            problems.append(f"{path}: a source message is not there as it was; first difference "
                            f"at byte {at}: source {text[max(0, at - 40):at + 40]!r} "
                            f"mailbox {near[max(0, at - 40):at + 40]!r}")
        total += len(got)
    for folder, _dirs, files in os.walk(out_root):
        for name in files:
            path = os.path.abspath(os.path.join(folder, name))
            if path not in wanted_boxes:
                problems.append(f"{path}: not expected")
    for p in problems:
        print(f"{label}: {p}", file=sys.stderr)
    print(f"{label}: {len(wanted_boxes)} mailboxes, {total} messages checked, "
          f"{len(problems)} problems")
    return not problems


def convert(exe, store, out_root, layout):
    shutil.rmtree(out_root, ignore_errors=True)
    run = subprocess.run([exe, "-q", f"--mailbox-per={layout}", "-o", out_root, store],
                         capture_output=True, text=True)
    if run.returncode != 0:
        print(f"opera2mbox exited with {run.returncode}:\n{run.stdout}{run.stderr}", file=sys.stderr)
        return False
    if not run.stdout.startswith("Converted "):
        print(f"unexpected summary: {run.stdout!r}", file=sys.stderr)
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--opera2mbox", required=True)
    ap.add_argument("--repo", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--messages", type=int, default=300,
                    help="size of the generated store to check (default 300)")
    ap.add_argument("--mailbox-per", choices=["folder", "account", "store"], default="folder")
    a = ap.parse_args()
    work = os.path.abspath(a.work)
    ok = True

    samples = os.path.join(os.path.abspath(a.repo), "samples", "store")
    out = os.path.join(work, "samples-out")
    layout = a.mailbox_per
    ok = convert(a.opera2mbox, samples, out, layout) and verify("samples", samples, out, layout) and ok

    generator = os.path.join(os.path.abspath(a.repo), os.pardir, "shared", "bench", "gen_store.py")
    if os.path.isfile(generator):
        generated = os.path.join(work, "generated")
        shutil.rmtree(generated, ignore_errors=True)
        subprocess.run([sys.executable, generator, "--out", generated, "--messages", str(a.messages)],
                       check=True, capture_output=True)
        store = os.path.join(generated, "store")
        out = os.path.join(work, "generated-out")
        ok = convert(a.opera2mbox, store, out, layout) and verify("generated", store, out, layout) and ok
    else:
        print(f"note: {os.path.normpath(generator)} not found; the generated store is not checked")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
