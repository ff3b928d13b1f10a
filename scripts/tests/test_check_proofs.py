"""scripts/check-proofs on run logs and proof files made here by an independent
reference: trial division by a small sieve over the odd k of a range, and
Python's pow for every survivor's residue, 2^(-2^(n-1)) mod p."""

import copy
import hashlib
import importlib.machinery
import importlib.util
import os
import random
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECKER = os.path.join(ROOT, "scripts", "check-proofs")
_loader = importlib.machinery.SourceFileLoader("check_proofs", CHECKER)
checker = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_proofs", _loader))
_loader.exec_module(checker)

STAMP = "Mon Dec  7 10:29:09 2026"
LABEL = " r=2^-(2^(n-1))"  # the residue the closing record names (files before it name none)
SMALL_PRIMES = [3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73]


def inverse_residue(k, n):
    """2^(-2^(n-1)) mod k*2^n+1, by Python's pow alone."""
    p = (k << n) + 1
    return pow(pow(2, 1 << (n - 1), p), -1, p)


def search(n, k1, k2, primes):
    """What an honest search of one exponent tests, and each survivor's residue."""
    found = []
    for k in range(k1 | 1, k2 + 1, 2):
        p = (k << n) + 1
        if all(p % q for q in primes):
            found.append((k, inverse_residue(k, n)))
    return found


class Line:
    """One finished line as the program logs it, with its proof records; the
    cases below then spoil one thing."""

    def __init__(self, n1, n2, k1, k2, primes):
        self.range, self.depth = (n1, n2, k1 | 1, k2), len(primes)
        self.exponents = []  # [n, t, tested, proof ks]
        self.factors = []  # (n, k) whose r is 1
        for n in range(n1, n2 + 1):
            found = search(n, k1, k2, primes)
            expected = checker.odd_count(k1, k2) * checker.survivor_share(len(primes))
            t = checker.proof_bits_for(expected)
            ks = [k for k, r in found if r % (1 << t) == 0]
            self.exponents.append([n, t, len(found), ks])
            self.factors += [(n, k) for k, r in found if r == 1]

    def write(self, folder, closed=True):
        n1, n2, k1, k2 = self.range
        log = [getattr(self, "left_out", "") + "%s\nStarting range: n=%d-%d and k=%d-%d\n" % (STAMP, n1, n2, k1, k2)]
        proofs = []
        for n, t, tested, ks in self.exponents:
            log.append("%s\nn=%d: tested %d of %d numbers (%5.2f%%) in 0.00 seconds at inf/sec\n"
                       % (STAMP, n, tested, k2 + 1 - k1, tested * 100.0 / (k2 + 1 - k1)))
            proofs += ["n=%d t=%d k=%d\n" % (n, t, k) for k in ks]
            proofs.append("n=%d t=%d tested=%d proofs=%d primes=%d%s\n"
                          % (n, t, tested, len(ks), self.depth, getattr(self, "label", LABEL)))
        if closed:
            log.append("Range is complete. %s\n%s\n" % (
                "Found %d factor(s). For details see file factors.txt" % len(self.factors) if self.factors
                else "No factors found.", "-" * 80))
        with open(os.path.join(folder, "results.txt"), "w") as f:
            f.write("".join(log))
        with open(os.path.join(folder, "factors.txt"), "w") as f:
            f.write("".join("%s\n!!! Found factor %d*2^%d+1 !!!\n" % (STAMP, k, n) for n, k in self.factors))
        with open(os.path.join(folder, "proofs.txt"), "w") as f:
            f.write("".join(proofs))


def skip_top(line, share, honest):
    """A client that leaves the top of each exponent's range unsearched."""
    n1, n2, k1, k2 = line.range
    cut = k2 - int((k2 - k1) * share)
    for e in line.exponents:
        kept = [k for k, _ in search(e[0], k1, cut, SMALL_PRIMES)]
        if honest:
            e[2] = len(kept)
        e[3] = [k for k in e[3] if k <= cut]


def replace_proof(line, n_index, k1, k2):
    """A proof k swapped for a tested k whose residue lacks the property."""
    n, t, _, ks = line.exponents[n_index]
    other = next(k for k, r in search(n, k1, k2, SMALL_PRIMES) if r % (1 << t) and k > ks[0])
    ks[ks.index(next(k for k in ks if k > other))] = other
    ks.sort()


