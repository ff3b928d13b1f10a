"""A whole task under the real BOINC client, with no server and no network: the
client runs in a private network namespace with only loopback, from a client
state written by hand, with a declared (fake) NVIDIA coprocessor whose device 0
is excluded, so the task must get device 1. The app version is the assembled
host app version, its files declared as its version.xml says, with the API
version its main program carries. The long task is suspended after
its first checkpoint and resumed; both tasks must end successfully, and the
validator and the assimilator must accept what they hand back, each result
valid by its proof alone. A third task runs a cheating client (an app version
whose main program has the real one search 85 % of the range and says it
searched all): the validator must find it invalid by its proof.

Writes the client's log lines that matter to boinc_end_to_end.log in the
current folder."""

import collections
import os
import re
import shutil
import subprocess
import time

import pytest

import assimilator
import validator
from conftest import app_versions, tool

URL = "http://127.0.0.1/quilbrex/"
PROJECT = "127.0.0.1_quilbrex"
# A plan class with "cuda" in its name is refused on a GPU the client cannot probe.
PLAN_CLASS = "nvidia_test"
TYPICAL = ("quilbrex_n54-54_k4001-5001", "FermatFactor=54,54,4001,5001")
# Long enough on the host build for checkpoints every 5 s and a suspension.
LONG = ("quilbrex_n54-54_k4001-6000000001", "FermatFactor=54,54,4001,6000000001")
# Enough candidates for t > 0 at the host app version's depth: t = 5, about 2,300 proof k.
CHEATED = ("quilbrex_n54-54_k4001-2000001", "FermatFactor=54,54,4001,2000001")
CHEATING_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cheating_client.py")
DEADLINE_SECONDS = 400
OUTPUTS = ("results.txt", "factors.txt", "proofs.txt")


def client_usable():
    for program in ("boinc", "boinccmd", "unshare", "nsenter", "ip"):
        if not shutil.which(program) and not os.path.exists("/usr/sbin/" + program):
            return "%s is not installed" % program
    probe = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up"], capture_output=True, text=True)
    if probe.returncode != 0:
        return "no private network namespace here (%s)" % probe.stderr.strip()
    return None


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def workunit_xml(name, version_num):
    outputs = "".join("""<file_info>
    <name>{0}_0_{1}</name>
    <max_nbytes>10000000</max_nbytes>
    <url>http://127.0.0.1/quilbrex_cgi/file_upload_handler</url>
    <upload_when_present/>
</file_info>
""".format(name, i) for i in range(len(OUTPUTS)))
    refs = "".join("""    <file_ref>
        <file_name>{0}_0_{1}</file_name>
        <open_name>{2}</open_name>
        <copy_file/>
    </file_ref>
""".format(name, i, output) for i, output in enumerate(OUTPUTS))
    return """<file_info>
    <name>{0}</name>
    <status>1</status>
</file_info>
<workunit>
    <name>{0}</name>
    <app_name>quilbrex</app_name>
    <version_num>{3}</version_num>
    <rsc_fpops_est>1e12</rsc_fpops_est>
    <rsc_fpops_bound>1e16</rsc_fpops_bound>
    <rsc_memory_bound>500000000</rsc_memory_bound>
    <rsc_disk_bound>100000000</rsc_disk_bound>
    <file_ref>
        <file_name>{0}</file_name>
        <open_name>worktodo.txt</open_name>
        <copy_file/>
    </file_ref>
</workunit>
{4}<result>
    <name>{0}_0</name>
    <wu_name>{0}</wu_name>
    <version_num>{3}</version_num>
    <plan_class>{1}</plan_class>
    <platform>x86_64-pc-linux-gnu</platform>
    <state>2</state>
    <report_deadline>{2}</report_deadline>
{5}</result>
""".format(name, PLAN_CLASS, time.time() + 7 * 86400, version_num, outputs, refs)


def cheating_version(app_version):
    """The cheating client as an app version of its own (the next version number):
    its main program the cheating script, beside the real program (not main) and
    its libraries under their logical names."""
    files = [AppVersionFile(f.physical, f.logical, f.copy, False) for f in app_version.files]
    files.append(AppVersionFile("quilbrex_cheat_%d" % (app_version.version_num + 1), "quilbrex_cheat", True, True))
    return files


AppVersionFile = collections.namedtuple("AppVersionFile", "physical logical copy main")


def file_infos_xml(files):
    """The client's file_infos of app version files, copied into the project
    folder under their physical names."""
    return "".join("""<file_info>
    <name>%s</name>
    <status>1</status>
    <executable/>
</file_info>
""" % entry.physical for entry in files)


