"""The netns lab (examples/netns-lab) checked by pytest through the morvane
plugin: brought up on the netns backend when it can be (as root), else on
the simulated backend, for this module alone, and torn down after it.

    sudo pytest examples/pytest          # netns: real namespaces, pings
    pytest examples/pytest               # sim: the testbed only
"""

import os
import pathlib
import subprocess

import pytest
from tarvex.morvane import orchestrators

LAB = pathlib.Path(__file__).resolve().parent.parent / "netns-lab"
NETNS = os.geteuid() == 0 and "netns" in orchestrators()

pytestmark = pytest.mark.morvane(
    orchestrator="netns" if NETNS else "sim",
    logical_testbed_file=str(LAB / "logical.yaml"),
)


def actual(testbed, name):
    """The actual device built for my device `name`."""
    return next(device for device, entry in testbed["devices"].items() if entry.get("alias") == name)


def interfaces(testbed, name):
    """The interfaces of my device `name`, under my interface names."""
    built = testbed["topology"][actual(testbed, name)]["interfaces"]
    return {entry.get("alias", interface): entry for interface, entry in built.items()}


def test_every_device_is_built_under_my_name(morvane_testbed):
    assert sorted(d["alias"] for d in morvane_testbed["devices"].values()) == ["h1", "h2", "h3", "h4", "r1", "sw1"]


def test_interfaces_carry_my_names_and_addresses(morvane_testbed):
    r1 = interfaces(morvane_testbed, "r1")
    assert r1["Gi0/1"]["ipv4"] == "10.0.1.1/24" and r1["Gi0/1"]["ipv6"] == "2001:db8:1::1/64"
    assert r1["Lo0"]["ipv4"] == "192.0.2.1/32"
    assert interfaces(morvane_testbed, "h3")["eth0"]["mtu"] == 1400
    assert morvane_testbed["devices"][actual(morvane_testbed, "h1")]["gateway"] == ["10.0.1.1", "2001:db8:1::1"]


@pytest.mark.skipif(not NETNS, reason="pings need the netns backend (run as root)")
@pytest.mark.parametrize("source, target", [
    ("h1", "10.0.2.10"),        # across the router
    ("h1", "2001:db8:2::10"),   # the same in IPv6
    ("h3", "10.0.3.14"),        # across the switch, in VLAN 10
    ("h4", "10.0.1.10"),        # by h4's static route, back by h1's gateway
])
def test_ping_across_the_topology(morvane_testbed, source, target):
    namespace = morvane_testbed["devices"][actual(morvane_testbed, source)]["connections"]["netns"]["namespace"]
    ping = subprocess.run(["ip", "netns", "exec", namespace, "ping", "-c", "1", "-W", "2", target],
                          capture_output=True, text=True)
    assert ping.returncode == 0, ping.stdout + ping.stderr
