"""Reading what a quilbrex task hands back (results.txt, factors.txt; the proof
file proofs.txt is the proof checker's) and judging whether it proves its
workunit's range searched."""

import os
import re

from quilbrex_lines import odd_ks

# The output files of a task, in the output template's order. Results of
# workunits made before the proof file came have the first two only.
OUTPUT_FILES = ("results.txt", "factors.txt", "proofs.txt")

# ctime's text: "Mon Dec  7 10:29:09 2026".
DATE_RE = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}$")
STARTING_RE = re.compile(r"^Starting range: n=(\d+)-(\d+) and k=(\d+)-(\d+)$")
SUMMARY_RE = re.compile(r"^n=(\d+): tested (\d+) of (\d+) numbers \( ?\d+\.\d\d%\) in \d+\.\d\d seconds at (?:\d+|inf)/sec"
                        r"(?:, (\d+) hit\(s\) rejected by the host check)?$")
REJECTED_RE = re.compile(r"^Rejected hit (\d+)\*2\^(\d+)\+1: reported by the device, not a factor by the host check$")
CONFIG_RE = re.compile(r"^Sieve configuration: kernel (\w+), prime count (\d+)$")
CLOSING_RE = re.compile(r"^Range is complete\. (?:Found (\d+) factor\(s\)\. For details see file factors\.txt|No factors found\.)$")
DASHES = "-" * 80
FACTOR_RE = re.compile(r"^!!! Found factor (\d+)\*2\^(\d+)\+1 !!!$")
# Server-side file names carry the workunit's name, which the work generator made from its line.
WORKUNIT_RE = re.compile(r"_n(\d+)-(\d+)_k(\d+)-(\d+)(?:_|$)")


class Invalid(Exception):
    """The result does not prove what it must; the text says why."""


def is_factor(k, n):
    """p = k*2^n+1 divides some F_m with m <= n-2."""
    p = k * 2**n + 1
    return pow(2, 2 ** (n - 1), p) == 1


def workunit_range(path):
    m = WORKUNIT_RE.search(os.path.basename(path))
    if not m:
        raise Invalid("%s: the file name carries no workunit range" % path)
    return tuple(int(v) for v in m.groups())


def read_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Invalid("%s: not a text file" % path)
    if text and not text.endswith("\n"):
        raise Invalid("%s: the last line is cut off" % path)
    return text.splitlines()


def read_factors(path):
    """Every factor record of a factors.txt as (n, k), duplicates kept."""
    found = []
    for number, line in enumerate(read_lines(path), 1):
        if DATE_RE.match(line):
            continue
        m = FACTOR_RE.match(line)
        if not m:
            raise Invalid("%s:%d: not a factor record: %r" % (path, number, line))
        found.append((int(m.group(2)), int(m.group(1))))
    return found


class RunLog:
    """What results.txt says: the ranges started, the last summary of each
    exponent, the sieve configurations and the closing record."""

    def __init__(self, path):
        self.starts, self.summaries, self.configurations = [], {}, set()
        self.closing = None  # factor count of the closing record
        after_closing = 0
        for number, line in enumerate(read_lines(path), 1):
            if DATE_RE.match(line):
                continue
            if self.closing is not None:
                after_closing += 1
                if line != DASHES or after_closing > 1:
                    raise Invalid("%s:%d: a record after the range was complete: %r" % (path, number, line))
                continue
            m = (STARTING_RE.match(line) or SUMMARY_RE.match(line) or CONFIG_RE.match(line) or CLOSING_RE.match(line)
                 or REJECTED_RE.match(line))
            if not m:
                raise Invalid("%s:%d: not a run-log record: %r" % (path, number, line))
            # The host caught the device reporting a non-factor: a device that
            # computes wrongly may as well have missed factors.
            if m.re is REJECTED_RE or (m.re is SUMMARY_RE and m.group(4)):
                raise Invalid("%s:%d: the device computed wrongly: %r" % (path, number, line))
            if m.re is STARTING_RE:
                self.starts.append(tuple(int(v) for v in m.groups()))
            elif m.re is SUMMARY_RE:
                n, tested, of = (int(v) for v in m.groups()[:3])
                self.summaries[n] = (tested, of)
            elif m.re is CONFIG_RE:
                self.configurations.add((m.group(1), int(m.group(2))))
            else:
                self.closing = int(m.group(1) or 0)
        if self.closing is None or after_closing != 1:
            raise Invalid("%s: no closing record: the range did not finish" % path)


class Result:
    """One task's output files, checked against its workunit's range."""

    def __init__(self, results_path, factors_path, expected=None):
        self.expected = expected or workunit_range(results_path)
        n1, n2, k1, k2 = self.expected
        self.log = RunLog(results_path)
        records = read_factors(factors_path)
        self.factors = set(records)

        first = k1 | 1
        for start in self.log.starts:
            if start != (n1, n2, first, k2):
                raise Invalid("started range n=%d-%d k=%d-%d, not the workunit's" % start)
        if not self.log.starts:
            raise Invalid("no Starting range record")
        for n in range(n1, n2 + 1):
            if n not in self.log.summaries:
                raise Invalid("n=%d has no summary" % n)
            tested, of = self.log.summaries[n]
            if of != k2 + 1 - first or tested > odd_ks(k1, k2):
                raise Invalid("n=%d: tested %d of %d does not fit k=%d-%d" % (n, tested, of, k1, k2))
        extra = set(self.log.summaries) - set(range(n1, n2 + 1))
        if extra:
            raise Invalid("summaries of exponents outside the workunit: %s" % sorted(extra))
        for n, k in sorted(self.factors):
            if not (n1 <= n <= n2 and k1 <= k <= k2 and k % 2 == 1):
                raise Invalid("factor %d*2^%d+1 lies outside the workunit" % (k, n))
            if not is_factor(k, n):
                raise Invalid("%d*2^%d+1 is not a factor" % (k, n))
        # Restarts can count a factor twice, never lose one.
        if self.log.closing < len(self.factors) or (self.log.closing > 0) != bool(self.factors):
            raise Invalid("the range reports %d factor(s), factors.txt holds %d"
                          % (self.log.closing, len(self.factors)))

    def sieve_configuration(self):
        """The one configuration every exponent was sieved with, or None when it is
        unknown or changed between restarts (another device)."""
        return next(iter(self.log.configurations)) if len(self.log.configurations) == 1 else None


def disagreement(a, b):
    """Why two valid results of one workunit disagree, or None when they agree."""
    if a.expected != b.expected:
        return "different workunits"
    if a.factors != b.factors:
        return "factor sets differ: %s against %s" % (sorted(a.factors - b.factors), sorted(b.factors - a.factors))
    config = a.sieve_configuration()
    if config is not None and config == b.sieve_configuration():
        for n, (tested, _) in sorted(a.log.summaries.items()):
            if b.log.summaries[n][0] != tested:
                return "n=%d: tested %d against %d with the same sieve" % (n, tested, b.log.summaries[n][0])
    return None
