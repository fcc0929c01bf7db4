#!/usr/bin/env bash
# Builds the watchdog and runs it in the foreground over a stand-in caster in ./demo/caster.
# Nothing outside ./demo is touched: the stand-in's settings file lives under ./demo/home.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh g++ make cmake qtbase5-dev musl-tools util-linux
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target ZUVAserviceMon tasklist taskkill standin-caster >/dev/null
root=$PWD

demo=$PWD/demo
mkdir -p "$demo/caster" "$demo/home"
cp build/bin/standin-caster "$demo/caster/brindleCast.exe"
export HOME=$demo/home XDG_CONFIG_HOME=$demo/home/.config

echo "Watchdog running in $demo/caster; its log is $demo/caster/ZUVAmon_log_*.txt"
echo "End the caster from another terminal with: $root/build/bin/taskkill /IM brindleCast.exe /T /F"
echo "Stop the watchdog with Ctrl+C."
cd "$demo/caster"
exec "$root/scripts/own-process-table.sh" "$root/build/bin/ZUVAserviceMon"
