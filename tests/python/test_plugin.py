"""The pytest plugin, run as a user runs it: pytest in a subprocess on a
small project of test modules, with settings from its ini file and command
line."""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest
from conftest import LAB, PLAN, device_files

# Makes the subprocess's bring-ups quick (no settling time before teardown).
CONFTEST = """
import _morvane_testing
_morvane_testing.shorten_waits()
"""

SHARED_MODULE = """
import pytest

def test_devices_carry_my_names(morvane_testbed, morvane_bringup):
    aliases = {d["alias"] for d in morvane_testbed["devices"].values()}
    assert aliases == {"R1", "R2", "SW1"}
    record(morvane_bringup.topology_name)
    morvane_testbed["devices"].clear()   # a test may spoil its copy

def test_interfaces_carry_my_addresses(morvane_testbed, morvane_bringup):
    interfaces = morvane_testbed["topology"]["sim-R1"]["interfaces"]
    assert interfaces["eth1"]["ipv4"] == "10.0.12.1/30"
    record(morvane_bringup.topology_name)

def test_a_failing_test_does_not_stop_the_teardown(morvane_testbed):
    assert morvane_testbed["devices"] == {}

def record(name):
    with open("topologies.txt", "a") as f:
        f.write(name + "\\n")
"""

MARKED_MODULE = """
import pytest

pytestmark = pytest.mark.morvane(topology_name="own", sim_ready_delay=0.1)

def test_a_marked_module_has_its_own_topology(morvane_bringup):
    assert morvane_bringup.topology_name.startswith("own_")
    with open("topologies.txt", "a") as f:
        f.write(morvane_bringup.topology_name + "\\n")
"""


def run_pytest(project, *args):
    environment = dict(os.environ, MORVANE_SIM_STATE_DIR=str(project / "sim"))
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *args], cwd=project,
                          env=environment, capture_output=True, text=True, timeout=120)


@pytest.fixture
def project(tmp_path):
    shutil.copy(LAB, tmp_path / "lab.yaml")
    (tmp_path / "conftest.py").write_text(CONFTEST)
    (tmp_path / "pytest.ini").write_text(textwrap.dedent("""\
        [pytest]
        morvane_logical_testbed = lab.yaml
        morvane_orchestrator = sim
        morvane_log_dir = logs
        """))
    return tmp_path


def test_session_and_module_topologies_come_up_once_and_go(project):
    (project / "test_shared.py").write_text(SHARED_MODULE)
    (project / "test_marked.py").write_text(MARKED_MODULE)
    run = run_pytest(project, "-v", "--morvane-topology-name", "session")
    assert re.search(r"1 failed, 3 passed", run.stdout), run.stdout + run.stderr
    assert "morvane: logical_testbed_file=%s" % (project / "lab.yaml") in run.stdout
    names = (project / "topologies.txt").read_text().split()
    # Alphabetical order: the marked module first, then the session's two.
    assert names[0].startswith("own_") and names[1].startswith("session_") and names[1] == names[2]
    assert device_files(project / "sim") == []
    assert any((project / "logs").iterdir())  # the readiness wait's logs went there


@pytest.mark.parametrize("args, text", [
    (["--morvane-arg", "sim_plan=failing.yaml"],
     "morvane: the bring-up of the session topology failed (Error):\nException: the hypervisor refused"),
    (["--morvane-arg", "logical_testbed_file="],
     "morvane: no logical testbed to bring up: give --morvane-logical-testbed FILE (for the session"),
    (["--morvane-arg", "sim_plan"], "ERROR: --morvane-arg: 'sim_plan' is not KEY=VALUE"),
])
def test_a_failed_bring_up_fails_its_tests_with_the_error_text(project, args, text):
    (project / "failing.yaml").write_text(
        PLAN.read_text() + 'fail:\n  launch: "the hypervisor refused to start vm-102"\n')
    (project / "test_shared.py").write_text(SHARED_MODULE)
    run = run_pytest(project, *args)
    output = run.stdout + run.stderr
    assert run.returncode != 0
    assert text in output, output
    assert "pytest_plugin.py" not in output and "Traceback" not in output
    if "ERROR:" not in text:
        assert re.search(r"3 errors", run.stdout), output
    assert device_files(project / "sim") == []
