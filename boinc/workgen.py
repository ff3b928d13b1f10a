#!/usr/bin/env python3
"""Cuts a big assignment (n range x k range) into workunit lines quilbrex works
without cutting them again, each about a target running time, and writes their
input files and the commands that stage them and create the workunits. A
workunit is sent once, its proof file showing the range searched; lines are
cut so that their proof can show that on its own (enough proof k over their
exponents, or a range small enough for the validator to search again), and
those that cannot are sent twice. A share of the others (--twice) is sent
twice too and the two results compared, to catch hosts whose factors would be
wrong, chosen under a secret key of the project (--key) so that no client can
tell which. --again makes such twin workunits for the ranges the validator
listed for a second run."""

import argparse
import hashlib
import hmac
import math
import os
import re
import shlex
import stat
import sys
from statistics import NormalDist

from quilbrex_lines import (K_MAX, LAST_BAND, N_MAX, N_MIN, band, format_line, lower_threshold, needs_rewrite,
                            odd_ks, uniform_width, upper_threshold)

# The rate a host reports for the typical line (n = 54, three words) scales with
# the squarings per candidate (n - 1) and the cost of one squaring (width^2).
REFERENCE_N, REFERENCE_WIDTH = 54, 3

# What a proof must catch on its own, with this probability: a search that
# skipped a contiguous share of a line's candidates (caught by the gap test of
# the exponent it lies in), or a scattered share (only the pooled count can
# tell).
CONTIGUOUS_SKIP, SCATTERED_SKIP, CAUGHT = 0.02, 0.05, 0.99
# The checker's bounds: counts within SIGMAS standard deviations, the largest
# gap within ln(mu) + GAP_BOUND expected spacings.
SIGMAS, GAP_BOUND = 5.0, 12.0
# The program's t leaves at least this many proof k expected per exponent
# (where t > 0; t = 0 lists every tested k, and the validator searches such a
# range again itself).
LEAST_PROOFS_PER_EXPONENT = 2000


def caught_scattered(share, mu):
    """The probability that the pooled count of mu expected proof k falls
    below its bound when a share of the candidates was skipped here and
    there, the count kept: the count has variance mu (the checker's), the
    skipper's about (1 - share) mu."""
    return NormalDist().cdf((share * mu - SIGMAS * math.sqrt(mu)) / math.sqrt((1 - share) * mu))


def caught_contiguous(share, mu):
    """The probability that a skipped stretch of a share of an exponent's
    range, at its end (the worst place: one gap of expected length 1 joins
    it), leaves a gap beyond the bound; mu proof k expected."""
    excess = GAP_BOUND + math.log(mu) - share * mu
    return max(caught_scattered(share, mu), 1.0 if excess <= 0 else math.exp(-excess))


def proofs_needed(caught, share):
    """The least mu at which caught(share, mu) reaches CAUGHT."""
    low, high = 1.0, 1e9
    while high - low > 1:
        middle = (low + high) / 2
        low, high = (low, middle) if caught(share, middle) >= CAUGHT else (middle, high)
    return math.ceil(high)


# 21,127 proof k over a line: at least 11 exponents of t > 0. Each exponent's
# own 2,000 or more are twice what the contiguous skip needs (942).
SCATTERED_PROOFS = proofs_needed(caught_scattered, SCATTERED_SKIP)
CONTIGUOUS_PROOFS = proofs_needed(caught_contiguous, CONTIGUOUS_SKIP)
LEAST_EXPONENTS = math.ceil(SCATTERED_PROOFS / LEAST_PROOFS_PER_EXPONENT)


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
    """A run of exponents, each of one width over k1..k2, cut where the width
    changes, so that the lines keep as many exponents as they can (their
    proof k pool over them)."""
    if uniform_width(n1, n2, k1, k2) is not None and not needs_rewrite(n1, n2, k1, k2):
        return [(n1, n2, k1, k2)]
    if n1 == n2:
        raise AssertionError("no single width for %s" % format_line(n1, n2, k1, k2))
    widths = [uniform_width(n, n, k1, k2) for n in range(n1, n2 + 1)]
    cut = next((i for i in range(1, len(widths)) if widths[i] != widths[0]), None)
    if cut is None:  # one width, but a line the program would cut: halves
        cut = (n2 - n1 + 1) // 2
    return split_mixed(n1, n1 + cut - 1, k1, k2) + split_mixed(n1 + cut, n2, k1, k2)


