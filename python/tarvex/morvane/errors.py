"""The errors of a bring-up, as Python exceptions.

Every error the manager or its worker raises is an instance of ``Error`` and
of the class named like its C++ counterpart.  Those named like Python's own
errors also derive from them, so ``except FileNotFoundError`` catches a
missing testbed file.  The text of an error is its whole chain, what failed
first included, as the ``bringup`` tool shows it.  A backend's own error
type arrives as a class of that name, derived from the nearest class below.
"""

import builtins


class Error(Exception):
    """An error of the bring-up (``tarvex::Exception`` in C++)."""

    #: The error's type name on the C++ side.
    type_name = "Exception"

    def __str__(self):
        # KeyError and OSError would otherwise show their text in repr form
        # or with an errno prefix: the text is already the whole chain.
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


def _builtin_like(name, base):
    return type(name, (base, getattr(builtins, name)), {"__module__": __name__, "type_name": name})


def _own(name, base, doc):
    return type(name, (base,), {"__module__": __name__, "type_name": name, "__doc__": doc})


TypeError = _builtin_like("TypeError", Error)
ValueError = _builtin_like("ValueError", Error)
LookupError = _builtin_like("LookupError", Error)
KeyError = _builtin_like("KeyError", LookupError)
IndexError = _builtin_like("IndexError", LookupError)
AttributeError = _builtin_like("AttributeError", Error)
RuntimeError = _builtin_like("RuntimeError", Error)
NotImplementedError = _builtin_like("NotImplementedError", RuntimeError)
AssertionError = _builtin_like("AssertionError", Error)
EOFError = _builtin_like("EOFError", Error)
ImportError = _builtin_like("ImportError", Error)
OSError = _builtin_like("OSError", Error)
FileNotFoundError = _builtin_like("FileNotFoundError", OSError)
TimeoutError = _builtin_like("TimeoutError", OSError)
ConnectionError = _builtin_like("ConnectionError", OSError)
ConnectionRefusedError = _builtin_like("ConnectionRefusedError", ConnectionError)
ConnectionResetError = _builtin_like("ConnectionResetError", ConnectionError)

ArgumentError = _own("ArgumentError", ValueError, "A malformed option or option value.")
BringupWorkerException = _own("BringupWorkerException", Error, "The worker process could not be used.")
NoOrchestratorSpecified = _own("NoOrchestratorSpecified", BringupWorkerException, "No orchestrator was named.")
ServerNotStarted = _own("ServerNotStarted", BringupWorkerException, "The worker's server did not start.")
FailedToCreateBringupWorker = _own(
    "FailedToCreateBringupWorker", BringupWorkerException, "The worker could not be constructed."
)
NoConnectionError = _own("NoConnectionError", BringupWorkerException, "The worker's server could not be reached.")
TopologyTerminatedDueToSignal = _own(
    "TopologyTerminatedDueToSignal", Error, "A signal ended the launch; the topology was torn down."
)
BringupWorkerDied = _own("BringupWorkerDied", Error, "The worker process ended while it was still needed.")
SignalError = _own("SignalError", Error, "A signal interrupted the worker.")

_classes = {cls.type_name: cls for cls in globals().copy().values() if isinstance(cls, type) and issubclass(cls, Error)}
_classes["Exception"] = Error


def _from_framework(type_name, ancestors, text, errno=None):
    """The exception for an error of the C++ side: its type name, the names
    of the known classes it is an instance of, its text and its errno."""
    cls = _classes.get(type_name)
    if cls is None:
        known = [_classes[name] for name in ancestors if name in _classes] or [Error]
        base = max(known, key=lambda c: len(c.__mro__))
        cls = _own(type_name, base, "An error of type %s raised by the bring-up." % type_name)
        _classes[type_name] = cls
    error = cls(text)
    if errno is not None and isinstance(error, builtins.OSError):
        error.errno = errno
    return error
