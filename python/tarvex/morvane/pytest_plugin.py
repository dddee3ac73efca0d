"""pytest plugin: a topology brought up for the tests that use it.

Tests ask for the fixture ``morvane_testbed`` (the testbed as built, a dict
under the actual device names, each device carrying your name as its
``alias``) or ``morvane_bringup`` (the ``tarvex.morvane.BringUp``).  The
topology is brought up once for the session, when the first test asks for
it, and torn down at the end of the session whatever the tests did.  A
module marked ``pytestmark = pytest.mark.morvane(**keywords)`` gets a
topology of its own, brought up for the module with the marker's BringUp
keywords over the session's settings.

The settings come from the command line or the ini file (paths in the ini
file are relative to it):

    --morvane-logical-testbed FILE     morvane_logical_testbed
    --morvane-orchestrator NAME        morvane_orchestrator
    --morvane-clean-files FILE...      morvane_clean_files
    --morvane-testbed-file FILE        morvane_testbed_file
    --morvane-tb-output-file FILE      morvane_tb_output_file
    --morvane-topology-name NAME       morvane_topology_name
    --morvane-log-level LEVEL          morvane_log_level
    --morvane-log-dir DIR              morvane_log_dir
    --morvane-arg KEY=VALUE            morvane_args (one KEY=VALUE a line)

``--morvane-arg`` passes any other BringUp keyword (``sim_plan``,
``netns_ready_timeout``, ...); its value is read as YAML (``3`` is a
number, ``yes`` true).  A failed bring-up fails the tests that use it with
the bring-up's error text.  The rules are the bringup tool's: a logical
testbed is needed, and without an orchestrator or clean files the sim
backend is used.
"""

import copy
import os
import sys

import pytest

# (option, ini name, BringUp keyword, kind, help)
_SETTINGS = [
    ("--morvane-logical-testbed", "morvane_logical_testbed", "logical_testbed_file", "path",
     "the logical testbed to bring up"),
    ("--morvane-orchestrator", "morvane_orchestrator", "orchestrator", "text",
     "the orchestrator backend (sim, netns, ...)"),
    ("--morvane-clean-files", "morvane_clean_files", "clean_files", "paths",
     "clean files (the backend is named in their bringup section)"),
    ("--morvane-testbed-file", "morvane_testbed_file", "testbed_file", "path",
     "a static testbed merged over what is built"),
    ("--morvane-tb-output-file", "morvane_tb_output_file", "tb_yaml_output_file_name", "path",
     "where the final testbed YAML is written"),
    ("--morvane-topology-name", "morvane_topology_name", "topology_name", "text",
     "the topology's name (a timestamp is added)"),
    ("--morvane-log-level", "morvane_log_level", "bringup_log_level", "text",
     "the bring-up's log level (debug, info, warning, error, critical)"),
    ("--morvane-log-dir", "morvane_log_dir", "log_dir", "path",
     "directory of the readiness wait's per-device logs"),
]


def pytest_addoption(parser):
    group = parser.getgroup("morvane", "topology bring-up (morvane)")
    for option, ini, _, kind, text in _SETTINGS:
        dest = ini
        if kind == "paths":
            group.addoption(option, dest=dest, nargs="+", metavar="FILE", help=text)
            parser.addini(ini, text + " (paths relative to the ini file)", type="args")
        else:
            group.addoption(option, dest=dest, metavar="FILE" if kind == "path" else kind.upper(), help=text)
            parser.addini(ini, text + (" (relative to the ini file)" if kind == "path" else ""))
    group.addoption("--morvane-arg", dest="morvane_args", action="append", default=[], metavar="KEY=VALUE",
                    help="another BringUp keyword, its value read as YAML (repeatable)")
    parser.addini("morvane_args", "other BringUp keywords, one KEY=VALUE a line", type="linelist")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "morvane(**keywords): bring a topology up for this module alone, with these BringUp keywords "
        "over the command-line and ini settings",
    )


def _ini_base(config):
    return str(config.inipath.parent) if config.inipath else str(config.rootpath)


