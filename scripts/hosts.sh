#!/usr/bin/env bash
# Registers vantrel-mcp with each agent CLI by the line the README gives for it, and checks what
# each host then makes of it. The CLIs are the versions scripts/hosts/package.json pins, installed
# with npm ci into $BUILD_DIR-hosts (scripts/trees.sh). Everything runs in a scratch HOME (and
# XDG_* folders) against the stand-in on a scratch support folder, so neither the user's host
# configuration nor the real app's folder is read or written, and the server can find the
# stand-in only through the XDG_DATA_HOME its registration passes. Each CLI call is time-boxed.
#
# A host listing the server as connected proves only that it started. So each path is also taken
# to the stand-in: for Claude Code and Gemini CLI, which pass their whole environment on,
# vantrel-mcp --check with the XDG_DATA_HOME each stored; for Codex CLI, a real tool call through
# `codex app-server`, which the stand-in must have logged; the same call to a registration
# without --env must answer 砚舟未运行 (Codex passes no XDG_DATA_HOME on), and one with
# env_vars must reach the stand-in.
#
# Needs $BUILD_DIR/vantrel-mcp and $BUILD_DIR/hostsim/vantrel-hostsim (./dev hosts builds them)
# and Node.js. Prints one line per host and check; exits 1 if any failed.
set -euo pipefail
source "$(dirname "$0")/trees.sh"

mcp="$(tree_dir)/vantrel-mcp"
hostsim="$(tree_dir)/hostsim/vantrel-hostsim"
for file in "$mcp" "$hostsim"; do
  if [ ! -x "$file" ]; then
    echo "hosts: $file is missing; ./dev hosts builds it" >&2
    exit 1
  fi
done

clis="$(tree_dir hosts)"
npm_install "$root/scripts/hosts" "$clis" "the agent CLIs"
bin="$clis/node_modules/.bin"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-hosts.XXXXXX")
hostsim_pid=
running=
cleanup() {
  local pid
  # timeout passes the signal on to the whole call (a CLI and the servers it started).
  for pid in $running $hostsim_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

home="$scratch/home"
support="$scratch/support"
project="$scratch/project"
logs="$scratch/logs"
mkdir -p "$home" "$support" "$project" "$logs"

# The stand-in, on a folder of its own; it writes bridge.token there once it listens.
"$hostsim" --support-dir "$support" 2>"$logs/hostsim" &
hostsim_pid=$!
token="$support/com.quillmoor.vantrel/bridge.token"
for _ in $(seq 100); do
  [ -s "$token" ] && break
  kill -0 "$hostsim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$token" ]; then
  echo "hosts: the stand-in did not start:" >&2
  cat "$logs/hostsim" >&2
  exit 1
fi
sed 's/^vantrel-hostsim: /== the stand-in: /' "$logs/hostsim"

# The hosts see only the scratch: their own configuration and data land there, and the default
# support folder ($XDG_DATA_HOME) holds no bridge.token.
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_STATE_HOME="$home/.local/state" XDG_CACHE_HOME="$home/.cache"
# Each CLI's own override of where it keeps its configuration or trust decisions.
unset CODEX_HOME CLAUDE_CONFIG_DIR GEMINI_CLI_HOME GEMINI_CLI_TRUSTED_FOLDERS_PATH
unset GEMINI_CLI_SYSTEM_SETTINGS_PATH GEMINI_CLI_TRUST_WORKSPACE
export NO_COLOR=1 DISABLE_AUTOUPDATER=1 DISABLE_TELEMETRY=1
export CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1
cd "$project"

# run NAME CMD...: CMD, time-boxed, its output (both streams) in $logs/NAME; fails as CMD does.
# In the background, so that an interrupt reaches cleanup at once, not when CMD is done.
run() {
  local name=$1 status=0
  shift
  timeout -k 5 60 "$@" >"$logs/$name" 2>&1 &
  running=$!
  wait "$running" || status=$?
  running=
  return "$status"
}
# first_line NAME PATTERN: the first line of $logs/NAME that matches, spaces squeezed.
first_line() { grep -E -m 1 -- "$2" "$logs/$1" | tr -s ' ' || true; }

failed=0
report() { # VERDICT WHAT...
  [ "$1" = PASS ] || failed=1
  printf '%s  %s\n' "$1" "${*:2}"
}
# verdict CMD...: PASS when CMD succeeds, FAIL otherwise.
verdict() { if "$@"; then echo PASS; else echo FAIL; fi; }
shown() { local IFS=' '; echo "$*"; }

# check_with NAME VALUE: vantrel-mcp --check with XDG_DATA_HOME=VALUE and the rest of this
# environment, which is what a host that passes its whole environment on gives the server.
check_with() {
  local name=$1 value=$2 status=0
  run "$name-check" env XDG_DATA_HOME="$value" "$mcp" --check || status=$?
  report "$(verdict [ "$status" = 0 ])" \
    "$name: vantrel-mcp --check with the XDG_DATA_HOME it registered ($value): exit $status," \
    "$(first_line "$name-check" '^结论')"
}

