"""The validator on real results of the program: complete, truncated, missing a
factor, with duplicates, from two sieve configurations, of another workunit."""

import copy
import os
import random
import re
import shutil
import subprocess
import sys

import pytest

import host_record
import validator
from result_files import Result, SUMMARY_RE


# The program's own device (the host build's depths) and a graphics device of
# the high class, which sieves on the host (quilbrex_on_device 7 5).
SIEVES_HERE = "host,high"


def init(files):
    return validator.main(["init", "--sieve", SIEVES_HERE] + list(files))


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


RESULTS, FACTORS, PROOFS = 0, 1, 2


def test_the_runs_ended_as_a_boinc_task_should(tasks):
    for task in tasks.values():
        assert task.status == 0, task.stderr
        assert "called boinc_finish(0)" in task.stderr
        with open(os.path.join(task.folder, "boinc_finish_called")) as f:
            assert f.read().split()[0] == "0"
    with open(tasks["typical"].factors) as f:
        assert f.read().splitlines()[1] == "!!! Found factor 4119*2^54+1 !!!"
    # The typical line's candidates at the host's depth (47 at 10,000 primes on
    # AVX-512 IFMA, 35 at 300,000 on the other paths) are too few for t > 0:
    # every one is a proof k.
    with open(tasks["typical"].proofs) as f:
        records = f.read().splitlines()
    assert records[-1] in ("n=54 t=0 tested=47 proofs=47 primes=10000 r=2^-(2^(n-1))",
                           "n=54 t=0 tested=35 proofs=35 primes=300000 r=2^-(2^(n-1))")
    tested = int(records[-1].split()[2][len("tested="):])
    assert len(records) == tested + 1 and "n=54 t=0 k=4119" in records


def test_complete_results_are_valid_and_agree(tasks):
    for task in tasks.values():
        assert init(task.files()) == 0, task.line
    assert compare(tasks["typical"].files(), tasks["typical_again"].files()) == 0
    result = Result(*tasks["three_exponents"].files()[:PROOFS])
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


def test_a_missing_factor(tasks, tmp_path, capsys):
    typical = tasks["typical"]
    # The factor record lost, the run log still counting it: invalid on its own.
    assert init(altered(typical, tmp_path, FACTORS, lambda t: "", "lost")) == 1
    # A result that never found it (run log and factor file agree): its range
    # is small enough for t = 0, so the validator computes every listed k's
    # residue itself and finds the factor missing; a twin would disagree too.
    files = altered(typical, tmp_path, FACTORS, lambda t: "", "never")
    with open(files[RESULTS]) as f:
        text = f.read()
    with open(files[RESULTS], "w") as f:
        f.write(text.replace("Found 1 factor(s). For details see file factors.txt", "No factors found."))
    assert init(files) == 1
    assert "k=4119 is a factor (its r is 1), but factors.txt holds no record of it" in capsys.readouterr().err
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
    host, other = Result(*tasks["typical"].files()[:PROOFS]), Result(*tasks["other_sieve"].files()[:PROOFS])
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
    # App versions before the proof log did so (the program now continues its
    # own records), so the result has no proof file: valid only where the
    # project still admits such results, from workunits sent twice.
    files = altered(tasks["three_exponents"], tmp_path, RESULTS, restarted, "again")[:PROOFS]
    with open(files[RESULTS]) as f:
        assert f.read().count("Starting range: n=54-56 and k=4001-30001") == 2
    assert init(files) == 1
    assert init(files + ["--legacy"]) == 0
    assert compare(files, tasks["three_exponents"].files()[:PROOFS]) == 0


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


# Results with a proof file, made by an independent reference (trial division
# and Python's pow over every survivor; scripts/tests) on the proof checker's
# wide line, sieved as a graphics device of the medium class sieves width 3.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "scripts", "tests"))
import test_check_proofs as proofs  # noqa: E402

PROOF_LINE = proofs.WIDE
PROOF_NAME = "quilbrex_n%d-%d_k%d-%d" % PROOF_LINE
_honest = []


def proof_result(tmp_path, replica, spoil=None, name=PROOF_NAME):
    """The three output files of one result, under the upload folder's names."""
    if not _honest:
        _honest.append(proofs.Line(*PROOF_LINE, proofs.SMALL_PRIMES))
    line = copy.deepcopy(_honest[0])
    if spoil:
        spoil(line)
    folder = tmp_path / ("made_%s_%d" % (name, replica))
    folder.mkdir()
    line.write(str(folder))
    (folder / "factors.txt").write_text("")
    files = []
    for index, made in enumerate(("results.txt", "factors.txt", "proofs.txt")):
        path = tmp_path / ("%s_%d_%d" % (name, replica, index))
        shutil.copy(str(folder / made), str(path))
        files.append(str(path))
    return files