def _keyword_value(text, where):
    from tarvex.morvane import load_yaml

    key, sep, value = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise pytest.UsageError("%s: %r is not KEY=VALUE" % (where, text))
    try:
        return key, load_yaml(value, where)
    except Exception as error:
        raise pytest.UsageError("%s: %s" % (where, error)) from None


def session_keywords(config):
    """The BringUp keywords the command line and the ini file give."""
    keywords = {}
    for _, ini, keyword, kind, _ in _SETTINGS:
        given = config.getoption(ini)
        if given:
            base = str(config.invocation_params.dir)
        else:
            given = config.getini(ini)
            base = _ini_base(config)
        if not given:
            continue
        if kind == "path":
            given = os.path.join(base, os.path.expanduser(given))
        elif kind == "paths":
            given = [os.path.join(base, os.path.expanduser(p)) for p in given]
        keywords[keyword] = given
    for line in config.getini("morvane_args"):
        key, value = _keyword_value(line, "morvane_args")
        keywords[key] = value
    for text in config.getoption("morvane_args"):
        key, value = _keyword_value(text, "--morvane-arg")
        keywords[key] = value
    return keywords


def pytest_report_header(config):
    keywords = session_keywords(config)
    if not keywords:
        return None
    shown = ", ".join("%s=%s" % item for item in keywords.items() if item[0] != "clean_config")
    return "morvane: " + shown


class _Topology:
    """One topology brought up for a scope: entered on creation, left by
    close(), with failures reported as test failures, not tracebacks."""

    def __init__(self, keywords, scope):
        from tarvex.morvane import BringUp, Error
        from tarvex.morvane._morvane import complete_keywords, logical_testbed_problem, output_file_problem

        # The same rules as the bringup tool's: a logical testbed is needed,
        # and the default backend serves when none is named.
        problem = logical_testbed_problem(keywords, "--morvane-logical-testbed") or output_file_problem(
            keywords.get("tb_yaml_output_file_name"), "--morvane-tb-output-file")
        if problem:
            pytest.fail(
                "morvane: %s (for the %s; or the morvane_logical_testbed ini setting, or logical_testbed_file "
                "in the morvane marker)" % (problem, scope),
                pytrace=False,
            )
        self.scope = scope
        keywords = complete_keywords(keywords)
        failure = None
        try:
            self.bringup = BringUp(**keywords)
            self.bringup.__enter__()
        except (Error, TypeError, ValueError) as error:
            failure = self._failure("bring-up", error)
        if failure:  # raised outside the handler: the report shows the text alone
            pytest.fail(failure, pytrace=False)
        try:
            self.testbed = self.bringup.topology_config
        except BaseException:
            self.bringup.__exit__(*sys.exc_info())
            raise

    def _failure(self, what, error):
        return "morvane: the %s of the %s topology failed (%s):\n%s" % (
            what, self.scope, type(error).__name__, error)

    def close(self):
        from tarvex.morvane import Error

        failure = None
        try:
            self.bringup.__exit__(None, None, None)
        except Error as error:
            failure = self._failure("teardown", error)
        if failure:
            pytest.fail(failure, pytrace=False)


def _module_marker(request):
    module = request.node.getparent(pytest.Module)
    return module.get_closest_marker("morvane") if module else None


@pytest.fixture(scope="session")
def _morvane_session_topology(request):
    topology = _Topology(session_keywords(request.config), "session")
    yield topology
    topology.close()


@pytest.fixture(scope="module")
def _morvane_module_topology(request):
    marker = _module_marker(request)
    keywords = session_keywords(request.config)
    keywords.update(marker.kwargs)
    topology = _Topology(keywords, "module %s" % request.module.__name__)
    yield topology
    topology.close()


def _topology(request):
    if _module_marker(request) is not None:
        return request.getfixturevalue("_morvane_module_topology")
    return request.getfixturevalue("_morvane_session_topology")


@pytest.fixture
def morvane_bringup(request):
    """The tarvex.morvane.BringUp of the session's (or the marked module's)
    topology, up while the test runs."""
    return _topology(request).bringup


@pytest.fixture
def morvane_testbed(request):
    """The testbed as built: a dict under the actual device names, each
    device carrying the logical testbed's name as its ``alias`` (a copy of
    its own for each test)."""
    return copy.deepcopy(_topology(request).testbed)
