#!/usr/bin/env bash
# Checks that the C++ lines a change touched are laid out as /.clang-format
# says. The house applies clang-format to changed code, not to the whole tree
# at once, so only changed lines are looked at (clang-format-diff).
# Usage: scripts/format.sh          the lines the last commit changed
#        scripts/format.sh REV      the lines changed since REV (working tree)
#        scripts/format.sh --fix [REV]  rewrite those lines in place
# Exits 1 and prints the layout wanted when a changed line is off.
set -euo pipefail
cd "$(dirname "$0")/.."
fix=()
if [ "${1:-}" = "--fix" ]; then
  fix=(-i)
  shift
fi
tool=$(command -v clang-format-diff-14 || command -v clang-format-diff || true)
[ -n "$tool" ] || { echo "format: clang-format-diff not found (Debian package clang-format)"; exit 2; }
if (($#)); then
  range=("$1")
elif git rev-parse -q --verify HEAD~1 >/dev/null; then
  range=(HEAD~1 HEAD)
else
  echo "format: no earlier commit to compare with"
  exit 0
fi
changes=$(git diff -U0 --no-color "${range[@]}" -- '*.cpp' '*.h' '*.inc')
if [ -z "$changes" ]; then
  echo "format: no C++ lines changed"
  exit 0
fi
wanted=$("$tool" -p1 "${fix[@]}" <<<"$changes")
if [ -n "$wanted" ]; then
  printf '%s\n' "$wanted"
  echo "format: changed lines differ from .clang-format (scripts/format.sh --fix ${range[0]} rewrites them)"
  exit 1
fi
echo "format: changed lines as .clang-format lays them out"
