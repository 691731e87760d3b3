#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a relay and a server
# sharing this machine's USB devices (or emulated ones, through umockdev,
# when the machine has none), then the device list three ways: locally,
# directly over the network, and through the relay by pairing code.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
# A build directory made before keeps its generator (Unix Makefiles, say);
# a new one is made with Ninja. Only the command line is needed here.
generator=()
[ -f build/CMakeCache.txt ] || generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --config RelWithDebInfo --target halvoren-usbip-cli

# build/tools/halvoren-usbip, or build/tools/CONFIG/halvoren-usbip with a
# multi-configuration generator.
cli=$(find "$PWD/build/tools" -maxdepth 2 -type f -name halvoren-usbip -perm -u+x | head -n 1)
[ -n "$cli" ] || { echo "no halvoren-usbip under build/tools"; exit 1; }
with_devices=()
if [ "$("$cli" list --json 2>/dev/null || echo '[]')" = "[]" ]; then
  echo "No USB devices here: sharing emulated ones (tests/data/demo.umockdev)."
  with_devices=(umockdev-run --device tests/data/demo.umockdev --)
fi

# Two ports that were free a moment ago, and not the same one.
read -r server_port relay_port < <(python3 -c 'import socket; a, b = socket.socket(), socket.socket(); a.bind(("", 0)); b.bind(("", 0)); print(a.getsockname()[1], b.getsockname()[1])')
password=demo-password
log=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$log"
}
trap cleanup EXIT

# Waits (at most 20 s) for a line in a background command's output.
wait_for() {
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "gave up waiting for '$2' in $1:"; cat "$1"; return 1
}

"$cli" relay --port "$relay_port" >"$log/relay" 2>&1 &
pids+=($!)
wait_for "$log/relay" "Relay listening"

"${with_devices[@]}" "$cli" serve --port "$server_port" --password "$password" --share-all \
  --relay "127.0.0.1:$relay_port" >"$log/server" 2>&1 &
pids+=($!)
wait_for "$log/server" "Pairing code"
code=$(sed -n 's/.*Pairing code: //p' "$log/server")
wait_for "$log/relay" "\"relay_server_registered\",\"code\":\"$code\""

echo
echo "== local devices"
"${with_devices[@]}" "$cli" list
echo
echo "== the server (port $server_port, password set)"
cat "$log/server"
echo
echo "== listed directly: halvoren-usbip remote 127.0.0.1:$server_port --password ..."
"$cli" remote "127.0.0.1:$server_port" --password "$password"
echo
echo "== listed through the relay (port $relay_port) by code $code"
"$cli" remote --relay "127.0.0.1:$relay_port" --code "$code" --password "$password"

kill -INT "${pids[1]}"  # the server first: the relay sees it leave
wait_for "$log/relay" "\"relay_server_ended\",\"code\":\"$code\""
kill -INT "${pids[0]}"
wait
pids=()
echo
echo "== the relay, which saw the server register and leave"
cat "$log/relay"
