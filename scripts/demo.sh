#!/usr/bin/env bash
# The demo: Lumo steering unmodified programs on Linux. Builds the engine and
# its Linux tools, then, inside a private network namespace (nothing leaves
# it), runs a local proxy node (lumo-node, mapping the documentation network
# 203.0.113.0/24 to local servers), and lets lumo-run launch Debian's curl,
# socat and dig and our lumo-ping with the capture library: the engine in
# lumo-run steers their TCP through its relay and the node, their UDP through
# the node's tunnel, answers their DNS and their pings, while a program the
# configuration does not name goes direct. lumo-driver, the driver, is started
# by lumo-run on the way.
#
#   scripts/demo.sh              the real run (needs unprivileged user
#                                namespaces, or root)
#   scripts/demo.sh --simulated  the older in-process demo (lumo-demo), which
#                                plays the driver and the programs itself
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
build="${LUMO_BUILD_DIR:-build/linux}"

if [ "${1:-}" != "--inside" ]; then
  need=()
  for p in cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libconcurrentqueue-dev \
    libasio-dev nettle-dev iproute2 curl socat dnsutils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if ((${#need[@]})); then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  fi
  cmake --preset linux -B "$build" >/dev/null
  if [ "${1:-}" = "--simulated" ]; then
    cmake --build "$build" --target lumo-demo >/dev/null
    exec "$build/bin/lumo-demo"
  fi
  echo "building the engine, lumo-run, lumo-driver, the capture library, lumo-node and the demo's servers..."
  cmake --build "$build" --target lumo lumo-run lumo-driver lumo-capture lumo-ping lumo-peer lumo-node lumo-filter \
    >/dev/null
  # A network namespace of our own: as root plainly, otherwise inside a user
  # namespace where we are root (Debian 12 allows that by default).
  flag=-rn
  [ "$(id -u)" -eq 0 ] && flag=-n
  if ! unshare "$flag" true 2>/dev/null; then
    echo "demo.sh: cannot make a private network namespace (unshare $flag): run as root, or allow" >&2
    echo "unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1)" >&2
    exit 1
  fi
  exec unshare "$flag" -- "$0" --inside
fi

# --- inside the namespace ------------------------------------------------------
BIN=$ROOT/$build/bin
NODE=$ROOT/$build/tools/node/lumo-node
# shellcheck source=scripts/netns_programs.sh
source "$ROOT/scripts/netns_programs.sh" lumo-demo
say() { printf '\n== %s\n' "$*"; }

ip link set lo up
ip addr add 203.0.113.5/32 dev lo
# A default route as a connected machine has: programs may address anything;
# what is not steered is dropped here, the namespace has no other interface.
ip route add default dev lo
echo "0 2147483647" >/proc/sys/net/ipv4/ping_group_range 2>/dev/null || true

# A copy of the library's folder, with the demo's filter file beside the
# library: steer.example is resolved through the node, table.example answered
# from the file.
mkdir -p "$WORK/bin/config" "$WORK/driver"
cp "$BIN"/{liblumo.so,lumo-run,lumo-driver,liblumo-capture.so} "$WORK/bin/"
printf '0,0,0,0,steer.example,1,n\n0,0,0,0,table.example,1,n,1,198.51.100.7\n' >"$WORK/filter.plain"
"$ROOT/$build/tools/filter/lumo-filter" encode "$WORK/filter.plain" "$WORK/bin/config/filter.txt" >/dev/null
export LUMO_DRIVER_DIR=$WORK/driver
export LUMO_DNS_BACKUP=127.0.0.1:5312

# Each server has a twin: the one on 127.0.0.1 is what the node reaches for
# 203.0.113.5, the one on 203.0.113.5 what a direct program reaches.
start web-node "$BIN/lumo-peer" http 127.0.0.1:8000
start web-direct "$BIN/lumo-peer" http 203.0.113.5:8000
start web80-node "$BIN/lumo-peer" http 127.0.0.1:80
start echo-node "$BIN/lumo-peer" udp-echo 127.0.0.1:7000
echo "203.0.113.5 steer.example" >"$WORK/hosts"
start node "$NODE" --port 1080 --udp-port 1081 --user demo --password 4242 --map 203.0.113.0/24=127.0.0.1 \
  --dns-port 5312 --dns-hosts "$WORK/hosts"
sleep 0.2

cat >"$WORK/lumo-run.conf" <<EOF
# The node and its credentials (the password's digits are the tunnel's user id).
node = 127.0.0.1
socks-port = 1080
udp-port = 1081
user = demo
password = 4242
# The "game": the programs lumo-run steers.
processes = curl, socat, dig, lumo-ping, getent
# Pings to 198.51.100.0/24 are answered by the engine after 20 ms.
rules = 198.51.100.0/24,20-20
EOF
sed 's/^processes = .*/processes = some-game/' "$WORK/lumo-run.conf" >"$WORK/other.conf"
RUN=("$WORK/bin/lumo-run" --config "$WORK/lumo-run.conf")
RUN_OTHER=("$WORK/bin/lumo-run" --config "$WORK/other.conf")

say "the world (a private network namespace; nothing leaves it)"
echo "lumo-node      SOCKS5 127.0.0.1:1080, UDP tunnel :1081, DNS :5312 (steer.example = 203.0.113.5)"
echo "               maps 203.0.113.0/24 to 127.0.0.1"
echo "servers        HTTP and UDP echo on 127.0.0.1 (reached through the node)"
echo "               HTTP on 203.0.113.5 itself (reached by programs that go direct)"
echo "lumo-run.conf  processes = curl, socat, dig, lumo-ping, getent; rules = 198.51.100.0/24,20-20"

from_node() { grep -c "http connection" "$WORK/$1.err" || true; }

say "curl fetches 8 MiB from 203.0.113.5:8000, launched by lumo-run (its per-second line on stderr)"
"${RUN[@]}" -- curl -sS -o "$WORK/body" -w 'curl: HTTP %{http_code}, %{size_download} bytes in %{time_total} s\n' \
  "http://203.0.113.5:8000/8388608"
if cmp -s "$WORK/body" <("$BIN/lumo-peer" pattern 8388608); then echo "body: byte for byte what the server sent"; fi
echo "the server behind the node saw $(from_node web-node) connection(s), the direct one $(from_node web-direct)"
grep "to=203.0.113.5:8000" "$WORK/node.err" | tail -1 | sed 's/^[^ ]* /node log: /'

say "the same curl, under a configuration that does not name it, goes direct"
"${RUN_OTHER[@]}" --quiet -- curl -sS -o /dev/null \
  -w 'curl: HTTP %{http_code}, %{size_download} bytes\n' "http://203.0.113.5:8000/65536"
echo "the server behind the node saw $(from_node web-node) connection(s), the direct one $(from_node web-direct)"

say "socat sends 200 datagrams of 64 bytes to 203.0.113.5:7000 and reads the echoes"
"$BIN/lumo-peer" pattern 12800 >"$WORK/udp.expected"
"${RUN[@]}" --quiet -- sh -c "'$BIN/lumo-peer' drip 200 64 | socat -b64 -t2 - UDP:203.0.113.5:7000" >"$WORK/udp.got"
echo "echoed back: $(stat -c %s "$WORK/udp.got") of 12800 bytes$(cmp -s "$WORK/udp.got" "$WORK/udp.expected" &&
  echo ", intact and in order")"
grep "udp assoc" "$WORK/node.err" | tail -1 | sed 's/^[^ ]* /node log: /'

say "dig asks the virtual DNS address 8.8.8.1 for steer.example and table.example"
for name in steer.example table.example; do
  answer=$("${RUN[@]}" --quiet -- dig +short +time=3 +tries=1 @8.8.8.1 "$name" A 2>&1 | tr '\n' ' ' || true)
  echo "dig $name -> ${answer:-no answer}"
done
echo "(steer.example through the node's DNS service, table.example from the filter file)"

say "a learned name steers its web port: dig, then curl to 203.0.113.5:80 in one run"
before=$(from_node web80-node)
"${RUN[@]}" --quiet -- sh -c "dig +short +time=3 +tries=1 @8.8.8.1 steer.example A >/dev/null;
  curl -sS -o /dev/null -w 'curl: HTTP %{http_code}\n' http://203.0.113.5:80/4096" || true
echo "connections through the node to port 80: $(($(from_node web80-node) - before))"

say "curl http://steer.example:8000/: its name look-up (getaddrinfo) is answered by the engine too"
# The capture sends the look-up's query to LUMO_CAPTURE_NAMESERVER (here the
# virtual DNS address) instead of resolv.conf's server.
before=$(from_node web-node)
LUMO_CAPTURE_NAMESERVER=8.8.8.1 "${RUN[@]}" --quiet -- sh -c "getent ahostsv4 steer.example | head -1;
  curl -sS -o /dev/null -w 'curl: HTTP %{http_code}, %{size_download} bytes\n' http://steer.example:8000/65536" || true
echo "connections through the node: $(($(from_node web-node) - before))"

say "lumo-ping 198.51.100.20: the engine answers after the rule's 20 ms"
"${RUN[@]}" --quiet -- "$BIN/lumo-ping" -c 3 -i 0.2 198.51.100.20 || echo "(no replies)"

say "done: every program ran unmodified; lumo-driver stops with the namespace"
