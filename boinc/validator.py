#!/usr/bin/env python3
"""Validator scripts for BOINC's script_validator:
  --init_script "validator.py init files"               exit 0: the result is valid
  --compare_script "validator.py compare files files2"  exit 0: the two agree
A task's output files come in the output template's order: results.txt,
factors.txt, proofs.txt (results of workunits made before the proof file came
have the first two only, and are judged by comparison alone). The workunit's
range is read from the file names (the work generator's names); --range
N1,N2,K1,K2 gives it directly.

A result with a proof file is checked with the proof checker against the
workunit's range and the depths of the project's app versions (--sieve), so
that a valid proof makes it valid on its own. One whose counts pass but come
within NEAR_SIGMAS of the bound is valid, and its workunit is listed in the
second-run file (--second-runs), from which workgen.py --again makes a
workunit of the same range sent twice."""

import argparse
import importlib.machinery
import importlib.util
import os
import re
import sys

from result_files import OUTPUT_FILES, Invalid, Result, disagreement

FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS = 2, len(OUTPUT_FILES)
HERE = os.path.dirname(os.path.abspath(__file__))
# The checker sits beside this script on the project server (bin/), in
# scripts/ in the source tree.
CHECKER_PLACES = (os.path.join(HERE, "check-proofs"), os.path.join(os.path.dirname(HERE), "scripts", "check-proofs"))
# The sieves of the project's app versions: the host app version sieves as the
# host build does, the CUDA one on the device.
APP_VERSION_SIEVES = "host,device"


def load_checker():
    for path in CHECKER_PLACES:
        if os.path.exists(path):
            loader = importlib.machinery.SourceFileLoader("check_proofs", path)
            module = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_proofs", loader))
            loader.exec_module(module)
            return module
    raise OSError("the proof checker is in none of %s" % ", ".join(CHECKER_PLACES))


def load(paths, expected):
    if len(paths) not in (FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS):
        raise Invalid("expected %d or %d output files, got %d" % (FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS, len(paths)))
    return Result(paths[0], paths[1], expected)


def workunit_name(path):
    """The workunit's name from an output file's: <workunit>_<replica>_<file number>."""
    return re.sub(r"_\d+_\d+$", "", os.path.basename(path))


def judge_proofs(paths, result, sieves):
    """None when the result's proofs pass clear of the bound, else the
    reason to search its range again; raises Invalid when they fail."""
    checker = load_checker()
    status, lines, worst, _ = checker.check(paths[0], paths[2], sieves, None, result.expected, factors=paths[1])
    if status != 0:
        raise Invalid("the proofs do not show the range searched:\n" + "\n".join(lines))
    if worst >= checker.NEAR_SIGMAS:
        return "a count %.1f standard deviations from its expectation (bound %.0f)" % (worst, checker.SIGMAS)
    return None


def proof_disagreement(paths_a, paths_b):
    """Why the proof files of two results of one workunit disagree, or None. A
    proof k of one that the other's sieve leaves, where the other's t asks no
    more zero bits, is a residue the other computed wrongly or never."""
    checker = load_checker()
    blocks = [{n: (t, set(ks), end[2]) for n, t, ks, end in checker.read_proofs(paths[2])}
              for paths in (paths_a, paths_b)]
    for one, other in ((0, 1), (1, 0)):
        for n, (t, ks, _) in sorted(blocks[one].items()):
            if n not in blocks[other]:
                continue
            t_other, ks_other, depth_other = blocks[other][n]
            if t < t_other:
                continue
            tested_by_other = sorted(set(ks) - ks_other)
            removed = set(checker.with_small_factor(tested_by_other, n, depth_other))
            lacking = [k for k in tested_by_other if k not in removed]
            if lacking:
                return "n=%d: %d proof k of one result missing from the other, the first k=%d" % (
                    n, len(lacking), lacking[0])
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("init", "compare"))
    parser.add_argument("files", nargs="+")
    parser.add_argument("--range", type=lambda v: tuple(int(x) for x in v.split(",")))
    parser.add_argument("--sieve", default=APP_VERSION_SIEVES,
                        help="the sieves of the project's app versions, comma-separated: host (the host app "
                             "version, at the depth of whichever path its processor takes), device (the CUDA one); "
                             "the depths a proof may name (default %(default)s)")
    parser.add_argument("--second-runs", default="quilbrex_second_runs.txt",
                        help="where workunits to search again are listed")
    args = parser.parse_args(argv)
    sieves = args.sieve.split(",")
    try:
        if args.mode == "init":
            result = load(args.files, args.range)
            if len(args.files) == FILES_WITH_PROOFS:
                reason = judge_proofs(args.files, result, sieves)
                if reason:
                    # A list that cannot be written makes the result invalid:
                    # BOINC then sends the workunit again, which is what the
                    # list would have asked for.
                    with open(args.second_runs, "a") as f:
                        f.write("%s %s\n" % (workunit_name(args.files[0]), reason))
            return 0
        half = len(args.files) // 2
        if len(args.files) % 2 or half not in (FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS):
            raise Invalid("compare needs the files of two results, got %d files" % len(args.files))
        reason = disagreement(load(args.files[:half], args.range), load(args.files[half:], args.range))
        if not reason and half == FILES_WITH_PROOFS:
            reason = proof_disagreement(args.files[:half], args.files[half:])
        if reason:
            print("results disagree: %s" % reason, file=sys.stderr)
            return 1
        return 0
    except (Invalid, OSError) as e:
        print("invalid result: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
