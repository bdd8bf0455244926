#!/usr/bin/env bash
# The packages as a user gets them, read from the outside: each unpacks into a folder of its own,
# holds the server and nothing of the test tools, and runs; the macOS tarball's install.sh passes
# its own test; the bundle is what a desktop host accepts (the official CLI validates and reads
# it) and lists the tools the server serves; SHA256SUMS vouches for exactly the artefacts.
# Usage: tests/package/packages.test.sh DEST TREE
#   DEST  what scripts/package.sh made
#   TREE  the Linux tree it was made from (its vantrel-mcp, and the bundle CLI in mcpb-cli/)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
source "$root/scripts/trees.sh"
dest=$(cd "$1" && pwd)
tree=$(cd "$2" && pwd)
mcpb=(node "$tree/mcpb-cli/node_modules/@anthropic-ai/mcpb/dist/cli/cli.js")
lipo=$(command -v llvm-lipo || command -v llvm-lipo-14 || ls /usr/lib/llvm-*/bin/llvm-lipo | tail -n 1)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
# check WHAT COMMAND...: one finding; the command's output is shown when it fails.
check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL: %s\n%s\n' "$what" "$out" >&2
  fi
}
# Helpers for check: each fails with a line saying what it saw.
same() { [ "$1" = "$2" ] || { echo "got:    $1"; echo "wanted: $2"; return 1; }; }
has() { [[ $1 == *"$2"* ]] || { echo "'$2' not in: $1"; return 1; }; }

deb="vantrel-mcp_${version}_amd64.deb"
linux="vantrel-mcp-$version-Linux"
macos="vantrel-mcp-$version-macos-universal"
bundle="vantrel-mcp-$version.mcpb"
check "the folder holds the four artefacts and SHA256SUMS" \
  same "$(cd "$dest" && ls | sort | tr '\n' ' ')" \
       "$(printf '%s\n' "$deb" "$linux.tar.gz" "$macos.tar.gz" "$bundle" SHA256SUMS | sort | tr '\n' ' ')"
check "SHA256SUMS names the four" \
  same "$(awk '{print $2}' "$dest/SHA256SUMS" | sort | tr '\n' ' ')" \
       "$(printf '%s\n' "$deb" "$linux.tar.gz" "$macos.tar.gz" "$bundle" | sort | tr '\n' ' ')"
check "sha256sum -c SHA256SUMS" sh -c "cd '$dest' && sha256sum --strict -c SHA256SUMS"

# top FOLDER TARBALL: every entry of TARBALL lies in FOLDER/.
top() { same "$(tar -tzf "$2" | cut -d/ -f1 | sort -u)" "$1"; }
# runs BINARY: it answers --version with this version.
runs() { same "$("$1" --version)" "vantrel-mcp $version"; }
# mode MODE FILE
mode() { same "$(stat -c %a "$2")" "$1"; }

# The .deb: the server, its licence, its C library dependency; never the stand-in.
# A package that does not unpack fails the checks of its contents below.
mkdir "$work/deb"
dpkg-deb -x "$dest/$deb" "$work/deb" || true
check ".deb: package name and version" \
  same "$(dpkg-deb -f "$dest/$deb" Package Version)" "Package: vantrel-mcp"$'\n'"Version: $version"
check ".deb: depends on the C library" has "$(dpkg-deb -f "$dest/$deb" Depends)" libc6
check ".deb: holds the server and its licence, nothing else" \
  same "$(cd "$work/deb" && find . -type f | sort | tr '\n' ' ')" \
       "./usr/bin/vantrel-mcp ./usr/share/doc/vantrel-mcp/LICENSE "
check ".deb: the server runs" runs "$work/deb/usr/bin/vantrel-mcp"
check ".deb: the server is mode 755" mode 755 "$work/deb/usr/bin/vantrel-mcp"

# The Linux tarball: one folder, the same files.
check "Linux tarball: one top folder, $linux/" top "$linux" "$dest/$linux.tar.gz"
tar -C "$work" -xzf "$dest/$linux.tar.gz" || true
check "Linux tarball: the server and its licence, nothing else" \
  same "$(cd "$work/$linux" && find . -type f | sort | tr '\n' ' ')" \
       "./bin/vantrel-mcp ./share/doc/vantrel-mcp/LICENSE "
check "Linux tarball: the server runs" runs "$work/$linux/bin/vantrel-mcp"

# The macOS tarball: one folder, a universal binary, install.sh that passes its test.
check "macOS tarball: one top folder, $macos/" top "$macos" "$dest/$macos.tar.gz"
tar -C "$work" -xzf "$dest/$macos.tar.gz" || true
check "macOS tarball: binary, install.sh, licence, README" \
  same "$(cd "$work/$macos" && ls | tr '\n' ' ')" "LICENSE README.txt install.sh vantrel-mcp "
