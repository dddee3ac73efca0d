"""tarvex.morvane.BringUp on the sim backend: what the context returns, the
errors and their types, Control-C, and other threads."""

import builtins
import os
import signal
import threading
import time

import pytest
from conftest import LAB, PLAN, child_processes, device_files

from tarvex.morvane import BringUp, errors, load_yaml, orchestrators


def plain_data_only(value):
    """Whether `value` holds nothing but the plain types a testbed has."""
    if isinstance(value, dict):
        return all(isinstance(k, (str, int)) and plain_data_only(v) for k, v in value.items())
    if isinstance(value, list):
        return all(plain_data_only(v) for v in value)
    return value is None or isinstance(value, (str, int, float, bool))


def test_context_brings_the_lab_up_and_down(lab_kwargs, sim_state):
    assert {"sim", "netns"} <= set(orchestrators())
    with BringUp(topology_name="pylab", **lab_kwargs) as bringup:
        testbed = bringup.topology_config
        assert bringup.topology_name.startswith("pylab_")
        assert bringup.orchestrator == "sim"
        assert bringup.worker_class == "tarvex.morvane.orchestrators.sim.SimWorker"
        assert bringup.logical_devices == ["R1", "R2", "SW1"]
        assert device_files(sim_state) == ["sim-R1.yaml", "sim-R2.yaml", "sim-SW1.yaml"]
        assert len(child_processes()) == 1  # the worker

    assert type(testbed) is dict and plain_data_only(testbed)
    # The file's order, under the actual names, with the user's names as aliases.
    assert list(testbed["devices"]) == ["sim-R1", "sim-R2", "sim-SW1"]
    assert [d["alias"] for d in testbed["devices"].values()] == ["R1", "R2", "SW1"]
    r1 = testbed["devices"]["sim-R1"]
    assert r1["role"] == "area-border" and r1["credentials"]["default"]["username"] == "admin"
    interfaces = testbed["topology"]["sim-R1"]["interfaces"]
    assert list(interfaces) == ["eth1", "eth2", "Lo0"]
    assert interfaces["eth1"] == {
        "link": "r1-r2", "type": "ethernet", "alias": "Gi0/0", "ipv4": "10.0.12.1/30", "ospf_area": 0}
    assert interfaces["Lo0"]["ipv4"] == "1.1.1.1/32"
    assert testbed["testbed"]["alias"] == "ospf-lab"
    # Gone with the worker.
    assert bringup.topology_config is None


def test_an_error_in_the_body_passes_after_the_teardown(lab_kwargs, sim_state):
    with pytest.raises(ZeroDivisionError):
        with BringUp(**lab_kwargs):
            assert len(device_files(sim_state)) == 3
            1 / 0


def failing_plan(tmp_path):
    plan = tmp_path / "failing-plan.yaml"
    plan.write_text(PLAN.read_text() + 'fail:\n  launch: "the hypervisor refused to start vm-102"\n')
    return str(plan)


# keywords (callable of tmp_path), expected class, also a builtin, texts in the chain
WORKER_FAILURES = [
    (lambda t: dict(logical_testbed_file="/nonexistent/lab.yaml"), errors.FailedToCreateBringupWorker, None,
     ["FileNotFoundError: [Errno 2] No such file or directory: '/nonexistent/lab.yaml'",
      "FailedToCreateBringupWorker: The bringup worker could not be created."]),
    (lambda t: dict(sim_launch_delay="soon"), errors.FailedToCreateBringupWorker, None,
     ["TypeError: sim_launch_delay: expected float, got str 'soon'"]),
    (lambda t: dict(sim_plan=failing_plan(t)), errors.Error, None,
     ["Exception: the hypervisor refused to start vm-102"]),
    (lambda t: dict(sim_fail="readiness"), errors.Error, None,
     ["Parallel call failed for device sim-", "simulated readiness failure"]),
    (lambda t: dict(orchestrator="bogus"), errors.Error, None,
     ["ImportError: No worker class named 'bogus' is registered", "Exception: Could not import bringup class."]),
    (lambda t: dict(orchestrator=5), errors.TypeError, builtins.TypeError,
     ["orchestrator: expected str, got int 5"]),
]


@pytest.mark.parametrize("kwargs, cls, builtin, texts", WORKER_FAILURES)
def test_failures_raise_the_user_facing_type_with_the_whole_chain(lab_kwargs, sim_state, tmp_path, kwargs, cls,
                                                                   builtin, texts):
    with pytest.raises(errors.Error) as raised:
        with BringUp(**{**lab_kwargs, **kwargs(tmp_path)}):
            pytest.fail("the body ran")
    assert type(raised.value) is cls
    if builtin:
        assert isinstance(raised.value, builtin)
    for text in texts:
        assert text in str(raised.value)


