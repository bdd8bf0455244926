#!/usr/bin/env bash
# Builds the suite twice and runs it under sanitizers, failing on the first report:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer, the whole gtest suite
#   build-tsan  ThreadSanitizer, the tests that run things concurrently or talk to a Bridge
#               (TSAN_TESTS below, a ctest -R regex, minus TSAN_EXCLUDE; both can be
#               overridden from the environment)
# Build directories are reused. End-to-end tests spawn vantrel-mcp from the same build
# directory, so the child is sanitized too; every process logs its reports to
# <build>/sanitizer-reports/, and any file there fails the run, whatever the exit statuses said.
# Usage: scripts/check-sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
export CC="${CC:-clang}" CXX="${CXX:-clang++}"

# The 64 MB reply is one call, nothing concurrent, and the test harness's byte scanning of it
# takes minutes under TSan; ASan covers it.
TSAN_EXCLUDE="${TSAN_EXCLUDE:-SixtyFourMegabyte}"
TSAN_TESTS="${TSAN_TESTS:-^(ReadLoopTest|MethodTest|StdioTest|FaultTest|BridgeFaultTest|SecretTest|FuzzRegressionTest|ScriptedClientTest|LiveClientTest|CurlTransportTest|ReadCredentialsTest|.*Concurren.*)\.}"

configure() { # dir sanitizers hostsim
  cmake -S "$root" -B "$root/$1" -G Ninja \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DSANITIZE="$2" -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_HOSTSIM="$3" >/dev/null
}

# Runs ctest in `dir` with the selection in the remaining arguments, then fails on any report.
run_tests() { # dir ctest-args...
  local dir="$root/$1"
  shift
  rm -rf "$dir/sanitizer-reports"
  mkdir -p "$dir/sanitizer-reports"
  local status=0
  (cd "$dir" && ctest --output-on-failure --timeout 300 -j "$jobs" "$@") || status=$?
  if [ -n "$(ls -A "$dir/sanitizer-reports")" ]; then
    echo "== sanitizer reports in $dir/sanitizer-reports:" >&2
    cat "$dir"/sanitizer-reports/* >&2
    status=1
  fi
  return "$status"
}

asan() {
  configure build-asan address,undefined ON
  cmake --build "$root/build-asan" -j "$jobs"
  local reports="$root/build-asan/sanitizer-reports"
  # halt_on_error stops at the first report; -fno-sanitize-recover=all already makes UBSan fatal.
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_init_order=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    run_tests build-asan
}

tsan() {
  # The stand-in host app is not needed by the selected tests; leaving it out saves build time.
  configure build-tsan thread OFF
  cmake --build "$root/build-tsan" -j "$jobs"
  local reports="$root/build-tsan/sanitizer-reports"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp:log_path=$reports/tsan" \
    run_tests build-tsan -R "$TSAN_TESTS" -E "$TSAN_EXCLUDE"
}

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan)
for step in "${steps[@]}"; do
  case "$step" in
  asan | tsan)
    start=$SECONDS
    "$step"
    echo "== $step passed in $((SECONDS - start)) s"
    ;;
  *)
    echo "usage: $0 [asan|tsan]..." >&2
    exit 2
    ;;
  esac
done
