"""The work generator: every served candidate of an assignment in exactly one
workunit line, lines the program leaves uncut, and about the target time each."""

import hashlib
import hmac
import os
import random
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

import validator
from conftest import tool
from quilbrex_lines import K_MAX, band, needs_rewrite, parse_line, served, uniform_width, words
import workgen

# Assignments that cross bands, word-count thresholds at both ends, band 18, and the top of k.
ASSIGNMENTS = [
    (40, 100, 3, 10**13),
    (54, 54, 4001, 5001),
    (32, 63, 1048576, 1073741824),
    (60, 70, 2**31 - 5, 2**40 + 7),
    (570, 607, 2**30, 2**40),
    (95, 97, 2**63, K_MAX),
]


def served_span(n, k1, k2, width):
    """Odd k of k1..k2 whose p has `width` words at n, as (first, last), found by
    bisection on the word count alone, without the thresholds the generator uses."""
    def first_at_least(w):
        lo, hi = k1, k2 + 1
        while lo < hi:
            mid = (lo + hi) // 2
            if words(mid, n) >= w:
                hi = mid
            else:
                lo = mid + 1
        return lo
    first, end = first_at_least(width), first_at_least(width + 1) - 1
    first |= 1
    if end % 2 == 0:
        end -= 1
    return (first, end) if first <= end else None


def cut(assignment, hours=None, rate=1e9):
    """With no target, each assignment is cut into a few hundred lines at most."""
    n1, n2, k1, k2 = assignment
    target = hours * 3600 if hours else (k2 - k1) * (n2 - n1 + 1) / rate / 100
    return workgen.cut_assignment(n1, n2, k1, k2, rate, target)


def test_every_served_candidate_in_exactly_one_line():
    for assignment in ASSIGNMENTS:
        n1, n2, k1, k2 = assignment
        lines = cut(assignment)
        for n in range(n1, n2 + 1):
            pieces = sorted(((a | 1, d if d % 2 else d - 1), uniform_width(n, n, a, d))
                            for (b, c, a, d) in [(l[0], l[1], l[2], l[3]) for l in lines] if b <= n <= c)
            spans = sorted(span for width in range(band(n) + 1, band(n) + 4)
                           if served(n, width) and (span := served_span(n, k1, k2, width)))
            # Pieces of one width join without gap or overlap into that width's span.
            joined = []
            for (first, last), width in pieces:
                if joined and joined[-1][2] == width and joined[-1][1] + 2 == first:
                    joined[-1] = (joined[-1][0], last, width)
                else:
                    assert not joined or joined[-1][1] < first, (assignment, n, joined[-1], first)
                    joined.append((first, last, width))
            assert [(a, b) for a, b, _ in joined] == spans, (assignment, n)


def test_lines_have_one_width_and_need_no_rewrite():
    for assignment in ASSIGNMENTS:
        for line in cut(assignment):
            assert uniform_width(*line) is not None, line
            assert not needs_rewrite(*line), line


def test_the_program_leaves_every_line_uncut():
    lines = [line for assignment in ASSIGNMENTS for line in cut(assignment)]
    text = "".join("FermatFactor=%d,%d,%d,%d\n" % line for line in lines)
    verdicts = subprocess.run([tool("LINE_CUT_CHECK")], input=text, capture_output=True, text=True,
                              check=True).stdout.splitlines()
    assert len(verdicts) == len(lines)
    assert [v for v in verdicts if v != "uncut"] == []


