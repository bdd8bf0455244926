#!/usr/bin/env bash
# Runs the suite under sanitizers, failing on the first report, choosing tests by their labels
# (cmake/VantrelTests.cmake):
#   asan  every test but the SDK client's under AddressSanitizer + UndefinedBehaviorSanitizer
#         ($BUILD_DIR-asan, scripts/trees.sh)
#   tsan  the tests labelled concurrency, but not slow, under ThreadSanitizer ($BUILD_DIR-tsan): a
#         20 MB line or a 64 MB reply takes minutes there, and ASan covers them
# End-to-end tests spawn vantrel-mcp from the same build directory, so the child is sanitized
# too; every process logs its reports to <build>/sanitizer-reports/, and any file there fails
# the run, whatever the exit statuses said.
# Usage: scripts/check-sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail
source "$(dirname "$0")/trees.sh"

# Runs ctest in the tree of `kind` with the selection in the remaining arguments, then fails on
# any report.
run_tests() { # kind ctest-args...
  local dir
  dir="$(tree_dir "$1")"
  shift
  rm -rf "$dir/sanitizer-reports"
  mkdir -p "$dir/sanitizer-reports"
  local status=0
  run_ctest "$dir" --timeout 300 "$@" || status=$?
  if [ -n "$(ls -A "$dir/sanitizer-reports")" ]; then
    echo "== sanitizer reports in $dir/sanitizer-reports:" >&2
    cat "$dir"/sanitizer-reports/* >&2
    status=1
  fi
  return "$status"
}

asan() {
  configure_tree asan
  cmake --build "$(tree_dir asan)" -j "$jobs" --target vantrel_tests vantrel_oracle_tests vantrel-mcp
  local reports
  reports="$(tree_dir asan)/sanitizer-reports"
  # halt_on_error stops at the first report; -fno-sanitize-recover=all already makes UBSan fatal.
  # The SDK client runs the same binaries the plain tree's run covers.
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_init_order=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    run_tests asan -LE sdk
}

tsan() {
  configure_tree tsan
  cmake --build "$(tree_dir tsan)" -j "$jobs" --target vantrel_tests vantrel-mcp
  local reports
  reports="$(tree_dir tsan)/sanitizer-reports"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
    run_tests tsan -L concurrency -LE slow
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
