#!/usr/bin/env python3
"""Checks each outbox event against the access trail line of the same scan.

Usage: check_events.py TRAIL_FILE OUTBOX_FILE
Every event must parse with a strict JSON parser (UTF-8, no NaN or
Infinity, no repeated key) and say field by field what its trail line says.
Prints one line per mismatch, then "CHECKED N".
"""
import json
import re
import sys

ID = re.compile(r"^[0-9a-f]{16}-[1-9][0-9]*$")
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
KEYS = {"v", "type", "id", "time", "seq", "serial", "code", "reader", "result",
        "outputs", "omitted", "escaped", "cut"}


def no_constant(name):
    raise ValueError("not JSON: " + name)


def no_repeats(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("a key repeats")
    return dict(pairs)


def part(line, i):
    """One key or value of a trail line: (pieces, quoted, next index)."""
    if line[i] != '"':
        j = i
        while j < len(line) and line[j] not in " =":
            j += 1
        return [("c", ch) for ch in line[i:j]], False, j
    pieces, j = [], i + 1
    while line[j] != '"':
        if line[j] == "\\" and line[j + 1] in '"\\':
            pieces.append(("q" if line[j + 1] == '"' else "b", line[j + 1]))
            j += 2
        elif line[j] == "\\":
            assert line[j + 1] == "x", line
            pieces.append(("x", line[j:j + 4]))
            j += 4
        else:
            pieces.append(("c", line[j]))
            j += 1
    return pieces, True, j + 1


def fields(line):
    out, i = [], 0
    while i < len(line):
        key, kq, i = part(line, i)
        assert line[i] == "=", line
        value, vq, i = part(line, i + 1)
        out.append((key, kq, value, vq))
        if i < len(line):
            assert line[i] == " ", line
            i += 1
    return out


def plain(pieces):
    return "".join(text for _, text in pieces)


def event_text(pieces, quoted, escaped):
    text = "".join(("\\\\" if escaped else "\\") if kind == "b" else text
                   for kind, text in pieces)
    return text


def expected(line):
    items = fields(line)
    texts = [(k, kq) for k, kq, _, _ in items] + [(v, vq) for _, _, v, vq in items]
    escaped = any(kind == "x" for pieces, _ in texts for kind, _ in pieces)
    cut = any(q and plain(p).endswith("...") for p, q in texts)
    want = {"reader": None, "outputs": []}
    after_result = False
    for key, kq, value, vq in items:
        name = plain(key)
        if after_result:
            state = plain(value)
            confirmed = state in ("set", "clear")
            state = state.replace("(unconfirmed)", "")
            want["outputs"].append({"label": event_text(key, kq, escaped), "state": state,
                                    "confirmed": confirmed})
        elif name == "seq":
            want["seq"] = int(plain(value), 16)
        elif name == "serial":
            want["serial"] = int(plain(value))
        elif name in ("code", "reader"):
            want[name] = event_text(value, vq, escaped)
        elif name == "omitted":
            want["omitted"] = int(plain(value))
        elif name == "result":
            want["result"] = plain(value)
            after_result = True
    if escaped:
        want["escaped"] = True
    if cut:
        want["cut"] = True
    return want


def main():
    with open(sys.argv[1], "rb") as f:
        trail = [l.decode("utf-8") for l in f.read().split(b"\n") if l]
    with open(sys.argv[2], "rb") as f:
        raw = [l for l in f.read().split(b"\n") if l]
    problems = []
    if len(trail) != len(raw):
        problems.append("%d trail lines, %d events" % (len(trail), len(raw)))
    for n, (line, data) in enumerate(zip(trail, raw)):
        try:
            event = json.loads(data.decode("utf-8"), parse_constant=no_constant,
                               object_pairs_hook=no_repeats)
        except ValueError as e:
            problems.append("event %d does not parse: %s" % (n, e))
            continue
        if len(data) > 4096:
            problems.append("event %d has %d bytes" % (n, len(data)))
        if not set(event) <= KEYS:
            problems.append("event %d has keys %s" % (n, sorted(set(event) - KEYS)))
        if event.get("v") != 1 or event.get("type") != "access":
            problems.append("event %d: v or type" % n)
        if not ID.match(event.get("id", "")) or not TIME.match(event.get("time", "")):
            problems.append("event %d: id or time %r %r" % (n, event.get("id"), event.get("time")))
        want = expected(line)
        got = {k: v for k, v in event.items() if k not in ("v", "type", "id", "time")}
        if got != want:
            problems.append("event %d differs from %r:\n  event %r\n  trail %r" %
                            (n, line, got, want))
    for p in problems:
        print("MISMATCH " + p)
    print("CHECKED %d" % min(len(trail), len(raw)))


if __name__ == "__main__":
    main()