def test_rewrite_rule_matches_the_program_on_random_lines():
    # needs_rewrite is the generator's own check; the program is the judge.
    rng = random.Random(11)
    lines = []
    for _ in range(3000):
        n1 = rng.randint(32, 607)
        n2 = min(607, n1 + rng.choice([0, 0, 1, 5, 31, 40]))
        k1 = rng.choice([rng.randint(2, 2**rng.randint(2, 64) - 1), 2**rng.randint(1, 63), 2**rng.randint(1, 63) + 1])
        k2 = min(K_MAX, k1 + rng.choice([0, 1, rng.randint(1, 2**rng.randint(1, 64))]))
        if k1 == k2 and k1 % 2 == 0:
            k2 += 1
        lines.append((n1, n2, k1, k2))
    text = "".join("FermatFactor=%d,%d,%d,%d\n" % line for line in lines)
    verdicts = subprocess.run([tool("LINE_CUT_CHECK")], input=text, capture_output=True, text=True,
                              check=True).stdout.splitlines()
    disagreements = [(line, v) for line, v in zip(lines, verdicts) if needs_rewrite(*line) != (v != "uncut")]
    assert disagreements == [], "seed 11: %s" % disagreements[:3]
    assert 100 < sum(v != "uncut" for v in verdicts) < 2900


