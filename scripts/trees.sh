# Sourced by the scripts that build the sanitized trees, so each tree is configured one way.
# build-asan: clang, AddressSanitizer + UndefinedBehaviorSanitizer, with libFuzzer's coverage in
#             every library, so the same objects serve the test suite and the fuzz targets.
# build-tsan: clang, ThreadSanitizer.
# Neither builds the stand-in host app or the demo: they are test tools, checked in the plain
# tree, and leaving them out keeps the test command's three builds short. -g1 keeps the line
# tables the reports need and little else.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
export CC="${CC:-clang}" CXX="${CXX:-clang++}"

# configure_tree NAME: configures $root/NAME when it is new or its options changed.
configure_tree() {
  local dir="$root/$1" options=()
  case "$1" in
  build-asan)
    options=(-DSANITIZE=address,undefined,fuzzer-no-link -DVANTREL_BUILD_FUZZ=ON
             -DVANTREL_BUILD_HOSTSIM=OFF) ;;
  build-tsan)
    options=(-DSANITIZE=thread -DVANTREL_BUILD_FUZZ=OFF -DVANTREL_BUILD_HOSTSIM=OFF) ;;
  esac
  local wanted="$CC $CXX ${options[*]}"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.dev-options" 2>/dev/null)" != "$wanted" ]; then
    cmake -S "$root" -B "$dir" -G Ninja \
      -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
      -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g1" \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVANTREL_BUILD_TESTS=ON "${options[@]}" >/dev/null
    echo "$wanted" >"$dir/.dev-options"
  fi
}
