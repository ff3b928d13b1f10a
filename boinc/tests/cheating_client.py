#!/usr/bin/env python3
"""A cheating client for the end-to-end test, run by the BOINC client as an app
version's main program: it has the real program (./quilbrex in the slot) search
only the lower 85 % of the workunit's k range, then makes its files say that
the whole range was searched, counting the skipped candidates as tested. Its
factors are real and its proof k have the property; only the proof count can
tell."""

import re
import subprocess
import sys

SEARCHED = 0.85


def forge(path, pattern, change):
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(re.sub(pattern, change, text, flags=re.M))


def main():
    with open("worktodo.txt") as f:
        n1, n2, k1, k2 = (int(v) for v in re.match(r"FermatFactor=(\d+),(\d+),(\d+),(\d+)", f.read()).groups())
    first = k1 | 1
    cut = (first + int((k2 - first) * SEARCHED)) | 1
    with open("worktodo.txt", "w") as f:
        f.write("FermatFactor=%d,%d,%d,%d\n" % (n1, n2, k1, cut))
    status = subprocess.call(["./quilbrex"] + sys.argv[1:])
    scale = (k2 - first) / (cut - first)
    span = k2 + 1 - first

    def summary(m):
        tested = round(int(m.group(2)) * scale)
        return "n=%s: tested %d of %d numbers (%5.2f%%)" % (m.group(1), tested, span, tested * 100.0 / span)
    forge("results.txt", r"^Starting range: n=(\d+)-(\d+) and k=(\d+)-%d$" % cut,
          lambda m: "Starting range: n=%s-%s and k=%s-%d" % (m.group(1), m.group(2), m.group(3), k2))
    forge("results.txt", r"^n=(\d+): tested (\d+) of \d+ numbers \( ?\d+\.\d\d%\)", summary)
    forge("proofs.txt", r"tested=(\d+)", lambda m: "tested=%d" % round(int(m.group(1)) * scale))
    return status


if __name__ == "__main__":
    sys.exit(main())
