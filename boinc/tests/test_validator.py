"""The validator on real results of the program: complete, truncated, missing a
factor, with duplicates, from two sieve configurations, of another workunit."""

import os
import re
import shutil

import validator
from result_files import Result, SUMMARY_RE


def init(files):
    return validator.main(["init"] + list(files))


def compare(a, b):
    return validator.main(["compare"] + list(a) + list(b))


def altered(task, tmp_path, which, change, suffix="x"):
    """A copy of a task's files, under names of the same workunit, with one file changed."""
    files = []
    for index, path in enumerate(task.files()):
        copy = os.path.join(str(tmp_path), os.path.basename(path).replace("_0_", "_%s_" % suffix, 1)
                            .replace("_1_", "_%s_" % suffix, 1).replace("_2_", "_%s_" % suffix, 1))
        copy = copy[:-1] + str(index)
        shutil.copy(path, copy)
        if index == which:
            with open(copy) as f:
                text = f.read()
            with open(copy, "w") as f:
                f.write(change(text))
        files.append(copy)
    return files


RESULTS, FACTORS = 0, 1


def test_the_runs_ended_as_a_boinc_task_should(tasks):
    for task in tasks.values():
        assert task.status == 0, task.stderr
        assert "called boinc_finish(0)" in task.stderr
        with open(os.path.join(task.folder, "boinc_finish_called")) as f:
            assert f.read().split()[0] == "0"
    with open(tasks["typical"].factors) as f:
        assert f.read().splitlines()[1] == "!!! Found factor 4119*2^54+1 !!!"


def test_complete_results_are_valid_and_agree(tasks):
    for task in tasks.values():
        assert init(task.files()) == 0, task.line
    assert compare(tasks["typical"].files(), tasks["typical_again"].files()) == 0
    result = Result(*tasks["three_exponents"].files())
    assert sorted(result.log.summaries) == [54, 55, 56]


def test_truncated_results_are_invalid(tasks, tmp_path):
    cuts = {
        "before the closing record": lambda t: t[:t.index("Range is complete")],
        "before the row of dashes": lambda t: t[:t.index("-" * 80)],
        "in the middle of a line": lambda t: t[:t.index("-" * 80) + 40],
        "before the last summary": lambda t: t[:t.index("n=56: tested")],
    }
    for what, cut in cuts.items():
        assert init(altered(tasks["three_exponents"], tmp_path, RESULTS, cut, what[:6].replace(" ", ""))) == 1, what


def test_a_missing_exponent_summary_is_invalid(tasks, tmp_path):
    def drop_55(text):
        return re.sub(r"[^\n]*\nn=55: tested[^\n]*\n", "", text)
    assert init(altered(tasks["three_exponents"], tmp_path, RESULTS, drop_55)) == 1


def test_a_missing_factor(tasks, tmp_path):
    typical = tasks["typical"]
    # The factor record lost, the run log still counting it: invalid on its own.
    assert init(altered(typical, tmp_path, FACTORS, lambda t: "", "lost")) == 1
    # A result that never found it (run log and factor file agree) is valid alone
    # but disagrees with one that did.
    files = altered(typical, tmp_path, FACTORS, lambda t: "", "never")
    with open(files[RESULTS]) as f:
        text = f.read()
    with open(files[RESULTS], "w") as f:
        f.write(text.replace("Found 1 factor(s). For details see file factors.txt", "No factors found."))
    assert init(files) == 0
    assert compare(typical.files(), files) == 1
    assert compare(files, tasks["typical_again"].files()) == 1


def test_duplicate_factor_records_agree_with_single_ones(tasks, tmp_path):
    # A restart after the last checkpoint finds and records the factor again.
    files = altered(tasks["typical"], tmp_path, FACTORS, lambda t: t + t)
    with open(files[FACTORS]) as f:
        assert f.read().count("4119*2^54+1") == 2
    assert init(files) == 0
    assert compare(files, tasks["typical_again"].files()) == 0


