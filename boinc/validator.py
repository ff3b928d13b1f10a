#!/usr/bin/env python3
"""Validator scripts for BOINC's script_validator:
  --init_script "validator.py init --result-id result_id files"   exit 0: the result is valid
  --compare_script "validator.py compare files files2"            exit 0: the two agree
and, once before the daemon starts (and after a change of --sieve):
  validator.py prepare        checks that gmpy2 is there and builds the depths' tables
A task's output files come in the output template's order: results.txt,
factors.txt, proofs.txt. Results of workunits made before the proof file came
have the first two only; they are invalid unless --legacy admits them, to be
judged by comparison alone. The workunit's range is read from the file names
(the work generator's names); --range N1,N2,K1,K2 gives it directly.

A result is checked with the proof checker against the workunit's range and
the depths of the project's app versions (--sieve), so that a valid proof
makes it valid on its own. One whose counts pass but come within NEAR_SIGMAS
of the bound is valid, and its workunit is listed in the second-run file
(--second-runs), from which workgen.py --again makes a workunit of the same
range sent twice. Each result's pooled deviation is added to its host's
record (host_record.py); a host whose record passes its bound is listed
(--flagged-hosts), and its later results are listed for a second run too.
Without gmpy2 the validator refuses to run (exit status 2)."""

import argparse
import importlib.machinery
import importlib.util
import os
import re
import sqlite3
import sys

from host_record import HostRecord, describe, host_of_result
from result_files import OUTPUT_FILES, Invalid, Result, disagreement

FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS = 2, len(OUTPUT_FILES)
HERE = os.path.dirname(os.path.abspath(__file__))
# The checker sits beside this script on the project server (bin/), in
# scripts/ in the source tree.
CHECKER_PLACES = (os.path.join(HERE, "check-proofs"), os.path.join(os.path.dirname(HERE), "scripts", "check-proofs"))
# The sieves of the project's app versions: the host app version sieves as the
# host build does, the CUDA one on the device.
APP_VERSION_SIEVES = "host,device"
# Where the depths' prime tables and products are kept between results: a
# new process per result would otherwise build them every time (seconds and
# 700 MB at the device's 4,000,000 primes).
DEFAULT_CACHE = "quilbrex_proof_cache"
REFUSAL = ("validator.py: gmpy2 (GMP for Python) is not installed. Without it the proof checks try 16 listed k "
           "against the sieving primes instead of 256 and take minutes per result, so no result is judged. Install "
           "it: apt-get install python3-gmpy2 (Debian, Ubuntu) or pip install gmpy2.")


def have_gmpy2():
    try:
        import gmpy2  # noqa: F401
    except ImportError:
        return False
    return True


_checker = []


def load_checker():
    """The proof checker, loaded once (it keeps the depths' tables)."""
    for path in CHECKER_PLACES if not _checker else ():
        if os.path.exists(path):
            loader = importlib.machinery.SourceFileLoader("check_proofs", path)
            module = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_proofs", loader))
            loader.exec_module(module)
            _checker.append(module)
            break
    if not _checker:
        raise OSError("the proof checker is in none of %s" % ", ".join(CHECKER_PLACES))
    return _checker[0]


def load(paths, expected, legacy=True):
    if len(paths) not in (FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS):
        raise Invalid("expected %d or %d output files, got %d" % (FILES_WITHOUT_PROOFS, FILES_WITH_PROOFS, len(paths)))
    if len(paths) == FILES_WITHOUT_PROOFS and not legacy:
        raise Invalid("no proof file: only a workunit made before the proof file (sent twice) hands back two files, "
                      "and --legacy admits those")
    return Result(paths[0], paths[1], expected)


def workunit_name(path):
    """The workunit's name from an output file's: <workunit>_<replica>_<file number>."""
    return re.sub(r"_\d+_\d+$", "", os.path.basename(path))


def result_name(path):
    """The result's name from an output file's: <workunit>_<replica>."""
    return re.sub(r"_\d+$", "", os.path.basename(path))


