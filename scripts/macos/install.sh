#!/bin/sh
# Installs vantrel-mcp on this Mac so that an agent host can start it. A binary signed elsewhere,
# or overwritten in place once installed, is killed by macOS without a word when a host spawns
# it; so, one line for each step:
#   1. copy the binary into a new file in a fresh folder beside the destination (a new inode:
#      the installed file is never written over),
#   2. remove the quarantine mark a download gave it (xattr),
#   3. sign it ad hoc with this Mac's own codesign, and verify the signature,
#   4. run it: --version, then --check (which only reports whether the 砚舟 app answers),
#   5. move it into place (a rename) and print the path for the host's configuration.
# A step that fails stops the script: the destination then holds what it held before, or
# nothing, and the folder of step 1 is removed.
#
# Usage: ./install.sh [--prefix DIR] [--from FILE]
#   --prefix DIR  the folder to install into (default /usr/local/bin, which takes sudo;
#                 --prefix ~/.local/bin takes none)
#   --from FILE   the binary to install (default: the vantrel-mcp beside this script)
#
# VANTREL_INSTALL_CODESIGN names another program than /usr/bin/codesign. It is for the packaging
# tests alone, which run this script on Linux with a stand-in that records its calls; an
# installation never needs it.
set -eu

say() { printf 'install.sh: %s\n' "$*"; }
fail() {
  printf 'install.sh: %s\n' "$*" >&2
  exit 1
}
usage() { sed -n 's/^# \{0,1\}//; /^Usage:/,/^$/p' "$0"; }

prefix=/usr/local/bin
from=$(dirname "$0")/vantrel-mcp
while [ $# -gt 0 ]; do
  case $1 in
  --prefix | --from)
    [ $# -ge 2 ] || fail "$1 needs a value (see --help)"
    if [ "$1" = --prefix ]; then prefix=$2; else from=$2; fi
    shift 2
    ;;
  --prefix=*) prefix=${1#--prefix=}; shift ;;
  --from=*) from=${1#--from=}; shift ;;
  -h | --help) usage; exit 0 ;;
  *) fail "unknown argument '$1' (see --help)" ;;
  esac
done

system=$(uname -s)
[ "$system" = Darwin ] ||
  fail "this installs the macOS binary, and this system is $system: nothing done." \
    "On Linux, install the .deb or the Linux tarball."
codesign=${VANTREL_INSTALL_CODESIGN:-/usr/bin/codesign}
[ -x "$codesign" ] || fail "$codesign not found: it is part of macOS; nothing done."
[ -f "$from" ] || fail "no binary at $from: nothing done."

mkdir -p "$prefix" 2>/dev/null && [ -w "$prefix" ] ||
  fail "cannot write to $prefix: run it with sudo, or choose a folder of yours with" \
    "--prefix ~/.local/bin; nothing done."
dir=$(cd "$prefix" && pwd)
dest=$dir/vantrel-mcp
[ ! -d "$dest" ] || fail "$dest is a folder: nothing done."
if [ -e "$dest" ]; then before="$dest is as it was"; else before="nothing was installed"; fi

# 1. The folder of the new file goes whenever the script ends; once the file has been moved out
# of it, it is empty.
stage=$(mktemp -d "$dir/.vantrel-mcp-install.XXXXXX") || fail "cannot make a folder in $dir."
trap 'rm -rf "$stage"' EXIT
trap 'exit 1' HUP INT TERM
staged=$stage/vantrel-mcp
cp "$from" "$staged" || fail "cannot copy $from into $dir; $before."
chmod 755 "$staged"
say "copied $from into a new file in $dir"

# 2.
if xattr -p com.apple.quarantine "$staged" >/dev/null 2>&1; then
  xattr -d com.apple.quarantine "$staged" ||
    fail "could not remove the quarantine mark (xattr -d com.apple.quarantine); $before."
  say "removed the quarantine mark (com.apple.quarantine)"
else
  say "no quarantine mark to remove"
fi

# 3.
if ! out=$("$codesign" --force --sign - "$staged" 2>&1); then
  fail "signing failed ($codesign --force --sign -: $out); $before."
fi
say "signed it ad hoc ($codesign --force --sign -)"
if ! out=$("$codesign" --verify "$staged" 2>&1); then
  fail "the signature does not verify ($codesign --verify: $out); $before."
fi
say "the signature verifies ($codesign --verify)"

# 4. Run where it stands: a binary that cannot run is never moved into place.
status=0
out=$("$staged" --version 2>&1) || status=$?
if [ "$status" -ne 0 ]; then
  why="exit status $status"
  [ "$status" -ne 137 ] || why="killed by macOS (SIGKILL): it refuses the signature"
  fail "the signed binary does not run (--version: $why${out:+: $out}); $before."
fi
say "it runs: $out"
status=0
out=$("$staged" --check 2>&1) || status=$?
verdict=$(printf '%s\n' "$out" | tail -n 1)
case $status in
0) say "--check: the 砚舟 app answers ($verdict)" ;;
1) say "--check: the 砚舟 app does not answer yet ($verdict); installing anyway:" \
     "run vantrel-mcp --check once the app is running" ;;
*) fail "--check ended with exit status $status${out:+: $verdict}; $before." ;;
esac

# 5. A rename: whatever held the path before is replaced, never written over.
mv -f "$staged" "$dest" || fail "cannot move the new file to $dest; $before."
say "installed $dest"
case ":${PATH:-}:" in
*":$dir:"*) ;;
*) say "$dir is not on your PATH; hosts take the full path below anyway" ;;
esac
printf 'Put this path in the host'"'"'s configuration: %s\n' "$dest"
