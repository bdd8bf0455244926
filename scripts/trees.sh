# Sourced by ./dev and the scripts under scripts/, so each tree is configured one way and a
# changed option always reaches a tree that exists already.
#
# Every tree, and every npm install, of a run sits beside the main tree and is named after it:
# BUILD_DIR (default build; a relative one is taken from the checkout) is the plain tree, and
#   $BUILD_DIR-asan     clang, AddressSanitizer + UndefinedBehaviorSanitizer, with libFuzzer's
#                       coverage in every library, so the same objects serve the test suite and
#                       the fuzz targets
#   $BUILD_DIR-tsan     clang, ThreadSanitizer
#   $BUILD_DIR-macos    the macOS build, with its Zig toolchain (scripts/macos.sh)
#   $BUILD_DIR-package  the product alone, Release, for the packages
#   $BUILD_DIR-bench    Release, for the benchmark
#   $BUILD_DIR-hosts    the agent CLIs ./dev hosts registers the server with (npm)
# so two BUILD_DIRs never share a tree, and the checkout keeps only sources. The sanitized trees
# build neither the stand-in host app nor the demo: they are test tools, checked in the plain
# tree, and leaving them out keeps the test command's three builds short. -g1 keeps the line
# tables the reports need and little else.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
# The version CMakeLists.txt declares, for what is built or packed outside CMake.
version=$(sed -n 's/^project(vantrel-mcp VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

build_dir=${BUILD_DIR:-build}
[[ $build_dir == /* ]] || build_dir="$root/$build_dir"
# A trailing slash would put build/-asan inside the plain tree.
while [[ $build_dir == */ && $build_dir != / ]]; do build_dir=${build_dir%/}; done

# tree_dir [KIND]: the plain tree, or the tree of that kind beside it.
tree_dir() { echo "$build_dir${1:+-$1}"; }

# cache_holds DIR [cmake args...]: each -DNAME=VALUE is what DIR's cache holds. Compilers are
# left out: the cache keeps them as full paths, and .dev-options already notices their change.
cache_holds() {
  local dir=$1 arg name value
  shift
  [ -f "$dir/CMakeCache.txt" ] || return 1
  for arg in "$@"; do
    [[ $arg == -D* ]] || continue
    name=${arg#-D}
    value=${name#*=}
    name=${name%%=*}
    name=${name%%:*}
    [[ $name == *_COMPILER ]] && continue
    awk -v name="$name" -v value="$value" '
      index($0, name ":") == 1 { sub(/^[^=]*=/, ""); if ($0 == value) found = 1 }
      END { exit !found }' "$dir/CMakeCache.txt" || return 1
  done
}

# configure_dir DIR [cmake args...]: configures DIR when it is new, was last configured with
# other arguments, or its cache says otherwise than the arguments (someone ran cmake on it by
# hand); otherwise leaves it to build incrementally.
configure_dir() {
  local dir=$1
  shift
  local wanted="$*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.dev-options" 2>/dev/null)" != "$wanted" ] ||
     ! cache_holds "$dir" "$@"; then
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
    echo "$wanted" >"$dir/.dev-options"
  fi
}

# configure_tree [KIND]: configures the plain tree, or the tree of that kind, naming every
# option of the project that it depends on, so that no value left in its cache by an earlier
# configure (the README's product-only build, say) changes what it builds.
configure_tree() {
  local kind=${1:-} options=()
  case "$kind" in
  "")
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
             -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_HOSTSIM=ON -DVANTREL_BUILD_BENCH=OFF
             -DVANTREL_BUILD_FUZZ=OFF -DSANITIZE=) ;;
  asan | tsan)
    options=(-DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}"
             -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-O1 -g1" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
             -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_HOSTSIM=OFF -DVANTREL_BUILD_BENCH=OFF)
    if [ "$kind" = asan ]; then
      options+=(-DSANITIZE=address,undefined,fuzzer-no-link -DVANTREL_BUILD_FUZZ=ON)
    else
      options+=(-DSANITIZE=thread -DVANTREL_BUILD_FUZZ=OFF)
    fi ;;
  package)
    options=(-DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_HOSTSIM=OFF
             -DVANTREL_BUILD_BENCH=OFF -DVANTREL_BUILD_FUZZ=OFF -DSANITIZE=) ;;
  bench)
    # Warnings are the test trees' job: GCC 12 at -O3 warns falsely (-Warray-bounds) on code it
    # accepts at -O2.
    options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF
             -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_HOSTSIM=OFF -DVANTREL_BUILD_BENCH=ON
             -DVANTREL_BUILD_FUZZ=OFF -DSANITIZE=) ;;
  *)
    echo "configure_tree: no tree kind '$kind'" >&2
    return 2 ;;
  esac
  configure_dir "$(tree_dir "$kind")" "${options[@]}"
}

# run_ctest DIR [ctest args...]: ctest in DIR, failing when the selection holds no test: a
# tree configured without tests, or a label that matches nothing, must not pass as a green run.
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --no-tests=error --output-on-failure -j "$jobs" "$@")
}

# npm_install SRC DIR WHAT: the packages SRC/package-lock.json pins (WHAT, for the log), installed
# with npm ci into DIR/node_modules, SRC's package files copied beside them; again only when
# those changed.
npm_install() {
  local src=$1 dir=$2 what=$3
  local stamp="$dir/.installed-from"
  if [ -d "$dir/node_modules" ] &&
     cat "$src/package.json" "$src/package-lock.json" | cmp -s - "$stamp"; then
    return 0
  fi
  printf '== installing %s (npm ci into %s)\n' "$what" "$dir" >&2
  mkdir -p "$dir"
  rm -f "$stamp"
  cp "$src/package.json" "$src/package-lock.json" "$dir/"
  npm ci --prefix "$dir" --no-audit --no-fund >/dev/null
  cat "$src/package.json" "$src/package-lock.json" >"$stamp"
}
