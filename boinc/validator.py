#!/usr/bin/env python3
"""Validator scripts for BOINC's script_validator:
  --init_script "validator.py init files"            exit 0: the result is valid
  --compare_script "validator.py compare files files2"  exit 0: the two agree
A task's output files come in the output template's order: results.txt, factors.txt,
proofs.txt (results of app versions before the proof log carry the first two; the
proof log is not judged here yet).
The workunit's range is read from the file names (the work generator's names);
--range N1,N2,K1,K2 gives it directly."""

import argparse
import sys

from result_files import Invalid, Result, disagreement

FILES_PER_RESULT = 3
# Results of app versions before the proof log.
OLDER_FILES_PER_RESULT = 2


def load(paths, expected):
    if len(paths) not in (FILES_PER_RESULT, OLDER_FILES_PER_RESULT):
        raise Invalid("expected %d output files, got %d" % (FILES_PER_RESULT, len(paths)))
    return Result(paths[0], paths[1], expected)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("init", "compare"))
    parser.add_argument("files", nargs="+")
    parser.add_argument("--range", type=lambda v: tuple(int(x) for x in v.split(",")))
    args = parser.parse_args(argv)
    try:
        if args.mode == "init":
            load(args.files, args.range)
            return 0
        if len(args.files) not in (2 * FILES_PER_RESULT, 2 * OLDER_FILES_PER_RESULT):
            raise Invalid("compare needs the files of two results, got %d files" % len(args.files))
        half = len(args.files) // 2
        reason = disagreement(load(args.files[:half], args.range), load(args.files[half:], args.range))
        if reason:
            print("results disagree: %s" % reason, file=sys.stderr)
            return 1
        return 0
    except (Invalid, OSError) as e:
        print("invalid result: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