def split_for_time(line, rate, target, expected_proofs=None):
    """Exponent groups first, then k pieces of the group, so no line runs much
    longer than the target; a group keeps LEAST_EXPONENTS exponents where
    the line has them, so that its proof k pool to what a scattered skip
    needs. expected_proofs(line): the proof k a line's result lists (None:
    every candidate), for choosing the number of k pieces."""
    n1, n2, k1, k2 = line
    total = seconds_for(n1, n2, k1, k2, rate)
    if total <= target * 1.5:
        return [line]
    groups = min((n2 - n1 + 1) // LEAST_EXPONENTS, math.ceil(total / target))
    if groups > 1:
        size = (n2 - n1 + 1) / groups
        bounds = [n1 + round(i * size) for i in range(groups + 1)]
        result = []
        for a, b in zip(bounds, bounds[1:]):
            result.extend(split_for_time((a, b - 1, k1, k2), rate, target, expected_proofs))
        return result
    pieces = piece_count(line, math.ceil(total / target), expected_proofs)
    step = (k2 - k1 + 1) / pieces
    # Pieces end on even k and the next starts one above, so every odd k is in exactly one.
    ends = [min(k2, (k1 + int(step * i)) & ~1) for i in range(1, pieces)] + [k2]
    result, start = [], k1
    for end in ends:
        if end >= start and odd_ks(start, end):
            result.append((n1, n2, start, end))
            start = end + 1
    if n1 < n2 and any(needs_rewrite(*piece) for piece in result):
        # Pieces high in k that the program would cut by exponent: cut them so here.
        middle = (n1 + n2) // 2
        return (split_for_time((n1, middle, k1, k2), rate, target, expected_proofs)
                + split_for_time((middle + 1, n2, k1, k2), rate, target, expected_proofs))
    return result


def piece_count(line, least, expected_proofs):
    """How many k pieces to cut the line into: least (what the time target
    asks), or where the pieces' proof k fall short of SCATTERED_PROOFS, the
    fewest up to twice that whose proof k reach it. An exponent's proof k
    run from 2,000 to 4,000 as its range shrinks, so shorter pieces can have
    more."""
    if expected_proofs is None:
        return least
    n1, n2, k1, k2 = line

    def enough(pieces):
        mu = expected_proofs((n1, n2, k1, k1 + (k2 - k1) // pieces))
        return mu is None or mu >= SCATTERED_PROOFS
    if enough(least):
        return least
    tries = range(least + 1, 2 * least + 1) if least <= 256 else sorted(
        {round(least * 2 ** (i / 256)) for i in range(1, 257)})
    return next((pieces for pieces in tries if enough(pieces)), least)


def cut_assignment(n1, n2, k1, k2, rate, target, expected_proofs=None):
    lines = []
    for j in range(band(n1), band(n2) + 1):
        a, b = max(n1, 32 * j), min(n2, 32 * j + 31)
        for piece in width_pieces(a, b, k1, k2):
            lines.extend(split_for_time(piece, rate, target, expected_proofs))
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


def sent_twice(name, percent, key):
    """Whether the workunit of this name is one of the share sent twice:
    HMAC-SHA-256 of the name under the project's key, so the choice is spread
    evenly and the project can tell it again, while a client, which knows the
    name but not the key, cannot."""
    digest = hmac.new(key, name.encode(), hashlib.sha256).digest()
    return int.from_bytes(digest[:8], "big") < percent / 100 * 2**64


KEY_BYTES = 32


def project_key(path, out):
    """The project's key for choosing twins: read from path, or made there
    once (random, readable by its owner only). Never inside the folder of
    files staged for clients."""
    inside = os.path.commonpath([os.path.abspath(path), os.path.abspath(out)]) == os.path.abspath(out)
    if inside:
        raise ValueError("the key %s lies in %s, whose files are sent to clients: keep it elsewhere" % (path, out))
    try:
        handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        if os.stat(path).st_mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise ValueError("the key %s can be read by others than its owner: chmod 600 %s" % (path, path))
        with open(path, "rb") as f:
            key = f.read()
        if len(key) != KEY_BYTES:
            raise ValueError("the key %s holds %d bytes, not %d" % (path, len(key), KEY_BYTES))
        return key
    key = os.urandom(KEY_BYTES)
    with os.fdopen(handle, "wb") as f:
        f.write(key)
        f.flush()
        os.fsync(f.fileno())
    return key


def depths_of(line, sieves, checker):
    """The depths the admitted sieves use for the line's width."""
    n1, n2, k1, k2 = line
    width = uniform_width(n1, n2, k1, k2)
    named = [m for s in sieves for m in checker.SIEVE_GROUPS.get(s, (s,))]
    return sorted({checker.depth_for(s, n, width) for s in named for n in (n1, n2)})


def proof_k_expected(line, sieves, checker):
    """The proof k the line's result lists over its exponents, at the least
    of the admitted depths, or None where every depth leaves t = 0 (every
    tested k listed, and the validator searches the range again itself)."""
    n1, n2, k1, k2 = line
    least = None
    for depth in depths_of(line, sieves, checker):
        plain = checker.expected_for_bits(k1, k2, depth)
        t = checker.proof_bits_for(plain)
        if t > 0:
            mu = (n2 - n1 + 1) * plain / 2 ** t
            least = mu if least is None else min(least, mu)
    return least


def proof_sized(line, sieves, checker):
    """Whether the line's proof alone catches the skips it must (CAUGHT)."""
    mu = proof_k_expected(line, sieves, checker)
    return mu is None or mu >= SCATTERED_PROOFS


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
                        help="share of the workunits sent twice and compared (default %(default)s), besides those "
                             "whose proof cannot show their range searched on its own")
    parser.add_argument("--key", default="quilbrex_twin.key",
                        help="the project's secret for choosing the share sent twice, made there once (mode 0600); "
                             "outside --out, never sent (default %(default)s)")
    parser.add_argument("--sieve", default="host,device",
                        help="the sieves of the project's app versions, as the validator's --sieve (default "
                             "%(default)s): the depths a line's proof k are expected at")
    parser.add_argument("--cache", default=os.environ.get("QUILBREX_PROOF_CACHE", "quilbrex_proof_cache"),
                        help="the validator's folder of prime tables (default %(default)s)")
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
        try:
            key = project_key(args.key, args.out)
        except (OSError, ValueError) as error:
            parser.error(str(error))
        from validator import load_checker
        checker = load_checker()
        checker.use_cache(args.cache)
        sieves = args.sieve.split(",")
        lines = cut_assignment(n1, n2, k1, k2, args.rate, args.hours * 3600,
                               lambda line: proof_k_expected(line, sieves, checker))
        unsized = [line for line in lines if not proof_sized(line, sieves, checker)]
        workunits = [(workunit_name(args.app, line), line,
                      line in unsized or sent_twice(workunit_name(args.app, line), args.twice, key))
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
    if unsized:
        share = sum(seconds_for(*line, args.rate) for line in unsized) / sum(seconds_for(*line, args.rate)
                                                                           for line in lines)
        print("%d workunits (%.1f %% of the work) are sent twice because their proof alone cannot catch a %g %% "
              "scattered skip with %g %% probability: fewer than %d proof k expected (%d exponents of t > 0 at "
              "least)" % (len(unsized), 100 * share, 100 * SCATTERED_SKIP, 100 * CAUGHT, SCATTERED_PROOFS,
                          LEAST_EXPONENTS), file=sys.stderr)
    skipped = left_out(n1, n2, k1, k2, lines)
    for n, count in sorted(skipped.items()):
        print("n=%d: %d odd k left out (p too short%s for the band's kernels)"
              % (n, count, " or too long" if band(n) == LAST_BAND else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
