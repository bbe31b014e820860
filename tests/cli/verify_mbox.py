#!/usr/bin/env python3
"""Reads back what opera2mbox writes with real mbox readers.

Converts the bundled sample store, a store made by make_test_store.py and,
when it is at hand, one made by the benchmark generator, with
--line-ends=MODE, and reads every mailbox back with one READER:

  python      Python's mailbox module
  git         git mailsplit --mboxrd
  dovecot     Dovecot's doveadm fetch, on a private configuration
and, for checks by hand (they read LF mailboxes only):

  mailutils   GNU mailutils' movemail into a Maildir (it opens no mailbox
              whose From lines end in CR LF)
  formail     procmail's formail -s
  mutt        mutt -R, piping every message out (needs the "script" tool)

Each mailbox must hold exactly the messages of the sources of its folder
(a source with several envelope lines counts each of its messages) and each
message's text must equal its source's: the source without its envelope
line, without the empty line that separates it from the next message (or
that ends a source that is a mailbox), compared line by line after one
level of ">From " quoting is undone and every line end is read as one:
no line may be added or missing, at the end either. Every From line must
read "From <address without spaces> <Www Mmm dd hh:mm:ss yyyy>".

With --mailbox-per account or store the same checks run on that layout:
a mailbox per account folder (account1.mbox beside the account folder's
mirror; messages in no account go to one named after the store folder), or
one OUT/opera.mbox.

Usage: verify_mbox.py --opera2mbox EXE --repo REPO_ROOT --work SCRATCH_DIR
                      --reader READER --line-ends lf|crlf [--store STORE]
                      [--mailbox-per folder|account|store]

With --store, only that store is converted and checked.
"""
import argparse
import collections
import json
import mailbox
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

DAYS = "Mon|Tue|Wed|Thu|Fri|Sat|Sun"
MONTHS = "Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec"
FROM_LINE = re.compile(rf"^From \S+ (?:{DAYS}) (?:{MONTHS}) \d\d \d\d:\d\d:\d\d \d{{4}}$".encode())
OLD_HEADER = re.compile(rb"^From[ \t]*:")
QUOTED_FROM = re.compile(rb"^>(>*From )", re.M)
LINE = re.compile(rb"([^\r\n]*)(\r\n|\r|\n|$)")
BLANKS = b" \t"
DAY_NAMES = {d.lower().encode() for d in DAYS.split("|")}
MONTH_NAMES = {m.lower().encode() for m in MONTHS.split("|")}


# ---- what the sources hold ----------------------------------------------------

def lines_of(data):
    """The lines of `data` without their line ends (CR LF, CR or LF)."""
    out = []
    pos = 0
    while pos < len(data):
        m = LINE.match(data, pos)
        out.append(m.group(1))
        pos = m.end()
    return out


