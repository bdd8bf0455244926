#!/usr/bin/env bash
# Fuzzes each libFuzzer target for SECONDS (default 30: a smoke run), from $BUILD_DIR-asan
# (scripts/trees.sh), whose libraries carry libFuzzer's coverage. New coverage goes to
# <that tree>/corpus/<target>; the seeds in fuzz/corpus are only read. A crashing input is left
# as <that tree>/crash-<target>-*: copy it to fuzz/regressions/<target>/ once the fault is
# fixed, so the test suite replays it.
set -euo pipefail
source "$(dirname "$0")/trees.sh"

seconds="${1:-30}"
build="$(tree_dir asan)"
configure_tree asan
cmake --build "$build" --target fuzz_server fuzz_args_url fuzz_json_scan -j "$jobs"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
for target in fuzz_server fuzz_args_url fuzz_json_scan; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  seeds=("$root/fuzz/corpus/$target")
  # Saved crashers are seeds too; the folder exists only once one has been kept.
  [ -d "$root/fuzz/regressions/$target" ] && seeds+=("$root/fuzz/regressions/$target")
  echo "== $target for ${seconds}s"
  # -rss_limit_mb: the server target holds a whole input's replies at once.
  if ! (cd "$build" && "./fuzz/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
        -max_len=65536 -print_final_stats=1 -print_funcs=0 -artifact_prefix="$build/crash-$target-" \
        "$corpus" "${seeds[@]}"); then
    echo "== $target FAILED: see $build/crash-$target-*" >&2
    status=1
  fi
done
exit "$status"