# register HOST LISTED CONNECTED LINE...: registers the server by the README's LINE, then checks
# that `HOST mcp list` has a line matching LISTED, and that it matches CONNECTED.
register() {
  local host=$1 listed=$2 connected=$3
  shift 3
  run "$host-version" "$bin/$host" --version || true
  run "$host-add" "$bin/$1" "${@:2}" || true
  run "$host-list" "$bin/$host" mcp list || true
  listed=$(first_line "$host-list" "$listed")
  report "$(verdict grep -q -E "$connected" <<<"$listed")" \
    "$host | $(grep -v '^WARNING' "$logs/$host-version" | head -n 1) | $(shown "$@") |" \
    "mcp list: ${listed:-(no vantrel line)}"
}

# --- Claude Code ----------------------------------------------------------------------------
register claude '^vantrel: ' '^vantrel: .* - ✔ Connected$' \
  claude mcp add vantrel -e "XDG_DATA_HOME=$support" -- "$mcp"
run claude-get "$bin/claude" mcp get vantrel || true
check_with claude "$(sed -n 's/^ *XDG_DATA_HOME=//p' "$logs/claude-get" | head -n 1)"

# --- Gemini CLI -----------------------------------------------------------------------------
# Gemini CLI starts no MCP server, not even a user-scoped one, in a folder it does not trust;
# this is what its trust dialog records for "Trust folder".
mkdir -p "$home/.gemini"
printf '{ "%s": "TRUST_FOLDER" }\n' "$project" >"$home/.gemini/trustedFolders.json"
register gemini 'vantrel: ' 'vantrel: .* - Connected$' \
  gemini mcp add --scope user -e "XDG_DATA_HOME=$support" vantrel "$mcp"
stored=$(node -e 'const s = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
  console.log(s.mcpServers?.vantrel?.env?.XDG_DATA_HOME ?? "")' \
  "$home/.gemini/settings.json" 2>/dev/null || true)
check_with gemini "$stored"

# --- Codex CLI ------------------------------------------------------------------------------
# codex mcp list only reads the configuration: the status it shows is "enabled", whether or not
# the server starts. codex app-server starts the servers for a thread and calls a tool on request,
# with no model and no account.
register codex '^vantrel ' "^vantrel $mcp .* enabled" \
  codex mcp add vantrel --env "XDG_DATA_HOME=$support" -- "$mcp"

# The same server twice more, for Codex started with XDG_DATA_HOME set: registered without
# --env, and by hand with env_vars, which passes Codex's own value on.
run codex-add-bare "$bin/codex" mcp add vantrel-bare -- "$mcp" || true
printf '\n[mcp_servers.vantrel-passed]\ncommand = "%s"\nenv_vars = ["XDG_DATA_HOME"]\n' "$mcp" \
  >>"$home/.codex/config.toml"
status=0
run codex-call env XDG_DATA_HOME="$support" node "$root/scripts/hosts/codex-call.mjs" \
  "$bin/codex" "$token" vantrel vantrel-bare vantrel-passed || status=$?
# field SERVER N: field N of the server's line from codex-call.mjs (2 startup, 3 isError,
# 4 the reports logged, 5 the text); its log also holds what went to standard error.
field() {
  awk -F '\t' -v server="$1" -v n="$2" '$1 == server { print $n; exit }' "$logs/codex-call"
}
text=$(field vantrel 5)
reached() { # SERVER: its call was answered from the stand-in, which logged it
  [ "$status" = 0 ] && [ "$(field "$1" 2)" = ready ] && [ "$(field "$1" 3)" = false ] &&
    [ "$(field "$1" 4)" = get_events:ok ]
}
report "$(verdict reached vantrel)" \
  "codex: get_events through codex app-server: server $(field vantrel 2)," \
  "answer ${text:0:80}," \
  "usage reports the stand-in logged: $(field vantrel 4)"
text=$(field vantrel-bare 5)
refused() { [ "$status" = 0 ] && [[ $text == *砚舟未运行* ]]; }
report "$(verdict refused)" \
  "codex: the same call registered without --env, XDG_DATA_HOME set for codex itself:" \
  "${text:-(none)}"
text=$(field vantrel-passed 5)
report "$(verdict reached vantrel-passed)" \
  "codex: the same call with env_vars = [\"XDG_DATA_HOME\"] in config.toml: ${text:0:80}," \
  "usage reports the stand-in logged: $(field vantrel-passed 4)"

if [ "$failed" != 0 ]; then
  echo "== hosts: some checks failed; each CLI's own output:" >&2
  for log in "$logs"/*; do sed "s|^|  $(basename "$log"): |" "$log" >&2; done
  exit 1
fi
echo "== hosts: every check passed"
