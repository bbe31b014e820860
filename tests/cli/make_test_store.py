#!/usr/bin/env python3
"""Writes a small store of message files with every shape the converter
must read back exactly: LF, CR LF, CR-only and mixed line ends; last lines
with and without a line end; trailing empty lines; body lines that start
with "From " or ">From " (some looking like whole envelope lines, after an
empty line); Opera store files and mbox files holding several messages, with
mutt's envelope forms; a forwarded message/rfc822 part; 8-bit bytes; empty
files. Deterministic for a given seed.

Usage: make_test_store.py --out DIR [--messages N] [--seed S]
"""
import argparse
import os
import random

DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
WORDS = "mail store line date sender subject hello report invoice meeting from regards".split()
STATUS = "X-Opera-Status: 00" + "0" * 112


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def envelope_date(rng, form):
    d, h, m, s = rng.randrange(1, 29), rng.randrange(24), rng.randrange(60), rng.randrange(60)
    day, month, year = rng.choice(DAYS), rng.choice(MONTHS), rng.randrange(1995, 2025)
    if form == 0:
        return f"{day} {month} {d:2d} {h:02d}:{m:02d}:{s:02d} {year}"
    if form == 1:
        return f"{day} {month} {d:2d} {h:02d}:{m:02d} MET {year}"  # no seconds, a zone name
    if form == 2:
        return f"{day} {month} {d:2d} {h:02d}:{m:02d}:{s:02d} MET DST {year}"
    return f"{day} {month} {d:02d} {h:02d}:{m:02d}:{s:02d} +0100 {year}"


def headers(rng, i):
    out = []
    if rng.random() < 0.9:
        out.append(f"From: Person {i} <person{i}@example.org>")
    if rng.random() < 0.9:
        out.append(f"Date: {rng.choice(DAYS)}, {rng.randrange(1, 29)} {rng.choice(MONTHS)} "
                   f"{rng.randrange(1995, 2025)} {rng.randrange(24):02d}:{rng.randrange(60):02d}:00 +0000")
    out.append(f"Subject: message {i} {words(rng, 3)}")
    return out


def body(rng, i):
    lines = []
    for k in range(rng.randrange(1, 12)):
        r = rng.random()
        if r < 0.08:
            lines.append("")
            lines.append(f"From someone{k}@example.org {envelope_date(rng, rng.randrange(4))}")
        elif r < 0.16:
            lines.append("From " + words(rng, 4))
        elif r < 0.22:
            lines.append(">" * rng.randrange(1, 4) + "From " + words(rng, 3))
        elif r < 0.30:
            lines.append("")
        elif r < 0.33:
            lines.append(f"caf\xe9 {i}")  # 8-bit, not UTF-8
        else:
            lines.append(words(rng, rng.randrange(1, 10)))
    return lines


def forwarded(rng, i):
    return headers(rng, i) + [
        'Content-Type: multipart/mixed; boundary="b"', "", "--b", "Content-Type: text/plain", "",
        "Forwarded below.", "", "--b", "Content-Type: message/rfc822", "",
        f"From inner{i}@example.com {envelope_date(rng, 0)}", f"From: inner{i}@example.com",
        "Subject: inner", "", "inner text", "", "--b--"]


def opera_store(rng, i):
    lines = []
    for k in range(rng.randrange(1, 4)):
        if k:
            lines.append("")
        lines += [f"From - {envelope_date(rng, 0)}", STATUS] + headers(rng, i * 10 + k) + [""] + body(rng, i)
        if rng.random() < 0.3:  # a whole envelope line in the body: not an Opera envelope
            lines += ["", f"From x{k}@example.org {envelope_date(rng, 0)}", "not a message of its own"]
    return lines


def mbox_file(rng, i):
    lines = []
    for k in range(rng.randrange(1, 4)):
        if k:
            lines.append("")
        lines += [f"From sender{k}@example.org {envelope_date(rng, rng.randrange(4))}"]
        lines += headers(rng, i * 10 + k) + [""] + body(rng, i)
        if rng.random() < 0.3:  # an Opera-looking line whose date is no date: not an envelope here
            lines += ["", "From - not a date", STATUS]
    return lines


def encode(rng, lines, trailing_empty, last_ended):
    style = rng.choice(["\n", "\r\n", "\r", "mixed"])
    if trailing_empty:
        lines = lines + [""]
    out = []
    for n, line in enumerate(lines):
        ending = rng.choice(["\n", "\r\n", "\r"]) if style == "mixed" else style
        if n == len(lines) - 1 and not last_ended:
            ending = ""
        out.append(line + ending)
    return "".join(out).encode("latin-1")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--messages", type=int, default=200)
    ap.add_argument("--seed", type=int, default=7)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    for i in range(a.messages):
        folder = os.path.join(a.out, f"account{i % 3}", f"folder{rng.randrange(6)}")
        os.makedirs(folder, exist_ok=True)
        kind = rng.random()
        if kind < 0.03:
            data = rng.choice([b"", b"\r\n", b"\n", b"\r"])
        else:
            if kind < 0.45:
                lines = headers(rng, i) + [""] + body(rng, i)
            elif kind < 0.55:
                lines = forwarded(rng, i)
            elif kind < 0.75:
                lines = opera_store(rng, i)
            elif kind < 0.9:
                lines = mbox_file(rng, i)
            else:  # an old-style "From :" header first, or a body that starts with "From "
                lines = [f"From : person{i}@example.org"] + headers(rng, i)[1:] + [""] + body(rng, i)
            data = encode(rng, lines, rng.random() < 0.3, rng.random() < 0.85)
        with open(os.path.join(folder, f"{i}.mbs"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
