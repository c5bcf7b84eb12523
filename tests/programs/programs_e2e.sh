#!/usr/bin/env bash
# Unmodified programs steered through lumo-run, lumo-driver, the engine and
# lumo-node: curl over TCP, socat over UDP, dig asking DNS, lumo-ping, a
# program the configuration does not name, the per-name instance limit and a
# Stop while traffic flows.
#
# Usage: programs_e2e.sh BIN_DIR NODE FILTER_TOOL
#   BIN_DIR      the build's bin folder (liblumo.so, lumo-run, lumo-driver,
#                liblumo-capture.so, lumo-ping, lumo-peer, capture-probe)
#   NODE         the lumo-node program
#   FILTER_TOOL  the lumo-filter program
# Runs inside a network namespace of its own (ctest starts it through
# netns_run.sh), where the documentation address 203.0.113.5 is put on the
# loopback interface: a program that goes direct reaches the servers there,
# and a steered one reaches the node, which maps 203.0.113.0/24 to the same
# servers' twins on 127.0.0.1. Which twin a client reached tells which way it
# went. Nothing leaves the namespace.
set -u
BIN=$1
NODE=$2
FILTER_TOOL=$3
if [ -z "${LUMO_TEST_NETNS:-}" ]; then
  echo "programs_e2e.sh: run me in a network namespace of my own (netns_run.sh)" >&2
  exit 2
fi
for p in curl socat dig; do
  command -v "$p" >/dev/null || { echo "programs_e2e.sh: $p is not installed" >&2; exit 2; }
done

# shellcheck source=../../scripts/netns_programs.sh
source "$(dirname "$0")/../../scripts/netns_programs.sh" lumo-programs

failures=0
ok() { echo "ok - $*"; }
fail() {
  echo "not ok - $*"
  failures=$((failures + 1))
}
check() {  # check NAME COMMAND...: the command's status decides
  local name=$1
  shift
  if "$@"; then ok "$name"; else fail "$name"; fi
}

# --- the world ---------------------------------------------------------------
ip addr add 203.0.113.5/32 dev lo
# A default route, as a connected machine has one: programs may connect their
# sockets to any address (dig to the virtual DNS address 8.8.8.1, pings to
# 198.51.100.20). What the engine lets through is dropped on this loopback
# interface; the namespace has no other.
ip route add default dev lo
# ICMP datagram sockets (lumo-ping) for every group in this namespace.
echo "0 2147483647" >/proc/sys/net/ipv4/ping_group_range 2>/dev/null || true

# A private copy of the library folder: the engine reads its filter file from
# config/filter.txt beside itself, and this test's must not meet another's.
mkdir -p "$WORK/bin/config" "$WORK/driver"
for f in liblumo.so lumo-run lumo-driver liblumo-capture.so; do cp "$BIN/$f" "$WORK/bin/" || exit 1; done
printf '0,0,0,0,steer.example,1,n\n0,0,0,0,table.example,1,n,1,198.51.100.7\n' >"$WORK/filter.plain"
"$FILTER_TOOL" encode "$WORK/filter.plain" "$WORK/bin/config/filter.txt" >/dev/null || exit 1
export LUMO_DRIVER_DIR=$WORK/driver

HTTP_PORT=8000
UDP_PORT=7000
start http-node "$BIN/lumo-peer" http 127.0.0.1:$HTTP_PORT
start http-direct "$BIN/lumo-peer" http 203.0.113.5:$HTTP_PORT
start web-node "$BIN/lumo-peer" http 127.0.0.1:80
start echo-node "$BIN/lumo-peer" udp-echo 127.0.0.1:$UDP_PORT
start echo-direct "$BIN/lumo-peer" udp-echo 203.0.113.5:$UDP_PORT
echo "203.0.113.5 steer.example" >"$WORK/hosts"
# The engine asks the node's DNS service on port 5312 of the node's address.
start node "$NODE" --port 0 --udp-port 0 --user lumo --password 4242 --map 203.0.113.0/24=127.0.0.1 \
  --dns-port 5312 --dns-hosts "$WORK/hosts"
for _ in $(seq 100); do
  [ "$(grep -c listening "$WORK/node.out")" -ge 2 ] && break
  sleep 0.05
