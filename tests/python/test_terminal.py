"""The bringup tool on a terminal (a pseudo-terminal here): the phases with
their elapsed times, the table of what was built, records other than INFO
shown above the status line; and the usual log lines when standard error
is not a terminal."""

import os
import pty
import re
import select
import signal
import subprocess
import time

import pytest
from conftest import BINARY_DIR, LAB, PLAN, device_files

BRINGUP = str(BINARY_DIR / "bin" / "bringup")


def screen(raw):
    """What a terminal shows in the end: each line as its last redraw left it."""
    lines = []
    for line in raw.replace("\r\n", "\n").split("\n"):
        lines.append(re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", line.split("\r")[-1]))
    return "\n".join(lines)


def run_on_terminal(args, env, interrupt_after=None, timeout=60):
    """Runs bringup with standard error on a pseudo-terminal; sends SIGINT
    once `interrupt_after` has been shown (to end the settling wait)."""
    master, slave = pty.openpty()
    tool = subprocess.Popen([BRINGUP, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave,
                            env=env)
    os.close(slave)
    raw, interrupted, deadline = b"", False, time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:  # the terminal's last writer is gone
                    break
                if not data:
                    break
                raw += data
            if interrupt_after and not interrupted and interrupt_after.encode() in raw:
                tool.send_signal(signal.SIGINT)
                interrupted = True
        return tool.wait(timeout=30), raw.decode(errors="replace")
    finally:
        if tool.poll() is None:
            tool.kill()
        os.close(master)


@pytest.fixture
def env(tmp_path, sim_state):
    return dict(os.environ, TERM="xterm", LANG="C.UTF-8", MORVANE_SIM_STATE_DIR=str(sim_state))


@pytest.fixture
def clean_file(tmp_path):
    path = tmp_path / "clean.yaml"
    path.write_text("bringup:\n  sim:\n    class: sim\n    sim_ready_delay: 1\n")
    return str(path)


@pytest.fixture
def lab_with_a_warning(tmp_path):
    # A logical flag given as text makes the worker warn: a record that is
    # shown.
    path = tmp_path / "logical.yaml"
    text = LAB.read_text()
    assert "\n    logical: true" in text
    path.write_text(text.replace("\n    logical: true", "\n    logical: 'yes'", 1))
    return str(path)


def test_phases_and_table_on_a_terminal_and_log_lines_elsewhere(tmp_path, env, clean_file, lab_with_a_warning,
                                                               sim_state):
    args = ["-clean_files", clean_file, "-logical_testbed_file", lab_with_a_warning,
            "-tb_yaml_output_file_name", str(tmp_path / "tb.yaml"), "-log_dir", str(tmp_path / "logs")]
    status, raw = run_on_terminal(args, env, interrupt_after="Testbed YAML written to")
    shown = screen(raw)
    assert status == 0, shown
    for line in ["  \u2714 Worker started (", "  \u2714 Topology launched: 3 device(s) (",
                 "  \u2714 3 of 3 device(s) ready (", "Testbed YAML written to", "  \u2714 Topology torn down ("]:
        assert line in shown, shown
    assert re.search(r"(?m)^  DEVICE +YOUR NAME +TYPE +INTERFACE +YOUR NAME +LINK +ADDRESSES$", shown), shown
    assert re.search(r"(?m)^  sim-R1 +R1 +router +eth1 +Gi0/0 +r1-r2 +10\.0\.12\.1/30$", shown), shown
    assert re.search(r"(?m)^ +eth2 +Gi0/1 +lan +192\.168\.10\.1/24$", shown), shown
    assert re.search(r"(?m)^  sim-SW1 +SW1 +switch +eth1 +Eth1 +lan +-$", shown), shown
    # The status line while the devices got ready, redrawn in place.
    assert re.search(r"\r\x1b\[K  \S+ Waiting for devices to be ready: 0 of 3 \(\d+\.\ds\)", raw), raw
    # A warning is shown as logged; the INFO records are what the display
    # stands for.
    assert "WARNING tarvex.morvane.bases: Logical testbed file " in shown
    assert "devices/R1/logical is 'yes' (a str), not true or false; it is taken as true" in shown
    assert "Launching topology..." not in shown and "Devices (actual name <- your name):" not in shown

    # The same run with standard error on a pipe: the usual log lines.
    plain = subprocess.Popen([BRINGUP, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, env=env)
    log = ""
    while "Testbed YAML written to" not in log and plain.poll() is None:
        log += plain.stderr.readline()
    plain.send_signal(signal.SIGINT)  # ends the settling wait
    log += plain.stderr.read()
    assert plain.wait(timeout=60) == 0, log
    assert "INFO tarvex.morvane.bases: Launching topology..." in log
    assert "Devices (actual name <- your name):\n  sim-R1 <- R1\n" in log
    assert "\x1b" not in log and "\u2714" not in log and "tarvex.morvane.progress" not in log


def test_a_failed_launch_is_marked_on_a_terminal(tmp_path, env):
    plan = tmp_path / "failing.yaml"
    plan.write_text(PLAN.read_text() + 'fail:\n  launch: "the hypervisor refused to start vm-102"\n')
    status, raw = run_on_terminal(["-logical_testbed_file", str(LAB), "-sim_plan", str(plan),
                                   "-log_dir", str(tmp_path / "logs")], dict(env, LANG="C"))
    shown = screen(raw)
    assert status == 1
    assert "  [ok] Worker started (" in shown
    assert "  [!!] Launching the topology: failed (" in shown
    assert shown.rstrip().endswith("bringup: error: Exception: the hypervisor refused to start vm-102"), shown