def is_envelope(line):
    """An envelope line as mutt reads one: "From ", an optional sender (maybe
    quoted, maybe "name at domain"), then "Www Mmm d hh:mm[:ss] [zone [zone]] yyyy"."""
    if not line.startswith(b"From "):
        return False

    def next_word(s):
        n = 0
        while n < len(s) and s[n] not in BLANKS:
            n += 1
        return s[:n], s[n:].lstrip(BLANKS)

    def at_day(s):
        return len(s) >= 4 and s[3] in BLANKS and s[:3].lower() in DAY_NAMES

    rest = line[5:].lstrip(BLANKS)
    if not rest:
        return False
    if not at_day(rest):
        # A sender: up to a blank outside double quotes, with backslash escapes.
        quoted, k = False, 0
        while k < len(rest) and (quoted or rest[k] not in BLANKS):
            if rest[k:k + 1] == b"\\":
                k += 1
            elif rest[k:k + 1] == b'"':
                quoted = not quoted
            k += 1
        if k >= len(rest):
            return False
        spelled_out = rest[k:k + 4] == b" at "
        rest = rest[k:].lstrip(BLANKS)
        if spelled_out:
            _, rest = next_word(rest)
            _, rest = next_word(rest)
        if not at_day(rest):
            return False
    _, rest = next_word(rest)
    if at_day(rest):
        _, rest = next_word(rest)
    month, rest = next_word(rest)
    mday, rest = next_word(rest)
    time, rest = next_word(rest)
    if month[:3].lower() not in MONTH_NAMES or len(month) < 3:
        return False
    if not re.fullmatch(rb"\d{1,2}", mday) or not 1 <= int(mday) <= 31:
        return False
    t = re.fullmatch(rb"(\d{1,2}):(\d{1,2})(?::(\d{1,2}))?", time)
    if not t or int(t.group(1)) > 23 or int(t.group(2)) > 59 or int(t.group(3) or 0) > 60:
        return False
    word, rest = next_word(rest)
    for zones in range(2):
        if not word or word[:1].isdigit():
            break
        if not word[:1].isalpha() and (zones > 0 or word[:1] not in (b"+", b"-")):
            return False
        word, rest = next_word(rest)
    return 1 <= len(re.match(rb"\d*", word).group()) <= 4


def split_source(data):
    """The messages of one source, each as its list of lines."""
    lines = lines_of(data)
    form, start = "message", 0
    if lines and lines[0].startswith(b"From ") and not OLD_HEADER.match(lines[0]):
        start = 1
        form = "opera" if len(lines) > 1 and lines[1].startswith(b"X-Opera-Status:") else "mbox"
    messages = [[]]
    for i in range(start, len(lines)):
        line = lines[i]
        if form != "message" and messages[-1] and messages[-1][-1] == b"" and line.startswith(b"From "):
            if form == "opera":
                split = i + 1 < len(lines) and lines[i + 1].startswith(b"X-Opera-Status:")
            else:
                split = is_envelope(line)
            if split:
                messages[-1].pop()  # the separating empty line
                messages.append([])
                continue
        messages[-1].append(line)
    if form != "message" and messages[-1] and messages[-1][-1] == b"":
        messages[-1].pop()  # the empty line that ends a mailbox
    return messages


def text_of(lines):
    return b"".join(line + b"\n" for line in lines)


def is_mbs(name):
    return name.lower().endswith(".mbs")


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
    """{mailbox path: [message text, ...]}, in the order the walk finds them
    within each folder."""
    expected = collections.defaultdict(list)
    for folder, _dirs, files in os.walk(store):
        for name in files:
            if is_mbs(name):
                path = mailbox_for(out_root, os.path.abspath(folder), layout, store)
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                    # An empty file holds no message: it fails and writes nothing.
                    for message in split_source(data) if data else []:
                        expected[path].append(text_of(message))
    return expected


# ---- what the readers read -------------------------------------------------------
#
# Each reader gives, for one mailbox, a list of (From line or None, raw text).
# How it treats the From line, ">From " quoting and the empty line that ends
# a record is its own; `Reader` says which.

class Reader:
    name = ""
    unquotes = False        # undoes one level of >From quoting itself
    keeps_separator = False  # the record's closing empty line stays in the text
    gives_from_line = True

    def __init__(self, line_ends, scratch):
        self.line_ends = line_ends
        self.scratch = scratch

    def prepare(self, out_root, boxes):
        pass

    def read(self, path):
        raise NotImplementedError

    def finish(self):
        pass


class PythonReader(Reader):
    name = "python"

    def __init__(self, line_ends, scratch):
        super().__init__(line_ends, scratch)
        # It drops the closing empty line only when it ends in the
        # platform's own line end.
        self.keeps_separator = (b"\r\n" if line_ends == "crlf" else b"\n") != os.linesep.encode()

    def read(self, path):
        box = mailbox.mbox(path, create=False)
        try:
            messages = []
            for key in box.keys():
                first, _, text = box.get_bytes(key, from_=True).partition(b"\n")
                messages.append((first.rstrip(b"\r"), text))
            return messages
        finally:
            box.close()


