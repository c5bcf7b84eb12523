#!/usr/bin/env bash
# Builds the Linux engine and runs the demo: a simulated game's TCP connection
# steered through the engine's relay and a local lumo-node to a local echo
# server, then its UDP datagrams through the node's tunnel to a local UDP echo
# server, its DNS query answered by the engine (through the node's DNS service)
# with the learned address steering its next connection, and its pings answered
# after the ICMP rule's delay, with the traffic counters once a second.
# Loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for p in cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libconcurrentqueue-dev \
  libasio-dev nettle-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# LUMO_BUILD_DIR picks another build directory of the linux preset.
build="${LUMO_BUILD_DIR:-build/linux}"
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" --target lumo-demo >/dev/null
exec "$build/bin/lumo-demo" "$@"
