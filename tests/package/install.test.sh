#!/usr/bin/env bash
# install.sh, run on Linux with stand-ins for uname, xattr, codesign and the binary, each of
# which logs its calls: the order of the steps, the signed file being the one moved into place
# (a new inode), and a failing step leaving the destination as it was. Each case runs under
# dash and under bash in POSIX mode, as macOS's /bin/sh is.
# Usage: tests/package/install.test.sh [INSTALL_SH]   (default: scripts/macos/install.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
script=$(realpath "${1:-$root/scripts/macos/install.sh}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fakes="$work/fakes"
mkdir "$fakes"
# Each stand-in appends "<name> <args>" to $FAKE_LOG; FAKE_* variables choose how it behaves.
cat >"$fakes/uname" <<'EOF'
#!/bin/sh
echo "uname $*" >>"$FAKE_LOG"
echo "${FAKE_SYSTEM:-Darwin}"
EOF
cat >"$fakes/xattr" <<'EOF'
#!/bin/sh
echo "xattr $*" >>"$FAKE_LOG"
case $1 in
-p) [ -n "${FAKE_QUARANTINE:-}" ] || { echo "No such xattr: $2" >&2; exit 1; }
    echo "0083;00000000;Safari;" ;;
-d) [ -z "${FAKE_XATTR_FAILS:-}" ] || { echo "Operation not permitted" >&2; exit 1; } ;;
esac
EOF
cat >"$fakes/codesign" <<'EOF'
#!/bin/sh
echo "codesign $*" >>"$FAKE_LOG"
for file; do :; done
case $1 in
--force) [ -z "${FAKE_SIGN_FAILS:-}" ] || { echo "$file: invalid or unsupported format" >&2; exit 1; }
         stat -c %i "$file" >"$FAKE_LOG.signed" ;;
--verify) [ -z "${FAKE_VERIFY_FAILS:-}" ] || { echo "$file: invalid signature" >&2; exit 1; } ;;
esac
EOF
cat >"$work/vantrel-mcp" <<'EOF'
#!/bin/sh
echo "vantrel-mcp $*" >>"$FAKE_LOG"
case $1 in
--version) [ -z "${FAKE_KILLED:-}" ] || kill -KILL $$
           echo "vantrel-mcp 1.0.0" ;;