class SplittingReader(Reader):
    """A tool that splits a mailbox into one file per message, each starting
    with its From line, in a folder; the files' names give their order."""

    def split(self, path, folder):
        """Runs the tool on `path`, writing into the empty `folder` (its parent
        is the tool's own scratch space); returns the finished process."""
        raise NotImplementedError

    def order(self, name):
        return name

    def read(self, path):
        work = tempfile.mkdtemp(dir=self.scratch)
        folder = os.path.join(work, "messages")
        os.mkdir(folder)
        run = self.split(path, folder)
        if run.returncode != 0:
            detail = run.stderr.decode(errors="replace") or repr(run.stdout[-300:])
            raise RuntimeError(f"{self.name} failed: {detail}")
        messages = []
        for name in sorted(os.listdir(folder), key=self.order):
            with open(os.path.join(folder, name), "rb") as f:
                first, _, text = f.read().partition(b"\n")
            messages.append((first.rstrip(b"\r"), text))
        shutil.rmtree(work)
        return messages


class GitReader(SplittingReader):
    name = "git"
    unquotes = True
    keeps_separator = True

    def split(self, path, folder):
        return subprocess.run(["git", "mailsplit", "--mboxrd", "-o" + folder, path], capture_output=True)


class DovecotReader(Reader):
    """doveadm fetch on a copy of the whole output tree as mbox folders, with a
    configuration of its own (no service, no authentication: the user comes
    from the environment)."""
    name = "dovecot"
    gives_from_line = False

    def prepare(self, out_root, boxes):
        # Under the system's temporary folder, so that "nobody" can reach it
        # whatever the permissions of the build tree.
        home = tempfile.mkdtemp(prefix="readback-dovecot-")
        self.home = home
        os.chmod(home, 0o755)
        self.mail = os.path.join(home, "mail")
        shutil.copytree(out_root, self.mail)
        inbox = os.path.join(home, "inbox")
        open(inbox, "wb").close()
        # Dovecot never reads mail as root: run it as nobody then.
        if os.geteuid() == 0:
            user = pwd.getpwnam("nobody")
            uid, gid = user.pw_uid, user.pw_gid
            for root, dirs, files in os.walk(home):
                for name in dirs + files:
                    os.chown(os.path.join(root, name), uid, gid)
            os.chown(home, uid, gid)
        else:
            uid, gid = os.getuid(), os.getgid()
        self.config = os.path.join(home, "dovecot.conf")
        with open(self.config, "w") as f:
            f.write(f"""base_dir = {home}/run
state_dir = {home}/state
log_path = /dev/stderr
ssl = no
first_valid_uid = 0
first_valid_gid = 0
mail_uid = {uid}
mail_gid = {gid}
mail_home = {home}
mail_location = mbox:{self.mail}:INBOX={inbox}:INDEX=MEMORY
mbox_read_locks = fcntl
mbox_write_locks = fcntl
""")
        self.env = dict(os.environ, USER="readback", HOME=home)
        listing = self.doveadm("json", "mailbox uid")
        keys = [(m["mailbox"], m["uid"]) for m in json.loads(listing.decode())]
        # The raw texts, in the same order; "pager" keeps every byte and,
        # given more than one field, ends each message with a form feed.
        texts = self.doveadm("pager", "mailbox uid text").split(b"\f\n")
        if listing.strip() == b"[]":
            texts = []
        if len(texts) != len(keys):
            raise RuntimeError(f"doveadm gave {len(keys)} messages but {len(texts)} texts")
        self.messages = collections.defaultdict(list)
        for (box, uid), part in zip(keys, texts):
            head, sep, text = part.partition(b"text:\n")
            if not sep or head != f"mailbox: {box}\nuid: {uid}\n".encode():
                raise RuntimeError(f"unexpected doveadm output: {part[:80]!r}")
            self.messages[box].append((None, text))

    def doveadm(self, formatter, fields):
        run = subprocess.run(["doveadm", "-c", self.config, "-f", formatter, "fetch", fields, "ALL"],
                             capture_output=True, env=self.env)
        if run.returncode != 0:
            raise RuntimeError(f"doveadm failed: {run.stderr.decode(errors='replace')}")
        return run.stdout

    def read(self, path):
        return self.messages.get(os.path.relpath(path, self.out_root), [])

    def finish(self):
        shutil.rmtree(self.home, ignore_errors=True)


