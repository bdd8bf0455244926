#!/usr/bin/env bash
# Packs the universal macOS binary with its licence and a short README as
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
cp "$binary" "$stage/$name/vantrel-mcp"
cp "$root/LICENSE" "$stage/$name/LICENSE"
cat >"$stage/$name/README.txt" <<TEXT
vantrel-mcp $version for macOS 11 and later (Apple silicon and Intel, one universal binary)

An MCP server for the local media library of the 砚舟 app: an agent host starts it and speaks
JSON-RPC with it over stdin/stdout. It needs the 砚舟 app running under the same user.

Install:
  sudo install -m 755 vantrel-mcp /usr/local/bin/vantrel-mcp
If macOS refuses to open a binary downloaded with a browser ("cannot be opened because the
developer cannot be verified"), remove the quarantine mark it was given:
  xattr -d com.apple.quarantine /usr/local/bin/vantrel-mcp

Check that it finds the app:  vantrel-mcp --check
Add it to a desktop agent host's MCP configuration:
  { "mcpServers": { "vantrel": { "command": "/usr/local/bin/vantrel-mcp" } } }
TEXT
tar -C "$stage" -czf "$dest/$name.tar.gz" "$name"
echo "$dest/$name.tar.gz"