CIRCULAR = {}
CIRCULAR["self"] = CIRCULAR


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(logical_testbed="lab.yaml"), TypeError,
     "BringUp() got an unexpected keyword argument 'logical_testbed': neither the manager nor the worker class "
     "tarvex.morvane.orchestrators.sim.SimWorker takes it"),
    (dict(_hostname="10.0.0.1"), TypeError, "unexpected keyword argument '_hostname'"),
    (dict(logical_testbed_file={1}), TypeError,
     "BringUp() keyword argument 'logical_testbed_file': an object of type 'set' cannot be passed"),
    (dict(clean_config={"bringup": [object()]}), TypeError,
     "keyword argument 'clean_config'['bringup'][0]: an object of type 'object' cannot be passed"),
    (dict(clean_config=CIRCULAR), TypeError, "nested more than 200 levels deep"),
    (dict(clean_config={(1, 2): 3}), TypeError, "a key must be None, bool, int, float or str"),
    (dict(taskid=2**70), OverflowError, "keyword argument 'taskid': the integer does not fit in 64 bits"),
])
def test_bad_keyword_arguments_are_refused_before_anything_starts(sim_state, kwargs, error, text):
    with pytest.raises(error) as raised:
        BringUp(orchestrator="sim", **kwargs)
    assert text in str(raised.value)
    assert child_processes() == []


def test_classes_of_errors_the_package_does_not_name():
    error = errors._from_framework("NetnsError", ["Exception", "OSError"], "NetnsError: RTNETLINK: busy", 16)
    assert type(error).__name__ == "NetnsError" and isinstance(error, errors.OSError)
    assert isinstance(error, builtins.OSError) and error.errno == 16 and str(error) == "NetnsError: RTNETLINK: busy"
    assert errors._from_framework("NetnsError", [], "again", None).__class__ is type(error)
    key_error = errors._from_framework("KeyError", ["KeyError"], "KeyError: 'R9'", None)
    assert str(key_error) == "KeyError: 'R9'" and isinstance(key_error, builtins.KeyError)


def test_yaml_values_load_as_testbed_files_do():
    assert load_yaml("{a: [1, 2.5, yes, null, '0x10', 0x10]}") == {"a": [1, 2.5, True, None, "0x10", 16]}
    with pytest.raises(errors.Error, match="<option>"):
        load_yaml("a: [1", "<option>")


def signal_when(condition, signum=signal.SIGINT, timeout=20):
    """Sends `signum` to this process from another thread once `condition()`
    holds (the main thread meanwhile waits in the manager)."""

    def watch():
        deadline = time.monotonic() + timeout
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.02)
        os.kill(os.getpid(), signum)

    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def worker_launching_for(seconds):
    started = []

    def condition():
        if not started and child_processes():
            started.append(time.monotonic())
        return started and time.monotonic() - started[0] > seconds

    return condition


@pytest.mark.parametrize("phase", ["launch delay", "readiness wait"])
def test_control_c_during_the_bring_up_tears_down_then_interrupts(lab_kwargs, sim_state, phase):
    if phase == "launch delay":
        kwargs, condition = dict(sim_launch_delay=30), worker_launching_for(0.7)
    else:
        kwargs, condition = dict(sim_ready_delay=30), lambda: len(device_files(sim_state)) == 3
    started = time.monotonic()
    sender = signal_when(condition)
    with pytest.raises(KeyboardInterrupt) as raised:
        with BringUp(**lab_kwargs, **kwargs):
            pytest.fail("the body ran")
    sender.join()
    assert time.monotonic() - started < 15
    assert isinstance(raised.value.__context__, errors.TopologyTerminatedDueToSignal)
    # (the fixture checks that nothing is left)


def test_control_c_in_the_body_tears_down_then_interrupts(lab_kwargs, sim_state):
    with pytest.raises(KeyboardInterrupt):
        with BringUp(**lab_kwargs):
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(10)
    assert device_files(sim_state) == []


def test_other_threads_run_while_topologies_come_and_go(lab_kwargs, sim_state, tmp_path):
    # Python's fork hooks would run if the worker ran Python code after the fork.
    marker = tmp_path / "python-ran-in-a-child"
    os.register_at_fork(after_in_child=lambda: marker.touch())
    ticks, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    spinners = [threading.Thread(target=spin, daemon=True) for _ in range(3)]
    for thread in spinners:
        thread.start()
    try:
        for cycle in range(3):
            bringup = BringUp(topology_name="cycle%d" % cycle, sim_launch_delay=0.3, **lab_kwargs)
            before = ticks[0]
            with bringup:
                # The manager waited 0.3 s with the GIL released.
                assert ticks[0] - before > 30
                assert len(device_files(sim_state)) == 3
            assert device_files(sim_state) == []
        # And from a thread that is not the main one.
        outcome = []

        def in_thread():
            with BringUp(topology_name="threaded", **lab_kwargs) as bringup:
                outcome.append(bringup.topology_name)

        worker = threading.Thread(target=in_thread)
        worker.start()
        worker.join(60)
        assert outcome and outcome[0].startswith("threaded_")
    finally:
        stop.set()
        for thread in spinners:
            thread.join()
    assert not marker.exists()