done
SOCKS_PORT=$(sed -n 's/.*socks5 listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/node.out")
TUNNEL_PORT=$(sed -n 's/.*udp tunnel listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/node.out")
[ -n "$SOCKS_PORT" ] && [ -n "$TUNNEL_PORT" ] || { echo "node ports unknown: $(cat "$WORK/node.out")" >&2; exit 1; }
# The engine's backup DNS server is the node's service too, never a public one.
export LUMO_DNS_BACKUP=127.0.0.1:5312

# config FILE PROCESSES [KEY=VALUE...]
config() {
  local file=$1 processes=$2
  shift 2
  {
    echo "node = 127.0.0.1"
    echo "socks-port = $SOCKS_PORT"
    echo "udp-port = $TUNNEL_PORT"
    echo "user = lumo"
    echo "password = 4242"
    echo "processes = $processes"
    echo "rules = 198.51.100.0/24,20-20"
    for kv in "$@"; do echo "${kv%%=*} = ${kv#*=}"; done
  } >"$file"
}
config "$WORK/game.conf" "curl, socat, dig, lumo-ping, capture-probe, getent"
config "$WORK/other.conf" "some-game"
config "$WORK/limit.conf" "capture-probe" "process-limit=1"
RUN=("$WORK/bin/lumo-run" --quiet)

# echoes_match GOT EXPECTED LOSS: socat's echoes are the datagrams sent,
# whole. With LOSS 0 they must be all of them, in order. Otherwise up to LOSS
# in 100 may be missing, as UDP allows, but every datagram that came back must
# be one that was sent, unchanged. LUMO_PROGRAMS_SLOW_ENGINE (a sanitizer
# build, several times slower than the paced programs) allows twice as many,
# at least 2 in 100, never more than half. The pattern's bytes are printable and never a line end,
# so fold makes one line of each 64-byte datagram.
echoes_match() {
  local loss=$3
  [ -n "${LUMO_PROGRAMS_SLOW_ENGINE:-}" ] && loss=$((loss * 2 > 2 ? loss * 2 : 2))
  ((loss > 50)) && loss=50
  if [ "$loss" -eq 0 ]; then
    cmp "$1" "$2"
    return
  fi
  local got sent strange
  got=$(fold -w 64 "$1" | awk 'END { print NR }')
  sent=$(fold -w 64 "$2" | awk 'END { print NR }')
  strange=$(comm -13 <(fold -w 64 "$2" | sort) <(fold -w 64 "$1" | sort) | awk 'END { print NR }')
  echo "  $got of $sent datagrams echoed, $strange not sent as such (up to $loss in 100 may be lost)"
  [ "$strange" -eq 0 ] && [ $((got * 100)) -ge $((sent * (100 - loss))) ]
}

# connections NAME: how many connections the HTTP server NAME has seen.
connections() { grep -c "http connection" "$WORK/$1.err"; }
# mark, then went WHAT NODE DIRECT: since the mark, the node's HTTP twin saw
# NODE new connections and the direct one DIRECT.
mark() { before_node=$(connections http-node) before_direct=$(connections http-direct); }
went() {
  local got="$(($(connections http-node) - before_node)) via node, $(($(connections http-direct) - before_direct)) direct"
  check "$1: $got" [ "$got" = "$2 via node, $3 direct" ]
}

# --- curl: 10 MiB over HTTP through relay and node, byte for byte -----------
"$BIN/lumo-peer" pattern 10485760 >"$WORK/pattern.10m"
mark
"${RUN[@]}" --config "$WORK/game.conf" -- curl -sS --max-time 30 -o "$WORK/curl.body" \
  "http://203.0.113.5:$HTTP_PORT/10485760" 2>"$WORK/curl.err"
status=$?
check "curl through lumo-run exits 0 (status $status)" [ "$status" -eq 0 ]
check "curl's 10 MiB body is byte-exact" cmp -s "$WORK/curl.body" "$WORK/pattern.10m"
went "curl's connection" 1 0

# --- lumo-run --flows: lumo-driver's list shows curl's connection -------------
# curl downloads slowly until lumo-run, whose standard error the shell shares,
# has listed its connection through the relay.
"$WORK/bin/lumo-run" --quiet --flows --config "$WORK/game.conf" -- sh -c \
  "curl -sS --max-time 30 --limit-rate 100K -o /dev/null http://203.0.113.5:$HTTP_PORT/10485760 & c=\$!
   for _ in \$(seq 100); do grep -q '^  tcp  curl\\[.* via relay ' /proc/\$\$/fd/2 && break; sleep 0.1; done
   kill \$c" 2>"$WORK/flows.err"
check "lumo-run --flows lists curl's connection via the relay" grep -Eq \
  "^  tcp  curl\[[0-9]+\]  [0-9.]+:[0-9]+ -> 203\.0\.113\.5:$HTTP_PORT  via relay 127\.0\.0\.1:[0-9]+  up [0-9]" \
  "$WORK/flows.err"

# --- a program the configuration does not name goes direct -------------------
mark
"${RUN[@]}" --config "$WORK/other.conf" -- curl -sS --max-time 10 -o "$WORK/other.body" \
  "http://203.0.113.5:$HTTP_PORT/65536" 2>>"$WORK/curl.err"
check "an unnamed program's curl works" cmp -s "$WORK/other.body" <(head -c 65536 "$WORK/pattern.10m")
went "an unnamed program's connection" 0 1

# --- socat: 1,000 datagrams through the tunnel, none lost or changed ---------
"$BIN/lumo-peer" pattern 64000 >"$WORK/pattern.udp"
"${RUN[@]}" --config "$WORK/game.conf" -- sh -c \
  "'$BIN/lumo-peer' drip 1000 64 | socat -b64 -t3 - UDP:203.0.113.5:$UDP_PORT" >"$WORK/socat.out" 2>"$WORK/socat.err"
check "socat's 1,000 echoed datagrams arrived whole and in order" echoes_match "$WORK/socat.out" "$WORK/pattern.udp" 0
check "the node's tunnel carried socat's datagrams" grep -q "tunnel" "$WORK/node.err"

# --- socat with the direct transport: the engine wraps each datagram and sends
# it out of socat's own socket to the node, whose wrapped answers the capture
# hands to the engine to unwrap; socat gets them whole, as from its peer.
config "$WORK/direct.conf" "socat" "force-udp-direct=yes"
"${RUN[@]}" --config "$WORK/direct.conf" -- sh -c \
  "'$BIN/lumo-peer' drip 1000 64 | socat -b64 -t3 - UDP:203.0.113.5:$UDP_PORT" \
  >"$WORK/socat-direct.out" 2>"$WORK/socat-direct.err"
# What this checks is that no reply reaches socat with the tunnel's header on
# it. Each reply crosses the driver twice more than on the proxy path, and a
# busy machine loses some on the way (a quarter seen with a build running
# beside it), as UDP allows; at least half must come back.
check "socat's datagrams through the direct transport came back whole" \
  echoes_match "$WORK/socat-direct.out" "$WORK/pattern.udp" 50

# --- dig: the engine answers, and the answer teaches it the name -------------
answer=$("${RUN[@]}" --config "$WORK/game.conf" -- dig +short +time=3 +tries=1 @8.8.8.1 steer.example A 2>&1)
check "dig gets steer.example from the engine (got '$answer')" [ "$answer" = "203.0.113.5" ]
answer=$("${RUN[@]}" --config "$WORK/game.conf" -- dig +short +time=3 +tries=1 @8.8.8.1 table.example A 2>&1)
check "dig gets table.example from the filter file (got '$answer')" [ "$answer" = "198.51.100.7" ]
# A web port is steered only for a learned name: within one run, dig teaches
# the engine steer.example's address and curl's connection to it on port 80
# then goes through the node.
before=$(connections web-node)
"${RUN[@]}" --config "$WORK/game.conf" -- sh -c \
  "dig +short +time=3 +tries=1 @8.8.8.1 steer.example A >/dev/null && \
   curl -sS --max-time 10 -o '$WORK/web.body' http://203.0.113.5:80/4096" 2>>"$WORK/curl.err"
check "the learned name's web connection went through the node" [ "$(connections web-node)" -eq $((before + 1)) ]

# --- getent and curl: the C library's look-ups go through the capture --------
# The capture sends the program's A query from a captured socket to the
# virtual DNS address, where the engine answers it from the node's service.
answer=$(LUMO_CAPTURE_NAMESERVER=8.8.8.1 "${RUN[@]}" --config "$WORK/game.conf" -- \
  getent ahostsv4 steer.example 2>"$WORK/getent.err" | head -n 1)
check "getent gets steer.example from the engine (got '$answer')" [ "${answer%% *}" = "203.0.113.5" ]
mark
LUMO_CAPTURE_NAMESERVER=8.8.8.1 "${RUN[@]}" --config "$WORK/game.conf" -- curl -sS --max-time 10 \
  -o "$WORK/named.body" "http://steer.example:$HTTP_PORT/65536" 2>>"$WORK/curl.err"
check "curl gets http://steer.example's body" cmp -s "$WORK/named.body" <(head -c 65536 "$WORK/pattern.10m")
went "curl's connection to the name" 1 0

# --- lumo-ping: the engine answers after the rule's 20 ms --------------------
if "$BIN/lumo-ping" -c 1 -W 1 127.0.0.1 >/dev/null 2>&1; then
  "${RUN[@]}" --config "$WORK/game.conf" -- "$BIN/lumo-ping" -c 3 -i 0.2 -W 2 198.51.100.20 >"$WORK/ping.out" 2>&1
  status=$?
  check "lumo-ping got its replies (status $status)" [ "$status" -eq 0 ]
  check "every ping reply took the rule's 20 ms or more" awk '
    /time=/ { n++; t = $0; sub(/.*time=/, "", t); sub(/ ms.*/, "", t); if (t + 0 < 19.5) bad++ }
    END { exit !(n == 3 && bad == 0) }' "$WORK/ping.out"
else
  echo "skip - lumo-ping: ICMP datagram sockets are not allowed in this namespace"
fi

# --- the instance limit across two launched copies ---------------------------
# With a limit of 1, one of two copies of capture-probe is steered (its
# connection reaches the node's twin) and the other goes direct.
mark
"${RUN[@]}" --config "$WORK/limit.conf" -- sh -c \
  "'$BIN/capture-probe' tcp 203.0.113.5:$HTTP_PORT 1 & sleep 0.3; '$BIN/capture-probe' tcp 203.0.113.5:$HTTP_PORT 1; wait" \
  >"$WORK/limit.out" 2>&1
check "both copies under the limit worked" [ "$(grep -c 'lost=0' "$WORK/limit.out")" -eq 2 ]
went "one copy steered, the other direct" 1 1

# --- Stop while traffic flows ------------------------------------------------
# The shell that lumo-run launched ends at once, so lumo-run stops the engine
# while capture-probe, left running in the background, keeps exchanging
# datagrams: it must get every echo, before the stop through the node and after
# it direct (a datagram caught in the switch aside).
"${RUN[@]}" --config "$WORK/game.conf" -- sh -c \
  "'$BIN/capture-probe' udp 203.0.113.5:$UDP_PORT 3000 >'$WORK/stop.out' 2>&1 &"
for _ in $(seq 200); do
  grep -q "lost=" "$WORK/stop.out" 2>/dev/null && break
  sleep 0.05
done
# A datagram whose echo is on its way back through the node at the moment of
# the stop may be lost (the stop closes the engine's tunnel sockets); UDP
# allows that, a program that stops getting answers it does not.
check "a program keeps working across Stop ($(cat "$WORK/stop.out" 2>/dev/null))" \
  grep -Eq "^udp n=3000 .* lost=[0-2]$" "$WORK/stop.out"
curl -sS --max-time 10 -o "$WORK/after.body" "http://203.0.113.5:$HTTP_PORT/4096"
check "programs work after the engine stopped" cmp -s "$WORK/after.body" <(head -c 4096 "$WORK/pattern.10m")

if [ "$failures" -ne 0 ]; then
  echo "--- lumo-driver.log"; cat "$WORK/driver/lumo-driver.log" 2>/dev/null | tail -20
  echo "--- node"; tail -20 "$WORK/node.err"
  echo "--- curl"; tail -5 "$WORK/curl.err"
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
