#!/usr/bin/env python3
"""The same conversion done the straightforward way with Python's mailbox module.

Walks STORE, and for every folder holding .mbs files opens one
mailbox.mbox named after the folder under OUT (mirroring the folder's absolute
path, like opera2mbox), builds a mailbox.mboxMessage from each file's bytes and
add()s it, then flush()es and closes the mailbox. Used by bench/run.sh as the
"plain script" point of comparison.

Usage: python_mailbox_convert.py OUT STORE
"""
import mailbox
import os
import sys


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    out, store = (os.path.abspath(p) for p in sys.argv[1:])
    messages = 0
    for folder, _dirs, files in os.walk(store):
        names = [n for n in files if n.lower().strip(" ").endswith(".mbs")]
        if not names:
            continue
        mirror = os.path.join(out, folder.lstrip(os.sep))
        os.makedirs(mirror, exist_ok=True)
        box = mailbox.mbox(os.path.join(mirror, os.path.basename(folder) + ".mbox"))
        try:
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    box.add(mailbox.mboxMessage(f.read()))
                messages += 1
            box.flush()
        finally:
            box.close()
    print(f"Converted {messages} messages.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
