#!/usr/bin/env python3
"""Assembles a BOINC app version from a built executable: the folder that the
project's update_versions reads (<app>/<version>/<platform>[__<plan class>]),
the executable, the shared libraries it needs beyond the C library, and a
version.xml that names each file, marks the main program and has the client
copy every file into the slot under the name the program looks for. Prints each
file with its size, what it still loads from the system, and the newest glibc
any of them needs.

    app_version.py --app quilbrex --version 1.00 --platform x86_64-pc-linux-gnu \\
        [--plan-class cuda130] --executable build-boinc/quilbrex_cuda --out build-boinc/app-versions

Physical names carry the version (the download folder never changes a file once
it is there): quilbrex_1.00_x86_64-pc-linux-gnu__cuda130, libboinc_api_1.00.so.7.
The client copies each file into the task's slot under its logical name
(quilbrex, libboinc_api.so.7) and puts the slot on the library path. To run an
app version outside the client, on this machine or a fresh one, lay it out the
same way:

    app_version.py --slot build-boinc/app-versions/quilbrex/1.00/x86_64-pc-linux-gnu FOLDER

FOLDER then holds the program as quilbrex beside its libraries, which it finds
there through its run path $ORIGIN."""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# What every Linux machine has: the C library and its loader. Everything else
# the executable loads ships with it.
C_LIBRARY = re.compile(r"^(linux-vdso\.so\.\d+|ld-linux[-\w.]*\.so\.\d+|lib(c|m|pthread|dl|rt)\.so\.\d+)$")


class Refused(Exception):
    pass


def run(command):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise Refused("%s failed: %s" % (" ".join(command), done.stderr.strip() or done.stdout.strip()))
    return done.stdout


def loaded_libraries(executable):
    """(name, path) of every shared library the loader would load for executable,
    in ldd's order; path is None for those without a file (the vDSO)."""
    libraries = []
    for line in run(["ldd", executable]).splitlines():
        line = line.strip()
        m = re.match(r"^(\S+) => (not found|\S+)", line)
        if m:
            if m.group(2) == "not found":
                raise Refused("%s needs %s, which is not found here" % (executable, m.group(1)))
            libraries.append((m.group(1), m.group(2)))
            continue
        m = re.match(r"^(\S+) \(0x", line)
        if m:
            libraries.append((os.path.basename(m.group(1)), m.group(1) if "/" in m.group(1) else None))
    return libraries


def dynamic_section(path):
    """The NEEDED names and the RPATH / RUNPATH entries of path's dynamic section."""
    needed, rpath, runpath = [], [], []
    for line in run(["readelf", "-d", "-W", path]).splitlines():
        m = re.search(r"\((NEEDED|RPATH|RUNPATH)\)\s+\S+.*?\[(.*)\]", line)
        if m:
            {"NEEDED": needed, "RPATH": rpath, "RUNPATH": runpath}[m.group(1)].extend(
                m.group(2).split(":") if m.group(1) != "NEEDED" else [m.group(2)])
    return needed, rpath, runpath


def newest_glibc(path):
    """The highest GLIBC_x.y version that path's symbols require, as a tuple."""
    versions = [tuple(int(part) for part in v.split("."))
                for v in re.findall(r"Name: GLIBC_(\d+(?:\.\d+)+)", run(["readelf", "-V", "-W", path]))]
    return max(versions) if versions else (0,)


def physical_name(logical, version):
    """libboinc_api.so.7 -> libboinc_api_1.00.so.7: the version where it cannot
    hide the kind of file."""
    m = re.match(r"^(.*?)(\.so(\.\d+)*)$", logical)
    return "%s_%s%s" % (m.group(1), version, m.group(2)) if m else "%s_%s" % (logical, version)


def version_xml(files):
    """files: (physical, logical, main) in order."""
    lines = ["<version>"]
    for physical, logical, main in files:
        lines.append("    <file>")
        lines.append("        <physical_name>%s</physical_name>" % physical)
        lines.append("        <logical_name>%s</logical_name>" % logical)
        lines.append("        <copy_file/>")
        if main:
            lines.append("        <main_program/>")
        lines.append("    </file>")
    lines.append("</version>")
    return "\n".join(lines) + "\n"


VersionFile = collections.namedtuple("VersionFile", "physical logical copy main")