def app_version_xml(app_version, version_num, files):
    refs = "".join("""    <file_ref>
        <file_name>%s</file_name>
        <open_name>%s</open_name>
%s%s    </file_ref>
""" % (entry.physical, entry.logical, "        <copy_file/>\n" if entry.copy else "",
       "        <main_program/>\n" if entry.main else "") for entry in files)
    return """<app_version>
    <app_name>quilbrex</app_name>
    <version_num>%d</version_num>
    <platform>%s</platform>
    <avg_ncpus>0.2</avg_ncpus>
    <flops>1e11</flops>
    <plan_class>%s</plan_class>
    <api_version>%s</api_version>
    <coproc>
        <type>NVIDIA</type>
        <count>1</count>
    </coproc>
%s</app_version>
""" % (version_num, app_version.platform, PLAN_CLASS, app_version.api_version, refs)


def lay_out(data, app_version):
    """The client's data folder: configuration, preferences, account, state, files."""
    write(os.path.join(data, "cc_config.xml"), """<cc_config>
<log_flags>
    <task_debug>1</task_debug>
    <slot_debug>1</slot_debug>
    <coproc_debug>1</coproc_debug>
    <checkpoint_debug>1</checkpoint_debug>
</log_flags>
<options>
    <coproc>
        <type>NVIDIA</type>
        <count>2</count>
        <peak_flops>1e12</peak_flops>
        <device_nums>0 1</device_nums>
    </coproc>
    <exclude_gpu>
        <url>%s</url>
        <device_num>0</device_num>
    </exclude_gpu>
    <skip_cpu_benchmarks>1</skip_cpu_benchmarks>
    <dont_contact_ref_site>1</dont_contact_ref_site>
    <unsigned_apps_ok>1</unsigned_apps_ok>
</options>
</cc_config>
""" % URL)
    write(os.path.join(data, "global_prefs_override.xml"), """<global_preferences>
    <run_if_user_active>1</run_if_user_active>
    <run_gpu_if_user_active>1</run_gpu_if_user_active>
    <suspend_cpu_usage>0</suspend_cpu_usage>
    <cpu_usage_limit>100</cpu_usage_limit>
    <disk_interval>5</disk_interval>
</global_preferences>
""")
    write(os.path.join(data, "gui_rpc_auth.cfg"), "")
    write(os.path.join(data, "account_%s.xml" % PROJECT), """<account>
    <master_url>%s</master_url>
    <authenticator>0123456789abcdef</authenticator>
</account>
""" % URL)
    project = os.path.join(data, "projects", PROJECT)
    os.makedirs(project)
    for entry in app_version.files:
        shutil.copy(os.path.join(app_version.folder, entry.physical), os.path.join(project, entry.physical))
    cheating = cheating_version(app_version)
    shutil.copy(CHEATING_CLIENT, os.path.join(project, cheating[-1].physical))
    os.chmod(os.path.join(project, cheating[-1].physical), 0o755)
    for name, line in (TYPICAL, LONG, CHEATED):
        write(os.path.join(project, name), line + "\n")
    write(os.path.join(data, "client_state.xml"), """<client_state>
<project>
    <master_url>%s</master_url>
    <project_name>quilbrex test</project_name>
    <dont_request_more_work/>
</project>
<app>
    <name>quilbrex</name>
    <user_friendly_name>quilbrex</user_friendly_name>
</app>
%s%s%s%s%s%s</client_state>
""" % (URL, file_infos_xml(cheating), app_version_xml(app_version, app_version.version_num, app_version.files),
       app_version_xml(app_version, app_version.version_num + 1, cheating),
       workunit_xml(TYPICAL[0], app_version.version_num), workunit_xml(LONG[0], app_version.version_num),
       workunit_xml(CHEATED[0], app_version.version_num + 1)))
    return project