def test_lines_are_about_the_target_time():
    rate, hours = 1e8, 0.5
    for assignment in ASSIGNMENTS[:4]:
        lines = cut(assignment, hours, rate)
        estimates = [workgen.seconds_for(*line, rate) for line in lines]
        assert max(estimates) <= 1.5 * hours * 3600, assignment
    # A big range gives many lines of close to the target, not a few huge ones.
    lines = cut((54, 60, 10**6, 10**13), hours, rate)
    estimates = sorted(workgen.seconds_for(*line, rate) for line in lines)
    assert len(lines) > 50 and estimates[len(lines) // 2] > 0.5 * hours * 3600


def test_writes_input_files_and_create_work_commands(tmp_path):
    out = tmp_path / "wu"
    assert workgen.main(["--n", "54", "56", "--k", "4001", "30001", "--rate", "1e6", "--hours", "1",
                         "--out", str(out), "--key", str(tmp_path / "key")]) == 0
    names = sorted(f for f in os.listdir(out) if f != "create_work.sh")
    assert names == ["quilbrex_n54-56_k4001-30001"]
    assert (out / names[0]).read_text() == "FermatFactor=54,56,4001,30001\n"
    script = (out / "create_work.sh").read_text().splitlines()
    assert script[-2] == "bin/stage_file --copy %s" % (out / names[0])
    assert script[-1].startswith("bin/create_work --appname quilbrex --wu_name quilbrex_n54-56_k4001-30001 "
                                 "--wu_template templates/quilbrex_in.xml --result_template templates/quilbrex_out.xml "
                                 "--rsc_fpops_est ")
    assert script[-1].endswith(" quilbrex_n54-56_k4001-30001")
    assert parse_line((out / names[0]).read_text()) == (54, 56, 4001, 30001)


def twin(name, percent, key):
    """The work generator's choice, told again from the name's HMAC-SHA-256 under the key."""
    return int(hmac.new(key, name.encode(), hashlib.sha256).hexdigest()[:16], 16) < percent / 100 * 2**64


def test_the_share_sent_twice_is_chosen_by_a_key_no_client_has(tmp_path):
    """The same name in the share under one key and out of it under another:
    the name alone, which every client sees, does not tell."""
    name = "quilbrex_n64-74_k4000001-8000001"
    keys = [bytes([i]) * 32 for i in range(40)]
    chosen = [workgen.sent_twice(name, 50, key) for key in keys]
    assert True in chosen and False in chosen
    assert chosen == [twin(name, 50, key) for key in keys]
    # The key is made once, readable by its owner only, outside the staged
    # files, and then read again.
    path, out = tmp_path / "project" / "quilbrex_twin.key", tmp_path / "project" / "wu"
    path.parent.mkdir()
    key = workgen.project_key(str(path), str(out))
    assert len(key) == 32 and os.stat(path).st_mode & 0o777 == 0o600
    assert workgen.project_key(str(path), str(out)) == key and key != workgen.project_key(str(tmp_path / "k2"), str(out))
    os.chmod(path, 0o640)
    with pytest.raises(ValueError, match="can be read by others than its owner: chmod 600"):
        workgen.project_key(str(path), str(out))
    with pytest.raises(ValueError, match="whose files are sent to clients"):
        workgen.project_key(str(out / "quilbrex_twin.key"), str(out))


def test_a_share_is_sent_twice(tmp_path):
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "templates",
                           "quilbrex_in.xml")) as f:
        template = ElementTree.fromstring("<template>%s</template>" % f.read())  # two elements at the top
    workunit = template.find("workunit")
    assert (workunit.findtext("min_quorum"), workunit.findtext("target_nresults")) == ("1", "1")
    second = tmp_path / "second_runs.txt"
    second.write_text("quilbrex_n54-56_k4001-30001 a count 4.5 standard deviations from its expectation (bound 5)\n"
                      "quilbrex_n60-60_k4001-9001_again a count 4.1 standard deviations from its expectation (bound 5)\n"
                      "quilbrex_n54-56_k4001-30001 a count 4.2 standard deviations from its expectation (bound 5)\n")
    key_path = tmp_path / "key"
    cases = [
        # arguments, workunits written, share sent twice (percent, None: exactly those of the list)
        (["--n", "64", "95", "--k", "1e9", "1e12"], None, 5.0),
        (["--n", "64", "95", "--k", "1e9", "1e12", "--twice", "20"], None, 20.0),
        (["--n", "64", "95", "--k", "1e9", "1e12", "--twice", "0"], None, 0.0),
        (["--n", "54", "56", "--k", "4001", "30001", "--twice", "100"], ["quilbrex_n54-56_k4001-30001"], 100.0),
        (["--again", str(second)], ["quilbrex_n54-56_k4001-30001_again", "quilbrex_n60-60_k4001-9001_again_again"],
         None),
    ]
    for index, (arguments, names, percent) in enumerate(cases):
        out = tmp_path / ("wu%d" % index)
        assert workgen.main(arguments + ["--rate", "1e8", "--hours", "0.2", "--out", str(out),
                                         "--key", str(key_path)]) == 0, arguments
        created = [line.split() for line in (out / "create_work.sh").read_text().splitlines()
                   if line.startswith("bin/create_work")]
        written = [command[command.index("--wu_name") + 1] for command in created]
        if names:
            assert written == names, arguments
        twins = [command[command.index("--wu_name") + 1] for command in created
                 if command[-5:-1] == ["--min_quorum", "2", "--target_nresults", "2"]]
        if percent is None:
            assert twins == written
            assert (out / written[1]).read_text() == "FermatFactor=60,60,4001,9001\n"
        else:
            # Those whose proof cannot catch a skip alone go twice whatever the share.
            checker = validator.load_checker()
            unsized = {name for name in written
                       if not workgen.proof_sized(parse_line((out / name).read_text()), ["host", "device"], checker)}
            key = key_path.read_bytes()
            assert twins == [name for name in written if twin(name, percent, key) or name in unsized], arguments
            sized = [name for name in written if name not in unsized]
            if len(sized) > 500:
                chosen = sum(twin(name, percent, key) for name in sized)
                assert abs(chosen - percent / 100 * len(sized)) < 4 * (len(sized) * 0.25) ** 0.5, arguments
        assert all("--min_quorum" not in command for command in created if command[command.index("--wu_name") + 1]
                   not in twins)


def proof_line(checker, exponents):
    """A line at t = 1 with about the least proof k an exponent of t > 0
    has (2,000 and a little more), sieved with 20 primes: each exponent's
    survivors, its expected proof k and their variance as the checker has
    them."""
    k1, k2 = 16777217, 16777217 + 2 * int(4100 / checker.survivor_share(20))
    assert checker.proof_bits_for(checker.expected_for_bits(k1, k2, 20)) == 1
    line = []
    for n in range(40, 40 + exponents):
        expected = checker.expected_survivors(n, k1, k2, 20)
        line.append((n, checker.sieve_survivors(n, k1, k2, 20), expected / 2, expected / 2))
    return k1, k2, line


