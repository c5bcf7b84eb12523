#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer programs and runs each for a short,
# fixed time on its seed corpus, the way CI does (Debian 12):
#   1. installs clang and its sanitizer runtimes (libclang-rt-14-dev) and the
#      build's own packages when missing;
#   2. configures the linux-fuzz preset (the library and the targets compiled
#      with clang for libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer)
#      and builds the target lumo_fuzz (every fuzz program);
#   3. runs each program listed in <build>/fuzz/targets.txt on a fresh working
#      copy of its seed corpus (the seeds in the tree are never written to);
#   4. prints per target the code edges covered (libFuzzer's cov:) and the
#      inputs run, and fails when any target crashed, leaked, hit undefined
#      behaviour or hung on an input.
# Usage: scripts/fuzz.sh                          (every target, 20 s each)
#        LUMO_FUZZ_SECONDS=300 scripts/fuzz.sh    (longer runs)
#        LUMO_FUZZ_SEED=1 scripts/fuzz.sh         (the same inputs in the same order
#                                                  each run, as CI does)
#        LUMO_FUZZ_EXCLUDE="a b" scripts/fuzz.sh  (all but these targets)
#        scripts/fuzz.sh dns_reply pe_version     (only these targets)
#        LUMO_FUZZ_BUILD_DIR=build/x scripts/fuzz.sh  (another build folder)
# A crashing input is kept as <build>/fuzz/artifacts/<target>-crash-*; replay
# it with <build>/fuzz/lumo_fuzz_<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${LUMO_FUZZ_SECONDS:-20}
SEED=()
[ -z "${LUMO_FUZZ_SEED:-}" ] || SEED=(-seed="$LUMO_FUZZ_SEED")
JOBS=${LUMO_JOBS:-$(nproc)}
BUILD=${LUMO_FUZZ_BUILD_DIR:-build/linux-fuzz}

log() { printf '\n==== %s\n' "$*"; }

# --- 1. packages -------------------------------------------------------------
PACKAGES=(cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest libconcurrentqueue-dev libasio-dev
  nettle-dev clang libclang-rt-14-dev llvm)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- 2. build ------------------------------------------------------------------
log "configure + build: linux-fuzz in $BUILD"
cmake --preset linux-fuzz -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target lumo_fuzz

# --- 3. runs -------------------------------------------------------------------
# -timeout: one input taking longer is a hang (the slowest target waits at
# most a few seconds on its own deadlines). -rss_limit_mb: a target that
# grows without bound is a failure too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
summary=()
excluded=()
mkdir -p "$BUILD/fuzz/artifacts"
while read -r program corpus; do
  [ -n "$program" ] || continue
  name=${program#lumo_fuzz_}
  if (($#)) && [[ " $* " != *" $name "* ]]; then continue; fi
  if [[ " ${LUMO_FUZZ_EXCLUDE:-} " == *" $name "* ]]; then
    excluded+=("$name")
    continue
  fi
  work="$BUILD/fuzz/work/$name"
  out="$BUILD/fuzz/$name.log"
  rm -rf "$work"
  mkdir -p "$work"
  log "fuzz: $name (${SECONDS_EACH} s, seeds: $corpus)"
  # The first folder receives what libFuzzer finds; the seeds are read only.
  # Standard input is /dev/null: the loop reads the target list from its own.
  if "$BUILD/fuzz/$program" "${SEED[@]}" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$BUILD/fuzz/artifacts/$name-" "$work" "$corpus" >"$out" 2>&1 </dev/null; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 60 "$out"
  fi
  # "#1234  DONE   cov: 880 ft: 2100 corp: 57/3Kb ..." (or the last progress
  # line when the run ended early).
  last=$(grep -E '^#[0-9]+.*cov: [0-9]+' "$out" | tail -1 || true)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  runs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  echo "$name: $result, cov ${cov:-?} edges, ${runs:-?} inputs (log: $out)"
  summary+=("$name: $result, cov ${cov:-?}, ${runs:-?} inputs")
done <"$BUILD/fuzz/targets.txt"

if ((${#summary[@]} == 0)); then
  echo "no fuzz target ran (names: $*; list: $BUILD/fuzz/targets.txt)"
  exit 1
fi
# Every listed target ran (a program that read the list's lines as its own
# input once made the loop skip the next one; they now read /dev/null).
listed=$(grep -c . "$BUILD/fuzz/targets.txt")
if ((!$# && ${#summary[@]} + ${#excluded[@]} != listed)); then
  echo "only ${#summary[@]} of the $listed fuzz targets ran (${#excluded[@]} excluded)"
  status=1
fi
((${#excluded[@]} == 0)) || echo "excluded: ${excluded[*]}"
log "fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
