#!/usr/bin/env bash
# How ./dev names and configures its trees (scripts/trees.sh): every tree beside BUILD_DIR; a
# tree someone configured by hand with other options (the README's product-only build) gets
# ./dev's options back at its next configure; a ctest run that selects no test fails.
# Usage: tests/package/trees.test.sh [SCRATCH]   (a folder it may empty; default: a temporary one)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
if [ -n "${1:-}" ]; then
  work=$1
  rm -rf "$work"
  mkdir -p "$work"
else
  work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
# expect WHAT GOT WANTED
expect() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL: %s\n  got:    %s\n  wanted: %s\n' "$1" "$2" "$3" >&2
  fi
}

# Where the trees of a BUILD_DIR go: BUILD_DIR | kind | tree
cases=(
  "|asan|$root/build-asan"
  "||$root/build"
  "out|macos|$root/out-macos"
  "/tmp/x/y/|tsan|/tmp/x/y-tsan"
  "/tmp/x/y|package|/tmp/x/y-package"
)
for row in "${cases[@]}"; do
  IFS='|' read -r dir kind wanted <<<"$row"
  got=$(if [ -n "$dir" ]; then export BUILD_DIR=$dir; else unset BUILD_DIR; fi
        source "$root/scripts/trees.sh" && tree_dir "$kind")
  expect "BUILD_DIR='$dir': the $kind tree" "$got" "$wanted"
done

# cached NAME: NAME's value in the tree's cache.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$tree/CMakeCache.txt"; }
export BUILD_DIR="$work/build"
source "$root/scripts/trees.sh"
tree=$(tree_dir)
# readme_build: the README's product-only build, run on the plain tree's folder.
readme_build() {
  cmake -S "$root" -B "$tree" -G Ninja -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_HOSTSIM=OFF \
    >/dev/null
}
readme_build
status=0
out=$(run_ctest "$tree" 2>&1) || status=$?
expect "ctest on a tree without tests fails" "$status" 8
expect "ctest on a tree without tests says why" "$(grep -c 'No tests were found' <<<"$out")" 1
# First on the folder the README's build made, then on one ./dev configured before it.
for when in "after the README's build" "after ./dev, then the README's build"; do
  configure_tree
  expect "$when: the tests are on" "$(cached VANTREL_BUILD_TESTS)" ON
  expect "$when: the stand-in is on" "$(cached VANTREL_BUILD_HOSTSIM)" ON
  expect "$when: the build type is ./dev's" "$(cached CMAKE_BUILD_TYPE)" RelWithDebInfo
  registered=$(cd "$tree" && ctest -N | sed -n 's/^Total Tests: //p')
  expect "$when: the tests are registered" "$([ "${registered:-0}" -gt 100 ] && echo yes)" yes
  readme_build
done
configure_tree
status=0
out=$(run_ctest "$tree" -L no-such-label 2>&1) || status=$?
expect "ctest with a label that matches nothing fails" "$status" 8

echo "trees: $passed passed, $failed failed"
[ "$failed" = 0 ]
