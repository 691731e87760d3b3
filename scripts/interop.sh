#!/usr/bin/env bash
# The Windows build and the Linux build talking to each other over loopback:
# halvoren-usbip.exe under Wine and the Linux halvoren-usbip serve, list and
# relay for one another.
#
#   interop.sh DIST LINUX_CLI
#
# DIST holds halvoren-usbip.exe and its DLLs; LINUX_CLI is the Linux
# command-line host. WINEPREFIX must be set. Every case must pass; the first
# failure ends the script with its output.
set -euo pipefail
dist=$(cd "${1:?usage: interop.sh DIST LINUX_CLI}" && pwd)
linux_cli=$(realpath "${2:?usage: interop.sh DIST LINUX_CLI}")
cd "$(dirname "$0")/.."
devices=$PWD/tests/data/demo.umockdev
wine=$(command -v wine || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  for f in "$work"/*.out; do [ -f "$f" ] && { echo "--- $(basename "$f"):" >&2; cat "$f" >&2; }; done
  exit 1
}

# A port free on every address, below the range the system hands out to
# outgoing connections (which could take it before the host binds it).
free_port() {
  python3 - <<'PY'
import random, socket
for _ in range(200):
    port = random.randrange(20000, 32000)
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            s.bind(("::", port))
        print(port)
        break
    except OSError:
        pass
PY
}

# host SYSTEM ARGS...: sets `cmd` to the command line of the host on one
# system.
host() {
  local system=$1; shift
  if [ "$system" = windows ]; then
    cmd=("$wine" "$dist/halvoren-usbip.exe" "$@")
  else
    cmd=("$linux_cli" "$@")
  fi
}

# start NAME SYSTEM ARGS...: a long-running host (serve, relay) in the
# background; its output in $work/NAME.out. The Linux server shares the
# emulated demo devices.
start() {
  local name=$1 system=$2; shift 2
  if [ "$system" = linux ] && [ "$1" = serve ]; then
    cmd=(umockdev-run --device "$devices" -- "$linux_cli" "$@" --share-all)
  else
    host "$system" "$@"
  fi
  "${cmd[@]}" >"$work/$name.out" 2>&1 &
  pids+=($!)
  eval "pid_$name=$!"
}

# wait_line NAME REGEX: the first match of REGEX in NAME's output, within 30 s.
wait_line() {
  local name=$1 regex=$2 line
  for _ in $(seq 300); do
    line=$(tr -d '\r' <"$work/$name.out" | grep -E -o -m 1 "$regex" || true)
    [ -n "$line" ] && { echo "$line"; return 0; }
    sleep 0.1
  done
  fail "no '$regex' from $name"
}

# stop NAME: Ctrl-C (SIGINT; Wine hands it to the console handler) and a
# clean exit within 10 s.
stop() {
  local name=$1 pid
  pid=$(eval echo "\$pid_$name")
  kill -INT "$pid"
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "$name did not stop on Ctrl-C"
  wait "$pid" || fail "$name exited with status $?"
  grep -q Stopping "$work/$name.out" || fail "$name did not stop in order"
}

# remote SYSTEM ARGS...: the client's output (stdout and stderr, no CRs)
# in $out and its exit status in $status.
remote() {
  host "$1" remote "${@:2}" --timeout 10000
  set +e
  out=$(timeout 60 "${cmd[@]}" 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}")
  status=$?
  set -e
}

# What the Linux client of the same build reads from a Linux server: the
# reference for the Windows client.
expect_list() {
  local want=$1 what=$2
  [ "$status" = 0 ] || fail "$what: exit status $status: $out"
  [ "$out" = "$want" ] || fail "$what: got '$out', want '$want'"
  ok "$what"
}

# ok WHAT: one check passed.
checks=0
ok() {
  echo "ok   $1"
  checks=$((checks + 1))
}

cases=0

# --- direct: each system serves (password; TLS and password), the other lists
for server in windows linux; do
  client=$([ $server = windows ] && echo linux || echo windows)
  for tls in "" --tls; do
    port=$(free_port)
    start srv $server serve --port "$port" --password 'pa ss' $tls
    wait_line srv "Serving [0-9]+ device" >/dev/null
    # With TLS the client pins the key that the server printed.
    if [ -n "$tls" ]; then
      tls="--tls --fingerprint $(wait_line srv "TLS key fingerprint \(SHA-256\): [0-9a-f]{64}" | grep -E -o '[0-9a-f]{64}$')"
    fi
    want="[]"
    if [ $server = linux ]; then
      remote linux "127.0.0.1:$port" --password 'pa ss' $tls --json
      want=$out
      [ "$(echo "$want" | grep -o busid | wc -l)" = 6 ] || fail "the Linux reference list: $want"
    fi
    remote $client "127.0.0.1:$port" --password 'pa ss' $tls --json
    expect_list "$want" "$client client lists $server server with password${tls:+ and TLS}"
    remote $client "127.0.0.1:$port" --password wrong $tls
    [ "$status" = 1 ] && [ "$out" = "halvoren-usbip: remote: Authentication rejected by server (invalid password)" ] ||
      fail "$client client, wrong password against $server server: $status '$out'"
    ok "$client client is refused by $server server${tls:+ with TLS} for a wrong password"
    if [ $server = linux ] && [ -z "$tls" ]; then
      remote $client "127.0.0.1:$port" --password 'pa ss' --busid 1-3 --json
      [ "$status" = 0 ] && echo "$out" | grep -q '"busid":"1-3"' || fail "$client client, one device: $out"
      ok "$client client finds one device of $server server"
    fi
    stop srv
    cases=$((cases + 1))
  done
done

# --- through a relay: every placement of relay, server and client that
# crosses systems at least once
for placement in "windows linux linux" "linux windows windows" "windows windows linux" \
                 "windows linux windows" "linux linux windows" "linux windows linux"; do
  read -r relay server client <<<"$placement"
  relay_port=$(free_port)
  server_port=$(free_port)
  start rel $relay relay --port "$relay_port"
  wait_line rel "Relay listening on port $relay_port" >/dev/null
  start srv $server serve --port "$server_port" --password pw --relay "127.0.0.1:$relay_port"
  code=$(wait_line srv "Pairing code: [A-HJ-NP-Z2-9]{6}" | cut -d' ' -f3)
  wait_line rel "\"relay_server_registered\",\"code\":\"$code\"" >/dev/null
  want="[]"
  if [ $server = linux ]; then
    remote linux "127.0.0.1:$server_port" --password pw --json
    want=$out
  fi
  remote $client --relay "127.0.0.1:$relay_port" --code "$code" --password pw --json
  expect_list "$want" "$client client lists $server server through $relay relay"
  stop srv
  wait_line rel "\"relay_server_ended\",\"code\":\"$code\"" >/dev/null
  stop rel
  cases=$((cases + 1))
done

echo "== $cases set-ups across systems passed ($checks checks)"
