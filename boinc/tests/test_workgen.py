"""The work generator: every served candidate of an assignment in exactly one
workunit line, lines the program leaves uncut, and about the target time each."""

import hashlib
import os
import random
import subprocess
import xml.etree.ElementTree as ElementTree

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
                         "--out", str(out)]) == 0
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


def twin(name, percent):
    """The work generator's choice, told again from the name's SHA-256."""
    return int(hashlib.sha256(name.encode()).hexdigest()[:16], 16) < percent / 100 * 2**64


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
    cases = [
        # arguments, workunits written, share sent twice (percent, None: exactly those of the list)
        (["--n", "54", "60", "--k", "4001", "1e11"], None, 5.0),
        (["--n", "54", "60", "--k", "4001", "1e11", "--twice", "20"], None, 20.0),
        (["--n", "54", "60", "--k", "4001", "1e11", "--twice", "0"], None, 0.0),
        (["--n", "54", "56", "--k", "4001", "30001", "--twice", "100"], ["quilbrex_n54-56_k4001-30001"], 100.0),
        (["--again", str(second)], ["quilbrex_n54-56_k4001-30001_again", "quilbrex_n60-60_k4001-9001_again_again"],
         None),
    ]
    for index, (arguments, names, percent) in enumerate(cases):
        out = tmp_path / ("wu%d" % index)
        assert workgen.main(arguments + ["--rate", "1e6", "--hours", "0.2", "--out", str(out)]) == 0, arguments
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
            assert twins == [name for name in written if twin(name, percent)], arguments
            if len(written) > 500:
                assert abs(len(twins) - percent / 100 * len(written)) < 4 * (len(written) * 0.25) ** 0.5, arguments
        assert all("--min_quorum" not in command for command in created if command[command.index("--wu_name") + 1]
                   not in twins)
