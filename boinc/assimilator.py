#!/usr/bin/env python3
"""Assimilator script for BOINC's script_assimilator:
  --script "assimilator.py wu_name files"   adds the canonical result's factors
  failures arrive as "assimilator.py --error N wu_name"
Keeps one sorted, duplicate-free master list of factors (k*2^n+1 per line, by n
then k) and a log of failed workunits."""

import argparse
import fcntl
import os
import sys
import time

from result_files import Invalid, is_factor, read_factors

# BOINC's workunit error mask bits.
WU_ERRORS = {1: "couldn't send result", 2: "too many error results", 4: "too many success results",
             8: "too many total results", 16: "cancelled", 32: "no canonical result"}


def log(path, text):
    with open(path, "a") as f:
        f.write("%s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime()), text))


def read_master(path):
    factors = set()
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                k, n = line.strip().split("*2^")
                factors.add((int(n[:-2]), int(k)))
    return factors


def write_master(path, factors):
    """Replaces the list whole, so a crash leaves the old list or the new one."""
    temporary = path + ".new"
    with open(temporary, "w") as f:
        for n, k in sorted(factors):
            f.write("%d*2^%d+1\n" % (k, n))
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--error", type=int, help="the workunit failed with this error mask")
    parser.add_argument("--master", default="quilbrex_factors.txt")
    parser.add_argument("--failed", default="quilbrex_failed.txt")
    parser.add_argument("workunit")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)

    if args.error is not None:
        reasons = [text for bit, text in sorted(WU_ERRORS.items()) if args.error & bit] or ["unknown"]
        log(args.failed, "workunit %s failed: error %d (%s)" % (args.workunit, args.error, ", ".join(reasons)))
        return 0

    found = set()
    for path in args.files:
        try:
            records = read_factors(path)
        except Invalid:
            continue  # results.txt, or anything else that holds no factor records
        for n, k in records:
            if is_factor(k, n):
                found.add((n, k))
            else:
                log(args.failed, "workunit %s: %d*2^%d+1 in %s is not a factor; left out" % (args.workunit, k, n, path))
    # One assimilator at a time may rewrite the list.
    with open(args.master + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        master = read_master(args.master)
        if not found <= master or not os.path.exists(args.master):
            write_master(args.master, master | found)
    return 0


if __name__ == "__main__":
    sys.exit(main())
