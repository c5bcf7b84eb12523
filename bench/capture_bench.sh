#!/usr/bin/env bash
# A captured program's round trips through the whole Linux path, beside the
# same program without it. One program, capture-probe, measures 64-byte UDP
# round trips to an echo server and TCP set-up (connect and an empty HTTP
# exchange) in four ways, all in one run:
#   direct     straight to the server (no lumo-run)
#   node       the program speaks the node's tunnel / SOCKS5 itself: the two
#              hops a steered packet needs, without engine, driver or capture
#   steered    under lumo-run, named in the configuration: capture library,
#              lumo-driver, the engine's tunnel or relay, the node
#   captured   under lumo-run, not named: the capture library and the driver
#              look at every datagram and connect and let it go straight, so
#              its ratio to direct is the capture's own cost
# and prints p50 and p99 of each with ratios against direct and node.
#
# Usage: bench/capture_bench.sh [BUILD_DIR] [UDP_COUNT] [TCP_COUNT]
# Runs in a private network namespace of its own (unprivileged user
# namespace, or root); nothing leaves it. Needs the linux preset's build.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
build=${1:-build/linux}
UDP_COUNT=${2:-5000}
TCP_COUNT=${3:-500}
if [ "${LUMO_BENCH_INSIDE:-}" != 1 ]; then
  cmake --build "$build" --target lumo lumo-run lumo-driver lumo-capture lumo-peer lumo-node capture-probe >/dev/null
  flag=-rn
  [ "$(id -u)" -eq 0 ] && flag=-n
  LUMO_BENCH_INSIDE=1 exec unshare "$flag" -- "$0" "$build" "$UDP_COUNT" "$TCP_COUNT"
fi

BIN=$ROOT/$build/bin
# shellcheck source=../scripts/netns_programs.sh
source "$ROOT/scripts/netns_programs.sh" lumo-capture-bench
ip link set lo up
ip addr add 203.0.113.5/32 dev lo
mkdir -p "$WORK/driver"
export LUMO_DRIVER_DIR=$WORK/driver

start web-node "$BIN/lumo-peer" http 127.0.0.1:8000
start web-direct "$BIN/lumo-peer" http 203.0.113.5:8000
start echo-node "$BIN/lumo-peer" udp-echo 127.0.0.1:7000
start echo-direct "$BIN/lumo-peer" udp-echo 203.0.113.5:7000
start node "$ROOT/$build/tools/node/lumo-node" --port 1080 --udp-port 1081 --user bench --password 4242 \
  --map 203.0.113.0/24=127.0.0.1
# Ready once both its SOCKS5 and its tunnel port listen.
for _ in $(seq 100); do
  [ "$(grep -c listening "$WORK/node.out")" -ge 2 ] && break
  sleep 0.05
done

conf() {
  printf 'node = 127.0.0.1\nsocks-port = 1080\nudp-port = 1081\nuser = bench\npassword = 4242\nprocesses = %s\n' "$1"
}
conf capture-probe >"$WORK/steered.conf"
conf some-game >"$WORK/captured.conf"
run() { "$BIN/lumo-run" --quiet --config "$WORK/$1.conf" -- "${@:2}"; }
# The first run starts lumo-driver; its start is not part of any figure.
run captured true

declare -A P50 P99
measure() {  # measure KEY COMMAND...: one capture-probe line into P50/P99
  local key=$1 line
  shift
  line=$("$@" | tail -1)
  case "$line" in *" lost=0") ;; *) echo "$key: $line (losses or failures: figures not comparable)" >&2 ;; esac
  P50[$key]=$(sed 's/.*p50_us=\([0-9.]*\).*/\1/' <<<"$line")
  P99[$key]=$(sed 's/.*p99_us=\([0-9.]*\).*/\1/' <<<"$line")
}
probe=$BIN/capture-probe
measure udp.direct "$probe" udp 203.0.113.5:7000 "$UDP_COUNT"
measure udp.node "$probe" udp-tunnel 127.0.0.1:1081 4242 203.0.113.5:7000 "$UDP_COUNT"
measure udp.steered run steered "$probe" udp 203.0.113.5:7000 "$UDP_COUNT"
measure udp.captured run captured "$probe" udp 203.0.113.5:7000 "$UDP_COUNT"
measure tcp.direct "$probe" tcp 203.0.113.5:8000 "$TCP_COUNT"
measure tcp.node "$probe" tcp-socks 127.0.0.1:1080 bench 4242 203.0.113.5:8000 "$TCP_COUNT"
measure tcp.steered run steered "$probe" tcp 203.0.113.5:8000 "$TCP_COUNT"
measure tcp.captured run captured "$probe" tcp 203.0.113.5:8000 "$TCP_COUNT"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf (b > 0 ? "%.2fx" : "-"), a / b }'; }
printf '\n%-22s %10s %10s   %-22s %-22s\n' "UDP 64-byte round trip" "p50 us" "p99 us" "p50 (p99) vs direct" "p50 (p99) vs node"
for way in direct node steered captured; do
  k=udp.$way
  printf '%-22s %10s %10s   %-22s %-22s\n' "$way" "${P50[$k]}" "${P99[$k]}" \
    "$(ratio "${P50[$k]}" "${P50[udp.direct]}") ($(ratio "${P99[$k]}" "${P99[udp.direct]}"))" \
    "$(ratio "${P50[$k]}" "${P50[udp.node]}") ($(ratio "${P99[$k]}" "${P99[udp.node]}"))"
done
printf '\n%-22s %10s %10s   %-22s %-22s\n' "TCP set-up + exchange" "p50 us" "p99 us" "p50 (p99) vs direct" "p50 (p99) vs node"
for way in direct node steered captured; do
  k=tcp.$way
  printf '%-22s %10s %10s   %-22s %-22s\n' "$way" "${P50[$k]}" "${P99[$k]}" \
    "$(ratio "${P50[$k]}" "${P50[tcp.direct]}") ($(ratio "${P99[$k]}" "${P99[tcp.direct]}"))" \
    "$(ratio "${P50[$k]}" "${P50[tcp.node]}") ($(ratio "${P99[$k]}" "${P99[tcp.node]}"))"
done
echo
echo "capture's own cost per datagram (captured - direct, p50): $(awk -v a="${P50[udp.captured]}" -v b="${P50[udp.direct]}" 'BEGIN { printf "%.1f us", a - b }')"
