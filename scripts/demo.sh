#!/usr/bin/env bash
# Builds the Linux engine and runs the demo client against it.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for p in cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libconcurrentqueue-dev libasio-dev nettle-dev pkg-config; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target lumo lumo-demo >/dev/null
exec build/linux/bin/lumo-demo "$PWD/build/linux/bin/liblumo.so" "$@"
