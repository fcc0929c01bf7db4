#!/usr/bin/env bash
# Installs what is missing, builds against Qt 5 and Qt 6, and runs every test of both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh g++ make cmake qtbase5-dev qt6-base-dev faketime util-linux

jobs=$(nproc)
configure_and_build() { # <build dir> <cmake options...>
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1 \
        || { cat "$dir/configure.log"; return 1; }
    cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
    if grep -E "warning:" "$dir/build.log"; then
        echo "$dir: the build must be free of warnings"
        return 1
    fi
}

# The tests look at the machine's process table. Where we may, each suite gets a process table
# of its own, so that both suites can run at the same time without seeing each other's casters.
isolated=()
if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
    isolated=(unshare --pid --fork --mount-proc)
fi
run_suite() { # <build dir>
    # sh stays in front as the namespace's first process, so that orphans are reaped.
    "${isolated[@]}" sh -c "cd '$1' && ctest --output-on-failure -j2; exit \$?" >"$1/test.log" 2>&1
}

configure_and_build build
configure_and_build build-qt6 -DZUVA_QT_MAJOR=6

status=0
if ((${#isolated[@]})); then
    run_suite build & qt5=$!
    run_suite build-qt6 & qt6=$!
    wait $qt5 || status=1
    wait $qt6 || status=1
else
    run_suite build || status=1
    run_suite build-qt6 || status=1
fi

passed=0 failed=0
for suite in build build-qt6; do
    echo "===== $suite ====="
    cat "$suite/test.log"
    summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$suite/test.log" || true)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
    [ -n "$summary" ] || { status=1; continue; }
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done
# The Windows build, packaged and smoke-run under Wine, where the Qt for Windows is at hand.
echo "===== Windows ====="
if [ -d ../shared/qt5-mingw ]; then
    if scripts/windows.sh smoke; then passed=$((passed + 1)); else failed=$((failed + 1)) status=1; fi
else
    echo "SKIPPED: ../shared/qt5-mingw not found, no Windows build"
fi

echo "$passed passed, $failed failed"
exit $status
