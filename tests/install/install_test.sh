#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and uses it as a user
# would: the installed bringup tool runs, and examples/program builds
# against the installed CMake package and brings the example lab up (and a
# failing plan fails the way the program shows).
#
#   install_test.sh SOURCE_DIR BUILD_DIR CMAKE CXX_COMPILER CXX_FLAGS LINKER_FLAGS
#
# The compiler and flags are the build's, so that a sanitizer build links
# the program with the same runtime.  Exit status 77: skipped.
set -euo pipefail

src=$1 build=$2 cmake=$3 cxx=$4 cxx_flags=$5 linker_flags=$6

if command -v ninja >/dev/null; then
  generator=Ninja
elif command -v make >/dev/null; then
  generator="Unix Makefiles"
else
  echo "SKIP: neither ninja nor make is available to build the example program"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
export MORVANE_SIM_STATE_DIR=$work/sim
export TMPDIR=$work  # the example program's per-device logs go under it

fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    [ -f "$log" ] && { echo "--- $(basename "$log")"; cat "$log"; }
  done
  exit 1
}

# Runs a program with no standard input, bounded in time (SIGTERM first, so
# that the bring-up tears down, then SIGKILL).
run() { timeout --kill-after=10 60 "$@" </dev/null; }

# Every tarvex library a binary loads must come from the prefix.
check_libraries_from_prefix() {
  command -v ldd >/dev/null || return 0
  local lib path found=0
  while read -r lib _ path _; do
    [ "$(dirname "$(realpath "$path")")" = "$(realpath "$prefix/lib")" ] || fail "$1 loads $lib from $path"
    found=$((found + 1))
  done < <(ldd "$1" | grep libtarvex_)
  [ "$found" -gt 0 ] || fail "$1 loads no tarvex library"
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install"
for file in bin/bringup include/tarvex/morvane/orvanta.hpp lib/cmake/tarvex-morvane/tarvex-morvaneConfig.cmake; do
  [ -e "$prefix/$file" ] || fail "$file was not installed"
done

# The installed tool.
run "$prefix/bin/bringup" -h >"$work/help.log" 2>&1 || fail "installed bringup -h exited with $?"
for option in -logical_testbed_file -sim_plan -interactive; do
  grep -q -- "$option" "$work/help.log" || fail "installed bringup -h does not list $option"
done
check_libraries_from_prefix "$prefix/bin/bringup"

# The example program, against the installed package only.
"$cmake" -S "$src/examples/program" -B "$work/program" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags" -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" \
  >"$work/configure.log" 2>&1 || fail "configuring examples/program against the prefix"
"$cmake" --build "$work/program" >"$work/build.log" 2>&1 || fail "building examples/program"
program=$work/program/lab-bringup
check_libraries_from_prefix "$program"

status=0
run "$program" "$src/examples/lab/logical.yaml" >"$work/run.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "lab-bringup on the example lab exited with $status"
for line in "sim-R1 is R1" "sim-R2 is R2" "sim-SW1 is SW1" "Topology torn down." \
  "Simulated devices live under $MORVANE_SIM_STATE_DIR"; do
  grep -qF -- "$line" "$work/run.log" || fail "lab-bringup did not print '$line'"
done
[ -z "$(ls -A "$MORVANE_SIM_STATE_DIR")" ] || fail "simulated devices left: $(ls -A "$MORVANE_SIM_STATE_DIR")"
logs=$(find "$work/morvane-logs" -name 'lab-bringup_DeviceLaunch_*' | wc -l)
[ "$logs" -eq 3 ] || fail "expected 3 per-device logs in $work/morvane-logs, found $logs"

# A failure inside the worker reaches the program as an error it catches.
{
  cat "$src/examples/lab/plan.yaml"
  printf 'fail:\n  launch: "the hypervisor refused to start vm-102"\n'
} >"$work/failing-plan.yaml"
status=0
run "$program" "$src/examples/lab/logical.yaml" -sim_plan "$work/failing-plan.yaml" >"$work/failing-run.log" 2>&1 ||
  status=$?
[ "$status" -eq 1 ] || fail "lab-bringup with a failing plan exited with $status, not 1"
grep -qF "Bring-up failed (Exception):" "$work/failing-run.log" || fail "the worker's failure was not caught"
grep -qxF "Exception: the hypervisor refused to start vm-102" "$work/failing-run.log" ||
  fail "the worker's error text did not arrive"

echo "install test passed"
