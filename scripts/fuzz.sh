#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (reused between runs) and fuzzes each for SECONDS
# (default 30: a smoke run). New coverage goes to build-fuzz/corpus/<target>; the seeds in
# fuzz/corpus are only read. A crashing input is left as build-fuzz/crash-<target>-*: copy it to
# fuzz/regressions/<target>/ once the fault is fixed, so the test suite replays it.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"

# The libraries get coverage instrumentation too (fuzzer-no-link), or the fuzzer would be blind
# to everything past the entry point. Tests and the stand-in host app are not needed here.
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DSANITIZE=address,undefined,fuzzer-no-link \
  -DVANTREL_BUILD_FUZZ=ON -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_HOSTSIM=OFF >/dev/null
cmake --build "$build" --target fuzz_server fuzz_args_url -j "$jobs"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
for target in fuzz_server fuzz_args_url; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  seeds=("$root/fuzz/corpus/$target")
  # Saved crashers are seeds too; the folder exists only once one has been kept.
  [ -d "$root/fuzz/regressions/$target" ] && seeds+=("$root/fuzz/regressions/$target")
  echo "== $target for ${seconds}s"
  # -rss_limit_mb: the server target holds a whole input's replies at once.
  if ! (cd "$build" && "./fuzz/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/crash-$target-" \
        "$corpus" "${seeds[@]}"); then
    echo "== $target FAILED: see $build/crash-$target-*" >&2
    status=1
  fi
done
exit "$status"