class MailutilsReader(Reader):
    name = "mailutils"
    unquotes = True
    gives_from_line = False

    def read(self, path):
        out = os.path.join(tempfile.mkdtemp(dir=self.scratch), "maildir")
        run = subprocess.run(["movemail", "--no-config", "-p", "mbox://" + os.path.abspath(path),
                              "maildir://" + out], capture_output=True)
        if run.returncode != 0:
            raise RuntimeError(f"movemail failed: {run.stderr.decode(errors='replace')}")
        new = os.path.join(out, "new")
        # Maildir names carry the order delivered as "Q<n>".
        names = sorted(os.listdir(new), key=lambda n: int(re.search(r"Q(\d+)", n).group(1)))
        messages = []
        for name in names:
            with open(os.path.join(new, name), "rb") as f:
                messages.append((None, f.read()))
        shutil.rmtree(os.path.dirname(out))
        return messages


class FormailReader(SplittingReader):
    name = "formail"
    keeps_separator = True

    def split(self, path, folder):
        with open(path, "rb") as box:
            return subprocess.run(["formail", "-s", "sh", "-c", 'cat > "$0/$FILENO"', folder], stdin=box,
                                  capture_output=True)

    def order(self, name):
        return int(name)


class MuttReader(SplittingReader):
    """mutt, read-only, tags every message and pipes each one to a script
    that stores it; mutt wants a terminal, which "script" gives it."""
    name = "mutt"

    def split(self, path, folder):
        save = os.path.join(os.path.dirname(folder), "save.sh")
        with open(save, "w") as f:
            f.write('#!/bin/sh\nn=$(ls "$1" | wc -l)\ncat > "$1/$(printf %07d "$n")"\n')
        os.chmod(save, 0o755)
        command = (f"mutt -n -F /dev/null -R -f '{os.path.abspath(path)}' "
                   "-e 'set pipe_split=yes pipe_decode=no wait_key=no sort=mailbox-order pipe_sep=\"\"' "
                   f"-e 'push \"T~A<enter>;|{save} {folder}<enter>q\"'")
        return subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True,
                              env=dict(os.environ, TERM="vt100"), timeout=600)


READERS = {r.name: r for r in (PythonReader, GitReader, DovecotReader, MailutilsReader, FormailReader, MuttReader)}


def as_read(reader, raw):
    """The text a reader gave, in the form of expected_messages, or why not."""
    text = raw.replace(b"\r\n", b"\n")
    if reader.keeps_separator:
        if not text.endswith(b"\n"):
            return None, "the closing empty line is missing"
        text = text[:-1]
    if not reader.unquotes:
        text = QUOTED_FROM.sub(rb"\1", text)
    return text, None


# ---- the check ---------------------------------------------------------------------

def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check_line_ends(path, line_ends, problems):
    with open(path, "rb") as f:
        data = f.read()
    if line_ends == "lf" and b"\r" in data:
        problems.append(f"{path}: a CR in an LF mailbox at byte {data.index(13)}")
    if line_ends == "crlf":
        bad = re.search(rb"\r(?!\n)|(?<!\r)\n", data)
        if bad:
            problems.append(f"{path}: a lone line-end byte in a CR LF mailbox at byte {bad.start()}")
    if data and not data.endswith(b"\n\n" if line_ends == "lf" else b"\r\n\r\n"):
        problems.append(f"{path}: does not end with a record's closing empty line")


