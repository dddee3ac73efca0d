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
"""

import atexit
import threading
import weakref

from . import errors
from ._morvane import Manager as _Manager
from ._morvane import load_yaml, orchestrators
from .errors import Error

__all__ = ["BringUp", "Error", "errors", "orchestrators", "load_yaml"]

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


@atexit.register
def _end_live_workers():
    with _live_lock:
        live = list(_live)
    for bringup in live:
        bringup.close()
