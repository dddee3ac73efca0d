#!/usr/bin/env python3
"""Writes the inputs of a large bring-up: a logical testbed, a sim plan that
replays a backend which built it under other names, and a static testbed.

    bench/gen_topology.py DEVICES OUTDIR [--interfaces 8]

OUTDIR gets logical.yaml, plan.yaml and static.yaml; then

    bringup -logical_testbed_file OUTDIR/logical.yaml -sim_plan OUTDIR/plan.yaml \
            -testbed_file OUTDIR/static.yaml -tb_yaml_output_file_name OUT.yaml

brings it up.  The shapes are those of the post-launch benchmark: every
device is logical and carries user content; devices 2k and 2k+1 share one
link per interface pair; the backend lists interfaces in the other order so
that matching has to search; every tenth device gets a static override.
The YAML is written by hand (block style, as users write testbeds), so the
script needs nothing but Python.
"""
import argparse
import os


def write_logical(out, devices, interfaces):
    out.write("testbed:\n  name: bench-lab\ndevices:\n")
    for d in range(devices):
        name = f"R{d}"
        out.write(
            f"  {name}:\n    logical: true\n    type: router\n    os: frr\n    platform: lab-vm\n"
            f"    custom:\n      role: {'edge' if d % 2 else 'core'}\n      site: site-{d % 16}\n"
            f"      tags: [bench, {name}]\n"
        )
    out.write("topology:\n")
    for d in range(devices):
        name = f"R{d}"
        out.write(f"  {name}:\n    interfaces:\n")
        for i in range(interfaces):
            out.write(
                f"      Gi0/{i}:\n        link: L{d // 2}-{i}\n        type: ethernet\n"
                f"        description: {name} port {i}\n"
                f"        ipv4: 10.{d // 256 % 256}.{d % 256}.{i * 2}/31\n"
            )


def write_plan(out, devices, interfaces):
    out.write("testbed_config:\n  testbed:\n    name: bench-run\n  devices:\n")
    for d in range(devices):
        out.write(
            f"    act-R{d}:\n      type: router\n      os: frr\n      connections:\n"
            f"        cli: {{protocol: ssh, ip: 192.168.0.1, port: 22}}\n"
        )
    out.write("  topology:\n")
    for d in range(devices):
        out.write(f"    act-R{d}:\n      interfaces:\n")
        for i in reversed(range(interfaces)):
            out.write(f"        eth{i}: {{link: L{d // 2}-{i}, type: ethernet}}\n")
    out.write("dev_name_xref:\n")
    for d in range(devices):
        out.write(f"  act-R{d}: R{d}\n")


def write_static(out, devices):
    out.write("devices:\n")
    for d in range(0, devices, 10):
        out.write(f"  act-R{d}:\n    connections:\n      cli: {{port: 2022}}\n    custom: {{role: static}}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("devices", type=int)
    parser.add_argument("outdir")
    parser.add_argument("--interfaces", type=int, default=8)
    args = parser.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    with open(os.path.join(args.outdir, "logical.yaml"), "w") as out:
        write_logical(out, args.devices, args.interfaces)
    with open(os.path.join(args.outdir, "plan.yaml"), "w") as out:
        write_plan(out, args.devices, args.interfaces)
    with open(os.path.join(args.outdir, "static.yaml"), "w") as out:
        write_static(out, args.devices)


if __name__ == "__main__":
    main()
