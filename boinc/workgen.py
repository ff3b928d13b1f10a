#!/usr/bin/env python3
"""Cuts a big assignment (n range x k range) into workunit lines quilbrex works
without cutting them again, each about a target running time, and writes their
input files and the commands that stage them and create the workunits. A
workunit is sent once, its proof file showing the range searched; a share of
them (--twice) is sent twice and the two results compared, to catch hosts
whose factors would be wrong. --again makes such twin workunits for the ranges
the validator listed for a second run."""

import argparse
import hashlib
import math
import os
import re
import shlex
import sys

from quilbrex_lines import (K_MAX, LAST_BAND, N_MAX, N_MIN, band, format_line, lower_threshold, needs_rewrite,
                            odd_ks, uniform_width, upper_threshold)

# The rate a host reports for the typical line (n = 54, three words) scales with
# the squarings per candidate (n - 1) and the cost of one squaring (width^2).
REFERENCE_N, REFERENCE_WIDTH = 54, 3


def seconds_for(n1, n2, k1, k2, rate):
    """Expected running time of a line on a host that covers `rate` integers of
    the k range per second on the typical line."""
    width = uniform_width(n1, n2, k1, k2)
    span = k2 - k1 + 1
    scale = sum((n - 1) / (REFERENCE_N - 1) for n in range(n1, n2 + 1)) * (width / REFERENCE_WIDTH) ** 2
    return span * scale / rate


def width_pieces(n1, n2, k1, k2):
    """Lines (n1', n2', k1', k2') covering every served candidate of a range within
    one band, each of one width. k pieces run between consecutive thresholds of the
    band; a piece starts one past its threshold (thresholds are even, so no odd k
    is lost) because a line starting right on a threshold is rewritten."""
    breaks = sorted({t for n in range(n1, n2 + 1) for t in (lower_threshold(n), upper_threshold(n))
                     if k1 <= t < k2 and t != K_MAX})
    starts = [k1] + [t + 1 for t in breaks]
    ends = breaks + [k2]
    lines = []
    for a, b in zip(starts, ends):
        if odd_ks(a, b) == 0:
            continue
        run = []
        for n in range(n1, n2 + 1):
            if uniform_width(n, n, a, b) is not None:
                run.append(n)
            elif run:
                lines.append((run[0], run[-1], a, b))
                run = []
        if run:
            lines.append((run[0], run[-1], a, b))
    # Widths change with both n and k, so a run can still mix two widths at its ends.
    result = []
    for line in lines:
        result.extend(split_mixed(*line))
    return result


def split_mixed(n1, n2, k1, k2):
    if uniform_width(n1, n2, k1, k2) is not None:
        return [(n1, n2, k1, k2)]
    if n1 == n2:
        raise AssertionError("no single width for %s" % format_line(n1, n2, k1, k2))
    middle = (n1 + n2) // 2
    return split_mixed(n1, middle, k1, k2) + split_mixed(middle + 1, n2, k1, k2)


def split_for_time(line, rate, target):
    """Exponent groups first, then k pieces of one exponent, so no line runs much
    longer than the target."""
    n1, n2, k1, k2 = line
    total = seconds_for(n1, n2, k1, k2, rate)
    if total <= target * 1.5:
        return [line]
    if n1 < n2:
        groups = min(n2 - n1 + 1, math.ceil(total / target))
        size = (n2 - n1 + 1) / groups
        bounds = [n1 + round(i * size) for i in range(groups + 1)]
        result = []
        for a, b in zip(bounds, bounds[1:]):
            result.extend(split_for_time((a, b - 1, k1, k2), rate, target))
        return result
    pieces = math.ceil(total / target)
    step = (k2 - k1 + 1) / pieces
    # Pieces end on even k and the next starts one above, so every odd k is in exactly one.
    ends = [min(k2, (k1 + int(step * i)) & ~1) for i in range(1, pieces)] + [k2]
    result, start = [], k1
    for end in ends:
        if end >= start and odd_ks(start, end):
            result.append((n1, n1, start, end))
            start = end + 1
    return result


def cut_assignment(n1, n2, k1, k2, rate, target):
    lines = []
    for j in range(band(n1), band(n2) + 1):
        a, b = max(n1, 32 * j), min(n2, 32 * j + 31)
        for piece in width_pieces(a, b, k1, k2):
            lines.extend(split_for_time(piece, rate, target))
    for line in lines:
        assert not needs_rewrite(*line) and uniform_width(*line) is not None, format_line(*line)
    return lines


def left_out(n1, n2, k1, k2, lines):
    """Odd k per exponent that no line covers: too small for their band's kernels
    (the program leaves them out too), or too large in band 18."""
    covered = {}
    for a, b, c, d in lines:
        for n in range(a, b + 1):
            covered[n] = covered.get(n, 0) + odd_ks(c, d)
    return {n: odd_ks(k1, k2) - covered.get(n, 0) for n in range(n1, n2 + 1) if covered.get(n, 0) != odd_ks(k1, k2)}