check "macOS tarball: the binary is mode 755" mode 755 "$work/$macos/vantrel-mcp"
check "macOS tarball: install.sh is mode 755" mode 755 "$work/$macos/install.sh"
check "macOS tarball: both architectures" \
  same "$("$lipo" -archs "$work/$macos/vantrel-mcp" | xargs -n 1 | sort | xargs)" "arm64 x86_64"
check "macOS tarball: its install.sh passes the install test" \
  "$root/tests/package/install.test.sh" "$work/$macos/install.sh"
check "macOS tarball: README names install.sh and the steps by hand" \
  sh -c "grep -q 'install.sh' '$work/$macos/README.txt' &&
         grep -q 'codesign --force --sign -' '$work/$macos/README.txt' &&
         grep -q 'xattr -d com.apple.quarantine' '$work/$macos/README.txt'"

# The bundle: what the official CLI says of it, then its contents.
check "mcpb info reads the bundle" "${mcpb[@]}" info "$dest/$bundle"
mkdir "$work/bundle"
unzip -q "$dest/$bundle" -d "$work/bundle" || true
check "mcpb validate accepts its manifest" "${mcpb[@]}" validate "$work/bundle/manifest.json"
check "bundle: manifest, server, licence, nothing else" \
  same "$(cd "$work/bundle" && find . -type f | sort | tr '\n' ' ')" \
       "./LICENSE ./manifest.json ./server/vantrel-mcp "
# The CLI records the permission bits alone (zipinfo shows "?rwxr-xr-x"): what unzip restores.
check "bundle: the zip records server/vantrel-mcp as mode 755" \
  has "$(unzip -Z "$dest/$bundle" server/vantrel-mcp)" "rwxr-xr-x"
check "bundle: the server unpacks as mode 755" mode 755 "$work/bundle/server/vantrel-mcp"
check "bundle: the server is the macOS tarball's universal binary" \
  cmp "$work/bundle/server/vantrel-mcp" "$work/$macos/vantrel-mcp"

# The manifest against what the server itself lists, and against what a host needs of it.
printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"tools/list"}' | "$tree/vantrel-mcp" >"$work/tools-list"
cat >"$work/manifest-check.mjs" <<'EOF'
import { readFileSync } from "node:fs";
const [manifestFile, toolsListFile, version] = process.argv.slice(2);
const text = readFileSync(manifestFile, "utf8");
const m = JSON.parse(text);
const served = JSON.parse(readFileSync(toolsListFile, "utf8")).result.tools;
const problems = [];
const want = (what, got, wanted) => {
  if (JSON.stringify(got) !== JSON.stringify(wanted))
    problems.push(`${what}: ${JSON.stringify(got)}, wanted ${JSON.stringify(wanted)}`);
};
want("manifest_version", m.manifest_version, "0.3");
want("version", m.version, version);
want("server.type", m.server?.type, "binary");
want("server.entry_point", m.server?.entry_point, "server/vantrel-mcp");
want("server.mcp_config.command", m.server?.mcp_config?.command, "${__dirname}/server/vantrel-mcp");
want("server.mcp_config.env", m.server?.mcp_config?.env, undefined);
want("compatibility.platforms", m.compatibility?.platforms, ["darwin"]);
want("tools", m.tools, served.map(({ name, description }) => ({ name, description })));
want("tool count", m.tools?.length, 13);
for (const key of ["display_name", "description", "license"])
  if (typeof m[key] !== "string" || m[key].trim() === "") problems.push(`${key} is missing`);
if (typeof m.author?.name !== "string" || m.author.name.trim() === "") problems.push("no author");
// A host lists it for Chinese and English readers alike.
if (!/\p{Script=Han}/u.test(m.description ?? "") || !/[A-Za-z]{4,} [A-Za-z]{4,}/.test(m.description ?? ""))
  problems.push(`description is not in Chinese and English: ${m.description}`);
// Nothing the project does not have: no made-up addresses.
for (const bad of ["example.", ".invalid", "TODO", "http://", "https://", "localhost"])
  if (text.includes(bad)) problems.push(`manifest holds "${bad}"`);
if (problems.length) {
  console.log(problems.join("\n"));
  process.exit(1);
}
EOF
check "bundle: the manifest, its tools those the server lists" \
  node "$work/manifest-check.mjs" "$work/bundle/manifest.json" "$work/tools-list" "$version"
check "bundle: both architectures" \
  same "$("$lipo" -archs "$work/bundle/server/vantrel-mcp" | xargs -n 1 | sort | xargs)" "arm64 x86_64"

echo "packages: $passed passed, $failed failed"
[ "$failed" = 0 ]