def drop_one(line):
    """A tiny range's client that leaves out one candidate, counts included."""
    e = line.exponents[0]
    e[3].pop(len(e[3]) // 2)
    e[2] -= 1


def skip_middle(line, share):
    """A client that leaves a stretch in the middle of each exponent's range
    unsearched and says it searched all: its count may still pass."""
    n1, n2, k1, k2 = line.range
    low = k1 + int((k2 - k1) * (0.5 - share / 2))
    for e in line.exponents:
        e[3] = [k for k in e[3] if not low <= k < low + (k2 - k1) * share]


def sieve_only(line):
    """A client of a t = 0 range that sieves and lists every survivor, computing
    no power: it cannot know which k is a factor, and records none."""
    line.factors = []


def withhold_factor(line):
    """A client that drops its factor from factors.txt and its k from the list,
    counting one candidate fewer."""
    n, k = line.factors.pop()
    e = next(e for e in line.exponents if e[0] == n)
    e[3].remove(k)
    e[2] -= 1


def list_removed(line):
    """A t = 0 client that lists a k the sieve removes, in place of one it leaves."""
    n, t, tested, ks = line.exponents[0]
    n1, n2, k1, k2 = line.range
    removed = next(k for k in range(ks[10], k2, 2) if k not in ks)
    ks.remove(ks[20])
    ks.append(removed)
    ks.sort()


def claim_deeper(line, depth):
    """A client that sieved with the line's primes but names a deeper sieve of
    the program, and tests only as many candidates as that one would leave."""
    n1, n2, k1, k2 = line.range
    deep = checker.odd_primes(depth)
    line.depth = depth
    for e in line.exponents:
        found = search(e[0], k1, k2, SMALL_PRIMES)
        honest = sum(all(((k << e[0]) + 1) % q for q in deep) for k, _ in found)
        kept = found[::2][:honest] + found[1::2][:max(0, honest - len(found[::2]))]
        e[1] = checker.proof_bits_for(checker.expected_for_bits(k1, k2, depth))
        e[2] = len(kept)
        e[3] = sorted(k for k, r in kept if r % (1 << e[1]) == 0)


def raise_t(line, by):
    """A client that claims a larger t, leaving fewer proofs to check."""
    for e in line.exponents:
        e[1] += by
        e[3] = [k for k in e[3] if inverse_residue(k, e[0]) % (1 << e[1]) == 0]


# A line of three exponents with t > 0 (some 10,000 candidates each) and a tiny
# one with t = 0 (the example line, 207 candidates, one a factor), sieved as a
# graphics device of the medium and the high class sieves width 3 (20 and 4
# primes): without --primes the checker accepts those depths.
WIDE = (40, 42, 16777217, 16857217)
TINY = (54, 54, 4001, 5001)

CASES = [
    # name, line, spoil(line), checker arguments, exit status, text the output holds
    ("honest", WIDE, None, [], 0, "PASS: 3 exponent(s)"),
    ("honest, depth given", WIDE, None, ["--primes", "20"], 0, "PASS"),
    ("honest, after a cut's left-out records", WIDE,
     lambda l: setattr(l, "left_out", "n=40: 7 odd k left out (k below 16: p too short for the band's kernels)\n"
                                      "n=41: 3 odd k left out (k from 1099511627776: p too long for the band's kernel)\n"),
     [], 0, "PASS: 3 exponent(s)"),
    ("tiny range, every k a proof", TINY, None, [], 0, "t=0, 207 proof k"),
    ("tiny range, one k left out", TINY, drop_one, [], 1, "1 k the sieve leaves are not listed"),
    ("tiny range, sieved only, no power computed", TINY, sieve_only, [], 1,
     "k=4119 is a factor (its r is 1), but factors.txt holds no record of it"),
    ("tiny range, the factor withheld and its k left out", TINY, withhold_factor, [], 1,
     "1 k the sieve leaves are not listed, the first k=4119"),
    ("tiny range, a false factor recorded", TINY, lambda l: l.factors.append((54, 4121)), [], 1,
     "factors.txt records k=4121, which is no factor (its r is not 1)"),
    ("tiny range, a k the sieve removes listed", TINY, list_removed, [], 1, "1 listed k the sieve removes"),
    ("a false factor recorded at t > 0", WIDE, lambda l: l.factors.append((41, 16777219)), [], 1,
     "factors.txt records k=16777219, which is no factor"),
    ("2 % skipped in the middle, full count claimed", WIDE, lambda l: skip_middle(l, 0.02), [], 1,
     "times the expected spacing (bound 19."),
    ("an older file, its closing records without the residue", WIDE, lambda l: setattr(l, "label", ""), [], 0,
     "PASS: 3 exponent(s)"),
    ("a closing record naming another residue", TINY, lambda l: setattr(l, "label", " r=2^(2^(n-1))"), [], 2,
     "not a proof record"),
    ("15 % skipped, counted honestly", WIDE, lambda l: skip_top(l, 0.15, True), [], 1, "but the sieve leaves"),
    ("15 % skipped, full count claimed", WIDE, lambda l: skip_top(l, 0.15, False), [], 1, "proof k, "),
    ("residue lacks the property", WIDE, lambda l: replace_proof(l, 1, 16777217, 16857217), [], 1,
     "does not end in 2 zero bits"),
    ("k outside the range", WIDE, lambda l: l.exponents[0][3].append(16857219), [], 1, "k=16857219 outside"),
    ("doubled k", WIDE, lambda l: l.exponents[2][3].insert(5, l.exponents[2][3][5]), [], 1, "listed twice"),
    ("even k", TINY, lambda l: l.exponents[0][3].insert(1, l.exponents[0][3][0] + 1), [], 1, "is even"),
    ("t raised, fewer proofs to check", WIDE,
     lambda l: raise_t(l, 3), [], 1, "call for t=2"),
    ("shallower sieve claimed", WIDE, None, ["--primes", "30"], 1, "sieved with 20 primes, not 30"),
    ("the host build's depth on its IFMA path", WIDE, None, ["--sieve", "host-ifma"], 1,
     "sieved with 20 primes, not 10000"),
    ("the host build's depth on 64-bit words", WIDE, None, ["--sieve", "host-64bit"], 1,
     "sieved with 20 primes, not 300000"),
    ("depth of no program", WIDE, lambda l: setattr(l, "depth", 21), [], 1, "none of the program's depths"),
    ("deeper sieve named than used", WIDE, lambda l: claim_deeper(l, 100), [], 1,
     "a prime among the first 100 divides its p"),
    ("an exponent never searched", WIDE, lambda l: l.exponents.pop(), [], 1, "not every exponent was searched"),
]


HONEST = {}


@pytest.mark.parametrize("name,line_range,spoil,arguments,status,text", CASES, ids=[c[0] for c in CASES])
def test_verdicts(tmp_path, name, line_range, spoil, arguments, status, text):
    if line_range not in HONEST:
        HONEST[line_range] = Line(*line_range, SMALL_PRIMES[:4 if line_range == TINY else 20])
    line = copy.deepcopy(HONEST[line_range])
    if spoil:
        spoil(line)
    line.write(str(tmp_path))
    run = subprocess.run([sys.executable, CHECKER] + arguments + [str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == status, run.stdout + run.stderr
    assert text in run.stdout, run.stdout
    assert run.stdout.splitlines()[-1].startswith({0: "PASS", 1: "FAIL", 2: "cannot check"}[status]), run.stdout


def test_proof_bits_agree_with_the_program():
    """The program's table of ProofBitsFor, read from its test, gives the same t here."""
    with open(os.path.join(ROOT, "tests", "host_check_test.cpp")) as f:
        source = f.read()
    table = source[source.index("proofBitsTable[]"):]
    rows = re.findall(r"\{(\d+)(?:ull)?, (\d+)\}", table[:table.index("};")])
    assert len(rows) >= 10
    for expected, t in rows:
        assert checker.proof_bits_for(int(expected)) == int(t), expected


def test_expected_tested_agrees_with_the_program():
    """The program's ExpectedTested table, read from its test, gives the same
    truncated counts here, to the last unit."""
    with open(os.path.join(ROOT, "tests", "host_check_test.cpp")) as f:
        source = f.read()
    table = source[source.index("expectedTestedTable[]"):]
    rows = re.findall(r"\{(\d+)(?:ull)?, (\d+), (\d+)(?:ull)?\}", table[:table.index("};")])
    assert len(rows) >= 4
    for odd, count, expected in rows:
        assert checker.expected_for_bits(1, 2 * int(odd), int(count)) == int(expected), (odd, count)


def cpp_table(path, name):
    with open(os.path.join(ROOT, path)) as f:
        source = f.read()
    body = source[source.index(name):]
    return [int(v) for v in re.findall(r"\d+", body[body.index("{"):body.index("}")])]


def test_depths_are_the_programs():
    """The checker's depth tables are the run configuration's and the device sieve's."""
    for sieve, name in (("low", "primeCountLow[18]"), ("medium", "primeCountMedium[18]"),
                        ("high", "primeCountHigh[18]")):
        assert checker.DEPTHS[sieve] == cpp_table("source/driver/run_config.cpp", name), sieve
    for sieve, name in (("host-ifma", "primeCountIfma[18]"), ("host-avx2", "primeCountAvx2[18]"),
                        ("host-64bit", "primeCountWord64[18]")):
        assert checker.DEPTHS[sieve] == cpp_table("source/hostpaths/host_path_choice.cpp", name), sieve
    assert checker.DEPTHS["device"] == cpp_table("source/sieve/device_sieve.cpp", "deviceSievePrimeCounts[18]")
    with open(os.path.join(ROOT, "source/driver/run_config.cpp")) as f:
        source = f.read()
    assert '"quilbrex384bit_n288_319") == 0) {\n        primeCount = 800000;' in source
    assert '"quilbrex448bit_n352_383") == 0) {\n        primeCount = 1000000;' in source


def test_prime_table_and_share():
    assert checker.odd_primes(20) == SMALL_PRIMES
    assert checker.odd_primes(4) == [3, 5, 7, 11]
    # A million odd primes end with 15485867.
    assert checker.odd_primes(1000000)[-1] == 15485867
    assert checker.survivor_share(4) == pytest.approx(480 / 1155, rel=1e-15)
    # As the program's ExpectedTested gives it (its test holds the same row).
    assert checker.expected_for_bits(4001, 5001, 4) == 208


def test_expected_survivors_follow_the_size_of_the_candidates():
    """Numbers of about z^2.8 (z the largest sieving prime) are 1 % more often
    free of small factors than the product says, from z^4 on as often; the
    counts are the program's own (host build, 300,000 primes, z = 4256249)."""
    for n, k1, k2, tested in ((40, 16777217, 20971519, 155451), (40, 268435457, 272629759, 154654),
                              (63, 3, 4194305, 153799), (54, 8388609, 12582911, 153871)):
        expected = checker.expected_survivors(n, k1, k2, 300000)
        assert abs(tested - expected) < 1.2 * expected ** 0.5, (n, k1, tested, expected)
    assert checker.rough_ratio(2.0) == pytest.approx(0.5 * 1.7810724, rel=1e-6)
    assert checker.rough_ratio(2.76) == pytest.approx(1.0101, abs=2e-4)
    assert checker.rough_ratio(6.0) == pytest.approx(1.0, abs=1e-4)


def test_small_factors_found_alike_with_and_without_gmpy2(monkeypatch):
    """The product-tree test of listed k against the sieving primes, and the
    plain one without gmpy2, find exactly the k that trial division finds."""
    rows = [
        # ks, n, count of primes
        ([4119, 4121, 4123, 4125, 4127], 54, 4),
        ([16777217 + 2 * i for i in range(60)], 40, 20),
        ([3, 5, 7, 2**64 - 1], 600, 100),
        ([], 54, 20),
        ([4119], 54, 0),
    ]
    for ks, n, count in rows:
        expected = [k for k in ks if any(((k << n) + 1) % q == 0 for q in checker.odd_primes(count))]
        assert checker.with_small_factor(ks, n, count) == expected, (n, count)
        monkeypatch.setattr(checker, "HAVE_GMPY2", False)
        assert checker.with_small_factor(ks, n, count) == expected, (n, count, "without gmpy2")
        monkeypatch.undo()
    assert checker.with_small_factor([4119], 54, 4) == []  # the example line's factor survives 3, 5, 7, 11


def test_the_depth_sample_is_drawn_afresh_so_that_no_list_dodges_it(monkeypatch):
    """A client that sieved with one prime fewer than it names (79, the 21st
    odd prime) lists a k that 79 divides in about 1 of 79. Against a sample
    seeded by its own list it re-rolls the list (here: which honest k it
    leaves out) until the sample misses every such k; a sample drawn from the
    system's randomness at the check still finds one nearly every time."""
    n, k1, k2 = 40, 16777217, 16857217
    ks = checker.sieve_survivors(n, k1, k2, 20)
    bad = set(checker.with_small_factor(ks, n, 21))
    assert 0.008 < len(bad) / len(ks) < 0.018

    def list_seeded(listed):
        """The sample as a hash of the list chose it."""
        seed = hashlib.sha256(("%d:" % n + ",".join(str(k) for k in listed)).encode()).digest()
        return random.Random(seed).sample(listed, 256)

    honest = [k for k in ks if k not in bad]
    ground = next(listed for listed in ([k for k in ks if k != left] for left in honest)
                  if not bad.intersection(list_seeded(listed)))
    seeds = random.Random(7)
    monkeypatch.setattr(checker, "sample_seed", lambda: seeds.getrandbits(256).to_bytes(32, "big"))
    caught = sum(bool(bad.intersection(checker.sample_ks(ground, 256))) for _ in range(40))
    assert caught >= 36  # 1 - (1 - 1/79)^256 = 96 % each
    monkeypatch.undo()
    assert checker.sample_ks(ground, 256) != checker.sample_ks(ground, 256)
    assert checker.sample_ks(ground[:200], 256) == ground[:200]


def test_depth_tables_kept_in_the_cache_and_rebuilt_when_damaged(tmp_path, monkeypatch):
    count = 3000
    reference = (checker.odd_primes(count), checker.last_prime(count), checker.survivor_share(count),
                 checker.primorial(count))
    assert reference[0][-1] == reference[1] == 27457 and reference[3] == gmpy2_product(reference[0])

    def fresh(cache):
        monkeypatch.setattr(checker, "_tables", {})
        checker.use_cache(str(cache))
        return (checker.odd_primes(count), checker.last_prime(count), checker.survivor_share(count),
                checker.primorial(count))

    assert fresh(tmp_path / "cache") == reference  # built and written
    assert sorted(os.listdir(tmp_path / "cache")) == ["odd-primes-3000.product", "odd-primes-3000.txt",
                                                      "odd-primes-3000.u32"]
    # Read back without building anything.
    with monkeypatch.context() as m:
        m.setattr(checker, "_sieved_primes", None)
        m.setattr(checker.gmpy2, "primorial", None)
        assert fresh(tmp_path / "cache") == reference
    # A table cut short and a product changed are built again, and rewritten.
    for name, change in (("odd-primes-3000.u32", lambda data: data[:-4]),
                         ("odd-primes-3000.product", lambda data: data[:-1] + bytes([data[-1] ^ 1]))):
        path = tmp_path / "cache" / name
        path.write_bytes(change(path.read_bytes()))
        assert fresh(tmp_path / "cache") == reference, name
        assert fresh(tmp_path / "cache") == reference, name
    checker.use_cache(None)


def gmpy2_product(values):
    product = 1
    for q in values:
        product *= q
    return product


@pytest.mark.parametrize("gmpy2_there", [True, False])
def test_a_small_range_sieved_by_slices_and_the_product_as_by_every_prime(tmp_path, monkeypatch, gmpy2_there):
    """At t = 0 the range is sieved here with the first primes and the rest
    tried through their product; the plain sieve by every prime (the path
    without gmpy2) gives the same verdicts."""
    monkeypatch.setattr(checker, "SLICED_PRIMES", 2)
    monkeypatch.setattr(checker, "HAVE_GMPY2", gmpy2_there)
    line = Line(*TINY, SMALL_PRIMES[:12])
    for spoil, verdict in ((None, "PASS"), (drop_one, "1 k the sieve leaves are not listed"),
                           (list_removed, "1 listed k the sieve removes"),
                           (sieve_only, "k=4119 is a factor (its r is 1)")):
        spoiled = copy.deepcopy(line)
        if spoil:
            spoil(spoiled)
        folder = tmp_path / (spoil.__name__ if spoil else "honest")
        folder.mkdir()
        spoiled.write(str(folder))
        status, lines, _, _ = checker.check(str(folder / "results.txt"), str(folder / "proofs.txt"),
                                            primes=12, factors=str(folder / "factors.txt"))
        assert status == (0 if spoil is None else 1) and verdict in "\n".join(lines), lines
        assert (checker.WITHOUT_GMPY2 in lines) != gmpy2_there
