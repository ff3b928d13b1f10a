"""Fixtures: the scripts importable, and real task results made by running the
BOINC build of the program (standalone) on small lines."""

import os
import shutil
import subprocess
import sys

import pytest

BOINC_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BOINC_DIR)

TYPICAL = "FermatFactor=54,54,4001,5001"


def tool(variable):
    path = os.environ.get(variable)
    if not path or not os.path.exists(path):
        pytest.skip("%s is not set: run through CTest of a build with -DQUILBREX_BOINC=ON" % variable)
    return path


class Task:
    """One run of the program on one workunit line, with its output files under
    the names the project's upload folder gives them (workunit name, replica)."""

    def __init__(self, folder, line, results, factors, status, stderr):
        self.folder, self.line, self.status, self.stderr = folder, line, status, stderr
        self.results, self.factors = results, factors

    def files(self):
        return [self.results, self.factors]


def run_task(base, line, replica=0, device=None, args=()):
    from quilbrex_lines import parse_line
    from workgen import workunit_name
    name = "%s_%d" % (workunit_name("quilbrex", parse_line(line)), replica)
    slot = os.path.join(str(base), name + "_slot")
    os.makedirs(slot)
    with open(os.path.join(slot, "worktodo.txt"), "w") as f:
        f.write(line + "\n")
    if device:
        command = [tool("QUILBREX_ON_DEVICE"), str(device[0]), str(device[1])]
    else:
        command = [tool("QUILBREX_BINARY")]
    done = subprocess.run(command + list(args), cwd=slot, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=600)
    results = os.path.join(str(base), name + "_0")
    factors = os.path.join(str(base), name + "_1")
    shutil.copy(os.path.join(slot, "results.txt"), results)
    shutil.copy(os.path.join(slot, "factors.txt"), factors)
    with open(os.path.join(slot, "stderr.txt")) as f:
        stderr = f.read()
    return Task(slot, line, results, factors, done.returncode, stderr)


@pytest.fixture(scope="session")
def tasks(tmp_path_factory):
    """Real results, made once: the typical line twice (replicas), on a device
    that sieves with other primes, and a line of three exponents."""
    base = tmp_path_factory.mktemp("results")
    return {
        "typical": run_task(base, TYPICAL, 0),
        "typical_again": run_task(base, TYPICAL, 1),
        "other_sieve": run_task(base, TYPICAL, 2, device=(7, 5)),
        "three_exponents": run_task(base, "FermatFactor=54,56,4001,30001", 0),
    }
