# Sourced, not run: what the scripts that run real programs in a network
# namespace of their own share (scripts/demo.sh, bench/capture_bench.sh,
# tests/programs/programs_e2e.sh). Source it inside the namespace, with the
# name of the script's private folder as its argument. It makes that folder
# (WORK), and at exit ends every program start() began and the lumo-driver
# that lumo-run left running there, then removes the folder.
WORK=$(mktemp -d "/tmp/${1:-lumo}.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$WORK/driver/lumo-driver.pid" ] && kill "$(cat "$WORK/driver/lumo-driver.pid")" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# start NAME COMMAND...: runs COMMAND in the background with its output in
# $WORK/NAME.out and .err, and waits for its first output line (a server
# prints it once it listens).
start() {
  local name=$1
  shift
  "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  PIDS+=($!)
  for _ in $(seq 100); do
    [ -s "$WORK/$name.out" ] && return 0
    sleep 0.05
  done
  echo "$name did not start: $(cat "$WORK/$name.err")" >&2
  exit 1
}