def test_false_or_foreign_factors_are_invalid(tasks, tmp_path):
    changes = {
        "not a factor": lambda t: t.replace("4119*2^54+1", "4121*2^54+1"),
        "outside the range": lambda t: t + "Mon Dec  7 10:44:14 2026\n!!! Found factor 3*2^41+1 !!!\n",
        "not a record": lambda t: t + "garbage\n",
    }
    for what, change in changes.items():
        assert init(altered(tasks["typical"], tmp_path, FACTORS, change, what[:3].replace(" ", ""))) == 1, what


def test_two_sieve_configurations(tasks, tmp_path):
    host, other = Result(*tasks["typical"].files()), Result(*tasks["other_sieve"].files())
    # The host processor sieves deeper than a fast GPU (a Turing card here):
    # 10,000 primes where it tests on AVX-512 IFMA, 300,000 on the other paths.
    kernel, primes = host.sieve_configuration()
    assert kernel == "quilbrex96bit_n32_63" and primes in (10000, 300000)
    assert other.sieve_configuration() == ("quilbrex96bit_n32_63", 4)
    # More primes leave fewer candidates for the device; both are right.
    tested = {10000: 47, 300000: 35}[primes]
    assert host.log.summaries[54] == (tested, 1001)
    assert other.log.summaries[54] == (207, 1001)
    assert compare(tasks["typical"].files(), tasks["other_sieve"].files()) == 0

    def fewer(text):
        assert "tested %d of" % tested in text
        return text.replace("tested %d of" % tested, "tested %d of" % (tested - 1))
    # With the same sieve a different count means a range not searched in full.
    assert compare(tasks["typical"].files(), altered(tasks["typical_again"], tmp_path, RESULTS, fewer, "few")) == 1
    # Across sieves counts say nothing, so they are not compared.
    assert compare(tasks["other_sieve"].files(), altered(tasks["typical_again"], tmp_path, RESULTS, fewer, "fw2")) == 0


def test_a_result_of_another_range_is_invalid(tasks, tmp_path):
    files = []
    for index, path in enumerate(tasks["typical"].files()):
        copy = os.path.join(str(tmp_path), "quilbrex_n54-54_k4001-6001_0_%d" % index)
        shutil.copy(path, copy)
        files.append(copy)
    assert init(files) == 1
    assert validator.main(["init", "--range", "54,54,4001,5001"] + files) == 0
    assert init([tasks["typical"].results]) == 1


def test_summary_pattern_reads_every_percentage_width():
    for text in ("n=54: tested 207 of 1001 numbers (20.68%) in 0.00 seconds at inf/sec",
                 "n=54: tested 1 of 100000 numbers ( 0.00%) in 12.00 seconds at 8333/sec",
                 "n=54: tested 100 of 100 numbers (100.00%) in 1.00 seconds at 100/sec"):
        assert SUMMARY_RE.match(text), text


def test_a_restart_from_the_start_is_valid(tasks, tmp_path):
    # Quit before its first checkpoint, a task starts its line again: the run
    # log then holds a second start and the exponents summarised before it.
    def restarted(text):
        first_summary_end = text.index("\n", text.index("n=54: tested")) + 1
        return text[:first_summary_end] + text
    files = altered(tasks["three_exponents"], tmp_path, RESULTS, restarted, "again")
    with open(files[RESULTS]) as f:
        assert f.read().count("Starting range: n=54-56 and k=4001-30001") == 2
    assert init(files) == 0
    assert compare(files, tasks["three_exponents"].files()) == 0


def test_a_device_that_computed_wrongly_is_invalid(tasks, tmp_path):
    # The host check rejected a hit the device reported: its record and the note
    # on the exponent's summary, as the program writes them.
    record = "Mon Dec  7 10:44:14 2026\nRejected hit 4121*2^54+1: reported by the device, not a factor by the host check\n"
    changes = {
        "record": lambda t: t.replace("Sieve configuration", record + "Sieve configuration", 1),
        "note": lambda t: t.replace("/sec\n", "/sec, 1 hit(s) rejected by the host check\n"),
    }
    for what, change in changes.items():
        files = altered(tasks["typical"], tmp_path, RESULTS, change, what)
        assert "ejected" in open(files[RESULTS]).read()
        assert init(files) == 1, what