def read_version(folder):
    """The files an app version's version.xml names, in its order."""
    root = ElementTree.parse(os.path.join(folder, "version.xml")).getroot()
    return [VersionFile(f.findtext("physical_name"), f.findtext("logical_name") or f.findtext("physical_name"),
                        f.find("copy_file") is not None, f.find("main_program") is not None)
            for f in root.findall("file")]


def lay_out_slot(folder, slot):
    """Copies the app version in folder into slot as the client does, each file
    under its logical name; returns the main program's path there."""
    files = read_version(folder)
    main = [f for f in files if f.main]
    if len(main) != 1:
        raise Refused("%s/version.xml marks %d main programs" % (folder, len(main)))
    os.makedirs(slot, exist_ok=True)
    for f in files:
        shutil.copy(os.path.join(folder, f.physical), os.path.join(slot, f.logical))
    return os.path.join(slot, main[0].logical)


def assemble(app, version, platform, plan_class, executable, out):
    if not re.match(r"^\d+\.\d\d$", version):
        raise Refused("version %r is not <major>.<minor> with two digits of minor" % version)
    if not re.match(r"^[\w.-]+$", platform) or (plan_class and not re.match(r"^\w+$", plan_class)):
        raise Refused("platform %r or plan class %r is not a plain name" % (platform, plan_class))
    if not os.path.isfile(executable) or not os.access(executable, os.X_OK):
        raise Refused("%s is not an executable file" % executable)

    shipped = [(name, os.path.realpath(path)) for name, path in loaded_libraries(executable)
               if not C_LIBRARY.match(name)]
    _, rpath, runpath = dynamic_section(executable)
    if shipped and (runpath or "$ORIGIN" not in rpath):
        raise Refused("%s needs %s beside it but has no RPATH $ORIGIN (RPATH %s, RUNPATH %s): "
                      "the loader would look for them on the volunteer's system"
                      % (executable, ", ".join(name for name, _ in shipped), rpath or "none", runpath or "none"))

    variant = platform + ("__" + plan_class if plan_class else "")
    folder = os.path.join(out, app, version, variant)
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    files = [("%s_%s_%s" % (app, version, variant), app, executable, True)]
    files += [(physical_name(name, version), name, path, False) for name, path in shipped]
    for physical, _, source, _ in files:
        shutil.copyfile(source, os.path.join(folder, physical))
        os.chmod(os.path.join(folder, physical), 0o755)
    with open(os.path.join(folder, "version.xml"), "w") as f:
        f.write(version_xml([(physical, logical, main) for physical, logical, _, main in files]))

    report = ["App version %s" % folder]
    glibc = (0,)
    for physical, logical, _, _ in files:
        path = os.path.join(folder, physical)
        needed, _, _ = dynamic_section(path)
        glibc = max(glibc, newest_glibc(path))
        report.append("  %-44s %-20s %9d bytes  loads %s" % (physical, "(" + logical + ")", os.path.getsize(path),
                                                             " ".join(needed) or "nothing"))
    report.append("  needs glibc %s or later" % ".".join(str(part) for part in glibc))
    return folder, "\n".join(report)


def main(argv):
    if argv[:1] == ["--slot"]:
        if len(argv) != 3:
            print("usage: app_version.py --slot APP_VERSION_FOLDER SLOT_FOLDER", file=sys.stderr)
            return 2
        try:
            print(lay_out_slot(argv[1], argv[2]))
        except (Refused, OSError, ElementTree.ParseError) as failure:
            print("app_version.py: %s" % failure, file=sys.stderr)
            return 1
        return 0
    parser = argparse.ArgumentParser(description="Assemble a BOINC app version from a built executable "
                                     "(or, with --slot, lay one out to run outside the client).")
    parser.add_argument("--app", required=True)
    parser.add_argument("--version", required=True, help="<major>.<minor>, e.g. 1.00")
    parser.add_argument("--platform", required=True, help="e.g. x86_64-pc-linux-gnu")
    parser.add_argument("--plan-class", default="", help="none for a plain CPU app version")
    parser.add_argument("--executable", required=True)
    parser.add_argument("--out", required=True, help="the apps folder to assemble in")
    args = parser.parse_args(argv)
    try:
        _, report = assemble(args.app, args.version, args.platform, args.plan_class, args.executable, args.out)
    except Refused as refusal:
        print("app_version.py: %s" % refusal, file=sys.stderr)
        return 1
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