def near_bound(line, sigmas):
    """The proof count of the middle exponent this many standard deviations
    low: honest, but as far from its expectation as a search may rarely be."""
    n, t, tested, ks = line.exponents[1]
    expected = proofs.checker.expected_survivors(n, PROOF_LINE[2], PROOF_LINE[3], len(proofs.SMALL_PRIMES))
    share = 0.5 ** t
    sigma = (expected * share * (1 - share) + share * share * expected) ** 0.5
    # Left out evenly over the range, where the gaps stay short.
    drop = len(ks) - int(expected * share - sigmas * sigma)
    left_out = {len(ks) * (2 * i + 1) // (2 * drop) for i in range(drop)}
    ks[:] = [k for i, k in enumerate(ks) if i not in left_out]


PROOF_CASES = [
    # name, spoil, sieves admitted, exit status, second-run record, text on standard error
    ("honest", None, "medium", 0, None, None),
    ("honest, two sieves admitted", None, "host,medium", 0, None, None),
    ("a depth no app version of the project sieves with", None, "host,device", 1, None,
     "primes=20 is none of the program's depths at 3 words (10000, 300000, 4000000)"),
    ("15 % skipped, full count claimed", lambda l: proofs.skip_top(l, 0.15, False), "medium", 1, None, "proof k, "),
    ("15 % skipped, counted honestly", lambda l: proofs.skip_top(l, 0.15, True), "medium", 1, None,
     "but the sieve leaves"),
    ("residue lacks the property", lambda l: proofs.replace_proof(l, 1, 16777217, 16857217), "medium", 1, None,
     "does not end in 2 zero bits"),
    ("deeper sieve named than used", lambda l: proofs.claim_deeper(l, 100), "low,medium", 1, None,
     "a prime among the first 100 divides its p"),
    ("near the bound", lambda l: near_bound(l, 4.5), "medium", 0,
     PROOF_NAME + " a count 4.5 standard deviations from its expectation (bound 5)\n", None),
    ("beyond the bound", lambda l: near_bound(l, 5.1), "medium", 1, None, "proof k, 2521 expected (+- 251)"),
    ("an exponent short of the workunit", lambda l: l.exponents.pop(), "medium", 1, None, "n=42 has no summary"),
]


@pytest.mark.parametrize("name,spoil,sieves,status,second_run,text", PROOF_CASES, ids=[c[0] for c in PROOF_CASES])
def test_results_with_proofs(tmp_path, capsys, name, spoil, sieves, status, second_run, text):
    runs = tmp_path / "second_runs.txt"
    files = proof_result(tmp_path, 0, spoil)
    assert validator.main(["init", "--sieve", sieves, "--second-runs", str(runs)] + files) == status
    assert (runs.read_text() if runs.exists() else None) == second_run
    if text:
        assert text in capsys.readouterr().err
    if status == 0:
        # Brought near the bound by proof k left out, which an honest twin lists.
        assert compare(files, proof_result(tmp_path, 1)) == (1 if second_run else 0)


def test_proofs_of_another_workunit_are_invalid(tmp_path):
    # The range comes from the workunit, never from the result: the same files
    # under the name of a wider workunit are invalid.
    files = proof_result(tmp_path, 0, name="quilbrex_n40-43_k16777217-16857217")
    assert validator.main(["init", "--sieve", "medium"] + files) == 1
    assert validator.main(["init", "--sieve", "medium", "--range", "40,42,16777217,16857217"] + files) == 0
    assert validator.main(["init", "--sieve", "medium", "--range", "40,42,16777217,16857219"] + files) == 1


def test_the_output_template_names_the_files_in_the_validators_order():
    import xml.etree.ElementTree as ElementTree
    from result_files import OUTPUT_FILES
    with open(os.path.join(validator.HERE, "templates", "quilbrex_out.xml")) as f:
        template = ElementTree.fromstring("<template>%s</template>" % f.read())
    infos = template.findall("file_info")
    assert [info.find("name")[0].tag for info in infos] == ["OUTFILE_0", "OUTFILE_1", "OUTFILE_2"]
    assert all(info.find("optional") is None and info.find("upload_when_present") is not None for info in infos)
    refs = template.find("result").findall("file_ref")
    assert [(ref.find("file_name")[0].tag, ref.findtext("open_name")) for ref in refs] == [
        ("OUTFILE_%d" % i, name) for i, name in enumerate(OUTPUT_FILES)]
    assert OUTPUT_FILES == ("results.txt", "factors.txt", "proofs.txt")


def deeper(line):
    """The same line searched honestly by a device of the low class (100 primes)."""
    deep = proofs.Line(*PROOF_LINE, proofs.checker.odd_primes(100))
    line.depth, line.exponents = deep.depth, deep.exponents


def lose_one(line):
    """A faulty host: one residue of the middle exponent computed wrongly, so one
    proof k fewer; every count still passes."""
    n, t, tested, ks = line.exponents[1]
    ks.pop(len(ks) // 2)


COMPARE_CASES = [
    # name, spoil of the second result, exit status, text on standard error
    ("both honest, one sieve", None, 0, None),
    ("both honest, two sieves", deeper, 0, None),
    ("one proof k lost", lose_one, 1, "results disagree: n=41: 1 proof k of one result missing from the other"),
    ("one proof k lost, other sieve", lambda l: (deeper(l), lose_one(l)), 1,
     "results disagree: n=41: 1 proof k of one result missing from the other"),
]


@pytest.mark.parametrize("name,spoil,status,text", COMPARE_CASES, ids=[c[0] for c in COMPARE_CASES])
def test_twins_compared_by_their_proofs(tmp_path, capsys, name, spoil, status, text):
    first, second = proof_result(tmp_path, 0), proof_result(tmp_path, 1, spoil)
    assert validator.main(["init", "--sieve", "low,medium"] + second) == 0
    capsys.readouterr()
    for a, b in ((first, second), (second, first)):
        assert compare(a, b) == status, name
        err = capsys.readouterr().err
        assert (text in err) if text else err == "", err


@pytest.mark.parametrize("mode", ["init", "compare", "prepare"])
def test_a_validator_without_gmpy2_refuses(tmp_path, mode):
    """Without gmpy2 the proof checks would try a sixteenth of the sample
    against the sieve and take minutes: the validator judges nothing, and
    says how to install it."""
    hidden = tmp_path / "hidden"
    hidden.mkdir()
    (hidden / "gmpy2.py").write_text("raise ImportError('hidden by the test')\n")
    files = {"init": lambda: proof_result(tmp_path, 0),
             "compare": lambda: proof_result(tmp_path, 0) + proof_result(tmp_path, 1), "prepare": list}[mode]()
    run = subprocess.run([sys.executable, os.path.join(validator.HERE, "validator.py"), mode] + files,
                         env=dict(os.environ, PYTHONPATH=str(hidden)), capture_output=True, text=True, cwd=str(tmp_path))
    assert (run.returncode, run.stdout, run.stderr) == (2, "", validator.REFUSAL + "\n")
    assert "apt-get install python3-gmpy2" in validator.REFUSAL and "pip install gmpy2" in validator.REFUSAL


def test_prepare_builds_the_tables_of_every_admitted_depth(tmp_path, capsys, monkeypatch):
    cache = tmp_path / "cache"
    # A class of devices with three depths, none of them an exception.
    monkeypatch.setitem(validator.load_checker().DEPTHS, "high", [4, 50, 1000] * 6)
    monkeypatch.setattr(validator.load_checker(), "GRAPHICS_EXCEPTIONS", {})
    assert validator.main(["prepare", "--sieve", "high", "--cache", str(cache)]) == 0
    depths = [4, 50, 1000]
    assert capsys.readouterr().out == "".join("%d primes: ready\n" % count for count in depths)
    assert sorted(os.listdir(cache)) == sorted("odd-primes-%d.%s" % (count, suffix) for count in depths
                                               for suffix in ("product", "txt", "u32"))


def all_low(line, sigmas):
    """Every exponent's proof count this many standard deviations low, the
    proof k left out evenly over the range."""
    for e in line.exponents:
        n, t, tested, ks = e
        expected = proofs.checker.expected_survivors(n, PROOF_LINE[2], PROOF_LINE[3], len(proofs.SMALL_PRIMES))
        share = 0.5 ** t
        drop = len(ks) - int(expected * share - sigmas * (expected * share) ** 0.5)
        left_out = {len(ks) * (2 * i + 1) // (2 * drop) for i in range(drop)}
        e[3] = [k for i, k in enumerate(ks) if i not in left_out]


def simulated_results(rng, skip, mu=3000, t=2):
    """The pooled deviations of one host's results, one exponent each with mu
    proof k expected at t: its tested count spread as the sieve spreads it
    (0.72 sqrt(E), measured), skip of its candidates never searched (its
    count kept), and each searched one a proof k with probability 2^-t (the
    residues' low bits are uniform, measured)."""
    tested_expected = mu << t
    variance = tested_expected * 0.5 ** t * (1 - 0.5 ** t) + 0.25 ** t * tested_expected
    while True:
        searched = round(rng.gauss(tested_expected, 0.72 * tested_expected ** 0.5) * (1 - skip))
        found = rng.getrandbits(searched)
        for _ in range(t - 1):
            found &= rng.getrandbits(searched)
        yield (bin(found).count("1") - mu) / variance ** 0.5


def test_a_hosts_record_flags_a_host_that_skips_and_never_an_honest_one(tmp_path):
    record = host_record.HostRecord(":memory:")
    rng = random.Random(33)
    for host in range(20):
        results = simulated_results(rng, 0.0)
        for index in range(100):
            assert record.add("honest%d" % host, "h%d_%d" % (host, index), next(results))[2] is False, (host, index)
    # Skipping 3 % at mu = 3,000: -1.64 standard deviations per result on
    # average, so the sum crosses 5 sqrt(results) after about 9.
    flagged_after = []
    for host in range(20):
        results = simulated_results(rng, 0.03)
        for index in range(1, 41):
            count, total, flagged, newly = record.add("skipper%d" % host, "s%d_%d" % (host, index), next(results))
            if flagged:
                assert newly and count == index and total < -5 * count ** 0.5
                flagged_after.append(index)
                break
    assert len(flagged_after) == 20 and max(flagged_after) <= 25, flagged_after
    assert 6 <= sorted(flagged_after)[10] <= 14, flagged_after
    # A result judged again is counted once.
    assert record.add("honest0", "h0_5", -100.0) == record.add("honest0", "h0_5", -100.0)
    assert record.add("honest0", "h0_5", -100.0)[0] == 100


def test_a_flagged_hosts_later_results_are_searched_again(tmp_path, capsys):
    listed, runs, hosts = tmp_path / "flagged.txt", tmp_path / "second_runs.txt", tmp_path / "hosts.sqlite"
    common = ["init", "--sieve", "medium", "--hosts", str(hosts), "--flagged-hosts", str(listed),
              "--second-runs", str(runs)]
    # Two results of host 7 whose pooled counts are 4.7 standard deviations
    # low (2.7 per exponent): each passes alone, the second flags the host.
    for replica in (0, 1):
        assert validator.main(common + ["--host", "7"] + proof_result(tmp_path, replica, lambda l: all_low(l, 2.7))) == 0
    assert validator.main(common + ["--host", "7"] + proof_result(tmp_path, 2, lambda l: all_low(l, 2.7))) == 0
    assert re.fullmatch(r"host 7: 2 result\(s\), their deviations summing to -9\.\d, -6\.\d standard deviations "
                        r"of the sum \(bound 5\), flagged at result %s_1\n" % PROOF_NAME, listed.read_text())
    assert runs.read_text().count(PROOF_NAME + " host 7: ") == 2  # the result that flagged it, and the next
    # The next result of the flagged host, honest, is listed again; one of
    # another host is not; a result judged twice counts once.
    flagged_hosts_next, other_hosts = proof_result(tmp_path, 3), proof_result(tmp_path, 4)
    for host, files in (("7", flagged_hosts_next), ("8", other_hosts), ("8", other_hosts)):
        assert validator.main(common + ["--host", host] + files) == 0
    assert runs.read_text().count(PROOF_NAME + " host 7: 4 result(s)") == 1
    assert "host 8" not in runs.read_text()
    record = host_record.HostRecord(str(hosts))
    assert record.add("8", "other", 0.0)[0] == 2


def test_the_host_is_the_one_the_project_database_names(tmp_path, monkeypatch, capsys):
    """script_validator passes the result's id; the project's database names
    its host (a stand-in mysql client here answers as the database would)."""
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    client = bin_folder / "mysql"
    client.write_text("#!/bin/sh\n"
                      "[ \"$MYSQL_PWD\" = secret ] || { echo 'Access denied' >&2; exit 1; }\n"
                      "case \"$*\" in\n"
                      "  '--batch --skip-column-names --database quilbrex --execute select hostid from result where "
                      "id = 345 --host db.example --user boincadm') echo 12 ;;\n"
                      "  *) echo \"no such result: $*\" >&2; exit 1 ;;\n"
                      "esac\n")
    client.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (bin_folder, os.environ["PATH"]))
    config = tmp_path / "config.xml"
    config.write_text("<boinc>\n<config>\n  <db_name>quilbrex</db_name>\n  <db_host>db.example</db_host>\n"
                      "  <db_user>boincadm</db_user>\n  <db_passwd>secret</db_passwd>\n</config>\n</boinc>\n")
    hosts = tmp_path / "hosts.sqlite"
    common = ["init", "--sieve", "medium", "--project-config", str(config), "--hosts", str(hosts),
              "--second-runs", str(tmp_path / "runs.txt")]
    assert validator.main(common + ["--result-id", "345"] + proof_result(tmp_path, 0)) == 0
    assert capsys.readouterr().err == ""
    assert host_record.HostRecord(str(hosts)).add("12", "later", 0.0)[0] == 2
    # A host the database does not name leaves the result judged by its proof alone.
    assert validator.main(common + ["--result-id", "999"] + proof_result(tmp_path, 1)) == 0
    assert capsys.readouterr().err.startswith("no host record: the project's database names no host for result 999: "
                                              "no such result: ")
