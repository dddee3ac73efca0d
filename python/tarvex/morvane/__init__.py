"""morvane: bring network topologies up from Python.

    from tarvex.morvane import BringUp

    with BringUp(orchestrator="sim", logical_testbed_file="lab.yaml") as bringup:
        testbed = bringup.topology_config      # a plain dict, actual device names
        ...                                    # the tests
    # torn down here, whatever the body did

The keyword arguments are those of the C++ ``tarvex::morvane::BringUp``:
the manager's own (``orchestrator``, ``clean_files``, ``clean_config``,
``bringup_clean_config``, ``bringup_log_level``, ``debug``) and the
worker's (``logical_testbed_file``, ``testbed_file``, ``topology_name``,
``tb_yaml_output_file_name``, ``interactive``, ... and the backend's own,
such as ``sim_plan`` or ``sim_launch_delay``).  ``log_dir`` names the
directory of the readiness wait's per-device logs.  The process's command
line is not read.

On a running topology (the ``netns`` backend), by your device and interface
names::

    r = bringup.exec("h1", ["ping", "-c1", "10.0.2.10"])   # r.returncode, r.stdout, r.stderr
    bringup.exec("h1", "ip -br addr", check=True)           # CommandFailed unless it exits 0
    bringup.link("r1", "to-r2").down()                      # the cable pulled: both ends lose carrier
    bringup.link("r1", "to-r2").impair(delay="50ms", loss="1%")
    bringup.link("r1", "to-r2").clear()
    bringup.save("saved/")                                  # each router's running config, the testbed
"""

import atexit
import threading
import weakref

from . import errors
from ._morvane import Manager as _Manager
from ._morvane import load_yaml, orchestrators
from .errors import Error

__all__ = ["BringUp", "CommandResult", "CommandFailed", "Link", "Error", "errors", "orchestrators", "load_yaml"]

# Managers whose worker may still run, ended at interpreter exit.
_live = weakref.WeakSet()
_live_lock = threading.Lock()


class BringUp:
    """The bring-up manager, used as a context manager.

    Entering brings the topology up (starting the worker process, launching,
    waiting until the devices are ready) and returns the manager; leaving
    always tears it down and ends the worker, also when the body raised or
    Control-C was pressed.  An error of the bring-up is an
    ``tarvex.morvane.Error`` of the type the C++ side raised; Control-C
    during the bring-up or the teardown tears down, then raises
    ``KeyboardInterrupt``.  A bad keyword argument raises ``TypeError``.
    """

    def __init__(self, *args, log_dir=None, **kwargs):
        from ._morvane import use_log_dir

        use_log_dir(None if log_dir is None else str(log_dir))
        self._manager = _Manager(args, kwargs)
        with _live_lock:
            _live.add(self)

    def __enter__(self):
        self._manager.enter()
        return self

    def __exit__(self, exc_type, exc, tb):
        interrupted = exc_type is not None and issubclass(exc_type, KeyboardInterrupt)
        self._manager.exit(interrupted)
        return False

    def close(self):
        """Ends the worker if it still runs, tearing its topology down."""
        self._manager.close()

    # The worker's attributes, read from the worker process (None once the
    # worker has ended).
    @property
    def topology_config(self):
        """The testbed as built: a dict under the actual device names, each
        device carrying the logical testbed's name as its ``alias``."""
        return self._manager.worker_attribute("topology_config")

    @property
    def output_clean_config(self):
        return self._manager.worker_attribute("output_clean_config")

    @property
    def topology_name(self):
        return self._manager.worker_attribute("topology_name")

    @property
    def logical_devices(self):
        return self._manager.worker_attribute("logical_devices")

    @property
    def help(self):
        return self._manager.worker_attribute("help")

    @property
    def cli_usage_details(self):
        return self._manager.worker_attribute("cli_usage_details")

    @property
    def cli_help_details(self):
        return self._manager.worker_attribute("cli_help_details")

    @property
    def interactive(self):
        return self._manager.worker_attribute("interactive")

    @interactive.setter
    def interactive(self, value):
        self._manager.set_interactive(bool(value))

    # On the running topology (the netns backend).
    def exec(self, device, args, timeout=30, input=None, check=False):
        """Runs ``args`` (a list, or a text for sh -c) inside ``device`` and
        returns a CommandResult; with ``check``, raises CommandFailed unless
        it exits 0."""
        if isinstance(input, bytes):
            input = input.decode()
        result = CommandResult(device, args, self._manager.worker_call(
            "exec", [device, args if isinstance(args, str) else list(args), float(timeout), input]))
        if check and (result.returncode != 0 or result.timed_out):
            raise CommandFailed(result)
        return result

    def link(self, device, interface):
        """The cable of ``interface`` of ``device``, to take down, up or impair."""
        return Link(self._manager, device, interface)

    def save(self, directory):
        """Writes each FRR router's running configuration (DEVICE.conf) and
        the final testbed into ``directory``; returns the files written."""
        return self._manager.worker_call("save", [str(directory)])

    # The manager's own.
    @property
    def orchestrator(self):
        return self._manager.orchestrator

    @property
    def worker_class(self):
        """The qualified name of the worker class that builds the topology."""
        return self._manager.worker_class

    def __repr__(self):
        state = "running" if self._manager.running else "ended"
        return "<tarvex.morvane.BringUp %s (%s)>" % (self.worker_class, state)


class CommandResult:
    """What a command run in a device did."""

    def __init__(self, device, args, result):
        self.device = device
        self.args = args
        self.returncode = result["returncode"]
        self.stdout = result["stdout"]
        self.stderr = result["stderr"]
        self.timed_out = result["timed_out"]

    def __repr__(self):
        return "CommandResult(device=%r, args=%r, returncode=%r%s)" % (
            self.device, self.args, self.returncode, ", timed_out=True" if self.timed_out else "")


class CommandFailed(Error):
    """A command run with check=True did not exit 0 (``result`` tells more)."""

    def __init__(self, result):
        self.result = result
        what = "was killed after its timeout" if result.timed_out else "exited %d" % result.returncode
        Error.__init__(self, "%r on %s %s: %s" % (
            result.args, result.device, what, (result.stderr or result.stdout).strip()[-500:]))


class Link:
    """One interface's cable on a running topology: bringup.link(device, interface)."""

    def __init__(self, manager, device, interface):
        self._manager = manager
        self.device = device
        self.interface = interface

    def down(self):
        """Pulls the cable: this interface and the one across lose their carrier."""
        self._manager.worker_call("link_state", [self.device, self.interface, "down"])
        return self

    def up(self):
        """Puts the cable back."""
        self._manager.worker_call("link_state", [self.device, self.interface, "up"])
        return self

    def impair(self, **settings):
        """Shapes this interface's egress: delay, jitter, loss, rate, duplicate,
        corrupt, reorder, as tc writes them ("50ms", "1%", "100mbit").
        Returns what is in effect."""
        return self._manager.worker_call("impair", [self.device, self.interface, settings])

    def clear(self):
        """Removes the impairment."""
        self._manager.worker_call("impair", [self.device, self.interface, {}])

    def __repr__(self):
        return "Link(%r, %r)" % (self.device, self.interface)


@atexit.register
def _end_live_workers():
    with _live_lock:
        live = list(_live)
    for bringup in live:
        bringup.close()