def judge_proofs(paths, result, sieves, record):
    """The reasons to search the result's range again (none when its proofs
    pass clear of the bound and its host is not flagged); raises Invalid when
    they fail. record: (HostRecord, host, the file that lists flagged hosts)
    or None; the result's pooled deviation is added to its host's record,
    failed or not."""
    checker = load_checker()
    status, lines, worst, deviation = checker.check(paths[0], paths[2], sieves, None, result.expected,
                                                    factors=paths[1])
    reasons = []
    if record and status != 2:
        store, host, flagged_list = record
        results, total, flagged, newly = store.add(host, result_name(paths[0]), deviation)
        if newly:
            with open(flagged_list, "a") as f:
                f.write("%s, flagged at result %s\n" % (describe(host, results, total), result_name(paths[0])))
        if flagged:
            reasons.append("%s, flagged" % describe(host, results, total))
    if status != 0:
        raise Invalid("the proofs do not show the range searched:\n" + "\n".join(lines))
    if worst >= checker.NEAR_SIGMAS:
        reasons.insert(0, "a count %.1f standard deviations from its expectation (bound %.0f)"
                       % (worst, checker.SIGMAS))
    return reasons


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


def prepare(sieves):
    """Builds the tables of every depth the admitted sieves use, so that the
    first results do not wait for them."""
    checker = load_checker()
    named = [m for s in sieves for m in checker.SIEVE_GROUPS.get(s, (s,))]
    depths = sorted({checker.depth_for(s, n, width) for s in named for n in range(32, 608, 32)
                     for width in range(3, 21)})
    for count in depths:
        checker.primorial(count)
        checker.prime_table(count)
        print("%d primes: ready" % count)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("init", "compare", "prepare"))
    parser.add_argument("files", nargs="*")
    parser.add_argument("--range", type=lambda v: tuple(int(x) for x in v.split(",")))
    parser.add_argument("--sieve", default=APP_VERSION_SIEVES,
                        help="the sieves of the project's app versions, comma-separated: host (the host app "
                             "version, at the depth of whichever path its processor takes), device (the CUDA one); "
                             "the depths a proof may name (default %(default)s)")
    parser.add_argument("--second-runs", default="quilbrex_second_runs.txt",
                        help="where workunits to search again are listed")
    parser.add_argument("--legacy", action="store_true",
                        help="admit results without a proof file (workunits made before it, sent twice)")
    parser.add_argument("--cache", default=os.environ.get("QUILBREX_PROOF_CACHE", DEFAULT_CACHE),
                        help="folder for the depths' prime tables and products (default %(default)s)")
    host = parser.add_mutually_exclusive_group()
    host.add_argument("--result-id", help="the result's id (script_validator's result_id), whose host the "
                                          "project's database names")
    host.add_argument("--host", help="the result's host, where it is known without the database")
    parser.add_argument("--project-config", default="config.xml",
                        help="the project's config.xml, for the database (default %(default)s)")
    parser.add_argument("--hosts", default="quilbrex_hosts.sqlite", help="the hosts' records (default %(default)s)")
    parser.add_argument("--flagged-hosts", default="quilbrex_flagged_hosts.txt",
                        help="where hosts are listed when their record passes its bound (default %(default)s)")
    args = parser.parse_intermixed_args(argv)
    if not have_gmpy2():
        print(REFUSAL, file=sys.stderr)
        return 2
    sieves = args.sieve.split(",")
    load_checker().use_cache(args.cache)
    if args.mode == "prepare":
        prepare(sieves)
        return 0
    if not args.files:
        parser.error("%s needs the result's files" % args.mode)
    try:
        if args.mode == "init":
            result = load(args.files, args.range, args.legacy)
            if len(args.files) == FILES_WITH_PROOFS:
                record = None
                if args.host or args.result_id:
                    try:
                        host = args.host or host_of_result(args.result_id, args.project_config)
                        record = (HostRecord(args.hosts), host, args.flagged_hosts)
                    except (OSError, sqlite3.Error) as error:
                        print("no host record: %s" % error, file=sys.stderr)
                try:
                    reasons = judge_proofs(args.files, result, sieves, record)
                finally:
                    if record:
                        record[0].close()
                # A list that cannot be written makes the result invalid:
                # BOINC then sends the workunit again, which is what the
                # list would have asked for.
                if reasons:
                    with open(args.second_runs, "a") as f:
                        for reason in reasons:
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
    except (Invalid, OSError, sqlite3.Error) as e:
        # A host record that cannot be written, like a second-run list, makes
        # the result invalid, so that BOINC sends its workunit again.
        print("invalid result: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
