#!/usr/bin/env python3
"""Builds the Debian package from the build tree (cpack -G DEB, into a
temporary directory) and checks it as apt and a user would meet it:

- its files (dpkg-deb -c): bringup in /usr/bin, every shared library with
  its soname link, every public header, the CMake package, and the Python
  package (extension module, pure-Python files, the pytest11 entry point)
  in /usr/lib/python3/dist-packages, where Debian's python3 looks; nothing
  outside /usr, no run path into the build tree;
- its control data (dpkg-deb -I): every library the binaries load that the
  package does not ship is provided by a package named in Depends (looked
  up with dpkg -S, independently of how the package computed them), and
  python3 is bounded to the version the extension module was built for;
  removing it clears the byte code python3 writes beside the module;
- that it works where it is unpacked: bringup -h runs, and the module
  imports with the pytest plugin's entry point found.

Exit status 77: skipped (no dpkg-deb on this machine).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

failures = []


def fail(message):
    failures.append(message)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def control_fields(info):
    """The control file's fields from `dpkg-deb -I` (continuation lines joined)."""
    fields, key = {}, None
    for line in info.splitlines():
        match = re.match(r"^ ([A-Za-z-]+): ?(.*)$", line)
        if match:
            key = match.group(1)
            fields[key] = match.group(2)
        elif key and line.startswith("  "):
            fields[key] += "\n" + line.strip()
    return fields


def depends_names(depends):
    """Package names in a Depends field, each with its version relations."""
    names = {}
    for clause in depends.split(","):
        for alternative in clause.split("|"):
            match = re.match(r"\s*([a-z0-9][a-z0-9+.-]*)(?::\w+)?\s*(?:\((.*)\))?\s*$", alternative)
            if match:
                names.setdefault(match.group(1), []).append((match.group(2) or "").replace(" ", ""))
    return names


def elf_dynamic(path):
    """(NEEDED sonames, RUNPATH) of an ELF file."""
    dump = run(["objdump", "-p", path]).stdout
    needed = re.findall(r"^\s+NEEDED\s+(\S+)", dump, re.M)
    runpath = re.findall(r"^\s+(?:RUNPATH|RPATH)\s+(\S+)", dump, re.M)
    return needed, runpath


