"""Assignment lines as quilbrex reads them: word counts, bands, and which lines it works without cutting."""

import re

K_MAX = 2**64 - 1
N_MIN, N_MAX = 32, 607
LAST_BAND = 18  # n = 576..607, served for 20 words only

LINE_RE = re.compile(r"^FermatFactor=(\d+),(\d+),(\d+),(\d+)$")


def band(n):
    return n // 32


def words(k, n):
    """32-bit words of p = k*2^n+1."""
    return (((k << n) + 1).bit_length() + 31) // 32


def lower_threshold(n):
    """L(n): from this k on p has band+2 words."""
    return 2 ** (32 - n % 32)


def upper_threshold(n):
    """U(n): from this k on p has band+3 words (the program's 2^64-1 stands in at r = 0)."""
    r = n % 32
    return K_MAX if r == 0 else 2 ** (64 - r)


def served(n, w):
    """Whether one of the 35 kernels tests width w at exponent n."""
    j = band(n)
    return w == 20 if j == LAST_BAND else w in (j + 2, j + 3)


def format_line(n1, n2, k1, k2):
    return "FermatFactor=%d,%d,%d,%d" % (n1, n2, k1, k2)


def parse_line(text):
    m = LINE_RE.match(text.strip())
    if not m:
        raise ValueError("not an assignment line: %r" % text)
    return tuple(int(v) for v in m.groups())


def odd_ks(k1, k2):
    """The odd k the program examines in k1..k2."""
    first = k1 | 1
    return 0 if first > k2 else (k2 - first) // 2 + 1


def uniform_width(n1, n2, k1, k2):
    """The one width every candidate of the line has, or None when widths differ
    or no kernel serves them. Word count grows with k and n, so the corners decide."""
    first = k1 | 1
    last = k2 if k2 % 2 else k2 - 1
    if first > last or band(n1) != band(n2):
        return None
    low, high = words(first, n1), words(last, n2)
    if low != high or not served(n1, low):
        return None
    return low


def needs_rewrite(n1, n2, k1, k2):
    """Whether the program would rewrite worktodo.txt when this line comes first:
    the same walk its range splitting makes (band cut, then each exponent from the
    top of the band piece classified against the word-count thresholds)."""
    if band(n1) != band(n2):
        return True
    for n in range(n2, n1 - 1, -1):
        if k1 >= upper_threshold(n):
            continue  # above
        if k2 <= lower_threshold(n):
            continue  # below
        if k2 > upper_threshold(n) or k1 <= lower_threshold(n):
            return True  # crossing U or L
        if k1 < 2 ** (63 - n % 32):
            continue  # inside
        return n < n2  # upper half: everything under it is settled
    return False