def verify(label, store, out_root, reader, layout):
    problems = []
    expected = expected_messages(store, out_root, layout)
    boxes = {path: path for path in expected}
    reader.out_root = out_root
    reader.prepare(out_root, boxes)
    total = 0
    for path in sorted(boxes):
        texts = expected[path]
        if not os.path.isfile(path):
            problems.append(f"{path}: missing")
            continue
        check_line_ends(path, reader.line_ends, problems)
        got = []
        for from_line, raw in reader.read(path):
            if reader.gives_from_line and not FROM_LINE.match(from_line):
                problems.append(f"{path}: bad From line {from_line!r}")
            text, why = as_read(reader, raw)
            if why:
                problems.append(f"{path}: {why}: {raw[-60:]!r}")
            else:
                got.append(text)
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
            path = os.path.join(folder, name)
            if path not in boxes:
                problems.append(f"{path}: not expected")
    for p in problems[:40]:
        print(f"{label}: {p}", file=sys.stderr)
    print(f"{label}: {reader.name}, {reader.line_ends}: {len(boxes)} mailboxes, {total} messages read, "
          f"{len(problems)} problems")
    return not problems


def convert(exe, store, out_root, line_ends, layout):
    shutil.rmtree(out_root, ignore_errors=True)
    run = subprocess.run([exe, "-q", "--line-ends=" + line_ends, "--mailbox-per=" + layout,
                          "-o", out_root, store],
                         capture_output=True, text=True)
    failures = run.stderr.splitlines()
    only_empty = run.returncode == 1 and all(f.endswith(": the file is empty") for f in failures)
    if run.returncode != 0 and not only_empty:
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
    ap.add_argument("--reader", required=True, choices=sorted(READERS))
    ap.add_argument("--line-ends", required=True, choices=["lf", "crlf"])
    ap.add_argument("--messages", type=int, default=300,
                    help="size of the generated stores to check (default 300)")
    ap.add_argument("--store", help="check only this store")
    ap.add_argument("--mailbox-per", choices=["folder", "account", "store"], default="folder")
    a = ap.parse_args()
    work = os.path.abspath(a.work)
    repo = os.path.abspath(a.repo)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    here = os.path.dirname(os.path.abspath(__file__))

    if a.store:
        stores = [("store", os.path.abspath(a.store))]
    else:
        stores = [("samples", os.path.join(repo, "samples", "store"))]
        made = os.path.join(work, "test-store")
        subprocess.run([sys.executable, os.path.join(here, "make_test_store.py"), "--out", made,
                        "--messages", str(a.messages)], check=True)
        stores.append(("test store", made))
        generator = os.path.join(repo, os.pardir, "shared", "bench", "gen_store.py")
        if os.path.isfile(generator):
            generated = os.path.join(work, "generated")
            subprocess.run([sys.executable, generator, "--out", generated, "--messages", str(a.messages)],
                           check=True, capture_output=True)
            stores.append(("bench store", os.path.join(generated, "store")))
        else:
            print(f"note: {os.path.normpath(generator)} not found; the bench store is not checked")

    ok = True
    for label, store in stores:
        out = os.path.join(work, label.replace(" ", "-") + "-out")
        scratch = tempfile.mkdtemp(dir=work)
        reader = READERS[a.reader](a.line_ends, scratch)
        try:
            ok = (convert(a.opera2mbox, store, out, a.line_ends, a.mailbox_per)
                  and verify(label, store, out, reader, a.mailbox_per) and ok)
        except (OSError, RuntimeError, subprocess.SubprocessError) as e:
            print(f"{label}: {a.reader} could not read the mailboxes: {e}", file=sys.stderr)
            ok = False
        finally:
            reader.finish()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
