#!/usr/bin/env bash
# Packs the universal macOS binary as an MCP Bundle, <dest>/vantrel-mcp-<version>.mcpb, which a
# desktop host installs in one click: manifest.json (scripts/bundle/manifest.mjs, its tools taken
# from what the Linux build's server lists), server/vantrel-mcp and the licence, packed by the
# official CLI (scripts/bundle/package.json, installed with npm ci into LINUX_TREE/mcpb-cli).
# Usage: scripts/package-bundle.sh MACOS_BINARY LINUX_TREE DEST
set -euo pipefail
source "$(dirname "$0")/trees.sh"
binary=$1
tree=$(cd "$2" && pwd)
dest=$(cd "$3" && pwd)
cli="$tree/mcpb-cli"
npm_install "$root/scripts/bundle" "$cli" "the MCP Bundle CLI"
mcpb=("$(command -v node)" "$cli/node_modules/@anthropic-ai/mcpb/dist/cli/cli.js")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/bundle" "$stage/bundle/server"
install -m 755 "$binary" "$stage/bundle/server/vantrel-mcp"
install -m 644 "$root/LICENSE" "$stage/bundle/LICENSE"
initialize='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05",'
initialize+='"capabilities":{},"clientInfo":{"name":"package-bundle","version":"'"$version"'"}}}'
printf '%s\n' "$initialize" '{"jsonrpc":"2.0","id":2,"method":"tools/list"}' |
  "$tree/vantrel-mcp" >"$stage/answers"
node "$root/scripts/bundle/manifest.mjs" "$version" <"$stage/answers" >"$stage/bundle/manifest.json"

out="$dest/vantrel-mcp-$version.mcpb"
# pack validates the manifest first; its listing goes to the log unless it fails.
if ! "${mcpb[@]}" pack "$stage/bundle" "$out" >"$stage/pack.log" 2>&1; then
  cat "$stage/pack.log" >&2
  exit 1
fi
echo "$out"
