#!/usr/bin/env bash
# Makes every package from trees already built, into DEST:
#   vantrel-mcp_<version>_amd64.deb, vantrel-mcp-<version>-Linux.tar.gz
#                                    cpack, from LINUX_TREE (the server component alone)
#   vantrel-mcp-<version>-macos-universal.tar.gz
#                                    the universal binary with install.sh (scripts/package-macos.sh)
#   vantrel-mcp-<version>.mcpb       the bundle for desktop hosts (scripts/package-bundle.sh)
#   SHA256SUMS                       of the four, for `sha256sum -c`
# ./dev package passes its Release product tree; ./dev test passes the trees it has just built
# and tested, so that checking the packages costs no build of its own.
# Usage: scripts/package.sh LINUX_TREE MACOS_BINARY DEST
set -euo pipefail
source "$(dirname "$0")/trees.sh"

if [ $# -ne 3 ]; then
  echo "usage: $0 LINUX_TREE MACOS_BINARY DEST" >&2
  exit 2
fi
tree=$(cd "$1" && pwd)
macos_binary=$2
mkdir -p "$3"
dest=$(cd "$3" && pwd)

# Only this run's artefacts, so SHA256SUMS never vouches for a stale one.
rm -f "$dest"/*.deb "$dest"/*.tar.gz "$dest"/*.mcpb "$dest/SHA256SUMS"

# cpack's scratch folder stays in the tree; DEST holds the packages alone.
rm -rf "$tree/cpack"
(cd "$tree" && cpack -G "TGZ;DEB" -B "$tree/cpack" >"$tree/cpack.log") || {
  cat "$tree/cpack.log" >&2
  exit 1
}
mv "$tree"/cpack/*.deb "$tree"/cpack/*.tar.gz "$dest/"
"$root/scripts/package-macos.sh" "$macos_binary" "$dest" >/dev/null
"$root/scripts/package-bundle.sh" "$macos_binary" "$tree" "$dest" >/dev/null

(cd "$dest" && sha256sum -- *.deb *.tar.gz *.mcpb >SHA256SUMS)
ls -1 "$dest"/*.deb "$dest"/*.tar.gz "$dest"/*.mcpb "$dest/SHA256SUMS"
