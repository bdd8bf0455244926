# Sourced by ./dev and the scripts that build the sanitized trees, so each tree is configured
# one way and a changed option always reaches a tree that exists already.
# build-asan: clang, AddressSanitizer + UndefinedBehaviorSanitizer, with libFuzzer's coverage in
#             every library, so the same objects serve the test suite and the fuzz targets.
# build-tsan: clang, ThreadSanitizer.
# Neither builds the stand-in host app or the demo: they are test tools, checked in the plain
# tree, and leaving them out keeps the test command's three builds short. -g1 keeps the line
# tables the reports need and little else.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
# The version CMakeLists.txt declares, for what is built or packed outside CMake.
version=$(sed -n 's/^project(vantrel-mcp VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# configure_dir DIR [cmake args...]: configures DIR when it is new or was last configured with
# other arguments; otherwise leaves it to build incrementally.
configure_dir() {
  local dir=$1
  shift
  local wanted="$*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.dev-options" 2>/dev/null)" != "$wanted" ]; then
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
    echo "$wanted" >"$dir/.dev-options"
  fi
}

# configure_tree NAME: configures the sanitized tree $root/NAME.
configure_tree() {
  local options=()
  case "$1" in
  build-asan)
    options=(-DSANITIZE=address,undefined,fuzzer-no-link -DVANTREL_BUILD_FUZZ=ON) ;;
  build-tsan)
    options=(-DSANITIZE=thread -DVANTREL_BUILD_FUZZ=OFF) ;;
  esac
  configure_dir "$root/$1" \
    -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
    -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g1" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_HOSTSIM=OFF "${options[@]}"
}
