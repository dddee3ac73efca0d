"""Fixtures of the Python tests: a private place for simulated devices and
logs, shortened manager waits, and a look at the processes left behind."""

import os
import pathlib
import signal

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("MORVANE_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BINARY_DIR = pathlib.Path(os.environ.get("MORVANE_BINARY_DIR", SOURCE_DIR / "build"))
LAB = SOURCE_DIR / "examples" / "lab" / "logical.yaml"
PLAN = SOURCE_DIR / "examples" / "lab" / "plan.yaml"


def child_processes(parent=None):
    """The pids of the live (and zombie) children of `parent` (this process)."""
    parent = os.getpid() if parent is None else parent
    children = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == parent:
            children.append(int(entry))
    return children


def device_files(state_dir):
    """The simulated devices' state files under `state_dir`."""
    return sorted(p.name for p in pathlib.Path(state_dir).rglob("*.yaml") if p.name.startswith("sim-"))


@pytest.fixture
def sim_state(tmp_path, monkeypatch):
    """A state directory of our own for the sim backend; nothing may be left
    in it, and no child process of ours may be left, after the test."""
    state = tmp_path / "sim"
    monkeypatch.setenv("MORVANE_SIM_STATE_DIR", str(state))
    before = set(child_processes())
    yield state
    assert device_files(state) == []
    assert set(child_processes()) - before == set()


@pytest.fixture
def fast():
    """The manager's waits shortened (no settling time before the teardown,
    quick polls for the worker's port), as the C++ tests do."""
    import _morvane_testing

    _morvane_testing.shorten_waits()
    yield
    _morvane_testing.restore_waits()


@pytest.fixture
def lab_kwargs(tmp_path, sim_state, fast):
    """Keywords that bring the example lab up on the sim backend."""
    return dict(orchestrator="sim", logical_testbed_file=str(LAB), log_dir=tmp_path / "logs")


@pytest.fixture(autouse=True)
def python_sigint_handler_is_back():
    yield
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