def owners_of(sonames):
    """soname -> the names the package owning its library goes by (itself
    and what it provides)."""
    arch_tag = {"x86_64": "x86-64", "aarch64": "AArch64"}.get(os.uname().machine)
    paths = {}
    for line in run(["ldconfig", "-p"]).stdout.splitlines():
        match = re.match(r"^\s+(\S+) \(([^)]*)\) => (\S+)$", line)
        if match and match.group(1) in sonames and (arch_tag is None or arch_tag in match.group(2)):
            paths.setdefault(match.group(1), match.group(3))
    candidates = []
    for path in paths.values():
        candidates += [path, path[4:] if path.startswith("/usr/") else "/usr" + path]
    owner_of_path = {}
    for line in run(["dpkg", "-S"] + candidates).stdout.splitlines():
        package, _, path = line.partition(": ")
        owner_of_path[path] = package.split(":")[0]
    owners = {}
    for soname, path in paths.items():
        package = owner_of_path.get(path) or owner_of_path.get(
            path[4:] if path.startswith("/usr/") else "/usr" + path)
        if package:
            provides = run(["dpkg-query", "-W", "-f=${Provides}", package]).stdout
            owners[soname] = {package} | {p.split()[0] for p in provides.split(",") if p.strip()}
    return owners


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build tree's CPackConfig.cmake")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--libraries", nargs="+", required=True, help="sonames of the project's libraries")
    parser.add_argument("--header-dirs", nargs="+", required=True)
    parser.add_argument("--python-sources", help="the source folder of tarvex/morvane (without: no Python module)")
    parser.add_argument("--python-module", help="file name of the extension module")
    parser.add_argument("--python-version", help="X.Y the module is built for")
    parser.add_argument("--python-preload", default="", help="LD_PRELOAD for the import (sanitizer runtime)")
    args = parser.parse_args()

    for tool in ("dpkg-deb", "dpkg-shlibdeps", "objdump"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed (Debian: dpkg-dev, binutils)" % tool)
            return 77

    work = tempfile.mkdtemp(prefix="morvane-deb-")
    try:
        return check(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check(args, work):
    built = run([args.cpack, "-G", "DEB", "--config", args.config, "-B", work])
    debs = [f for f in os.listdir(work) if f.endswith(".deb")]
    if built.returncode != 0 or len(debs) != 1:
        print("FAIL: cpack -G DEB exited with %d and made %s\n%s%s" % (
            built.returncode, debs, built.stdout, built.stderr))
        return 1
    deb = os.path.join(work, debs[0])
    if not re.fullmatch(r"tarvex-morvane_[0-9][^_]*_[a-z0-9]+\.deb", debs[0]):
        fail("package file name %s is not tarvex-morvane_<version>_<arch>.deb" % debs[0])

    # Contents.
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    files = {line.split()[5][1:]: line.split()[0] for line in listing}  # /usr/... -> mode
    for path in files:
        if path != "/" and not path.startswith("/usr/"):
            fail("%s is outside /usr" % path)
    expected = ["/usr/bin/bringup", "/usr/bin/morvane"]
    for soname in args.libraries:
        expected += ["/usr/lib/" + soname, "/usr/lib/" + soname.rsplit(".so", 1)[0] + ".so"]
    for folder in args.header_dirs:
        for root, _, names in os.walk(folder):
            expected += ["/usr/include/" + os.path.relpath(os.path.join(root, n), folder)
                         for n in names if n.endswith(".hpp")]
    cmake_dir = "/usr/lib/cmake/tarvex-morvane/"
    expected += [cmake_dir + n for n in ("tarvex-morvaneConfig.cmake", "tarvex-morvaneConfigVersion.cmake",
                                         "tarvex-morvane-targets.cmake")]
    dist_packages = "/usr/lib/python3/dist-packages/"
    if args.python_sources:
        search_path = run(["/usr/bin/python3", "-c", "import sys; print(sys.path)"], env={}).stdout
        if repr(dist_packages.rstrip("/")) not in search_path:
            fail("/usr/bin/python3 does not look in %s: %s" % (dist_packages, search_path))
        package_dir = dist_packages + "tarvex/morvane/"
        expected.append(package_dir + args.python_module)
        expected += [package_dir + n for n in os.listdir(args.python_sources) if n.endswith(".py")]
        entry_points = [p for p in files if re.fullmatch(re.escape(dist_packages) + r"tarvex_morvane-[^/]+\.dist-info/"
                                                         r"entry_points\.txt", p)]
        if len(entry_points) != 1:
            fail("no single tarvex_morvane-*.dist-info/entry_points.txt in %s: %s" % (dist_packages, entry_points))
    for path in expected:
        if path not in files:
            fail("%s is not in the package" % path)
    if files.get("/usr/bin/bringup", "")[3:4] != "x":
        fail("/usr/bin/bringup is not executable")

    # Unpacked: the binaries' libraries and run paths.
    root = os.path.join(work, "root")
    run(["dpkg-deb", "-x", deb, root])
    shipped = set(args.libraries)
    needed = set()
    for path, mode in files.items():
        if mode.startswith("-") and (path.startswith("/usr/bin/") or re.search(r"\.so(\.[0-9.]+)?$", path)):
            sonames, runpaths = elf_dynamic(root + path)
            needed |= set(sonames) - shipped
            for runpath in runpaths:
                if os.path.realpath(args.build_dir) in runpath or "$ORIGIN" not in runpath:
                    fail("%s has the run path %s (not relative to the package)" % (path, runpath))
    if not needed:
        fail("no binary of the package loads an outside library (objdump -p found nothing)")

    # Control data: every outside library's package is depended on.
    info = run(["dpkg-deb", "-I", deb]).stdout
    fields = control_fields(info)
    for field in ("Package", "Version", "Architecture", "Maintainer", "Description"):
        if not fields.get(field):
            fail("the control file has no %s" % field)
    if fields.get("Package") != "tarvex-morvane":
        fail("Package is %r, not tarvex-morvane" % fields.get("Package"))
    depends = depends_names(fields.get("Depends", ""))
    owners = owners_of(needed)
    for soname in sorted(needed):
        if soname not in owners:
            fail("no installed package owns %s (needed by the package)" % soname)
        elif not owners[soname] & set(depends):
            fail("%s comes from %s, which Depends does not name (Depends: %s)" % (
                soname, "/".join(sorted(owners[soname])), fields.get("Depends")))
    if args.python_version:
        major, minor = (int(n) for n in args.python_version.split("."))
        relations = set(depends.get("python3", []))
        for relation in (">=%d.%d" % (major, minor), "<<%d.%d" % (major, minor + 1)):
            if relation not in relations:
                fail("Depends does not bound python3 by %s (python3: %s)" % (relation, relations or "absent"))
        tag = "cpython-%d%d-" % (major, minor)
        if tag not in (args.python_module or ""):
            fail("the extension module %s is not built for Python %s" % (args.python_module, args.python_version))
        if "prerm" not in info or "py3clean" not in run(["dpkg-deb", "-I", deb, "prerm"]).stdout:
            fail("the package has no prerm clearing the Python byte code (py3clean)")

    # Unpacked, it works: the tool runs and the module imports with its plugin.
    tool = run([root + "/usr/bin/bringup", "-h"], stdin=subprocess.DEVNULL, timeout=60)
    if tool.returncode != 0 or "-logical_testbed_file" not in tool.stdout + tool.stderr:
        fail("the packaged bringup -h exited with %d:\n%s%s" % (tool.returncode, tool.stdout, tool.stderr))
    if args.python_sources:
        probe = ("import importlib.metadata as m, tarvex.morvane as t, tarvex.morvane._morvane as e;"
                 "print(t.__file__); print(e.__file__); print(sorted(t.orchestrators()));"
                 "print([p.value for p in m.entry_points(group='pytest11') if p.name == 'morvane'])")
        env = dict(os.environ, PYTHONPATH=root + dist_packages, PYTHONDONTWRITEBYTECODE="1")
        if args.python_preload:
            env.update(LD_PRELOAD=args.python_preload, ASAN_OPTIONS="detect_leaks=0")
        imported = run(["/usr/bin/python3", "-c", probe], env=env, cwd=work, timeout=60)
        lines = imported.stdout.splitlines()
        if imported.returncode != 0 or len(lines) != 4:
            fail("importing the packaged tarvex.morvane failed:\n%s%s" % (imported.stdout, imported.stderr))
        else:
            for line in lines[:2]:
                if not line.startswith(root + dist_packages):
                    fail("tarvex.morvane was imported from %s, not from the package" % line)
            if "'sim'" not in lines[2]:
                fail("the packaged module knows no sim backend: %s" % lines[2])
            if lines[3] != "['tarvex.morvane.pytest_plugin']":
                fail("pytest would not find the plugin: pytest11 entry points %s" % lines[3])

    for message in failures:
        print("FAIL: " + message)
    if failures:
        print("--- dpkg-deb -I\n" + info)
        return 1
    print("package test passed: %s, %d files, Depends: %s" % (debs[0], len(files), fields.get("Depends")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
