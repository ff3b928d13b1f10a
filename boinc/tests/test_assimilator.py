"""The assimilator: one sorted, duplicate-free master list of verified factors
from canonical results, and a log of failed workunits."""

import os

import assimilator


def test_master_list_is_sorted_and_free_of_duplicates(tasks, tmp_path):
    master, failed = str(tmp_path / "factors.txt"), str(tmp_path / "failed.txt")
    options = ["--master", master, "--failed", failed]
    extra = tmp_path / "extra_1"
    # Records as a task writes them: a larger exponent first, a duplicate, a smaller k.
    extra.write_text("Mon Dec  7 10:44:14 2026\n!!! Found factor 5*2^39+1 !!!\n"
                     "Mon Dec  7 10:44:14 2026\n!!! Found factor 4119*2^54+1 !!!\n"
                     "Mon Dec  7 10:44:14 2026\n!!! Found factor 5*2^39+1 !!!\n")
    assert assimilator.main(options + ["wu_a"] + tasks["typical"].files()) == 0
    assert open(master).read() == "4119*2^54+1\n"
    assert assimilator.main(options + ["wu_b", str(extra)]) == 0
    assert assimilator.main(options + ["wu_c"] + tasks["typical_again"].files()) == 0
    assert open(master).read() == "5*2^39+1\n4119*2^54+1\n"
    assert not os.path.exists(failed)


def test_false_factors_are_left_out_and_logged(tmp_path):
    master, failed = str(tmp_path / "factors.txt"), str(tmp_path / "failed.txt")
    bad = tmp_path / "bad_1"
    bad.write_text("Mon Dec  7 10:44:14 2026\n!!! Found factor 4121*2^54+1 !!!\n")
    assert assimilator.main(["--master", master, "--failed", failed, "wu_bad", str(bad)]) == 0
    assert open(master).read() == ""
    assert "workunit wu_bad: 4121*2^54+1" in open(failed).read()


def test_failed_workunits_are_logged(tmp_path):
    master, failed = str(tmp_path / "factors.txt"), str(tmp_path / "failed.txt")
    assert assimilator.main(["--master", master, "--failed", failed, "--error", "34", "quilbrex_n54-54_k4001-5001"]) == 0
    log = open(failed).read()
    assert log.endswith(" workunit quilbrex_n54-54_k4001-5001 failed: error 34 "
                        "(too many error results, no canonical result)\n")
    assert not (tmp_path / "factors.txt").exists()