class Client:
    def __init__(self, data):
        self.data = data
        self.log_path = os.path.join(data, "client.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            ["unshare", "-n", "sh", "-c", "ip link set lo up && exec boinc --dir %s --no_info_fetch "
             "--skip_cpu_benchmarks --unsigned_apps_ok" % data],
            stdout=self.log, stderr=subprocess.STDOUT, cwd=data)

    def text(self):
        with open(self.log_path) as f:
            return f.read()

    def command(self, *args):
        return subprocess.run(["nsenter", "-t", str(self.process.pid), "-n", "boinccmd"] + list(args),
                              cwd=self.data, capture_output=True, text=True, timeout=30)

    def wait_for(self, pattern, what, deadline):
        while time.time() < deadline:
            m = re.search(pattern, self.text(), re.M)
            if m:
                return m
            if self.process.poll() is not None:
                pytest.fail("the client ended while waiting for %s:\n%s" % (what, self.text()[-3000:]))
            time.sleep(0.5)
        pytest.fail("no %s within the time limit:\n%s" % (what, self.text()[-3000:]))

    def fraction_done(self, result):
        """The fraction done the program last reported for result, as the client shows it."""
        tasks = self.command("--get_tasks").stdout
        block = re.search(r"name: %s\n(.*?)(?:\n\d+\) -+|$)" % re.escape(result), tasks, re.S)
        assert block, tasks
        return float(re.search(r"fraction done: ([0-9.]+)", block.group(1)).group(1))

    def stop(self):
        if self.process.poll() is None:
            self.command("--quit")
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def mapped_by_task(data):
    """The slot, the executable and the shared libraries mapped by the program
    running in one of the client's slots, read from /proc."""
    slots = os.path.join(data, "slots") + os.sep
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            slot = os.readlink("/proc/%s/cwd" % pid)
            if not slot.startswith(slots):
                continue
            executable = os.readlink("/proc/%s/exe" % pid)
            with open("/proc/%s/maps" % pid) as f:
                libraries = {line.split()[-1] for line in f if ".so" in line.split()[-1]}
        except OSError:
            continue
        return slot, executable, libraries
    pytest.fail("no program running in %s" % slots)


def result_state(data, name):
    with open(os.path.join(data, "client_state.xml")) as f:
        state = f.read()
    m = re.search(r"<result>\s*<name>%s_0</name>.*?</result>" % re.escape(name), state, re.S)
    assert m, "no result %s in client_state.xml" % name
    return m.group(0)


