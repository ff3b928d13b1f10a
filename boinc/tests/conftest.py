"""Fixtures: the scripts importable, and real task results made by running the
BOINC build of the program (standalone) on small lines."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

BOINC_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BOINC_DIR)

import app_version  # noqa: E402  (importable only once BOINC_DIR is on the path)

TYPICAL = "FermatFactor=54,54,4001,5001"


def tool(variable):
    path = os.environ.get(variable)
    if not path or not os.path.exists(path):
        pytest.skip("%s is not set: run through CTest of a build with -DQUILBREX_BOINC=ON" % variable)
    return path


class AppVersion:
    """An assembled app version as the project's update_versions would read it:
    the folder's name, its version.xml, and the API version marker of its main
    program."""

    def __init__(self, version_xml):
        self.folder = os.path.dirname(version_xml)
        parts = self.folder.split(os.sep)
        self.app, self.version, variant = parts[-3], parts[-2], parts[-1]
        self.platform, _, self.plan_class = variant.partition("__")
        major, minor = self.version.split(".")
        self.version_num = int(major) * 100 + int(minor)
        self.files = app_version.read_version(self.folder)
        main = [f for f in self.files if f.main]
        self.main = main[0] if len(main) == 1 else None
        self.api_version = None
        if self.main:
            with open(os.path.join(self.folder, self.main.physical), "rb") as f:
                m = re.search(rb"API_VERSION_([0-9.]+[0-9])", f.read())
            self.api_version = m.group(1).decode() if m else None


def app_versions():
    """Every app version assembled by the build (make boinc-app, or any build of
    build-boinc)."""
    root = tool("QUILBREX_APP_VERSIONS")
    found = [AppVersion(path) for path in sorted(glob.glob(os.path.join(root, "*", "*", "*", "version.xml")))]
    if not found:
        pytest.fail("no app version assembled in %s" % root)
    return found


class Task:
    """One run of the program on one workunit line, with its output files under
    the names the project's upload folder gives them (workunit name, replica)."""

    def __init__(self, folder, line, results, factors, proofs, status, stderr):
        self.folder, self.line, self.status, self.stderr = folder, line, status, stderr
        self.results, self.factors, self.proofs = results, factors, proofs

    def files(self):
        return [self.results, self.factors, self.proofs]


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
    proofs = os.path.join(str(base), name + "_2")
    shutil.copy(os.path.join(slot, "proofs.txt"), proofs)
    with open(os.path.join(slot, "stderr.txt")) as f:
        stderr = f.read()
    return Task(slot, line, results, factors, proofs, done.returncode, stderr)


@pytest.fixture(scope="session", autouse=True)
def proof_cache(tmp_path_factory):
    """The validator's tables of sieving primes, kept for the session, not in
    the folder the tests run in."""
    folder = str(tmp_path_factory.mktemp("proof_cache"))
    os.environ["QUILBREX_PROOF_CACHE"] = folder
    return folder


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
