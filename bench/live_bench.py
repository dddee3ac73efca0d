#!/usr/bin/env python3
"""Acting on a running topology, against the kernel's own tools (root).

Brings examples/ospf-lab up through the Python module, then, in the same
run, times the round trip of `true` run in host h1:

  ip netns exec NS true          the baseline: forking ip, which enters the namespace
  morvane exec h1 -- true        the tool: a process, the control file, an XML-RPC call
  b.exec("h1", ["true"])         the Python module: one call to the worker

and how long an impairment change takes from the call until the kernel has
it (the call returns once the kernel acknowledged the new queueing
discipline; `tc qdisc show` confirms it afterwards).

    sudo PYTHONPATH=build/python bench/live_bench.py [--rounds N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MORVANE = os.path.join(ROOT, "build", "bin", "morvane")


def timed(action, rounds):
    """Median and 90th percentile of `rounds` runs of `action`, in ms."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        times.append((time.perf_counter() - start) * 1000)
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.9) - 1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("live_bench: run as root (the netns backend builds namespaces)")
    from tarvex.morvane import BringUp

    lab = os.path.join(ROOT, "examples", "ospf-lab", "logical.yaml")
    with BringUp(orchestrator="netns", logical_testbed_file=lab, bringup_log_level="warning") as b:
        devices = b.topology_config["devices"]
        ns = next(d["connections"]["netns"]["namespace"] for d in devices.values() if d.get("alias") == "h1")
        run = b.topology_name

        def ip_netns():
            subprocess.run(["ip", "netns", "exec", ns, "true"], check=True)

        def tool():
            subprocess.run([MORVANE, "exec", "--run", run, "h1", "--", "true"], check=True)

        def module():
            b.exec("h1", ["true"], check=True)

        results = [("ip netns exec NS true", timed(ip_netns, args.rounds))]
        results.append(("morvane exec h1 -- true", timed(tool, args.rounds)))
        results.append(('b.exec("h1", ["true"])', timed(module, args.rounds)))
        base = results[0][1][0]
        print("%-28s %10s %10s %8s" % ("exec round trip", "median ms", "p90 ms", "ratio"))
        for name, (median, p90) in results:
            print("%-28s %10.2f %10.2f %8.2f" % (name, median, p90, median / base))

        link = b.link("r1", "to-r2")
        rates = iter(["10mbit", "20mbit"] * args.rounds)
        median, p90 = timed(lambda: link.impair(rate=next(rates)), args.rounds)
        shown = subprocess.run(["ip", "netns", "exec",
                                next(d["connections"]["netns"]["namespace"] for d in devices.values()
                                     if d.get("alias") == "r1"),
                                "tc", "qdisc", "show", "dev", "eth1"], capture_output=True, text=True).stdout
        link.clear()
        print("%-28s %10.2f %10.2f   (the kernel then shows: %s)" % (
            "impairment change", median, p90, shown.strip().splitlines()[0] if shown.strip() else "nothing"))


if __name__ == "__main__":
    main()