def test_tasks_under_the_real_client(tmp_path, capsys):
    host = [version for version in app_versions() if not version.plan_class]
    assert len(host) == 1, "no single host app version in %s" % tool("QUILBREX_APP_VERSIONS")
    reason = client_usable()
    if reason:
        pytest.skip("the BOINC client cannot run here: " + reason)
    data = str(tmp_path / "client")
    project = lay_out(data, host[0])
    client = Client(data)
    deadline = time.time() + DEADLINE_SECONDS
    key_lines = []
    try:
        client.wait_for(r"\[checkpoint\] result %s_0 checkpointed" % re.escape(LONG[0]), "checkpoint", deadline)
        # The client runs the main program from the project folder under its
        # physical name, in the slot, with the slot on the library path: the
        # loader takes the shipped libraries from the slot, where the client
        # copied them under their logical names, not from this machine's BOINC.
        slot, executable, libraries = mapped_by_task(data)
        assert executable == os.path.join(project, host[0].main.physical), executable
        for name in ("libboinc_api.so.7", "libboinc.so.7", "libstdc++.so.6", "libgcc_s.so.1"):
            assert os.path.join(slot, name) in libraries, (name, sorted(libraries))
        assert all(path.startswith(slot) or re.search(r"/(ld-linux-x86-64|libc|libm)\.so", path)
                   for path in libraries), sorted(libraries)
        key_lines.append("the long task runs %s in %s and maps %s" % (executable, slot, " ".join(sorted(libraries))))
        fraction = client.fraction_done(LONG[0] + "_0")
        key_lines.append("fraction done of %s_0 after its first checkpoint: %s" % (LONG[0], fraction))
        assert 0 < fraction < 1
        assert client.command("--task", URL, LONG[0] + "_0", "suspend").returncode == 0
        client.wait_for(r"task %s_0 suspended by user" % re.escape(LONG[0]), "suspension", deadline)
        time.sleep(2)
        assert client.command("--task", URL, LONG[0] + "_0", "resume").returncode == 0
        client.wait_for(r"task %s_0 resumed by user" % re.escape(LONG[0]), "resumption", deadline)
        for name, _ in (TYPICAL, LONG, CHEATED):
            client.wait_for(r"Computation for task %s_0 finished" % re.escape(name), name + " finishing", deadline)
        time.sleep(2)
    finally:
        client.stop()
    log = client.text()

    key_lines += [line for line in log.splitlines()
                  if re.search(r"Assigning NVIDIA instance|checkpointed|suspend|resum|Starting task|Restarting task|"
                               r"Computation for task|exited with zero status|task_state=", line)]
    stderrs = {}
    for name, line in (TYPICAL, LONG, CHEATED):
        state = result_state(data, name)
        assert re.search(r"<exit_status>0</exit_status>", state), state
        stderrs[name] = re.search(r"<stderr_out>(.*)</stderr_out>", state, re.S).group(1)
        assert "device number             1" in stderrs[name]
        assert "called boinc_finish(0)" in stderrs[name]
        assert re.search(r"<state>[45]</state>", state), state  # files uploading or uploaded
        elapsed = float(re.search(r"<final_elapsed_time>([0-9.]+)</final_elapsed_time>", state).group(1))
        key_lines.append("%s: final elapsed time %.2f s" % (line, elapsed))
    with open("boinc_end_to_end.log", "w") as f:
        f.write("\n".join(key_lines) + "\n\n--- stderr of the long task ---\n" + stderrs[LONG[0]])

    assert re.search(r"Assigning NVIDIA instance 1 to %s_0" % re.escape(TYPICAL[0]), log)
    assert "Continue range: n=54-54(54) and k=4001-6000000001(" in stderrs[LONG[0]]
    # The quit of the suspension is a clean exit, also in the middle of a launch.
    assert "terminate called" not in stderrs[LONG[0]] and "SIGABRT" not in stderrs[LONG[0]]

    # What the client collected, under the names the project's upload folder
    # would give. The honest results are valid by their proofs alone (the
    # workunits' quorum is 1): no second run is asked for.
    files = {name: [os.path.join(project, name + "_0_%d" % i) for i in range(len(OUTPUTS))]
             for name, _ in (TYPICAL, LONG, CHEATED)}
    second_runs = str(tmp_path / "second_runs.txt")
    for name, _ in (TYPICAL, LONG):
        assert validator.main(["init", "--second-runs", second_runs] + files[name]) == 0, capsys.readouterr().err
    assert not os.path.exists(second_runs)
    # The cheating client's run log and factors pass every check; its proofs do not.
    assert validator.main(["init", "--legacy"] + files[CHEATED[0]][:2]) == 0
    capsys.readouterr()
    assert validator.main(["init", "--second-runs", second_runs] + files[CHEATED[0]]) == 1
    verdict = capsys.readouterr().err
    with open("boinc_end_to_end.log", "a") as f:
        f.write("\n--- the validator on the cheating client's result ---\n" + verdict)
    # Its forged tested count passes; its proof k are 84 % of those expected,
    # and none lies in the top 15 % of the range.
    # The host app sieves at its processor's depth: 10,000 primes at 3 words
    # where it tests on AVX-512 IFMA, 300,000 on the other paths, where the t of
    # the range it really searched is one bit short of the whole range's.
    with open(files[CHEATED[0]][OUTPUTS.index("proofs.txt")]) as f:
        primes = int(re.findall(r" primes=(\d+) r=2\^-\(2\^\(n-1\)\)$", f.read(), re.M)[-1])
    assert verdict == {
        300000: "invalid result: the proofs do not show the range searched:\n"
                "n=54 k=4001-2000001: FAIL: tested 73456 (73363 expected), t=4, 3851 proof k (4585 expected)\n"
                "    t=4, but 73417 candidates call for t=5\n"
                "    3851 proof k, 4585 expected (+- 339)\n"
                "    no proof k in k=1700295-2000001, 688.5 times the expected spacing (bound 20.4)\n"
                "FAIL: 3851 proof k over all exponents, 4585 expected (+- 339)\n"
                "FAIL: 1 exponent(s), 3851 proof k (4585 expected)\n",
        10000: "invalid result: the proofs do not show the range searched:\n"
               "n=54 k=4001-2000001: FAIL: tested 97014 (96930 expected), t=5, 2586 proof k (3029 expected)\n"
               "    2586 proof k, 3029 expected (+- 275)\n"
               "    no proof k in k=1700295-2000001, 454.8 times the expected spacing (bound 20.0)\n"
               "FAIL: 2586 proof k over all exponents, 3029 expected (+- 275)\n"
               "FAIL: 1 exponent(s), 2586 proof k (3029 expected)\n",
    }[primes], verdict
    master = str(tmp_path / "master.txt")
    for name, _ in (TYPICAL, LONG):
        assert assimilator.main(["--master", master, "--failed", str(tmp_path / "failed.txt"), name] + files[name]) == 0
    with open(master) as f:
        assert f.read() == "4119*2^54+1\n21626655*2^54+1\n"