def workunit_name(app, line):
    n1, n2, k1, k2 = line
    return "%s_n%d-%d_k%d-%d" % (app, n1, n2, k1, k2)


def sent_twice(name, percent):
    """Whether the workunit of this name is one of the share sent twice: a hash of
    the name, so the choice is spread evenly and anyone can tell it again."""
    return int.from_bytes(hashlib.sha256(name.encode()).digest()[:8], "big") < percent / 100 * 2**64


AGAIN_SUFFIX = "_again"
SECOND_RUN_RE = re.compile(r"^(\S+?_n(\d+)-(\d+)_k(\d+)-(\d+)(?:_\S*)?) ")


def second_runs(path):
    """The workunits a second-run list names, once each, in order: (name, line)."""
    found = {}
    with open(path) as f:
        for number, text in enumerate(f, 1):
            m = SECOND_RUN_RE.match(text)
            if not m:
                raise ValueError("%s:%d: not a second-run record: %r" % (path, number, text))
            found.setdefault(m.group(1), tuple(int(v) for v in m.groups()[1:]))
    return list(found.items())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", nargs=2, type=int, metavar=("FIRST", "LAST"))
    parser.add_argument("--k", nargs=2, type=lambda v: int(float(v)) if "e" in v else int(v),
                        metavar=("FIRST", "LAST"))
    parser.add_argument("--again", metavar="LIST",
                        help="instead of --n and --k: a twin workunit for each workunit of the validator's "
                             "second-run list")
    parser.add_argument("--twice", type=float, default=5.0, metavar="PERCENT",
                        help="share of the workunits sent twice and compared (default %(default)s)")
    parser.add_argument("--rate", type=float, required=True,
                        help="integers of the k range per second a typical host covers on FermatFactor=54,54,...")
    parser.add_argument("--hours", type=float, default=4.0, help="target running time of one workunit")
    parser.add_argument("--out", required=True, help="folder for the input files and create_work.sh")
    parser.add_argument("--app", default="quilbrex")
    parser.add_argument("--flops", type=float, default=1e12,
                        help="the typical host's speed as the project declares it (rsc_fpops_est = seconds x flops)")
    parser.add_argument("--bound", type=float, default=20.0, help="rsc_fpops_bound as a multiple of the estimate")
    args = parser.parse_args(argv)
    if not 0 <= args.twice <= 100:
        parser.error("--twice is a percentage, 0 to 100")

    if args.again:
        if args.n or args.k:
            parser.error("--again takes the ranges from the list, not from --n and --k")
        try:
            workunits = [(name + AGAIN_SUFFIX, line, True) for name, line in second_runs(args.again)]
        except (OSError, ValueError) as error:
            parser.error(str(error))
    else:
        if not (args.n and args.k):
            parser.error("--n and --k are required (or --again)")
        n1, n2 = args.n
        k1, k2 = args.k
        if not (N_MIN <= n1 <= n2 <= N_MAX and 2 <= k1 <= k2 <= K_MAX):
            parser.error("n must be within %d..%d and k within 2..2^64-1, first <= last" % (N_MIN, N_MAX))
        lines = cut_assignment(n1, n2, k1, k2, args.rate, args.hours * 3600)
        workunits = [(workunit_name(args.app, line), line, sent_twice(workunit_name(args.app, line), args.twice))
                     for line in lines]

    os.makedirs(args.out, exist_ok=True)
    commands = ["#!/bin/sh", "# Run from the project's folder.", "set -e"]
    for name, line, twice in workunits:
        path = os.path.join(args.out, name)
        with open(path, "w") as f:
            f.write(format_line(*line) + "\n")
        estimate = seconds_for(*line, args.rate) * args.flops
        commands.append("bin/stage_file --copy %s" % shlex.quote(os.path.abspath(path)))
        # The template sends a workunit once; a twin is sent twice and its two results compared.
        commands.append("bin/create_work --appname %s --wu_name %s --wu_template templates/quilbrex_in.xml "
                        "--result_template templates/quilbrex_out.xml --rsc_fpops_est %.0f --rsc_fpops_bound %.0f%s %s"
                        % (args.app, name, estimate, estimate * args.bound,
                           " --min_quorum 2 --target_nresults 2" if twice else "", name))
    with open(os.path.join(args.out, "create_work.sh"), "w") as f:
        f.write("\n".join(commands) + "\n")

    print("%d workunits written to %s, %d of them sent twice"
          % (len(workunits), args.out, sum(twice for _, _, twice in workunits)))
    if args.again:
        return 0
    skipped = left_out(n1, n2, k1, k2, lines)
    for n, count in sorted(skipped.items()):
        print("n=%d: %d odd k left out (p too short%s for the band's kernels)"
              % (n, count, " or too long" if band(n) == LAST_BAND else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