def test_skip_tables_at_the_proof_k_the_work_generator_asks_for():
    """Skips of the sizes the work generator sizes lines for, tried on the
    checker's own tests with proof k drawn as the program's residues fall
    (each survivor a proof k with probability 2^-t): a contiguous 2 % of an
    exponent at the least proof k of t > 0, and a scattered 5 % of a line of
    LEAST_EXPONENTS exponents, are each caught in at least 99 % of the
    trials; honest lines never fail; a scattered 5 % of one exponent alone
    mostly passes, which is why lines pool their exponents."""
    checker = validator.load_checker()
    assert workgen.CONTIGUOUS_PROOFS < workgen.LEAST_PROOFS_PER_EXPONENT
    assert workgen.LEAST_EXPONENTS * workgen.LEAST_PROOFS_PER_EXPONENT >= workgen.SCATTERED_PROOFS
    rng = random.Random(5)
    k1, k2, line = proof_line(checker, workgen.LEAST_EXPONENTS)

    # Contiguous: the top 2 % (the worst place) or a random stretch of one exponent.
    n, survivors, mu, variance = line[0]
    caught = {"honest": 0, "top": 0, "anywhere": 0}
    trials = 300
    for _ in range(trials):
        bits = rng.getrandbits(len(survivors))
        proofs = [k for i, k in enumerate(survivors) if bits >> i & 1]
        start = rng.randrange(k1, k2 - int(0.02 * (k2 - k1)))
        for how, skipped in (("honest", (0, 0)), ("top", (k2 - int(0.02 * (k2 - k1)), k2 + 1)),
                             ("anywhere", (start, start + int(0.02 * (k2 - k1))))):
            listed = [k for k in proofs if not skipped[0] <= k < skipped[1]]
            caught[how] += bool(checker.count_problem(len(listed), mu, variance)
                                or checker.gap_problem(listed, k1, k2, mu))
    assert caught["honest"] == 0 and caught["top"] >= 0.99 * trials and caught["anywhere"] >= 0.99 * trials, caught

    # Scattered: one candidate in 20 never searched, the counts kept; only the
    # counts can tell, per exponent and pooled over the line.
    def line_caught(skip_every, exponents):
        counts, expected, variances = [], 0.0, 0.0
        problems = []
        for n, survivors, mu, variance in exponents:
            searched = len(survivors) - (len(survivors) // skip_every if skip_every else 0)
            counts.append(bin(rng.getrandbits(searched)).count("1"))
            problems.append(checker.count_problem(counts[-1], mu, variance))
            expected += mu
            variances += variance
        return any(problems) or checker.count_problem(sum(counts), expected, variances) is not None

    trials = 1000
    pooled = sum(line_caught(20, line) for _ in range(trials))
    honest = sum(line_caught(0, line) for _ in range(trials))
    alone = sum(line_caught(20, line[:1]) for _ in range(trials))
    assert sum(mu for _, _, mu, _ in line) >= workgen.SCATTERED_PROOFS
    assert (honest, pooled >= 0.99 * trials, alone < 0.2 * trials) == (0, True, True), (honest, pooled, alone)
    # The work generator's figures are the bounds of these.
    assert workgen.caught_contiguous(0.02, mu) >= 0.99 and workgen.caught_scattered(0.05, 2 * mu) < 0.2


def test_the_largest_proof_file_fits_the_output_template():
    """32 exponents, each at most 4,000 proof k expected plus 5 standard
    deviations, records as long as they get: within proofs.txt's max_nbytes."""
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "templates",
                           "quilbrex_out.xml")) as f:
        template = ElementTree.fromstring("<template>%s</template>" % f.read())
    cap = int(template.findall("file_info")[2].findtext("max_nbytes"))
    longest = len("n=607 t=63 k=%d\n" % K_MAX)
    closing = len("n=607 t=63 tested=%d proofs=9999 primes=4000000 r=2^-(2^(n-1))\n" % K_MAX)
    assert 32 * ((4000 + 5 * 4000 ** 0.5) * longest + closing) < cap
