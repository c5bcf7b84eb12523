#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy (faults, not style) on the
# engine's own sources, with the compile commands of the linux build.
# Usage: scripts/tidy.sh            the .cpp files that the last commit changed
#        scripts/tidy.sh --all      every .cpp of src/, simdrv/ and tools/ but the node
#        scripts/tidy.sh FILE...    these files
# The build folder (LUMO_TIDY_BUILD_DIR, default build/linux) must have been
# configured: the top-level CMakeLists.txt always writes compile_commands.json.
# The reference node (tools/node/) is left out: clang-tidy 14 cannot read
# Asio's coroutines against libstdc++. Exits 1 on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${LUMO_TIDY_BUILD_DIR:-build/linux}
[ -f "$BUILD/compile_commands.json" ] || { echo "tidy: $BUILD/compile_commands.json missing (configure first)"; exit 2; }

pattern='^(src|simdrv|tools/(demo|filter|driver|capture|run|peers))/.*\.cpp$'
if [ "${1:-}" = "--all" ]; then
  # The Windows sources need the Windows headers, which the linux build lacks.
  mapfile -t files < <(git ls-files | grep -E "$pattern" | grep -v -E '/win32/|_win32\.cpp$')
elif (($#)); then
  files=("$@")
elif git rev-parse -q --verify HEAD~1 >/dev/null; then
  mapfile -t files < <(git diff --name-only --diff-filter=d HEAD~1 HEAD | grep -E "$pattern" |
    grep -v -E '/win32/|_win32\.cpp$' || true)
else
  files=()
fi
if ((${#files[@]} == 0)); then
  echo "tidy: no engine source to check"
  exit 0
fi
echo "tidy: ${#files[@]} file(s)"
status=0
# One process per file, two at a time; each prints only its findings.
printf '%s\n' "${files[@]}" |
  xargs -P "${LUMO_JOBS:-$(nproc)}" -I{} sh -c 'clang-tidy -p "$0" --quiet "$1" 2>/dev/null | grep -v "^[0-9]* warnings\? generated" || true' "$BUILD" {} \
  >"$BUILD/tidy.log"
if grep -q "error:\|warning:" "$BUILD/tidy.log"; then
  cat "$BUILD/tidy.log"
  status=1
fi
[ $status -eq 0 ] && echo "tidy: no findings"
exit $status