--check) echo "结论：${FAKE_CHECK:-1}"; exit "${FAKE_CHECK:-1}" ;;
esac
EOF
chmod 755 "$fakes"/* "$work/vantrel-mcp"

# The calls of a whole install, STAGE standing for the new file beside the destination.
steps=("uname -s" "xattr -p com.apple.quarantine STAGE" "codesign --force --sign - STAGE"
       "codesign --verify STAGE" "vantrel-mcp --version" "vantrel-mcp --check")
all=$(printf '%s;' "${steps[@]}")
quarantined=$(printf '%s;' "${steps[@]:0:2}" "xattr -d com.apple.quarantine STAGE" "${steps[@]:2}")
upto() { printf '%s;' "${steps[@]:0:$1}"; }

# before: none (no file at the destination) or old (one installed already)
# after:  new (the source, in a new inode, the one signed) or as-before
# name | before | environment | arguments | exit | after | calls | text in the output
cases=(
  "first install, quarantined|none|FAKE_QUARANTINE=1||0|new|$quarantined|configuration: PREFIX/vantrel-mcp"
  "over an installed binary|old|||0|new|$all|installed PREFIX/vantrel-mcp"
  "app running: --check passes|old|FAKE_CHECK=0||0|new|$all|the 砚舟 app answers"
  "app not running: reported, installed|none|FAKE_CHECK=1||0|new|$all|does not answer yet"
  "--check fails otherwise|old|FAKE_CHECK=3||1|as-before|$all|exit status 3"
  "signature does not verify|old|FAKE_VERIFY_FAILS=1||1|as-before|$(upto 4)|does not verify"
  "signature does not verify, fresh|none|FAKE_VERIFY_FAILS=1||1|as-before|$(upto 4)|nothing was installed"
  "signing fails|old|FAKE_SIGN_FAILS=1||1|as-before|$(upto 3)|signing failed"
  "quarantine cannot be removed|old|FAKE_QUARANTINE=1 FAKE_XATTR_FAILS=1||1|as-before|$(printf '%s;' "${steps[@]:0:2}" "xattr -d com.apple.quarantine STAGE")|quarantine mark"
  "killed at its first run|old|FAKE_KILLED=1||1|as-before|$(upto 5)|SIGKILL"
  "not macOS|none|FAKE_SYSTEM=Linux||1|as-before|uname -s;|this system is Linux"
  "no binary to install|none||--from WORK/missing|1|as-before|uname -s;|no binary at"
  "an unknown argument|none||--frobnicate|1|as-before||unknown argument"
)

passed=0
failed=0
# fail NAME SHELL WHY: marks the case at hand failed, saying why.
fail() {
  echo "FAIL: $1 ($2): $3" >&2
  good=0
}
# tally: counts the case at hand.
tally() {
  if [ "$good" = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

for shell in dash "bash --posix"; do
  for row in "${cases[@]}"; do
    IFS='|' read -r name before environment arguments status after calls text <<<"$row"
    case_dir=$(mktemp -d "$work/case.XXXXXX")
    prefix="$case_dir/bin"
    log="$case_dir/log"
    : >"$log"
    if [ "$before" = old ]; then
      mkdir "$prefix"
      echo "the previous binary" >"$prefix/vantrel-mcp"
      chmod 755 "$prefix/vantrel-mcp"
      old_inode=$(stat -c %i "$prefix/vantrel-mcp")
    fi
    # The script sits beside the binary it installs, as in the tarball.
    cp "$script" "$work/install.sh"
    args=(--prefix "$prefix")
    if [ -n "$arguments" ]; then
      read -r -a more <<<"${arguments//WORK/$work}"
      args+=("${more[@]}")
    fi
    got=0
    env PATH="$fakes:$PATH" FAKE_LOG="$log" VANTREL_INSTALL_CODESIGN="$fakes/codesign" \
        $environment $shell "$work/install.sh" "${args[@]}" >"$case_dir/out" 2>&1 || got=$?
    out=$(cat "$case_dir/out")
    good=1
    [ "$got" = "$status" ] || fail "$name" "$shell" "exit $got, wanted $status: $out"
    seen=$(sed "s#$prefix/\.vantrel-mcp-install\.[A-Za-z0-9]*/vantrel-mcp#STAGE#g" "$log" |
           tr '\n' ';')
    [ "$seen" = "$calls" ] || fail "$name" "$shell" "calls were '$seen', wanted '$calls'"
    [[ $out == *"${text//PREFIX/$prefix}"* ]] ||
      fail "$name" "$shell" "output lacks '${text//PREFIX/$prefix}': $out"
    leftovers=$(find "$case_dir" -name '.vantrel-mcp-install.*')
    [ -z "$leftovers" ] || fail "$name" "$shell" "left $leftovers behind"
    dest="$prefix/vantrel-mcp"
    case "$after" in
    new)
      if ! cmp -s "$dest" "$work/vantrel-mcp" || [ "$(stat -c %a "$dest")" != 755 ]; then
        fail "$name" "$shell" "$dest is not the new binary, mode 755"
      elif [ "$(stat -c %i "$dest")" != "$(cat "$log.signed")" ]; then
        fail "$name" "$shell" "the file installed is not the one signed"
      elif [ "$before" = old ] && [ "$(stat -c %i "$dest")" = "$old_inode" ]; then
        fail "$name" "$shell" "the installed file was written over in place"
      fi
      ;;
    as-before)
      if [ "$before" = none ] && [ -e "$dest" ]; then
        fail "$name" "$shell" "a failed install left $dest"
      elif [ "$before" = old ] && { [ "$(cat "$dest")" != "the previous binary" ] ||
                                    [ "$(stat -c %i "$dest")" != "$old_inode" ]; }; then
        fail "$name" "$shell" "a failed install changed the previous binary"
      fi
      ;;
    esac
    tally
  done
done

# Each step says in one line what it did: a whole install prints one line per step, then the
# path for the host's configuration, as an absolute path even from a relative --prefix.
case_dir=$(mktemp -d "$work/case.XXXXXX")
(cd "$case_dir" && env PATH="$fakes:$PATH" FAKE_LOG="$case_dir/log" FAKE_QUARANTINE=1 \
   VANTREL_INSTALL_CODESIGN="$fakes/codesign" dash "$work/install.sh" --prefix rel/bin >out 2>&1)
good=1
lines=$(grep -c '^install.sh: ' "$case_dir/out")
last=$(tail -n 1 "$case_dir/out")
if [ "$lines" != 8 ] ||
   [ "$last" != "Put this path in the host's configuration: $case_dir/rel/bin/vantrel-mcp" ]; then
  fail "one line a step, an absolute path" dash "$(cat "$case_dir/out")"
fi
tally

echo "install.sh: $passed passed, $failed failed"
[ "$failed" = 0 ]
