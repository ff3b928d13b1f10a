"""The assembled app versions: laid out as update_versions reads them, loading
nothing beyond the C library and their own files, and the host one running the
typical line in a root that holds only the C library and the slot."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import app_version
from conftest import TYPICAL, app_versions, tool

BOINC_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
C_LIBRARY = re.compile(r"^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|lib(c|m|pthread|dl|rt)\.so\.\d+)$")


def slot(version, folder):
    """The files of an app version as the client lays them out in a slot, by the
    script's own --slot."""
    done = subprocess.run([sys.executable, os.path.join(BOINC_DIR, "app_version.py"), "--slot", version.folder,
                           folder], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == os.path.join(folder, "quilbrex") + "\n", done
    assert sorted(os.listdir(folder)) == sorted(f.logical for f in version.files)
    return folder


def ldd(program):
    """(name, path) of what the loader maps for program; path None if not found."""
    done = subprocess.run(["ldd", program], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    found = []
    for line in done.stdout.splitlines():
        m = re.match(r"^\s*(\S+) => (?:not found|(\S+))", line) or re.match(r"^\s*(\S+) \(0x", line)
        if m:
            found.append((os.path.basename(m.group(1)), m.group(2) if m.lastindex == 2 else m.group(1)))
    return found


def test_each_app_version_is_laid_out_as_update_versions_reads_it():
    versions = app_versions()
    assert [v.plan_class for v in versions].count("") == 1, [v.folder for v in versions]
    with open(os.path.join(BOINC_DIR, "plan_classes.xml")) as f:
        declared = re.findall(r"<name>(\w+)</name>", f.read())
    with open("/usr/include/boinc/version.h") as f:
        boinc_version = re.search(r'BOINC_VERSION_STRING "([0-9.]+)"', f.read()).group(1)
    for v in versions:
        assert v.app == "quilbrex" and re.match(r"^\d+\.\d\d$", v.version) and v.platform == "x86_64-pc-linux-gnu"
        assert v.plan_class == "" or v.plan_class in declared, (v.plan_class, declared)
        assert v.main and v.main.logical == "quilbrex", v.files
        assert v.main.physical == "quilbrex_%s_%s" % (v.version, os.path.basename(v.folder))
        assert all(f.copy for f in v.files), "a file linked, not copied, into the slot is not found by $ORIGIN"
        physical = [f.physical for f in v.files]
        assert len(set(physical)) == len(physical) and all("_%s" % v.version in name for name in physical)
        assert sorted(physical + ["version.xml"]) == sorted(os.listdir(v.folder))
        # The API version the project reads from the main program is the shipped library's.
        assert v.api_version == boinc_version
        libraries = {f.logical for f in v.files if not f.main}
        assert libraries == {"libboinc_api.so.7", "libboinc.so.7", "libstdc++.so.6", "libgcc_s.so.1"}, libraries
        for f in v.files:
            if not f.main:
                assert app_version.physical_name(f.logical, v.version) == f.physical


def test_a_slot_loads_only_the_c_library_and_its_own_files(tmp_path):
    for index, v in enumerate(app_versions()):
        folder = slot(v, str(tmp_path / str(index)))
        for name, path in ldd(os.path.join(folder, "quilbrex")):
            assert path, "%s of %s is not found" % (name, v.folder)
            if C_LIBRARY.match(name):
                assert not path.startswith(folder), path
            else:
                assert os.path.dirname(path) == folder, "%s loads %s from %s" % (v.folder, name, path)


def isolated_root_usable():
    if os.geteuid() != 0:
        return "only root can change the root folder"
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    return None if probe.returncode == 0 else "no private mount namespace here (%s)" % probe.stderr.strip()


def run_in_bare_root(v, root, line):
    """Runs v's main program on line in a root that holds the C library (the
    files ldd names for it), /proc (where the loader finds $ORIGIN) and the slot,
    nothing else."""
    folder = slot(v, os.path.join(root, "slot"))
    for name, path in ldd(os.path.join(folder, "quilbrex")):
        if C_LIBRARY.match(name) and path and path.startswith("/"):
            os.makedirs(root + os.path.dirname(path), exist_ok=True)
            shutil.copy(path, root + path)
    os.makedirs(os.path.join(root, "proc"))
    with open(os.path.join(folder, "worktodo.txt"), "w") as f:
        f.write(line + "\n")
    done = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t proc proc "$1/proc" && '
                           'exec unshare --root="$1" --wd=/slot /slot/quilbrex', "-", root],
                          capture_output=True, text=True, timeout=300)
    outputs = {}
    for name in ("stderr.txt", "factors.txt", "boinc_finish_called"):
        path = os.path.join(folder, name)
        outputs[name] = open(path).read() if os.path.exists(path) else None
    return done, outputs


def test_the_app_versions_run_where_only_the_c_library_is_installed(tmp_path):
    reason = isolated_root_usable()
    if reason:
        pytest.skip(reason)
    for index, v in enumerate(app_versions()):
        done, outputs = run_in_bare_root(v, str(tmp_path / str(index)), TYPICAL)
        assert done.returncode != 127 and "error while loading shared libraries" not in done.stderr, done.stderr
        if v.plan_class:
            # No NVIDIA driver in the bare root: the program starts and refuses the device.
            assert outputs["stderr.txt"] and "CUDA runtime version" in outputs["stderr.txt"], (done, outputs)
            continue
        assert done.returncode == 0, (done, outputs)
        assert (outputs["boinc_finish_called"] or "").strip() == "0", outputs
        assert re.search(r"^!!! Found factor 4119\*2\^54\+1 !!!$", outputs["factors.txt"], re.M), outputs


@pytest.mark.parametrize("change, refusal", [
    ({"version": "1.0"}, r"version '1\.0' is not <major>\.<minor>"),
    ({"plan_class": "cuda 130"}, r"is not a plain name"),
    ({"executable": "/nonexistent/quilbrex"}, r"is not an executable file"),
    # A BOINC-build program linked without the run path: its libraries would
    # come from the volunteer's system.
    ({"executable": "QUILBREX_ON_DEVICE"}, r"needs libboinc_api\.so\.7.* but has no RPATH \$ORIGIN"),
])
def test_the_assembler_refuses_what_would_not_run(tmp_path, change, refusal):
    arguments = {"app": "quilbrex", "version": "1.00", "platform": "x86_64-pc-linux-gnu", "plan_class": "",
                 "executable": tool("QUILBREX_BINARY"), "out": str(tmp_path)}
    arguments.update(change)
    if arguments["executable"] == "QUILBREX_ON_DEVICE":
        arguments["executable"] = tool("QUILBREX_ON_DEVICE")
    with pytest.raises(app_version.Refused, match=refusal):
        app_version.assemble(**arguments)
    assert os.listdir(str(tmp_path)) == []
