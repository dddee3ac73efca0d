"""The OSPF lab (examples/ospf-lab) broken on purpose, by my names (root,
FRRouting): a cable pulled, and OSPF finds the way round in measured time;
a link slowed and made lossy, and traffic still flows.

    sudo pytest examples/pytest/test_ospf_live.py
"""

import os
import pathlib
import re
import shutil
import time

import pytest
from tarvex.morvane import Error, orchestrators

LAB = pathlib.Path(__file__).resolve().parent.parent / "ospf-lab" / "logical.yaml"

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0 or "netns" not in orchestrators() or not shutil.which("vtysh"),
                       reason="needs root, the netns backend and FRRouting"),
    pytest.mark.morvane(orchestrator="netns", logical_testbed_file=str(LAB)),
]

# h1 sits behind r2 and h2 behind r3.  From r2, h2's network is cheaper by
# r1 (10 + 10) than straight over r2-r3 (cost 100).


def next_hop(b, router, address):
    """The router's next hop to `address` (None while it has no route)."""
    route = b.exec(router, ["ip", "-4", "route", "get", address]).stdout
    found = re.search(r"via (\S+)", route)
    return found and found.group(1)


def wait_for(condition, within):
    """Seconds until `condition()` held; fails after `within` seconds."""
    start = time.monotonic()
    while not condition():
        assert time.monotonic() - start < within, "not within %s s" % within
        time.sleep(0.02)
    return time.monotonic() - start


def test_ospf_reroutes_when_a_cable_is_pulled(morvane_bringup):
    b = morvane_bringup
    # Ready means every adjacency is Full; the routes across follow within moments.
    wait_for(lambda: next_hop(b, "r2", "10.0.3.10") == "10.0.12.1", within=5)  # by r1
    b.link("r2", "to-r1").down()
    try:
        took = wait_for(lambda: next_hop(b, "r2", "10.0.3.10") == "10.0.23.2", within=5)
        print("rerouted over r2-r3 in %.3f s" % took)
        assert b.exec("h1", ["ping", "-c1", "-W2", "10.0.3.10"]).returncode == 0
    finally:
        b.link("r2", "to-r1").up()
    took = wait_for(lambda: next_hop(b, "r2", "10.0.3.10") == "10.0.12.1", within=10)
    print("back by r1 in %.3f s" % took)


def test_traffic_flows_under_delay_and_loss(morvane_bringup):
    b = morvane_bringup
    link = b.link("h1", "eth0")
    try:
        link.impair(delay="100ms", loss="1%")
    except Error as error:
        if "no netem" in str(error):
            pytest.skip("this kernel has no netem qdisc")
        raise
    try:
        ping = b.exec("h1", ["ping", "-c20", "-i0.05", "-q", "10.0.3.10"], timeout=30)
        received = int(re.search(r"(\d+) received", ping.stdout).group(1))
        average = float(re.search(r"= [\d.]+/([\d.]+)/", ping.stdout).group(1))
        # 1 % of the requests lost: more than 5 of 20 with a chance below 1e-7.
        assert received >= 15, ping.stdout
        assert 100 <= average < 120, ping.stdout
    finally:
        link.clear()
    assert b.exec("h1", ["ping", "-c1", "-W1", "10.0.3.10"]).returncode == 0
