#!/usr/bin/env python3
"""Converts the same stores with the Linux build (--line-ends=crlf) and with
opera2mbox.exe under Wine (its default line ends) and compares every mailbox
byte for byte. The stores: the bundled samples, a generated store, and
names beyond any one code page ("Grüße von Zoë.mbs", a "日本語" folder),
given to the Windows program as arguments too.

Wine shows the root folder as drive Z:. The mirror drops the drive, so
the Windows program writes "Z:\\home\\ann\\store\\..." to "OUT\\home\\ann\\store\\...", where
the Linux one writes "/home/ann/store/...": the two output trees must be equal.

Usage: compare_windows_output.py --linux BIN --windows EXE --repo DIR --work DIR
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

UNICODE_MESSAGE = (
    "From: Zoë Jürgens <zoe@example.org>\r\n"
    "To: ann@example.org\r\n"
    "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
    "Date: Tue, 05 Mar 2024 09:07:03 +0100\r\n"
    "\r\n"
    "Grüße von Zoë\r\n"
    "From here on, 日本語.\r\n"
)


def windows_path(path):
    """The path as Wine's programs see it: drive Z: is the root folder."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def mailboxes(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            full = os.path.join(folder, name)
            found[os.path.relpath(full, root)] = full
    return found


def run(command, env=None, cwd=None, allowed=(0,)):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
    if result.returncode not in allowed:
        sys.exit(f"{command[0]} exited {result.returncode}:\n{result.stdout.decode(errors='replace')}"
                 f"{result.stderr.decode(errors='replace')}")
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux", required=True)
    ap.add_argument("--windows", required=True)
    ap.add_argument("--repo", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    args.linux = os.path.abspath(args.linux)
    args.windows = os.path.abspath(args.windows)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    stores = os.path.join(work, "stores")
    os.makedirs(stores)
    shutil.copytree(os.path.join(args.repo, "samples", "store"), os.path.join(stores, "samples"))
    run([sys.executable, os.path.join(HERE, "make_test_store.py"), "--out", os.path.join(stores, "generated"),
         "--messages", "300", "--seed", "11"])
    unicode_store = os.path.join(stores, "unicode")
    os.makedirs(os.path.join(unicode_store, "日本語"))
    for name in ("Grüße von Zoë.mbs", os.path.join("日本語", "受信箱.mbs")):
        with open(os.path.join(unicode_store, name), "wb") as f:
            f.write(UNICODE_MESSAGE.encode("utf-8"))
    # The file time is a date source of last resort: give every file one.
    for folder, _, files in os.walk(stores):
        for name in files:
            os.utime(os.path.join(folder, name), (1709629623, 1709629623))

    # Message files named one by one, in one order for both programs (a
    # folder is listed in whatever order its file system keeps), given
    # relative to the stores so the command line stays short; the Unicode
    # store as a folder for the walk, and one of its files by name.
    files = []
    for top in ("samples", "generated"):
        for folder, _, names in os.walk(os.path.join(stores, top)):
            files += [os.path.relpath(os.path.join(folder, n), stores) for n in names if n.lower().endswith(".mbs")]
    sources = sorted(files) + ["unicode", os.path.join("unicode", "Grüße von Zoë.mbs")]
    linux_out = os.path.join(work, "linux")
    windows_out = os.path.join(work, "windows")
    # The generated store holds empty files, which neither converts (exit 1):
    # both must say so alike.
    on_linux = run([args.linux, "-q", "--line-ends=crlf", "-o", linux_out] + sources, cwd=stores, allowed=(0, 1))
    env = dict(os.environ, WINEDEBUG="-all")
    wine = os.path.join(args.repo, "windows", "wine-run.sh")  # Wine off our pipes
    on_windows = run([wine, args.windows, "-q", "-o", windows_path(windows_out)] +
                     [s.replace("/", "\\") for s in sources], env=env, cwd=stores, allowed=(0, 1))
    if on_linux.returncode != on_windows.returncode:
        sys.exit(f"exit status {on_linux.returncode} on Linux, {on_windows.returncode} on Windows")
    failed = [sum(line.startswith("opera2mbox: ") for line in r.stderr.decode(errors="replace").splitlines())
              for r in (on_linux, on_windows)]
    if failed[0] != failed[1]:
        sys.exit(f"{failed[0]} failures reported on Linux, {failed[1]} on Windows")

    linux = mailboxes(linux_out)
    windows = mailboxes(windows_out)
    problems = []
    if sorted(linux) != sorted(windows):
        problems.append(f"different mailboxes:\n  Linux only: {sorted(set(linux) - set(windows))}\n"
                        f"  Windows only: {sorted(set(windows) - set(linux))}")
    for name in sorted(set(linux) & set(windows)):
        with open(linux[name], "rb") as a, open(windows[name], "rb") as b:
            left, right = a.read(), b.read()
        if left != right:
            at = next((i for i, (x, y) in enumerate(zip(left, right)) if x != y), min(len(left), len(right)))
            problems.append(f"{name}: differ at byte {at} ({len(left)} and {len(right)} bytes):\n"
                            f"  Linux:   {left[max(0, at - 40):at + 40]!r}\n"
                            f"  Windows: {right[max(0, at - 40):at + 40]!r}")
    below = os.path.relpath(unicode_store, "/")
    expected = {os.path.join(below, "unicode.mbox"), os.path.join(below, "日本語", "日本語.mbox")}
    missing = expected - set(windows)
    if missing:
        problems.append(f"no mailbox for the Unicode names: {sorted(missing)}")
    records = 0
    for path in windows.values():
        with open(path, "rb") as f:
            data = f.read()
        records += data.startswith(b"From ") + data.count(b"\r\n\r\nFrom ")
    if records < 100:
        problems.append(f"only {records} records written")
    if problems:
        sys.exit("\n".join(problems))
    print(f"{len(windows)} mailboxes, {records} records: byte for byte the same")


if __name__ == "__main__":
    main()
