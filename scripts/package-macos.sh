#!/usr/bin/env bash
# Packs the universal macOS binary with install.sh, its licence and a short README as
# <dest>/vantrel-mcp-<version>-macos-universal.tar.gz, beside the Linux packages.
# Usage: scripts/package-macos.sh BINARY DEST
set -euo pipefail
source "$(dirname "$0")/trees.sh"
binary=$1
dest=$2
name="vantrel-mcp-$version-macos-universal"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
install -m 755 "$binary" "$stage/$name/vantrel-mcp"
install -m 755 "$root/scripts/macos/install.sh" "$stage/$name/install.sh"
install -m 644 "$root/LICENSE" "$stage/$name/LICENSE"
cat >"$stage/$name/README.txt" <<TEXT
vantrel-mcp $version for macOS 11 and later (Apple silicon and Intel, one universal binary)

An MCP server for the local media library of the 砚舟 app: an agent host starts it and speaks
JSON-RPC with it over stdin/stdout. It needs the 砚舟 app running under the same user.

Install (to /usr/local/bin; or to a folder of yours: ./install.sh --prefix ~/.local/bin):
  sudo ./install.sh
It copies the binary into place as a new file, removes the quarantine mark a download gave it,
signs it for this Mac (codesign --force --sign -), checks it runs, and prints the path to put
in an agent host's MCP configuration:
  { "mcpServers": { "vantrel": { "command": "/usr/local/bin/vantrel-mcp" } } }

The same by hand, in this folder (mv puts a new file in place; cp onto an installed binary would
get it killed at its next start):
  xattr -d com.apple.quarantine vantrel-mcp     (if it says "No such xattr", there was none)
  codesign --force --sign - vantrel-mcp
  codesign --verify vantrel-mcp
  sudo mv vantrel-mcp /usr/local/bin/vantrel-mcp

Check that it finds the app:  vantrel-mcp --check
TEXT
tar -C "$stage" -czf "$dest/$name.tar.gz" --owner=0 --group=0 "$name"
echo "$dest/$name.tar.gz"
