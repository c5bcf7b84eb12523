#!/usr/bin/env bash
# The accelerated TCP path beside what a player would otherwise run: a
# transparent redirector chained to a SOCKS5 server (redsocks → Dante through
# an iptables REDIRECT rule). Runs tcp_path_bench with its chain path in a
# private network namespace (loopback only), where:
#   - the rule sends every TCP connection from 127.0.0.4 to redsocks;
#   - redsocks hands each one, with its original destination, to Dante;
#   - Dante connects from 127.0.0.1 (which the rule leaves alone) to the
#     benchmark's own server;
# and prints one table with direct, lumo-node alone, engine + relay + node,
# the relay alone and redsocks → Dante, the ratios to the redsocks chain and
# the goals for the engine path (set-up p50 ≤ 1.0×, bulk one way and echo
# ≥ 1.0×, 64-byte RTT p50 ≤ 0.8× the chain; a burst of 200 connections with
# no listen overflow).
#
# Optional and not part of the test suite: without redsocks, danted, iptables
# or a network namespace it says so in one line and exits 0. On Debian:
#   apt-get install redsocks dante-server iptables
#
# Usage: bench/anchors.sh [--pin CPU] [--rounds N] [BUILD_DIR]
#   --pin CPU    everything (benchmark, lumo-node, redsocks, Dante) on one CPU
#   --rounds N   rounds of each measurement (median; default 3)
#   BUILD_DIR    holding bench/tcp_path_bench (default build/linux)
set -euo pipefail

pin=""
rounds=3
build=build/linux
while [ $# -gt 0 ]; do
  case "$1" in
    --pin) pin=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) build=$1; shift ;;
  esac
done

bench=$build/bench/tcp_path_bench
if [ ! -x "$bench" ]; then
  echo "anchors: $bench is not built (cmake --build $build --target tcp_path_bench lumo-node)" >&2
  exit 1
fi
for program in redsocks danted iptables unshare ip; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "anchors: skipped, $program is not installed (apt-get install redsocks dante-server iptables)"
    exit 0
  fi
done
if [ -n "$pin" ] && ! command -v taskset >/dev/null 2>&1; then
  echo "anchors: --pin needs taskset (util-linux)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/lumo-anchors.XXXXXX)
trap 'rm -rf "$work"' EXIT
readonly chain_source=127.0.0.4 redsocks_port=12345 dante_port=1080

cat >"$work/danted.conf" <<EOF
logoutput: $work/danted.log
internal: 127.0.0.1 port = $dante_port
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: root
client pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }
socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }
EOF
cat >"$work/redsocks.conf" <<EOF
base { log_debug = off; log_info = off; log = "file:$work/redsocks.log"; daemon = off; redirector = iptables; }
redsocks { local_ip = 127.0.0.1; local_port = $redsocks_port; ip = 127.0.0.1; port = $dante_port; type = socks5; listenq = 4096; }
EOF

# Runs inside the namespace: loopback up, the rule, both daemons, the
# benchmark; the daemons end with the namespace's shell.
cat >"$work/inside.sh" <<EOF
set -u
ip link set lo up
if ! iptables -t nat -A OUTPUT -p tcp -s $chain_source -j REDIRECT --to-ports $redsocks_port 2>"$work/iptables.log"; then
  echo "anchors: skipped, iptables cannot add a REDIRECT rule here: \$(head -n 1 "$work/iptables.log")"
  exit 0
fi
danted -f "$work/danted.conf" 2>>"$work/danted.log" &
dante=\$!
redsocks -c "$work/redsocks.conf" 2>>"$work/redsocks.log" &
redsocks=\$!
trap 'kill \$dante \$redsocks 2>/dev/null; wait 2>/dev/null' EXIT
# Both listen within a few seconds, or the run is off. Looked up in the
# socket table rather than by connecting: a client that connected and closed
# at once was seen to leave Dante's mother process retrying its hand-over
# without end, and the chain stalled.
for port in $dante_port $redsocks_port; do
  up=0
  for _ in \$(seq 50); do
    if grep -q ":\$(printf %04X \$port) 00000000:0000 0A" /proc/net/tcp; then up=1; break; fi
    sleep 0.1
  done
  if [ \$up = 0 ]; then
    echo "anchors: nothing listens on 127.0.0.1:\$port (see $work/*.log)" >&2
    tail -n 5 "$work"/danted.log "$work"/redsocks.log >&2
    exit 1
  fi
done
# lumo-node's connection log goes to a file: the table is what is printed.
if ! timeout 900 "$bench" --chain-source $chain_source --rounds $rounds 2>"$work/bench.log"; then
  echo "anchors: the benchmark failed; the end of its log:" >&2
  tail -n 5 "$work/bench.log" >&2
  exit 1
fi
EOF

namespace=(unshare -rn)
if ! "${namespace[@]}" true 2>/dev/null; then
  echo "anchors: skipped, no private network namespace can be made here (unshare -rn)"
  exit 0
fi
if [ -n "$pin" ]; then
  echo "anchors: everything pinned to CPU $pin; $(nproc) CPUs; rounds $rounds"
  taskset -c "$pin" "${namespace[@]}" bash "$work/inside.sh"
else
  echo "anchors: unpinned; $(nproc) CPUs; rounds $rounds"
  "${namespace[@]}" bash "$work/inside.sh"
fi
